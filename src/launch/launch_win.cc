#include "launch/launch_win.h"

#include <array>
#include <optional>
#include <span>

#include "common/crypto_win.h"
#include "common/fault_injection.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/profile_win.h"

namespace nuvra {

namespace {

constexpr DWORD kPipeBufferBytes = 65536;
constexpr int kCreateAttempts = 3;

// Holds the launch's locks in their one order: serialisation mutex, then
// processLock, then the owner's lock, the latter two only ever tried. A
// failed launch lets go of them here; a successful one earlier, in the order
// the release step names.
class LaunchLocks {
 public:
  explicit LaunchLocks(LaunchContext& context) : context_(context) {}
  LaunchLocks(const LaunchLocks&) = delete;
  LaunchLocks& operator=(const LaunchLocks&) = delete;
  ~LaunchLocks() {
    owner_ = {};
    if (serialization_) {
      try {
        context_.releaseSerialization();
      } catch (...) {
        // The release poisoned the process; the original failure is reported.
      }
    }
    if (processLocked_) processState().processLock.unlock();
  }

  // 2. and 3. Lock loop. Waiting for processLock while holding the
  //    serialisation mutex would hold up every process of the home behind
  //    this process's own table users; waiting for the owner's lock while holding
  //    both could deadlock against a diagnostic write of the same work, which
  //    holds that lock while it waits for the mutex. So both are only tried,
  //    and on failure everything is let go for a 1 ms back-off.
  void acquire(bool withOwner) {
    for (;;) {
      context_.checkDeadline();
      context_.acquireSerialization();
      serialization_ = true;
      if (processState().processLock.try_lock()) {
        processLocked_ = true;
        if (!withOwner) return;
        owner_ = context_.tryLockOwner();
        if (owner_.owns_lock()) return;
        processLocked_ = false;
        processState().processLock.unlock();
      }
      serialization_ = false;
      context_.releaseSerialization();
      Sleep(1);
    }
  }

  // 19. Release in the documented order.
  void release() {
    owner_ = {};
    serialization_ = false;
    try {
      context_.releaseSerialization();
    } catch (...) {
      processLocked_ = false;
      processState().processLock.unlock();
      throw;
    }
    processLocked_ = false;
    processState().processLock.unlock();
  }

 private:
  LaunchContext& context_;
  bool serialization_ = false;
  bool processLocked_ = false;
  std::unique_lock<std::mutex> owner_;
};

// The attribute list of one CreateProcessW call, owned together with its
// buffer and the handle array it points into, so none of them can outlive or
// predecease the others.
class ProcessAttributes {
 public:
  ProcessAttributes(const InheritList& inherit, HANDLE job, HANDLE parent)
      : handles_(inherit.values()), job_(job), parent_(parent) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 3, 0, &size);
    if (size == 0) fail("profile_child_attributes");
    buffer_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!NUVRA_INJECT("launch.attribute_list", FALSE,
                      InitializeProcThreadAttributeList(list_, 3, 0, &size))) {
      list_ = nullptr;
      fail("profile_child_attributes");
    }
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr) ||
        !UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_, sizeof(HANDLE),
                                   nullptr, nullptr) ||
        !UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent_,
                                   sizeof(HANDLE), nullptr, nullptr)) {
      // A constructor that throws runs no destructor.
      reset();
      fail("profile_child_attributes");
    }
  }
  ProcessAttributes(const ProcessAttributes&) = delete;
  ProcessAttributes& operator=(const ProcessAttributes&) = delete;
  ~ProcessAttributes() { reset(); }

  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }
  void reset() noexcept {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    list_ = nullptr;
  }

 private:
  std::vector<HANDLE> handles_;
  HANDLE job_;
  HANDLE parent_;
  std::vector<unsigned char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// 4. The addon starts nothing but the broker executable of its own runtime.
void checkTarget(const std::wstring& applicationPath, const std::wstring& root) {
  const std::wstring expected = root + std::wstring(kBrokerRelativePath);
  if (applicationPath.size() > 0x7FFFFFFF || expected.size() > 0x7FFFFFFF ||
      CompareStringOrdinal(applicationPath.c_str(), static_cast<int>(applicationPath.size()),
                           expected.c_str(), static_cast<int>(expected.size()),
                           TRUE) != CSTR_EQUAL) {
    fail("profile_native_target");
  }
}

