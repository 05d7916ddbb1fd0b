#include "common/vocabulary.h"

#include <gtest/gtest.h>

namespace nuvra {
namespace {

TEST(Vocabulary, SetsHaveTheirFullSize) {
  EXPECT_EQ(operationNames.size(), 13u);
  EXPECT_EQ(evidenceStages.size(), 32u);
  EXPECT_EQ(terminalReasons.size(), 145u);
  EXPECT_EQ(outcomeStates.size(), 27u);
}

TEST(Vocabulary, MembershipIsExactAndCaseSensitive) {
  EXPECT_TRUE(isMember(operationNames, "connect"));
  EXPECT_FALSE(isMember(operationNames, "Connect"));
  EXPECT_FALSE(isMember(operationNames, "connect "));
  EXPECT_FALSE(isMember(operationNames, ""));
  EXPECT_TRUE(isMember(operationNames, "turn_prompt"));
}

TEST(Vocabulary, EvidenceStagesIncludeTerminalAndUnknownButNotAcceptance) {
  EXPECT_TRUE(isMember(evidenceStages, "terminal"));
  EXPECT_TRUE(isMember(evidenceStages, "unknown"));
  EXPECT_FALSE(isMember(evidenceStages, "acceptance"));
}

TEST(Vocabulary, DiagnosticCleanupReasonSortsAfterCleanupUncertain) {
  EXPECT_TRUE(isMember(terminalReasons, "profile_diagnostic_cleanup_uncertain"));
  EXPECT_TRUE(isMember(terminalReasons, "profile_cleanup_uncertain"));
  EXPECT_LT(std::string_view("profile_cleanup_uncertain"),
            std::string_view("profile_diagnostic_cleanup_uncertain"));
}

TEST(Vocabulary, SetsAreIndependent) {
  EXPECT_TRUE(isMember(outcomeStates, "arguments_invalid"));
  EXPECT_FALSE(isMember(terminalReasons, "arguments_invalid"));
  EXPECT_TRUE(isMember(outcomeStates, "release_account_mismatch"));
  EXPECT_TRUE(isMember(terminalReasons, "release_account_mismatch"));
  EXPECT_FALSE(isMember(outcomeStates, "none"));
  EXPECT_TRUE(isMember(terminalReasons, "none"));
}

// Every "unexpected_" reason but one names one of the first 25 evidence stages.
TEST(Vocabulary, UnexpectedReasonsMirrorTheFirstEvidenceStages) {
  // clang-format off
  const char* const stages[] = {
      "protected_input", "state_binding", "credential_witness", "signing_key_read",
      "signing_key_validate", "exchange_prepare", "exchange_journal", "exchange_http",
      "exchange_response_validate", "browser_result_accept", "final_signing_write_readback",
      "final_refresh_write_readback", "manifest_publish", "commit_journal_publish",
      "retired_key_cleanup", "access_result_construct", "browser_pending_retire",
      "pending_journal_retire", "lock_lease_release", "worker_cleanup", "request_cleanup",
      "native_end", "evidence_association", "public_projection", "terminal_observation"};
  // clang-format on
  for (const char* stage : stages) {
    EXPECT_TRUE(isMember(evidenceStages, stage)) << stage;
    EXPECT_TRUE(isMember(terminalReasons, std::string("unexpected_") + stage)) << stage;
  }
  EXPECT_TRUE(isMember(terminalReasons, "unexpected_acceptance"));
  EXPECT_FALSE(isMember(terminalReasons, "unexpected_local_preparation"));
}

}  // namespace
}  // namespace nuvra
