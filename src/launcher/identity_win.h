// Names and descriptors of a product home as the launcher and the installer
// create them: the home key, the serialisation mutex name and the owner-only
// security descriptors that every file, directory and kernel object of a
// home carries. Who the user is comes from work/identity_win.h.
#pragma once

#include <windows.h>

#include <string>

namespace nuvra::launcher {

// SHA-256 hex of the home path lower-cased with the invariant locale, UTF-8;
// "launcher_home_key". Two spellings differing only in case give one key.
std::string homeKey(const std::wstring& home);

// "Global\Nuvra.RuntimeSerialization.V1." + home key.
std::wstring serializationMutexName(const std::wstring& home);

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
