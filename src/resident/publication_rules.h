// Names and texts of resident publication: the endpoint file and its
// temporary name, and what a refused publication leaves behind (the resident
// startup diagnostic line, the timing checkpoint name and the standard-error
// lines). Called by resident/publication_win.cc (the kind 14 job) and by
// reportPublicationRefused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/identity.h"
#include "common/layout.h"
#include "resident/resident_rules.h"

namespace nuvra {

// home + "\state\broker"
std::wstring brokerDirectoryPath(std::wstring_view home);
// home + "\state\broker\endpoint.json"
std::wstring endpointPath(std::wstring_view home);
// home + "\state\broker\endpoint." + nonce + ".tmp"; the nonce must be 64
// lowercase hex digits, else "profile_resident_nonce" (a nonce is the only
// part of the name that is not a literal, so it may not carry a separator).
std::wstring temporaryEndpointPath(std::wstring_view home, std::string_view nonce);
// home + "\state\broker\endpoint*": the pattern of the stale-file search.
std::wstring endpointSearchPattern(std::wstring_view home);

// "\state" and "\state\broker": owned by the user, a protected DACL of exactly
// one access-allowed ACE for the user with full access, inheriting to files
// and directories (flags exactly OICI). Stricter than the owner-only
// directory check, which also takes an ACE without flags.
//   owner  DACL                           accepted
//   user   P (A;OICI;GA;;;user)           yes
//   user   P (A;OICI;FA;;;user)           yes
//   user   P (A;;GA;;;user)               no   (nothing inherits)
//   user   (A;OICI;GA;;;user)             no   (not protected)
//   other  P (A;OICI;GA;;;user)           no
bool isPublicationDirectorySecurity(const SecurityFacts& facts, std::wstring_view userSid) noexcept;

// Steps 16 and 17 of publication, once the file is in place: Pending becomes
// Published (else "broker_startup_ceiling_expired": the reservation thread
// expired the resident first), and then the host may be activated only while
// the ceiling is still ahead, as `tick` reads it after the change; past it
// the resident must expire although the file stays.
//   Pending,   now 3999, ceiling 4000   Published, activate
//   Pending,   now 4000, ceiling 4000   Published, expire
//   Expired,   any                      "broker_startup_ceiling_expired"
enum class PublicationEnd { activate, expire };
PublicationEnd finishPublication(ResidentPhaseWord& phase, std::uint64_t (*tick)(),
                                 std::uint64_t ceiling);

// The reason as the diagnostic names it: one of the fourteen codes a refused
// publication reports as they are, else "native_unclassified".
//   "broker_endpoint_invalid"                 "broker_endpoint_invalid"
//   "profile_native_api"                      "native_unclassified"
//   "profile_resident_publication_duplicate"  "native_unclassified"
std::string_view classifyPublicationRefusal(std::string_view reason) noexcept;

// {"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",
//  "stage":"publication_refused","error_kind":"native_exception","error_code":…,
//  "elapsed_ms":E,"remaining_ms":R} and a line feed, with the classified code.
std::string publicationRefusedLine(std::string_view reason, const CeilingTimes& times);

// "publication_refused_" + the classified code.
std::string publicationRefusedCheckpoint(std::string_view reason);

// "Nuvra publication refused: native_exception/" + the classified code +
// "; diagnostic_unavailable\n": written when the diagnostic line was not.
std::string publicationRefusedStderrLine(std::string_view reason);

// The line for when reporting itself failed; a constant, so that writing it
// needs no allocation.
constexpr std::string_view kPublicationRefusedFallbackLine =
    "Nuvra publication refused: native_exception/native_unclassified; diagnostic_unavailable\n";

}  // namespace nuvra
