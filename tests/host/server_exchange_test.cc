#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/reason_of.h"
#include "common/reason.h"
#include "server/server_evidence.h"
#include "server/server_exchange.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

const std::string kToken(64, 'e');
const std::string kInstance = "0123456789abcdef0123456789abcdef";
const std::string kLine =
    kToken + "\t0123abcd-0123-4567-89ab-0123456789ab\t7\t12\trecall\t" + kInstance + "\t5000";
const ServerBindingFacts kFacts{"12", "recall", 4000};

std::vector<std::string> lineFields() {
  return {kToken, "0123abcd-0123-4567-89ab-0123456789ab", "7", "12", "recall", kInstance, "5000"};
}

std::string joined(const std::vector<std::string>& fields) {
  std::string line;
  for (const auto& field : fields) line += (line.empty() ? "" : "\t") + field;
  return line;
}

TEST(ServerBinding, ChecksEveryFieldOfTheRequestLine) {
  struct Case {
    std::size_t field;
    std::string value;
    std::string reason;
  };
  const Case cases[] = {
      {0, std::string(63, 'e'), "broker_native_protocol_refused"},
      {0, std::string(64, 'E'), "broker_native_protocol_refused"},
      {1, "0123abcd-0123-4567-89ab-0123456789a", "broker_native_protocol_refused"},
      {1, "0123abcdX0123-4567-89ab-0123456789ab", "broker_native_protocol_refused"},
      {2, "0", "broker_native_protocol_refused"},
      {2, "-7", "broker_native_protocol_refused"},
      {3, "13", "broker_native_protocol_refused"},
      {4, "capture", "profile_evidence_role"},
      {5, std::string(31, 'a'), "broker_native_protocol_refused"},
      {6, "3999", "broker_native_protocol_refused"},
      {6, "4000", ""},
      {6, "0004000", ""},
      {6, "18446744073709551616", "broker_native_protocol_refused"},
  };
  EXPECT_EQ(reasonOf([] { checkServerRequestLine(kLine, kFacts); }), "");
  for (const auto& c : cases) {
    auto fields = lineFields();
    fields[c.field] = c.value;
    EXPECT_EQ(reasonOf([&] { checkServerRequestLine(joined(fields), kFacts); }), c.reason)
        << c.field << " " << c.value;
  }
  EXPECT_EQ(reasonOf([] { checkServerRequestLine(kLine + "\t1", kFacts); }),
            "broker_native_protocol_refused");
  EXPECT_EQ(reasonOf([] { checkServerRequestLine(kLine + "\n", kFacts); }),
            "broker_native_protocol_refused");
}

TEST(ServerBinding, BindsOnceAndNeverAfterSealing) {
  ServerExchangeState state;
  bindServerRequest(state, kLine);
  EXPECT_EQ(state.server_sequence, 1u);
  EXPECT_EQ(reasonOf([&] { bindServerRequest(state, kLine); }), "broker_native_protocol_refused");
  ServerExchangeState sealed;
  sealed.terminal_sealed = true;
  EXPECT_EQ(reasonOf([&] { bindServerRequest(sealed, kLine); }), "broker_native_protocol_refused");
}

// Applies the phases in order; the reason of the first refused one, or "".
std::string run(ServerExchangeState& state, const std::vector<std::string>& phases) {
  return reasonOf([&] {
    for (const auto& phase : phases) observeServerPhase(state, "server", phase, "none", [] {});
  });
}

ServerExchangeState bound() {
  ServerExchangeState state;
  bindServerRequest(state, kLine);
  return state;
}

TEST(ServerPhases, OrderAndSendBounds) {
  struct Case {
    std::vector<std::string> phases;
    std::string reason;
  };
  std::vector<std::string> eightAccounts{"admitted"};
  for (int i = 0; i < 4; ++i)
    eightAccounts.insert(eightAccounts.end(), {"account_pending", "account"});
  for (int i = 0; i < 4; ++i) eightAccounts.push_back("account_pending");
  std::vector<std::string> ninth = eightAccounts;
  ninth.push_back("account_pending");
  const Case cases[] = {
      {{"admitted", "account_pending", "account", "memory_pending", "memory"}, ""},
      {{"account_pending"}, "broker_native_protocol_refused"},
      {{"admitted", "admitted"}, "broker_native_protocol_refused"},
      {{"admitted", "account"}, "broker_native_protocol_refused"},
      {{"admitted", "memory_pending", "account"}, "broker_native_protocol_refused"},
      {{"admitted", "received"}, "broker_native_protocol_refused"},
      {eightAccounts, ""},
      {ninth, "broker_native_protocol_refused"},
  };
  for (const auto& c : cases) {
    ServerExchangeState state = bound();
    EXPECT_EQ(run(state, c.phases), c.reason) << c.phases.size();
  }
  // A refused phase changes nothing.
  ServerExchangeState state = bound();
  ASSERT_EQ(run(state, eightAccounts), "");
  EXPECT_EQ(run(state, {"account_pending"}), "broker_native_protocol_refused");
  EXPECT_EQ(state.account_pending, 4u);
  EXPECT_EQ(state.server_account_sends, 4u);
  EXPECT_EQ(state.server_sequence, 14u);
}

