// The attempt and request ids JavaScript hands to prepareTerminal: accepted
// exactly when "-" or of their length from "0123456789abcdef-", kept as
// given (empty for "-"), and a checkpoint built from them stays one line
// within the record limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accepting_branch.h"
#include "common/reason.h"
#include "terminal/terminal_rules.h"

namespace {

nuvra::fuzzing::AcceptingBranch checkpointRecord("checkpoint_record");

bool wellFormed(const std::string& id, std::size_t length) {
  if (id == "-") return true;
  if (id.size() != length) return false;
  for (char c : id) {
    if (std::strchr("0123456789abcdef-", c) == nullptr || c == '\0') return false;
  }
  return true;
}

std::string checked(const std::string& id, bool attempt) {
  const std::size_t length = attempt ? 64 : 36;
  try {
    std::string kept = attempt ? nuvra::checkAttemptId(id) : nuvra::checkRequestId(id);
    if (!wellFormed(id, length) || kept != (id == "-" ? "" : id)) std::abort();
    return kept;
  } catch (const nuvra::ProfileError& error) {
    if (wellFormed(id, length) || std::strcmp(error.what(), "terminal_invalid") != 0) std::abort();
    return "-";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t split = text.find('\n');
  const std::string first = text.substr(0, split);
  const std::string second = split == std::string::npos ? "-" : text.substr(split + 1);
  const std::string attempt = checked(first, true);
  const std::string request = checked(second, false);
  if (attempt == "-" || request == "-") return 0;
  const std::string record = nuvra::checkpointRecord(
      {std::string(64, 'a'), attempt, request, "capture", "2026-03-04T05:06:07.008Z"});
  if (record.size() > nuvra::kTerminalRecordLimit || record.back() != '\n' ||
      record.find('\n') != record.size() - 1) {
    std::abort();
  }
  checkpointRecord.reached();
  return 0;
}
