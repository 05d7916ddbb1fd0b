// The security descriptor of every file and directory the addon creates:
// owned by the current user, with a protected DACL that grants that user
// alone GENERIC_ALL. Directories let the grant inherit to what they contain.
#pragma once

#include <windows.h>

#include <string>

namespace nuvra {

// "O:" + sid + "D:P(A;;GA;;;" + sid + ")"; a directory's ACE carries OICI.
std::wstring ownerOnlySddl(const std::wstring& userSid, bool directory);

// The descriptor built from ownerOnlySddl, freed with this object or by
// release(). Its security attributes are not inheritable.
class OwnerOnlySecurity {
 public:
  // `failureReason` is the caller's code for a descriptor that cannot be built.
  OwnerOnlySecurity(const std::wstring& userSid, bool directory, const char* failureReason);
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;
  ~OwnerOnlySecurity() { release(); }

  // For CreateFileW and CreateDirectoryW; valid until release().
  SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }
  // Frees the descriptor once the object it was for exists.
  void release() noexcept;

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace nuvra
