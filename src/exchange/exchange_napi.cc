#include "exchange/exchange_napi.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "addon/addon_state.h"
#include "addon/frame_napi.h"
#include "addon/json_value_napi.h"
#include "common/crypto_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/record_file_win.h"
#include "common/text_win.h"
#include "custody/profile_win.h"
#include "custody/serialization_object_win.h"
#include "exchange/client_evidence_win.h"
#include "exchange/endpoint_descriptor.h"
#include "exchange/exchange_rules.h"
#include "exchange/native_exchange_win.h"
#include "exchange/phase_frame.h"
#include "exchange/pipe_protocol.h"
#include "resident/endpoint_entries_napi.h"
#include "resident/endpoint_record.h"
#include "work/budget.h"
#include "work/work_napi.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

// One counter for the process, whatever environment asks.
std::atomic<std::uint64_t> budgetTokenCounter{1};

struct ExchangeJob : NativeJob {
  using NativeJob::NativeJob;
  ExchangeRun run;
};

// What a client runtime's reading of the endpoint needs from the profile,
// copied under processLock.
struct ReaderFacts {
  std::wstring home;
  std::wstring root;
  std::string ownerSidHash;
};

ReaderFacts readerFacts() {
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  // 2. Custody: initialised, acknowledged, the work marker handed back.
  if (!profile.initialized || profile.startupAck || profile.workMarker != nullptr || isPoisoned()) {
    fail("profile_custody_required");
  }
  return {profile.home, profile.root, profile.ownerSidHash};
}

// The live facts of the client's reading.
class LiveClientProbe final : public ClientProbe {
 public:
  LiveClientProbe(napi_env env, const ReaderFacts& facts) : env_(env), facts_(facts) {}

  ClientIdentity identity() override {
    identity_ = readProcessIdentity(GetCurrentProcess());
    if (!meetsInteractiveUserRule(identity_)) fail("broker_native_peer_refused");
    return {facts_.ownerSidHash, homeKey(facts_.home),
            authenticationIdHash(identity_.authentication_id), identity_.session_id};
  }
  DeviceBinding deviceBinding() override {
    const std::string text = readRecordFile(facts_.home + std::wstring(kDeviceBindingPath), false);
    napi_value object = parseJsonValue(env_, text);
    return {readStringProperty(env_, object, "session_id"),
            readStringProperty(env_, object, "device_id"),
            readStringProperty(env_, object, "consumer_id")};
  }
  std::string sha256Hex(std::string_view text) override { return nuvra::sha256Hex(text); }
  std::string brokerImageHash() override {
    return pathHash(facts_.root + std::wstring(kBrokerRelativePath));
  }
  bool verifyPeer(std::uint32_t pid, std::string_view creationFiletime,
                  std::string_view imageHash) override {
    return verifyPeerProcess(pid, std::string(creationFiletime), std::string(imageHash), identity_);
  }

 private:
  napi_env env_;
  const ReaderFacts& facts_;
  ProcessIdentity identity_;
};

struct EndpointReading {
  bool warm = false;
  std::string text;
};

// readEndpoint: the client's reading of the published endpoint record.
EndpointReading readEndpoint(napi_env env, const ReaderFacts& facts) {
  const std::wstring path = facts.home + std::wstring(kEndpointRecordPath);
  // 1. No record file: nothing is published.
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    fail("profile_record_open");
  }
  // 2. Owner-only, bounded.
  EndpointReading reading;
  reading.text = readRecordFile(path, true);
  if (reading.text.size() > kEndpointRecordLimit) fail("broker_endpoint_invalid");
  // 3. From here a defect only makes the answer false, except a broker of
  //    another runtime.
  try {
    LiveClientProbe probe(env, facts);
    reading.warm =
        readEndpointVerdict(endpointEntriesOf(env, parseJsonValue(env, reading.text)), probe);
  } catch (const ProfileError& error) {
    takePendingException(env);
    if (std::string_view(error.what()) == "broker_runtime_incompatible") throw;
    reading.warm = false;
  }
  takePendingException(env);
  return reading;
}

napi_value makeTokenExternal(napi_env env, std::uint64_t token) {
  napi_value value = nullptr;
  napiCheck(napi_create_external(env, reinterpret_cast<void*>(static_cast<std::uintptr_t>(token)),
                                 nullptr, nullptr, &value));
  return value;
}

// The request Buffer's bytes.
WipedBytes requestBytesOf(napi_env env, napi_value value) {
  bool isBuffer = false;
  napiCheck(napi_is_buffer(env, value, &isBuffer));
  if (!isBuffer) fail("broker_native_protocol_refused");
  void* data = nullptr;
  std::size_t length = 0;
  napiCheck(napi_get_buffer_info(env, value, &data, &length));
  checkRequestSize(length);
  return WipedBytes(std::string_view(static_cast<const char*>(data), length));
}

