// The profile-work record: the one-line JSON that hands an open work to a
// child process, which continues it under the same custody. Assembly only;
// the handles it names are duplicated by the Windows side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

// The "guards" array: one object per guard, the work marker always last.
class GuardArrayBuilder {
 public:
  // "handle" decimal string, "path" JSON string, "volume" bare number,
  // "file_id" decimal string, in that order.
  void add(std::uint64_t handle, std::string_view pathUtf8, std::uint32_t volume,
           std::uint64_t fileId);
  std::string text() const { return text_ + "]"; }
  bool empty() const noexcept { return text_.size() == 1; }

 private:
  std::string text_ = "[";
};

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
  std::string guards;  // GuardArrayBuilder::text()
};

// "nuvra.profile-work.v1", keys in their fixed order, no line feed.
std::string profileWorkRecord(const ProfileWorkFields& fields);

}  // namespace nuvra
