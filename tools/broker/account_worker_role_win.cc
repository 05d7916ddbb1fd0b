// Account-worker role: "account-worker <parent pid>", started suspended by a
// runtime, which puts its control pipe ends and the final idle-account record
// in place before the first instruction runs. Before anything else the worker
// reads that record from its work handoff and checks every handle it names
// against what the record says they are; a worker that cannot vouch for its
// handoff says so on standard error and exits. Then it speaks the control
// protocol: one ready frame, one adopted frame per adopt, one revoked frame
// per revoke, each echoing its instance nonce. The adopted work's signal
// event is the runtime's second channel: it is set before every revoke, and
// the worker waits on it before it answers one. The worker exits when its
// request pipe closes.
//
// Exit codes: 0 request pipe closed, 2 usage, 3 handoff refused, 4 a handle
// of the handoff is not what the record says, 5 a request the protocol does
// not allow, 6 a reply could not be written, 7 the exit-on-adopt fault.
//
// Test faults (testbed flavour only; a release build has none, so no start
// of the product can select one): the word in the file "account-worker-fault"
// at the top of the worker's product home picks one.
//   never-ready      sends nothing and waits for the request pipe to close
//   wrong-nonce      a ready frame carrying another nonce
//   wrong-sequence   a ready frame with sequence 1
//   split-frame      the first 40 bytes of the ready frame, then nothing
//   two-frames       two ready frames in one write
//   exit-on-adopt    exits (code 7) when an adopt arrives
//   silent-revoke    answers adopts but never a revoke
//   report           behaves, after printing its handoff text on standard
//                    output as one line
// The file lives in the home because nothing else reaches the worker: its
// command line and environment are fixed by the runtime's launch.
#include "roles.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "account/control_frame.h"
#include "account/idle_account_record.h"
#include "common/file_win.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "launch/launch_text.h"

namespace nuvra::broker {
namespace {

enum class Fault {
  none,
  neverReady,
  wrongNonce,
  wrongSequence,
  splitFrame,
  twoFrames,
  exitOnAdopt,
  silentRevoke,
  report,
};

HANDLE asHandle(std::uint64_t value) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// The control frames are bytes; the writes are the common blocking ones.
bool writeBytes(HANDLE handle, std::span<const unsigned char> bytes) {
  return writeAll(handle,
                  std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void complain(const char* message) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(std::strlen(message)),
            &written, nullptr);
}

#if defined(NUVRA_TESTBED_FAULTS)
Fault selectedFault(const std::string& homeUtf8) {
  const std::wstring path = utf8ToUtf16(homeUtf8) + L"\\account-worker-fault";
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fault::none;
  char buffer[64] = {};
  DWORD read = 0;
  ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
  CloseHandle(file);
  std::string_view word(buffer, read);
  while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) {
    word.remove_suffix(1);
  }
  if (word == "never-ready") return Fault::neverReady;
  if (word == "wrong-nonce") return Fault::wrongNonce;
  if (word == "wrong-sequence") return Fault::wrongSequence;
  if (word == "split-frame") return Fault::splitFrame;
  if (word == "two-frames") return Fault::twoFrames;
  if (word == "exit-on-adopt") return Fault::exitOnAdopt;
  if (word == "silent-revoke") return Fault::silentRevoke;
  if (word == "report") return Fault::report;
  return Fault::none;
}
#else
Fault selectedFault(const std::string&) {
  return Fault::none;
}
#endif

// The handoff text the mapping named by NUVRA_PROFILE_WORK_HANDOFF holds.
bool readHandoffText(std::string& text) {
  wchar_t value[32] = {};
  const DWORD length = GetEnvironmentVariableW(L"NUVRA_PROFILE_WORK_HANDOFF", value, 32);
  if (length == 0 || length >= 32) return false;
  std::uint64_t handle = 0;
  try {
    handle = parseDecimal64(utf16ToUtf8(std::wstring_view(value, length)));
  } catch (const std::exception&) {
    return false;
  }
  const void* view = MapViewOfFile(asHandle(handle), FILE_MAP_READ, 0, 0, kHandoffMappingSize);
  if (view == nullptr) return false;
  bool read = true;
  try {
    text = std::string(
        readHandoff(std::span(static_cast<const unsigned char*>(view), kHandoffMappingSize)));
  } catch (const std::exception&) {
    read = false;
  }
  UnmapViewOfFile(view);
  return read;
}

bool isOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

bool isPipe(HANDLE handle) {
  return isOpen(handle) && GetFileType(handle) == FILE_TYPE_PIPE;
}

// Every handle the record names is what the record says it is: the parent
// is the process of "parent_pid" (and of the command line), the control ends
// are pipes, the guards are the files of their volume and index, and the
// serialisation mutex is open.
bool handlesHold(const IdleAccountHandoff& handoff, std::uint32_t commandLinePid) {
  const IdleAccountFields& fields = handoff.fields;
  if (fields.parentPid != commandLinePid) return false;
  if (!isOpen(asHandle(fields.parent)) ||
      GetProcessId(asHandle(fields.parent)) != fields.parentPid) {
    return false;
  }
  if (!isPipe(asHandle(handoff.controlRead)) || !isPipe(asHandle(handoff.controlWrite))) {
    return false;
  }
  if (!isOpen(asHandle(fields.serialization))) return false;
  for (const HandoffGuard& guard : handoff.guards) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(asHandle(guard.handle), &information)) return false;
    const std::uint64_t index =
        (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    if (information.dwVolumeSerialNumber != guard.volume || index != guard.fileId) return false;
  }
  return true;
}

