// Host role: "host <parent pid>", the resident broker host a resident runtime
// starts (spawnResidentHost) in a kill-on-close job of its own.
//
// 1. Read the work handoff and check the resident-host record: every key in
//    its order and type (readResidentHostRecord), then every handle it names:
//    open, of the kind the key says (mutex, event, process, file), the parent
//    the process of "parent_pid" and of the pid on the command line, each
//    guard the file of its volume and file index, "l" one of them; and the
//    record's home and owner the ones the environment names. A refusal is one
//    line on standard error and exit code 3.
// 2. Make every named handle non-inheritable: nothing this host starts later
//    may receive the runtime's custody.
// 3. Print one ready line on standard output: the parent it serves, how
//    many guards it holds and whether its diagnostics are off.
// 4. Wait. The loop waits on a small table of handles, each with what to do
//    when it is signalled: the parent runtime (its end ends the host with
//    exit code 0), the activation event (set on publication: the host prints
//    one "activated" line and stops waiting on it) and the link to the
//    runtime (its lines on standard input, read by a thread of their own).
//    The host's job needs no entry: when the runtime ends or kills the job,
//    the host dies with it.
// 5. The link: one JSON object per line with a "type", dispatched by type.
//    {"type":"residency","observation":{...}} (what observeResident told the
//    runtime) makes the host compose its endpoint record from what it
//    observes of itself, its record and the home's device binding file, and
//    answer {"type":"endpoint","record":"..."}, once; a residency it cannot
//    use is answered {"type":"endpoint_refused","reason":"..."}. Lines of
//    other types are for the handlers added beside this one.
// 6. The pipe service (host_pipe_service_win.cc): the first instance of the
//    record's pipe is created with the record, before the runtime publishes
//    it; on activation the host accepts clients, hands their requests to the
//    runtime as {"type":"request",...} lines and writes the runtime's
//    "response", "phase" and "final" lines back to them as frames.
#include "roles.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/flat_json.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/record_file_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/serialization_object_win.h"
#include "host_pipe_service_win.h"
#include "resident/host_record.h"
#include "shared/host_endpoint.h"
#include "work_handoff_win.h"

