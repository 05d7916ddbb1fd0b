// Who a process is and whether an object belongs to the current user alone:
// token identity, the owner SID and image path hashes, the owner-only check
// of kernel objects, files and directories, and the verification of a peer
// process by id, creation time, identity and image.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/identity.h"

namespace nuvra {

// Reads the identity from the process's token (TOKEN_QUERY). Failures:
// "profile_observation_identity", "profile_inheritance", "profile_close_failed".
ProcessIdentity readProcessIdentity(HANDLE process);
// The same from an already open token with TOKEN_QUERY access; the token
// stays open and owned by the caller.
ProcessIdentity readTokenIdentity(HANDLE token);

// The current process's token user SID in string form; "profile_identity".
std::wstring currentUserSid();
// currentUserSid's answer, read once per process: what every owner-only
// check compares with. "profile_identity" while it cannot be read.
const std::wstring& processUserSid();
// SHA-256 of the current user's SID string (UTF-8), lowercase hex.
std::string ownerSidHash();
// SHA-256 of authenticationIdText.
std::string authenticationIdHash(AuthenticationId id);

// Full Win32 image path of a process, UTF-8; "profile_parent_image".
std::string processImagePath(HANDLE process);
// Hash of the full, upper-cased image path without trailing separators;
// "profile_parent_image" or "profile_observation_image".
std::string imagePathHash(HANDLE process);
// The same normalisation and hash applied to a given image path (a path
// with an embedded NUL fails with "profile_observation_image").
std::string imagePathHashOf(const std::wstring& imagePath);
// Hash of the upper-cased path, otherwise as given; "profile_observation_image".
std::string pathHash(const std::wstring& path);

// Medium or medium-plus integrity (or what the flavour adds) and not elevated.
bool meetsInteractiveUserRule(const ProcessIdentity& identity) noexcept;

// Owner and DACL of an object, decoded; "profile_security" when unreadable.
SecurityFacts readSecurityFacts(HANDLE object);
// Returns when the object is owned by and solely granted to the current user
// (see isStrictlyOwnerOnly; files and directories also per the flavour
// policy), else "profile_security". Needs READ_CONTROL on the handle.
void checkOwnerOnly(HANDLE object, OwnedObject kind);

// True only when the process `processId` still runs, was created at exactly
// `creationTime` (filetimeText), meets the interactive-user rule, has the
// expected identity and the expected image path hash. Never throws.
bool verifyPeerProcess(std::uint32_t processId, const std::string& creationTime,
                       const std::string& expectedImageHash,
                       const ProcessIdentity& expectedIdentity) noexcept;

// Creation time of an open process as filetimeText; "profile_observation_identity"
// when it cannot be read.
std::string processCreationTime(HANDLE process);

// One bounded token query: ask the size, which must lie in [minimum, maximum],
// then fetch into that many zeroed bytes; the second size must be at least
// the minimum and at most the first. Anything else: "profile_observation_identity".
std::vector<unsigned char> fetchTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                                 DWORD minimum, DWORD maximum);

// The logon SID of a TOKEN_GROUPS buffer of `size` bytes: the first group
// whose attributes carry both SE_GROUP_LOGON_ID bits; every further one must
// have the same string. "profile_observation_identity" otherwise.
std::wstring logonSidFromGroups(const unsigned char* buffer, std::size_t size);

}  // namespace nuvra