napi_value startExchange(napi_env env, napi_callback_info info, bool version2) {
  // 1.
  const std::uint64_t start = GetTickCount64();
  const Arguments arguments = fetchArguments(env, info, 6);
  // 2.
  auto job = newJob<ExchangeJob>(JobKind::kExchange);
  ExchangeRun& run = job->run;
  run.version2 = version2;
  // 3.
  run.work = lookupWork(env, arguments[0]);
  Work& work = *run.work;
  checkWorkValidity(work);
  // 4.
  checkExchangeRole(version2, work.role);
  // 5.
  {
    std::lock_guard<std::mutex> state(work.stateMutex);
    checkDispatchOpen(work.exchange);
  }
  // 6. Checked when the job runs.
  run.nativeTarget = utf8ToUtf16(readUtf8Argument(env, arguments[1]));
  // 7.
  checkExchangeBudget(work.timing.cold);
  // 8.
  run.endpointLine = readUtf8Argument(env, arguments[2]);
  const NativeEndpointDescriptor descriptor = parseEndpointDescriptor(run.endpointLine);
  run.deadline = exchangeDeadline(start, descriptor.exchange_timeout_ms, work.timing.deadline);
  // 9. and 12.
  run.requestBytes = requestBytesOf(env, arguments[3]);
  // 10.
  run.operation = readUtf8Argument(env, arguments[4]);
  checkExchangeOperation(version2, run.operation, work.operation);
  // 11.
  run.requestId = readUtf8Argument(env, arguments[5]);
  checkRequestId(run.requestId);
  // 13.
  return queueJob(env, std::move(job));
}

void executeExchange(NativeJob& base) {
  ExchangeRun& run = jobAs<ExchangeJob>(base).run;
  const StageWriter stage = [&run](std::string_view name, bool failed) {
    writeExchangeStage(run, name, failed);
  };
  try {
    runNativeExchange(run, stage);
    stage(kStageExchangeTerminal, false);
  } catch (const ProfileError&) {
    stage(kStageExchangeTerminal, true);
    throw;
  }
}

// The evidence entries name a client work: "profile_evidence_role" for any
// other. No validity check: what a work proves stays readable after it ended,
// until its end resolved and it left the table.
std::shared_ptr<Work> clientWork(napi_env env, napi_value workId) {
  std::shared_ptr<Work> work = lookupWork(env, workId);
  if (work->role != "client") fail("profile_evidence_role");
  return work;
}

napi_value exchangeValue(napi_env env, NativeJob& base) {
  ExchangeRun& run = jobAs<ExchangeJob>(base).run;
  checkWorkValidity(*run.work);
  void* data = nullptr;
  napi_value buffer = nullptr;
  napiCheck(napi_create_buffer(env, run.responseBytes.size(), &data, &buffer));
  if (!run.responseBytes.empty()) {
    std::memcpy(data, run.responseBytes.data(), run.responseBytes.size());
  }
  run.responseBytes.clear();
  return buffer;
}

}  // namespace

const JobHandler kExchangeJob{executeExchange, exchangeValue, nullptr, nullptr, nullptr, nullptr};

napi_value prepareBrokerBudget(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  // 1.
  std::string operation = readUtf8Argument(env, arguments[0]);
  checkBudgetOperation(operation);
  // 2.
  const ReaderFacts facts = readerFacts();
  // 3.
  const std::uint64_t start = GetTickCount64();
  // 4.
  const EndpointReading endpoint = readEndpoint(env, facts);
  const bool cold = !endpoint.warm;
  // 5.
  const std::uint64_t deadline = brokerBudgetDeadline(start, cold, GetTickCount64());
  // 6. and 7.
  BudgetMap& budgets = environmentPart<BudgetPart>(addonStateOf(env)).budgets;
  admitBudget(budgets, GetTickCount64());
  // 8.
  const std::uint64_t token = issueBudgetToken(budgetTokenCounter);
  // 9.
  budgets.try_emplace(token, BudgetEntry{token, start, deadline, cold, std::move(operation)});
  // 10.
  napi_value result = makeObject(env);
  setProperty(env, result, "token", makeTokenExternal(env, token));
  setProperty(env, result, "cold", makeBoolean(env, cold));
  setProperty(env, result, "budget_ms",
              makeUint32(env, static_cast<std::uint32_t>(cold ? kColdBrokerBudgetMs
                                                              : kWarmBrokerBudgetMs)));
  setProperty(env, result, "endpoint_json", makeString(env, cold ? std::string() : endpoint.text));
  return result;
}

napi_value exchange(napi_env env, napi_callback_info info) {
  return startExchange(env, info, false);
}

napi_value exchangePhase(napi_env env, napi_callback_info info) {
  return startExchange(env, info, true);
}

napi_value exchangeOutcome(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  const std::shared_ptr<Work> work = clientWork(env, arguments[0]);
  // The text is taken under the work's state mutex; the engine parses it
  // after, so that lock is never held across a call into JavaScript.
  return parseJsonValue(env, clientExchangeOutcome(*work));
}

napi_value closeClientDispatch(napi_env env, napi_callback_info info) {
  const Arguments arguments = fetchArguments(env, info, 1);
  closeDispatch(*clientWork(env, arguments[0]));
  return makeString(env, "closed");
}

}  // namespace nuvra