// Blocks until the request pipe closes; the runtime's teardown ends the
// worker before that in the faults that use it.
int waitForClose(HANDLE requests) {
  unsigned char byte = 0;
  DWORD read = 0;
  while (ReadFile(requests, &byte, 1, &read, nullptr) && read > 0) {
  }
  return 0;
}

int sendReady(HANDLE replies, const WorkerControl& control, std::uint64_t nonce, Fault fault) {
  ControlFrame ready = control.ready();
  if (fault == Fault::wrongNonce) ready.nonce = nonce ^ 1;
  if (fault == Fault::wrongSequence) ready.sequence = 1;
  const ControlBytes bytes = encodeControlFrame(ready);
  if (fault == Fault::splitFrame) return writeBytes(replies, std::span(bytes).first(40)) ? 0 : 6;
  if (fault == Fault::twoFrames) {
    std::vector<unsigned char> twice(bytes.begin(), bytes.end());
    twice.insert(twice.end(), bytes.begin(), bytes.end());
    return writeBytes(replies, twice) ? 0 : 6;
  }
  return writeBytes(replies, bytes) ? 0 : 6;
}

int serve(const IdleAccountHandoff& handoff, Fault fault) {
  const HANDLE requests = asHandle(handoff.controlRead);
  const HANDLE replies = asHandle(handoff.controlWrite);
  WorkerControl control(handoff.fields.instanceNonce, handoff.fields.workVolume,
                        handoff.fields.workId);
  if (fault == Fault::neverReady) return waitForClose(requests);
  if (const int failed = sendReady(replies, control, handoff.fields.instanceNonce, fault)) {
    return failed;
  }
  if (fault == Fault::splitFrame) return waitForClose(requests);
  ControlFrameReader reader;
  HANDLE signal = nullptr;
  std::vector<std::uint8_t> buffer(kControlFrameSize * 4);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(requests, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) ||
        read == 0) {
      return 0;
    }
    try {
      reader.feed(std::span<const std::uint8_t>(buffer.data(), read));
      while (const std::optional<ControlFrame> request = reader.next()) {
        const bool adopt = request->kind == static_cast<std::uint64_t>(ControlKind::adopt);
        if (adopt && fault == Fault::exitOnAdopt) ExitProcess(7);
        if (adopt) {
          // The event must be one this process can wait on.
          const HANDLE event = asHandle(request->signalHandle);
          const DWORD state = WaitForSingleObject(event, 0);
          if (state != WAIT_TIMEOUT && state != WAIT_OBJECT_0) return 5;
          const ControlFrame reply = control.answer(*request);
          signal = event;
          const ControlBytes bytes = encodeControlFrame(reply);
          if (!writeBytes(replies, bytes)) return 6;
          continue;
        }
        const ControlFrame reply = control.answer(*request);
        // A revoke: the runtime set the work's event before it sent one.
        if (signal == nullptr || WaitForSingleObject(signal, INFINITE) != WAIT_OBJECT_0) return 5;
        CloseHandle(signal);
        signal = nullptr;
        if (fault == Fault::silentRevoke) continue;
        const ControlBytes bytes = encodeControlFrame(reply);
        if (!writeBytes(replies, bytes)) return 6;
      }
    } catch (const ProfileError&) {
      complain("account-worker: request refused\n");
      return 5;
    }
  }
}

}  // namespace

int runAccountWorker(int argc, wchar_t** argv) {
  if (argc != 1) {
    complain("usage: nuvra_windows_broker_native account-worker <parent pid>\n");
    return 2;
  }
  std::uint32_t commandLinePid = 0;
  try {
    const std::uint64_t pid = parseDecimal64(utf16ToUtf8(argv[0]));
    if (pid == 0 || pid > 0xFFFFFFFFu) throw ProfileError("pid");
    commandLinePid = static_cast<std::uint32_t>(pid);
  } catch (const std::exception&) {
    complain("usage: nuvra_windows_broker_native account-worker <parent pid>\n");
    return 2;
  }
  // 1. The record, before any handle value in it is trusted.
  std::string text;
  IdleAccountHandoff handoff;
  try {
    if (!readHandoffText(text)) throw ProfileError("profile_account_handoff");
    handoff = readIdleAccountRecord(text);
  } catch (const std::exception&) {
    complain("account-worker: handoff refused\n");
    return 3;
  }
  // 2. The handles it names.
  if (!handlesHold(handoff, commandLinePid)) {
    complain("account-worker: handoff handles do not hold\n");
    return 4;
  }
  const Fault fault = selectedFault(handoff.fields.home);
  if (fault == Fault::report) {
    text += "\n";
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), text);
  }
  // 3. The control protocol.
  return serve(handoff, fault);
}

}  // namespace nuvra::broker
