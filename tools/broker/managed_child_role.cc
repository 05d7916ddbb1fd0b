// Managed-child role. Behaviours, by the argument after "child":
//   echo               copies standard input to standard output until it ends
//   stderr <text>      writes the text to standard error
//   args <a>...        prints the arguments after "args" as a JSON array
//   env                prints the environment block as a JSON array of "name=value"
//   handoff            prints the work handoff: its handle, text and whether a
//                      writable view of it could be mapped
//   handles <key>...   checks every handle value the handoff names under the
//                      keys: open, and not inheritable onward
//   grandchild [inherit]
//                      starts "child sleep" in the same job (with "inherit"
//                      holding a copy of this process's standard output),
//                      prints its pid, then copies standard input like echo
//   sleep <ms>         sleeps, reading nothing
//   flood <bytes>      writes that many bytes to standard output
//   crash              dies of an access violation
//   exit <code>        exits with the code
//   watch <pid> <file> opens the process, prints "watching", and once the
//                      process has ended writes {"exit_code":N} to the file:
//                      an exit code seen from outside the process's own tree
// Output is UTF-8 written straight to the standard handles, one line per
// answer, so the reader sees exactly the bytes.
#include "roles.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "launch/launch_text.h"
#include "work_handoff_win.h"

namespace {

using nuvra::writeAll;

bool writeOut(std::string_view bytes) {
  return writeAll(GetStdHandle(STD_OUTPUT_HANDLE), bytes);
}

std::string utf8(std::wstring_view text) {
  return text.empty() ? std::string() : nuvra::utf16ToUtf8(text);
}

std::string jsonArray(const std::vector<std::wstring>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ",";
    out += nuvra::jsonString(utf8(items[i]));
  }
  return out + "]";
}

int echo() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(input, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) ||
        read == 0) {
      return 0;
    }
    if (!writeOut(std::string_view(buffer.data(), read))) return 3;
  }
}

int printEnvironment() {
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return 3;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    entries.emplace_back(entry);
  }
  FreeEnvironmentStringsW(block);
  return writeOut(jsonArray(entries) + "\n") ? 0 : 3;
}

bool readHandoffText(HANDLE mapping, std::string& text) {
  std::optional<std::string> read = nuvra::broker::readWorkHandoff(mapping);
  if (!read) return false;
  text = std::move(*read);
  return true;
}

int printHandoff() {
  const HANDLE mapping = nuvra::broker::workHandoffHandle();
  std::string text;
  if (mapping == nullptr || !readHandoffText(mapping, text)) return 4;
  void* writable = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (writable != nullptr) UnmapViewOfFile(writable);
  nuvra::RecordBuilder record;
  record.decimalString("handle", reinterpret_cast<std::uintptr_t>(mapping))
      .string("text", text)
      .boolean("writable", writable != nullptr);
  return writeOut(record.line()) ? 0 : 3;
}

// Every "key":"digits" of the handoff text whose key is one of `keys`.
int checkHandles(const std::vector<std::wstring>& keys) {
  const HANDLE mapping = nuvra::broker::workHandoffHandle();
  std::string text;
  if (mapping == nullptr || !readHandoffText(mapping, text)) return 4;
  std::string out = "[";
  for (const std::wstring& wideKey : keys) {
    const std::string pattern = "\"" + utf8(wideKey) + "\":\"";
    for (std::size_t at = text.find(pattern); at != std::string::npos;
         at = text.find(pattern, at + 1)) {
      const std::size_t start = at + pattern.size();
      const std::size_t stop = text.find('"', start);
      if (stop == std::string::npos) break;
      const std::string digits = text.substr(start, stop - start);
      const auto value = static_cast<std::uintptr_t>(std::strtoull(digits.c_str(), nullptr, 10));
      DWORD flags = 0;
      const bool open = GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
      if (out.size() > 1) out += ",";
      nuvra::RecordBuilder entry;
      entry.string("key", utf8(wideKey))
          .string("value", digits)
          .boolean("open", open)
          .boolean("inheritable", open && (flags & HANDLE_FLAG_INHERIT) != 0);
      out += entry.text();
    }
  }
  return writeOut(out + "]\n") ? 0 : 3;
}

// With `inherit`, the grandchild holds a copy of this process's output.
int startGrandchild(bool inherit) {
  wchar_t self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 5;
  std::wstring commandLine = nuvra::quoteArgument(self) + L" child sleep 600000";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (inherit) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!SetHandleInformation(output, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return 5;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
  }
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, inherit ? TRUE : FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &created)) {
    return 5;
  }
  CloseHandle(created.hThread);
  CloseHandle(created.hProcess);
  nuvra::RecordBuilder record;
  record.number("grandchild", created.dwProcessId);
  if (!writeOut(record.line())) return 3;
  return echo();
}

DWORD parseNumber(const wchar_t* text) {
  return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

int watchProcess(DWORD pid, const wchar_t* file) {
  const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return 4;
  if (!writeOut("watching\n")) return 3;
  DWORD code = 0;
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process, &code)) {
    return 4;
  }
  CloseHandle(process);
  nuvra::RecordBuilder record;
  record.number("exit_code", code);
  // Written to a temporary name and renamed, so a reader never sees half.
  const std::wstring temporary = std::wstring(file) + L".tmp";
  const HANDLE out = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return 5;
  const bool written = writeAll(out, record.line());
  CloseHandle(out);
  return written && MoveFileExW(temporary.c_str(), file, MOVEFILE_REPLACE_EXISTING) ? 0 : 5;
}

}  // namespace

namespace nuvra::broker {

// argv[0] is the behaviour, the rest its arguments.
int runManagedChild(int argc, wchar_t** argv) {
  if (argc < 1) return 2;
  const std::wstring_view behaviour = argv[0];
  const std::vector<std::wstring> rest(argv + 1, argv + argc);
  if (behaviour == L"echo") return echo();
  if (behaviour == L"stderr" && argc == 2) {
    return writeAll(GetStdHandle(STD_ERROR_HANDLE), utf8(argv[1])) ? 0 : 3;
  }
  if (behaviour == L"args") return writeOut(jsonArray(rest) + "\n") ? 0 : 3;
  if (behaviour == L"env") return printEnvironment();
  if (behaviour == L"handoff") return printHandoff();
  if (behaviour == L"handles") return checkHandles(rest);
  if (behaviour == L"grandchild") {
    return startGrandchild(argc == 2 && std::wstring_view(argv[1]) == L"inherit");
  }
  if (behaviour == L"sleep" && argc == 2) {
    Sleep(parseNumber(argv[1]));
    return 0;
  }
  if (behaviour == L"flood" && argc == 2) {
    return writeOut(std::string(parseNumber(argv[1]), 'x')) ? 0 : 3;
  }
  if (behaviour == L"crash") {
    volatile int* volatile target = nullptr;
    *target = 1;
    return 0;
  }
  if (behaviour == L"exit" && argc == 2) return static_cast<int>(parseNumber(argv[1]));
  if (behaviour == L"watch" && argc == 3) return watchProcess(parseNumber(argv[1]), argv[2]);
  return 2;
}

}  // namespace nuvra::broker
