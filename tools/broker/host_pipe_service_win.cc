#include "host_pipe_service_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/reason.h"
#include "common/text_win.h"
#include "common/wipe.h"
#include "server/broker_wire.h"
#include "shared/broker_pipe_win.h"

namespace nuvra::broker {
namespace {

// Clients served at once; a further client finds the pipe busy and retries.
constexpr LONG kSessionLimit = 64;
// How long a session may take from its connection to the last byte of its
// request. An honest client writes its preamble right after checking its
// peer and its whole frame right after the acknowledgement: a small exchange
// takes tens of milliseconds and 1 MiB crosses a pipe in a few dozen more
// (BENCHMARKS.md), so even ten times that on a loaded machine is far inside
// this bound, and only a peer that stalls on purpose meets it. It is much
// shorter than the 15 s a whole exchange may take, so stalled sessions cannot
// hold instances for that long.
constexpr std::uint64_t kRequestArrivalMs = 3000;
// A failed instance creation (resources short, or the name's instances
// taken by somebody else) is retried this often, for this long; then the
// host ends, so that its runtime sees a broker that no longer serves instead
// of a live host whose pipe has gone. Clients meanwhile fail anyway, so
// waiting longer only prolongs the outage the runtime's restart ends.
constexpr DWORD kInstanceRetryMs = 50;
constexpr std::uint64_t kInstanceRestoreMs = 5000;
constexpr UINT kPipeServiceLost = 6;

// The answers the runtime sent for one forwarded request, until its client's
// session takes them.
struct PendingRequest {
  std::mutex lock;
  std::deque<RuntimeAnswer> answers;
  UniqueHandle arrived{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

std::mutex pendingLock;
std::map<std::uint64_t, std::shared_ptr<PendingRequest>> pendingRequests;
std::atomic<std::uint64_t> nextRequestId{1};

// The runtime's wake (product/host_link.mjs): one byte on a pipe of the
// runtime's after the lines written, so that it polls the link at once. Used
// only by the link writer's thread. Only a pipe the runtime's own process
// serves is written to: a pipe somebody else created under the name could
// otherwise learn when requests come, or, by never reading, stall the link.
// Connecting is tried with each line until it succeeds, a bounded number of
// times (the runtime listens once it has the host's id); without it the
// runtime polls as it did before.
class RuntimeWake {
 public:
  void configure(std::uint32_t runtimePid) {
    runtimePid_ = runtimePid;
    path_ = L"\\\\.\\pipe\\nuvra-host-wake-" + std::to_wstring(runtimePid) + L"-" +
            std::to_wstring(GetCurrentProcessId());
  }

  void notify() noexcept {
    if (!pipe_ && attemptsLeft_ > 0 && runtimePid_ != 0) connect();
    if (!pipe_) return;
    const char byte = '\n';
    DWORD written = 0;
    // The runtime ended its side: nothing more to wake.
    if (!WriteFile(pipe_.get(), &byte, 1, &written, nullptr)) pipe_.closeQuietly();
  }

 private:
  void connect() noexcept {
    --attemptsLeft_;
    UniqueHandle pipe(CreateFileW(path_.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ULONG server = 0;
    if (!pipe || !GetNamedPipeServerProcessId(pipe.get(), &server) || server != runtimePid_) {
      return;
    }
    pipe_ = std::move(pipe);
  }

  std::uint32_t runtimePid_ = 0;
  std::wstring path_;
  int attemptsLeft_ = 64;
  UniqueHandle pipe_;
};

RuntimeWake runtimeWake;

// The link to the runtime, the host's standard output: one thread writes
// it, so that no session and not the main loop waits in a write the runtime
// is slow to read. The host's own lines go first and in their order;
// requests then go shortest first, so a large request the runtime takes long
// to read holds up the one being written, never the small ones queued
// behind it. Each session queues at most one line, a request a client
// builds, so what waits is bounded by the session limit.
class LinkWriter {
 public:
  LinkWriter() {
    UniqueHandle thread(CreateThread(nullptr, 0, run, this, 0, nullptr));
    if (!thread) fail("host_link");
  }

  void writeOwn(std::string_view line) {
    auto entry = std::make_shared<Entry>();
    entry->own = true;
    entry->line.assign(line);
    enqueue(entry);
  }

  // True once the request's line is on the link; false when the link broke
  // or the deadline came first. A line begun is finished even so, so that
  // the link never carries half a line; its answer finds nobody waiting.
  bool writeRequest(WipedBytes line, std::uint64_t deadline) {
    auto entry = std::make_shared<Entry>();
    if (!entry->done) return false;
    entry->line = std::move(line);
    if (!enqueue(entry)) return false;
    for (;;) {
      const std::uint64_t now = GetTickCount64();
      const DWORD waited = WaitForSingleObject(
          entry->done.get(), now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
      std::lock_guard<std::mutex> hold(lock_);  // queue_, every entry's state
      if (entry->state == State::written) return true;
      if (entry->state == State::failed) return false;
      if (waited == WAIT_OBJECT_0) continue;
      if (entry->state == State::queued) std::erase(queue_, entry);
      return false;
    }
  }

 private:
  enum class State { queued, writing, written, failed };
  struct Entry {
    bool own = false;  // a line of the host's own, not a client's request
    std::uint64_t order = 0;
    WipedBytes line;
    State state = State::queued;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  };

  bool enqueue(const std::shared_ptr<Entry>& entry) {
    {
      std::lock_guard<std::mutex> hold(lock_);  // queue_, broken_
      if (broken_) return false;
      entry->order = nextOrder_++;
      queue_.push_back(entry);
    }
    ready_.notify_one();
    return true;
  }

  static DWORD WINAPI run(void* self) {
    static_cast<LinkWriter*>(self)->write();
    return 0;
  }

  // The next entry: the oldest own line, else the shortest request.
  std::shared_ptr<Entry> take() {
    std::unique_lock<std::mutex> hold(lock_);
    ready_.wait(hold, [this] { return !queue_.empty(); });
    const auto before = [](const Entry& a, const Entry& b) {
      if (a.own != b.own) return a.own;
      if (!a.own && a.line.size() != b.line.size()) return a.line.size() < b.line.size();
      return a.order < b.order;
    };
    auto best = queue_.begin();
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      if (before(**it, **best)) best = it;
    }
    std::shared_ptr<Entry> entry = *best;
    queue_.erase(best);
    entry->state = State::writing;
    return entry;
  }

  void write() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (;;) {
      std::shared_ptr<Entry> entry = take();
      const bool written = writeAll(out, entry->line.view());
      entry->line.clear();
      std::vector<std::shared_ptr<Entry>> dropped;
      bool last = false;
      {
        std::lock_guard<std::mutex> hold(lock_);
        last = queue_.empty();
        entry->state = written ? State::written : State::failed;
        if (!written) {
          // The runtime's end has gone: nothing more can reach it.
          broken_ = true;
          dropped = std::exchange(queue_, {});
          for (const auto& left : dropped) left->state = State::failed;
        }
      }
      if (entry->done) SetEvent(entry->done.get());
      for (const auto& left : dropped) {
        if (left->done) SetEvent(left->done.get());
      }
      // One wake for the lines written back to back.
      if (written && last) runtimeWake.notify();
    }
  }

  std::mutex lock_;
  std::condition_variable ready_;
  std::vector<std::shared_ptr<Entry>> queue_;
  std::uint64_t nextOrder_ = 0;
  bool broken_ = false;
};

// Started with the first line the host writes to its runtime; it lives as
// long as the host.
LinkWriter& linkWriter() {
  static LinkWriter* writer = new LinkWriter();
  return *writer;
}

struct Service {
  HostPipeFacts facts;
  std::wstring path;
  UniqueHandle firstInstance;
  UniqueHandle sessions;  // a semaphore of kSessionLimit
  UniqueHandle never;     // never signalled: the service lives as long as the host
#ifdef NUVRA_TESTBED_FAULTS
  std::wstring failWhile;  // see testbedRefusesInstance
#endif
};

// Set once, by the main thread, before the accept thread starts.
Service* preparedService = nullptr;

struct Session {
  Service* service;
  UniqueHandle pipe;
};

class Registration {
 public:
  Registration() : id_(nextRequestId++), request_(std::make_shared<PendingRequest>()) {
    if (!request_->arrived) fail("broker_pipe_create");
    std::lock_guard<std::mutex> lock(pendingLock);
    pendingRequests.emplace(id_, request_);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration() {
    std::lock_guard<std::mutex> lock(pendingLock);
    pendingRequests.erase(id_);
  }
  std::uint64_t id() const noexcept { return id_; }

  // The next answer, or nothing once the deadline has come.
  std::optional<RuntimeAnswer> next(std::uint64_t deadline) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(request_->lock);
        if (!request_->answers.empty()) {
          RuntimeAnswer answer = std::move(request_->answers.front());
          request_->answers.pop_front();
          return answer;
        }
      }
      const std::uint64_t now = GetTickCount64();
      if (now >= deadline) return std::nullopt;
      if (WaitForSingleObject(request_->arrived.get(), static_cast<DWORD>(deadline - now)) ==
          WAIT_FAILED) {
        return std::nullopt;
      }
    }
  }

 private:
  std::uint64_t id_;
  std::shared_ptr<PendingRequest> request_;
};

bool writeFrame(BrokerPipeIo& io, std::string_view frame) {
  return io.write(frameLength(static_cast<std::uint32_t>(frame.size()))) && io.write(frame);
}

// One client, start to end, within its exchange deadline.
void serveClient(const HostPipeFacts& facts, HANDLE pipe) {
  const std::uint64_t connected = GetTickCount64();
  const std::uint64_t exchangeDeadline = connected + facts.exchangeTimeoutMs;
  // Until the request is in, the short bound of its arrival holds.
  BrokerPipeIo io(pipe, std::min(connected + kRequestArrivalMs, exchangeDeadline));
  // 1. Preamble: one line.
  std::string preamble;
  if (!io.readLine(preamble, kPreambleLimit)) return;
  const int version = preambleVersion(preamble);
  if (version == 0) return;
  // 2. Acknowledgement with the host's own digest and instance.
  if (!io.write(acknowledgementLine(version, facts.digest, facts.instance))) return;
  // 3. The request frame.
  std::string length(4, '\0');
  if (!io.read(length.data(), length.size())) return;
  const std::uint32_t size = frameLengthOf(length);
  if (size == 0 || size > kBrokerFrameLimit) return;
  WipedBytes frame;
  frame.resize(size);
  if (!io.read(frame.data(), size)) return;
  io.setDeadline(exchangeDeadline);
  // 4. Only a request a client builds goes on to the runtime; anything else
  //    ends the session here, so that no peer can make the link carry it.
  const std::optional<VersionTwoRequest> request = readClientRequest(version, frame.view());
  if (!request) return;
  const std::string requestLine(request->requestLine);
  // Nothing the client waits for comes after its own deadline.
  if (version == 2) {
    if (const auto clientDeadline = requestLineDeadline(requestLine)) {
      io.shortenTo(*clientDeadline);
    }
  }
  // 5. Handed to the runtime, within the session's deadline.
  Registration registration;
  {
    WipedBytes line(runtimeRequestLine(registration.id(), version, requestLine, request->body));
    frame.clear();
    if (!linkWriter().writeRequest(std::move(line), io.deadline())) return;
  }
  // 6. Its answers, until the final one or the deadline.
  std::uint32_t sequence = 0;
  while (auto answer = registration.next(io.deadline())) {
    WipedBytes answerBody(answer->body);
    answer->body.assign(answer->body.size(), '\0');
    if (version == 1) {
      if (answer->kind != RuntimeAnswer::Kind::response) continue;
      writeFrame(io, answerBody.view());
      break;
    }
    if (answer->kind == RuntimeAnswer::Kind::response) continue;
    PhaseFrameFields& phase = answer->frame;
    phase.sequence = ++sequence;
    if (phase.final && phase.reason != "none") {
      phase.reason = std::string(terminalFrameReason(phase.reason));
      answerBody.assign(brokerFailureBody(requestLine, phase.reason));
    }
    WipedBytes text(phaseFrame(requestLine, phase, answerBody.view()));
    if (!writeFrame(io, text.view()) || phase.final) break;
  }
  // 7. The client reads to the end before this instance goes.
  io.awaitClientClose();
}

DWORD WINAPI sessionThread(void* parameter) {
  std::unique_ptr<Session> session(static_cast<Session*>(parameter));
  try {
    serveClient(session->service->facts, session->pipe.get());
  } catch (...) {
    // A client that could not be served leaves nothing behind but its instance.
  }
  // The slot first: the next listening instance may be made while this one
  // still stands.
  ReleaseSemaphore(session->service->sessions.get(), 1, nullptr);
  session->pipe.closeQuietly();
  return 0;
}

// Hands a connected instance, with the session slot it holds, to a thread
// of its own.
void startSession(Service& service, UniqueHandle pipe) {
  auto session = std::make_unique<Session>(Session{&service, std::move(pipe)});
  UniqueHandle thread(CreateThread(nullptr, 0, sessionThread, session.get(), 0, nullptr));
  if (thread) {
    session.release();
    return;
  }
  session->pipe.closeQuietly();
  ReleaseSemaphore(service.sessions.get(), 1, nullptr);
}

#ifdef NUVRA_TESTBED_FAULTS
// The test bed's stand-in for a system that refuses more instances: while
// the file exists, creations are refused; a count in it is how many more
// (the last refusal removes the file), any other text refuses them all.
bool testbedRefusesInstance(const std::wstring& file) {
  if (file.empty()) return false;
  UniqueHandle held(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!held) return false;
  char text[32] = {};
  DWORD read = 0;
  if (!ReadFile(held.get(), text, sizeof(text) - 1, &read, nullptr)) return true;
  char* end = nullptr;
  const long left = std::strtol(text, &end, 10);
  if (end == text) return true;
  if (left <= 1) {
    held.closeQuietly();
    DeleteFileW(file.c_str());
    return left == 1;
  }
  const std::string next = std::to_string(left - 1);
  DWORD written = 0;
  SetFilePointer(held.get(), 0, nullptr, FILE_BEGIN);
  WriteFile(held.get(), next.data(), static_cast<DWORD>(next.size()), &written, nullptr);
  SetEndOfFile(held.get());
  return true;
}
#endif

// One more instance of the pipe, or none when it cannot be made now.
UniqueHandle tryInstance(const Service& service) {
  try {
#ifdef NUVRA_TESTBED_FAULTS
    if (testbedRefusesInstance(service.failWhile)) return {};
#endif
    return createBrokerPipeInstance(service.path, false);
  } catch (const ProfileError&) {
    return {};
  }
}

// The next listening instance, retried within kInstanceRestoreMs; a service
// that cannot be restored ends the host rather than stopping unseen.
UniqueHandle restoreInstance(const Service& service) {
  const std::uint64_t giveUp = GetTickCount64() + kInstanceRestoreMs;
  for (;;) {
    if (UniqueHandle instance = tryInstance(service)) return instance;
    if (GetTickCount64() >= giveUp) {
      static constexpr std::string_view kLost = "nuvra host: its pipe service cannot be restored\n";
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), kLost.data(), static_cast<DWORD>(kLost.size()),
                &written, nullptr);
      TerminateProcess(GetCurrentProcess(), kPipeServiceLost);
    }
    Sleep(kInstanceRetryMs);
  }
}

// A listening instance stands at every moment: the next one is made before
// a failed one closes and before a connected one is handed on, so a client
// finds the pipe busy at worst, never missing. Each instance holds a slot.
DWORD WINAPI acceptThread(void* parameter) {
  Service& service = *static_cast<Service*>(parameter);
  UniqueHandle listening = std::move(service.firstInstance);
  for (;;) {
    if (!awaitBrokerClient(listening.get(), service.never.get())) {
      // Its slot passes to its successor.
      UniqueHandle failed = std::move(listening);
      listening = restoreInstance(service);
      failed.closeQuietly();
      continue;
    }
    UniqueHandle connected = std::move(listening);
    const bool slot = WaitForSingleObject(service.sessions.get(), 0) == WAIT_OBJECT_0;
    // One attempt before the session starts; its retries must not keep the
    // connected client waiting.
    if (slot) listening = tryInstance(service);
    startSession(service, std::move(connected));
    // At the limit, the other sessions' instances stand while this waits.
    if (!slot && WaitForSingleObject(service.sessions.get(), INFINITE) != WAIT_OBJECT_0) {
      TerminateProcess(GetCurrentProcess(), kPipeServiceLost);
    }
    if (!listening) listening = restoreInstance(service);
  }
}

}  // namespace

