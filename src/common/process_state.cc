#include "common/process_state.h"

namespace nuvra {

ProcessState& processState() {
  // Deliberately leaked: see the header.
  static ProcessState* const state = new ProcessState();
  return *state;
}

}  // namespace nuvra
