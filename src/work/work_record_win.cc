#include "work/work_record_win.h"
#include "common/layout.h"

#include <cstdint>

#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/profile_win.h"
#include "work/work_record.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

// The child waits on its parent and reads its identity, nothing more.
constexpr DWORD kParentAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
static_assert(kParentAccess == 0x00101000);

}  // namespace

std::string buildProfileWorkRecord(const Work& work, HANDLE workRecord, InheritList& inherit) {
  const StartupProfile& profile = startupProfile();
  if (!profile.initialized || !isHandle(workRecord)) fail("profile_custody_required");
  // 1. The guards, each with a duplicate the child inherits.
  GuardArrayBuilder guards;
  HANDLE lifetime = nullptr;
  for (const GuardEntry& guard : profile.guards) {
    const HANDLE duplicate = duplicateForChild(guard.handle, inherit, 0);
    guards.add(handleValue(duplicate), utf16ToUtf8(guard.path), guard.volumeSerial,
               guard.fileIndex);
    if (guard.handle == profile.lifetimeMarker) lifetime = duplicate;
  }
  // 2. The work marker, always last.
  const HANDLE record = duplicateForChild(workRecord, inherit, 0);
  guards.add(handleValue(record), utf16ToUtf8(profile.home + std::wstring(kWorkMarkerPath)),
             profile.workMarkerVolume, profile.workMarkerIndex);
  // 3. The serialisation mutex and this process.
  const HANDLE serialization = duplicateForChild(profile.serialization, inherit, 0);
  const HANDLE parent = duplicateForChild(GetCurrentProcess(), inherit, kParentAccess);
  // 4.
  if (lifetime == nullptr) fail("profile_lifetime_missing");
  // 5.
  ProfileWorkFields fields;
  fields.home = utf16ToUtf8(profile.home);
  fields.root = utf16ToUtf8(profile.root);
  fields.ownerSidHash = profile.ownerSidHash;
  fields.payloadDigest = profile.payloadDigest;
  fields.generation = profile.generation;
  fields.deadline = work.timing.deadline;
  fields.cold = work.timing.cold;
  fields.serialization = handleValue(serialization);
  fields.lifetime = handleValue(lifetime);
  fields.workRecord = handleValue(record);
  fields.parent = handleValue(parent);
  fields.parentPid = GetCurrentProcessId();
  fields.guards = guards.text();
  return profileWorkRecord(fields);
}

}  // namespace nuvra
