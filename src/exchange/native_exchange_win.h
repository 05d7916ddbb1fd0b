// The native exchange of one exchange job (kind 7): find and open the
// broker's pipe, prove the process behind it is the broker the descriptor
// names, negotiate the version, write one framed request and read the
// answer, recording version 2 progress on the work. Runs on a worker thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/identity.h"
#include "common/wipe.h"
#include "exchange/endpoint_descriptor.h"

namespace nuvra {

struct Work;

// What one exchange reads and fills; the exchange job carries it.
struct ExchangeRun {
  bool version2 = false;
  // The executable path the native target check is run against.
  std::wstring nativeTarget;
  std::string endpointLine;
  std::string operation;
  // 36 characters with dashes, as the caller gave it.
  std::string requestId;
  // The caller's request; for version 2 the header goes in front of it.
  WipedBytes requestBytes;
  // Version 1: the response; version 2: the final phase frame's body.
  WipedBytes responseBytes;
  std::uint64_t deadline = 0;
  // On only while version 2 request bytes are being written.
  bool markDispatch = false;
  std::uint64_t pipe_bytes_written = 0;
  std::uint64_t pipe_bytes_read = 0;
  std::int32_t native_win32_error = 0;
  std::shared_ptr<Work> work;
};

// One overlapped operation at a time on the exchange's pipe.
struct PipeIo {
  HANDLE pipe = nullptr;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  std::uint64_t deadline = 0;
  ExchangeRun* run = nullptr;
  bool io_pending = false;
};

// Raised at the exchange's fixed points; writes one stage record.
using StageWriter = std::function<void(std::string_view stage, bool failed)>;

// The whole exchange; on return `responseBytes` hold the answer. Throws the
// reason of the first step that fails, after releasing the pipe, the event
// and the duplicated work record handle.
void runNativeExchange(ExchangeRun& run, const StageWriter& stage);

// One overlapped read or write of at most `length` bytes, waited for in
// slices of at most 10 ms; returns the count moved (at least 1).
std::uint32_t pipeTransfer(PipeIo& io, Work& work, void* buffer, std::uint32_t length, bool write);

// The peer checks: the process serving the pipe is the live broker process
// of the descriptor and runs as this client does.
void verifyPipePeer(PipeIo& io, Work& work, const NativeEndpointDescriptor& descriptor,
                    const ProcessIdentity& ownIdentity);

// The stage record of the running exchange, written synchronously on this
// thread. A record that cannot be written is simply missing; a log cleanup
// that cannot be confirmed poisons the process and is
// "profile_diagnostic_cleanup_uncertain".
void writeExchangeStage(ExchangeRun& run, std::string_view stage, bool failed);

}  // namespace nuvra
