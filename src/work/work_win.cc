#include "work/work_win.h"
#include "common/layout.h"

#include <utility>

#include "common/file_win.h"
#include "common/identity_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/profile_win.h"
#include "custody/serialization_win.h"
#include "diagnostics/event.h"
#include "diagnostics/log_writer_win.h"

namespace nuvra {
namespace {

WorkMarkerFacts workMarkerFacts() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) fail("profile_custody_required");
  return WorkMarkerFacts{profile.home + std::wstring(kWorkMarkerPath), profile.workMarkerVolume,
                         profile.workMarkerIndex};
}

class WorkLogOwner final : public LogOwner {
 public:
  explicit WorkLogOwner(std::shared_ptr<Work> work) : work_(std::move(work)) {}
  std::unique_lock<std::mutex> lockOwner() override {
    return std::unique_lock<std::mutex>(work_->lock);  // the work record and its writes
  }
  // Runs with the work's lock held; the binding is read under the leaf lock.
  void check() override {
    checkWorkValidity(*work_);
    std::shared_ptr<DiagnosticEvent> event;
    {
      std::lock_guard<std::mutex> binding(work_->bindingLock);
      event = work_->diagnosticEvent;
    }
    checkWorkEvent(event.get(), work_->diagnosticUnbound.load(), work_->id, loggingOff());
  }
  void requireOpen() override {
    if (!work_->workRecord) fail("profile_work_ended");
  }
  std::uint64_t deadline() const override { return work_->timing.deadline; }
  std::uint32_t clock() const override { return 0; }
  bool fencedAtOpen() const override { return true; }

 private:
  std::shared_ptr<Work> work_;
};

}  // namespace

// 3. The marker must be the very file the launcher pinned at startup: a
// replacement of the same name means the runtime selection moved underneath.
UniqueHandle openWorkMarker(const WorkMarkerFacts& facts) {
  UniqueHandle marker(CreateFileW(facts.path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!marker) fail("profile_work_open");
  requireNonInheritable(marker.get());
  checkOwnerOnly(marker.get(), OwnedObject::file);
  FileIdentity identity;
  bool same = fileIdentity(marker.get(), identity);
  same = same &&
         (identity.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  same = same && identity.links == 1 && identity.size == 0;
  same =
      same && identity.volumeSerial == facts.volume &&
      ((static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow) == facts.index;
  if (same) {
    try {
      same = samePathIgnoringCase(canonicalPath(marker.get()), facts.path);
    } catch (const std::exception&) {
      same = false;
    }
  }
  if (!same) fail("profile_work_identity");
  return marker;
}

LiveWorkCount& liveWorkCount() {
  // Leaked like the other process-wide state: works may die on any thread
  // during process exit.
  static LiveWorkCount* const count = new LiveWorkCount();
  return *count;
}

Work::Work(std::uint64_t environment, const WorkTiming& workTiming, WorkPurpose purpose)
    : environmentId(environment),
      timing(workTiming),
      role(std::move(purpose.role)),
      operation(std::move(purpose.operation)) {
  liveWorkCount().enter();
}

Work::~Work() {
  accountSignal.closeQuietly();
  if (!workRecord.closeForCleanup()) setPoisoned();
  liveWorkCount().leave();
}

void checkWorkValidity(const Work& work) {
  checkWorkValidity(work.active.load(), work.timing, GetTickCount64(), isPoisoned());
}

void openWork(Work& work) {
  // 1. Work validity check.
  checkWorkValidity(work);
  const WorkMarkerFacts facts = workMarkerFacts();
  // 2. Serialise against every other process of the home.
  SerializationHold hold;
  acquireSerialization(hold, work.timing.deadline, SerializationClock::ordinary);
  // 3. The marker.
  UniqueHandle marker = openWorkMarker(facts);
  // 4. Keep it in the work; validity again.
  {
    std::lock_guard<std::mutex> lock(work.lock);
    work.workRecord = std::move(marker);
  }
  checkWorkValidity(work);
  // 5. Release.
  releaseSerialization(hold);
}

void closeWork(Work& work) {
  std::lock_guard<std::mutex> lock(work.lock);
  if (!work.workRecord.closeForCleanup()) {
    setPoisoned();
    fail("profile_close_failed");
  }
}

std::unique_ptr<LogOwner> workLogOwner(std::shared_ptr<Work> work) {
  return std::make_unique<WorkLogOwner>(std::move(work));
}

}  // namespace nuvra
