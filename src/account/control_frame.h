// The account control protocol's 72-byte frames: encoding, decoding, the
// addon's reply rules, the sequence rule, an incremental reader for a byte
// stream that may split or join frames, and the worker side's answer to each
// request. Called by account/control_win.cc (sendFrame, awaitReply, the adopt
// and revoke exchanges) and by the account-worker role of the broker
// executable.
//
// Layout, nine unsigned 64-bit little-endian words:
//   0 magic "NUVRACP1"   8 kind   16 sequence   24 work id   32 work deadline
//   40 volume serial (zero-extended)   48 file index (high 32 bits, then low)
//   56 instance nonce   64 signal event handle in the worker
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nuvra {

constexpr std::size_t kControlFrameSize = 72;

enum class ControlKind : std::uint64_t {
  ready = 1,    // worker to addon, sequence 0
  adopt = 2,    // addon to worker, the sequence after incrementing
  adopted = 3,  // worker to addon, the adopt's sequence
  revoke = 4,   // addon to worker, the adoption's sequence
  revoked = 5,  // worker to addon, the revoke's sequence
};

// Every word but the magic.
struct ControlFrame {
  std::uint64_t kind = 0;
  std::uint64_t sequence = 0;
  std::uint64_t workId = 0;
  std::uint64_t workDeadline = 0;
  std::uint64_t volumeSerial = 0;
  std::uint64_t fileIndex = 0;
  std::uint64_t nonce = 0;
  std::uint64_t signalHandle = 0;
  bool operator==(const ControlFrame&) const = default;
};

using ControlBytes = std::array<std::uint8_t, kControlFrameSize>;

ControlBytes encodeControlFrame(const ControlFrame& frame) noexcept;
// Any 72 bytes whose first eight are the magic; else
// "profile_account_control_reply".
ControlFrame decodeControlFrame(std::span<const std::uint8_t, kControlFrameSize> bytes);

// The word at offset 48: high 32 bits of the file index, then the low.
constexpr std::uint64_t fileIndexWord(std::uint32_t high, std::uint32_t low) noexcept {
  return (std::uint64_t{high} << 32) | low;
}

// What the adopt exchange fills in (its step 7).
struct AdoptTerms {
  std::uint64_t sequence = 0;
  std::uint64_t workId = 0;
  std::uint64_t workDeadline = 0;
  std::uint32_t volumeSerial = 0;
  std::uint64_t fileIndex = 0;
  std::uint64_t nonce = 0;
  std::uint64_t signalHandle = 0;
};
ControlFrame adoptFrame(const AdoptTerms& terms) noexcept;
// Work id and nonce; the words at 32, 40, 48 and 64 are 0.
ControlFrame revokeFrame(std::uint64_t sequence, std::uint64_t workId,
                         std::uint64_t nonce) noexcept;
// ready, adopted and revoked: kind, sequence and nonce; the rest 0.
ControlFrame replyFrame(ControlKind kind, std::uint64_t sequence, std::uint64_t nonce) noexcept;

// Adopt step 5: the sequence of a new adoption. At 2^64-1 there is none:
// "profile_account_sequence".
std::uint64_t nextAdoptSequence(std::uint64_t current);

// awaitReply step 5, over the byte count the reply pipe shows: false for 0
// (poll again), true for exactly one frame, and "profile_account_control_frame"
// for anything else: a frame seen half-written, or two queued at once.
bool replyReady(std::uint64_t available);

// awaitReply step 6 over the bytes one read returned: exactly 72, the magic,
// and the expected kind, sequence and nonce; the other words are not read.
// Else "profile_account_control_reply".
void checkReply(std::span<const std::uint8_t> bytes, ControlKind kind, std::uint64_t sequence,
                std::uint64_t nonce);

// Frames out of a byte stream in whatever pieces the pipe delivers them: a
// frame split across reads, or several in one. Decoding refuses a frame
// without the magic ("profile_account_control_reply"); the stream is then not
// usable any more.
class ControlFrameReader {
 public:
  void feed(std::span<const std::uint8_t> bytes);
  // The next whole frame, or nothing until enough bytes have been fed.
  std::optional<ControlFrame> next();
  std::size_t buffered() const noexcept { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
};

// The account-worker role's side: the ready frame, then one answer per
// request. A request answers only when it carries the instance nonce and is
// the one request the worker can take next:
//   adopt   nothing adopted; sequence one above the last; a work id and a
//           signal handle; the work marker's volume and file index of the
//           worker's handoff
//   revoke  the adopted work's id and sequence; the words at 32, 40, 48 and
//           64 zero
// Anything else is "profile_account_control_reply" and changes nothing.
class WorkerControl {
 public:
  WorkerControl(std::uint64_t nonce, std::uint32_t workVolume, std::uint64_t workFileIndex) noexcept
      : nonce_(nonce), workVolume_(workVolume), workFileIndex_(workFileIndex) {}

  ControlFrame ready() const noexcept { return replyFrame(ControlKind::ready, 0, nonce_); }
  ControlFrame answer(const ControlFrame& request);
  // The adopted work's id; 0 when none.
  std::uint64_t adoptedWork() const noexcept { return adopted_; }

 private:
  std::uint64_t nonce_;
  std::uint32_t workVolume_;
  std::uint64_t workFileIndex_;
  std::uint64_t sequence_ = 0;
  std::uint64_t adopted_ = 0;
};

}  // namespace nuvra
