// Small helpers shared by the Windows unit tests: reason capture, a scratch
// directory on C:, and files created with an explicit security descriptor.
#pragma once

#include <sddl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "../support/reason_of.h"
#include "common/handle_win.h"
#include "common/reason.h"

namespace nuvra::testing {

// A security descriptor from SDDL, freed with the object.
class Descriptor {
 public:
  explicit Descriptor(const std::wstring& sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor_, nullptr)) {
      descriptor_ = nullptr;
    }
  }
  ~Descriptor() { LocalFree(descriptor_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }
  SECURITY_ATTRIBUTES attributes(bool inherit = false) const {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor_;
    attributes.bInheritHandle = inherit ? TRUE : FALSE;
    return attributes;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// A fresh directory under the temporary directory (on C: under Wine), removed
// with what the test left in it (files only, one level).
class ScratchDirectory {
 public:
  ScratchDirectory() {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    std::wstring root(base, length);
    if (!root.empty() && root.back() != L'\\') root.push_back(L'\\');
    static unsigned counter = 0;
    path_ = root + L"nuvra-win-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchDirectory() {
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = path_ + L"\\" + name;
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          RemoveDirectoryW(full.c_str());
        } else {
          DeleteFileW(full.c_str());
        }
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryW(path_.c_str());
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
};

// Creates (or replaces) a file with the given bytes, using `sddl` as its
// security descriptor when it is not empty. True on success.
inline bool writeFile(const std::wstring& path, std::string_view bytes,
                      const std::wstring& sddl = L"") {
  Descriptor descriptor(sddl.empty() ? L"D:" : sddl);
  SECURITY_ATTRIBUTES attributes = descriptor.attributes();
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0,
                                sddl.empty() ? nullptr : &attributes, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  if (!bytes.empty() &&
      (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size())) {
    return false;
  }
  return file.closeForCleanup();
}

}  // namespace nuvra::testing
