#include "account/control_frame.h"

#include <limits>
#include <string_view>

#include "common/reason.h"

namespace nuvra {
namespace {

constexpr std::string_view kMagic = "NUVRACP1";

[[noreturn]] void badReply() {
  fail("profile_account_control_reply");
}

void putWord(std::uint8_t* at, std::uint64_t word) noexcept {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(word >> (8 * i));
}

std::uint64_t getWord(const std::uint8_t* at) noexcept {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | at[i];
  return word;
}

}  // namespace

ControlBytes encodeControlFrame(const ControlFrame& frame) noexcept {
  ControlBytes bytes{};
  for (std::size_t i = 0; i < kMagic.size(); ++i) bytes[i] = static_cast<std::uint8_t>(kMagic[i]);
  const std::uint64_t words[8] = {frame.kind,         frame.sequence,     frame.workId,
                                  frame.workDeadline, frame.volumeSerial, frame.fileIndex,
                                  frame.nonce,        frame.signalHandle};
  for (std::size_t i = 0; i < 8; ++i) putWord(bytes.data() + 8 * (i + 1), words[i]);
  return bytes;
}

ControlFrame decodeControlFrame(std::span<const std::uint8_t, kControlFrameSize> bytes) {
  const std::uint8_t* at = bytes.data();
  for (std::size_t i = 0; i < kMagic.size(); ++i) {
    if (at[i] != static_cast<std::uint8_t>(kMagic[i])) badReply();
  }
  return {getWord(at + 8),  getWord(at + 16), getWord(at + 24), getWord(at + 32),
          getWord(at + 40), getWord(at + 48), getWord(at + 56), getWord(at + 64)};
}

ControlFrame adoptFrame(const AdoptTerms& terms) noexcept {
  return {static_cast<std::uint64_t>(ControlKind::adopt),
          terms.sequence,
          terms.workId,
          terms.workDeadline,
          terms.volumeSerial,
          terms.fileIndex,
          terms.nonce,
          terms.signalHandle};
}

ControlFrame revokeFrame(std::uint64_t sequence, std::uint64_t workId,
                         std::uint64_t nonce) noexcept {
  ControlFrame frame;
  frame.kind = static_cast<std::uint64_t>(ControlKind::revoke);
  frame.sequence = sequence;
  frame.workId = workId;
  frame.nonce = nonce;
  return frame;
}

ControlFrame replyFrame(ControlKind kind, std::uint64_t sequence, std::uint64_t nonce) noexcept {
  ControlFrame frame;
  frame.kind = static_cast<std::uint64_t>(kind);
  frame.sequence = sequence;
  frame.nonce = nonce;
  return frame;
}

std::uint64_t nextAdoptSequence(std::uint64_t current) {
  if (current == std::numeric_limits<std::uint64_t>::max()) fail("profile_account_sequence");
  return current + 1;
}

bool replyReady(std::uint64_t available) {
  if (available == 0) return false;
  if (available != kControlFrameSize) fail("profile_account_control_frame");
  return true;
}

void checkReply(std::span<const std::uint8_t> bytes, ControlKind kind, std::uint64_t sequence,
                std::uint64_t nonce) {
  if (bytes.size() != kControlFrameSize) badReply();
  const ControlFrame frame = decodeControlFrame(bytes.first<kControlFrameSize>());
  if (frame.kind != static_cast<std::uint64_t>(kind) || frame.sequence != sequence ||
      frame.nonce != nonce) {
    badReply();
  }
}

void ControlFrameReader::feed(std::span<const std::uint8_t> bytes) {
  // Drop what was consumed before growing, so the buffer stays near one frame.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::optional<ControlFrame> ControlFrameReader::next() {
  if (buffered() < kControlFrameSize) return std::nullopt;
  const auto* at = reinterpret_cast<const std::uint8_t*>(buffer_.data() + start_);
  const ControlFrame frame =
      decodeControlFrame(std::span<const std::uint8_t, kControlFrameSize>(at, kControlFrameSize));
  start_ += kControlFrameSize;
  return frame;
}

ControlFrame WorkerControl::answer(const ControlFrame& request) {
  if (request.nonce != nonce_) badReply();
  if (request.kind == static_cast<std::uint64_t>(ControlKind::adopt)) {
    if (adopted_ != 0 || sequence_ == std::numeric_limits<std::uint64_t>::max() ||
        request.sequence != sequence_ + 1 || request.workId == 0 || request.signalHandle == 0 ||
        request.volumeSerial != workVolume_ || request.fileIndex != workFileIndex_) {
      badReply();
    }
    sequence_ = request.sequence;
    adopted_ = request.workId;
    return replyFrame(ControlKind::adopted, sequence_, nonce_);
  }
  if (request.kind == static_cast<std::uint64_t>(ControlKind::revoke)) {
    if (adopted_ == 0 || request.workId != adopted_ || request.sequence != sequence_ ||
        request.workDeadline != 0 || request.volumeSerial != 0 || request.fileIndex != 0 ||
        request.signalHandle != 0) {
      badReply();
    }
    adopted_ = 0;
    return replyFrame(ControlKind::revoked, sequence_, nonce_);
  }
  badReply();
}

}  // namespace nuvra
