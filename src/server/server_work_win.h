// The Windows half of a server work: sealing its terminal phase into the
// write-once phase audit file, and the server evidence a work's end hands to
// its terminal operation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

struct Work;

// Where the audit file goes, copied from the startup profile under
// processLock before the work's state mutex is taken.
struct PhaseAuditFacts {
  std::wstring home;
  // The volume the work marker was found on at startup.
  std::uint32_t volumeSerial = 0;
};
PhaseAuditFacts phaseAuditFacts();

// Takes the terminal phase with `reason` and writes the audit file once.
// Caller holds work.stateMutex. Nothing of the file's failures is thrown:
// they show as logging_status "unavailable"; a handle that would not close
// poisons the process.
void sealServerTerminal(Work& work, std::string_view reason, const PhaseAuditFacts& facts);

// The terminal-evidence seam's server side: the evidence of a server work,
// empty (written null) for any other role. Takes the work's state mutex.
std::string serverEvidence(Work& work);

}  // namespace nuvra
