// A native stand-in for a runtime, run by the launcher integration suite:
// installed as a home's node.exe, it inspects its startup custody the way the
// addon's startup does and reports what it found as one "PROBE {...}" line.
// It never runs in the ordinary unit-test pass (it is disabled there).
//
// NUVRA_PROBE_ACK: "1" (default) or another byte value to write to the
// acknowledgement pipe, or "none"; NUVRA_PROBE_DELAY_MS delays that write.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/serialization_object_win.h"

namespace {

using nuvra::RecordBuilder;

// The value of "key": a string's raw content (escapes undone for \\ and \")
// or a bare number; empty when absent. Enough for the launcher's own output.
std::string field(const std::string& text, const std::string& key, std::size_t from = 0) {
  const std::string marker = "\"" + key + "\":";
  std::size_t at = text.find(marker, from);
  if (at == std::string::npos) return {};
  at += marker.size();
  std::string value;
  if (at < text.size() && text[at] == '"') {
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      value.push_back(text[at]);
    }
  } else {
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') value.push_back(text[at++]);
  }
  return value;
}

bool ownerOnly(HANDLE object, nuvra::OwnedObject kind) {
  try {
    nuvra::checkOwnerOnly(object, kind);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Opens a file or directory of the home the way a record reader does and
// applies the owner-only check to it.
bool ownerOnlyPath(const std::wstring& path, nuvra::OwnedObject kind) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool result = ownerOnly(file, kind);
  CloseHandle(file);
  return result;
}

HANDLE handleOf(const std::string& decimal) {
  if (decimal.empty()) return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoull(decimal)));
}

bool sameObject(HANDLE a, HANDLE b) {
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  const auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
  return compare != nullptr && compare(a, b) != FALSE;
}

// Handle facts: valid, inheritable as received.
void describeHandle(RecordBuilder& out, const std::string& name, HANDLE handle) {
  DWORD flags = 0;
  const bool valid = handle != nullptr && GetHandleInformation(handle, &flags);
  out.boolean(name + "_valid", valid);
  out.boolean(name + "_inheritable", valid && (flags & HANDLE_FLAG_INHERIT) != 0);
}

std::uint64_t inheritedFromPid() {
  using Query = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  if (query == nullptr) return 0;
  ULONG_PTR info[6] = {};  // PROCESS_BASIC_INFORMATION: the last field is the parent id
  if (query(GetCurrentProcess(), ProcessBasicInformation, info, sizeof(info), nullptr) != 0) {
    return 0;
  }
  return info[5];
}

