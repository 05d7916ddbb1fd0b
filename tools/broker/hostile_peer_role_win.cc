// "hostile-peer PATTERN PIPE COUNT": a process of the same user misbehaving
// against a serving resident host, in the testbed flavour's broker only (the
// release build has no such role). PIPE is the endpoint record's
// "pipe_name"; COUNT how many instances, threads or sessions the pattern
// uses:
//
//   squat   creates COUNT more instances of the pipe, then connects to its
//           own instances until one connection lands on the host's
//           listening instance, and holds all of it
//   storm   COUNT threads connect and close at once, again and again
//   flood   COUNT sessions send a 1 MiB version 2 request whose request line
//           is NUL bytes
//   stall   COUNT sessions send a preamble and a length word, then nothing
//   heavy   COUNT sessions send a version 2 request of 1 MiB with a request
//           line a client builds, whose deadline is 3 s ahead
//
// It prints two JSON lines: the first once the pattern stands, the second
// once its sessions have all been answered or closed, or once its standard
// input closes (stop), or after 30 s; then it ends, giving up what it holds.
// A session counts as "answered" when the host wrote anything after the
// acknowledgement, "closed" when the host closed without that, "open" when
// neither happened before the line.
#include "roles.h"

#ifdef NUVRA_TESTBED_FAULTS

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/text.h"
#include "server/broker_wire.h"

namespace nuvra::broker {
namespace {

constexpr DWORD kResultCapMs = 30000;
constexpr std::uint64_t kHeavyDeadlineMs = 3000;

struct Pattern {
  std::wstring pipe;
  std::string name;
  int count = 0;
  std::atomic<long> answered{0};
  std::atomic<long> closed{0};
  std::atomic<long> connects{0};
  std::atomic<long> missing{0};  // connection attempts that found no instance at all
  std::atomic<std::uint64_t> longestMs{0};
  std::atomic<bool> stopping{false};
};

std::string randomHex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  randomBytes(raw.data(), raw.size(), "peer_random");
  return hexLower(raw);
}

// A client connection, waiting for a busy pipe; nothing when there is no
// pipe at all or the pattern stops.
HANDLE connect(Pattern& pattern) {
  while (!pattern.stopping) {
    const HANDLE pipe = CreateFileW(pattern.pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      ++pattern.connects;
      return pipe;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) ++pattern.missing;
    if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) return nullptr;
    WaitNamedPipeW(pattern.pipe.c_str(), 20);
  }
  return nullptr;
}

// The acknowledgement line, byte by byte.
bool readLine(HANDLE pipe) {
  char byte = 0;
  DWORD moved = 0;
  for (int i = 0; i < 4096; ++i) {
    if (!ReadFile(pipe, &byte, 1, &moved, nullptr) || moved == 0) return false;
    if (byte == '\n') return true;
  }
  return false;
}

std::string requestFrame(std::string_view pattern) {
  const std::string header = "NUVRA_REQUEST_V2\t";
  if (pattern == "flood") {
    const std::size_t line = kBrokerFrameLimit - header.size() - 1 - 2;
    return header + std::string(line, '\0') + "\n{}";
  }
  const std::string requestLine = randomHex(32) + "\t" + randomHex(4) + "-" + randomHex(2) + "-" +
                                  randomHex(2) + "-" + randomHex(2) + "-" + randomHex(6) +
                                  "\t1\t1\tcapture\t" + randomHex(16) + "\t" +
                                  std::to_string(GetTickCount64() + kHeavyDeadlineMs);
  std::string frame = header + requestLine + "\n{\"text\":\"";
  frame.append(kBrokerFrameLimit - frame.size() - 2, 'h');
  return frame + "\"}";
}

// One session of flood, stall or heavy, from the connection to the host's
// answer or close.
void session(Pattern& pattern) {
  const HANDLE pipe = connect(pattern);
  if (pipe == nullptr) return;
  const std::uint64_t started = GetTickCount64();
  bool answered = false;
  if (writeAll(pipe, "NUVRA_NATIVE_PUBLIC_V2\thostile\tpeer\n") && readLine(pipe)) {
    const std::string frame = pattern.name == "stall" ? std::string() : requestFrame(pattern.name);
    const std::string length =
        frameLength(pattern.name == "stall" ? 1000u : static_cast<std::uint32_t>(frame.size()));
    if (writeAll(pipe, length) && writeAll(pipe, frame)) {
      char byte = 0;
      DWORD moved = 0;
      answered = ReadFile(pipe, &byte, 1, &moved, nullptr) && moved == 1;
    }
  }
  const std::uint64_t took = GetTickCount64() - started;
  std::uint64_t longest = pattern.longestMs;
  while (took > longest && !pattern.longestMs.compare_exchange_weak(longest, took)) {
  }
  ++(answered ? pattern.answered : pattern.closed);
  CloseHandle(pipe);
}

