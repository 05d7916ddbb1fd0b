#include "broker_leftovers_win.h"

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/record_file_win.h"
#include "custody/serialization_object_win.h"
#include "shared/host_endpoint.h"

namespace nuvra::broker {
namespace {

std::uint64_t filetimeValue(const FILETIME& time) noexcept {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

ProcessIdentity runtimeIdentity() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) fail("profile_identity");
  UniqueHandle own(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(own.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
    fail("profile_identity");
  }
  if (elevation.TokenIsElevated == 0) return readTokenIdentity(own.get());
  TOKEN_LINKED_TOKEN linked{};
  if (!GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
    fail("profile_identity");
  }
  UniqueHandle linkedToken(linked.LinkedToken);
  return readTokenIdentity(linkedToken.get());
}

// With the host's own reader: a binding the host would refuse makes every
// resident fail to publish.
DeviceBinding readDeviceBinding(const std::wstring& home) {
  return readDeviceBindingText(readRecordFile(home + std::wstring(kDeviceBindingPath), false));
}

ProcessLook lookProcess(std::uint32_t pid) noexcept {
  ProcessLook look;
  UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) {
    // The system's answer for an id that names no process.
    look.open = GetLastError() == ERROR_INVALID_PARAMETER ? ProcessLook::Open::noSuchProcess
                                                          : ProcessLook::Open::refused;
    return look;
  }
  const DWORD waited = WaitForSingleObject(process.get(), 0);
  if (waited == WAIT_FAILED) return look;
  look.open = ProcessLook::Open::opened;
  look.exited = waited == WAIT_OBJECT_0;
  try {
    look.creation = processCreationTime(process.get());
  } catch (...) {
    look.creation.clear();
  }
  return look;
}

ClientIdentity RecordProcessProbe::identity() {
  if (!meetsInteractiveUserRule(facts_.identity)) fail("broker_native_peer_refused");
  return {facts_.ownerSidHash, homeKey(facts_.home),
          authenticationIdHash(facts_.identity.authentication_id), facts_.identity.session_id};
}

DeviceBinding RecordProcessProbe::deviceBinding() {
  return readDeviceBinding(facts_.home);
}

std::string RecordProcessProbe::sha256Hex(std::string_view text) {
  return nuvra::sha256Hex(text);
}

std::string RecordProcessProbe::brokerImageHash() {
  return facts_.brokerImageHash;
}

bool RecordProcessProbe::verifyPeer(std::uint32_t pid, std::string_view creationFiletime,
                                    std::string_view imageHash) {
  const ProcessFate fate = processFate(lookProcess(pid), creationFiletime);
  if (asked_++ == 0) {
    broker_ = fate;
    brokerPid_ = pid;
  } else {
    runtime_ = fate;
    runtimePid_ = pid;
  }
  if (fate == ProcessFate::gone) return false;
  if (!clientAnswers_) return true;
  return verifyPeerProcess(pid, std::string(creationFiletime), std::string(imageHash),
                           facts_.identity);
}

RecordStaleness RecordProcessProbe::staleness() const noexcept {
  return recordStaleness(reachedProcesses(), broker_, runtime_);
}

std::uint32_t RecordProcessProbe::gonePid() const noexcept {
  return broker_ == ProcessFate::gone ? brokerPid_ : runtimePid_;
}

std::uint64_t lastWriteFiletime(HANDLE file) {
  FILETIME written{};
  if (!GetFileTime(file, nullptr, nullptr, &written)) fail("profile_record_read");
  return filetimeValue(written);
}

std::uint64_t nowFiletime() noexcept {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return filetimeValue(now);
}

}  // namespace nuvra::broker
