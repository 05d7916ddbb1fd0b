// "exchange-peer FAULT": a test peer of the broker pipe protocol, in the
// testbed flavour's broker only (the release build has no such role, so no
// start of the product can select it). It creates a fresh pipe name, digest
// and instance, prints what a descriptor needs as one JSON line, and then
// serves one client after another on that pipe, honestly ("honest") or with
// the chosen fault:
//
//   wrong-ack            acknowledges with another broker instance
//   ack-2048, ack-2049   an acknowledgement line of 2048 / 2049 bytes
//   ack-control          an acknowledgement holding the byte 0x01
//   length-1             version 1: a response length of 1
//   length-2             version 1: a 2-byte response
//   length-max           version 1: a response of 1,048,576 bytes
//   length-over          version 1: a response length of 1,048,577
//   frame-length-1       version 2: a phase frame length of 1
//   started-flat         version 2: a second "started" whose counts do not grow
//   admitted-late        version 2: "admitted" after "started"
//   wrong-echo           version 2: a frame echoing another request id
//   frames-33            version 2: 33 frames, the send counts growing by one
//                        until they cannot grow any more
//   refused-arrival      version 2: one final "refused_arrival" frame
//   refused-arrival-body the same with a body other than the failure object
//   close-after-started  version 2: closes after "started"
//   terminal-memory      version 2: a terminal frame that counts a memory send
//   terminal-unknown-reason  version 2: a terminal frame whose failure reason
//                        "credential_missing" is well formed but no terminal
//                        reason
//   stall                reads the request and never answers
//   close-mid-frame      announces 100 bytes, sends 10 and closes
//   busy                 its one instance is taken by itself, so every client
//                        finds the pipe busy
//
// The peer ends when its standard input closes.
#include "roles.h"

#ifdef NUVRA_TESTBED_FAULTS

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/identity_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "server/broker_wire.h"

namespace nuvra::broker {
namespace {

std::string randomHex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  randomBytes(raw.data(), raw.size(), "peer_random");
  return hexLower(raw);
}

bool readExact(HANDLE pipe, void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    DWORD moved = 0;
    if (!ReadFile(pipe, bytes, static_cast<DWORD>(size), &moved, nullptr) || moved == 0) {
      return false;
    }
    bytes += moved;
    size -= moved;
  }
  return true;
}

bool writeFrame(HANDLE pipe, std::string_view body) {
  return writeAll(pipe, frameLength(static_cast<std::uint32_t>(body.size())) + std::string(body));
}

struct PeerFacts {
  std::string pipeName;
  std::string digest;
  std::string instance;
};

void answerVersion1(HANDLE pipe, std::string_view fault, std::string_view request) {
  if (fault == "length-1") {
    writeAll(pipe, frameLength(1) + "x");
  } else if (fault == "length-2") {
    writeFrame(pipe, "ok");
  } else if (fault == "length-max") {
    writeFrame(pipe, std::string(kBrokerFrameLimit, 'm'));
  } else if (fault == "length-over") {
    writeAll(pipe, frameLength(kBrokerFrameLimit + 1));
  } else {
    writeFrame(pipe, "answer:" + std::string(request));
  }
}

void answerVersion2(HANDLE pipe, std::string_view fault, std::string_view requestLine) {
  const auto send = [&](const PhaseFrameFields& p, std::string_view body = {}) {
    return writeFrame(pipe, phaseFrame(requestLine, p, body));
  };
  if (fault == "frame-length-1") {
    writeAll(pipe, frameLength(1) + "x");
    return;
  }
  if (fault == "refused-arrival" || fault == "refused-arrival-body") {
    const std::string body = fault == "refused-arrival"
                                 ? brokerFailureBody(requestLine, "broker_deadline_refused")
                                 : std::string("{}");
    send({"-", 1, "refused_arrival", "broker_deadline_refused", 0, 0, "none", true}, body);
    return;
  }
  if (fault == "wrong-echo") {
    std::string other(requestLine);
    other[other.find('\t') + 1] = other[other.find('\t') + 1] == '0' ? '1' : '0';
    writeFrame(pipe, phaseFrame(other, {"7", 1, "received", "none", 0, 0, "none", false}, ""));
    return;
  }
  send({"7", 1, "received", "none", 0, 0, "none", false});
  send({"7", 2, "admitted", "none", 0, 0, "none", false});
  if (fault == "frames-33") {
    std::uint32_t account = 0;
    std::uint32_t memory = 0;
    for (std::uint32_t sequence = 3; sequence <= 33; ++sequence) {
      if (account < 8) {
        ++account;
      } else if (memory < 8) {
        ++memory;
      }
      if (!send({"7", sequence, "started", "none", account, memory, "possible", false})) return;
    }
    return;
  }
  send({"7", 3, "started", "none", 1, 0, "possible", false});
  if (fault == "started-flat") {
    send({"7", 4, "started", "none", 1, 0, "possible", false});
  } else if (fault == "admitted-late") {
    send({"7", 4, "admitted", "none", 0, 0, "none", false});
  } else if (fault == "close-after-started") {
    return;
  } else if (fault == "terminal-memory") {
    send({"7", 4, "terminal", "none", 1, 1, "possible", true}, "{\"ok\":true}");
  } else if (fault == "terminal-unknown-reason") {
    send({"7", 4, "terminal", "credential_missing", 1, 0, "possible", true},
         brokerFailureBody(requestLine, "credential_missing"));
  } else {
    send({"7", 4, "terminal", "none", 1, 0, "validated", true}, "{\"ok\":true}");
  }
}

