#include "exchange/phase_frame.h"

#include <limits>

#include "common/reason.h"
#include "common/text.h"
#include "exchange/wire_text.h"

namespace nuvra {
namespace {

constexpr std::string_view kPhaseMagic = "NUVRA_PHASE_V2";
constexpr std::size_t kPhaseFieldCount = 16;
constexpr std::uint64_t kSendCountLimit = 8;

[[noreturn]] void refuse() {
  fail("broker_native_protocol_refused");
}

void require(bool condition) {
  if (!condition) refuse();
}

bool isOneOf(std::string_view text, std::initializer_list<std::string_view> choices) noexcept {
  for (std::string_view choice : choices) {
    if (text == choice) return true;
  }
  return false;
}

// 1 to 80 characters from a-z, 0-9 and underscore.
bool isReasonText(std::string_view text) noexcept {
  if (text.empty() || text.size() > 80) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

std::uint64_t decimalField(std::string_view text, std::uint64_t minimum, std::uint64_t maximum) {
  const auto value = wireDecimal(text, minimum, maximum);
  if (!value) refuse();
  return *value;
}

bool isPositiveDecimal(std::string_view text) noexcept {
  return wireDecimal(text, 1, std::numeric_limits<std::uint64_t>::max()).has_value();
}

}  // namespace

void checkDispatchOpen(const ExchangeProgress& progress) {
  if (progress.dispatch_closed) fail("profile_startup_timeout");
}

void bindRequestLine(ExchangeProgress& progress, std::string_view requestLine,
                     std::string_view operation) {
  if (!progress.request_line.empty()) refuse();
  progress.request_line = std::string(requestLine);
  progress.operation = std::string(operation);
}

void markDispatched(ExchangeProgress& progress) {
  checkDispatchOpen(progress);
  progress.dispatch_submitted = true;
  progress.last_verified_phase = "sent";
}

void markVersion1Dispatched(ExchangeProgress& progress) {
  checkDispatchOpen(progress);
  progress.dispatch_submitted = true;
}

void checkPhaseFrameCount(std::size_t framesRead) {
  if (framesRead >= kPhaseFrameLimit) refuse();
}

PhaseFrame parsePhaseFrame(std::string_view frame) {
  const std::size_t lineEnd = frame.find('\n');
  require(lineEnd != std::string_view::npos);
  const std::string_view header = frame.substr(0, lineEnd);
  require(header.size() <= kPhaseHeaderLimit && isWireLineText(header));
  const auto fields = splitWireFields(header);
  require(fields.size() == kPhaseFieldCount && fields[0] == kPhaseMagic);

  PhaseFrame parsed;
  const char* echoBegin = fields[1].data();
  parsed.echo = std::string_view(
      echoBegin, static_cast<std::size_t>(fields[7].data() + fields[7].size() - echoBegin));
  parsed.request_id = fields[2];
  parsed.operation = fields[5];
  parsed.broker_instance = fields[6];
  require(fields[8] == "-" || isPositiveDecimal(fields[8]));
  parsed.server_work = fields[8];
  parsed.sequence = decimalField(fields[9], 1, kPhaseFrameLimit);
  require(isOneOf(fields[10], {"received", "admitted", "started", "terminal", "refused_arrival",
                               "refused_queue"}));
  parsed.phase = fields[10];
  require(isReasonText(fields[11]));
  parsed.server_reason = fields[11];
  parsed.account_send_count = decimalField(fields[12], 0, kSendCountLimit);
  parsed.memory_send_count = decimalField(fields[13], 0, kSendCountLimit);
  require(isOneOf(fields[14], {"none", "possible", "validated"}));
  parsed.effect_certainty = fields[14];
  require(fields[15] == "0" || fields[15] == "1");
  parsed.final = fields[15] == "1";
  parsed.body = frame.substr(lineEnd + 1);
  return parsed;
}

std::string brokerFailureBody(std::string_view brokerInstance, std::string_view reason,
                              std::string_view operation, std::string_view requestId) {
  return RecordBuilder()
      .string("broker_instance", brokerInstance)
      .string("error_code", reason)
      .string("failure_reason", reason)
      .boolean("ok", false)
      .string("operation", operation)
      .string("request_id", requestId)
      .string("schema_version", "nuvra.windows-memory-broker.v1")
      .text();
}

bool acceptPhaseFrame(ExchangeProgress& progress, std::string_view frame,
                      const PhaseFrameChecks& checks, WipedBytes& responseBytes) {
  // 1. Layout and field rules, including the echo of the bound request line.
  const PhaseFrame f = parsePhaseFrame(frame);
  require(f.echo == progress.request_line);

  // 2. Order against what the work has seen (the caller holds its state mutex).
  require(!progress.terminal_observed);
  require(f.sequence == progress.sequence + 1);
  require(f.account_send_count >= progress.account_send_count);
  require(f.memory_send_count >= progress.memory_send_count);

  const std::string_view last = progress.last_verified_phase;
  const bool noSends = f.account_send_count == 0 && f.memory_send_count == 0;
  const bool failureReason = f.server_reason != "none";

  // 3. Every phase but "refused_arrival" names the server work, and always
  // the same one; non-final frames report progress without a body.
  if (f.phase != "refused_arrival") {
    require(f.server_work != "-");
    require(progress.server_work.empty() || progress.server_work == f.server_work);
    if (!f.final) {
      require(!failureReason && f.body.empty());
      if (f.phase == "received") {
        require(f.sequence == 1 && noSends && f.effect_certainty == "none");
      } else if (f.phase == "admitted") {
        require(last == "received" && noSends && f.effect_certainty == "none");
      } else if (f.phase == "started") {
        require(last == "admitted" || last == "started");
        require(f.account_send_count + f.memory_send_count >
                progress.account_send_count + progress.memory_send_count);
        require(f.effect_certainty == "possible");
      } else {
        refuse();
      }
    }
  }

  // 4. A refusal on arrival is the first and only frame, before any server work.
  if (f.phase == "refused_arrival") {
    require(f.sequence == 1 && f.server_work == "-" && f.final);
    require(f.server_reason == "broker_deadline_refused" && noSends);
  }

  // 5. Final frames.
  if (f.final) {
    require(isOneOf(f.phase, {"terminal", "refused_queue", "refused_arrival"}));
    if (f.phase == "refused_queue") {
      require(last == "received" && noSends && f.server_reason == "broker_deadline_refused");
    }
    if (!failureReason) {
      require(f.phase == "terminal" && (last == "admitted" || last == "started"));
    }
    require(!f.body.empty());
  }

  // 6. The work must still be valid and in time.
  checks.workValidAndDeadline();

  // 7. A failure reported by the broker must come with the exact failure
  // object. The body is copied at step 9, together with the record, so that a
  // frame refused by step 8 leaves no body behind.
  if (f.final && failureReason) {
    require(f.body ==
            brokerFailureBody(f.broker_instance, f.server_reason, f.operation, f.request_id));
  }

  // 8. Deadline check again.
  checks.deadline();

  // 9. Record on the work.
  if (f.final) responseBytes.assign(f.body);
  progress.server_work = std::string(f.server_work);
  progress.sequence = f.sequence;
  progress.last_verified_phase = std::string(f.phase);
  progress.account_send_count = f.account_send_count;
  progress.memory_send_count = f.memory_send_count;
  progress.terminal_observed = f.final;
  if (f.final) progress.server_reason = std::string(f.server_reason);
  return f.final;
}

}  // namespace nuvra
