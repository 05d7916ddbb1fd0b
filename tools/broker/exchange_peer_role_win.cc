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
#include "common/identity_win.h"
#include "common/text.h"
#include "common/text_win.h"

namespace nuvra::broker {
namespace {

constexpr std::uint32_t kFrameMaximum = 1048576;

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

bool writeAll(HANDLE pipe, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD moved = 0;
    if (!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &moved, nullptr) ||
        moved == 0) {
      return false;
    }
    bytes.remove_prefix(moved);
  }
  return true;
}

std::string lengthBytes(std::uint32_t length) {
  return {static_cast<char>(length & 0xff), static_cast<char>((length >> 8) & 0xff),
          static_cast<char>((length >> 16) & 0xff), static_cast<char>((length >> 24) & 0xff)};
}

bool writeFrame(HANDLE pipe, std::string_view body) {
  return writeAll(pipe, lengthBytes(static_cast<std::uint32_t>(body.size())) + std::string(body));
}

std::vector<std::string> splitTabs(std::string_view line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '\t') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

struct PeerFacts {
  std::string pipeName;
  std::string digest;
  std::string instance;
};

struct PhaseText {
  std::string serverWork;
  int sequence;
  std::string phase;
  std::string reason;
  int account;
  int memory;
  std::string effect;
  bool final;
  std::string body;
};

std::string phaseFrame(std::string_view requestLine, const PhaseText& p) {
  std::string header = "NUVRA_PHASE_V2\t" + std::string(requestLine) + "\t" + p.serverWork + "\t" +
                       std::to_string(p.sequence) + "\t" + p.phase + "\t" + p.reason + "\t" +
                       std::to_string(p.account) + "\t" + std::to_string(p.memory) + "\t" +
                       p.effect + "\t" + (p.final ? "1" : "0");
  return header + "\n" + p.body;
}

// The failure object a final frame with a failure reason carries, built here
// by hand so the client's own builder is not what it is checked against.
std::string failureBody(const std::vector<std::string>& line, std::string_view reason) {
  return "{\"broker_instance\":\"" + line[5] + "\",\"error_code\":\"" + std::string(reason) +
         "\",\"failure_reason\":\"" + std::string(reason) + "\",\"ok\":false,\"operation\":\"" +
         line[4] + "\",\"request_id\":\"" + line[1] +
         "\",\"schema_version\":\"nuvra.windows-memory-broker.v1\"}";
}

void answerVersion1(HANDLE pipe, std::string_view fault, std::string_view request) {
  if (fault == "length-1") {
    writeAll(pipe, lengthBytes(1) + "x");
  } else if (fault == "length-2") {
    writeFrame(pipe, "ok");
  } else if (fault == "length-max") {
    writeFrame(pipe, std::string(kFrameMaximum, 'm'));
  } else if (fault == "length-over") {
    writeAll(pipe, lengthBytes(kFrameMaximum + 1));
  } else {
    writeFrame(pipe, "answer:" + std::string(request));
  }
}

void answerVersion2(HANDLE pipe, std::string_view fault, std::string_view requestLine) {
  const std::vector<std::string> line = splitTabs(requestLine);
  if (line.size() != 7) return;
  const auto send = [&](const PhaseText& p) {
    return writeFrame(pipe, phaseFrame(requestLine, p));
  };
  if (fault == "frame-length-1") {
    writeAll(pipe, lengthBytes(1) + "x");
    return;
  }
  if (fault == "refused-arrival" || fault == "refused-arrival-body") {
    const std::string body = fault == "refused-arrival"
                                 ? failureBody(line, "broker_deadline_refused")
                                 : std::string("{}");
    send({"-", 1, "refused_arrival", "broker_deadline_refused", 0, 0, "none", true, body});
    return;
  }
  if (fault == "wrong-echo") {
    std::string other(requestLine);
    other[other.find('\t') + 1] = other[other.find('\t') + 1] == '0' ? '1' : '0';
    writeFrame(pipe, phaseFrame(other, {"7", 1, "received", "none", 0, 0, "none", false, ""}));
    return;
  }
  send({"7", 1, "received", "none", 0, 0, "none", false, ""});
  send({"7", 2, "admitted", "none", 0, 0, "none", false, ""});
  if (fault == "frames-33") {
    int account = 0;
    int memory = 0;
    for (int sequence = 3; sequence <= 33; ++sequence) {
      if (account < 8) {
        ++account;
      } else if (memory < 8) {
        ++memory;
      }
      if (!send({"7", sequence, "started", "none", account, memory, "possible", false, ""})) return;
    }
    return;
  }
  send({"7", 3, "started", "none", 1, 0, "possible", false, ""});
  if (fault == "started-flat") {
    send({"7", 4, "started", "none", 1, 0, "possible", false, ""});
  } else if (fault == "admitted-late") {
    send({"7", 4, "admitted", "none", 0, 0, "none", false, ""});
  } else if (fault == "close-after-started") {
    return;
  } else if (fault == "terminal-memory") {
    send({"7", 4, "terminal", "none", 1, 1, "possible", true, "{\"ok\":true}"});
  } else if (fault == "terminal-unknown-reason") {
    send({"7", 4, "terminal", "credential_missing", 1, 0, "possible", true,
          failureBody(line, "credential_missing")});
  } else {
    send({"7", 4, "terminal", "none", 1, 0, "validated", true, "{\"ok\":true}"});
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
  const bool version2 = preamble.starts_with("NUVRA_NATIVE_PUBLIC_V2\t");
  // Acknowledgement: always with this peer's own digest and instance, as the
  // host does; a client that named another instance refuses it.
  std::string ack = std::string(version2 ? "NUVRA_NATIVE_ACK_V2\t" : "NUVRA_NATIVE_ACK_V1\t") +
                    facts.digest + "\t" + (fault == "wrong-ack" ? randomHex(16) : facts.instance);
  if (fault == "ack-2048") ack = std::string(2048, 'A');
  if (fault == "ack-2049") ack = std::string(2049, 'A');
  if (fault == "ack-control") ack = "NUVRA\x01";
  if (!writeAll(pipe, ack + "\n")) return;
  // Request frame.
  std::string length(4, '\0');
  if (!readExact(pipe, length.data(), 4)) return;
  const std::uint32_t size = static_cast<std::uint8_t>(length[0]) |
                             static_cast<std::uint32_t>(static_cast<std::uint8_t>(length[1])) << 8 |
                             static_cast<std::uint32_t>(static_cast<std::uint8_t>(length[2]))
                                 << 16 |
                             static_cast<std::uint32_t>(static_cast<std::uint8_t>(length[3])) << 24;
  if (size > kFrameMaximum) return;
  std::string request(size, '\0');
  if (!readExact(pipe, request.data(), size)) return;
  if (fault == "stall") {
    // Until the client gives up and closes its end.
    readExact(pipe, &byte, 1);
    return;
  }
  if (fault == "close-mid-frame") {
    writeAll(pipe, lengthBytes(100) + std::string(10, 'c'));
    return;
  }
  if (!version2) {
    answerVersion1(pipe, fault, request);
    return;
  }
  constexpr std::string_view kHeader = "NUVRA_REQUEST_V2\t";
  const std::size_t end = request.find('\n');
  if (!request.starts_with(kHeader) || end == std::string::npos) return;
  answerVersion2(pipe, fault,
                 std::string_view(request).substr(kHeader.size(), end - kHeader.size()));
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
