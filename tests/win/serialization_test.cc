#include "custody/serialization_win.h"

#include <sddl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

#include "../support/reason_of.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "common/process_state.h"
#include "common/record_file_win.h"
#include "custody/serialization_object_win.h"

namespace nuvra {
namespace {

bool releaseFlavour() {
  return std::string(policy::flavourName()) == "release";
}

using nuvra::testing::reasonOf;

// An owner-only security descriptor in the product's own form.
class OwnerOnly {
 public:
  explicit OwnerOnly(const std::wstring& extraAces = L"") {
    const std::wstring sid = currentUserSid();
    const std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")" + extraAces;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor_, nullptr));
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~OwnerOnly() { LocalFree(descriptor_); }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

void writeFile(const std::wstring& path, const std::string& text) {
  OwnerOnly security;
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.attributes(),
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  ASSERT_EQ(written, text.size());
}

// A product home with its three selection records and its named mutex.
class SerializationHome : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    static std::atomic<int> serial{0};
    home_ = std::wstring(temp) + L"nuvra-serialization-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(++serial);
    for (const wchar_t* dir : {L"", L"\\state", L"\\state\\runtime", L"\\runtime"}) {
      ASSERT_TRUE(CreateDirectoryW((home_ + dir).c_str(), nullptr) ||
                  GetLastError() == ERROR_ALREADY_EXISTS);
    }
    writeFile(home_ + L"\\state\\runtime\\servicing.json", kServicing);
    writeFile(home_ + L"\\runtime\\current", kCurrent);
    writeFile(home_ + L"\\state\\runtime\\admission.json", kAdmission);
    OwnerOnly security;
    mutex_ = UniqueHandle(
        CreateMutexW(security.attributes(), FALSE, serializationMutexName(home_).c_str()));
    ASSERT_TRUE(mutex_);
  }

  SerializationTarget target() const {
    return SerializationTarget{mutex_.get(), home_, {kServicing, kCurrent, kAdmission}};
  }
  static std::uint64_t in(std::uint64_t milliseconds) { return GetTickCount64() + milliseconds; }

  // Whether another thread could own the mutex right now.
  bool freeForOthers() const {
    bool taken = false;
    std::thread other([&] {
      const DWORD wait = WaitForSingleObject(mutex_.get(), 0);
      taken = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
      if (taken) ReleaseMutex(mutex_.get());
    });
    other.join();
    return taken;
  }

  // Another thread owns the home's mutex from construction to destruction.
  class HeldElsewhere {
   public:
    explicit HeldElsewhere(HANDLE mutex)
        : thread_([this, mutex] {
            WaitForSingleObject(mutex, INFINITE);
            owned_.set_value();
            release_.get_future().wait();
            ReleaseMutex(mutex);
          }) {
      owned_.get_future().wait();
    }
    ~HeldElsewhere() {
      release_.set_value();
      thread_.join();
    }

   private:
    std::promise<void> owned_;
    std::promise<void> release_;
    std::thread thread_;
  };

  static constexpr const char* kServicing =
      "{\"schema_version\":\"nuvra.runtime-servicing.v1\",\"state\":\"COMMITTED\"}";
  static constexpr const char* kCurrent = "{\"version\":\"1.0.0\",\"digest\":\"d\"}";
  static constexpr const char* kAdmission = "{\"installation_root\":\"C:\\\\h\"}";

  std::wstring home_;
  UniqueHandle mutex_;
};

TEST_F(SerializationHome, AHoldOwnsTheMutexUntilReleased) {
  SerializationHold hold;
  const std::string reason = reasonOf(
      [&] { acquireSerialization(hold, in(2000), SerializationClock::ordinary, target()); });
  if (releaseFlavour()) {
    // The strict owner-only check cannot pass on a file Wine created.
    EXPECT_EQ(reason, "profile_security");
    EXPECT_FALSE(hold.owned());
    EXPECT_TRUE(freeForOthers());
    return;
  }
  ASSERT_EQ(reason, "");
  EXPECT_TRUE(hold.owned());
  EXPECT_TRUE(threadHoldsSerialization());
  EXPECT_FALSE(freeForOthers());
  releaseSerialization(hold);
  EXPECT_FALSE(hold.owned());
  EXPECT_FALSE(threadHoldsSerialization());
  EXPECT_TRUE(freeForOthers());
}

TEST_F(SerializationHome, ASecondHoldOnTheSameThreadIsRefusedWithoutBlocking) {
  if (releaseFlavour()) GTEST_SKIP() << "needs a passing fence";
  SerializationHold outer;
  acquireSerialization(outer, in(2000), SerializationClock::ordinary, target());
  SerializationHold inner;
  const std::uint64_t before = GetTickCount64();
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(inner, in(2000), SerializationClock::ordinary, target());
            }),
            "profile_poisoned");
  // A wait would have run to its deadline, 2000 ms away.
  EXPECT_LT(GetTickCount64() - before, 1500u);
  EXPECT_FALSE(inner.owned());
  // The refused hold leaves the outer one intact.
  releaseSerialization(inner);
  EXPECT_TRUE(threadHoldsSerialization());
  EXPECT_FALSE(freeForOthers());
  releaseSerialization(outer);
  EXPECT_TRUE(freeForOthers());
}

