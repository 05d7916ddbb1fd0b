// Handle ownership. Every kernel handle the addon holds has exactly one owner,
// a UniqueHandle; "no handle" is both null and INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace nuvra {

inline bool isHandle(HANDLE handle) noexcept {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A handle value as the handoff records carry it.
inline std::uint64_t handleValue(HANDLE handle) noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
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

// Handles a child is to inherit, and the values the child will see for them.
// Without a holder the copies are this process's own, non-inheritable except
// around the one CreateProcessW that passes them on (setInheritable). With a
// holder, a process that never runs and that the child is created under, the
// copies live there, inheritable, and nothing of this process ever is: a
// child that anything else in this process starts meanwhile cannot take them.
class InheritList {
 public:
  InheritList() noexcept = default;
  explicit InheritList(HANDLE holder) noexcept : holder_(holder) {}
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  ~InheritList() { static_cast<void>(close()); }

  // Takes `handle` over and returns the child's value; "profile_duplicate".
  HANDLE add(UniqueHandle handle);
  // Copies `handle` with `desiredAccess` (0: the same access) and returns the
  // child's value; "profile_duplicate".
  HANDLE duplicate(HANDLE handle, DWORD desiredAccess);
  const std::vector<HANDLE>& values() const noexcept { return values_; }

  // Without a holder: the copies' inherit flags around the creation;
  // "profile_inheritance" / true when all cleared. With one: nothing to do.
  void setInheritable() const;
  [[nodiscard]] bool clearInheritable() const noexcept;
  // Closes every copy, newest first; false when one would not close (its
  // value is given up, as UniqueHandle does).
  [[nodiscard]] bool close() noexcept;

 private:
  HANDLE holder_ = nullptr;
  std::vector<UniqueHandle> own_;
  std::vector<HANDLE> values_;
};

// list.duplicate(handle, desiredAccess).
HANDLE duplicateForChild(HANDLE handle, InheritList& list, DWORD desiredAccess);

}  // namespace nuvra
