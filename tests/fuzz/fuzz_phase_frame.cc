// Phase frames against a work's progress: a refused frame leaves the progress
// and the response untouched; an accepted one advances the sequence by one,
// never lowers a send count, and only a final one fills the response, after
// which nothing more is accepted. The input is read both as one raw frame and
// as a stream of frames built from a few bytes each, so that deep
// transitions are reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "accepting_branch.h"
#include "common/reason.h"
#include "exchange/phase_frame.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedFrame("phase_frame");
nuvra::fuzzing::AcceptingBranch finalFrame("final_frame");

const std::string kInstance = "0123456789abcdef0123456789abcdef";
const std::string kRequestId = "0123abcd-0123-4567-89ab-0123456789ab";
const std::string kLine =
    std::string(64, 'e') + "\t" + kRequestId + "\t7\t12\tcapture\t" + kInstance + "\t90210";
const nuvra::PhaseFrameChecks kPass{[] {}, [] {}};

bool sameProgress(const nuvra::ExchangeProgress& a, const nuvra::ExchangeProgress& b) {
  return a.terminal_observed == b.terminal_observed &&
         a.last_verified_phase == b.last_verified_phase && a.server_reason == b.server_reason &&
         a.server_work == b.server_work && a.sequence == b.sequence &&
         a.account_send_count == b.account_send_count &&
         a.memory_send_count == b.memory_send_count && a.request_line == b.request_line;
}

nuvra::ExchangeProgress sentProgress() {
  nuvra::ExchangeProgress progress;
  progress.request_line = kLine;
  progress.operation = "capture";
  progress.dispatch_submitted = true;
  progress.last_verified_phase = "sent";
  return progress;
}

// Offers one frame; false once the stream must stop (refused or final).
bool offer(nuvra::ExchangeProgress& progress, std::string_view frame) {
  const nuvra::ExchangeProgress before = progress;
  nuvra::WipedBytes response("unset");
  try {
    const bool final = nuvra::acceptPhaseFrame(progress, frame, kPass, response);
    if (before.terminal_observed) std::abort();
    if (progress.sequence != before.sequence + 1) std::abort();
    if (progress.account_send_count < before.account_send_count ||
        progress.memory_send_count < before.memory_send_count) {
      std::abort();
    }
    if (progress.account_send_count > 8 || progress.memory_send_count > 8) std::abort();
    if (final != progress.terminal_observed) std::abort();
    const std::string_view body = frame.substr(frame.find('\n') + 1);
    if (final && (response.view() != body || body.empty())) std::abort();
    if (!final && (response.view() != "unset" || !body.empty())) std::abort();
    (final ? finalFrame : acceptedFrame).reached();
    return !final;
  } catch (const nuvra::ProfileError& error) {
    if (std::string_view(error.what()) != "broker_native_protocol_refused") std::abort();
    if (!sameProgress(progress, before) || response.view() != "unset") std::abort();
    return false;
  }
}

const char* const kPhases[] = {"received", "admitted",        "started",
                               "terminal", "refused_arrival", "refused_queue"};
const char* const kReasons[] = {"none", "broker_deadline_refused", "broker_failed", "x"};
const char* const kCertainties[] = {"none", "possible", "validated"};

// Four bytes per frame: phase and flag; reason and certainty; the two send
// counts; the sequence offset, server work and body choice.
std::string builtFrame(const nuvra::ExchangeProgress& progress, const std::uint8_t* b) {
  const std::string phase = kPhases[b[0] % 6];
  const std::string reason = kReasons[b[1] % 4];
  const std::uint64_t sequence = progress.sequence + 1 + (b[3] % 8 == 0 ? 1 : 0);
  const std::string work = b[3] & 0x10 ? "-" : (b[3] & 0x20 ? "10" : "9");
  std::string body;
  if (b[3] & 0x40) {
    body = "{\"broker_instance\":\"" + kInstance + "\",\"error_code\":\"" + reason +
           "\",\"failure_reason\":\"" + reason + "\",\"ok\":false,\"operation\":\"capture\"," +
           "\"request_id\":\"" + kRequestId +
           "\",\"schema_version\":\"nuvra.windows-memory-broker.v1\"}";
  } else if (b[3] & 0x80) {
    body = "{}";
  }
  return "NUVRA_PHASE_V2\t" + kLine + "\t" + work + "\t" + std::to_string(sequence) + "\t" + phase +
         "\t" + reason + "\t" + std::to_string(b[2] % 10) + "\t" +
         std::to_string((b[2] >> 4) % 10) + "\t" + kCertainties[(b[1] >> 4) % 3] + "\t" +
         (b[0] & 0x80 ? "1" : "0") + "\n" + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  nuvra::ExchangeProgress raw = sentProgress();
  offer(raw, input);

  nuvra::ExchangeProgress stream = sentProgress();
  for (std::size_t at = 0; at + 4 <= size && at / 4 < nuvra::kPhaseFrameLimit; at += 4) {
    if (!offer(stream, builtFrame(stream, data + at))) break;
  }
  // Once final, every further frame is refused.
  if (stream.terminal_observed && size >= 4) {
    nuvra::ExchangeProgress after = stream;
    if (offer(after, builtFrame(after, data)) || !sameProgress(after, stream)) std::abort();
  }
  return 0;
}
