#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <string>

#include "../support/reason_of.h"
#include "exchange/client_evidence.h"
#include "exchange/exchange_rules.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

struct Entry {
  std::uint64_t deadline = 0;
};

TEST(BrokerBudget, OperationsClassesAndDeadlines) {
  EXPECT_EQ(reasonOf([] { checkBudgetOperation("logout"); }), "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkBudgetOperation("status"); }), "");
  EXPECT_EQ(brokerBudgetDeadline(5000, false, 5000), 6000u);
  EXPECT_EQ(brokerBudgetDeadline(5000, true, 7999), 8000u);
  EXPECT_EQ(reasonOf([] { brokerBudgetDeadline(5000, false, 6000); }), "profile_startup_timeout");
}

TEST(BrokerBudget, TheHundredAndTwentyNinthLiveBudgetIsRefusedUntilOthersExpire) {
  std::map<std::uint64_t, Entry> budgets;
  for (std::uint64_t token = 1; token <= 128; ++token) budgets[token] = Entry{1000 + token};
  EXPECT_EQ(reasonOf([&] { admitBudget(budgets, 1000); }), "profile_work_limit");
  EXPECT_EQ(budgets.size(), 128u);
  // At 1001 the budget whose deadline is 1001 has expired.
  EXPECT_EQ(reasonOf([&] { admitBudget(budgets, 1001); }), "");
  EXPECT_EQ(budgets.size(), 127u);
  EXPECT_EQ(budgets.count(1), 0u);
}

TEST(BrokerBudget, TokensStartAtOneAndStopWhenTheCounterWraps) {
  std::atomic<std::uint64_t> counter{1};
  EXPECT_EQ(issueBudgetToken(counter), 1u);
  EXPECT_EQ(issueBudgetToken(counter), 2u);
  counter = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(reasonOf([&] { issueBudgetToken(counter); }), "profile_work_limit");
  EXPECT_EQ(reasonOf([&] { issueBudgetToken(counter); }), "profile_work_limit");  // now 0
}

TEST(ExchangeArguments, RoleOperationBudgetAndDeadline) {
  EXPECT_EQ(reasonOf([] { checkExchangeRole(true, "unbound_local"); }), "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkExchangeRole(false, "unbound_local"); }), "");
  EXPECT_EQ(reasonOf([] { checkExchangeRole(false, "server"); }), "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkExchangeBudget(true); }), "profile_budget_class");
  EXPECT_EQ(reasonOf([] { checkExchangeOperation(true, "recall", "capture"); }),
            "profile_evidence_role");
  EXPECT_EQ(reasonOf([] { checkExchangeOperation(false, "logout", ""); }),
            "broker_native_protocol_refused");
  EXPECT_EQ(reasonOf([] { checkExchangeOperation(false, "recall", ""); }), "");
  EXPECT_EQ(exchangeDeadline(1000, 50, 1800), 1050u);
  EXPECT_EQ(exchangeDeadline(1000, 15000, 1800), 1800u);
}

TEST(ExchangeStageRecord, FollowsTheIngressKeysWithTransportFields) {
  ExchangeStageFacts facts;
  facts.event_id = "tok";
  facts.diagnostic_id = "did";
  facts.scope = "worker";
  facts.utc = "2026-01-02T03:04:05.006Z";
  facts.pid = 77;
  facts.stage = kStageExchangeTerminal;
  facts.failed = true;
  facts.pipe_bytes_written = 12;
  facts.pipe_bytes_read = 3;
  facts.native_win32_error = -5;
  facts.event_created = 100;
  facts.work_deadline = 900;
  facts.now = 400;
  facts.operation = "recall";
  facts.request_id = "r\"id";
  facts.memory_event_id = "m";
  EXPECT_EQ(
      exchangeStageRecord(facts),
      "{\"schema_version\":\"nuvra.local-diagnostic.v1\",\"event\":\"stage\","
      "\"event_id\":\"tok\",\"diagnostic_id\":\"did\",\"operation\":\"worker\","
      "\"utc\":\"2026-01-02T03:04:05.006Z\",\"pid\":77,\"stage\":\"profile_exchange_terminal\","
      "\"outcome\":\"failed\",\"reason\":\"broker_native_transport_failed\","
      "\"pipe_bytes_written\":12,\"pipe_bytes_read\":3,\"native_win32_error\":-5,"
      "\"event_elapsed_ms\":300,\"remaining_work_ms\":500,\"transport_operation\":\"recall\","
      "\"transport_request_id\":\"r\\\"id\",\"memory_event_id\":\"m\"}\n");
  facts.failed = false;
  facts.now = 901;
  const std::string late = exchangeStageRecord(facts);
  EXPECT_NE(late.find("\"outcome\":\"succeeded\",\"reason\":\"none\""), std::string::npos);
  EXPECT_NE(late.find("\"remaining_work_ms\":0,"), std::string::npos);
  EXPECT_EQ(memoryEventIdInput("ab"), std::string("nuvra-memory-event-v1\0ab", 24));
}

ExchangeProgress progress(bool closed, bool submitted, const std::string& phase) {
  ExchangeProgress p;
  p.dispatch_closed = closed;
  p.dispatch_submitted = submitted;
  p.last_verified_phase = phase;
  return p;
}

TEST(ClientEvidence, DispatchProofCertaintyAndRetry) {
  struct Case {
    const char* name;
    ExchangeProgress progress;
    const char* operation;
    const char* hash;
    std::string evidence;
  };
  ExchangeProgress terminalNoMemory = progress(false, true, "terminal");
  terminalNoMemory.request_line = "L";
  terminalNoMemory.terminal_observed = true;
  terminalNoMemory.server_reason = "none";
  terminalNoMemory.account_send_count = 1;
  ExchangeProgress terminalMemory = terminalNoMemory;
  terminalMemory.memory_send_count = 1;
  const Case cases[] = {
      {"closed before sending", progress(true, false, "never_sent"), "capture", "",
       "{\"role\":\"client\",\"owner_work\":\"7\",\"correlation_hash\":null,"
       "\"last_verified_phase\":\"never_sent\",\"dispatch_submitted\":false,"
       "\"no_dispatch_proven\":true,\"terminal_observed\":null,\"terminal_reason\":null,"
       "\"cleanup_confirmed\":true,\"effect_certainty\":\"none\",\"retry_may_duplicate\":false,"
       "\"saved\":null,\"delivered\":null,\"dropped\":null}"},
      {"capture broken after started", progress(true, true, "started"), "capture", "h",
       "{\"role\":\"client\",\"owner_work\":\"7\",\"correlation_hash\":\"h\","
       "\"last_verified_phase\":\"started\",\"dispatch_submitted\":true,"
       "\"no_dispatch_proven\":null,\"terminal_observed\":null,\"terminal_reason\":null,"
       "\"cleanup_confirmed\":true,\"effect_certainty\":\"possible\",\"retry_may_duplicate\":true,"
       "\"saved\":null,\"delivered\":null,\"dropped\":null}"},
      {"open and unsent", progress(false, false, "never_sent"), "capture", "h",
       "{\"role\":\"client\",\"owner_work\":\"7\",\"correlation_hash\":\"h\","
       "\"last_verified_phase\":\"never_sent\",\"dispatch_submitted\":null,"
       "\"no_dispatch_proven\":null,\"terminal_observed\":null,\"terminal_reason\":null,"
       "\"cleanup_confirmed\":true,\"effect_certainty\":\"unknown\",\"retry_may_duplicate\":true,"
       "\"saved\":null,\"delivered\":null,\"dropped\":null}"},
      {"terminal without a memory send", terminalNoMemory, "capture", "h",
       "{\"role\":\"client\",\"owner_work\":\"7\",\"correlation_hash\":\"h\","
       "\"last_verified_phase\":\"terminal\",\"dispatch_submitted\":true,"
       "\"no_dispatch_proven\":null,\"terminal_observed\":true,\"terminal_reason\":\"none\","
       "\"cleanup_confirmed\":true,\"effect_certainty\":\"possible\",\"retry_may_duplicate\":false,"
       "\"saved\":null,\"delivered\":null,\"dropped\":null}"},
      {"terminal with a memory send", terminalMemory, "capture", "h",
       "{\"role\":\"client\",\"owner_work\":\"7\",\"correlation_hash\":\"h\","
       "\"last_verified_phase\":\"terminal\",\"dispatch_submitted\":true,"
       "\"no_dispatch_proven\":null,\"terminal_observed\":true,\"terminal_reason\":\"none\","
       "\"cleanup_confirmed\":true,\"effect_certainty\":\"possible\",\"retry_may_duplicate\":true,"
       "\"saved\":null,\"delivered\":null,\"dropped\":null}"},
      {"recall never duplicates", terminalMemory, "recall", "h",
       "{\"role\":\"client\",\"owner_work\":\"7\",\"correlation_hash\":\"h\","
       "\"last_verified_phase\":\"terminal\",\"dispatch_submitted\":true,"
       "\"no_dispatch_proven\":null,\"terminal_observed\":true,\"terminal_reason\":\"none\","
       "\"cleanup_confirmed\":true,\"effect_certainty\":\"possible\",\"retry_may_duplicate\":false,"
       "\"saved\":null,\"delivered\":null,\"dropped\":null}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clientEvidenceText(c.progress, 7, c.operation, c.hash), c.evidence) << c.name;
  }
}

TEST(ExchangeOutcome, ReportsProgressAndProvesNoDispatchAfterTheDeadline) {
  const ExchangeProgress unsent = progress(false, false, "never_sent");
  const std::string before =
      "{\"role\":\"client\",\"owner_work\":\"3\",\"server_work\":null,\"terminal_observed\":false,"
      "\"no_dispatch_proven\":null,\"dispatch_submitted\":false,"
      "\"last_verified_phase\":\"never_sent\",\"operation\":\"\",\"terminal_reason\":null,"
      "\"server_reason\":null,\"sequence\":0,\"account_send_count\":null,"
      "\"memory_send_count\":null,\"correlation\":\"\"}";
  EXPECT_EQ(exchangeOutcomeText(unsent, 3, false), before);
  std::string after = before;
  after.replace(after.find("\"no_dispatch_proven\":null"), 25, "\"no_dispatch_proven\":true");
  EXPECT_EQ(exchangeOutcomeText(unsent, 3, true), after);

  ExchangeProgress arrival = progress(false, true, "refused_arrival");
  arrival.terminal_observed = true;
  arrival.server_work = "-";
  arrival.server_reason = "broker_deadline_refused";
  arrival.sequence = 1;
  arrival.operation = "hello";
  arrival.request_line = "a\tb";
  EXPECT_EQ(exchangeOutcomeText(arrival, 3, true),
            "{\"role\":\"client\",\"owner_work\":\"3\",\"server_work\":null,"
            "\"terminal_observed\":true,\"no_dispatch_proven\":null,\"dispatch_submitted\":true,"
            "\"last_verified_phase\":\"refused_arrival\",\"operation\":\"hello\","
            "\"terminal_reason\":\"broker_deadline_refused\","
            "\"server_reason\":\"broker_deadline_refused\",\"sequence\":1,"
            "\"account_send_count\":0,\"memory_send_count\":0,\"correlation\":\"a\\u0009b\"}");
  EXPECT_EQ(terminalFrameEvidenceText(arrival, "h"),
            "{\"role\":\"server\",\"source\":\"authenticated_terminal_frame\",\"owner_work\":null,"
            "\"server_work\":null,\"correlation_hash\":\"h\",\"sequence\":1,"
            "\"last_verified_phase\":\"refused_arrival\",\"terminal_sealed\":null,"
            "\"server_reason\":\"broker_deadline_refused\",\"counts_complete\":true,"
            "\"account_send_count\":0,\"memory_send_count\":0,\"effect_certainty\":\"none\","
            "\"logging_status\":\"unknown\"}");
}

TEST(ClientEndEvidence, KeepsTheTerminalFramesViewOnlyForAKnownTerminalReason) {
  struct Case {
    const char* name;
    bool terminal;
    const char* requestLine;
    const char* reason;
    const char* refused;
    const char* serverView;  // what the client's evidence says of the frame
    std::string server;
  };
  const Case cases[] = {
      {"a terminal frame with a terminal reason", true, "L", "broker_deadline_refused", "",
       "\"terminal_observed\":true,\"terminal_reason\":\"broker_deadline_refused\"",
       "{\"role\":\"server\",\"source\":\"authenticated_terminal_frame\",\"owner_work\":null,"
       "\"server_work\":\"9\",\"correlation_hash\":\"h\",\"sequence\":4,"
       "\"last_verified_phase\":\"terminal\",\"terminal_sealed\":null,"
       "\"server_reason\":\"broker_deadline_refused\",\"counts_complete\":true,"
       "\"account_send_count\":1,\"memory_send_count\":0,\"effect_certainty\":\"possible\","
       "\"logging_status\":\"unknown\"}"},
      // Well formed on the wire, but the host maps it before a terminal frame.
      {"a terminal frame with another reason", true, "L", "credential_missing", "terminal_invalid",
       "", ""},
      // Without a bound request line nothing was authenticated.
      {"no request line", true, "", "credential_missing", "",
       "\"terminal_observed\":null,\"terminal_reason\":null", ""},
      {"no terminal frame", false, "L", "", "",
       "\"terminal_observed\":null,\"terminal_reason\":null", ""},
  };
  for (const Case& c : cases) {
    ExchangeProgress p = progress(false, true, "terminal");
    p.terminal_observed = c.terminal;
    p.request_line = c.requestLine;
    p.server_reason = c.reason;
    p.server_work = "9";
    p.sequence = 4;
    p.account_send_count = 1;
    ClientEndEvidence evidence;
    EXPECT_EQ(reasonOf([&] { evidence = clientEndEvidence(p, 5, "capture", "h"); }), c.refused)
        << c.name;
    EXPECT_EQ(evidence.server, c.server) << c.name;
    if (*c.refused != '\0') {
      EXPECT_EQ(evidence.client, "") << c.name;
      continue;
    }
    EXPECT_TRUE(evidence.client.starts_with("{\"role\":\"client\",\"owner_work\":\"5\","))
        << c.name;
    EXPECT_NE(evidence.client.find(c.serverView), std::string::npos) << c.name << evidence.client;
  }
}

}  // namespace
}  // namespace nuvra