// The holder of every handle a child is to inherit. Node starts its own
// children (child_process) with inheritance on and no handle list, from
// whatever thread, and each takes every handle inheritable in this process at
// that moment: a copy of a managed child's output write end or of the work
// marker held by some unrelated process keeps the child's output from ever
// reporting closed and pins the marker. So the copies a child inherits never
// exist here: they live in this holder, a suspended process of the broker
// executable that never runs, and the child is created with the holder as
// its parent (PROC_THREAD_ATTRIBUTE_PARENT_PROCESS), inheriting from it. One
// holder serves the whole process; its kill-on-close job ends it with this
// process, and lets the children it parents break away from that job.
HANDLE launchHolder(const std::wstring& applicationPath) {
  static std::mutex lock;
  static UniqueHandle job;
  static UniqueHandle holder;
  const std::lock_guard guard(lock);
  if (holder) return holder.get();
  UniqueHandle holderJob(
      NUVRA_INJECT("launch.holder_job", nullptr, CreateJobObjectW(nullptr, nullptr)));
  if (!holderJob) fail("profile_child_job");
  requireNonInheritable(holderJob.get());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(holderJob.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    fail("profile_child_job");
  }
  std::wstring commandLine = L"\"" + applicationPath + L"\" holder";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(applicationPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &created)) {
    fail("profile_child_create");
  }
  UniqueHandle process(created.hProcess);
  const UniqueHandle thread(created.hThread);
  requireNonInheritable(process.get());
  if (!AssignProcessToJobObject(holderJob.get(), process.get())) {
    TerminateProcess(process.get(), 70);
    fail("profile_child_job");
  }
  job = std::move(holderJob);
  holder = std::move(process);
  return holder.get();
}

// 5. Standard input on a private named pipe, so writes can be overlapped
//    (anonymous pipes cannot) while the child reads a plain handle.
HANDLE createStdinPipe(ChildProcess& child, InheritList& inherit) {
  std::array<unsigned char, 24> random{};
  randomBytes(random.data(), random.size(), "random_failed");
  const std::wstring name =
      L"\\\\.\\pipe\\nuvra-managed-stdio-" +
      hexLowerWide(std::string_view(reinterpret_cast<const char*>(random.data()), random.size()));
  UniqueHandle server(NUVRA_INJECT(
      "launch.stdin_pipe", INVALID_HANDLE_VALUE,
      CreateNamedPipeW(name.c_str(),
                       PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr)));
  if (!server) fail("stdin_pipe_failed");
  requireNonInheritable(server.get());
  UniqueHandle client(
      NUVRA_INJECT("launch.stdin_client", INVALID_HANDLE_VALUE,
                   CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr)));
  if (!client) fail("stdin_pipe_failed");
  UniqueHandle event(NUVRA_INJECT("launch.stdin_connect_event", nullptr,
                                  CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!event) fail("stdin_pipe_failed");
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (!ConnectNamedPipe(server.get(), &overlapped)) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      DWORD ignored = 0;
      if (!GetOverlappedResult(server.get(), &overlapped, &ignored, TRUE)) {
        fail("stdin_pipe_failed");
      }
    } else if (error != ERROR_PIPE_CONNECTED) {
      fail("stdin_pipe_failed");
    }
  }
  event.closeQuietly();
  child.stdinPipe = std::move(server);
  return inherit.add(std::move(client));
}

// 6. One standard output stream: the write end for the child (its value
//    returned), the read end kept in `readEnd` and never inheritable.
HANDLE createOutputPipe(InheritList& inherit, UniqueHandle& readEnd, const char* reason) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!NUVRA_INJECT_KEYED("launch.output_pipe", reason, FALSE,
                          CreatePipe(&read, &write, nullptr, kPipeBufferBytes))) {
    fail(reason);
  }
  readEnd = UniqueHandle(read);
  UniqueHandle writeEnd(write);
  requireNonInheritable(readEnd.get());
  return inherit.add(std::move(writeEnd));
}

// 8. The work handoff: an unnamed section the child may only read. Kinds 1
//    and 13 write it now; an account worker's text still lacks its control
//    handle values, so its mapping is kept writable in the record.
HANDLE createHandoff(LaunchKind kind, const std::string& text, ChildProcess& child,
                     InheritList& inherit) {
  checkHandoffSize(text.size());
  UniqueHandle mapping(
      NUVRA_INJECT("launch.handoff_mapping", nullptr,
                   CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(kHandoffMappingSize), nullptr)));
  if (!mapping) fail("profile_handoff_create");
  if (kind == LaunchKind::accountWorker) {
    requireNonInheritable(mapping.get());
  } else {
    void* view =
        NUVRA_INJECT("launch.handoff_view", nullptr,
                     MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, kHandoffMappingSize));
    if (view == nullptr) fail("profile_handoff_map");
    layOutHandoff(std::span(static_cast<unsigned char*>(view), kHandoffMappingSize), text);
    UnmapViewOfFile(view);
  }
  HANDLE duplicate = nullptr;
  try {
    duplicate = inherit.duplicate(mapping.get(), kHandoffChildAccess);
  } catch (const std::exception&) {
    fail("profile_handoff_duplicate");
  }
  if (kind == LaunchKind::accountWorker) {
    child.handoffMapping = std::move(mapping);
  } else {
    mapping.closeOrFail();
  }
  return duplicate;
}

