// The roles of the broker executable, chosen by its first argument.
#pragma once

namespace nuvra::broker {

// "launch": starts one runtime of a product home; see launcher_role_win.cc.
int runLauncher(int argc, wchar_t** argv);

// "hold-serialization HOME MS" and "die-holding-serialization HOME": own a
// home's serialisation mutex from outside any runtime; see
// hold_serialization.cc.
int holdSerialization(int argc, wchar_t** argv);
int dieHoldingSerialization(int argc, wchar_t** argv);

// "hold-file PATH [append-lock]": keeps a file open without delete sharing,
// or holds a log file's append lock, until its input ends; see
// hold_serialization.cc.
int holdFile(int argc, wchar_t** argv);

// "child BEHAVIOUR ...": a managed child driven by a runtime's JavaScript
// through its standard streams; see managed_child_role.cc.
int runManagedChild(int argc, wchar_t** argv);

// "account-worker <parent pid>": a runtime's account worker, started
// suspended with its idle-account record; see account_worker_role_win.cc.
int runAccountWorker(int argc, wchar_t** argv);

// "hold-resident HOME MS [everyone]": owns a home's resident reservation
// from outside any runtime; see hold_resident.cc.
int holdResident(int argc, wchar_t** argv);

// "host PID": the resident broker host; see host_role_win.cc.
int runHost(int argc, wchar_t** argv);
// "check --home DIR": what a runtime start would refuse in a product home,
// changing nothing; see check_role_win.cc.
int runHomeCheck(int argc, wchar_t** argv);
// "recover-endpoint --home DIR": removes what an earlier resident left in
// the broker folder once it is proven stale; see endpoint_recovery_win.cc.
int runEndpointRecovery(int argc, wchar_t** argv);
#ifdef NUVRA_TESTBED_FAULTS
// "exchange-peer FAULT": a test peer of the broker pipe protocol, testbed
// flavour only; see exchange_peer_role_win.cc.
int runExchangePeer(int argc, wchar_t** argv);
// "hostile-peer PATTERN PIPE COUNT": a same-user process misbehaving against
// a serving resident host, testbed flavour only; see
// hostile_peer_role_win.cc.
int runHostilePeer(int argc, wchar_t** argv);
#endif

}  // namespace nuvra::broker
