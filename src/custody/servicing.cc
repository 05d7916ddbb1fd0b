#include "custody/servicing.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra::servicing {

std::wstring recordPath(std::wstring_view home) {
  std::wstring path(home);
  path.append(kRecordRelativePath);
  return path;
}

std::wstring temporaryPath(std::wstring_view record, std::string_view randomBytes) {
  if (randomBytes.size() != kTemporaryNameBytes) fail("profile_recovery_random");
  std::wstring path(record);
  path.push_back(L'.');
  path.append(hexLowerWide(randomBytes));
  path.append(L".tmp");
  return path;
}

std::string recoveryRecordText(std::string_view homeUtf8, std::string_view ownerSidHash,
                               std::string_view previousRecordText) {
  // The fixed head is one literal; only the three values go through the
  // JSON string rule.
  std::string text =
      "{\"schema_version\":\"nuvra.runtime-servicing.v1\",\"state\":\"RECOVERY_REQUIRED\","
      "\"installation_root\":";
  text.append(jsonString(homeUtf8));
  text.append(",\"owner_sid_hash\":");
  text.append(jsonString(ownerSidHash));
  text.append(",\"previous_record_text\":");
  text.append(jsonString(previousRecordText));
  text.append("}\n");
  return text;
}

}  // namespace nuvra::servicing
