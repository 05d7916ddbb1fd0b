#include "work/observation.h"

#include <gtest/gtest.h>

#include <string>

#include "../support/reason_of.h"
#include "diagnostics/event.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

TEST(ObservationPurpose, OnlyTheTwoExactWords) {
  struct Case {
    const char* purpose;
    const char* reason;
  };
  const Case cases[] = {
      {"identity", ""},
      {"residency", ""},
      {"Identity", "profile_observation_purpose"},
      {"RESIDENCY", "profile_observation_purpose"},
      {"", "profile_observation_purpose"},
      {"identity ", "profile_observation_purpose"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { observationPurpose(c.purpose); }), c.reason) << c.purpose;
  }
  EXPECT_EQ(observationPurpose("identity"), ObservationPurpose::kIdentity);
  EXPECT_EQ(observationPurpose("residency"), ObservationPurpose::kResidency);
}

TEST(ObservationText, KeysInOrderWithoutSpaces) {
  const std::string owner(64, 'a');
  const std::string logon(64, 'b');
  EXPECT_EQ(identityObservation(owner, logon, 4294967295u),
            "{\"owner_sid_hash\":\"" + owner + "\",\"authentication_id_hash\":\"" + logon +
                "\",\"windows_session_id\":4294967295}");
  const std::string image(64, 'c');
  struct Case {
    bool inJob;
    const char* scope;
  };
  for (const Case& c : {Case{false, "machine"}, Case{true, "harness_session"}}) {
    EXPECT_EQ(residencyObservation(c.inJob, 4120, "133000000000000000", image),
              std::string("{\"broker_scope\":\"") + c.scope +
                  "\",\"pid\":4120,\"process_creation_filetime\":\"133000000000000000\","
                  "\"image_path_sha256\":\"" +
                  image + "\"}");
  }
}

TEST(UtcStamp, IsZeroPaddedToItsWidths) {
  EXPECT_EQ(utcStampText({2026, 3, 4, 5, 6, 7, 8}), "2026-03-04T05:06:07.008Z");
  EXPECT_EQ(utcStampText({30827, 12, 31, 23, 59, 59, 999}), "30827-12-31T23:59:59.999Z");
}

}  // namespace
}  // namespace nuvra
