// Whatever the attempt id and checkpoint name, a trace line is written only
// for a 32-digit lowercase hex id and a lower_snake_case name, and such a
// line is one JSON object on one line that carries both texts verbatim.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "accepting_branch.h"
#include "custody/timing_trace.h"

namespace {

nuvra::fuzzing::AcceptingBranch tracedLine("trace_line");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: where the attempt id ends and the checkpoint name begins.
  const std::size_t split = 1 + data[0] % size;
  std::wstring idText;
  for (std::size_t i = 1; i < split; ++i) idText.push_back(static_cast<wchar_t>(data[i]));
  const std::string stage(reinterpret_cast<const char*>(data) + split, size - split);

  const std::string id = nuvra::timing::attemptIdFrom(idText);
  if (!id.empty()) {
    if (id.size() != 32) std::abort();
    for (char c : id) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) std::abort();
    }
  }
  if (!nuvra::timing::isTraceStageName(stage) || id.empty()) return 0;
  const std::string line = nuvra::timing::traceLine(id, stage, 77, 12345);
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
  if (line.find(' ') != std::string::npos) std::abort();
  if (line.find("\"stage\":\"" + stage + "\",") == std::string::npos) std::abort();
  if (line.find("\"attempt_id\":\"" + id + "\",") == std::string::npos) std::abort();
  if (line.rfind("{\"schema_version\":\"nuvra.startup-timing.v1\",", 0) != 0) std::abort();
  tracedLine.reached();
  return 0;
}
