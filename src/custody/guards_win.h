// File guards: open handles the launcher gives a runtime to pin its files,
// two of them zero-length markers standing for the runtime's lifetime and
// for work. Validated once at startup, and again before native broker work
// (the native target check).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/file_win.h"
#include "custody/profile_win.h"
#include "custody/selection_records_win.h"

namespace nuvra {

// Walks the handoff's guards in order. The caller reads each element and
// makes its handle non-inheritable; `add` does the rest of the element's
// checks, `finish` the checks over the whole list.
class GuardValidation {
 public:
  GuardValidation(std::wstring home, HANDLE lifetimeMarker, HANDLE workMarker,
                  std::string lifetimeIdentity, std::string workIdentity);

  // "profile_guard", "profile_guard_links", "profile_guard_duplicate",
  // "profile_marker", "profile_security".
  void add(HANDLE handle, const std::string& pathUtf8, std::uint32_t volumeSerial,
           std::uint64_t fileIndex);
  // Both markers met through different handles; "profile_markers".
  void finish() const;

  // The guard list: every guard but the work marker, in handoff order.
  const std::vector<GuardEntry>& guards() const { return guards_; }
  // Every guard handle, markers included, to keep open.
  const std::vector<HANDLE>& handles() const { return handles_; }
  HANDLE lifetimeMarker() const { return lifetimeMarker_; }
  HANDLE workMarker() const { return workMarker_; }
  const std::string& pathArrayBody() const { return pathArrayBody_; }
  std::uint32_t workMarkerVolume() const { return workVolume_; }
  std::uint64_t workMarkerIndex() const { return workIndex_; }

 private:
  void checkMarker(HANDLE handle, const std::wstring& path, const FileIdentity& identity,
                   std::wstring_view suffix, const std::string& expectedIdentity) const;

  std::wstring home_;
  HANDLE lifetimeMarker_;
  HANDLE workMarker_;
  std::string lifetimeIdentity_;
  std::string workIdentity_;
  bool lifetimeMet_ = false;
  bool workMet_ = false;
  std::uint32_t workVolume_ = 0;
  std::uint64_t workIndex_ = 0;
  std::vector<GuardEntry> guards_;
  std::vector<HANDLE> handles_;
  std::unordered_set<std::wstring> loweredPaths_;
  std::string pathArrayBody_;
};

// What the native target check needs from the profile, copied under
// processLock so that the check itself can run on a worker thread.
struct NativeTargetSnapshot {
  std::wstring home;
  std::wstring root;
  std::vector<GuardEntry> guards;
  SelectionTexts texts;
  // For the runtime object a passing check resolves with.
  std::string generation;
  std::string payloadDigest;
  std::string nativeSha256;
};

// "profile_custody_required" when the profile is not initialized. Takes
// processLock; the caller must not hold it.
NativeTargetSnapshot nativeTargetSnapshot();

// The native target check after its owner check: the target is the
// runtime's native broker executable, the guards still pin the files they
// pinned at startup, one of them is the target, and the selection records
// are unchanged. `ownerCheck` (the work validity or resident availability
// check) runs before every guard and every record. "profile_native_target",
// "profile_guard", "profile_work_fenced" and record reading reasons.
void checkNativeTarget(const NativeTargetSnapshot& snapshot, const std::wstring& targetPath,
                       const std::function<void()>& ownerCheck);

// Every guard still pins the file it pinned at startup: not inheritable,
// readable, no reparse point, the same volume serial and file index, the
// same final path. `ownerCheck` runs before each guard. "profile_guard".
void reverifyGuards(const std::vector<GuardEntry>& guards, const std::function<void()>& ownerCheck);

}  // namespace nuvra
