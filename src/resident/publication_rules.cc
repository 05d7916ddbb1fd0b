#include "resident/publication_rules.h"

#include <array>

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::array<std::string_view, 14> kNamedRefusals = {
    "profile_security",
    "broker_publication_recovery_required",
    "broker_publication_failed",
    "profile_resident_validation_required",
    "profile_resident_work_unsettled",
    "profile_account_busy",
    "profile_account_unavailable",
    "profile_account_exited",
    "broker_native_exited",
    "broker_endpoint_invalid",
    "broker_native_peer_refused",
    "profile_resident_unavailable",
    "broker_startup_ceiling_expired",
    "profile_cleanup_uncertain",
};

std::wstring widen(std::string_view ascii) {
  std::wstring out;
  for (char c : ascii) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::wstring brokerDirectoryPath(std::wstring_view home) {
  return std::wstring(home) + std::wstring(kBrokerStatePath);
}

std::wstring endpointPath(std::wstring_view home) {
  return std::wstring(home) + std::wstring(kEndpointRecordPath);
}

std::wstring temporaryEndpointPath(std::wstring_view home, std::string_view nonce) {
  if (nonce.size() != 64) fail("profile_resident_nonce");
  for (char c : nonce) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) fail("profile_resident_nonce");
  }
  return brokerDirectoryPath(home) + L"\\endpoint." + widen(nonce) + L".tmp";
}

std::wstring endpointSearchPattern(std::wstring_view home) {
  return brokerDirectoryPath(home) + L"\\endpoint*";
}

bool isPublicationDirectorySecurity(const SecurityFacts& facts,
                                    std::wstring_view userSid) noexcept {
  return isStrictlyOwnerOnly(facts, userSid, OwnedObject::directory) &&
         facts.aces.front().flags == kObjectAndContainerInherit;
}

PublicationEnd finishPublication(ResidentPhaseWord& phase, std::uint64_t (*tick)(),
                                 std::uint64_t ceiling) {
  // 16.
  if (!phase.leavePending(ResidentPhase::published)) fail("broker_startup_ceiling_expired");
  // 17.
  return tick() < ceiling ? PublicationEnd::activate : PublicationEnd::expire;
}

std::string_view classifyPublicationRefusal(std::string_view reason) noexcept {
  for (std::string_view named : kNamedRefusals) {
    if (reason == named) return named;
  }
  return "native_unclassified";
}

std::string publicationRefusedLine(std::string_view reason, const CeilingTimes& times) {
  return RecordBuilder()
      .string("schema_version", "nuvra.resident-startup-diagnostic.v1")
      .string("scope", "resident_startup")
      .string("stage", "publication_refused")
      .string("error_kind", "native_exception")
      .string("error_code", classifyPublicationRefusal(reason))
      .number("elapsed_ms", times.elapsed)
      .number("remaining_ms", times.remaining)
      .line();
}

std::string publicationRefusedCheckpoint(std::string_view reason) {
  return "publication_refused_" + std::string(classifyPublicationRefusal(reason));
}

std::string publicationRefusedStderrLine(std::string_view reason) {
  return "Nuvra publication refused: native_exception/" +
         std::string(classifyPublicationRefusal(reason)) + "; diagnostic_unavailable\n";
}

}  // namespace nuvra