// 9. The job that holds the child: closing its last handle kills the tree.
UniqueHandle createJob(bool resident) {
  UniqueHandle job(NUVRA_INJECT("launch.child_job", nullptr, CreateJobObjectW(nullptr, nullptr)));
  if (!job) fail("profile_child_job");
  requireNonInheritable(job.get());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      resident ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
               : JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!NUVRA_INJECT("launch.child_job_limits", FALSE,
                    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                            sizeof(limits)))) {
    fail("profile_child_job");
  }
  return job;
}

std::optional<std::wstring> ownStartupAttempt() {
  std::array<wchar_t, 64> value{};
  const DWORD length = GetEnvironmentVariableW(kStartupAttemptVariable.data(), value.data(),
                                               static_cast<DWORD>(value.size()));
  if (length == 0 || length >= value.size()) return std::nullopt;
  return std::wstring(value.data(), length);
}

std::wstring widenAscii(std::string_view text) {
  return std::wstring(text.begin(), text.end());
}

// 17. The account worker's control ends and its final handoff go in place
//     while it is still suspended, so it never runs without them.
void finishAccountWorker(ChildProcess& child, HANDLE thread, const std::string& text,
                         LaunchContext& context) {
  HANDLE remoteRead = nullptr;
  HANDLE remoteWrite = nullptr;
  if (!NUVRA_INJECT(
          "launch.control_transfer", FALSE,
          DuplicateHandle(GetCurrentProcess(), child.workerControlRead.get(), child.process.get(),
                          &remoteRead, 0, FALSE, DUPLICATE_SAME_ACCESS)) ||
      !DuplicateHandle(GetCurrentProcess(), child.workerControlWrite.get(), child.process.get(),
                       &remoteWrite, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    fail("profile_account_transfer");
  }
  const std::string finalText =
      context.completeAccountHandoff(text, reinterpret_cast<std::uintptr_t>(remoteRead),
                                     reinterpret_cast<std::uintptr_t>(remoteWrite));
  checkHandoffSize(finalText.size());
  child.handoffView = NUVRA_INJECT(
      "launch.handoff_view", nullptr,
      MapViewOfFile(child.handoffMapping.get(), FILE_MAP_WRITE, 0, 0, kHandoffMappingSize));
  if (child.handoffView == nullptr) fail("profile_handoff_map");
  layOutHandoff(std::span(static_cast<unsigned char*>(child.handoffView), kHandoffMappingSize),
                finalText);
  if (!NUVRA_INJECT("launch.handoff_unmap", FALSE,
                    UnmapViewOfFile(std::exchange(child.handoffView, nullptr)))) {
    fail("profile_handoff_unmap");
  }
  child.handoffMapping.closeOrFail();
  child.workerControlRead.closeOrFail();
  child.workerControlWrite.closeOrFail();
  context.checkDeadline();
  if (NUVRA_INJECT("launch.resume", static_cast<DWORD>(-1), ResumeThread(thread)) != 1) {
    fail("profile_child_resume");
  }
}

}  // namespace

HandoffGuards duplicateProfileGuards(InheritList& inherit) {
  const StartupProfile& profile = startupProfile();
  HandoffGuards guards;
  for (const GuardEntry& guard : profile.guards) {
    const HANDLE duplicate = duplicateForChild(guard.handle, inherit, 0);
    guards.add(
        {handleValue(duplicate), utf16ToUtf8(guard.path), guard.volumeSerial, guard.fileIndex},
        guard.handle == profile.lifetimeMarker);
  }
  return guards;
}

std::wstring LaunchContext::runtimeRoot() {
  return startupProfile().root;
}
std::wstring LaunchContext::home() {
  return startupProfile().home;
}
std::string LaunchContext::ownerSidHash() {
  return startupProfile().ownerSidHash;
}

