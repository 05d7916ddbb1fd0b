// Roles that hold a product home's serialisation mutex from outside any
// runtime, so that contention and abandonment across processes can be shown:
//   hold-serialization <home> <milliseconds>   owns it that long, then releases
//   hold-serialization <home> input            prints "waiting", takes it once a
//                                              line arrives on standard input,
//                                              releases it when that input ends
//   die-holding-serialization <home>            owns it and exits without release
// They print "opened" once they hold a handle to the mutex, then "held" once
// it is owned, or "held abandoned" when its previous owner ended without
// releasing it.
//   hold-file <path>   opens a file sharing read and write but not delete,
//                      prints "held" and keeps it open until its input ends,
//                      so that nothing can replace or delete the file
//   hold-file <path> append-lock
//                      opens a log file as its appenders do and holds its
//                      append lock until its input ends or it is killed

#include "roles.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "custody/serialization_object_win.h"

namespace nuvra::broker {
namespace {

constexpr DWORD kHolderAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kTakeTimeoutMs = 10000;

// Opens the home's mutex by name and owns it; 0 on success.
int takeMutex(const wchar_t* home, UniqueHandle& mutex) {
  try {
    mutex = UniqueHandle(OpenMutexW(kHolderAccess, FALSE, serializationMutexName(home).c_str()));
  } catch (const std::exception&) {
    std::fputs("hold-serialization: bad home\n", stderr);
    return 2;
  }
  if (!mutex) {
    std::fputs("hold-serialization: no mutex for this home\n", stderr);
    return 3;
  }
  std::fputs("opened\n", stdout);
  std::fflush(stdout);
  const DWORD wait = WaitForSingleObject(mutex.get(), kTakeTimeoutMs);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    std::fputs("hold-serialization: mutex not taken\n", stderr);
    return 4;
  }
  std::fputs(wait == WAIT_ABANDONED ? "held abandoned\n" : "held\n", stdout);
  std::fflush(stdout);
  return 0;
}

// Reads standard input until a line feed (true) or its end (false).
bool readLine() {
  for (int c = std::getchar(); c != EOF; c = std::getchar()) {
    if (c == '\n') return true;
  }
  return false;
}

// The input mode: a test orders the take and the release by signals, so the
// holder is started before the moment it must hold.
int holdUntilInputEnds(const wchar_t* home) {
  std::fputs("waiting\n", stdout);
  std::fflush(stdout);
  if (!readLine()) return 2;
  UniqueHandle mutex;
  if (const int failed = takeMutex(home, mutex)) return failed;
  while (readLine()) {
  }
  return ReleaseMutex(mutex.get()) ? 0 : 5;
}

}  // namespace

int holdSerialization(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: hold-serialization <home> <milliseconds>|input\n", stderr);
    return 2;
  }
  if (std::wcscmp(argv[1], L"input") == 0) return holdUntilInputEnds(argv[0]);
  wchar_t* end = nullptr;
  const unsigned long milliseconds = std::wcstoul(argv[1], &end, 10);
  if (end == argv[1] || *end != L'\0' || milliseconds > 600000) {
    std::fputs("hold-serialization: bad milliseconds\n", stderr);
    return 2;
  }
  UniqueHandle mutex;
  if (const int failed = takeMutex(argv[0], mutex)) return failed;
  Sleep(static_cast<DWORD>(milliseconds));
  return ReleaseMutex(mutex.get()) ? 0 : 5;
}

int dieHoldingSerialization(int argc, wchar_t** argv) {
  if (argc != 1) {
    std::fputs("usage: die-holding-serialization <home>\n", stderr);
    return 2;
  }
  UniqueHandle mutex;
  if (const int failed = takeMutex(argv[0], mutex)) return failed;
  // Ends the process while owning the mutex: the next waiter finds it
  // abandoned, exactly as after a runtime that died inside its step.
  ExitProcess(9);
}

int holdFile(int argc, wchar_t** argv) {
  const bool appendLock = argc == 2 && std::wcscmp(argv[1], L"append-lock") == 0;
  if (argc != 1 && !appendLock) {
    std::fputs("usage: hold-file <path> [append-lock]\n", stderr);
    return 2;
  }
  const UniqueHandle file(
      appendLock ? CreateFileW(argv[0], FILE_APPEND_DATA | FILE_READ_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                 : CreateFileW(argv[0], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    std::fputs("hold-file: not opened\n", stderr);
    return 3;
  }
  std::optional<AppendLock> lock;
  if (appendLock && !lock.emplace(file.get(), GetTickCount64())) {
    std::fputs("hold-file: append lock not taken\n", stderr);
    return 4;
  }
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  while (readLine()) {
  }
  return 0;
}

}  // namespace nuvra::broker
