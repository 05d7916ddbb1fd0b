#include "custody/guards_win.h"
#include "common/layout.h"

#include <mutex>

#include "common/identity_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/custody_win.h"

namespace nuvra {
namespace {

std::uint64_t fileIndexOf(const FileIdentity& identity) {
  return (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow;
}

bool isDirectory(const FileIdentity& identity) {
  return (identity.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The handle is still the file named by `path` with the recorded identity;
// "profile_guard" otherwise.
FileIdentity inspectGuard(HANDLE handle, const std::wstring& path, std::uint32_t volumeSerial,
                          std::uint64_t fileIndex) {
  if (GetFileType(handle) != FILE_TYPE_DISK) fail("profile_guard");
  FileIdentity identity;
  if (!fileIdentity(handle, identity)) fail("profile_guard");
  if ((identity.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) fail("profile_guard");
  if (identity.volumeSerial != volumeSerial || fileIndexOf(identity) != fileIndex) {
    fail("profile_guard");
  }
  std::wstring finalPath;
  try {
    finalPath = canonicalPath(handle);
  } catch (const ProfileError&) {
    fail("profile_guard");
  }
  if (!samePathIgnoringCase(finalPath, path)) fail("profile_guard");
  return identity;
}

std::wstring lowerEachCharacter(std::wstring path) {
  if (!path.empty()) CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
  return path;
}

}  // namespace

GuardValidation::GuardValidation(std::wstring home, HANDLE lifetimeMarker, HANDLE workMarker,
                                 std::string lifetimeIdentity, std::string workIdentity)
    : home_(std::move(home)),
      lifetimeMarker_(lifetimeMarker),
      workMarker_(workMarker),
      lifetimeIdentity_(std::move(lifetimeIdentity)),
      workIdentity_(std::move(workIdentity)) {}

void GuardValidation::add(HANDLE handle, const std::string& pathUtf8, std::uint32_t volumeSerial,
                          std::uint64_t fileIndex) {
  // Kept open from here on whatever the outcome: a failed startup may be
  // retried, and the handle values must still name the launcher's files.
  handles_.push_back(handle);
  const std::wstring path = utf8ToUtf16(pathUtf8);
  // b. The handle is the file the handoff names.
  const FileIdentity identity = inspectGuard(handle, path, volumeSerial, fileIndex);
  // c. A second name would let the file change behind the guard.
  if (!isDirectory(identity) && identity.links != 1) fail("profile_guard_links");
  // d.
  if (!loweredPaths_.insert(lowerEachCharacter(path)).second) fail("profile_guard_duplicate");
  // e. One handle cannot be both markers: it is taken as the lifetime
  // marker, and the missing work marker is refused in finish().
  if (handle == lifetimeMarker_) {
    checkMarker(handle, path, identity, kLifetimeMarkerPath, lifetimeIdentity_);
    lifetimeMet_ = true;
    guards_.push_back({handle, path, volumeSerial, fileIndex});
  } else if (handle == workMarker_) {
    checkMarker(handle, path, identity, kWorkMarkerPath, workIdentity_);
    workMet_ = true;
    workVolume_ = identity.volumeSerial;
    workIndex_ = fileIndexOf(identity);
  } else {
    // f.
    guards_.push_back({handle, path, volumeSerial, fileIndex});
  }
  // g.
  startup::appendGuardPath(pathArrayBody_, pathUtf8);
}

void GuardValidation::checkMarker(HANDLE handle, const std::wstring& path,
                                  const FileIdentity& identity, std::wstring_view suffix,
                                  const std::string& expectedIdentity) const {
  const bool marker = !isDirectory(identity) && identity.size == 0 &&
                      samePathIgnoringCase(path, home_ + std::wstring(suffix)) &&
                      identity.text() == expectedIdentity;
  if (!marker) fail("profile_marker");
  checkOwnerOnly(handle, OwnedObject::file);
}

void GuardValidation::finish() const {
  if (!lifetimeMet_ || !workMet_ || lifetimeMarker_ == workMarker_) fail("profile_markers");
}

NativeTargetSnapshot nativeTargetSnapshot() {
  // processLock: the profile is read whole, consistent with one initialize.
  std::lock_guard lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized) fail("profile_custody_required");
  return {profile.home,        profile.root,
          profile.guards,      {profile.servicingText, profile.currentText, profile.admissionText},
          profile.generation,  profile.payloadDigest,
          profile.nativeSha256};
}

void checkNativeTarget(const NativeTargetSnapshot& snapshot, const std::wstring& targetPath,
                       const std::function<void()>& ownerCheck) {
  // 2.
  if (!samePathIgnoringCase(targetPath, nativeTargetPath(snapshot.root))) {
    fail("profile_native_target");
  }
  // 3. Every guard still pins its file, and one of them is the target.
  bool found = false;
  for (const GuardEntry& guard : snapshot.guards) {
    ownerCheck();
    DWORD flags = 0;
    if (!GetHandleInformation(guard.handle, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0) {
      fail("profile_guard");
    }
    const FileIdentity identity =
        inspectGuard(guard.handle, guard.path, guard.volumeSerial, guard.fileIndex);
    if (!isDirectory(identity) && identity.links != 1) fail("profile_guard");
    if (samePathIgnoringCase(guard.path, targetPath)) {
      if (isDirectory(identity)) fail("profile_native_target");
      found = true;
    }
  }
  // 4.
  if (!found) fail("profile_native_target");
  // 5.
  requireUnchangedSelection(snapshot.home, snapshot.texts, ownerCheck);
}

void reverifyGuards(const std::vector<GuardEntry>& guards,
                    const std::function<void()>& ownerCheck) {
  for (const GuardEntry& guard : guards) {
    ownerCheck();
    DWORD flags = 0;
    if (!GetHandleInformation(guard.handle, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0) {
      fail("profile_guard");
    }
    inspectGuard(guard.handle, guard.path, guard.volumeSerial, guard.fileIndex);
  }
}

}  // namespace nuvra