namespace nuvra::broker {
namespace {

constexpr int kRefused = 3;
// A link line longer than this is no message of the runtime's.
constexpr std::size_t kLinkLineLimit = 16 * 1024 * 1024;

// A refusal: the record or one of its handles is not what the runtime sends.
[[noreturn]] void refuse(const char* what) {
  fail(what);
}

bool writeLine(DWORD which, std::string_view text) {
  const HANDLE out = GetStdHandle(which);
  DWORD written = 0;
  return WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

HANDLE asHandle(std::uint64_t value) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// The kernel type name of a handle ("Mutant", "Event", "Process", "File"),
// asked of ntdll at run time; nothing when the question fails.
std::optional<std::wstring> objectTypeName(HANDLE handle) {
  using QueryObject = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  if (query == nullptr) return std::nullopt;
  constexpr int kObjectTypeInformation = 2;
  struct TypeName {
    USHORT length;
    USHORT maximumLength;
    const wchar_t* buffer;
  };
  alignas(8) unsigned char buffer[1024] = {};
  ULONG needed = 0;
  if (query(handle, kObjectTypeInformation, buffer, sizeof(buffer), &needed) < 0) {
    return std::nullopt;
  }
  TypeName name{};
  std::memcpy(&name, buffer, sizeof(name));
  if (name.buffer == nullptr) return std::nullopt;
  return std::wstring(name.buffer, name.length / sizeof(wchar_t));
}

// Open in this process, of the expected kernel type.
void requireObject(std::uint64_t value, std::wstring_view type, const char* what) {
  DWORD flags = 0;
  if (!GetHandleInformation(asHandle(value), &flags)) refuse(what);
  const std::optional<std::wstring> name = objectTypeName(asHandle(value));
  if (!name || *name != type) refuse(what);
}

std::wstring environmentValue(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), 32768);
  if (length == 0 || length >= 32768) return {};
  value.resize(length);
  return value;
}

std::uint32_t parsePid(const wchar_t* text) {
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (end == text || *end != L'\0' || value == 0 || value > 0xFFFFFFFFul) {
    refuse("host_usage");
  }
  return static_cast<std::uint32_t>(value);
}

// 1.
ResidentHostHandoff checkHandoff(std::uint32_t commandLinePid) {
  const HANDLE mapping = workHandoffHandle();
  if (mapping == nullptr) refuse("host_handoff_missing");
  const std::optional<std::string> text = readWorkHandoff(mapping);
  if (!text) refuse("host_handoff_unreadable");
  ResidentHostHandoff handoff = readResidentHostRecord(*text);
  const ResidentHostFields& fields = handoff.fields;
  if (fields.parentPid != commandLinePid) refuse("host_parent_pid");
  if (utf16ToUtf8(environmentValue(L"NUVRA_HOME")) != fields.home ||
      utf16ToUtf8(environmentValue(L"NUVRA_WINDOWS_OWNER_SID_HASH")) != fields.ownerSidHash) {
    refuse("host_environment");
  }
  requireObject(fields.serialization, L"Mutant", "host_handle_s");
  requireObject(fields.activation, L"Event", "host_handle_activation");
  requireObject(fields.parent, L"Process", "host_handle_parent");
  if (GetProcessId(asHandle(fields.parent)) != fields.parentPid) refuse("host_handle_parent");
  for (const HandoffGuard& guard : handoff.guards) {
    requireObject(guard.handle, L"File", "host_handle_guard");
    FileIdentity identity;
    if (!fileIdentity(asHandle(guard.handle), identity) || identity.volumeSerial != guard.volume ||
        ((static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow) !=
            guard.fileId) {
      refuse("host_handle_guard");
    }
  }
  return handoff;
}

// 2.
void keepHandlesToItself(const ResidentHostHandoff& handoff) {
  std::vector<std::uint64_t> values = {handoff.fields.serialization, handoff.fields.activation,
                                       handoff.fields.parent};
  for (const HandoffGuard& guard : handoff.guards) values.push_back(guard.handle);
  for (const std::uint64_t value : values) {
    if (!SetHandleInformation(asHandle(value), HANDLE_FLAG_INHERIT, 0)) refuse("host_inheritance");
  }
}

// 4. The handles the host waits on, each with its step. A step answers what
//    becomes of its entry, or that the host ends with an exit code. Later
//    entries (the link to the runtime, the pipe instances of the endpoint it
//    serves) are added the same way; the loop itself does not change.
class WaitLoop {
 public:
  struct Next {
    bool keep = true;
    std::optional<int> exitCode;
  };
  using Step = std::function<Next()>;

  void add(HANDLE handle, Step step) { entries_.push_back({handle, std::move(step)}); }

  int run() {
    for (;;) {
      if (entries_.empty()) return 0;
      std::vector<HANDLE> handles;
      for (const Entry& entry : entries_) handles.push_back(entry.handle);
      const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                  handles.data(), FALSE, INFINITE);
      if (waited >= WAIT_OBJECT_0 + handles.size()) return 4;
      const std::size_t index = waited - WAIT_OBJECT_0;
      const Next next = entries_[index].step();
      if (next.exitCode) return *next.exitCode;
      if (!next.keep) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    }
  }

 private:
  struct Entry {
    HANDLE handle;
    Step step;
  };
  std::vector<Entry> entries_;  // at most MAXIMUM_WAIT_OBJECTS
};

// 5. The runtime's lines on standard input. ReadFile on an inherited pipe
//    blocks, so a thread of its own reads and the loop learns of new lines
//    through an event. It lives until the process ends.
class LinkReader {
 public:
  LinkReader() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!event_) fail("host_link");
    thread_ = UniqueHandle(CreateThread(nullptr, 0, run, this, 0, nullptr));
    if (!thread_) fail("host_link");
  }

  HANDLE event() const noexcept { return event_.get(); }

  // The complete lines so far; `ended` once the runtime's end closed.
  std::vector<std::string> take(bool& ended) {
    std::lock_guard<std::mutex> hold(lock_);  // lines_, ended_
    ended = ended_;
    return std::exchange(lines_, {});
  }

 private:
  static DWORD WINAPI run(void* self) {
    static_cast<LinkReader*>(self)->read();
    return 0;
  }

  void read() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string partial;
    std::array<char, 4096> buffer{};
    DWORD count = 0;
    while (ReadFile(input, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr) &&
           count > 0) {
      partial.append(buffer.data(), count);
      std::vector<std::string> lines;
      for (std::size_t end = partial.find('\n'); end != std::string::npos;
           end = partial.find('\n')) {
        lines.push_back(partial.substr(0, end));
        partial.erase(0, end + 1);
      }
      if (partial.size() > kLinkLineLimit) break;
      if (lines.empty()) continue;
      {
        std::lock_guard<std::mutex> hold(lock_);
        for (std::string& line : lines) lines_.push_back(std::move(line));
      }
      SetEvent(event_.get());
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      ended_ = true;
    }
    SetEvent(event_.get());
  }

  UniqueHandle event_;
  UniqueHandle thread_;
  std::mutex lock_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

