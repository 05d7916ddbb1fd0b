// Control frames read from a byte stream cut at arbitrary points are the
// frames decoded from whole 72-byte pieces, refused at the same frame; every
// decoded frame encodes back to its bytes; the worker answers only requests
// carrying its nonce, and its answer names the request's sequence.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "accepting_branch.h"
#include "account/control_frame.h"
#include "common/reason.h"

namespace {

nuvra::fuzzing::AcceptingBranch decodedFrame("decoded_frame");

struct Outcome {
  std::vector<nuvra::ControlFrame> frames;
  bool refused = false;
};

Outcome whole(std::span<const std::uint8_t> stream) {
  Outcome outcome;
  for (std::size_t at = 0; at + nuvra::kControlFrameSize <= stream.size();
       at += nuvra::kControlFrameSize) {
    const auto piece = stream.subspan(at).first<nuvra::kControlFrameSize>();
    try {
      const nuvra::ControlFrame frame = nuvra::decodeControlFrame(piece);
      const nuvra::ControlBytes bytes = nuvra::encodeControlFrame(frame);
      if (std::memcmp(bytes.data(), piece.data(), bytes.size()) != 0) std::abort();
      outcome.frames.push_back(frame);
      decodedFrame.reached();
    } catch (const nuvra::ProfileError&) {
      outcome.refused = true;
      break;
    }
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the cut lengths; the rest is the stream.
  const std::uint8_t seed = data[0];
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  const Outcome expected = whole(stream);

  nuvra::ControlFrameReader reader;
  Outcome split;
  std::size_t at = 0;
  std::size_t step = 1;
  while (at < stream.size() && !split.refused) {
    const std::size_t length = std::min<std::size_t>(stream.size() - at, (seed % 97 + step) % 150);
    reader.feed(stream.subspan(at, length));
    at += length;
    step += 7;
    try {
      while (auto frame = reader.next()) split.frames.push_back(*frame);
    } catch (const nuvra::ProfileError&) {
      split.refused = true;
    }
  }
  if (split.refused != expected.refused || split.frames != expected.frames) std::abort();
  if (!split.refused && reader.buffered() != stream.size() % nuvra::kControlFrameSize) std::abort();

  nuvra::WorkerControl worker(seed | 1u, 7, 9);
  for (const nuvra::ControlFrame& frame : expected.frames) {
    try {
      const nuvra::ControlFrame reply = worker.answer(frame);
      if (frame.nonce != (seed | 1u) || reply.sequence != frame.sequence ||
          reply.kind != frame.kind + 1) {
        std::abort();
      }
    } catch (const nuvra::ProfileError&) {
    }
  }
  return 0;
}
