// Per-environment state, attached as Node-API instance data by registration
// and destroyed by the environment's finaliser.
//
// The frame knows no subsystem: each subsystem keeps what it owns per
// environment in a part of its own (a type derived from EnvironmentPart),
// created on first use by environmentPart<Part>(state). The module's
// finaliser runs the subsystems' end-of-environment steps in the order the
// module file lists them; the parts are destroyed with the state afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra {

class EnvironmentPart {
 public:
  EnvironmentPart() = default;
  EnvironmentPart(const EnvironmentPart&) = delete;
  EnvironmentPart& operator=(const EnvironmentPart&) = delete;
  virtual ~EnvironmentPart() = default;
};

struct AddonState {
  // Tags the process-wide table entries this environment owns. Unique for the
  // life of the process, unlike the environment or state addresses.
  std::uint64_t environmentId = 0;
  // The subsystems' parts by part index. JavaScript thread only.
  std::vector<std::unique_ptr<EnvironmentPart>> parts;
};

// A process-wide index for each part type, handed out on first use.
std::size_t nextEnvironmentPartIndex() noexcept;

template <typename Part>
std::size_t environmentPartIndex() noexcept {
  static const std::size_t index = nextEnvironmentPartIndex();
  return index;
}

// The environment's part of type `Part`, created on first use.
template <typename Part>
Part& environmentPart(AddonState& state) {
  const std::size_t index = environmentPartIndex<Part>();
  if (state.parts.size() <= index) state.parts.resize(index + 1);
  std::unique_ptr<EnvironmentPart>& slot = state.parts[index];
  if (!slot) slot = std::make_unique<Part>();
  return static_cast<Part&>(*slot);
}

// The part if the environment has one; never creates it (finaliser steps).
template <typename Part>
Part* existingEnvironmentPart(AddonState& state) noexcept {
  const std::size_t index = environmentPartIndex<Part>();
  if (state.parts.size() <= index) return nullptr;
  return static_cast<Part*>(state.parts[index].get());
}

}  // namespace nuvra
