// The launch context of a managed child (kind 1): the work's deadline, the
// serialisation hold against it, the work's own lock and the profile-work
// record that hands the work to the child.
#pragma once

#include <memory>

#include "custody/serialization_win.h"
#include "launch/launch_win.h"

namespace nuvra {

struct Work;

class ManagedChildLaunch final : public LaunchContext {
 public:
  explicit ManagedChildLaunch(std::shared_ptr<Work> work) : work_(std::move(work)) {}

  void checkDeadline() override;
  void acquireSerialization() override;
  void releaseSerialization() override;
  std::unique_lock<std::mutex> tryLockOwner() override;
  std::string buildHandoffText(ChildProcess& child, InheritList& inherit) override;

 private:
  std::shared_ptr<Work> work_;
  SerializationHold hold_;
};

}  // namespace nuvra
