// The launcher role: starts one runtime of a product home with its startup
// custody and waits for the runtime to acknowledge its startup.
//
//   nuvra_windows_broker_native.exe launch --home DIR --version V ...
//       [-- SCRIPT [ARGUMENT]...]
//
// The runtime is root\runtime\node\node.exe (root = home\runtime\<version>),
// started never elevated, with NUVRA_PROFILE_HANDOFF naming a read-only
// mapping that holds the startup handoff, and inheriting exactly: the
// serialisation mutex, the acknowledgement pipe's write end, a handle to this
// process (the parent), the guards (lifetime marker, work marker, node.exe,
// the native broker executable, then any --guard), the mapping and the three
// standard handles.
//
// Exit codes:
//   0  acknowledged: one byte of value 1 arrived before the deadline
//   2  the command line cannot be acted on
//   3  the custody could not be set up (reason in the result record), or
//      the handoff text is empty or does not fit the mapping (at most
//      262,140 bytes and the mapping's size less 4) without --length-word
//   4  the runtime could not be started (reason in the result record)
//   20 the deadline passed without a byte; the runtime is ended with exit
//      code 70 unless --keep-on-timeout
//   21 the pipe closed without a byte (the runtime exited or closed it)
//   22 a byte other than 1 arrived
//   23 --close-ack: the launcher closed its end before the runtime wrote
//
// --result FILE receives one JSON line "nuvra.launcher-result.v1" with the
// outcome, the runtime's pid and (with --wait-exit) exit code, the deadline,
// the handoff text and the handle values the child inherited and those the
// launcher kept to itself.
//
// The handoff is the role's default (see launcher/handoff.h), edited by
// --set KEY=JSON and --unset KEY, or the text of --template FILE. Either may
// use these placeholders; string values come JSON-escaped without quotes:
//   {ack} {mutex} {parent} {lifetime} {work} {mapping} {decoy_mutex}
//                         handle values the child inherits ({decoy_mutex}: an
//                         unnamed owner-only mutex, made only when used)
//   {guardN.handle} {guardN.path} {guardN.volume} {guardN.file_id}
//                         guard N in the order above, from 0
//   {guards}              the whole guard array
//   {own.mutex} {own.mapping} {own.ack_server}
//                         the launcher's own handle values, never inherited
//   {home} {root} {node_image} {deadline} {tick} {owner_sid_hash}
//   {parent_pid} {parent_image} {generation} {payload_digest} {purpose}
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/deadline.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "launch_options.h"
#include "roles.h"
#include "runtime_launch_win.h"
#include "shared/handoff.h"
#include "startup_custody_win.h"

namespace nuvra::broker {
namespace {

constexpr DWORD kParentAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

struct LaunchReport {
  const char* outcome = "setup_failed";
  std::string reason;
  int exitCode = 3;
  DWORD runtimePid = 0;
  std::uint64_t deadline = 0;
  std::optional<unsigned> ackByte;
  std::optional<DWORD> runtimeExitCode;
  std::optional<std::string> handoffEnv;
  std::string handoffText;
  RecordBuilder inherited;
  RecordBuilder withheld;
};

std::string handleText(HANDLE handle) {
  return formatDecimal64(handleValue(handle));
}

// A JSON string's content without its quotes, for placeholders that sit
// inside a quoted value.
std::string jsonContent(std::string_view utf8) {
  const std::string quoted = jsonString(utf8);
  return quoted.substr(1, quoted.size() - 2);
}

std::string readWholeFile(const std::wstring& path) {
  UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x1000000) {
    fail("launcher_template");
  }
  std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!text.empty() &&
      (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ||
       read != text.size())) {
    fail("launcher_template");
  }
  return text;
}