ChildSlot launchChild(const LaunchRequest& request, LaunchContext& context) {
  const bool managed = request.kind == LaunchKind::managedChild;
  const bool account = request.kind == LaunchKind::accountWorker;
  // 1. The record and its cleanup work.
  ChildSlot child = prepareChildProcess();

  // 2. and 3.
  LaunchLocks locks(context);
  locks.acquire(managed);

  // 4. Before any pipe or job exists.
  checkTarget(request.applicationPath, context.runtimeRoot());
  // Handles only the child may keep, held by the holder; dropped on every
  // path, closed explicitly in step 16 once creation has been attempted.
  const HANDLE holder = launchHolder(request.applicationPath);
  InheritList inherit(holder);

  // 5. and 6.
  const HANDLE stdinClient = createStdinPipe(*child, inherit);
  const HANDLE stdoutWrite = createOutputPipe(inherit, child->stdoutPipe, "stdout_pipe_failed");
  const HANDLE stderrWrite = createOutputPipe(inherit, child->stderrPipe, "stderr_pipe_failed");

  // 7. and 8.
  const std::string handoffText = context.buildHandoffText(*child, inherit);
  const HANDLE handoff = createHandoff(request.kind, handoffText, *child, inherit);

  // 9.
  child->job = createJob(request.resident);
  if (request.resident) context.registerResidentJob(child->job.get());

  // 10. and 11.
  ProcessAttributes attributes(inherit, child->job.get(), holder);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = stdinClient;
  startup.StartupInfo.hStdOutput = stdoutWrite;
  startup.StartupInfo.hStdError = stderrWrite;
  startup.lpAttributeList = attributes.get();

  // 12. and 13.
  std::wstring commandLine = buildCommandLine(request.applicationPath, request.arguments);
  ChildEnvironmentFacts facts;
  facts.startupAttempt = ownStartupAttempt();
  facts.home = context.home();
  facts.ownerSidHash = widenAscii(context.ownerSidHash());
  facts.handoffHandle = reinterpret_cast<std::uintptr_t>(handoff);
  std::wstring environment = buildEnvironmentBlock(request.environment, facts);

  // 14. and 15.
  context.checkDeadline();
  context.checkpoint(account ? kCheckpointAccountCreateProcessBefore
                             : kCheckpointManagedCreateProcessBefore);
  DWORD flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
  if (account) flags |= CREATE_SUSPENDED;
  PROCESS_INFORMATION created{};
  // The child is created under the holder, from whose copies it inherits.
  // A creation that fails leaves no process and takes none of the copies,
  // so it is tried again, a few times while the deadline holds: process
  // creation under load (seen under Wine) now and then fails once and then
  // succeeds. Each retry leaves a trace line, so that the tests can bound
  // how often that happens instead of passing over it.
  BOOL createdOk = FALSE;
  for (int attempt = 0; attempt < kCreateAttempts && !createdOk; ++attempt) {
    if (attempt > 0) {
      context.creationRetried(account ? kCheckpointAccountCreateProcessRetry
                                      : kCheckpointManagedCreateProcessRetry);
      Sleep(1);
      context.checkDeadline();
    }
    createdOk =
        CreateProcessW(request.applicationPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       flags, environment.data(), nullptr, &startup.StartupInfo, &created);
  }
  context.checkpoint(account ? kCheckpointAccountCreateProcessAfter
                             : kCheckpointManagedCreateProcessAfter);
  attributes.reset();
  UniqueHandle thread;
  if (createdOk) {
    child->process = UniqueHandle(created.hProcess);
    child->pid = created.dwProcessId;
    thread = UniqueHandle(created.hThread);
    requireNonInheritable(child->process.get());
    if (!account) thread.closeOrFail();
  }

  // 16. Nothing the child inherited stays open in the holder, whether or not
  //     it was created; last in, first out.
  if (!inherit.close()) fail("profile_close_failed");
  if (!createdOk) fail("profile_child_create");

  // 17. and 18.
  if (account) finishAccountWorker(*child, thread.get(), handoffText, context);
  thread.closeOrFail();
  if (request.kind == LaunchKind::residentHost) context.adoptHostProcess(*child);

  // 19.
  context.checkDeadline();
  locks.release();

  // 20.
  child->write.event = UniqueHandle(
      NUVRA_INJECT("launch.stdin_event", nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!child->write.event) fail("stdin_event_failed");
  child->write.overlapped.hEvent = child->write.event.get();

  // 21. The caller installs it in the kind's slot.
  return child;
}

}  // namespace nuvra
