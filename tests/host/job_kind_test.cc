#include "addon/job_kind.h"

#include <gtest/gtest.h>

namespace {

using nuvra::JobKind;
using nuvra::settlementFailure;

TEST(JobSettlement, ACancelledJobRejectsAsCancelledEvenAfterASuccessfulExecute) {
  EXPECT_EQ(settlementFailure(false, ""), "profile_native_cancelled");
  EXPECT_EQ(settlementFailure(false, "profile_record_open"), "profile_native_cancelled");
}

TEST(JobSettlement, AFailedExecuteRejectsWithExactlyItsStoredReason) {
  EXPECT_EQ(settlementFailure(true, "profile_recovery_write"), "profile_recovery_write");
}

TEST(JobSettlement, ASuccessfulExecuteGoesOnToBuildTheValue) {
  EXPECT_TRUE(settlementFailure(true, "").empty());
}

TEST(JobKinds, RunFromZeroToSixteen) {
  EXPECT_FALSE(nuvra::isJobKind(-1));
  EXPECT_TRUE(nuvra::isJobKind(0));
  EXPECT_TRUE(nuvra::isJobKind(16));
  EXPECT_FALSE(nuvra::isJobKind(17));
  EXPECT_EQ(static_cast<int>(JobKind::kCommitTerminal), 16);
  EXPECT_EQ(static_cast<int>(JobKind::kExchange), 7);
}

TEST(JobKinds, OnlyDiagnosticAppendsAndTerminalPreparationsCloseALogWriter) {
  for (std::int32_t k = 0; k < nuvra::kJobKindCount; ++k) {
    const auto kind = static_cast<JobKind>(k);
    EXPECT_EQ(nuvra::writesDiagnosticLog(kind), k == 8 || k == 15) << k;
  }
}

}  // namespace
