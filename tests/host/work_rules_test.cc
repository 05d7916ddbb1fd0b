#include "work/work_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "../support/reason_of.h"
#include "common/text.h"
#include "work/budget.h"
#include "work/work_record.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

TEST(DeadlineWindow, HoldsUpToTheWindowAndStrictlyBeforeTheDeadline) {
  EXPECT_TRUE(deadlineHolds(1000, 4000, kOrdinaryWindowMs));
  EXPECT_FALSE(deadlineHolds(1000, 4001, kOrdinaryWindowMs));
  EXPECT_FALSE(deadlineHolds(1000, 1000, kOrdinaryWindowMs));
  EXPECT_FALSE(deadlineHolds(1001, 1000, kOrdinaryWindowMs));
  EXPECT_TRUE(deadlineHolds(1000, 31000, kJobStartupWindowMs));
  EXPECT_FALSE(deadlineHolds(1000, 31001, kJobStartupWindowMs));
  EXPECT_EQ(reasonOf([] { requireDeadline(5, 3006, kOrdinaryWindowMs); }),
            "profile_startup_timeout");
}

TEST(WorkPurposeRules, AcceptsTheThreeRolesAndSixOperations) {
  EXPECT_EQ(checkWorkPurpose("unbound_local", "-").operation, "");
  EXPECT_EQ(checkWorkPurpose("client", "turn_prompt").operation, "turn_prompt");
  EXPECT_EQ(checkWorkPurpose("server", "status").role, "server");
  for (const char* op : {"capture", "recall", "hello", "status", "shutdown", "turn_prompt"}) {
    EXPECT_EQ(checkWorkPurpose("client", op).operation, op);
  }
}

TEST(WorkPurposeRules, RefusesOtherRolesAndOperations) {
  EXPECT_EQ(reasonOf([] { checkWorkPurpose("Client", "-"); }), "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkWorkPurpose("client", "connect"); }), "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkWorkPurpose("client", ""); }), "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkWorkPurpose("client", "recall "); }), "profile_evidence_role");
}

TEST(BudgetTokenPurpose, OnlyAClientWorkOfTheSameOperationMayUseIt) {
  BudgetTerms terms{100, false, "recall"};
  EXPECT_EQ(reasonOf([&] { checkTokenPurpose(terms, {"client", "recall"}); }), "");
  EXPECT_EQ(reasonOf([&] {
              checkTokenPurpose(terms, {"server", "recall"});
            }),
            "profile_budget_class");
  EXPECT_EQ(reasonOf([&] {
              checkTokenPurpose(terms, {"client", "capture"});
            }),
            "profile_budget_class");
  EXPECT_EQ(reasonOf([&] { checkTokenPurpose(terms, {"client", ""}); }), "profile_budget_class");
}

TEST(WorkDeadlineRules, CapsWarmAtOneSecondAndColdAtThree) {
  EXPECT_EQ(workDeadline(10000, 5000.0, false, nullptr, 10000), 11000u);
  EXPECT_EQ(workDeadline(10000, 5000.0, true, nullptr, 10000), 13000u);
  EXPECT_EQ(workDeadline(10000, 250.9, false, nullptr, 10000), 10250u);
  EXPECT_EQ(workDeadline(10000, 1.0, false, nullptr, 10000), 10001u);
}

TEST(WorkDeadlineRules, RefusesBudgetsThatAreNotFiniteOrBelowOne) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double bad : {0.5, 0.0, -3.0, nan, inf, -inf}) {
    EXPECT_EQ(reasonOf([&] { workDeadline(10000, bad, false, nullptr, 10000); }),
              "profile_startup_timeout")
        << bad;
  }
}

TEST(WorkDeadlineRules, TakesTheEarlierTokenDeadline) {
  BudgetTerms token{10400, true, "recall"};
  EXPECT_EQ(workDeadline(10000, 3000.0, true, &token, 10000), 10400u);
  BudgetTerms late{20000, true, "recall"};
  EXPECT_EQ(workDeadline(10000, 3000.0, true, &late, 10000), 13000u);
}

TEST(WorkDeadlineRules, RefusesADeadlineAlreadyPassedWhenChecked) {
  EXPECT_EQ(reasonOf([] { workDeadline(10000, 100.0, false, nullptr, 10100); }),
            "profile_startup_timeout");
  EXPECT_EQ(reasonOf([] {
              workDeadline(std::numeric_limits<std::uint64_t>::max() - 5, 100.0, false, nullptr, 0);
            }),
            "profile_startup_timeout");
}

