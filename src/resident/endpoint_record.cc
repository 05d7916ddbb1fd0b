#include "resident/endpoint_record.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "common/layout.h"
#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::string_view kSchema = "nuvra.windows-memory-broker-endpoint.v1";
constexpr std::string_view kProtocol = "nuvra.windows-memory-broker.v1";
constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\nuvra-memory-v1-";
constexpr double kNumberLimit = 4294967295.0;

constexpr std::array<std::string_view, 18> kEndpointKeys = {
    "schema_version",
    "protocol_version",
    "broker_binding",
    "broker_instance",
    "owner_sid_hash",
    "pipe_name",
    "started_at",
    "published_at",
    "broker_scope",
    "pid",
    "process_creation_filetime",
    "image_path_sha256",
    "authentication_id_hash",
    "windows_session_id",
    "installation_root_sha256",
    "parent_pid",
    "parent_process_creation_filetime",
    "parent_image_path_sha256",
};

[[noreturn]] void invalid() {
  fail("broker_endpoint_invalid");
}
[[noreturn]] void peerRefused() {
  fail("broker_native_peer_refused");
}

// The entry of a key the key-set check has already found.
const EndpointEntry& entryOf(const EndpointEntries& entries, std::string_view key) {
  for (const EndpointEntry& entry : entries) {
    if (entry.key == key) return entry;
  }
  invalid();
}

std::optional<std::string_view> stringOf(const EndpointEntries& entries, std::string_view key) {
  const EndpointEntry& entry = entryOf(entries, key);
  if (entry.kind != EndpointKind::string) return std::nullopt;
  return std::string_view(entry.text);
}

bool stringIs(const EndpointEntries& entries, std::string_view key, std::string_view expected) {
  const auto text = stringOf(entries, key);
  return text && *text == expected;
}