TEST(HandoffProbe, DISABLED_ReportsTheStartupCustody) {
  RecordBuilder out;
  wchar_t envText[64] = {};
  const DWORD envLength = GetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", envText, 64);
  out.boolean("env_present", envLength > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND);
  std::string text;
  HANDLE mapping = nullptr;
  if (envLength > 0 && envLength < 64) {
    mapping = handleOf(nuvra::utf16ToUtf8(envText));
    describeHandle(out, "mapping", mapping);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0x40000);
    out.boolean("read_view", view != nullptr);
    if (view != nullptr) {
      std::uint32_t length = 0;
      std::memcpy(&length, view, 4);
      out.number("length_word", length);
      if (length >= 1 && length <= 0x40000 - 4) {
        text.assign(static_cast<const char*>(view) + 4, length);
      }
      UnmapViewOfFile(view);
    }
    void* writable = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0x40000);
    out.boolean("write_view", writable != nullptr);
    if (writable != nullptr) UnmapViewOfFile(writable);
  }
  out.boolean("text_read", !text.empty());
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool tokenRead =
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
  if (token != nullptr) CloseHandle(token);
  out.boolean("elevated", !tokenRead || elevation.TokenIsElevated != 0);

  if (!text.empty()) {
    // The acknowledgement pipe.
    HANDLE ack = handleOf(field(text, "startup_ack"));
    describeHandle(out, "ack", ack);
    out.boolean("ack_is_pipe", ack != nullptr && GetFileType(ack) == FILE_TYPE_PIPE);

    // The serialisation mutex: the object the home's name opens.
    HANDLE mutex = handleOf(field(text, "s"));
    describeHandle(out, "mutex", mutex);
    const std::string home = field(text, "home");
    bool named = false;
    if (!home.empty()) {
      const std::wstring name = nuvra::serializationMutexName(nuvra::utf8ToUtf16(home));
      HANDLE opened =
          OpenMutexW(SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE, FALSE, name.c_str());
      named = opened != nullptr && sameObject(opened, mutex);
      if (opened != nullptr) CloseHandle(opened);
    }
    out.boolean("mutex_is_named_mutex", named);
    const DWORD wait = mutex != nullptr ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
    out.string("mutex_wait", wait == WAIT_OBJECT_0    ? "owned"
                             : wait == WAIT_ABANDONED ? "abandoned"
                             : wait == WAIT_TIMEOUT   ? "busy"
                                                      : "failed");
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);

    // The parent: the process that started us, named by handle and by pid.
    HANDLE parent = handleOf(field(text, "parent"));
    describeHandle(out, "parent", parent);
    const std::string parentPid = field(text, "parent_pid");
    out.number("inherited_from_pid", inheritedFromPid());
    out.number("parent_handle_pid", parent != nullptr ? GetProcessId(parent) : 0);
    out.boolean("parent_running",
                parent != nullptr && WaitForSingleObject(parent, 0) == WAIT_TIMEOUT);

    // The guards, in handoff order.
    std::string guards = "[";
    const std::size_t array = text.find("\"guards\":[");
    for (std::size_t at = text.find("\"handle\":", array);
         array != std::string::npos && at != std::string::npos;
         at = text.find("\"handle\":", at + 1)) {
      HANDLE guard = handleOf(field(text, "handle", at));
      nuvra::FileIdentity identity;
      const bool known = nuvra::fileIdentity(guard, identity);
      RecordBuilder g;
      describeHandle(g, "handle", guard);
      g.number("volume", identity.volumeSerial)
          .decimalString("file_id",
                         (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow)
          .number("links", identity.links)
          .string("path", known ? nuvra::utf16ToUtf8(nuvra::canonicalPath(guard)) : "");
      if (guards.size() > 1) guards += ",";
      guards += g.text();
    }
    out.raw("guards", guards + "]");

    // Owner-only security of what the launcher and the installer made, as
    // the runtime checks it (files by the flavour's policy).
    if (!home.empty()) {
      const std::wstring homePath = nuvra::utf8ToUtf16(home);
      using Kind = nuvra::OwnedObject;
      out.raw(
          "owner_only",
          RecordBuilder()
              .string("flavour", nuvra::policy::flavourName())
              .boolean("mutex", ownerOnly(mutex, Kind::kernelObject))
              .boolean("lifetime", ownerOnly(handleOf(field(text, "l")), Kind::file))
              .boolean("work", ownerOnly(handleOf(field(text, "r")), Kind::file))
              .boolean("home", ownerOnlyPath(homePath, Kind::directory))
              .boolean("servicing",
                       ownerOnlyPath(homePath + L"\\state\\runtime\\servicing.json", Kind::file))
              .boolean("admission",
                       ownerOnlyPath(homePath + L"\\state\\runtime\\admission.json", Kind::file))
              .boolean("current", ownerOnlyPath(homePath + L"\\runtime\\current", Kind::file))
              .boolean("device_auth",
                       ownerOnlyPath(homePath + L"\\windows-device-auth.json", Kind::file))
              .text());
    }

    // The launcher's own handles must not be ours: where such a value is a
    // valid handle here, it is some other object.
    for (const char* own : {"own_mutex", "own_mapping"}) {
      HANDLE value = handleOf(field(text, own));
      HANDLE ours = std::string(own) == "own_mutex" ? mutex : mapping;
      DWORD flags = 0;
      const bool valid = value != nullptr && GetHandleInformation(value, &flags);
      out.boolean(std::string(own) + "_is_ours", valid && value != ours && sameObject(value, ours));
    }

    // The acknowledgement, as the test asks for it.
    char mode[16] = {};
    GetEnvironmentVariableA("NUVRA_PROBE_ACK", mode, sizeof(mode));
    char delay[16] = {};
    if (GetEnvironmentVariableA("NUVRA_PROBE_DELAY_MS", delay, sizeof(delay)) > 0) {
      Sleep(static_cast<DWORD>(std::strtoul(delay, nullptr, 10)));
    }
    if (std::string(mode) != "none") {
      const auto byte =
          static_cast<unsigned char>(mode[0] == '\0' ? 1 : std::strtoul(mode, nullptr, 10));
      DWORD written = 0;
      const BOOL wrote = WriteFile(ack, &byte, 1, &written, nullptr);
      out.boolean("ack_written", wrote && written == 1);
    }
  }
  std::printf("PROBE %s\n", out.text().c_str());
  std::fflush(stdout);
  SUCCEED();
}

}  // namespace