TEST(ServerPhases, RoleReasonAndWorkChecks) {
  ServerExchangeState unbound;
  EXPECT_EQ(reasonOf([&] { observeServerPhase(unbound, "server", "admitted", "none", [] {}); }),
            "broker_native_protocol_refused");
  ServerExchangeState state = bound();
  EXPECT_EQ(reasonOf([&] { observeServerPhase(state, "client", "admitted", "none", [] {}); }),
            "profile_evidence_role");
  EXPECT_EQ(
      reasonOf([&] { observeServerPhase(state, "server", "admitted", "broker_failed", [] {}); }),
      "broker_native_protocol_refused");
  EXPECT_EQ(reasonOf([&] {
              observeServerPhase(state, "server", "admitted", "none",
                                 [] { fail("profile_work_ended"); });
            }),
            "profile_work_ended");
  EXPECT_EQ(state.server_phase, "received");
  EXPECT_EQ(
      reasonOf([&] { observeServerPhase(state, "server", "terminal", "not_a_reason", [] {}); }),
      "broker_native_protocol_refused");
  EXPECT_EQ(observeServerPhase(state, "server", "terminal", "unclassified", [] {}),
            ServerPhaseStep::sealTerminal);
  EXPECT_TRUE(sealServerState(state, "unclassified", false));
  EXPECT_EQ(reasonOf([&] { observeServerPhase(state, "server", "terminal", "none", [] {}); }),
            "broker_native_protocol_refused");
  EXPECT_FALSE(sealServerState(state, "none", false));
  EXPECT_EQ(state.sealed_reason, "unclassified");
}

TEST(PhaseAudit, LinesOfTheSealedStates) {
  const std::string prefix = "NUVRA_AUDIT_V3\tserver\t" + kLine + "\t21\t";
  struct Case {
    std::vector<std::string> phases;
    const char* reason;
    std::string tail;
  };
  const Case cases[] = {
      {{},
       "broker_deadline_refused",
       "2\trefused_queue\tbroker_deadline_refused\tnone\t1\t1\t0\t0\n"},
      {{"admitted"},
       "broker_deadline_refused",
       "3\tterminal\tbroker_deadline_refused\tnone\t1\t1\t0\t0\n"},
      {{"admitted", "account_pending"},
       "broker_failed",
       "4\tterminal\tbroker_failed\tpossible\t1\t0\tnull\tnull\n"},
      {{"admitted", "memory_pending", "memory"},
       "none",
       "5\tterminal\tnone\tpossible\t1\t1\t0\t1\n"},
  };
  for (const auto& c : cases) {
    ServerExchangeState state = bound();
    ASSERT_EQ(run(state, c.phases), "");
    ASSERT_TRUE(sealServerState(state, c.reason, false));
    EXPECT_EQ(state.logging_status, "unavailable");
    EXPECT_EQ(phaseAuditLine(state, 21), prefix + c.tail);
  }
  ServerExchangeState off = bound();
  EXPECT_FALSE(sealServerState(off, "none", true));
  EXPECT_EQ(off.logging_status, "disabled");
  EXPECT_TRUE(off.terminal_sealed);

  const std::string image = phaseAuditImage("ab\n");
  EXPECT_EQ(image.size(), 4096u);
  EXPECT_EQ(image, std::string("ab\n") + std::string(4093, '\0'));
  EXPECT_EQ(phaseAuditImage(std::string(4096, 'x')).size(), 4096u);
  EXPECT_EQ(reasonOf([] { phaseAuditImage(std::string(4097, 'x')); }), "diagnostic_record_invalid");
  EXPECT_EQ(phaseAuditFileName(std::string(64, 'f')), L"phase-" + std::wstring(64, L'f') + L".bin");
  EXPECT_EQ(reasonOf([] { phaseAuditFileName("..\\x"); }), "broker_native_protocol_refused");
}

