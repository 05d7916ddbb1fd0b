#include "host_pipe_service_win.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

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

std::mutex outputLock;

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

struct Service {
  HostPipeFacts facts;
  std::wstring path;
  UniqueHandle firstInstance;
  UniqueHandle sessions;  // a semaphore of kSessionLimit
  UniqueHandle never;     // never signalled: the service lives as long as the host
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
  BrokerPipeIo io(pipe, GetTickCount64() + facts.exchangeTimeoutMs);
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
  WipedBytes request;
  request.resize(size);
  if (!io.read(request.data(), size)) return;
  // 4. Version 2 names the client's request line.
  std::string requestLine;
  std::string_view body = request.view();
  if (version == 2) {
    const auto split = splitVersionTwoRequest(request.view());
    if (!split) return;
    requestLine = std::string(split->requestLine);
    body = split->body;
    // Nothing the client waits for comes after its own deadline.
    if (const auto clientDeadline = requestLineDeadline(requestLine)) {
      io.shortenTo(*clientDeadline);
    }
  }
  // 5. Handed to the runtime.
  Registration registration;
  {
    WipedBytes message(runtimeRequestLine(registration.id(), version, requestLine, body));
    if (!writeRuntimeLine(message.view())) return;
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
    PhaseFrameFields& frame = answer->frame;
    frame.sequence = ++sequence;
    if (frame.final && frame.reason != "none") {
      frame.reason = std::string(terminalFrameReason(frame.reason));
      answerBody.assign(brokerFailureBody(requestLine, frame.reason));
    }
    WipedBytes text(phaseFrame(requestLine, frame, answerBody.view()));
    if (!writeFrame(io, text.view()) || frame.final) break;
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
  session->pipe.closeQuietly();
  ReleaseSemaphore(session->service->sessions.get(), 1, nullptr);
  return 0;
}

DWORD WINAPI acceptThread(void* parameter) {
  Service& service = *static_cast<Service*>(parameter);
  UniqueHandle instance = std::move(service.firstInstance);
  for (;;) {
    if (awaitBrokerClient(instance.get(), service.never.get())) {
      auto session = std::make_unique<Session>(Session{&service, std::move(instance)});
      UniqueHandle thread(CreateThread(nullptr, 0, sessionThread, session.get(), 0, nullptr));
      if (thread) {
        session.release();
      } else {
        ReleaseSemaphore(service.sessions.get(), 1, nullptr);
      }
    } else {
      instance.closeQuietly();
      ReleaseSemaphore(service.sessions.get(), 1, nullptr);
    }
    // The next instance once a session is free.
    if (WaitForSingleObject(service.sessions.get(), INFINITE) != WAIT_OBJECT_0) return 1;
    try {
      instance = createBrokerPipeInstance(service.path, false);
    } catch (const ProfileError&) {
      return 1;
    }
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
  auto service = std::make_unique<Service>(Service{facts, utf8ToUtf16(facts.pipePath), {}, {}, {}});
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

bool writeRuntimeLine(std::string_view line) {
  std::lock_guard<std::mutex> lock(outputLock);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (!line.empty()) {
    DWORD written = 0;
    if (!WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written == 0) {
      return false;
    }
    line.remove_prefix(written);
  }
  return true;
}

}  // namespace nuvra::broker
