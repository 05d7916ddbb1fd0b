#include "server/server_exchange.h"

#include <limits>

#include "common/reason.h"
#include "common/text.h"
#include "exchange/exchange_rules.h"
#include "exchange/wire_text.h"

namespace nuvra {
namespace {

constexpr std::size_t kRequestLineLimit = 1024;
constexpr std::size_t kRequestLineFields = 7;

[[noreturn]] void refuse() {
  fail("broker_native_protocol_refused");
}

void require(bool condition) {
  if (!condition) refuse();
}

std::uint64_t positiveDecimal(std::string_view text) {
  const auto value = wireDecimal(text, 1, std::numeric_limits<std::uint64_t>::max());
  if (!value) refuse();
  return *value;
}

// Decimal as a client writes one: no sign, no leading zero.
bool isCanonicalPositive(std::string_view text) noexcept {
  return !text.empty() && text.front() != '0' &&
         wireDecimal(text, 1, std::numeric_limits<std::uint64_t>::max()).has_value();
}

bool sendPending(const ServerExchangeState& state) noexcept {
  return state.account_pending > 0 || state.memory_pending > 0;
}

}  // namespace

void checkServerRequestLine(std::string_view requestLine, const ServerBindingFacts& facts) {
  require(requestLine.size() <= kRequestLineLimit && isWireLineText(requestLine));
  const auto fields = splitWireFields(requestLine);
  require(fields.size() == kRequestLineFields);
  require(isLowerHex(fields[0], 64));
  require(hasRequestIdShape(fields[1]));
  positiveDecimal(fields[2]);
  require(fields[3] == facts.generation);
  if (fields[4] != facts.work_operation) fail("profile_evidence_role");
  require(isLowerHex(fields[5], 32));
  require(positiveDecimal(fields[6]) >= facts.work_deadline);
}

bool isClientRequestLine(std::string_view requestLine) {
  if (requestLine.size() > kRequestLineLimit || !isWireLineText(requestLine)) return false;
  const auto fields = splitWireFields(requestLine);
  return fields.size() == kRequestLineFields && isLowerHex(fields[0], 64) &&
         isRequestId(fields[1]) && isCanonicalPositive(fields[2]) &&
         isCanonicalPositive(fields[3]) && isBrokerOperation(fields[4]) &&
         isLowerHex(fields[5], 32) && isCanonicalPositive(fields[6]);
}

void bindServerRequest(ServerExchangeState& state, std::string_view requestLine) {
  require(state.bound_request_line.empty() && !state.terminal_sealed);
  state.bound_request_line = std::string(requestLine);
  state.server_sequence = 1;
}

bool isServerTerminalReason(std::string_view reason) noexcept {
  constexpr std::string_view kReasons[] = {"none",
                                           "broker_deadline_refused",
                                           "broker_outcome_unknown",
                                           "broker_native_protocol_refused",
                                           "broker_native_identity_refused",
                                           "broker_native_peer_refused",
                                           "profile_account_unavailable",
                                           "profile_cleanup_uncertain",
                                           "profile_diagnostic_cleanup_uncertain",
                                           "account_state_conflict",
                                           "signing_key_invalid",
                                           "credential_missing",
                                           "access_refresh_required",
                                           "broker_failed",
                                           "unclassified"};
  for (std::string_view known : kReasons) {
    if (reason == known) return true;
  }
  return false;
}

ServerPhaseStep observeServerPhase(ServerExchangeState& state, std::string_view role,
                                   std::string_view phase, std::string_view reason,
                                   const std::function<void()>& checkWorkValid) {
  // 2. A server work, bound and not yet sealed.
  if (role != "server") fail("profile_evidence_role");
  require(!state.bound_request_line.empty() && !state.terminal_sealed);

  // 3. The terminal phase is sealed by the caller.
  if (phase == "terminal") {
    require(isServerTerminalReason(reason));
    return ServerPhaseStep::sealTerminal;
  }

  // 4. Any other phase carries no reason. Every check comes before the first
  // change, so a refused phase leaves the state as it was.
  require(reason == "none");
  if (phase == "admitted") {
    checkWorkValid();
    require(state.server_phase == "received");
    state.server_phase = "admitted";
  } else {
    require(state.server_phase == "admitted" || state.server_phase == "started");
    if (phase == "account_pending") {
      checkWorkValid();
      require(state.account_pending + state.server_account_sends < kServerSendLimit);
      state.account_pending += 1;
    } else if (phase == "memory_pending") {
      checkWorkValid();
      require(state.memory_pending + state.server_memory_sends < kServerSendLimit);
      state.memory_pending += 1;
    } else if (phase == "account") {
      require(state.account_pending > 0);
      state.account_pending -= 1;
      state.server_account_sends += 1;
    } else if (phase == "memory") {
      require(state.memory_pending > 0);
      state.memory_pending -= 1;
      state.server_memory_sends += 1;
    } else {
      refuse();
    }
    state.server_phase = "started";
  }
  state.server_sequence += 1;
  return ServerPhaseStep::observed;
}

bool sealServerState(ServerExchangeState& state, std::string_view reason, bool loggingOff) {
  // 1. Sealed once, and only a bound work.
  if (state.terminal_sealed || state.bound_request_line.empty()) return false;
  // 2. Take the terminal phase; the file has not been written yet.
  state.terminal_sealed = true;
  state.sealed_reason = std::string(reason);
  state.server_sequence += 1;
  state.logging_status = "unavailable";
  // 3. With logging off no audit file is written.
  if (loggingOff) {
    state.logging_status = "disabled";
    return false;
  }
  return true;
}

std::string_view reportedServerPhase(const ServerExchangeState& state) noexcept {
  if (!state.terminal_sealed) return state.server_phase;
  if (state.sealed_reason == "broker_deadline_refused" && state.server_phase == "received") {
    return "refused_queue";
  }
  return "terminal";
}

std::string phaseAuditLine(const ServerExchangeState& state, std::uint64_t workId) {
  const bool pending = sendPending(state);
  const bool anySend = pending || state.server_account_sends > 0 || state.server_memory_sends > 0;
  std::string line = "NUVRA_AUDIT_V3\tserver\t";
  line += state.bound_request_line;
  const auto field = [&line](std::string_view text) {
    line.push_back('\t');
    line.append(text);
  };
  field(formatDecimal64(workId));
  field(formatDecimal64(state.server_sequence));
  field(reportedServerPhase(state));
  field(state.sealed_reason);
  field(anySend ? "possible" : "none");
  field("1");
  field(pending ? "0" : "1");
  field(pending ? "null" : formatDecimal64(state.server_account_sends));
  field(pending ? "null" : formatDecimal64(state.server_memory_sends));
  line.push_back('\n');
  return line;
}

std::string phaseAuditImage(std::string_view line) {
  if (line.size() > kPhaseAuditFileBytes) fail("diagnostic_record_invalid");
  std::string image(kPhaseAuditFileBytes, '\0');
  image.replace(0, line.size(), line);
  return image;
}

std::wstring phaseAuditFileName(std::string_view requestLineHash) {
  // The hash is a fixed-form name part; anything else could leave the directory.
  require(isLowerHex(requestLineHash, 64));
  std::wstring name = L"phase-";
  for (char c : requestLineHash) name.push_back(static_cast<wchar_t>(c));
  return name + L".bin";
}

std::wstring phaseAuditTemporaryName(std::string_view requestLineHash, std::string_view nonce) {
  require(isLowerHex(requestLineHash, 64) && isLowerHex(nonce, 16));
  std::wstring name = L"phase-";
  for (char c : requestLineHash) name.push_back(static_cast<wchar_t>(c));
  name.push_back(L'.');
  for (char c : nonce) name.push_back(static_cast<wchar_t>(c));
  return name + L".tmp";
}

bool isWholePhaseAudit(std::string_view bytes) noexcept {
  constexpr std::string_view kHead = "NUVRA_AUDIT_V3\tserver\t";
  if (bytes.size() != kPhaseAuditFileBytes || !bytes.starts_with(kHead)) return false;
  const std::size_t end = bytes.find('\n');
  if (end == std::string_view::npos) return false;
  return bytes.find_first_not_of('\0', end + 1) == std::string_view::npos;
}

std::uint64_t ingressRemaining(std::string_view deadline, std::uint64_t now) {
  const std::uint64_t tick = positiveDecimal(deadline);
  if (tick > now && tick - now > 1000) refuse();
  return tick > now ? tick - now : 0;
}

}  // namespace nuvra
