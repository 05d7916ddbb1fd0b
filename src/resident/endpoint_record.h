// The broker endpoint record: its key set and value rules, the publisher's
// validation and the client's verdict as ordered checks over values already
// taken out of the parsed object, the two binding texts, and the builder the
// resident host composes its record with.
//
// The addon parses the record with the engine's JSON.parse; the Node-API code
// (resident/publication_napi.cc, exchange/budget_napi.cc) lists the object's
// own keys in order with their values as EndpointEntries and supplies the
// live facts through a probe. The host role of the broker executable reads
// its own record back through readFlatObject and endpointEntries.
//
// A key the table gives as a string but that holds another JSON type fails
// the step that reads it, with that step's reason, like a wrong string would.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/flat_json.h"

namespace nuvra {

enum class EndpointKind { string, number, other };

struct EndpointEntry {
  std::string key;
  EndpointKind kind = EndpointKind::other;
  std::string text;   // string: its UTF-8 bytes
  double number = 0;  // number: the engine's value
};

using EndpointEntries = std::vector<EndpointEntry>;

// Entries as the engine would present the members of `object`: numbers as
// doubles, nested values as "other".
EndpointEntries endpointEntries(const FlatObject& object);

// Exactly the eighteen keys, each once, in any order; else
// "broker_endpoint_invalid".
void checkEndpointKeySet(const EndpointEntries& entries);

// 24 characters "YYYY-MM-DDTHH:MM:SS.mmmZ": digits everywhere but '-' at 4
// and 7, 'T' at 10, ':' at 13 and 16, '.' at 19 and 'Z' at 23.
bool isEndpointTimestamp(std::string_view text) noexcept;

// "\\.\pipe\nuvra-memory-v1-" + the first 48 characters of the binding.
std::string endpointPipeName(std::string_view brokerBinding);

struct DeviceBinding {
  std::string sessionId;
  std::string deviceId;
  std::string consumerId;
};

// {"canonical_home_sha256":…,"consumer_id":…,"device_id":…,"owner_sid_hash":…,
//  "schema_version":"nuvra.windows-memory-broker.v1","session_id":…}
std::string installationBindingText(std::string_view homeKey, const DeviceBinding& device,
                                    std::string_view ownerSidHash);

// {"authentication_id_hash":…,"installation_binding":…,
//  "schema_version":"nuvra.windows-memory-broker.v1","windows_session_id":N}
std::string brokerBindingText(std::string_view authenticationIdHash,
                              std::string_view installationBinding, std::uint32_t sessionId);

// What the publisher compares in its step 11.
struct PublisherBinding {
  std::uint32_t sessionId = 0;
  std::string ownerSidHash;  // the startup owner SID hash
  std::string authenticationIdHash;
  std::string hostImageHash;
  std::string homeKey;
};

// The live facts of publication, asked in the order the steps need them.
// Each may throw its step's reason.
class PublisherProbe {
 public:
  virtual ~PublisherProbe() = default;
  virtual void checkResidentAvailable() = 0;  // step 1
  // Step 4: whether this process is in a job; a failed query throws
  // "broker_endpoint_invalid".
  virtual bool processInJob() = 0;
  virtual void requireHostRunning() = 0;  // step 5: "broker_native_exited"
  virtual std::uint32_t hostPid() = 0;    // step 7
  virtual std::uint32_t ownPid() = 0;     // step 7
  // Decimal FILETIME texts of the creation times (steps 8 and 9); a failed
  // query throws "broker_native_peer_refused".
  virtual std::string hostCreationText() = 0;
  virtual std::string ownCreationText() = 0;
  virtual std::string ownImageHash() = 0;  // step 9
  // Step 10: both identities interactive and the same; else
  // "broker_native_peer_refused".
  virtual void requireSameInteractiveIdentity() = 0;
  virtual PublisherBinding binding() = 0;  // step 11
};

// validateEndpointForPublication, steps 1 to 13.
void validateEndpointForPublication(const EndpointEntries& entries, PublisherProbe& probe);

// What the client compares in its step 9.
struct ClientIdentity {
  std::string ownerSidHash;  // the startup owner SID hash
  std::string homeKey;
  std::string authenticationIdHash;
  std::uint32_t sessionId = 0;
};

class ClientProbe {
 public:
  virtual ~ClientProbe() = default;
  // Step 8: this process's identity, which must pass the interactive-user rule.
  virtual ClientIdentity identity() = 0;
  virtual DeviceBinding deviceBinding() = 0;  // step 10
  virtual std::string sha256Hex(std::string_view text) = 0;
  // Step 12: the path hash of root + the broker executable's relative path.
  virtual std::string brokerImageHash() = 0;
  // Step 14: the process is live with that creation time and image hash.
  virtual bool verifyPeer(std::uint32_t pid, std::string_view creationFiletime,
                          std::string_view imageHash) = 0;
};

// The client's reading, steps 4 (after the parse) to 14: true when every check
// holds. Every failure, including one thrown by the probe, answers false,
// except a broker image of another runtime, which throws
// "broker_runtime_incompatible".
bool readEndpointVerdict(const EndpointEntries& entries, ClientProbe& probe);

// The record the resident host composes. Numbers arrive as the host got them
// (doubles); the pipe name is derived from the binding.
struct EndpointFields {
  std::string brokerBinding;
  std::string brokerInstance;
  std::string ownerSidHash;
  std::string startedAt;
  std::string publishedAt;
  std::string brokerScope;
  double pid = 0;
  std::string processCreationFiletime;
  std::string imagePathSha256;
  std::string authenticationIdHash;
  double windowsSessionId = 0;
  std::string installationRootSha256;
  double parentPid = 0;
  std::string parentProcessCreationFiletime;
  std::string parentImagePathSha256;
};

// The eighteen keys in table order, no line feed. A number that is not
// finite, integral and 0 to 4,294,967,295, a binding shorter than 48
// characters, or a record over 8,191 bytes is "broker_endpoint_invalid".
std::string buildEndpointRecord(const EndpointFields& fields);

}  // namespace nuvra
