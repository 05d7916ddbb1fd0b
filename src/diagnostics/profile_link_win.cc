#include "diagnostics/profile_link_win.h"

#include <cstdlib>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "custody/serialization_win.h"

namespace nuvra {
namespace {

// The log home of one write: what the profile recorded at startup, copied
// under processLock on the JavaScript thread, and the write's own hold of
// the serialisation mutex, taken and released on the worker thread.
//
// The serialisation target is copied here too: the write asks for the mutex
// while holding its owner's lock, and a child launch for the same work holds
// processLock while it waits for that lock, so the worker must not wait for
// processLock then.
class ProfileLogHome final : public LogHome {
 public:
  ProfileLogHome() {
    {
      // processLock: the profile is read whole, as one initialize left it.
      std::lock_guard<std::mutex> lock(processState().processLock);
      const StartupProfile& profile = startupProfile();
      if (!profile.initialized) fail("profile_custody_required");
      home_ = profile.home;
      volumeSerial_ = profile.workMarkerVolume;
      guards_ = profile.guards;
    }
    target_ = profileSerializationTarget();
    userSid_ = currentUserSid();
  }

  const std::wstring& homePath() const override { return home_; }
  std::uint32_t volumeSerial() const override { return volumeSerial_; }
  const std::wstring& userSid() const override { return userSid_; }
  void checkOwnerOnly(HANDLE file, bool directory) const override {
    ::nuvra::checkOwnerOnly(file, directory ? OwnedObject::directory : OwnedObject::file);
  }
  void acquireSerialization(std::uint64_t deadline, std::uint32_t clock, bool atOnce) override {
    ::nuvra::acquireSerialization(
        hold_, deadline, static_cast<SerializationClock>(clock), target_,
        atOnce ? SerializationWait::atOnce : SerializationWait::untilDeadline);
#if defined(NUVRA_TESTBED_FAULTS)
    stallInsideMutex();
#endif
  }
  void releaseSerialization() override {
    ::nuvra::releaseSerialization(hold_);
  }
  void verifyGuards(const std::function<void()>& ownerCheck) override {
    reverifyGuards(guards_, ownerCheck);
  }
#if defined(NUVRA_TESTBED_FAULTS)
  // The test bed's load suite crosses several rotations in a short run: a
  // home may lower the day's limit with a file "log-rotation-size". The
  // release build never reads it.
  std::uint64_t fileLimit() const override {
    const std::wstring path = home_ + L"\\log-rotation-size";
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    char text[16] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), text, sizeof(text), &read, nullptr)) return kLogFileLimit;
    return loweredLogFileLimit(std::string_view(text, read));
  }

  // The lifecycle suite kills a resident while it owns the home's
  // serialisation mutex: a home file "mutex-stall" holding this process's id
  // makes its next log write, once it owns the mutex, create "mutex-stalled"
  // and wait there, so that the kill lands inside. The release build never
  // reads it.
  void stallInsideMutex() const {
    UniqueHandle file(CreateFileW((home_ + L"\\mutex-stall").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    char text[16] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) return;
    if (std::strtoul(text, nullptr, 10) != GetCurrentProcessId()) return;
    const std::wstring marker = home_ + L"\\mutex-stalled";
    UniqueHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr))
        .closeQuietly();
    Sleep(kMutexStallMs);
    DeleteFileW(marker.c_str());
  }
  // Long enough for the suite to see the marker and kill on a loaded machine.
  static constexpr DWORD kMutexStallMs = 10000;
#endif

 private:
  std::wstring home_;
  std::uint32_t volumeSerial_ = 0;
  std::vector<GuardEntry> guards_;
  std::wstring userSid_;
  SerializationTarget target_;
  SerializationHold hold_;
};

}  // namespace

bool startupCustodyHeld() {
  // processLock: the acknowledgement and marker fields finishStartup changes.
  std::lock_guard<std::mutex> lock(processState().processLock);
  const StartupProfile& profile = startupProfile();
  return profile.initialized && !profile.startupAck && !isHandle(profile.workMarker);
}

std::unique_ptr<LogHome> profileLogHome() {
  return std::make_unique<ProfileLogHome>();
}

}  // namespace nuvra
