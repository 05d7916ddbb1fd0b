#include "common/handle_win.h"

#include <utility>

#include "common/reason.h"

namespace nuvra {

// A value whose close failed is no longer ours to close: it is given up, so
// that no later close (this slot's destructor included) can hit a handle that
// has since been opened with the same value.
void UniqueHandle::closeOrFail() {
  if (handle_ == nullptr) return;
  if (!CloseHandle(std::exchange(handle_, nullptr))) fail("profile_close_failed");
}

bool UniqueHandle::closeForCleanup() noexcept {
  if (handle_ == nullptr) return true;
  return CloseHandle(std::exchange(handle_, nullptr)) != FALSE;
}

void requireNonInheritable(HANDLE handle) {
  DWORD flags = 0;
  if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0) ||
      !GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0) {
    fail("profile_inheritance");
  }
}

HANDLE duplicateForChild(HANDLE handle, InheritList& list, DWORD desiredAccess) {
  HANDLE duplicate = nullptr;
  const DWORD options = desiredAccess == 0 ? DUPLICATE_SAME_ACCESS : 0;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate, desiredAccess,
                       FALSE, options)) {
    fail("profile_duplicate");
  }
  // Owned before the list grows, so a failed growth still closes it.
  UniqueHandle owned(duplicate);
  list.push_back(std::move(owned));
  return duplicate;
}

void setInheritable(const InheritList& list) {
  for (const UniqueHandle& handle : list) {
    if (!SetHandleInformation(handle.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
      fail("profile_inheritance");
    }
  }
}

bool clearInheritable(const InheritList& list) noexcept {
  bool cleared = true;
  for (const UniqueHandle& handle : list) {
    cleared = SetHandleInformation(handle.get(), HANDLE_FLAG_INHERIT, 0) != FALSE && cleared;
  }
  return cleared;
}

}  // namespace nuvra
