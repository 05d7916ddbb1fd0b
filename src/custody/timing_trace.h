// Rules of the startup timing trace: which attempt ids and checkpoint names
// are traced, the per-process line budget, and the text of a trace line.
// Pure functions and one lock-free counter; callable from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra::timing {

// The launcher's attempt ids are 32 lowercase hex characters.
constexpr std::size_t kAttemptIdLength = 32;
// The attempt id is read into a buffer of this many UTF-16 units.
constexpr std::size_t kAttemptIdBuffer = 40;
// At most this many lines per process.
constexpr std::uint32_t kMaxTraceLines = 256;
// Process creation tried again: at most this many lines more, from a budget
// of their own (see recordRetryCheckpoint).
constexpr std::uint32_t kMaxRetryLines = 64;
// Checkpoint names are short lower_snake_case words.
constexpr std::size_t kMaxStageLength = 96;

// The attempt id as ASCII when `value` is exactly 32 characters of 0-9 and
// a-f; empty otherwise, which turns tracing off.
//   "0123456789abcdef0123456789abcdef"   traced
//   31 or 33 characters                 off
//   any uppercase letter, "g" to "z"    off
std::string attemptIdFrom(std::wstring_view value);

// A name the trace may carry: 1 to 96 characters of a-z, 0-9 and "_". The
// line copies the name into the JSON text, so nothing else is let through.
bool isTraceStageName(std::string_view stage) noexcept;

// The three checkpoints JavaScript may record with timingCheckpoint.
bool isJavaScriptCheckpoint(std::string_view stage) noexcept;

// One trace line, ending in a line feed. `attemptId` must come from
// attemptIdFrom and `stage` must pass isTraceStageName.
std::string traceLine(std::string_view attemptId, std::string_view stage, std::uint32_t pid,
                      std::uint64_t tick);

// "C:\Tevra\ona\temp\st24data\trace\" + attempt id + "-" + pid + "-native.jsonl"
std::wstring traceFilePath(std::string_view attemptId, std::uint32_t pid);

// Hands out at most `limit` lines. The count saturates instead of wrapping,
// so a process that records checkpoints forever stays silent.
class TraceLineBudget {
 public:
  explicit TraceLineBudget(std::uint32_t limit = kMaxTraceLines) noexcept : limit_(limit) {}
  bool take() noexcept;
  std::uint32_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

 private:
  std::uint32_t limit_;
  std::atomic<std::uint32_t> used_{0};
};

}  // namespace nuvra::timing