// What every reader of the audit files calls whole and what it calls torn;
// the images are written out here, byte by byte, not built by the writer.
TEST(PhaseAudit, OnlyAWholeImageIsWhole) {
  const std::string line =
      "NUVRA_AUDIT_V3\tserver\t" + kLine + "\t21\t5\tterminal\tnone\tnone\t1\t1\t0\t0\n";
  const auto padded = [](std::string text, std::size_t size) {
    text.resize(size, '\0');
    return text;
  };
  const std::string whole = padded(line, 4096);
  struct Case {
    const char* name;
    std::string bytes;
    bool whole;
  };
  const Case cases[] = {
      {"a sealed line padded to 4096", whole, true},
      {"a line filling all 4096 bytes", padded("NUVRA_AUDIT_V3\tserver\t", 4095) + "\n", true},
      {"empty, as a kill after creation left it", "", false},
      {"one byte short", whole.substr(0, 4095), false},
      {"the line alone", line, false},
      {"one byte long", whole + std::string(1, '\0'), false},
      {"no line feed", padded("NUVRA_AUDIT_V3\tserver\tx", 4096), false},
      {"a byte after the zeros", whole.substr(0, 4095) + "x", false},
      {"another version's head", padded("NUVRA_AUDIT_V2\tserver\tx\n", 4096), false},
      {"zeros only", std::string(4096, '\0'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(isWholePhaseAudit(c.bytes), c.whole) << c.name;
  EXPECT_EQ(phaseAuditTemporaryName(std::string(64, 'f'), "0123456789abcdef"),
            L"phase-" + std::wstring(64, L'f') + L".0123456789abcdef.tmp");
  EXPECT_EQ(reasonOf([] { phaseAuditTemporaryName(std::string(64, 'f'), "..\\x"); }),
            "broker_native_protocol_refused");
}

TEST(IngressRemaining, AtMostOneSecondAheadAndZeroOncePassed) {
  EXPECT_EQ(ingressRemaining("11000", 10000), 1000u);
  EXPECT_EQ(ingressRemaining("10001", 10000), 1u);
  EXPECT_EQ(ingressRemaining("9000", 10000), 0u);
  EXPECT_EQ(ingressRemaining("000011000", 10000), 1000u);
  for (const char* bad : {"11001", "0", "", "-5", "1e3", "18446744073709551616"}) {
    EXPECT_EQ(reasonOf([&] { ingressRemaining(bad, 10000); }), "broker_native_protocol_refused")
        << bad;
  }
}

TEST(ServerOutcome, BeforeBindingAndAfterTheTerminalPhase) {
  ServerExchangeState fresh;
  EXPECT_EQ(
      serverOutcomeText(fresh, 5, "recall"),
      "{\"role\":\"server\",\"owner_work\":\"5\",\"server_work\":\"5\",\"operation\":\"recall\","
      "\"correlation\":\"\",\"sequence\":0,\"last_verified_phase\":\"received\","
      "\"terminal_sealed\":false,\"counts_complete\":false,\"account_send_count\":null,"
      "\"memory_send_count\":null,\"server_reason\":null,\"logging_status\":\"unknown\"}");
  EXPECT_EQ(serverEvidenceText(fresh, 5, ""),
            "{\"role\":\"server\",\"source\":\"native_server_owner\",\"owner_work\":\"5\","
            "\"server_work\":\"5\",\"correlation_hash\":null,\"sequence\":0,"
            "\"last_verified_phase\":\"received\",\"terminal_sealed\":null,\"server_reason\":null,"
            "\"counts_complete\":false,\"account_send_count\":null,\"memory_send_count\":null,"
            "\"effect_certainty\":\"unknown\",\"logging_status\":\"unknown\"}");

  ServerExchangeState done = bound();
  ASSERT_EQ(run(done, {"admitted", "account_pending", "account"}), "");
  ASSERT_TRUE(sealServerState(done, "none", false));
  done.logging_status = "recorded";
  EXPECT_EQ(
      serverOutcomeText(done, 5, "recall"),
      "{\"role\":\"server\",\"owner_work\":\"5\",\"server_work\":\"5\",\"operation\":\"recall\","
      "\"correlation\":\"" +
          kToken +
          "\\u00090123abcd-0123-4567-89ab-0123456789ab\\u00097"
          "\\u000912\\u0009recall\\u0009" +
          kInstance +
          "\\u00095000\",\"sequence\":5,"
          "\"last_verified_phase\":\"terminal\",\"terminal_sealed\":true,\"counts_complete\":true,"
          "\"account_send_count\":1,\"memory_send_count\":0,\"server_reason\":\"none\","
          "\"logging_status\":\"recorded\"}");
  EXPECT_EQ(
      serverEvidenceText(done, 5, "h"),
      "{\"role\":\"server\",\"source\":\"native_server_owner\",\"owner_work\":\"5\","
      "\"server_work\":\"5\",\"correlation_hash\":\"h\",\"sequence\":5,"
      "\"last_verified_phase\":\"terminal\",\"terminal_sealed\":true,\"server_reason\":\"none\","
      "\"counts_complete\":true,\"account_send_count\":1,\"memory_send_count\":0,"
      "\"effect_certainty\":\"unknown\",\"logging_status\":\"recorded\"}");

  ServerExchangeState queued = bound();
  ASSERT_TRUE(sealServerState(queued, "broker_deadline_refused", false));
  EXPECT_NE(
      serverOutcomeText(queued, 5, "recall").find("\"last_verified_phase\":\"refused_queue\""),
      std::string::npos);
  const std::string evidence = serverEvidenceText(queued, 5, "h");
  EXPECT_NE(evidence.find("\"last_verified_phase\":\"terminal\""), std::string::npos);
  EXPECT_NE(evidence.find("\"effect_certainty\":\"none\""), std::string::npos);
}

}  // namespace
}  // namespace nuvra
