#include "runtime_launch_win.h"

#include <utility>

#include "common/reason.h"

namespace nuvra::broker {
namespace {

// PROC_THREAD_ATTRIBUTE_HANDLE_LIST points into `handles`; both live and die
// with this object.
class HandleListAttributes {
 public:
  explicit HandleListAttributes(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      list_ = nullptr;
      fail("launcher_create_process");
    }
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      // A constructor that throws runs no destructor.
      DeleteProcThreadAttributeList(std::exchange(list_, nullptr));
      fail("launcher_create_process");
    }
  }
  ~HandleListAttributes() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  HandleListAttributes(const HandleListAttributes&) = delete;
  HandleListAttributes& operator=(const HandleListAttributes&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

bool tokenElevated(HANDLE token) {
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
    fail("launcher_token");
  }
  return elevation.TokenIsElevated != 0;
}

// A primary token that is not elevated: our own when we are not elevated;
// the linked (filtered) token when we run elevated with a split token, as a
// test bed started from a Linux shell does. An elevated token without a
// linked one (an administrator with the split disabled) cannot start a
// non-elevated runtime, so the launch is refused.
UniqueHandle nonElevatedToken() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY,
                        &raw)) {
    fail("launcher_token");
  }
  UniqueHandle own(raw);
  UniqueHandle source;
  if (tokenElevated(own.get())) {
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
      fail("launcher_token");
    }
    source = UniqueHandle(linked.LinkedToken);
    if (!source || tokenElevated(source.get())) fail("launcher_token");
  } else {
    source = std::move(own);
  }
  HANDLE primary = nullptr;
  constexpr DWORD kAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                            TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
  if (!DuplicateTokenEx(source.get(), kAccess, nullptr, SecurityImpersonation, TokenPrimary,
                        &primary)) {
    fail("launcher_token");
  }
  return UniqueHandle(primary);
}

bool processElevated(HANDLE process) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return true;
  UniqueHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
    return true;
  }
  return elevation.TokenIsElevated != 0;
}

}  // namespace

RuntimeProcess startRuntime(const RuntimeCommand& command, InheritList& inherit) {
  UniqueHandle token = nonElevatedToken();

  HandleListAttributes attributes(inherit.values());

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = command.standardInput;
  startup.StartupInfo.hStdOutput = command.standardOutput;
  startup.StartupInfo.hStdError = command.standardError;
  startup.lpAttributeList = attributes.get();

  // The command line buffer must be writable.
  std::wstring commandLine = command.commandLine;
  std::wstring environment = command.environment;
  PROCESS_INFORMATION info{};
  // The copies are made inheritable only now, for this one call.
  inherit.setInheritable();
  // Suspended, so that its token is checked before it runs a single instruction.
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
  const BOOL created =
      CreateProcessAsUserW(token.get(), command.image.c_str(), commandLine.data(), nullptr, nullptr,
                           TRUE, flags, environment.data(), nullptr, &startup.StartupInfo, &info);
  // The child has its copies now (or never will); ours go at once so that no
  // later launch can inherit them.
  static_cast<void>(inherit.close());
  if (!created) fail("launcher_create_process");

  RuntimeProcess runtime{UniqueHandle(info.hProcess), info.dwProcessId};
  UniqueHandle thread(info.hThread);
  if (processElevated(runtime.process.get())) {
    TerminateProcess(runtime.process.get(), 70);
    fail("launcher_child_elevated");
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    TerminateProcess(runtime.process.get(), 70);
    fail("launcher_create_process");
  }
  return runtime;
}

std::wstring environmentWith(const std::wstring& name, const std::optional<std::wstring>& value) {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  if (strings != nullptr) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      const std::wstring_view text(entry);
      const bool same = text.size() > name.size() && text[name.size()] == L'=' &&
                        CompareStringOrdinal(entry, static_cast<int>(name.size()), name.data(),
                                             static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
      if (same) continue;
      block.append(text);
      block.push_back(L'\0');
    }
    FreeEnvironmentStringsW(strings);
  }
  if (value) {
    block += name + L"=" + *value;
    block.push_back(L'\0');
  }
  // An empty block still needs its two terminating NULs.
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace nuvra::broker