HostPipeFacts hostPipeFacts(std::string_view endpointMessage) {
  try {
    if (endpointMessage.ends_with('\n')) endpointMessage.remove_suffix(1);
    const FlatObject message = readFlatObject(endpointMessage);
    const FlatValue* recordText = findMember(message, "record");
    const auto text = recordText ? flatString(*recordText) : std::nullopt;
    if (!text) fail("broker_pipe_create");
    const FlatObject record = readFlatObject(*text);
    const auto member = [&record](std::string_view key) {
      const FlatValue* value = findMember(record, key);
      const auto found = value ? flatString(*value) : std::nullopt;
      if (!found) fail("broker_pipe_create");
      return std::string(*found);
    };
    HostPipeFacts facts;
    facts.pipePath = member("pipe_name");
    facts.digest = member("broker_binding");
    facts.instance = member("broker_instance");
    return facts;
  } catch (const ProfileError&) {
    fail("broker_pipe_create");
  }
}

void prepareHostPipeService(const HostPipeFacts& facts) {
  // The service lives as long as the host process.
  auto service = std::make_unique<Service>();
  service->facts = facts;
  service->path = utf8ToUtf16(facts.pipePath);
#ifdef NUVRA_TESTBED_FAULTS
  wchar_t home[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"NUVRA_HOME", home, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    service->failWhile = std::wstring(home, length) + L"\\testbed-pipe-instances-refused";
  }
#endif
  service->sessions =
      UniqueHandle(CreateSemaphoreW(nullptr, kSessionLimit - 1, kSessionLimit, nullptr));
  service->never = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!service->sessions || !service->never) fail("broker_pipe_create");
  service->firstInstance = createBrokerPipeInstance(service->path, true);
  preparedService = service.release();
}

void startHostPipeService() {
  if (preparedService == nullptr) return;
  UniqueHandle thread(CreateThread(nullptr, 0, acceptThread, preparedService, 0, nullptr));
  if (!thread) fail("broker_pipe_create");
}

bool deliverRuntimeAnswer(const FlatObject& message) {
  std::optional<RuntimeAnswer> answer = readRuntimeAnswer(message);
  if (!answer) return false;
  std::shared_ptr<PendingRequest> request;
  {
    std::lock_guard<std::mutex> lock(pendingLock);
    const auto found = pendingRequests.find(answer->id);
    if (found == pendingRequests.end()) return true;
    request = found->second;
  }
  {
    std::lock_guard<std::mutex> lock(request->lock);
    request->answers.push_back(std::move(*answer));
  }
  SetEvent(request->arrived.get());
  return true;
}

void wakeRuntimeAfterLines(std::uint32_t runtimePid) {
  runtimeWake.configure(runtimePid);
}

bool writeRuntimeLine(std::string_view line) {
  try {
    linkWriter().writeOwn(line);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace nuvra::broker
