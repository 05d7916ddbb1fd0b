// An endpoint record built from any field values either is refused with
// "broker_endpoint_invalid" or reads back through the flat reader to exactly
// those values in table order; and any text given to the readers ends in an
// answer or a reason of theirs, never in a crash, with the client's true only
// for a record that the builder reproduces value for value.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "accepting_branch.h"
#include "common/flat_json.h"
#include "common/reason.h"
#include "resident/endpoint_record.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedRead("read_record");
nuvra::fuzzing::AcceptingBranch acceptedBuilt("built_record");

class AnyClient : public nuvra::ClientProbe {
 public:
  explicit AnyClient(const nuvra::EndpointEntries& entries) : entries_(entries) {}
  nuvra::ClientIdentity identity() override {
    return {text("owner_sid_hash"), text("installation_root_sha256"),
            text("authentication_id_hash"), 1};
  }
  nuvra::DeviceBinding deviceBinding() override { return {"s", "d", "c"}; }
  std::string sha256Hex(std::string_view) override { return text("broker_binding"); }
  std::string brokerImageHash() override { return text("image_path_sha256"); }
  bool verifyPeer(std::uint32_t, std::string_view, std::string_view) override { return true; }

 private:
  std::string text(std::string_view key) {
    for (const nuvra::EndpointEntry& entry : entries_) {
      if (entry.key == key) return entry.text;
    }
    return {};
  }
  const nuvra::EndpointEntries& entries_;
};

void readAnyText(const std::string& text) {
  nuvra::FlatObject object;
  try {
    object = nuvra::readFlatObject(text);
  } catch (const nuvra::ProfileError&) {
    return;
  }
  const nuvra::EndpointEntries entries = nuvra::endpointEntries(object);
  AnyClient client(entries);
  if (!nuvra::readEndpointVerdict(entries, client)) return;
  nuvra::EndpointFields fields;
  const auto s = [&](const char* key) {
    return nuvra::flatString(*nuvra::findMember(object, key));
  };
  const auto n = [&](const char* key) {
    for (const nuvra::EndpointEntry& entry : entries) {
      if (entry.key == key) return entry.number;
    }
    std::abort();
  };
  fields.brokerBinding = *s("broker_binding");
  fields.brokerInstance = *s("broker_instance");
  fields.ownerSidHash = *s("owner_sid_hash");
  fields.startedAt = *s("started_at");
  fields.publishedAt = *s("published_at");
  fields.brokerScope = *s("broker_scope");
  fields.pid = n("pid");
  fields.processCreationFiletime = *s("process_creation_filetime");
  fields.imagePathSha256 = *s("image_path_sha256");
  fields.authenticationIdHash = *s("authentication_id_hash");
  fields.windowsSessionId = n("windows_session_id");
  fields.installationRootSha256 = *s("installation_root_sha256");
  fields.parentPid = n("parent_pid");
  fields.parentProcessCreationFiletime = *s("parent_process_creation_filetime");
  fields.parentImagePathSha256 = *s("parent_image_path_sha256");
  const nuvra::FlatObject rebuilt = nuvra::readFlatObject(nuvra::buildEndpointRecord(fields));
  for (const nuvra::FlatMember& member : rebuilt) {
    const nuvra::FlatValue* original = nuvra::findMember(object, member.key);
    if (original == nullptr || original->kind != member.value.kind) std::abort();
    if (member.value.kind == nuvra::FlatValue::Kind::string &&
        original->text != member.value.text) {
      std::abort();
    }
  }
  acceptedRead.reached();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  readAnyText(input);

  // The same bytes as twelve texts and three numbers, split at 0xFF.
  std::vector<std::string> parts(1);
  for (char c : input) {
    if (static_cast<unsigned char>(c) == 0xFF) {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  parts.resize(15);
  const auto number = [](const std::string& part) {
    double value = 0;
    std::memcpy(&value, part.data(), std::min(part.size(), sizeof(value)));
    return part.size() <= 4 ? static_cast<double>(part.size() * 1000003u) : value;
  };
  nuvra::EndpointFields fields;
  fields.brokerBinding = parts[0];
  fields.brokerInstance = parts[1];
  fields.ownerSidHash = parts[2];
  fields.startedAt = parts[3];
  fields.publishedAt = parts[4];
  fields.brokerScope = parts[5];
  fields.pid = number(parts[6]);
  fields.processCreationFiletime = parts[7];
  fields.imagePathSha256 = parts[8];
  fields.authenticationIdHash = parts[9];
  fields.windowsSessionId = number(parts[10]);
  fields.installationRootSha256 = parts[11];
  fields.parentPid = number(parts[12]);
  fields.parentProcessCreationFiletime = parts[13];
  fields.parentImagePathSha256 = parts[14];
  std::string record;
  try {
    record = nuvra::buildEndpointRecord(fields);
  } catch (const nuvra::ProfileError& error) {
    if (std::strcmp(error.what(), "broker_endpoint_invalid") != 0) std::abort();
    return 0;
  }
  if (record.size() > 8191) std::abort();
  nuvra::FlatObject object;
  try {
    object = nuvra::readFlatObject(record);
  } catch (const nuvra::ProfileError&) {
    // The builder escapes but does not validate UTF-8 (its inputs were
    // validated on entry); the reader does. Only such bytes may be refused.
    if (std::none_of(input.begin(), input.end(), [](char c) {
          return static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) != 0xFF;
        })) {
      std::abort();
    }
    return 0;
  }
  const nuvra::EndpointEntries entries = nuvra::endpointEntries(object);
  const std::vector<std::string> expected = {
      "nuvra.windows-memory-broker-endpoint.v1",
      "nuvra.windows-memory-broker.v1",
      fields.brokerBinding,
      fields.brokerInstance,
      fields.ownerSidHash,
      nuvra::endpointPipeName(fields.brokerBinding),
      fields.startedAt,
      fields.publishedAt,
      fields.brokerScope,
      "",
      fields.processCreationFiletime,
      fields.imagePathSha256,
      fields.authenticationIdHash,
      "",
      fields.installationRootSha256,
      "",
      fields.parentProcessCreationFiletime,
      fields.parentImagePathSha256,
  };
  if (entries.size() != expected.size()) std::abort();
  nuvra::checkEndpointKeySet(entries);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (entries[i].text != expected[i]) std::abort();
  }
  if (entries[9].number != fields.pid || entries[13].number != fields.windowsSessionId ||
      entries[15].number != fields.parentPid) {
    std::abort();
  }
  acceptedBuilt.reached();
  return 0;
}
