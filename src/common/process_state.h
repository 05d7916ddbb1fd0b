// State shared by every JavaScript environment of the process. It lives until
// the process exits and is never destroyed, so worker threads still running
// at exit never see it torn down.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nuvra {

struct Work;
struct DiagnosticEvent;
struct TerminalOperation;

struct ProcessState {
  // processLock guards the three tables and retainedWorks. It is held for one
  // table walk, insertion or lookup at a time. While the serialisation mutex
  // is held it is only tried, with a 1 ms back-off.
  std::mutex processLock;
  std::map<std::uint64_t, std::shared_ptr<Work>> works;
  std::map<std::string, std::shared_ptr<DiagnosticEvent>> diagnosticEvents;
  std::map<std::uint64_t, std::shared_ptr<TerminalOperation>> terminalOperations;
  // Works whose cleanup could not finish; kept alive until the process exits.
  std::vector<std::shared_ptr<Work>> retainedWorks;

  // Set when a cleanup failed or its result is uncertain; never cleared.
  std::atomic<bool> poisoned{false};
};

ProcessState& processState();

inline bool isPoisoned() noexcept {
  return processState().poisoned.load(std::memory_order_seq_cst);
}
inline void setPoisoned() noexcept {
  processState().poisoned.exchange(true, std::memory_order_seq_cst);
}

}  // namespace nuvra
