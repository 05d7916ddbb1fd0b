// Named failure sites at the Windows and Node-API calls whose failure no
// test could provoke from outside. In the testbed flavour a site consults
// the plan in the process's NUVRA_FAULT_INJECTION as it stands at that
// moment (see fault_plan.h; calls are counted from when it was last set)
// and, when its armed call comes, skips the call, sets the armed error as the
// thread's last error and yields the call's failure value, so that the code
// after it takes its own failure path. The release flavour compiles every
// site down to the bare call: no plan is read and no site name is kept.
//
//   HANDLE event = NUVRA_INJECT("account.signal_event", nullptr, CreateEventW(...));
#pragma once

#if defined(NUVRA_TESTBED_FAULTS)

namespace nuvra {

// Whether the armed call of this site (with the detail, when one is given)
// is this one; then the thread's last error is the armed error.
bool faultFires(const char* site, const char* detail = nullptr) noexcept;

// Appends the reason a call surfaced to its caller (a thrown or rejected
// reason of the addon, a failure a Windows unit test caught) as one line to
// the file NUVRA_REASON_LOG names, when it names one: the reason-code report
// counts what the tests provoked from it.
void noteSurfacedReason(const char* reason) noexcept;

}  // namespace nuvra

#define NUVRA_NOTE_REASON(reason) ::nuvra::noteSurfacedReason(reason)

#define NUVRA_INJECT(site, failure, call) (::nuvra::faultFires(site) ? (failure) : (call))
#define NUVRA_INJECT_KEYED(site, detail, failure, call) \
  (::nuvra::faultFires(site, detail) ? (failure) : (call))

#else

#define NUVRA_INJECT(site, failure, call) (call)
#define NUVRA_INJECT_KEYED(site, detail, failure, call) (call)
#define NUVRA_NOTE_REASON(reason) static_cast<void>(0)

#endif
