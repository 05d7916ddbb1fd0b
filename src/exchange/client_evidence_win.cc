#include "exchange/client_evidence_win.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>

#include "common/crypto_win.h"
#include "exchange/client_evidence.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

ExchangeProgress progressOf(Work& work) {
  std::lock_guard<std::mutex> state(work.stateMutex);
  return work.exchange;
}

}  // namespace

std::string clientExchangeOutcome(Work& work) {
  ExchangeProgress progress;
  bool deadlinePassed = false;
  {
    std::lock_guard<std::mutex> state(work.stateMutex);
    progress = work.exchange;
    // The tick is read under the lock the dispatch mark checks the deadline
    // under: a request not dispatched by now never will be. Read after
    // letting go, a mark could slip in between and be reported undispatched.
    deadlinePassed = !(GetTickCount64() < work.timing.deadline);
  }
  return exchangeOutcomeText(progress, work.id, deadlinePassed);
}

void closeDispatch(Work& work) {
  std::lock_guard<std::mutex> state(work.stateMutex);
  work.exchange.dispatch_closed = true;
}

void clientWorkEvidence(Work& work, std::string& clientEvidence, std::string& serverEvidence) {
  const ExchangeProgress progress = progressOf(work);
  // The correlation hash is absent while no request line is bound.
  const std::string hash =
      progress.request_line.empty() ? std::string() : sha256Hex(progress.request_line);
  ClientEndEvidence evidence = clientEndEvidence(progress, work.id, work.operation, hash);
  clientEvidence = std::move(evidence.client);
  serverEvidence = std::move(evidence.server);
}

}  // namespace nuvra
