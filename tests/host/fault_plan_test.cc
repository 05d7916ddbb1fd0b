#include "common/fault_plan.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using nuvra::FaultArm;

TEST(FaultPlan, ParsesEveryWellFormedPlan) {
  const std::pair<const char*, std::vector<FaultArm>> cases[] = {
      {"", {}},
      {"launch.child_job:1:8", {{"launch.child_job", 1, 8}}},
      {"random.profile_account_nonce:2:87,a_b:4294967295:5",
       {{"random.profile_account_nonce", 2, 87}, {"a_b", 4294967295u, 5}}},
  };
  for (const auto& [text, arms] : cases) EXPECT_EQ(nuvra::parseFaultPlan(text), arms) << text;
}

TEST(FaultPlan, RefusesAPlanWithAnyMalformedEntry) {
  for (const char* text :
       {"site:0:8", "site:1:0", "site:01:8", "site:4294967296:8", "site:1:8,", ",site:1:8",
        "Site:1:8", "site:1", "site:1:8:9", "site:+1:8", ":1:8", "site name:1:8"}) {
    EXPECT_EQ(nuvra::parseFaultPlan(text), std::nullopt) << text;
  }
}

TEST(FaultPlan, FiresOnlyTheArmedCallOfItsSite) {
  nuvra::FaultPlan plan(*nuvra::parseFaultPlan("a:3:5,random.nonce:1:87"));
  std::vector<std::string> fired;
  const char* const calls[][2] = {{"a", ""},           {"b", ""}, {"a", ""}, {"random", "other"},
                                  {"random", "nonce"}, {"a", ""}, {"a", ""}, {"random", "nonce"}};
  for (const auto& call : calls) {
    std::uint32_t error = 0;
    if (plan.fires(call[0], call[1], error)) {
      fired.push_back(std::string(call[0]) + "/" + call[1] + "=" + std::to_string(error));
    }
  }
  EXPECT_EQ(fired, (std::vector<std::string>{"random/nonce=87", "a/=5"}));
}

}  // namespace
