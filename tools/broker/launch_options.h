// The launcher role's command line. Everything a test needs to vary about a
// startup is a switch here; without switches the launcher starts the runtime
// the way the product does.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/layout.h"
#include "shared/handoff.h"

namespace nuvra::broker {

// A command line the launcher cannot act on; exit code 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HandoffEdit {
  std::string key;
  std::optional<std::string> json;  // none: remove the key
};

struct LaunchOptions {
  std::wstring home;
  std::string version;
  std::string generation;
  std::string payloadDigest;
  launcher::RuntimeRole role = launcher::RuntimeRole::entry;
  std::string purpose = "none";

  std::optional<std::wstring> templateFile;
  std::vector<HandoffEdit> edits;
  std::vector<std::wstring> extraGuards;
  std::size_t mappingSize = kHandoffMappingSize;
  bool mappingWritable = false;
  std::optional<std::uint32_t> lengthWord;
  std::optional<std::int64_t> deadlineMs;
  std::optional<std::wstring> handoffEnv;  // "{mapping}" is the handle value
  bool withoutHandoffEnv = false;
  std::optional<DWORD> claimedParent;
  bool abandonMutex = false;
  DWORD holdMutexMs = 0;
  bool closeAck = false;
  bool keepOnTimeout = false;
  bool waitExit = false;

  std::wstring stdinPath = L"NUL";
  std::wstring stdoutPath = L"NUL";
  std::wstring stderrPath = L"NUL";
  std::optional<std::wstring> resultPath;

  std::wstring script;  // may be empty: node then reads standard input
  std::vector<std::wstring> arguments;
  bool hasScript = false;
};

// argv after the role name; throws UsageError.
LaunchOptions parseLaunchOptions(int argc, wchar_t** argv);

inline constexpr const char* kLaunchUsage =
    "usage: nuvra_windows_broker_native launch --home DIR --version V --generation G\n"
    "         --payload-digest D [--role entry|resident|job] [--purpose none|connect|finish]\n"
    "         [--template FILE] [--set KEY=JSON]... [--unset KEY]... [--guard PATH]...\n"
    "         [--mapping-size N] [--mapping-writable] [--length-word N] [--deadline-ms N]\n"
    "         [--handoff-env TEXT | --no-handoff-env] [--claimed-parent PID]\n"
    "         [--abandon-mutex] [--hold-mutex-ms N] [--close-ack] [--keep-on-timeout]\n"
    "         [--wait-exit] [--stdin F] [--stdout F] [--stderr F] [--result F]\n"
    "         [-- SCRIPT [ARGUMENT]...]\n";

}  // namespace nuvra::broker
