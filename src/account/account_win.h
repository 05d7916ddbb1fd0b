// The account worker: one instance of the broker executable in role
// "account-worker", a child of this runtime, which the runtime lends at most
// one work at a time. This file holds its state (`Prepared`), the launch of
// job kind 9, the control exchanges of kinds 10, 11, 12 and 2, and teardown.
// Everything here runs on worker threads unless it says otherwise; the
// JavaScript side and teardown are in account_napi.cc.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "account/control_frame.h"
#include "common/seam.h"
#include "custody/serialization_win.h"
#include "launch/child_slot.h"
#include "launch/launch_win.h"

namespace nuvra {

struct Work;

enum class AccountMode : std::uint32_t {
  setup = 1,
  resident = 2,
};

// Shared by the environment's slot and by every job that acts on the worker.
struct Prepared {
  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;

  // The worker process, its job and its control pipes. Written once by the
  // launch before `installed` is set, taken out only by `dispose` while no
  // exchange can run; readers look at `installed` first.
  ChildSlot child;
  std::atomic<bool> installed{false};
  // Serialises control exchanges: the adopt exchange only tries it, the
  // revoke exchange polls it until the work's deadline.
  std::mutex mutex;
  std::atomic<bool> stopped{false};
  std::atomic<bool> ready{false};
  // Set while a ready, adopt or publication job is queued or running; only
  // the job that set it clears it.
  std::atomic<bool> busy{false};
  std::uint32_t id = 0;
  std::uint64_t nonce = 0;
  // Under `mutex`.
  std::uint64_t sequence = 0;
  std::atomic<std::uint64_t> adoptedWork{0};
  std::uint64_t deadline = 0;
  AccountMode mode = AccountMode::setup;
};

// The resident subsystem's part in the worker's life. Unset: no resident
// host exists in this process, so every worker is a setup-mode worker.
struct AccountResidentHooks {
  // Whether a resident state exists (the worker is then a resident-mode one).
  bool (*exists)() = nullptr;
  // The resident availability check: Pending, not poisoned, ceiling ahead.
  // Throws its reason.
  void (*checkAvailable)() = nullptr;
  // The broker startup ceiling; "profile_resident_required" when unreadable.
  std::uint64_t (*ceiling)() = nullptr;
  // The launch's job object, kept so that the ceiling can end it.
  void (*registerJob)(HANDLE job) = nullptr;
};
Seam<AccountResidentHooks>& accountResidentHooks();

// Whether the worker's process runs: installed, not taken, and a zero wait
// on it times out.
bool workerAlive(const Prepared& worker) noexcept;

// Writes one frame to the request pipe: "profile_account_exited" for a worker
// that is stopped, not installed or ended, "profile_account_control_write".
void sendFrame(const Prepared& worker, const ControlFrame& frame);

// Waits for one frame of `kind` and `sequence` carrying the worker's nonce
// until `deadline`: "profile_account_exited", "profile_account_control_timeout",
// "profile_account_control_eof", "profile_account_control_frame" (a frame
// seen half-written or two at once), "profile_account_control_reply".
void awaitReply(const Prepared& worker, std::uint64_t deadline, ControlKind kind,
                std::uint64_t sequence);

// The launch of kind 9: the worker's deadline (setup mode: the startup
// deadline in the job-startup window; resident mode: the resident check), the
// serialisation hold in the worker's clock, and the idle-account record.
class AccountLaunch final : public LaunchContext {
 public:
  explicit AccountLaunch(std::shared_ptr<Prepared> worker) : worker_(std::move(worker)) {}

  void checkDeadline() override;
  void acquireSerialization() override;
  void releaseSerialization() override;
  std::string buildHandoffText(ChildProcess& child, InheritList& inherit) override;
  void registerResidentJob(HANDLE job) override;
  std::string completeAccountHandoff(const std::string& text, std::uint64_t controlRead,
                                     std::uint64_t controlWrite) override;

 private:
  std::shared_ptr<Prepared> worker_;
  SerializationHold hold_;
};

// The worker's deadline check: in resident mode the resident availability
// check, else now before the deadline and at most 30,000 ms before it
// ("profile_startup_timeout").
void checkWorkerDeadline(const Prepared& worker);

// Kind 9 execute: launches the worker and installs it.
void launchAccountWorker(const std::shared_ptr<Prepared>& worker, LaunchRequest request);

// Kind 10 execute: waits for the ready frame until the worker's deadline and
// marks the worker ready.
void awaitWorkerReady(Prepared& worker);

// Kind 11 execute: hands `work` to the worker.
void adoptExchange(Prepared& worker, Work& work);

// Kinds 12 and 2: takes `work` back from the worker (only sets the signal
// event when the worker holds no work). Waits, up to the work's deadline,
// for an adopt still in flight (the busy flag) and for the worker's mutex.
// True when a revoke frame was answered.
bool revokeExchange(Prepared& worker, Work& work);

// Teardown's own steps: poisons the process, stops the worker and
// terminates its process with exit code 70. Never throws; a second run is
// harmless.
void stopWorker(Prepared& worker) noexcept;

}  // namespace nuvra