bool isLowerHex(std::optional<std::string_view> text, std::size_t length) noexcept {
  if (!text || text->size() != length) return false;
  for (char c : *text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool isTimestamp(std::optional<std::string_view> text) noexcept {
  return text && isEndpointTimestamp(*text);
}

// Integral, finite and 0 to 4,294,967,295.
std::optional<std::uint32_t> unsigned32(double value) noexcept {
  if (!std::isfinite(value) || value < 0 || value > kNumberLimit || std::trunc(value) != value) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// Publisher step 7: a value that is not a number is the Node-API read failing;
// a number that is not a 32-bit unsigned integer is not read modulo 2^32 but
// refused.
std::uint32_t publisherNumber(const EndpointEntries& entries, std::string_view key) {
  const EndpointEntry& entry = entryOf(entries, key);
  if (entry.kind != EndpointKind::number) fail("profile_native_api");
  const auto value = unsigned32(entry.number);
  if (!value) invalid();
  return *value;
}

std::optional<std::uint32_t> clientNumber(const EndpointEntries& entries, std::string_view key) {
  const EndpointEntry& entry = entryOf(entries, key);
  if (entry.kind != EndpointKind::number) return std::nullopt;
  return unsigned32(entry.number);
}

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

std::string_view binding48(std::string_view binding) {
  return binding.substr(0, 48);
}

}  // namespace

EndpointEntries endpointEntries(const FlatObject& object) {
  EndpointEntries entries;
  for (const FlatMember& member : object) {
    EndpointEntry entry{member.key, EndpointKind::other, {}, 0};
    if (member.value.kind == FlatValue::Kind::string) {
      entry.kind = EndpointKind::string;
      entry.text = member.value.text;
    } else if (member.value.kind == FlatValue::Kind::number) {
      // strtod rounds like the engine: an out-of-range literal becomes an
      // infinity or a zero.
      entry.number = std::strtod(member.value.text.c_str(), nullptr);
      entry.kind = EndpointKind::number;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void checkEndpointKeySet(const EndpointEntries& entries) {
  if (entries.size() != kEndpointKeys.size()) invalid();
  std::array<bool, kEndpointKeys.size()> seen{};
  for (const EndpointEntry& entry : entries) {
    std::size_t i = 0;
    while (i < kEndpointKeys.size() && kEndpointKeys[i] != entry.key) ++i;
    // The engine never lists a key twice; a list from elsewhere might.
    if (i == kEndpointKeys.size() || seen[i]) invalid();
    seen[i] = true;
  }
}

bool isEndpointTimestamp(std::string_view text) noexcept {
  if (text.size() != 24) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char expected = '0';
    switch (i) {
      case 4:
      case 7:
        expected = '-';
        break;
      case 10:
        expected = 'T';
        break;
      case 13:
      case 16:
        expected = ':';
        break;
      case 19:
        expected = '.';
        break;
      case 23:
        expected = 'Z';
        break;
      default:
        break;
    }
    if (expected == '0' ? !isDigit(text[i]) : text[i] != expected) return false;
  }
  return true;
}

std::string endpointPipeName(std::string_view brokerBinding) {
  return std::string(kPipePrefix) + std::string(binding48(brokerBinding));
}

std::string installationBindingText(std::string_view homeKey, const DeviceBinding& device,
                                    std::string_view ownerSidHash) {
  return RecordBuilder()
      .string("canonical_home_sha256", homeKey)
      .string("consumer_id", device.consumerId)
      .string("device_id", device.deviceId)
      .string("owner_sid_hash", ownerSidHash)
      .string("schema_version", kProtocol)
      .string("session_id", device.sessionId)
      .text();
}

std::string brokerBindingText(std::string_view authenticationIdHash,
                              std::string_view installationBinding, std::uint32_t sessionId) {
  return RecordBuilder()
      .string("authentication_id_hash", authenticationIdHash)
      .string("installation_binding", installationBinding)
      .string("schema_version", kProtocol)
      .number("windows_session_id", sessionId)
      .text();
}

void validateEndpointForPublication(const EndpointEntries& entries, PublisherProbe& probe) {
  // 1. Resident availability.
  probe.checkResidentAvailable();
  // 2. Key set.
  checkEndpointKeySet(entries);
  // 3. Time stamp forms, and (as every client requires) published not
  //    before started: a record every client refuses must never be written,
  //    since nothing deletes it and it blocks every later publication.
  const auto startedAt = stringOf(entries, "started_at");
  const auto publishedAt = stringOf(entries, "published_at");
  if (!isTimestamp(startedAt) || !isTimestamp(publishedAt) || *publishedAt < *startedAt) {
    invalid();
  }
  // 4. Scope against this process's job.
  const bool inJob = probe.processInJob();
  if (!stringIs(entries, "broker_scope", inJob ? "harness_session" : "machine")) invalid();
  // 5. The host still runs.
  probe.requireHostRunning();
  // 6. Schema and protocol.
  if (!stringIs(entries, "schema_version", kSchema)) invalid();
  if (!stringIs(entries, "protocol_version", kProtocol)) invalid();
  // 7. Process ids.
  const std::uint32_t pid = publisherNumber(entries, "pid");
  const std::uint32_t parentPid = publisherNumber(entries, "parent_pid");
  const std::uint32_t sessionId = publisherNumber(entries, "windows_session_id");
  if (pid != probe.hostPid() || parentPid != probe.ownPid()) peerRefused();
  // 8. The host's creation time.
  if (!stringIs(entries, "process_creation_filetime", probe.hostCreationText())) peerRefused();
  // 9. This process's creation time and image.
  if (!stringIs(entries, "parent_process_creation_filetime", probe.ownCreationText()) ||
      !stringIs(entries, "parent_image_path_sha256", probe.ownImageHash())) {
    peerRefused();
  }
  // 10. Same interactive identity on both sides.
  probe.requireSameInteractiveIdentity();
  // 11. Session, owner, logon, host image and home.
  const PublisherBinding binding = probe.binding();
  if (sessionId != binding.sessionId ||
      !stringIs(entries, "owner_sid_hash", binding.ownerSidHash) ||
      !stringIs(entries, "authentication_id_hash", binding.authenticationIdHash) ||
      !stringIs(entries, "image_path_sha256", binding.hostImageHash) ||
      !stringIs(entries, "installation_root_sha256", binding.homeKey)) {
    peerRefused();
  }
  // 12. Binding and instance forms; the binding is not recomputed here.
  const auto brokerBinding = stringOf(entries, "broker_binding");
  if (!isLowerHex(brokerBinding, 64) || !isLowerHex(stringOf(entries, "broker_instance"), 32)) {
    invalid();
  }
  // 13. Pipe name.
  if (!stringIs(entries, "pipe_name", endpointPipeName(*brokerBinding))) invalid();
}

bool readEndpointVerdict(const EndpointEntries& entries, ClientProbe& probe) {
  bool incompatible = false;
  try {
    // 4. Key set (the parse was the caller's).
    checkEndpointKeySet(entries);
    // 5. Schema and protocol.
    if (!stringIs(entries, "schema_version", kSchema) ||
        !stringIs(entries, "protocol_version", kProtocol)) {
      return false;
    }
    // 6. Either scope; the client does not compare it with its own job.
    if (!stringIs(entries, "broker_scope", "machine") &&
        !stringIs(entries, "broker_scope", "harness_session")) {
      return false;
    }
    // 7. Time stamps, published not before started.
    const auto startedAt = stringOf(entries, "started_at");
    const auto publishedAt = stringOf(entries, "published_at");
    if (!isTimestamp(startedAt) || !isTimestamp(publishedAt) || *publishedAt < *startedAt) {
      return false;
    }
    // 8. This process's identity, home key and logon hash.
    const ClientIdentity identity = probe.identity();
    // 9. Owner, home, logon and session.
    const auto sessionId = clientNumber(entries, "windows_session_id");
    if (!stringIs(entries, "owner_sid_hash", identity.ownerSidHash) ||
        !stringIs(entries, "installation_root_sha256", identity.homeKey) ||
        !stringIs(entries, "authentication_id_hash", identity.authenticationIdHash) || !sessionId ||
        *sessionId != identity.sessionId) {
      return false;
    }
    // 10. The bindings, recomputed from the device binding.
    const std::string installation = probe.sha256Hex(
        installationBindingText(identity.homeKey, probe.deviceBinding(), identity.ownerSidHash));
    const std::string binding = probe.sha256Hex(
        brokerBindingText(identity.authenticationIdHash, installation, identity.sessionId));
    // 11. Binding, pipe name, instance and image hash forms.
    if (!stringIs(entries, "broker_binding", binding) ||
        !stringIs(entries, "pipe_name", endpointPipeName(binding)) ||
        !isLowerHex(stringOf(entries, "broker_instance"), 32) ||
        !isLowerHex(stringOf(entries, "image_path_sha256"), 64) ||
        !isLowerHex(stringOf(entries, "parent_image_path_sha256"), 64)) {
      return false;
    }
    // 12. The broker image of this runtime, not of another.
    if (!stringIs(entries, "image_path_sha256", probe.brokerImageHash())) {
      incompatible = true;
      fail("broker_runtime_incompatible");
    }
    // 13. Process ids.
    const auto pid = clientNumber(entries, "pid");
    const auto parentPid = clientNumber(entries, "parent_pid");
    if (!pid || !parentPid || *pid == 0 || *parentPid == 0 || *pid == *parentPid) return false;
    // 14. Broker, then its parent, live as recorded.
    const auto creation = stringOf(entries, "process_creation_filetime");
    const auto parentCreation = stringOf(entries, "parent_process_creation_filetime");
    if (!creation || !parentCreation) return false;
    return probe.verifyPeer(*pid, *creation, *stringOf(entries, "image_path_sha256")) &&
           probe.verifyPeer(*parentPid, *parentCreation,
                            *stringOf(entries, "parent_image_path_sha256"));
  } catch (...) {
    // Every failure from here on answers false; only the flag below turns one
    // into an error the caller can tell from a missing broker.
  }
  if (incompatible) fail("broker_runtime_incompatible");
  return false;
}

std::string buildEndpointRecord(const EndpointFields& fields) {
  const auto number = [](double value) {
    const auto checked = unsigned32(value);
    if (!checked) invalid();
    return *checked;
  };
  if (fields.brokerBinding.size() < 48) invalid();
  std::string record =
      RecordBuilder()
          .string("schema_version", kSchema)
          .string("protocol_version", kProtocol)
          .string("broker_binding", fields.brokerBinding)
          .string("broker_instance", fields.brokerInstance)
          .string("owner_sid_hash", fields.ownerSidHash)
          .string("pipe_name", endpointPipeName(fields.brokerBinding))
          .string("started_at", fields.startedAt)
          .string("published_at", fields.publishedAt)
          .string("broker_scope", fields.brokerScope)
          .number("pid", number(fields.pid))
          .string("process_creation_filetime", fields.processCreationFiletime)
          .string("image_path_sha256", fields.imagePathSha256)
          .string("authentication_id_hash", fields.authenticationIdHash)
          .number("windows_session_id", number(fields.windowsSessionId))
          .string("installation_root_sha256", fields.installationRootSha256)
          .number("parent_pid", number(fields.parentPid))
          .string("parent_process_creation_filetime", fields.parentProcessCreationFiletime)
          .string("parent_image_path_sha256", fields.parentImagePathSha256)
          .text();
  if (record.size() > kEndpointRecordLimit) invalid();
  return record;
}

}  // namespace nuvra