// One client, start to end.
void serve(HANDLE pipe, const PeerFacts& facts, std::string_view fault) {
  // Preamble: one line.
  std::string preamble;
  char byte = 0;
  while (preamble.size() < 4096) {
    if (!readExact(pipe, &byte, 1)) return;
    if (byte == '\n') break;
    preamble.push_back(byte);
  }
  const bool version2 = preambleVersion(preamble) == 2;
  // Acknowledgement: always with this peer's own digest and instance, as the
  // host does; a client that named another instance refuses it.
  std::string ack = acknowledgementLine(version2 ? 2 : 1, facts.digest,
                                        fault == "wrong-ack" ? randomHex(16) : facts.instance);
  ack.pop_back();
  if (fault == "ack-2048") ack = std::string(2048, 'A');
  if (fault == "ack-2049") ack = std::string(2049, 'A');
  if (fault == "ack-control") ack = "NUVRA\x01";
  if (!writeAll(pipe, ack + "\n")) return;
  // Request frame.
  std::string length(4, '\0');
  if (!readExact(pipe, length.data(), 4)) return;
  const std::uint32_t size = frameLengthOf(length);
  if (size > kBrokerFrameLimit) return;
  std::string request(size, '\0');
  if (!readExact(pipe, request.data(), size)) return;
  if (fault == "stall") {
    // Until the client gives up and closes its end.
    readExact(pipe, &byte, 1);
    return;
  }
  if (fault == "close-mid-frame") {
    writeAll(pipe, frameLength(100) + std::string(10, 'c'));
    return;
  }
  if (!version2) {
    answerVersion1(pipe, fault, request);
    return;
  }
  const auto split = splitVersionTwoRequest(request);
  if (!split) return;
  answerVersion2(pipe, fault, split->requestLine);
}

DWORD WINAPI endWithInput(void*) {
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read) {
  }
  ExitProcess(0);
}

HANDLE createInstance(const std::wstring& path) {
  return CreateNamedPipeW(
      path.c_str(), PIPE_ACCESS_DUPLEX,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
}

}  // namespace

int runExchangePeer(int argc, wchar_t** argv) {
  if (argc != 1) {
    std::fputs("usage: exchange-peer FAULT\n", stderr);
    return 2;
  }
  try {
    const std::string fault = utf16ToUtf8(argv[0]);
    const PeerFacts facts{"nuvra-memory-v1-" + randomHex(24), randomHex(32), randomHex(16)};
    const std::wstring path = L"\\\\.\\pipe\\" + utf8ToUtf16(facts.pipeName);
    HANDLE pipe = createInstance(path);
    if (pipe == INVALID_HANDLE_VALUE) return 4;
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const ProcessIdentity identity = readProcessIdentity(GetCurrentProcess());
    const std::uint64_t creation =
        static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
    std::printf(
        "{\"pipe_name\":\"%s\",\"pid\":%lu,\"creation\":\"%s\",\"image\":\"%s\",\"owner\":\"%s\","
        "\"authentication\":\"%s\",\"session\":%lu,\"digest\":\"%s\",\"instance\":\"%s\"}\n",
        facts.pipeName.c_str(), GetCurrentProcessId(), formatDecimal64(creation).c_str(),
        imagePathHash(GetCurrentProcess()).c_str(), ownerSidHash().c_str(),
        authenticationIdHash(identity.authentication_id).c_str(),
        static_cast<unsigned long>(identity.session_id), facts.digest.c_str(),
        facts.instance.c_str());
    std::fflush(stdout);
    CloseHandle(CreateThread(nullptr, 0, endWithInput, nullptr, 0, nullptr));
    if (fault == "busy") {
      HANDLE self = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (self == INVALID_HANDLE_VALUE) return 4;
      Sleep(INFINITE);
    }
    for (;;) {
      if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        serve(pipe, facts, fault);
      }
      // The client reads what was sent before this end closes (a disconnect
      // would discard it); the next client gets a fresh instance.
      HANDLE next = createInstance(path);
      FlushFileBuffers(pipe);
      CloseHandle(pipe);
      if (next == INVALID_HANDLE_VALUE) return 4;
      pipe = next;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "exchange-peer: %s\n", error.what());
    return 3;
  }
}

}  // namespace nuvra::broker

#endif  // NUVRA_TESTBED_FAULTS
