#include "common/handle_win.h"

#include <utility>

#include "common/fault_injection.h"
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

HANDLE InheritList::add(UniqueHandle handle) {
  if (holder_ == nullptr) {
    requireNonInheritable(handle.get());
    const HANDLE value = handle.get();
    values_.reserve(values_.size() + 1);
    own_.push_back(std::move(handle));
    values_.push_back(value);
    return value;
  }
  values_.reserve(values_.size() + 1);
  HANDLE value = nullptr;
  // The source is closed whether or not the copy is made.
  if (!DuplicateHandle(GetCurrentProcess(), handle.release(), holder_, &value, 0, TRUE,
                       DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE)) {
    fail("profile_duplicate");
  }
  values_.push_back(value);
  return value;
}

HANDLE InheritList::duplicate(HANDLE handle, DWORD desiredAccess) {
  const DWORD options = desiredAccess == 0 ? DUPLICATE_SAME_ACCESS : 0;
  if (holder_ == nullptr) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, desiredAccess,
                         FALSE, options)) {
      fail("profile_duplicate");
    }
    return add(UniqueHandle(copy));
  }
  values_.reserve(values_.size() + 1);
  HANDLE value = nullptr;
  if (!NUVRA_INJECT("inherit.duplicate", FALSE,
                    DuplicateHandle(GetCurrentProcess(), handle, holder_, &value, desiredAccess,
                                    TRUE, options))) {
    fail("profile_duplicate");
  }
  values_.push_back(value);
  return value;
}

void InheritList::setInheritable() const {
  for (const UniqueHandle& handle : own_) {
    if (!SetHandleInformation(handle.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
      fail("profile_inheritance");
    }
  }
}

bool InheritList::clearInheritable() const noexcept {
  bool cleared = true;
  for (const UniqueHandle& handle : own_) {
    cleared = SetHandleInformation(handle.get(), HANDLE_FLAG_INHERIT, 0) != FALSE && cleared;
  }
  return cleared;
}

bool InheritList::close() noexcept {
  bool closed = true;
  while (!own_.empty()) {
    closed = own_.back().closeForCleanup() && closed;
    own_.pop_back();
  }
  if (holder_ != nullptr) {
    while (!values_.empty()) {
      // A copy in another process is closed by taking it back with
      // DUPLICATE_CLOSE_SOURCE; the local copy that comes back closes here.
      HANDLE local = nullptr;
      closed = DuplicateHandle(holder_, values_.back(), GetCurrentProcess(), &local, 0, FALSE,
                               DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE) != FALSE &&
               CloseHandle(local) != FALSE && closed;
      values_.pop_back();
    }
  }
  values_.clear();
  return closed;
}

HANDLE duplicateForChild(HANDLE handle, InheritList& list, DWORD desiredAccess) {
  return list.duplicate(handle, desiredAccess);
}

}  // namespace nuvra
