// nuvra_windows_broker_native.exe: the product's native broker executable.
// The role is chosen by the first argument.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "roles.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: nuvra_windows_broker_native <role> [arguments]\n", stderr);
    return 2;
  }
  if (std::wcscmp(argv[1], L"launch") == 0) return nuvra::broker::runLauncher(argc - 2, argv + 2);
  if (std::wcscmp(argv[1], L"hold-serialization") == 0) {
    return nuvra::broker::holdSerialization(argc - 2, argv + 2);
  }
  if (std::wcscmp(argv[1], L"die-holding-serialization") == 0) {
    return nuvra::broker::dieHoldingSerialization(argc - 2, argv + 2);
  }
  if (std::wcscmp(argv[1], L"hold-file") == 0) return nuvra::broker::holdFile(argc - 2, argv + 2);
  if (std::wcscmp(argv[1], L"account-worker") == 0) {
    return nuvra::broker::runAccountWorker(argc - 2, argv + 2);
  }
  if (std::wcscmp(argv[1], L"hold-resident") == 0) {
    return nuvra::broker::holdResident(argc - 2, argv + 2);
  }
  if (std::wcscmp(argv[1], L"host") == 0) return nuvra::broker::runHost(argc - 2, argv + 2);
  if (std::wcscmp(argv[1], L"check") == 0) return nuvra::broker::runHomeCheck(argc - 2, argv + 2);
  if (std::wcscmp(argv[1], L"recover-endpoint") == 0) {
    return nuvra::broker::runEndpointRecovery(argc - 2, argv + 2);
  }
#ifdef NUVRA_TESTBED_FAULTS
  if (std::wcscmp(argv[1], L"exchange-peer") == 0) {
    return nuvra::broker::runExchangePeer(argc - 2, argv + 2);
  }
  if (std::wcscmp(argv[1], L"hostile-peer") == 0) {
    return nuvra::broker::runHostilePeer(argc - 2, argv + 2);
  }
#endif
  if (std::wcscmp(argv[1], L"child") == 0)
    return nuvra::broker::runManagedChild(argc - 2, argv + 2);
  std::fputs("unknown role\n", stderr);
  return 2;
}
