// Resident publication, the Windows half: the live facts the publisher's
// validation checks the record against, the kind 14 job that writes
// home\state\broker\endpoint.json through a temporary file named by the
// resident's nonce and a rename that never replaces, activation of the host,
// and the report every refusal leaves (reportPublicationRefused).
//
// Locks: the job holds the serialisation mutex from its step 2 to its step
// 15 and only tries processLock meanwhile; the report takes the resident's
// write lock and then the mutex, as a resident checkpoint does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/handle_win.h"
#include "common/identity.h"
#include "resident/endpoint_record.h"

namespace nuvra {

struct Prepared;

// The host, this process and the startup profile as the publisher's
// validation reads them, on the JavaScript thread.
class LivePublisherProbe final : public PublisherProbe {
 public:
  void checkResidentAvailable() override;
  bool processInJob() override;
  void requireHostRunning() override;
  std::uint32_t hostPid() override;
  std::uint32_t ownPid() override;
  std::string hostCreationText() override;
  std::string ownCreationText() override;
  std::string ownImageHash() override;
  void requireSameInteractiveIdentity() override;
  PublisherBinding binding() override;

 private:
  // A duplicate of the resident's host handle, taken under processLock by
  // requireHostRunning, so that endResident closing the state's handle
  // meanwhile cannot pull it away.
  UniqueHandle host_;
  ProcessIdentity own_;
};

// What a kind 14 job carries.
struct PublicationRun {
  std::string record;
  // The environment's account worker, possibly absent.
  std::shared_ptr<Prepared> account;
  // publishResident took the worker's busy flag for this job, as an adopt
  // does, so that no dispose, ready or adopt moves the worker under it; the
  // hub gives the flag back after the execute step. False when the flag was
  // already taken: step 4 then refuses a busy worker.
  bool holdsWorker = false;
  // The broker executable, the target of the native target check.
  std::wstring applicationPath;
  // Whether the process-wide works table is empty; asked under processLock.
  bool (*worksTableEmpty)() noexcept = nullptr;
};

// The kind 14 execute step, steps 1 to 17. A failure leaves the home as it
// found it, or with the temporary file that step 11 then refuses.
void runPublication(const PublicationRun& run);

// The diagnostic line of a refused publication, or the standard-error line
// when it could not be written. On the JavaScript thread (a synchronous
// refusal) the home's serialisation mutex is only tried: owned by another
// process, the line goes to standard error rather than wait. Never throws.
enum class PublicationThread { javascript, worker };
void reportPublicationRefused(std::string_view reason, PublicationThread thread) noexcept;

}  // namespace nuvra