DWORD WINAPI sessionThread(void* parameter) {
  session(*static_cast<Pattern*>(parameter));
  return 0;
}

DWORD WINAPI stormThread(void* parameter) {
  Pattern& pattern = *static_cast<Pattern*>(parameter);
  while (!pattern.stopping) {
    const HANDLE pipe = connect(pattern);
    if (pipe != nullptr) CloseHandle(pipe);
  }
  return 0;
}

DWORD WINAPI readInput(void*) {
  char buffer[256];
  DWORD moved = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &moved, nullptr) &&
         moved > 0) {
  }
  return 0;
}

void print(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string number(std::string_view key, std::uint64_t value) {
  return "\"" + std::string(key) + "\":" + std::to_string(value);
}

// squat: its own instances, and a connection that holds the host's listening
// one, so the host has to make its next instance while none is left.
std::string squat(Pattern& pattern, std::vector<HANDLE>& held) {
  int squatted = 0;
  bool full = false;
  for (; squatted < pattern.count; ++squatted) {
    const HANDLE instance = CreateNamedPipeW(pattern.pipe.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (instance == INVALID_HANDLE_VALUE) {
      full = true;
      break;
    }
    held.push_back(instance);
  }
  bool landed = false;
  for (int i = 0; i <= squatted + 1 && !landed; ++i) {
    const HANDLE client = CreateFileW(pattern.pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (client == INVALID_HANDLE_VALUE) break;
    held.push_back(client);
    ULONG server = 0;
    landed = GetNamedPipeServerProcessId(client, &server) && server != GetCurrentProcessId();
  }
  return "{" + number("squatted", static_cast<std::uint64_t>(squatted)) +
         ",\"full\":" + (full ? "true" : "false") + ",\"landed\":" + (landed ? "true" : "false") +
         "}";
}

}  // namespace

int runHostilePeer(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: hostile-peer PATTERN PIPE COUNT\n", stderr);
    return 2;
  }
  Pattern pattern;
  for (const wchar_t* c = argv[0]; *c != L'\0'; ++c) pattern.name.push_back(static_cast<char>(*c));
  pattern.pipe = argv[1];
  pattern.count = _wtoi(argv[2]);
  const std::string_view name = pattern.name;
  if (pattern.count <= 0 || (name != "squat" && name != "storm" && name != "flood" &&
                             name != "stall" && name != "heavy")) {
    std::fputs("unknown pattern\n", stderr);
    return 2;
  }
  const HANDLE input = CreateThread(nullptr, 0, readInput, nullptr, 0, nullptr);
  std::vector<HANDLE> threads;
  std::vector<HANDLE> held;
  if (name == "squat") {
    print(squat(pattern, held));
  } else {
    const auto thread = name == "storm" ? stormThread : sessionThread;
    for (int i = 0; i < pattern.count; ++i) {
      threads.push_back(CreateThread(nullptr, 0, thread, &pattern, 0, nullptr));
    }
    // The pattern stands once its first connection did.
    while (pattern.connects == 0 && WaitForSingleObject(input, 10) == WAIT_TIMEOUT) {
    }
    print("{" + number("threads", threads.size()) + "}");
  }
  if (name == "squat" || name == "storm") {
    WaitForSingleObject(input, kResultCapMs);
  } else {
    // Sessions end by themselves; a stop or the cap ends the wait for them.
    const std::uint64_t cap = GetTickCount64() + kResultCapMs;
    while (pattern.answered + pattern.closed < pattern.count && GetTickCount64() < cap &&
           WaitForSingleObject(input, 10) == WAIT_TIMEOUT) {
    }
  }
  pattern.stopping = true;
  const long answered = pattern.answered;
  const long closed = pattern.closed;
  const long open = name == "squat" || name == "storm" ? 0 : pattern.count - answered - closed;
  print("{" + number("connects", static_cast<std::uint64_t>(pattern.connects)) + "," +
        number("missing", static_cast<std::uint64_t>(pattern.missing)) + "," +
        number("answered", static_cast<std::uint64_t>(answered)) + "," +
        number("closed", static_cast<std::uint64_t>(closed)) + "," +
        number("open", static_cast<std::uint64_t>(open)) + "," +
        number("longest_ms", pattern.longestMs) + "}");
  // Whatever is still held or blocked goes with the process.
  ExitProcess(0);
}

}  // namespace nuvra::broker

#endif  // NUVRA_TESTBED_FAULTS
