#include "launch/child_process_win.h"

#include "common/fault_injection.h"
#include "common/process_state.h"
#include "common/reason.h"

namespace nuvra {

namespace {

// NTSTATUS of an I/O request the kernel has not finished with.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr DWORD kCleanupExitCode = 70;
constexpr DWORD kTerminateWaitMs = 5000;

void CALLBACK cleanupCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
  auto* child = static_cast<ChildProcess*>(context);
  if (releaseChild(*child)) {
    delete child;
  } else {
    // Something may still be live (a process, a write the kernel owns):
    // the record stays allocated for the life of the process.
    setPoisoned();
  }
}

bool closeField(UniqueHandle& handle) noexcept {
  return handle.closeForCleanup();
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (handoffView != nullptr) UnmapViewOfFile(handoffView);
  // Allowed from inside the work's own callback: the object is freed once the
  // callback returns.
  if (cleanupWork != nullptr) CloseThreadpoolWork(cleanupWork);
}

bool releaseChild(ChildProcess& child) noexcept {
  bool ok = true;
  // 1. Kill-on-close ends every process in the job.
  ok = closeField(child.job) && ok;
  // 2. A process that left the job (or was never in one) is ended here.
  if (child.process) {
    const DWORD state = WaitForSingleObject(child.process.get(), 0);
    if (state == WAIT_TIMEOUT) {
      // The job's end may already be terminating it, and terminating a
      // process that is on its way out is refused; what counts is that it
      // has ended within the wait.
      TerminateProcess(child.process.get(), kCleanupExitCode);
      if (WaitForSingleObject(child.process.get(), kTerminateWaitMs) != WAIT_OBJECT_0) ok = false;
    } else if (state != WAIT_OBJECT_0) {
      ok = false;
    }
  }
  // 3. The kernel must be done with the write buffer before it is let go.
  bool writeSettled = true;
  if (child.write.pending) {
    CancelIoEx(child.stdinPipe.get(), &child.write.overlapped);
    DWORD transferred = 0;
    if (!GetOverlappedResult(child.stdinPipe.get(), &child.write.overlapped, &transferred, TRUE) &&
        child.write.overlapped.Internal == kStatusPending) {
      writeSettled = false;
      ok = false;
    } else {
      child.write.pending = false;
    }
  }
  // 4. Only a settled buffer is freed; an unsettled one stays with the
  //    record, which a failed release never frees.
  if (writeSettled) child.write.buffer.clear();
  // 5. The handoff of an account worker still being set up.
  if (child.handoffView != nullptr) {
    if (UnmapViewOfFile(child.handoffView)) {
      child.handoffView = nullptr;
    } else {
      ok = false;
    }
  }
  ok = closeField(child.handoffMapping) && ok;
  // 6. Every remaining handle, in field order.
  ok = closeField(child.stdinPipe) && ok;
  ok = closeField(child.stdoutPipe) && ok;
  ok = closeField(child.stderrPipe) && ok;
  ok = closeField(child.controlWrite) && ok;
  ok = closeField(child.controlRead) && ok;
  ok = closeField(child.workerControlRead) && ok;
  ok = closeField(child.workerControlWrite) && ok;
  if (writeSettled) ok = closeField(child.write.event) && ok;
  ok = NUVRA_INJECT("child.release_close", false, closeField(child.process)) && ok;
  return ok;
}

void submitChildCleanup(ChildProcess* child) noexcept {
  if (child == nullptr) return;
  if (child->cleanupWork != nullptr) {
    SubmitThreadpoolWork(child->cleanupWork);
    return;
  }
  if (releaseChild(*child)) {
    delete child;
  } else {
    setPoisoned();
  }
}

ChildSlot prepareChildProcess() {
  // 1. The record, its module pinned so that a cleanup queued while the
  //    addon is being unloaded still has code to run, and its cleanup work.
  ChildSlot child(new ChildProcess);
  HMODULE module = nullptr;
  if (!NUVRA_INJECT(
          "child.cleanup_module", FALSE,
          GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&cleanupCallback)),
                             &module))) {
    fail("profile_cleanup_module");
  }
  child->cleanupWork = NUVRA_INJECT("child.cleanup_work", nullptr,
                                    CreateThreadpoolWork(cleanupCallback, child.get(), nullptr));
  if (child->cleanupWork == nullptr) fail("profile_cleanup_owner_required");
  return child;
}

bool releaseAndFreeChild(ChildSlot child) noexcept {
  ChildProcess* raw = child.release();
  if (raw == nullptr) return true;
  if (releaseChild(*raw)) {
    delete raw;
    return true;
  }
  setPoisoned();
  return false;
}

}  // namespace nuvra
