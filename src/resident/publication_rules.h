// Names and texts of resident publication: the endpoint file and its
// temporary name, and what a refused publication leaves behind (the resident
// startup diagnostic line, the timing checkpoint name and the standard-error
// lines). Called by resident/publication_win.cc (the kind 14 job) and by
// reportPublicationRefused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "resident/resident_rules.h"

namespace nuvra {

// The endpoint record may hold at most this many bytes.
constexpr std::size_t kEndpointRecordLimit = 8191;

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
