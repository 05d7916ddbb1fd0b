#include "exchange/native_exchange_win.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "custody/serialization_win.h"
#include "diagnostics/event.h"
#include "diagnostics/log_writer_win.h"
#include "diagnostics/profile_link_win.h"
#include "exchange/exchange_rules.h"
#include "exchange/phase_frame.h"
#include "exchange/pipe_protocol.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

constexpr DWORD kWaitSliceMs = 10;
// FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION.
constexpr DWORD kPipeOpenFlags = 0x40110000;

// What the exchange takes from the startup profile, copied under
// processLock before any wait.
struct ProfileFacts {
  std::wstring root;
  std::string ownerSidHash;
  std::string generation;
};

ProfileFacts profileFacts() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) fail("profile_custody_required");
  return {profile.root, profile.ownerSidHash, profile.generation};
}

void checkDeadline(std::uint64_t deadline) {
  if (GetTickCount64() >= deadline) fail("profile_startup_timeout");
}

DWORD waitSlice(std::uint64_t deadline) {
  const std::uint64_t now = GetTickCount64();
  return now >= deadline
             ? 0
             : static_cast<DWORD>(std::min<std::uint64_t>(deadline - now, kWaitSliceMs));
}

std::int32_t lastError() noexcept {
  return static_cast<std::int32_t>(GetLastError());
}

// The pipe, the event and the duplicated work record handle belong to the
// exchange; they go on every path, and a close that fails poisons.
class ExchangeResources {
 public:
  explicit ExchangeResources(PipeIo& io) : io_(io) {}
  ExchangeResources(const ExchangeResources&) = delete;
  ExchangeResources& operator=(const ExchangeResources&) = delete;
  ~ExchangeResources() { release(); }

  UniqueHandle workRecord;

  // 23. Release.
  void release() noexcept {
    if (io_.io_pending && io_.pipe != nullptr) {
      CancelIoEx(io_.pipe, &io_.overlapped);
      DWORD moved = 0;
      GetOverlappedResult(io_.pipe, &io_.overlapped, &moved, TRUE);
      io_.io_pending = false;
    }
    bool closed = true;
    for (HANDLE* handle : {&io_.pipe, &io_.event}) {
      if (*handle != nullptr && !CloseHandle(std::exchange(*handle, nullptr))) closed = false;
    }
    if (!workRecord.closeForCleanup()) closed = false;
    if (!closed) setPoisoned();
  }

 private:
  PipeIo& io_;
};

void requireInteractive(const ProcessIdentity& identity) {
  if (!meetsInteractiveUserRule(identity)) fail("broker_native_peer_refused");
}

// Steps 5 to 8: this process may speak for the owner to this broker.
ProcessIdentity checkOwnIdentity(const NativeEndpointDescriptor& descriptor,
                                 const ProfileFacts& facts) {
  try {
    // 5. Own identity.
    const ProcessIdentity own = readProcessIdentity(GetCurrentProcess());
    requireInteractive(own);
    // 6. Own owner.
    const std::string ownerHash = sha256Hex(utf16ToUtf8(own.user_sid));
    if (ownerHash != facts.ownerSidHash || ownerHash != descriptor.owner_sid_hash) {
      fail("broker_native_peer_refused");
    }
    // 7. Own logon.
    if (authenticationIdHash(own.authentication_id) != descriptor.authentication_id_hash ||
        own.session_id != descriptor.windows_session_id) {
      fail("broker_native_peer_refused");
    }
    // 8. Own image.
    const std::wstring image = utf8ToUtf16(processImagePath(GetCurrentProcess()));
    const std::wstring expected = facts.root + std::wstring(kNodeImageSuffix);
    if (CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), expected.c_str(),
                             static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL) {
      fail("broker_native_peer_refused");
    }
    return own;
  } catch (const ProfileError&) {
    fail("broker_native_peer_refused");
  }
}

// 2. Work hold: the work record handle, duplicated under the work's lock.
UniqueHandle holdWork(Work& work) {
  std::lock_guard<std::mutex> lock(work.lock);
  checkWorkValidity(work);
  if (!work.workRecord) fail("profile_work_ended");
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), work.workRecord.get(), GetCurrentProcess(), &duplicate,
                       0, FALSE, DUPLICATE_SAME_ACCESS)) {
    fail("profile_work_ended");
  }
  UniqueHandle held(duplicate);
  requireNonInheritable(held.get());
  return held;
}

