// The owning pointer a promise job keeps its diagnostic log writer in,
// declared without the writer's Windows header.
#pragma once

#include <memory>

namespace nuvra {

class DiagnosticWrite;

// Runs the writer's cleanup if it has not run, then frees it.
struct DiagnosticWriteDeleter {
  void operator()(DiagnosticWrite* write) const noexcept;
};

using DiagnosticLogPointer = std::unique_ptr<DiagnosticWrite, DiagnosticWriteDeleter>;

}  // namespace nuvra
