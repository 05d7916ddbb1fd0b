#include "custody/timing_trace_win.h"

#include <windows.h>

#include <string>

#include "common/handle_win.h"

namespace nuvra {
namespace {

timing::TraceLineBudget& processBudget() noexcept {
  // Never destroyed: checkpoints may still arrive from other threads while
  // the process exits.
  static timing::TraceLineBudget* const budget = new timing::TraceLineBudget();
  return *budget;
}

timing::TraceLineBudget& retryBudget() noexcept {
  static timing::TraceLineBudget* const budget =
      new timing::TraceLineBudget(timing::kMaxRetryLines);
  return *budget;
}

// Empty when the variable is absent, too long for the buffer or not an id.
std::string currentAttemptId() {
  wchar_t buffer[timing::kAttemptIdBuffer] = {};
  const DWORD length = GetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", buffer,
                                               static_cast<DWORD>(timing::kAttemptIdBuffer));
  // A value that does not fit reports the size it needs, which is larger
  // than the buffer; 0 is an absent or empty variable.
  if (length == 0 || length >= timing::kAttemptIdBuffer) return {};
  return timing::attemptIdFrom(std::wstring_view(buffer, length));
}

void appendLine(const std::wstring& path, const std::string& line) {
  UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  // A short or failed write only loses the line.
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

void recordCheckpoint(std::string_view stage, std::uint64_t tick) noexcept {
  recordCheckpoint(stage, tick, processBudget());
}

void recordRetryCheckpoint(std::string_view stage) noexcept {
  recordCheckpoint(stage, 0, retryBudget());
}

void recordCheckpoint(std::string_view stage, std::uint64_t tick,
                      timing::TraceLineBudget& budget) noexcept {
  // 1. Callers record checkpoints between a failing call and their reading
  //    of its error, so the last-error value must survive the trace.
  const DWORD lastError = GetLastError();
  try {
    // 2. No usable attempt id: tracing is off.
    const std::string attemptId = currentAttemptId();
    // 3. The line budget, counted for traced checkpoints only.
    if (!attemptId.empty() && budget.take()) {
      // 4. The line, appended with one write.
      if (tick == 0) tick = GetTickCount64();
      if (timing::isTraceStageName(stage)) {
        appendLine(timing::traceFilePath(attemptId, GetCurrentProcessId()),
                   timing::traceLine(attemptId, stage, GetCurrentProcessId(), tick));
      }
    }
  } catch (...) {
    // Tracing reports nothing; an allocation failure only loses the line.
  }
  // 5.
  SetLastError(lastError);
}

}  // namespace nuvra