std::uint64_t filetimeValue(const FILETIME& time) noexcept {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// What the host observes of itself: its process, its token, its image, and
// the owner and home its record names.
HostSelf observeSelf(const ResidentHostFields& fields, std::uint64_t& createdAt) {
  FILETIME creation{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &creation, &exited, &kernel, &user)) {
    fail("host_self");
  }
  createdAt = filetimeValue(creation);
  const ProcessIdentity identity = readProcessIdentity(GetCurrentProcess());
  HostSelf self;
  self.pid = GetCurrentProcessId();
  self.creationFiletime = createdAt;
  self.imagePathSha256 = imagePathHash(GetCurrentProcess());
  self.authenticationIdHash = authenticationIdHash(identity.authentication_id);
  self.sessionId = identity.session_id;
  self.ownerSidHash = fields.ownerSidHash;
  self.homeKey = homeKey(utf8ToUtf16(fields.home));
  return self;
}

std::string brokerInstance() {
  std::array<unsigned char, 16> random{};
  randomBytes(random.data(), random.size(), "host_instance");
  return hexLower(std::string_view(reinterpret_cast<const char*>(random.data()), random.size()));
}

// The residency message's answer: the record, or why there is none.
std::string answerResidency(const FlatObject& message, const ResidentHostFields& fields) {
  try {
    HostEndpointInput input;
    input.residency = readResidencyMessage(message, fields.parentPid);
    input.self = observeSelf(fields, input.startedAt);
    input.device = readDeviceBindingText(
        readRecordFile(utf8ToUtf16(fields.home) + std::wstring(kDeviceBindingPath), false));
    input.brokerInstance = brokerInstance();
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    input.publishedAt = filetimeValue(now);
    return endpointMessage(composeHostEndpoint(input, sha256Hex));
  } catch (const std::exception& failure) {
    return RecordBuilder()
        .string("type", "endpoint_refused")
        .string("reason", failure.what())
        .line();
  }
}

// 6. The pipe of the composed record, created before the runtime publishes
//    it; a pipe that cannot be created refuses the endpoint.
std::string preparePipe(const std::string& endpoint) {
  try {
    prepareHostPipeService(hostPipeFacts(endpoint));
    return endpoint;
  } catch (const std::exception& failure) {
    return RecordBuilder()
        .string("type", "endpoint_refused")
        .string("reason", failure.what())
        .line();
  }
}