TEST(WorkValidity, ChecksActiveThenClassThenDeadlineThenPoison) {
  WorkTiming warm{1000, 2000, false};
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(true, warm, 1500, false); }), "");
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(false, warm, 9999, true); }), "profile_work_ended");
  WorkTiming tooLong{1000, 2001, false};
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(true, tooLong, 9999, true); }),
            "profile_budget_class");
  WorkTiming coldLong{1000, 4000, true};
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(true, coldLong, 1500, false); }), "");
  WorkTiming backwards{1000, 999, false};
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(true, backwards, 500, false); }),
            "profile_budget_class");
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(true, warm, 2000, true); }),
            "profile_startup_timeout");
  EXPECT_EQ(reasonOf([&] { checkWorkValidity(true, warm, 1500, true); }), "profile_poisoned");
}

TEST(WorkIds, StartAtOneAndStopBeforeTheLargestValue) {
  WorkIdCounter counter;
  EXPECT_EQ(counter.take(), 1u);
  EXPECT_EQ(counter.take(), 2u);
  counter.setNextForTesting(std::numeric_limits<std::uint64_t>::max() - 1);
  EXPECT_EQ(counter.take(), std::numeric_limits<std::uint64_t>::max() - 1);
  EXPECT_EQ(reasonOf([&] { counter.take(); }), "profile_work_limit");
  EXPECT_EQ(reasonOf([&] { counter.take(); }), "profile_work_limit");
}

TEST(LiveWorks, TheHundredAndTwentyNinthIsRefusedUntilOneLeaves) {
  LiveWorkCount count;
  for (std::size_t i = 0; i < kLiveWorkLimit; ++i) count.enter();
  EXPECT_EQ(reasonOf([&] { count.enter(); }), "profile_work_limit");
  EXPECT_EQ(count.current(), kLiveWorkLimit);
  count.leave();
  EXPECT_EQ(reasonOf([&] { count.enter(); }), "");
}

TEST(BudgetTokens, AreUsedOnceAndUnknownOnesAreRefused) {
  BudgetMap budgets;
  budgets[7] = BudgetEntry{7, 100, 1100, false, "hello"};
  BudgetTerms terms = takeBudgetToken(budgets, 7);
  EXPECT_EQ(terms.deadline, 1100u);
  EXPECT_FALSE(terms.cold);
  EXPECT_EQ(terms.operation, "hello");
  EXPECT_TRUE(budgets.empty());
  EXPECT_EQ(reasonOf([&] { takeBudgetToken(budgets, 7); }), "profile_budget_class");
}

TEST(ProfileWorkRecord, KeepsTheFixedKeyOrderAndValueForms) {
  GuardArrayBuilder guards;
  EXPECT_TRUE(guards.empty());
  guards.add(1204, "C:\\home\\state\\runtime\\lifetime.v1", 3405691582u, 0x0001000000000007ull);
  guards.add(1208, "C:\\home\\state\\runtime\\work.v1", 7, 9);
  ProfileWorkFields fields;
  fields.home = "C:\\home";
  fields.root = "C:\\home\\runtime\\1.2.3";
  fields.ownerSidHash = "ab";
  fields.payloadDigest = "cd";
  fields.generation = "42";
  fields.deadline = 18446744073709551615ull;
  fields.cold = true;
  fields.serialization = 100;
  fields.lifetime = 1204;
  fields.workRecord = 1208;
  fields.parent = 104;
  fields.parentPid = 4242;
  fields.guards = guards.text();
  EXPECT_EQ(profileWorkRecord(fields),
            "{\"schema_version\":\"nuvra.profile-work.v1\",\"home\":\"C:\\\\home\","
            "\"root\":\"C:\\\\home\\\\runtime\\\\1.2.3\",\"owner_sid_hash\":\"ab\","
            "\"payload_digest\":\"cd\",\"generation\":\"42\","
            "\"deadline_tick64\":\"18446744073709551615\",\"budget_class\":\"cold\","
            "\"s\":\"100\",\"l\":\"1204\",\"r\":\"1208\",\"parent\":\"104\",\"parent_pid\":4242,"
            "\"guards\":[{\"handle\":\"1204\",\"path\":"
            "\"C:\\\\home\\\\state\\\\runtime\\\\lifetime.v1\",\"volume\":3405691582,"
            "\"file_id\":\"281474976710663\"},{\"handle\":\"1208\",\"path\":"
            "\"C:\\\\home\\\\state\\\\runtime\\\\work.v1\",\"volume\":7,\"file_id\":\"9\"}]}");
  fields.cold = false;
  EXPECT_NE(profileWorkRecord(fields).find("\"budget_class\":\"warm\""), std::string::npos);
}

}  // namespace
}  // namespace nuvra
