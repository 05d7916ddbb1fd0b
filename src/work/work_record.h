// The profile-work record: the one-line JSON that hands an open work to a
// child process, which continues it under the same custody. Assembly only;
// the handles it names are duplicated by the Windows side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

struct ProfileWorkFields {
  std::string home;  // UTF-8
  std::string root;  // UTF-8
  std::string ownerSidHash;
  std::string payloadDigest;
  std::string generation;
  std::uint64_t deadline = 0;
  bool cold = false;
  std::uint64_t serialization = 0;  // "s"
  std::uint64_t lifetime = 0;       // "l"
  std::uint64_t workRecord = 0;     // "r"
  std::uint64_t parent = 0;
  std::uint32_t parentPid = 0;
  std::string guards;  // GuardArrayBuilder::text(), the work marker last
};

// "nuvra.profile-work.v1", keys in their fixed order, no line feed.
std::string profileWorkRecord(const ProfileWorkFields& fields);

}  // namespace nuvra