// 10. Connect, retrying a busy pipe in slices until the deadline.
HANDLE connectPipe(ExchangeRun& run, const NativeEndpointDescriptor& descriptor) {
  const std::wstring path = pipePath(descriptor);
  for (;;) {
    checkWorkValidity(*run.work);
    checkDeadline(run.deadline);
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              kPipeOpenFlags, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) {
      run.native_win32_error = static_cast<std::int32_t>(error);
      fail("broker_native_transport_failed");
    }
    checkDeadline(run.deadline);
    // A zero time-out would ask for the server's default wait, which may run
    // past the deadline; the slice is at least 1 ms.
    WaitNamedPipeW(path.c_str(), std::max<DWORD>(waitSlice(run.deadline), 1));
  }
}

// Moves exactly `length` bytes, in as many transfers as the pipe needs.
void transferAll(PipeIo& io, Work& work, void* buffer, std::size_t length, bool write) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const auto chunk =
        static_cast<std::uint32_t>(std::min<std::size_t>(length - done, kFrameMaximum));
    done += pipeTransfer(io, work, bytes + done, chunk, write);
  }
}

// 16. The acknowledgement, read one byte at a time.
std::string readAcknowledgement(PipeIo& io, Work& work) {
  AcknowledgementCollector collector;
  std::uint8_t byte = 0;
  do {
    pipeTransfer(io, work, &byte, 1, false);
  } while (!collector.take(byte));
  return std::string(collector.line());
}

std::uint32_t readFrameLength(PipeIo& io, Work& work) {
  std::array<std::uint8_t, 4> length{};
  transferAll(io, work, length.data(), length.size(), false);
  return decodeFrameLength(length);
}

// 18. Version 2 request binding.
void bindVersion2Request(ExchangeRun& run, const NativeEndpointDescriptor& descriptor,
                         const ProfileFacts& facts) {
  Work& work = *run.work;
  // 1. The correlation token a work without an event falls back to.
  std::array<std::uint8_t, 32> random{};
  randomBytes(random.data(), random.size(), "broker_native_transport_failed");
  const std::string randomHex =
      hexLower(std::string_view(reinterpret_cast<const char*>(random.data()), random.size()));
  wipeBytes(random.data(), random.size());
  // 2. The request line.
  std::string eventToken;
  {
    std::lock_guard<std::mutex> lock(work.lock);
    if (work.diagnosticEvent) eventToken = work.diagnosticEvent->token;
  }
  const std::string requestLine = buildRequestLine(
      {eventToken.empty() ? std::string_view(randomHex) : std::string_view(eventToken),
       run.requestId, work.id, facts.generation, run.operation, descriptor.broker_instance,
       work.timing.deadline});
  // 3. Header in front of the request.
  prependRequestHeader(run.requestBytes, requestLine);
  // 4. One version 2 request per work.
  std::lock_guard<std::mutex> state(work.stateMutex);
  bindRequestLine(work.exchange, requestLine, run.operation);
}

void readVersion1Response(PipeIo& io, ExchangeRun& run, const StageWriter& stage) {
  Work& work = *run.work;
  std::array<std::uint8_t, 4> length{};
  pipeTransfer(io, work, length.data(), 1, false);
  stage(kStageResponseFirstByte, false);
  transferAll(io, work, length.data() + 1, 3, false);
  const std::uint32_t size = decodeFrameLength(length);
  run.responseBytes.resize(size);
  transferAll(io, work, run.responseBytes.data(), size, false);
  stage(kStageResponseComplete, false);
  checkDeadline(run.deadline);
}

void readPhaseFrames(PipeIo& io, ExchangeRun& run) {
  Work& work = *run.work;
  const PhaseFrameChecks checks{[&run] {
                                  checkWorkValidity(*run.work);
                                  checkDeadline(run.deadline);
                                },
                                [&run] { checkDeadline(run.deadline); }};
  for (std::size_t framesRead = 0;; ++framesRead) {
    checkPhaseFrameCount(framesRead);
    const std::uint32_t size = readFrameLength(io, work);
    WipedBytes frame;  // zero-filled, wiped when it goes, also on a throw
    frame.resize(size);
    transferAll(io, work, frame.data(), size, false);
    bool final = false;
    {
      std::lock_guard<std::mutex> state(work.stateMutex);
      final = acceptPhaseFrame(work.exchange, frame.view(), checks, run.responseBytes);
    }
    if (final) return;
  }
}

}  // namespace

