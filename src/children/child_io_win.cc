#include "children/child_io_win.h"

#include <algorithm>

#include "common/fault_injection.h"
#include "common/reason.h"

namespace nuvra {

namespace {

// What one stream's pipe holds: nothing when it is closed (or the child
// closed its end and everything it wrote has been read), else the count.
// Peeking consumes nothing, so both streams are peeked before either is read.
std::optional<DWORD> peekStream(const UniqueHandle& pipe) {
  if (!pipe) return std::nullopt;
  DWORD available = 0;
  if (!PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
    if (GetLastError() != ERROR_BROKEN_PIPE) fail("stdout_read_failed");
    return std::nullopt;
  }
  return available;
}

// One stream: at most kMaxPollBytes of what the peek saw.
std::optional<WipedBytes> readAvailable(UniqueHandle& pipe, std::optional<DWORD> available) {
  if (!available) {
    pipe.closeQuietly();
    return std::nullopt;
  }
  WipedBytes result;
  const DWORD wanted = std::min<DWORD>(*available, static_cast<DWORD>(kMaxPollBytes));
  if (wanted > 0) {
    result.resize(wanted);
    DWORD read = 0;
    if (!ReadFile(pipe.get(), result.data(), wanted, &read, nullptr)) fail("stdout_read_failed");
    result.resize(read);
  }
  return result;
}

}  // namespace

bool writeChildInput(ChildProcess& child, std::span<const unsigned char> bytes) {
  ChildWriteState& state = child.write;
  if (state.pending || state.ended || !child.stdinPipe) fail("stdin_not_writable");
  if (bytes.size() > kMaxWriteBytes) fail("stdin_too_large");
  state.buffer.assign(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!ResetEvent(state.event.get())) fail("stdin_write_failed");
  const HANDLE event = state.overlapped.hEvent;
  state.overlapped = OVERLAPPED{};
  state.overlapped.hEvent = event;
  DWORD written = 0;
  const auto size = static_cast<DWORD>(state.buffer.size());
  if (!WriteFile(child.stdinPipe.get(), state.buffer.data(), size, &written, &state.overlapped)) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      state.pending = true;
      return false;
    }
    state.buffer.clear();
    fail("stdin_write_failed");
  }
  // With an overlapped handle the count WriteFile reports is not reliable;
  // the request's own result is.
  if (!GetOverlappedResult(child.stdinPipe.get(), &state.overlapped, &written, FALSE)) {
    state.buffer.clear();
    fail("stdin_write_failed");
  }
  // A byte pipe that took part of the write.
  if (NUVRA_INJECT("child.write_count", size - 1, written) != size) {
    state.buffer.clear();
    fail("stdin_write_incomplete");
  }
  state.buffer.clear();
  return true;
}

bool endChildInput(ChildProcess& child) {
  if (child.write.pending) fail("stdin_pending");
  child.stdinPipe.closeQuietly();
  child.write.ended = true;
  return true;
}

PollResult pollChild(ChildProcess& child) {
  // The steps that can fail come before the streams are read: a failed poll
  // returns nothing, and bytes already taken from a pipe would be lost with
  // it (a child that exits with a write in flight typically leaves its last
  // words on stderr).
  PollResult result;
  ChildWriteState& state = child.write;
  if (state.pending) {
    DWORD transferred = 0;
    if (GetOverlappedResult(child.stdinPipe.get(), &state.overlapped, &transferred, FALSE)) {
      // A short completion keeps the write pending: the stream is in an
      // unknown state and only dispose may end it.
      if (transferred != state.buffer.size()) fail("stdin_write_incomplete");
      state.pending = false;
      state.buffer.clear();
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
      // The write is over (typically the child died with it in flight).
      // Leaving it pending would fail every later poll, so the exit code of
      // a killed child could never be read: report the failure once.
      state.pending = false;
      state.buffer.clear();
      fail("stdin_write_failed");
    }
  }
  result.writeComplete = !state.pending;

  const DWORD wait =
      NUVRA_INJECT("child.wait", WAIT_FAILED, WaitForSingleObject(child.process.get(), 0));
  if (wait == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (!NUVRA_INJECT("child.exit_code", FALSE, GetExitCodeProcess(child.process.get(), &code))) {
      fail("child_exit_failed");
    }
    result.exitCode = code;
  } else if (wait != WAIT_TIMEOUT) {
    fail("child_wait_failed");
  }

  const std::optional<DWORD> stdoutAvailable = peekStream(child.stdoutPipe);
  const std::optional<DWORD> stderrAvailable = peekStream(child.stderrPipe);
  result.stdoutBytes = readAvailable(child.stdoutPipe, stdoutAvailable);
  result.stderrBytes = readAvailable(child.stderrPipe, stderrAvailable);
  return result;
}

bool killChild(ChildProcess& child) noexcept {
  const bool killed = WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0 ||
                      TerminateProcess(child.process.get(), 1) != FALSE;
  // The processes the child started go with it: one that holds a copy of
  // its output would keep the pipes open, and poll from ever reporting them
  // closed, until dispose. Under Wine that includes the console host a child
  // killed while it starts leaves behind.
  return TerminateJobObject(child.job.get(), 1) != FALSE && killed;
}

}  // namespace nuvra
