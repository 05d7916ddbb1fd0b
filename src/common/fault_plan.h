// The test bed's plan of injected failures: which call at which named site
// fails, and with which error. The testbed flavour reads it from its
// environment (fault_injection_win.cc); this part only parses and counts.
//
// The plan is a comma-separated list of "site:n:error", each making the n-th
// call (counted from 1) at that site fail with that error (a decimal Win32
// error code). A site name is lower-case letters, digits, '_' and '.'.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

struct FaultArm {
  std::string site;
  std::uint32_t nth = 0;
  std::uint32_t error = 0;
  bool operator==(const FaultArm&) const = default;
};

// The arms of a plan, or nothing when any entry is malformed: a test that
// misspells its plan must not run as if nothing were armed.
std::optional<std::vector<FaultArm>> parseFaultPlan(std::string_view text);

// Counts the calls at each armed site. Sites are passed by name, and a name
// with a detail ("crypto.random" for "profile_account_nonce") is armed as
// "crypto.random.profile_account_nonce", so that one shared routine offers a site
// per caller.
class FaultPlan {
 public:
  explicit FaultPlan(std::vector<FaultArm> arms);

  // Whether this call at the site is the armed one; `error` gets its code.
  // Safe from any thread.
  bool fires(std::string_view site, std::string_view detail, std::uint32_t& error);

 private:
  std::mutex lock_;
  std::vector<FaultArm> arms_;
  std::vector<std::uint32_t> calls_;
};

}  // namespace nuvra
