// What a successful `initialize` leaves behind: the custody this runtime was
// started with. One per process, never destroyed. Every field is guarded by
// processState().processLock; once `initialized` is set only the work marker
// and the acknowledgement handle still change (finishStartup).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/handle_win.h"
#include "custody/startup_rules.h"

namespace nuvra {

// A file the launcher pinned for this runtime. The handle itself is owned by
// StartupProfile::keptHandles.
struct GuardEntry {
  HANDLE handle = nullptr;
  std::wstring path;
  std::uint32_t volumeSerial = 0;
  std::uint64_t fileIndex = 0;
};

struct StartupProfile {
  bool initialized = false;
  bool jobStartup = false;
  startup::RuntimeRole role = startup::RuntimeRole::entry;
  // The JSON text `initialize` answers with, again on every later call.
  std::string resultText;

  std::wstring home;
  std::wstring root;
  std::string ownerSidHash;
  std::string payloadDigest;
  std::string generation;
  std::uint64_t deadline = 0;
  std::string accountPurpose = "none";

  // Owned here, not in keptHandles: finishStartup closes it once written.
  UniqueHandle startupAck;
  // These three are owned by keptHandles.
  HANDLE serialization = nullptr;
  HANDLE lifetimeMarker = nullptr;
  HANDLE workMarker = nullptr;
  std::uint32_t workMarkerVolume = 0;
  std::uint64_t workMarkerIndex = 0;

  std::vector<GuardEntry> guards;
  std::string nativeSha256;
  // Exact texts as read at startup; the work fence compares against them.
  std::string servicingText;
  std::string currentText;
  std::string admissionText;

  // Guards, the serialisation mutex, the parent and the handoff mapping stay
  // open here for the life of the process.
  std::vector<UniqueHandle> keptHandles;
};

// Caller holds processState().processLock.
StartupProfile& startupProfile();

// Moves `handle` into the kept list unless that value is already kept.
void keepHandle(StartupProfile& profile, HANDLE handle);

// finishStartup's drop of the work marker, which the kept list owns. The
// value leaves the profile and the list whether or not it closes: a value
// that would not close may name another object by the next call, so it is
// never closed again. A failed close poisons the process and is
// "profile_close_failed". Caller holds processLock.
void closeWorkMarker(StartupProfile& profile);

// Takes GetTickCount64 on the first call of the process and returns that
// same tick on every call; the bool says whether this call took it.
std::uint64_t nativeEntryTick(bool* first = nullptr);

}  // namespace nuvra