std::uint32_t pipeTransfer(PipeIo& io, Work& work, void* buffer, std::uint32_t length, bool write) {
  ExchangeRun& run = *io.run;
  // 1.
  checkWorkValidity(work);
  checkDeadline(io.deadline);
  // 2.
  if (!ResetEvent(io.event)) fail("broker_native_transport_failed");
  io.overlapped = OVERLAPPED{};
  io.overlapped.hEvent = io.event;
  // 3. A version 2 request counts as dispatched from its first byte on.
  if (write && run.markDispatch) {
    std::lock_guard<std::mutex> state(work.stateMutex);
    checkWorkValidity(work);
    checkDeadline(io.deadline);
    run.version2 ? markDispatched(work.exchange) : markVersion1Dispatched(work.exchange);
  }
  // 4.
  DWORD moved = 0;
  const BOOL started = write ? WriteFile(io.pipe, buffer, length, &moved, &io.overlapped)
                             : ReadFile(io.pipe, buffer, length, &moved, &io.overlapped);
  if (!started) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      run.native_win32_error = static_cast<std::int32_t>(error);
      fail("broker_native_transport_failed");
    }
    // 5. Pending: waited for in slices, cancelled if anything throws.
    io.io_pending = true;
    try {
      for (;;) {
        checkWorkValidity(work);
        checkDeadline(io.deadline);
        const DWORD waited = WaitForSingleObject(io.event, waitSlice(io.deadline));
        if (waited == WAIT_TIMEOUT) continue;
        if (waited != WAIT_OBJECT_0) fail("broker_native_transport_failed");
        if (!GetOverlappedResult(io.pipe, &io.overlapped, &moved, FALSE)) {
          run.native_win32_error = lastError();
          fail("broker_native_transport_failed");
        }
        break;
      }
    } catch (...) {
      CancelIoEx(io.pipe, &io.overlapped);
      DWORD ignored = 0;
      GetOverlappedResult(io.pipe, &io.overlapped, &ignored, TRUE);
      io.io_pending = false;
      throw;
    }
    io.io_pending = false;
  } else if (!GetOverlappedResult(io.pipe, &io.overlapped, &moved, FALSE)) {
    run.native_win32_error = lastError();
    fail("broker_native_transport_failed");
  }
  // 6.
  (write ? run.pipe_bytes_written : run.pipe_bytes_read) += moved;
  // 7.
  checkWorkValidity(work);
  checkDeadline(io.deadline);
  if (moved == 0 || moved > length) fail("broker_native_transport_failed");
  return moved;
}

void verifyPipePeer(PipeIo& io, Work& work, const NativeEndpointDescriptor& descriptor,
                    const ProcessIdentity& ownIdentity) {
  // 1.
  checkWorkValidity(work);
  // 2.
  ULONG serverPid = 0;
  ULONG serverSession = 0;
  if (!GetNamedPipeServerProcessId(io.pipe, &serverPid) || serverPid != descriptor.server_pid ||
      !GetNamedPipeServerSessionId(io.pipe, &serverSession) ||
      serverSession != descriptor.windows_session_id) {
    fail("broker_native_peer_refused");
  }
  UniqueHandle process;
  try {
    // 3.
    process = UniqueHandle(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, descriptor.server_pid));
    if (!process) fail("broker_native_peer_refused");
    requireNonInheritable(process.get());
    // 4. Alive.
    if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) fail("broker_native_peer_refused");
    // 5. The very process the descriptor names, not a reuse of its id.
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
      fail("broker_native_peer_refused");
    }
    const std::uint64_t creation =
        static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
    if (creation != descriptor.process_creation_filetime) fail("broker_native_peer_refused");
    // 6.
    const ProcessIdentity broker = readProcessIdentity(process.get());
    requireInteractive(broker);
    // 7.
    sameIdentity(broker, ownIdentity);
    // 8.
    if (imagePathHash(process.get()) != descriptor.image_path_sha256) {
      fail("broker_native_peer_refused");
    }
    // 9.
    if (sha256Hex(utf16ToUtf8(broker.user_sid)) != descriptor.owner_sid_hash) {
      fail("broker_native_peer_refused");
    }
    // 10.
    if (authenticationIdHash(broker.authentication_id) != descriptor.authentication_id_hash ||
        broker.session_id != descriptor.windows_session_id) {
      fail("broker_native_peer_refused");
    }
    // 11. Still alive after the checks.
    if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) fail("broker_native_peer_refused");
    // 12.
    process.closeOrFail();
  } catch (const ProfileError& error) {
    process.closeQuietly();
    if (std::string_view(error.what()) == "profile_startup_timeout") throw;
    fail("broker_native_peer_refused");
  }
}

