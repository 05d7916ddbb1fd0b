// Starting a runtime process: the one place where the launcher hands handles
// to a child. The attribute list, its buffer and the handle array it points
// into are owned together, next to the CreateProcessAsUserW that reads them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/handle_win.h"

namespace nuvra::broker {

struct RuntimeCommand {
  std::wstring image;              // the runtime's node.exe
  std::wstring commandLine;        // quoted image, script and arguments
  std::wstring environment;        // a complete Unicode environment block
  HANDLE standardInput = nullptr;  // each of the three must be in the inherit list
  HANDLE standardOutput = nullptr;
  HANDLE standardError = nullptr;
};

struct RuntimeProcess {
  UniqueHandle process;
  DWORD processId = 0;
};

// Starts the runtime never elevated, inheriting exactly the handles of
// `inherit` (which is emptied: the parent keeps no inheritable handle once the
// child has its copies). Failures: "launcher_token" (no non-elevated token),
// "launcher_create_process", "launcher_child_elevated".
RuntimeProcess startRuntime(const RuntimeCommand& command, InheritList& inherit);

// This process's environment with `name` removed and, when `value` is given,
// set to it; as a block for CREATE_UNICODE_ENVIRONMENT.
std::wstring environmentWith(const std::wstring& name, const std::optional<std::wstring>& value);

}  // namespace nuvra::broker
