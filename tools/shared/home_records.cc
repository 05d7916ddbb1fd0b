#include "shared/home_records.h"
#include <optional>

#include "common/flat_json.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/text.h"

namespace nuvra::launcher {

std::string payloadFilesText(const std::vector<PayloadFile>& files) {
  std::string text = "[";
  for (const PayloadFile& file : files) {
    if (text.size() > 1) text += ",";
    text += RecordBuilder().string("path", file.path).string("sha256", file.sha256).text();
  }
  return text + "]";
}

std::string committedServicingRecord(const Installation& installation) {
  return RecordBuilder()
      .string("schema_version", "nuvra.runtime-servicing.v1")
      .string("state", "COMMITTED")
      .string("installation_root", installation.home)
      .string("owner_sid_hash", installation.ownerSidHash)
      .string("digest", installation.payloadDigest)
      .string("generation", installation.generation)
      .string("version", installation.version)
      .string("lifetime_identity", installation.lifetimeIdentity)
      .string("work_identity", installation.workIdentity)
      .line();
}

std::string currentRuntimeRecord(const Installation& installation) {
  return RecordBuilder()
      .string("schema_version", "nuvra.runtime-current.v1")
      .string("version", installation.version)
      .string("digest", installation.payloadDigest)
      .line();
}

std::string admissionRecord(const Installation& installation, std::string_view filesText) {
  const std::string entrypoints =
      RecordBuilder().string("native", kNativeEntryPath).string("runtime", kNodeEntryPath).text();
  const std::string payload = RecordBuilder()
                                  .string("version", installation.version)
                                  .string("digest", installation.payloadDigest)
                                  .raw("entrypoints", entrypoints)
                                  .raw("files", filesText)
                                  .text();
  return RecordBuilder()
      .string("schema_version", "nuvra.runtime-admission.v1")
      .string("installation_root", installation.home)
      .string("owner_sid_hash", installation.ownerSidHash)
      .raw("payload", payload)
      .line();
}

std::string deviceAuthRecord(std::string_view sessionId, std::string_view deviceId,
                             std::string_view consumerId) {
  return RecordBuilder()
      .string("schema_version", "nuvra.windows-device-auth.v1")
      .string("session_id", sessionId)
      .string("device_id", deviceId)
      .string("consumer_id", consumerId)
      .line();
}

std::string committedRecordText(std::string_view servicingText) {
  std::string text(servicingText);
  for (int depth = 0; depth <= kMaxRecoveryDepth; ++depth) {
    FlatObject record;
    try {
      record = readJsonObject(text);
    } catch (const std::exception&) {
      fail("installer_repair_record");
    }
    const auto member = [&record](std::string_view key) -> std::optional<std::string_view> {
      const FlatValue* value = findMember(record, key);
      return value ? flatString(*value) : std::nullopt;
    };
    if (member("schema_version") != std::optional<std::string_view>("nuvra.runtime-servicing.v1")) {
      fail("installer_repair_record");
    }
    const std::optional<std::string_view> state = member("state");
    if (state == std::optional<std::string_view>("COMMITTED")) return text;
    const std::optional<std::string_view> previous = member("previous_record_text");
    if (state != std::optional<std::string_view>("RECOVERY_REQUIRED") || !previous) {
      fail("installer_repair_record");
    }
    text = std::string(*previous);
  }
  fail("installer_repair_record");
}

bool isDecimalText(std::string_view text) noexcept {
  if (text.empty() || text.size() > 20 || text.front() == '0') return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return text.size() < 20 || text <= "18446744073709551615";
}

bool isVersionText(std::string_view text) noexcept {
  // Windows drops a trailing dot from a path component, so "1.0." would name
  // the folder "1.0" and no longer match the records.
  if (text.empty() || text.size() > 64 || text.back() == '.') return false;
  for (char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace nuvra::launcher