// The loop step of the link: every complete line, dispatched by its type.
class Link {
 public:
  using Handler = std::function<void(const FlatObject& message)>;

  void on(std::string type, Handler handler) {
    handlers_.insert_or_assign(std::move(type), std::move(handler));
  }

  WaitLoop::Next step(LinkReader& reader) {
    bool ended = false;
    for (const std::string& line : reader.take(ended)) dispatch(line);
    // The runtime closed its end: nothing more will come this way.
    return WaitLoop::Next{!ended, std::nullopt};
  }

 private:
  void dispatch(const std::string& line) {
    std::optional<std::string> type;
    FlatObject message;
    try {
      message = readFlatObject(line);
      type = linkMessageType(message);
    } catch (const ProfileError&) {
    }
    const auto handler = type ? handlers_.find(*type) : handlers_.end();
    if (handler == handlers_.end()) {
      writeLine(STD_ERROR_HANDLE, "nuvra host: ignored a link line it cannot read\n");
      return;
    }
    handler->second(message);
  }

  std::map<std::string, Handler, std::less<>> handlers_;
};

}  // namespace

int runHost(int argc, wchar_t** argv) {
  ResidentHostHandoff handoff;
  try {
    if (argc != 1) refuse("host_usage");
    // 1. and 2.
    handoff = checkHandoff(parsePid(argv[0]));
    keepHandlesToItself(handoff);
  } catch (const std::exception& failure) {
    writeLine(STD_ERROR_HANDLE, std::string("nuvra host: refused its resident-host record: ") +
                                    failure.what() + "\n");
    return kRefused;
  }
  // 3.
  RecordBuilder ready;
  ready.string("host", "ready")
      .number("parent_pid", handoff.fields.parentPid)
      .number("guards", static_cast<std::uint32_t>(handoff.guards.size()))
      .string("diagnostics", environmentValue(L"NUVRA_AUTH_LOG_LEVEL") == L"off" ? "off" : "on");
  if (!writeLine(STD_OUTPUT_HANDLE, ready.line())) return 4;
  wakeRuntimeAfterLines(handoff.fields.parentPid);
  // 4.
  WaitLoop loop;
  loop.add(asHandle(handoff.fields.parent), [] { return WaitLoop::Next{false, 0}; });
  loop.add(asHandle(handoff.fields.activation), [] {
    RecordBuilder activated;
    activated.string("host", "activated");
    writeRuntimeLine(activated.line());
    // 6.
    try {
      startHostPipeService();
    } catch (const std::exception& failure) {
      writeLine(STD_ERROR_HANDLE, std::string("nuvra host: no pipe: ") + failure.what() + "\n");
      return WaitLoop::Next{false, 5};
    }
    return WaitLoop::Next{false, std::nullopt};
  });
  // 5.
  Link link;
  bool composed = false;
  link.on("residency", [&handoff, &composed](const FlatObject& message) {
    std::string answer = composed ? RecordBuilder()
                                        .string("type", "endpoint_refused")
                                        .string("reason", "host_residency_duplicate")
                                        .line()
                                  : answerResidency(message, handoff.fields);
    if (!composed && answer.starts_with("{\"type\":\"endpoint\",")) {
      answer = preparePipe(answer);
    }
    composed = true;
    writeRuntimeLine(answer);
  });
  // 6.
  for (const char* answer : {"response", "phase", "final"}) {
    link.on(answer, [](const FlatObject& message) { deliverRuntimeAnswer(message); });
  }
  try {
    LinkReader* reader = new LinkReader();  // read until the process ends
    loop.add(reader->event(), [&link, reader] { return link.step(*reader); });
  } catch (const std::exception& failure) {
    writeLine(STD_ERROR_HANDLE, std::string("nuvra host: no link: ") + failure.what() + "\n");
    return 4;
  }
  return loop.run();
}

}  // namespace nuvra::broker
