// Driving a launched child through its standard streams: the per-child
// state machines of standard input (open, pending, ended) and of each output
// stream (open, closed). Nothing here blocks: reads take only what the pipe
// already holds, writes are overlapped, and process checks use zero waits.
// Called on the JavaScript thread while the record is in `children`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/wipe.h"
#include "launch/child_process_win.h"

namespace nuvra {

constexpr std::size_t kMaxWriteBytes = 8388608;
constexpr std::size_t kMaxPollBytes = 65536;

// One write of the whole of `bytes`: true when it completed at once, false
// when it is in flight. "stdin_not_writable", "stdin_too_large",
// "stdin_write_failed", "stdin_write_incomplete".
bool writeChildInput(ChildProcess& child, std::span<const unsigned char> bytes);

// Closes standard input; again true after the first time. "stdin_pending".
bool endChildInput(ChildProcess& child);

struct PollResult {
  // Empty when the stream is closed; wiped when dropped.
  std::optional<WipedBytes> stdoutBytes;
  std::optional<WipedBytes> stderrBytes;
  bool writeComplete = false;
  // Present once the process has exited.
  std::optional<std::uint32_t> exitCode;
};

// "stdout_read_failed", "stdin_write_incomplete", "stdin_write_failed",
// "child_exit_failed", "child_wait_failed". State found before a failure
// (a stream closed, a write complete) stays.
PollResult pollChild(ChildProcess& child);

// True when the process had exited or was terminated now with exit code 1,
// and every other process of its job was terminated with exit code 1.
bool killChild(ChildProcess& child) noexcept;

}  // namespace nuvra