void runNativeExchange(ExchangeRun& run, const StageWriter& stage) {
  Work& work = *run.work;
  PipeIo io;
  io.deadline = run.deadline;
  io.run = &run;
  ExchangeResources resources(io);
  // 1. Native target check.
  {
    const NativeTargetSnapshot snapshot = nativeTargetSnapshot();
    std::lock_guard<std::mutex> lock(work.lock);
    checkNativeTarget(snapshot, run.nativeTarget, [&work] { checkWorkValidity(work); });
  }
  // 2. Work hold.
  resources.workRecord = holdWork(work);
  // 3. Serialisation pass.
  {
    SerializationHold hold;
    acquireSerialization(hold, work.timing.deadline, SerializationClock::ordinary);
    releaseSerialization(hold);
  }
  // 4. The descriptor again, on this thread.
  const NativeEndpointDescriptor descriptor = parseEndpointDescriptor(run.endpointLine);
  // 5. to 8. Own identity, owner, logon and image.
  const ProfileFacts facts = profileFacts();
  const ProcessIdentity own = checkOwnIdentity(descriptor, facts);
  // 9.
  stage(kStageExchangeBegin, false);
  // 10. Connect.
  io.pipe = connectPipe(run, descriptor);
  // 11.
  requireNonInheritable(io.pipe);
  io.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (io.event == nullptr) fail("broker_native_transport_failed");
  requireNonInheritable(io.event);
  // 12.
  stage(kStagePipeConnected, false);
  // 13.
  verifyPipePeer(io, work, descriptor, own);
  // 14.
  stage(kStagePeerVerified, false);
  // 15. Preamble.
  std::string preamble = preambleLine(run.version2, descriptor);
  transferAll(io, work, preamble.data(), preamble.size(), true);
  // 16. Acknowledgement.
  checkAcknowledgement(readAcknowledgement(io, work), run.version2, descriptor);
  // 17.
  stage(kStagePreambleDone, false);
  // 18. Version 2 request binding.
  if (run.version2) bindVersion2Request(run, descriptor, facts);
  // 19. Request frame.
  checkRequestSize(run.requestBytes.size());
  auto length = encodeFrameLength(static_cast<std::uint32_t>(run.requestBytes.size()));
  run.markDispatch = run.version2 || work.role == "client";
  try {
    transferAll(io, work, length.data(), length.size(), true);
    transferAll(io, work, run.requestBytes.data(), run.requestBytes.size(), true);
  } catch (...) {
    run.markDispatch = false;
    throw;
  }
  run.markDispatch = false;
  // 20.
  stage(kStageRequestWritten, false);
  // 21. / 22. The answer.
  if (run.version2) {
    readPhaseFrames(io, run);
  } else {
    readVersion1Response(io, run, stage);
  }
  // 23. Release.
  resources.release();
}

void writeExchangeStage(ExchangeRun& run, std::string_view stageName, bool failed) {
  Work& work = *run.work;
  // 1.
  std::shared_ptr<DiagnosticEvent> event;
  {
    std::lock_guard<std::mutex> lock(work.lock);
    event = work.diagnosticEvent;
  }
  if (!event) return;
  // 2. and 3.
  const LogLevel level = currentLogLevel();
  if (level == LogLevel::off || (!failed && level == LogLevel::failuresOnly)) return;
  // 4.
  if (event->closed.load() || work.diagnosticUnbound.load()) return;
  std::unique_ptr<DiagnosticWrite> write;
  try {
    // 5. The record is the write's text, so it is built first; nothing is
    //    written before the write runs.
    checkWorkValidity(work);
    const std::uint64_t now = GetTickCount64();
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    // 6.
    const std::string utcText = utcStampText(
        {utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds});
    const std::string memoryEventId = sha256Hex(memoryEventIdInput(run.requestId));
    std::string record = exchangeStageRecord(
        {event->token, event->diagnosticId, event->scope, utcText, GetCurrentProcessId(), stageName,
         failed, run.pipe_bytes_written, run.pipe_bytes_read, run.native_win32_error,
         event->created, work.timing.deadline, now, run.operation, run.requestId, memoryEventId});
    write = std::make_unique<DiagnosticWrite>(workLogOwner(run.work), profileLogHome(),
                                              std::move(record));
    // 7.
    write->run();
  } catch (const ProfileError&) {
    // 8. A missing stage record is never an error.
  } catch (const std::exception&) {
  }
  // 9.
  if (write && !write->cleanup()) {
    setPoisoned();
    fail("profile_diagnostic_cleanup_uncertain");
  }
}

}  // namespace nuvra
