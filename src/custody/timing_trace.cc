#include "custody/timing_trace.h"

#include "common/text.h"

namespace nuvra::timing {
namespace {

constexpr std::wstring_view kTraceDirectory = L"C:\\Tevra\\ona\\temp\\st24data\\trace\\";

bool isLowerHex(wchar_t c) noexcept {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
}

}  // namespace

std::string attemptIdFrom(std::wstring_view value) {
  if (value.size() != kAttemptIdLength) return {};
  std::string id;
  id.reserve(kAttemptIdLength);
  for (wchar_t c : value) {
    if (!isLowerHex(c)) return {};
    id.push_back(static_cast<char>(c));
  }
  return id;
}

bool isTraceStageName(std::string_view stage) noexcept {
  if (stage.empty() || stage.size() > kMaxStageLength) return false;
  for (char c : stage) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

bool isJavaScriptCheckpoint(std::string_view stage) noexcept {
  return stage == "resident_first_line" || stage == "worker_first_line" ||
         stage == "preload_first_line";
}

std::string traceLine(std::string_view attemptId, std::string_view stage, std::uint32_t pid,
                      std::uint64_t tick) {
  // Both texts are plain ASCII words by now, so the builder's escaping
  // leaves them exactly as given.
  return RecordBuilder()
      .string("schema_version", "nuvra.startup-timing.v1")
      .string("attempt_id", attemptId)
      .string("source", "native_addon")
      .string("stage", stage)
      .number("pid", pid)
      .number("monotonic_ms", tick)
      .line();
}

std::wstring traceFilePath(std::string_view attemptId, std::uint32_t pid) {
  std::wstring path(kTraceDirectory);
  path.append(attemptId.begin(), attemptId.end());
  path.push_back(L'-');
  const std::string decimal = formatDecimal32(pid);
  path.append(decimal.begin(), decimal.end());
  path.append(L"-native.jsonl");
  return path;
}

bool TraceLineBudget::take() noexcept {
  std::uint32_t used = used_.load(std::memory_order_relaxed);
  while (used < limit_) {
    if (used_.compare_exchange_weak(used, used + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace nuvra::timing