UniqueHandle openStandardFile(const std::wstring& path, bool output) {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  UniqueHandle file(CreateFileW(
      path.c_str(), output ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
      &attributes, output ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) fail("launcher_standard_handle");
  return file;
}

std::wstring replaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
  for (std::size_t at = text.find(from); at != std::wstring::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

using Values = std::map<std::string, std::string, std::less<>>;

// The role's default handoff with the command line's edits, or the template.
std::string handoffTemplate(const LaunchOptions& options) {
  if (options.templateFile) return readWholeFile(*options.templateFile);
  launcher::HandoffFields fields = launcher::defaultHandoff(options.role);
  for (const HandoffEdit& edit : options.edits) {
    if (edit.json) {
      fields.set(edit.key, *edit.json);
    } else {
      fields.unset(edit.key);
    }
  }
  return fields.text();
}

// The guardN.* placeholders; returns the handoff's guard array.
std::string addGuardValues(Values& values, const std::vector<Guard>& guards,
                           const std::vector<HANDLE>& childGuards) {
  std::string array = "[";
  for (std::size_t i = 0; i < guards.size(); ++i) {
    const Guard& guard = guards[i];
    const std::string prefix = "guard" + formatDecimal64(i) + ".";
    const std::string path = utf16ToUtf8(guard.path);
    const std::uint64_t fileId =
        (static_cast<std::uint64_t>(guard.identity.indexHigh) << 32) | guard.identity.indexLow;
    values[prefix + "handle"] = handleText(childGuards[i]);
    values[prefix + "path"] = jsonContent(path);
    values[prefix + "volume"] = formatDecimal32(guard.identity.volumeSerial);
    values[prefix + "file_id"] = formatDecimal64(fileId);
    if (i != 0) array += ",";
    array += RecordBuilder()
                 .string("handle", handleText(childGuards[i]))
                 .string("path", path)
                 .number("volume", guard.identity.volumeSerial)
                 .decimalString("file_id", fileId)
                 .text();
  }
  return array + "]";
}

// Now plus the role's span (or the given offset, which may lie in the past).
std::uint64_t startupDeadline(const LaunchOptions& options, std::uint64_t now) {
  const std::int64_t offset = options.deadlineMs.value_or(static_cast<std::int64_t>(
      options.role == launcher::RuntimeRole::job ? kJobStartupWindowMs : kOrdinaryWindowMs));
  return offset >= 0 ? now + static_cast<std::uint64_t>(offset)
                     : now - std::min(now, static_cast<std::uint64_t>(-offset));
}

std::wstring runtimeCommandLine(const std::wstring& nodeImage, const LaunchOptions& options) {
  std::wstring line = quoteArgument(nodeImage);
  if (options.hasScript) {
    line += L" " + quoteArgument(options.script);
    for (const std::wstring& argument : options.arguments) line += L" " + quoteArgument(argument);
  }
  return line;
}

void recordAckOutcome(LaunchReport& report, AckOutcome outcome) {
  switch (outcome) {
    case AckOutcome::acknowledged:
      report.outcome = "acknowledged";
      report.exitCode = 0;
      return;
    case AckOutcome::timeout:
      report.outcome = "timeout";
      report.exitCode = 20;
      return;
    case AckOutcome::closed:
      report.outcome = "closed";
      report.exitCode = 21;
      return;
    case AckOutcome::invalid:
      report.outcome = "invalid";
      report.exitCode = 22;
      return;
  }
}

int launch(const LaunchOptions& options, LaunchReport& report) {
  // 1. The home as the runtime will see it, and the selected runtime.
  const std::wstring home = resolveHome(options.home);
  const std::wstring root = home + L"\\runtime\\" + utf8ToUtf16(options.version);
  const std::wstring nodeImage = root + L"\\runtime\\node\\node.exe";
  const std::wstring nativeImage = root + std::wstring(kBrokerRelativePath);

  // 2. The home's serialisation mutex, and what a test asks of it.
  UniqueHandle mutex = openSerializationMutex(home);
  MutexHolder holder;
  if (options.abandonMutex) holder.abandon(mutex.get());
  if (options.holdMutexMs != 0) holder.hold(mutex.get(), options.holdMutexMs);

  // 3. Guards: the two markers first, then the files the runtime runs from.
  std::vector<Guard> guards;
  guards.push_back(openGuard(home + std::wstring(kLifetimeMarkerPath)));
  guards.push_back(openGuard(home + std::wstring(kWorkMarkerPath)));
  guards.push_back(openGuard(nodeImage));
  guards.push_back(openGuard(nativeImage));
  for (const std::wstring& extra : options.extraGuards) guards.push_back(openGuard(extra));

  // 4. The acknowledgement pipe and the parent the runtime is told about.
  AckPipe ack = createAckPipe();
  UniqueHandle parent;
  if (options.claimedParent) {
    parent = UniqueHandle(OpenProcess(kParentAccess, FALSE, *options.claimedParent));
  } else {
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                        kParentAccess, FALSE, 0)) {
      parent = UniqueHandle(self);
    }
  }
  if (!parent) fail("launcher_parent");
  const DWORD parentPid = GetProcessId(parent.get());
  const std::string parentImage = processImagePath(parent.get());

  // 5. The mapping exists before its content so that the text can name it.
  UniqueHandle mapping = createHandoffMapping(options.mappingSize);

  // 6. The child's copies. Nothing else in this process is inheritable.
  InheritList inherit;
  const HANDLE childMutex = duplicateForChild(mutex.get(), inherit, 0);
  const HANDLE childAck = duplicateForChild(ack.client.get(), inherit, 0);
  const HANDLE childParent = duplicateForChild(parent.get(), inherit, kParentAccess);
  std::vector<HANDLE> childGuards;
  for (const Guard& guard : guards) {
    childGuards.push_back(duplicateForChild(guard.handle.get(), inherit, 0));
  }
  const DWORD mappingAccess =
      options.mappingWritable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ;
  const HANDLE childMapping = duplicateForChild(mapping.get(), inherit, mappingAccess);

  // 7. The handoff text, its placeholders filled in.
  const std::string text = handoffTemplate(options);
  UniqueHandle decoy;
  HANDLE childDecoy = nullptr;
  if (text.find("{decoy_mutex}") != std::string::npos) {
    OwnerOnlySecurity security(currentUserSid(), false, "launcher_mutex");
    decoy = UniqueHandle(CreateMutexW(security.attributes(), FALSE, nullptr));
    if (!decoy) fail("launcher_mutex");
    childDecoy = duplicateForChild(decoy.get(), inherit, 0);
  }

  Values values;
  values["ack"] = handleText(childAck);
  values["mutex"] = handleText(childMutex);
  values["parent"] = handleText(childParent);
  values["mapping"] = handleText(childMapping);
  values["decoy_mutex"] = handleText(childDecoy);
  values["lifetime"] = handleText(childGuards[0]);
  values["work"] = handleText(childGuards[1]);
  values["guards"] = addGuardValues(values, guards, childGuards);
  values["own.mutex"] = handleText(mutex.get());
  values["own.mapping"] = handleText(mapping.get());
  values["own.ack_server"] = handleText(ack.server.get());
  values["home"] = jsonContent(utf16ToUtf8(home));
  values["root"] = jsonContent(utf16ToUtf8(root));
  values["node_image"] = jsonContent(utf16ToUtf8(nodeImage));
  values["owner_sid_hash"] = ownerSidHash();
  values["parent_pid"] = formatDecimal32(parentPid);
  values["parent_image"] = jsonContent(parentImage);
  values["generation"] = jsonContent(options.generation);
  values["payload_digest"] = jsonContent(options.payloadDigest);
  values["purpose"] = jsonContent(options.purpose);
  // The deadline is taken last, so that the runtime gets the whole span.
  const std::uint64_t tick = GetTickCount64();
  const std::uint64_t deadline = startupDeadline(options, tick);
  values["tick"] = formatDecimal64(tick);
  values["deadline"] = formatDecimal64(deadline);
  report.deadline = deadline;
  report.handoffText = launcher::expandPlaceholders(text, values);

  // 8. Fill the mapping; the runtime's copy is read-only unless asked. A
  // text the runtime could not read whole is refused rather than cut short,
  // unless a test hands over a length word of its own.
  const std::size_t room = std::min(options.mappingSize, kHandoffMappingSize) - 4;
  if (!options.lengthWord && (report.handoffText.empty() || report.handoffText.size() > room)) {
    fail("launcher_handoff_size");
  }
  std::vector<unsigned char> image =
      launcher::handoffImage(report.handoffText, options.mappingSize, options.lengthWord);
  writeHandoffImage(mapping.get(), image);

  // 9. Standard handles, environment and command line.
  UniqueHandle standardInput = openStandardFile(options.stdinPath, false);
  UniqueHandle standardOutput = openStandardFile(options.stdoutPath, true);
  UniqueHandle standardError = openStandardFile(options.stderrPath, true);
  RuntimeCommand command;
  command.image = nodeImage;
  command.standardInput = duplicateForChild(standardInput.get(), inherit, 0);
  command.standardOutput = duplicateForChild(standardOutput.get(), inherit, 0);
  command.standardError = duplicateForChild(standardError.get(), inherit, 0);
  std::optional<std::wstring> handoffEnv;
  if (!options.withoutHandoffEnv) {
    const std::wstring mappingText = utf8ToUtf16(handleText(childMapping));
    handoffEnv = options.handoffEnv ? replaceAll(*options.handoffEnv, L"{mapping}", mappingText)
                                    : mappingText;
    report.handoffEnv = handoffEnv->empty() ? std::string() : utf16ToUtf8(*handoffEnv);
  }
  command.environment = environmentWith(L"NUVRA_PROFILE_HANDOFF", handoffEnv);
  command.commandLine = runtimeCommandLine(nodeImage, options);

  for (const auto& [name, value] :
       std::initializer_list<std::pair<const char*, HANDLE>>{{"mutex", childMutex},
                                                             {"ack", childAck},
                                                             {"parent", childParent},
                                                             {"mapping", childMapping},
                                                             {"stdin", command.standardInput},
                                                             {"stdout", command.standardOutput},
                                                             {"stderr", command.standardError}}) {
    report.inherited.string(name, handleText(value));
  }
  if (childDecoy != nullptr) report.inherited.string("decoy_mutex", handleText(childDecoy));
  for (std::size_t i = 0; i < childGuards.size(); ++i) {
    report.inherited.string("guard" + formatDecimal64(i), handleText(childGuards[i]));
  }
  report.withheld.string("mutex", handleText(mutex.get()))
      .string("mapping", handleText(mapping.get()))
      .string("ack_server", handleText(ack.server.get()))
      .string("ack_client", handleText(ack.client.get()))
      .string("parent", handleText(parent.get()));
  for (std::size_t i = 0; i < guards.size(); ++i) {
    report.withheld.string("guard" + formatDecimal64(i), handleText(guards[i].handle.get()));
  }

  // 10. Start the runtime.
  report.outcome = "launch_failed";
  report.exitCode = 4;
  RuntimeProcess runtime = startRuntime(command, inherit);
  report.runtimePid = runtime.processId;
  // Our write end goes at once: the pipe then breaks when the runtime exits.
  ack.client.closeQuietly();

  // 11. The acknowledgement.
  if (options.closeAck) {
    ack.server.closeQuietly();
    report.outcome = "abandoned";
    report.exitCode = 23;
  } else {
    recordAckOutcome(report, waitForAck(ack, deadline, report.ackByte));
  }
  // A runtime that missed its deadline cannot take custody any more; it is
  // ended rather than left to run without it.
  if (report.exitCode == 20 && !options.keepOnTimeout) {
    TerminateProcess(runtime.process.get(), 70);
    WaitForSingleObject(runtime.process.get(), INFINITE);
  }
  if (options.waitExit) WaitForSingleObject(runtime.process.get(), INFINITE);
  DWORD exitCode = 0;
  if (WaitForSingleObject(runtime.process.get(), 0) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(runtime.process.get(), &exitCode)) {
    report.runtimeExitCode = exitCode;
  }
  SecureZeroMemory(image.data(), image.size());
  return report.exitCode;
}

