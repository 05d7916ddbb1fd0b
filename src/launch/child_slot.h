// The owning pointer of a launched child, usable where Windows headers are
// not: the record stays incomplete here. Dropping a ChildSlot that still
// holds a record hands it to the record's cleanup work (child_process_win.h).
#pragma once

#include <memory>

namespace nuvra {

struct ChildProcess;

void submitChildCleanup(ChildProcess* child) noexcept;

struct ChildCleanup {
  void operator()(ChildProcess* child) const noexcept { submitChildCleanup(child); }
};

using ChildSlot = std::unique_ptr<ChildProcess, ChildCleanup>;

}  // namespace nuvra
