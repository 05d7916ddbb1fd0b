// The broker's folder under a product home as publication meets it: the
// home, "\state" and "\state\broker" opened as themselves and checked, and a
// file inside it checked the same way. One check for the publisher, which
// writes the endpoint record there, and for the broker executable's recovery
// of what an earlier resident left there.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/handle_win.h"

namespace nuvra {

// What an opened object is checked against: the user whose objects they
// must be and the volume of the home's work marker.
struct BrokerFolderFacts {
  std::wstring userSid;
  std::uint32_t volume = 0;
};

enum class BrokerObject { home, state, broker, file };

// The check of an opened directory or file against its row, in this order:
// owner the user ("profile_security"); "\state" and "\state\broker" a
// protected DACL of one OICI ACE for the user, a file owner-only
// ("profile_security"); then a disk object of the expected kind, no reparse
// point, on the work marker's volume, at the expected final path, and a file
// with exactly one link ("broker_publication_recovery_required").
void checkBrokerObject(HANDLE handle, BrokerObject row, const std::wstring& expected,
                       const BrokerFolderFacts& facts);

// Opens a directory as itself (never through a reparse point), sharing read
// and write, with READ_CONTROL | FILE_LIST_DIRECTORY, not inheritable;
// "broker_publication_recovery_required" when it cannot be opened.
UniqueHandle openBrokerDirectory(const std::wstring& path);

}  // namespace nuvra
