// The native endpoint descriptor: the one line that tells a client which
// broker pipe to open and which process must be at its other end. Parsed by
// the exchange entries on the JavaScript thread (argument check) and again by
// the native exchange on its worker thread before it connects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

struct NativeEndpointDescriptor {
  std::string pipe_name;  // "nuvra-memory-v1-" + 48 lowercase hex digits
  std::uint32_t server_pid = 0;
  std::uint64_t process_creation_filetime = 0;
  std::string image_path_sha256;
  std::string owner_sid_hash;
  std::string authentication_id_hash;
  std::uint32_t windows_session_id = 0;
  std::string public_digest;    // 64 lowercase hex digits
  std::string broker_instance;  // 32 lowercase hex digits
  std::uint64_t exchange_timeout_ms = 0;
};

// 1 to 2048 bytes of tab and 0x20..0x7E, exactly 12 tab-separated fields:
//   0 NUVRA_NATIVE_ENDPOINT_V1   1 pipe name   2 pid 1..2^31-1
//   3 creation FILETIME 1..2^64-1   4, 5, 6 hashes (64 hex)
//   7 session 0..2^32-1   8 preamble digest (64 hex)   9 instance (32 hex)
//   10 time-out 50..15000 ms   11 END
// Any defect is "broker_native_protocol_refused".
NativeEndpointDescriptor parseEndpointDescriptor(std::string_view line);

// The canonical line of a descriptor (decimals without leading zeros); an
// accepted line without leading zeros renders back to itself.
std::string renderEndpointDescriptor(const NativeEndpointDescriptor& descriptor);

// "\\.\pipe\" + pipe name.
std::wstring pipePath(const NativeEndpointDescriptor& descriptor);

}  // namespace nuvra
