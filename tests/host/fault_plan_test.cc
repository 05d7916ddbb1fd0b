#include "common/fault_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nuvra::FaultArm;

TEST(FaultPlan, ParsesEveryWellFormedPlanAndRefusesTheRest) {
  struct Case {
    const char* text;
    bool parses;
    std::vector<FaultArm> arms;
  };
  const Case cases[] = {
      {"", true, {}},
      {"launch.child_job:1:8", true, {{"launch.child_job", 1, 8}}},
      {"random.profile_account_nonce:2:87,a_b:4294967295:5",
       true,
       {{"random.profile_account_nonce", 2, 87}, {"a_b", 4294967295u, 5}}},
      {"site:0:8", false, {}},
      {"site:1:0", false, {}},
      {"site:01:8", false, {}},
      {"site:4294967296:8", false, {}},
      {"site:1:8,", false, {}},
      {",site:1:8", false, {}},
      {"Site:1:8", false, {}},
      {"site:1", false, {}},
      {"site:1:8:9", false, {}},
      {"site:+1:8", false, {}},
      {":1:8", false, {}},
      {"site name:1:8", false, {}},
  };
  for (const Case& c : cases) {
    const auto parsed = nuvra::parseFaultPlan(c.text);
    ASSERT_EQ(parsed.has_value(), c.parses) << c.text;
    if (parsed) {
      EXPECT_EQ(*parsed, c.arms) << c.text;
    }
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
