#include "children/managed_launch_win.h"

#include "common/reason.h"
#include "custody/profile_win.h"
#include "work/work_record_win.h"
#include "work/work_win.h"

namespace nuvra {

void ManagedChildLaunch::checkDeadline() {
  checkWorkValidity(*work_);
}

void ManagedChildLaunch::acquireSerialization() {
  nuvra::acquireSerialization(hold_, work_->timing.deadline, SerializationClock::ordinary);
}

void ManagedChildLaunch::releaseSerialization() {
  nuvra::releaseSerialization(hold_);
}

std::unique_lock<std::mutex> ManagedChildLaunch::tryLockOwner() {
  // Holds the work's marker steady while the record names it.
  std::unique_lock<std::mutex> lock(work_->lock, std::try_to_lock);
  if (lock.owns_lock() && !work_->workRecord) fail("profile_work_ended");
  return lock;
}

std::string ManagedChildLaunch::buildHandoffText(ChildProcess&, InheritList& inherit) {
  return buildProfileWorkRecord(*work_, work_->workRecord.get(), inherit);
}

}  // namespace nuvra
