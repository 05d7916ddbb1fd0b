#include "launch_options.h"

#include <cwchar>
#include <string_view>

#include "common/text_win.h"
#include "shared/home_records.h"

namespace nuvra::broker {
namespace {

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  try {
    return utf16ToUtf8(text);
  } catch (const std::exception&) {
    throw UsageError("an argument is not valid UTF-16");
  }
}

std::int64_t parseInteger(const std::wstring& text, std::int64_t low, std::int64_t high) {
  if (text.empty() || text.size() > 20) throw UsageError("a number is malformed");
  wchar_t* end = nullptr;
  errno = 0;
  const long long value = std::wcstoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || value < low || value > high) {
    throw UsageError("a number is malformed or out of range");
  }
  return value;
}

}  // namespace

LaunchOptions parseLaunchOptions(int argc, wchar_t** argv) {
  LaunchOptions options;
  int at = 0;
  auto value = [&](const wchar_t* name) -> std::wstring {
    if (at + 1 >= argc) throw UsageError("a switch is missing its value: " + narrow(name));
    return argv[++at];
  };
  for (; at < argc; ++at) {
    const std::wstring_view name = argv[at];
    if (name == L"--") {
      if (at + 1 < argc) {
        options.hasScript = true;
        options.script = argv[at + 1];
        for (int i = at + 2; i < argc; ++i) options.arguments.emplace_back(argv[i]);
      }
      break;
    } else if (name == L"--home") {
      options.home = value(L"--home");
    } else if (name == L"--version") {
      options.version = narrow(value(L"--version"));
    } else if (name == L"--generation") {
      options.generation = narrow(value(L"--generation"));
    } else if (name == L"--payload-digest") {
      options.payloadDigest = narrow(value(L"--payload-digest"));
    } else if (name == L"--role") {
      const std::wstring role = value(L"--role");
      if (role == L"entry") {
        options.role = launcher::RuntimeRole::entry;
      } else if (role == L"resident") {
        options.role = launcher::RuntimeRole::resident;
      } else if (role == L"job") {
        options.role = launcher::RuntimeRole::job;
      } else {
        throw UsageError("--role must be entry, resident or job");
      }
    } else if (name == L"--purpose") {
      options.purpose = narrow(value(L"--purpose"));
    } else if (name == L"--template") {
      options.templateFile = value(L"--template");
    } else if (name == L"--set") {
      HandoffEdit edit;
      std::string json;
      if (!launcher::splitAssignment(narrow(value(L"--set")), edit.key, json)) {
        throw UsageError("--set takes KEY=JSON");
      }
      edit.json = std::move(json);
      options.edits.push_back(std::move(edit));
    } else if (name == L"--unset") {
      options.edits.push_back({narrow(value(L"--unset")), std::nullopt});
    } else if (name == L"--guard") {
      options.extraGuards.push_back(value(L"--guard"));
    } else if (name == L"--mapping-size") {
      options.mappingSize =
          static_cast<std::size_t>(parseInteger(value(L"--mapping-size"), 4, 0x1000000));
    } else if (name == L"--mapping-writable") {
      options.mappingWritable = true;
    } else if (name == L"--length-word") {
      options.lengthWord =
          static_cast<std::uint32_t>(parseInteger(value(L"--length-word"), 0, 0xffffffffLL));
    } else if (name == L"--deadline-ms") {
      options.deadlineMs = parseInteger(value(L"--deadline-ms"), -86400000LL, 86400000LL);
    } else if (name == L"--handoff-env") {
      options.handoffEnv = value(L"--handoff-env");
    } else if (name == L"--no-handoff-env") {
      options.withoutHandoffEnv = true;
    } else if (name == L"--claimed-parent") {
      options.claimedParent =
          static_cast<DWORD>(parseInteger(value(L"--claimed-parent"), 1, 0xffffffffLL));
    } else if (name == L"--abandon-mutex") {
      options.abandonMutex = true;
    } else if (name == L"--hold-mutex-ms") {
      options.holdMutexMs = static_cast<DWORD>(parseInteger(value(L"--hold-mutex-ms"), 1, 600000));
    } else if (name == L"--close-ack") {
      options.closeAck = true;
    } else if (name == L"--keep-on-timeout") {
      options.keepOnTimeout = true;
    } else if (name == L"--wait-exit") {
      options.waitExit = true;
    } else if (name == L"--stdin") {
      options.stdinPath = value(L"--stdin");
    } else if (name == L"--stdout") {
      options.stdoutPath = value(L"--stdout");
    } else if (name == L"--stderr") {
      options.stderrPath = value(L"--stderr");
    } else if (name == L"--result") {
      options.resultPath = value(L"--result");
    } else {
      throw UsageError("unknown switch: " + narrow(std::wstring(name)));
    }
  }
  if (options.home.empty()) throw UsageError("--home is required");
  if (!launcher::isVersionText(options.version)) throw UsageError("--version is required");
  if (!launcher::isDecimalText(options.generation)) throw UsageError("--generation is required");
  if (options.payloadDigest.empty()) throw UsageError("--payload-digest is required");
  if (options.purpose.empty()) throw UsageError("--purpose must not be empty");
  if (options.handoffEnv && options.withoutHandoffEnv) {
    throw UsageError("--handoff-env and --no-handoff-env exclude each other");
  }
  if (options.templateFile && !options.edits.empty()) {
    throw UsageError("--template excludes --set and --unset");
  }
  if (options.abandonMutex && options.holdMutexMs != 0) {
    throw UsageError("--abandon-mutex and --hold-mutex-ms exclude each other");
  }
  return options;
}

}  // namespace nuvra::broker
