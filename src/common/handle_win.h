// Handle ownership. Every kernel handle the addon holds has exactly one owner,
// a UniqueHandle; "no handle" is both null and INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include <utility>
#include <vector>

namespace nuvra {

inline bool isHandle(HANDLE handle) noexcept {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(isHandle(handle) ? handle : nullptr) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      closeQuietly();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { closeQuietly(); }

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  HANDLE release() noexcept { return std::exchange(handle_, nullptr); }

  // Closes a present handle and ignores a failed close.
  void closeQuietly() noexcept {
    if (handle_ != nullptr) CloseHandle(std::exchange(handle_, nullptr));
  }
  // Closes a present handle; a failed close is "profile_close_failed". The
  // slot is empty afterwards either way: a value that would not close is
  // given up, never closed again.
  void closeOrFail();
  // True when empty or closed; false when the close failed (the value is
  // given up, as above).
  [[nodiscard]] bool closeForCleanup() noexcept;

 private:
  HANDLE handle_ = nullptr;
};

// Clears the inherit flag and reads it back; "profile_inheritance".
void requireNonInheritable(HANDLE handle);

// Handles a child is to inherit. The duplicates are owned here and closed
// with the list, so the parent keeps nothing after a launch. They stay
// non-inheritable except around the one CreateProcessW that passes them on
// (setInheritable).
using InheritList = std::vector<UniqueHandle>;

// Duplicates `handle`, not inheritable, with `desiredAccess` (0: the same
// access), appends it to `list` and returns it; "profile_duplicate".
HANDLE duplicateForChild(HANDLE handle, InheritList& list, DWORD desiredAccess);

// Sets every handle of the list inheritable; "profile_inheritance".
void setInheritable(const InheritList& list);
// Clears the inherit flag of every handle of the list; true when all cleared.
bool clearInheritable(const InheritList& list) noexcept;

}  // namespace nuvra