std::string resultRecord(const LaunchReport& report) {
  RecordBuilder record;
  record.string("schema_version", "nuvra.launcher-result.v1")
      .string("outcome", report.outcome)
      .number("exit_code", static_cast<std::uint64_t>(report.exitCode));
  if (report.reason.empty()) {
    record.null("reason");
  } else {
    record.string("reason", report.reason);
  }
  record.number("runtime_pid", report.runtimePid).decimalString("deadline_tick64", report.deadline);
  if (report.ackByte) {
    record.number("ack_byte", *report.ackByte);
  } else {
    record.null("ack_byte");
  }
  if (report.runtimeExitCode) {
    record.number("runtime_exit_code", *report.runtimeExitCode);
  } else {
    record.null("runtime_exit_code");
  }
  if (report.handoffEnv) {
    record.string("handoff_env", *report.handoffEnv);
  } else {
    record.null("handoff_env");
  }
  return record.string("handoff_text", report.handoffText)
      .raw("inherited", report.inherited.text())
      .raw("withheld", report.withheld.text())
      .line();
}

void writeResult(const std::wstring& path, const std::string& line) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file ||
      !WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    std::fputs("launcher: the result file could not be written\n", stderr);
  }
}

}  // namespace

int runLauncher(int argc, wchar_t** argv) {
  LaunchOptions options;
  try {
    options = parseLaunchOptions(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "launch: %s\n", error.what());
    std::fputs(kLaunchUsage, stderr);
    return 2;
  }
  LaunchReport report;
  try {
    launch(options, report);
  } catch (const std::exception& error) {
    report.reason = error.what();
    report.runtimeExitCode.reset();
    std::fprintf(stderr, "launch: %s: %s\n", report.outcome, report.reason.c_str());
  }
  if (options.resultPath) writeResult(*options.resultPath, resultRecord(report));
  return report.exitCode;
}

}  // namespace nuvra::broker
