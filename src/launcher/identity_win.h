// Who the launcher and the installer act for, and the names derived from it:
// the owner SID hash, the home key and the owner-only security descriptors
// that every file, directory and kernel object of a product home carries.
#pragma once

#include <windows.h>

#include <string>

namespace nuvra::launcher {

// The current process's token user SID in string form; "launcher_identity".
std::wstring currentUserSid();

// SHA-256 hex of the UTF-8 user SID: what records and handoffs call
// "owner_sid_hash".
std::string ownerSidHash();

// SHA-256 hex of the home path lower-cased with the invariant locale, UTF-8;
// "launcher_home_key". Two spellings differing only in case give one key.
std::string homeKey(const std::wstring& home);

// "Global\Nuvra.RuntimeSerialization.V1." + home key.
std::wstring serializationMutexName(const std::wstring& home);

// The image path of a process (QueryFullProcessImageNameW); "launcher_image".
std::wstring processImagePath(HANDLE process);

// Owner the user, protected DACL granting GENERIC_ALL to the user only;
// directories add OICI so that what is created inside inherits the same.
// The attributes are not inheritable.
class OwnerOnlySecurity {
 public:
  enum class Kind { object, directory };
  explicit OwnerOnlySecurity(Kind kind = Kind::object);
  ~OwnerOnlySecurity();
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

  SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace nuvra::launcher
