#include "shared/broker_pipe_win.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "common/identity_win.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/wipe.h"

namespace nuvra {
namespace {

constexpr DWORD kPipeBuffer = 65536;

UniqueHandle manualResetEvent() {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) fail("broker_pipe_create");
  return event;
}

}  // namespace

UniqueHandle createBrokerPipeInstance(const std::wstring& path, bool first) {
  OwnerOnlySecurity security(currentUserSid(), false, "broker_pipe_create");
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  UniqueHandle pipe(CreateNamedPipeW(
      path.c_str(), openMode,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, security.attributes()));
  if (!pipe) fail("broker_pipe_create");
  requireNonInheritable(pipe.get());
  return pipe;
}

bool awaitBrokerClient(HANDLE pipe, HANDLE stop) {
  UniqueHandle event = manualResetEvent();
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (ConnectNamedPipe(pipe, &overlapped)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return true;
  if (error != ERROR_IO_PENDING) return false;
  const HANDLE handles[] = {event.get(), stop};
  const DWORD waited = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  DWORD ignored = 0;
  if (waited == WAIT_OBJECT_0) return GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != 0;
  CancelIoEx(pipe, &overlapped);
  GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  return false;
}

BrokerPipeIo::BrokerPipeIo(HANDLE pipe, std::uint64_t deadline)
    : pipe_(pipe), deadline_(deadline), event_(manualResetEvent()) {}

DWORD BrokerPipeIo::transfer(void* buffer, std::size_t size, bool write) {
  const std::uint64_t now = GetTickCount64();
  if (now >= deadline_ || !ResetEvent(event_.get())) return 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_.get();
  const auto length = static_cast<DWORD>(size > kPipeBuffer ? kPipeBuffer : size);
  DWORD moved = 0;
  const BOOL started = write ? WriteFile(pipe_, buffer, length, &moved, &overlapped)
                             : ReadFile(pipe_, buffer, length, &moved, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return 0;
  // Completed or pending, the result is read from the OVERLAPPED block; a
  // transfer still pending at the deadline is cancelled and waited for, so
  // nothing writes into the buffer after this returns.
  const DWORD waited = WaitForSingleObject(event_.get(), static_cast<DWORD>(deadline_ - now));
  if (waited != WAIT_OBJECT_0) {
    CancelIoEx(pipe_, &overlapped);
    GetOverlappedResult(pipe_, &overlapped, &moved, TRUE);
    return 0;
  }
  if (!GetOverlappedResult(pipe_, &overlapped, &moved, FALSE)) return 0;
  return moved <= length ? moved : 0;
}

bool BrokerPipeIo::read(void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  const std::size_t taken = pending_.size() < size ? pending_.size() : size;
  std::memcpy(bytes, pending_.data(), taken);
  pending_.erase(0, taken);
  bytes += taken;
  size -= taken;
  while (size > 0) {
    const DWORD moved = transfer(bytes, size, false);
    if (moved == 0) return false;
    bytes += moved;
    size -= moved;
  }
  return true;
}

bool BrokerPipeIo::readLine(std::string& line, std::size_t limit) {
  std::size_t searched = 0;
  for (;;) {
    const std::size_t end = pending_.find('\n', searched);
    if (end != std::string::npos) {
      if (end > limit) return false;
      line.assign(pending_, 0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    if (pending_.size() > limit) return false;
    searched = pending_.size();
    char chunk[512];
    const DWORD moved = transfer(chunk, sizeof(chunk), false);
    if (moved == 0) return false;
    pending_.append(chunk, moved);
  }
}

bool BrokerPipeIo::write(std::string_view bytes) {
  // WriteFile only reads from the buffer.
  char* next = const_cast<char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD moved = transfer(next, left, true);
    if (moved == 0) return false;
    next += moved;
    left -= moved;
  }
  return true;
}

void BrokerPipeIo::awaitClientClose() {
  if (!pending_.empty()) return;
  char bytes[512];
  transfer(bytes, sizeof(bytes), false);
  wipeBytes(bytes, sizeof(bytes));
}

}  // namespace nuvra
