// Servicing recovery: when the home's serialisation mutex is found abandoned,
// a previous owner died inside a step and the runtime files may be
// inconsistent. The servicing record is then replaced, safely, by one in
// state "RECOVERY_REQUIRED" that keeps the previous record's text, so that
// every later startup fails its selection check until the servicing side
// repairs the home.
#pragma once

#include <string>

namespace nuvra {

// Rewrites home + "\state\runtime\servicing.json" as a recovery record and
// verifies it by reading it back. Called while the serialisation mutex is
// owned after an abandoned wait; on success the caller releases the mutex and
// fails with "profile_recovery_required". On failure it throws the step's
// reason; the record has changed only if the final move succeeded, and a
// temporary file from a failed attempt stays where it is.
void recoverServicing(const std::wstring& home);

}  // namespace nuvra
