// The objects a launcher hands a starting runtime: the home's serialisation
// mutex, the file guards, the parent process, the acknowledgement pipe and the
// handoff mapping. Each is opened here non-inheritable and owned by the
// launcher; what the child receives are duplicates in an InheritList.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "shared/home_objects_win.h"

namespace nuvra::broker {

// A thread that takes the mutex and either holds it for a while or ends
// while owning it, which leaves it abandoned for the next waiter.
class MutexHolder {
 public:
  MutexHolder() = default;
  ~MutexHolder();
  MutexHolder(const MutexHolder&) = delete;
  MutexHolder& operator=(const MutexHolder&) = delete;

  // Returns once the thread owns the mutex ("launcher_mutex" if it cannot).
  void hold(HANDLE mutex, DWORD milliseconds);
  // Returns once the owning thread has ended; the mutex is then abandoned.
  void abandon(HANDLE mutex);

 private:
  std::thread thread_;
};

// An open file or directory that pins it for the runtime's lifetime.
struct Guard {
  UniqueHandle handle;
  std::wstring path;  // the handle's final path
  FileIdentity identity;
};

// Read access, sharing read only: while a guard is open nobody can write,
// rename or delete the file. "launcher_guard".
Guard openGuard(const std::wstring& path);

// A byte-mode pipe for the startup acknowledgement: the launcher reads the
// server end with overlapped I/O; the runtime gets a synchronous write end.
struct AckPipe {
  UniqueHandle server;
  UniqueHandle client;
  UniqueHandle readEvent;
};
AckPipe createAckPipe();  // "launcher_ack_pipe"

enum class AckOutcome { acknowledged, timeout, closed, invalid };

// Waits for one byte until `deadline` (GetTickCount64). `byte` receives what
// was read when something was.
AckOutcome waitForAck(AckPipe& pipe, std::uint64_t deadline, std::optional<unsigned>& byte);

// An anonymous, owner-only mapping of `size` bytes, created before its
// content so that the handoff can name the child's copy; "launcher_mapping".
UniqueHandle createHandoffMapping(std::size_t size);
// Writes `image` (at most the mapping's size) at offset 0; "launcher_mapping".
void writeHandoffImage(HANDLE mapping, const std::vector<unsigned char>& image);

}  // namespace nuvra::broker
