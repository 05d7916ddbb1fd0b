#include "startup_custody_win.h"

#include <algorithm>
#include <cstring>

#include "common/crypto_win.h"
#include "common/identity_win.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/text.h"
#include "custody/serialization_object_win.h"

namespace nuvra::broker {

MutexHolder::~MutexHolder() {
  if (thread_.joinable()) thread_.join();
}

void MutexHolder::hold(HANDLE mutex, DWORD milliseconds) {
  UniqueHandle owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!owned) fail("launcher_mutex");
  HANDLE signal = owned.get();
  bool took = false;
  thread_ = std::thread([mutex, milliseconds, signal, &took] {
    const DWORD wait = WaitForSingleObject(mutex, INFINITE);
    const bool owns = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    // `took` lives in hold(), which may have returned once the event is set.
    took = owns;
    SetEvent(signal);
    if (!owns) return;
    Sleep(milliseconds);
    ReleaseMutex(mutex);
  });
  WaitForSingleObject(signal, INFINITE);
  if (!took) fail("launcher_mutex");
}

void MutexHolder::abandon(HANDLE mutex) {
  bool took = false;
  // A mutex whose owning thread ends without releasing it is abandoned: the
  // next wait returns WAIT_ABANDONED, as after a runtime died in a step.
  std::thread([mutex, &took] {
    const DWORD wait = WaitForSingleObject(mutex, INFINITE);
    took = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  }).join();
  if (!took) fail("launcher_mutex");
}

Guard openGuard(const std::wstring& path) {
  Guard guard;
  // Directories need backup semantics to be opened at all; a reparse point is
  // opened itself so that the runtime sees (and refuses) it.
  guard.handle = UniqueHandle(CreateFileW(
      path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!guard.handle || !fileIdentity(guard.handle.get(), guard.identity)) fail("launcher_guard");
  guard.path = canonicalPath(guard.handle.get());
  return guard;
}

AckPipe createAckPipe() {
  unsigned char nonce[24];
  randomBytes(nonce, sizeof(nonce), "launcher_ack_pipe");
  const std::wstring name =
      L"\\\\.\\pipe\\nuvra-startup-ack-" +
      hexLowerWide(std::string_view(reinterpret_cast<const char*>(nonce), sizeof(nonce)));
  OwnerOnlySecurity security(currentUserSid(), false, "launcher_ack_pipe");
  AckPipe pipe;
  pipe.server = UniqueHandle(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 64, 0,
      security.attributes()));
  if (!pipe.server) fail("launcher_ack_pipe");
  pipe.client = UniqueHandle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, security.attributes(),
                                         OPEN_EXISTING, 0, nullptr));
  if (!pipe.client) fail("launcher_ack_pipe");
  pipe.readEvent = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!pipe.readEvent) fail("launcher_ack_pipe");
  return pipe;
}

AckOutcome waitForAck(AckPipe& pipe, std::uint64_t deadline, std::optional<unsigned>& byte) {
  unsigned char value = 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = pipe.readEvent.get();
  bool timedOut = false;
  if (!ReadFile(pipe.server.get(), &value, 1, nullptr, &overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) return AckOutcome::closed;
    const std::uint64_t now = GetTickCount64();
    const DWORD wait =
        now >= deadline ? 0
                        : static_cast<DWORD>(std::min<std::uint64_t>(deadline - now, 0xfffffffeu));
    if (WaitForSingleObject(overlapped.hEvent, wait) != WAIT_OBJECT_0) {
      timedOut = true;
      CancelIoEx(pipe.server.get(), &overlapped);
    }
  }
  // Wait for the read or its cancellation to finish: `value` must not be
  // written after we return. A byte that raced the cancellation came at the
  // deadline, not before it, and does not count.
  DWORD count = 0;
  const BOOL read = GetOverlappedResult(pipe.server.get(), &overlapped, &count, TRUE);
  const DWORD error = read ? ERROR_SUCCESS : GetLastError();
  if (read && count == 1) {
    byte = value;
    if (timedOut) return AckOutcome::timeout;
    return value == 1 ? AckOutcome::acknowledged : AckOutcome::invalid;
  }
  if (timedOut || error == ERROR_OPERATION_ABORTED) return AckOutcome::timeout;
  return AckOutcome::closed;
}

UniqueHandle createHandoffMapping(std::size_t size) {
  OwnerOnlySecurity security(currentUserSid(), false, "launcher_mapping");
  const auto size64 = static_cast<std::uint64_t>(size);
  UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, security.attributes(),
                                          PAGE_READWRITE, static_cast<DWORD>(size64 >> 32),
                                          static_cast<DWORD>(size64 & 0xffffffffu), nullptr));
  if (!mapping) fail("launcher_mapping");
  return mapping;
}

void writeHandoffImage(HANDLE mapping, const std::vector<unsigned char>& image) {
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, image.size());
  if (view == nullptr) fail("launcher_mapping");
  std::memcpy(view, image.data(), image.size());
  if (!UnmapViewOfFile(view)) fail("launcher_mapping");
}

}  // namespace nuvra::broker
