// A role that holds a product home's resident reservation from outside any
// runtime, so that a resident runtime can be shown to find the key taken:
//   hold-resident <home> <milliseconds> [everyone|event]
// It creates the reservation mutex of this user, logon, session and home
// (owner-only, or with "everyone" also granting Everyone full access, as a
// foreign creator might), owns it, prints "held", and releases it after the
// given time. With "event" it creates an event under the reservation's name
// instead, another kind of object no reservation can open as its mutex.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "custody/serialization_object_win.h"
#include "resident/resident_rules.h"
#include "roles.h"

namespace nuvra::broker {

int holdResident(int argc, wchar_t** argv) {
  const bool everyone = argc == 3 && std::wcscmp(argv[2], L"everyone") == 0;
  const bool event = argc == 3 && std::wcscmp(argv[2], L"event") == 0;
  if (argc != 2 && !everyone && !event) {
    std::fputs("usage: hold-resident <home> <milliseconds> [everyone|event]\n", stderr);
    return 2;
  }
  wchar_t* end = nullptr;
  const unsigned long milliseconds = std::wcstoul(argv[1], &end, 10);
  if (end == argv[1] || *end != L'\0' || milliseconds > 600000) {
    std::fputs("hold-resident: bad milliseconds\n", stderr);
    return 2;
  }
  UniqueHandle mutex;
  try {
    const ProcessIdentity identity = readProcessIdentity(GetCurrentProcess());
    const std::string key = sha256Hex(
        residentKeyText(homeKey(argv[0]), ownerSidHash(),
                        authenticationIdHash(identity.authentication_id), identity.session_id));
    const std::wstring sid = currentUserSid();
    std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")";
    if (everyone) sddl += L"(A;;GA;;;WD)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      std::fputs("hold-resident: descriptor\n", stderr);
      return 3;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const std::wstring name = residentMutexName(key);
    mutex = UniqueHandle(event ? CreateEventW(&attributes, TRUE, FALSE, name.c_str())
                               : CreateMutexW(&attributes, TRUE, name.c_str()));
    const DWORD created = GetLastError();
    LocalFree(descriptor);
    if (!mutex || created == ERROR_ALREADY_EXISTS) {
      std::fputs("hold-resident: mutex not created\n", stderr);
      return 3;
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "hold-resident: %s\n", failure.what());
    return 3;
  }
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(milliseconds));
  return event || ReleaseMutex(mutex.get()) ? 0 : 5;
}

}  // namespace nuvra::broker
