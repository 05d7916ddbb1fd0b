#include "common/fault_injection.h"

#if defined(NUVRA_TESTBED_FAULTS)

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "common/fault_plan.h"
#include "common/file_win.h"
#include "common/text_win.h"

namespace nuvra {
namespace {

// The plan follows the variable: a test arms a site by setting it in its own
// process once its warm-up is done, and the calls are counted from then on.
// A plan that does not parse ends the process: a test that misspelt it would
// otherwise run with nothing armed and prove nothing.
struct PlanSlot {
  std::mutex lock;
  std::wstring text;
  std::unique_ptr<FaultPlan> plan;
};

PlanSlot& planSlot() {
  static PlanSlot* slot = new PlanSlot;  // never destroyed: sites run during exit too
  return *slot;
}

[[noreturn]] void refusePlan() {
  static constexpr char kMessage[] = "NUVRA_FAULT_INJECTION does not parse\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof(kMessage) - 1, &written, nullptr);
  TerminateProcess(GetCurrentProcess(), 97);
  ExitProcess(97);
}

}  // namespace

bool faultFires(const char* site, const char* detail) noexcept {
  // The site's own call sets the last error; reading the variable must not
  // change it when nothing fires.
  const DWORD lastError = GetLastError();
  try {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"NUVRA_FAULT_INJECTION", value, 1024);
    if (length >= 1024) refusePlan();
    PlanSlot& slot = planSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    if (!slot.plan || slot.text != std::wstring_view(value, length)) {
      auto arms = parseFaultPlan(utf16ToUtf8(std::wstring_view(value, length)));
      if (!arms) refusePlan();
      slot.text.assign(value, length);
      slot.plan = std::make_unique<FaultPlan>(std::move(*arms));
    }
    std::uint32_t error = 0;
    if (slot.plan->fires(site, detail != nullptr ? detail : "", error)) {
      SetLastError(error);
      return true;
    }
  } catch (...) {
  }
  SetLastError(lastError);
  return false;
}

void noteSurfacedReason(const char* reason) noexcept {
  const DWORD lastError = GetLastError();
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"NUVRA_REASON_LOG", path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    // One append of one whole line under the file's append lock: lines of
    // several processes never mix.
    const HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char line[128];
      std::size_t size = 0;
      while (reason[size] != '\0' && size < sizeof(line) - 1) {
        line[size] = reason[size];
        ++size;
      }
      line[size++] = '\n';
      DWORD written = 0;
      {
        const AppendLock lock(file, GetTickCount64() + 1000);
        WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
      }
      CloseHandle(file);
    }
  }
  SetLastError(lastError);
}

}  // namespace nuvra

#endif
