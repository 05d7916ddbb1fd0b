#include "shared/stale_endpoint.h"

#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::uint64_t kFiletimeTicksPerMs = 10000;

char lowerAscii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lowerAscii(text[i]) != lower[i]) return false;
  }
  return true;
}

bool isHexDigit(char c) noexcept {
  const char lower = lowerAscii(c);
  return (lower >= '0' && lower <= '9') || (lower >= 'a' && lower <= 'f');
}

RecordBuilder removedLineHead(std::string_view file, std::string_view why) {
  RecordBuilder builder;
  builder.string("schema_version", "nuvra.resident-startup-diagnostic.v1")
      .string("scope", "resident_startup")
      .string("stage", "stale_endpoint_removed")
      .string("file", file)
      .string("stale", why);
  return builder;
}

}  // namespace

BrokerFileKind classifyBrokerFile(std::string_view name) noexcept {
  constexpr std::string_view kPrefix = "endpoint.";
  constexpr std::string_view kSuffix = ".tmp";
  constexpr std::size_t kNonceDigits = 64;
  if (equalsIgnoringCase(name, "endpoint.json")) return BrokerFileKind::record;
  if (name.size() != kPrefix.size() + kNonceDigits + kSuffix.size()) return BrokerFileKind::other;
  if (!equalsIgnoringCase(name.substr(0, kPrefix.size()), kPrefix) ||
      !equalsIgnoringCase(name.substr(kPrefix.size() + kNonceDigits), kSuffix)) {
    return BrokerFileKind::other;
  }
  for (char c : name.substr(kPrefix.size(), kNonceDigits)) {
    if (!isHexDigit(c)) return BrokerFileKind::other;
  }
  return BrokerFileKind::temporary;
}

ProcessFate processFate(const ProcessLook& look, std::string_view recordedCreation) noexcept {
  switch (look.open) {
    case ProcessLook::Open::noSuchProcess:
      return ProcessFate::gone;
    case ProcessLook::Open::refused:
      return ProcessFate::unknown;
    case ProcessLook::Open::opened:
      break;
  }
  if (look.exited) return ProcessFate::gone;
  if (look.creation.empty()) return ProcessFate::unknown;
  return look.creation == recordedCreation ? ProcessFate::live : ProcessFate::gone;
}

RecordStaleness recordStaleness(bool reachedProcesses, ProcessFate broker,
                                ProcessFate runtime) noexcept {
  if (!reachedProcesses) return RecordStaleness::unproven;
  if (broker == ProcessFate::gone) return RecordStaleness::brokerGone;
  if (runtime == ProcessFate::gone) return RecordStaleness::runtimeGone;
  return RecordStaleness::live;
}

bool temporaryEndpointStale(std::uint64_t nowFiletime, std::uint64_t writtenFiletime) noexcept {
  if (writtenFiletime > nowFiletime) return false;
  return nowFiletime - writtenFiletime > kStaleTemporaryEndpointMs * kFiletimeTicksPerMs;
}

std::uint64_t fileAgeMs(std::uint64_t nowFiletime, std::uint64_t writtenFiletime) noexcept {
  return writtenFiletime > nowFiletime ? 0 : (nowFiletime - writtenFiletime) / kFiletimeTicksPerMs;
}

std::string staleRecordRemovedLine(std::string_view file, RecordStaleness why, std::uint32_t pid) {
  return removedLineHead(
             file, why == RecordStaleness::runtimeGone ? kStaleRuntimeExited : kStaleBrokerExited)
      .number("pid", pid)
      .line();
}

std::string staleTemporaryRemovedLine(std::string_view file, std::uint64_t ageMs) {
  return removedLineHead(file, kStaleTemporaryExpired).number("age_ms", ageMs).line();
}

}  // namespace nuvra