TEST_F(SerializationHome, ADroppedHoldReleasesTheMutex) {
  if (releaseFlavour()) GTEST_SKIP() << "needs a passing fence";
  {
    SerializationHold hold;
    acquireSerialization(hold, in(2000), SerializationClock::ordinary, target());
    EXPECT_FALSE(freeForOthers());
  }
  EXPECT_FALSE(threadHoldsSerialization());
  EXPECT_TRUE(freeForOthers());
}

TEST_F(SerializationHome, ADeadlineTooFarAwayFailsBeforeAnyWait) {
  // The mutex is held elsewhere: a wait would block.
  const HeldElsewhere held(mutex_.get());
  SerializationHold hold;
  const std::uint64_t before = GetTickCount64();
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(3500), SerializationClock::ordinary, target());
            }),
            "profile_startup_timeout");
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, GetTickCount64(), SerializationClock::ordinary, target());
            }),
            "profile_startup_timeout");
  // A wait would have run to the first deadline, 3500 ms away.
  EXPECT_LT(GetTickCount64() - before, 3000u);
}

TEST_F(SerializationHome, AMutexHeldPastTheDeadlineEndsTheWaitAtTheDeadline) {
  const HeldElsewhere held(mutex_.get());
  SerializationHold hold;
  const std::uint64_t before = GetTickCount64();
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(400), SerializationClock::ordinary, target());
            }),
            "profile_owner_wait");
  const std::uint64_t waited = GetTickCount64() - before;
  EXPECT_GE(waited, 350u);
  EXPECT_LT(waited, 2000u);
  EXPECT_FALSE(hold.owned());
  EXPECT_FALSE(threadHoldsSerialization());
}

TEST_F(SerializationHome, AJobStartupClockAllowsThirtySecondsAndTheResidentClockNeedsAHost) {
  SerializationHold hold;
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(31000), SerializationClock::jobStartup, target());
            }),
            "profile_startup_timeout");
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(2000), SerializationClock::residentHost, target());
            }),
            "profile_resident_unavailable");
  if (releaseFlavour()) return;
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(20000), SerializationClock::jobStartup, target());
            }),
            "");
  releaseSerialization(hold);
}

TEST_F(SerializationHome, AHandleThatIsNotTheNamedMutexIsRefused) {
  UniqueHandle other(CreateMutexW(nullptr, FALSE, nullptr));
  SerializationTarget wrong = target();
  wrong.mutex = other.get();
  SerializationHold hold;
  EXPECT_EQ(
      reasonOf([&] { acquireSerialization(hold, in(2000), SerializationClock::ordinary, wrong); }),
      "profile_owner_object");
  SerializationTarget elsewhere = target();
  elsewhere.home += L"-elsewhere";
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(2000), SerializationClock::ordinary, elsewhere);
            }),
            "profile_owner_absent");
}

TEST_F(SerializationHome, AMutexOthersMayOpenIsRefused) {
  SerializationTarget shared = target();
  shared.home += L"-shared";
  OwnerOnly everyone(L"(A;;GA;;;WD)");
  UniqueHandle open(
      CreateMutexW(everyone.attributes(), FALSE, serializationMutexName(shared.home).c_str()));
  ASSERT_TRUE(open);
  shared.mutex = open.get();
  SerializationHold hold;
  EXPECT_EQ(
      reasonOf([&] { acquireSerialization(hold, in(2000), SerializationClock::ordinary, shared); }),
      "profile_security");
}

TEST_F(SerializationHome, ARecordWithOnlyChangedWhitespaceFencesAndFreesTheMutex) {
  if (releaseFlavour()) GTEST_SKIP() << "needs a readable servicing record";
  writeFile(home_ + L"\\state\\runtime\\admission.json", "{\"installation_root\": \"C:\\\\h\"}");
  SerializationHold hold;
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(2000), SerializationClock::ordinary, target());
            }),
            "profile_work_fenced");
  EXPECT_FALSE(hold.owned());
  EXPECT_FALSE(threadHoldsSerialization());
  EXPECT_TRUE(freeForOthers());
}

TEST_F(SerializationHome, AnAbandonedMutexIsRecoveredAndReported) {
  if (releaseFlavour()) GTEST_SKIP() << "recovery cannot pass the strict check; it would poison";
  std::thread dying([&] { WaitForSingleObject(mutex_.get(), INFINITE); });
  dying.join();
  SerializationHold hold;
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(2000), SerializationClock::ordinary, target());
            }),
            "profile_recovery_required");
  EXPECT_FALSE(hold.owned());
  EXPECT_FALSE(isPoisoned());
  EXPECT_FALSE(threadHoldsSerialization());
  EXPECT_TRUE(freeForOthers());
  const std::string record = readRecordFile(home_ + L"\\state\\runtime\\servicing.json", true);
  EXPECT_NE(record.find("\"state\":\"RECOVERY_REQUIRED\""), std::string::npos);
  // From now on the selection is fenced.
  EXPECT_EQ(reasonOf([&] {
              acquireSerialization(hold, in(2000), SerializationClock::ordinary, target());
            }),
            "profile_work_fenced");
}

}  // namespace
}  // namespace nuvra
