#include "common/security_win.h"

#include <sddl.h>

#include "common/fault_injection.h"
#include "common/reason.h"

namespace nuvra {

std::wstring ownerOnlySddl(const std::wstring& userSid, bool directory) {
  return L"O:" + userSid + (directory ? L"D:P(A;OICI;GA;;;" : L"D:P(A;;GA;;;") + userSid + L")";
}

OwnerOnlySecurity::OwnerOnlySecurity(const std::wstring& userSid, bool directory,
                                     const char* failureReason) {
  const std::wstring sddl = ownerOnlySddl(userSid, directory);
  if (!NUVRA_INJECT_KEYED("security.owner_only", failureReason, FALSE,
                          ConvertStringSecurityDescriptorToSecurityDescriptorW(
                              sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr))) {
    descriptor_ = nullptr;
    fail(failureReason);
  }
  attributes_.nLength = sizeof(attributes_);
  attributes_.lpSecurityDescriptor = descriptor_;
  attributes_.bInheritHandle = FALSE;
}

void OwnerOnlySecurity::release() noexcept {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
  descriptor_ = nullptr;
  attributes_.lpSecurityDescriptor = nullptr;
}

}  // namespace nuvra
