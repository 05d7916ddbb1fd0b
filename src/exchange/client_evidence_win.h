// A client work's evidence read off its exchange progress: the exchange
// outcome, the closing of its dispatch, and the evidence its end leaves in
// its terminal operation (the client hook of the terminal evidence seam).
// Each takes the work's state mutex for a consistent view of a phase frame's
// updates and builds outside it.
#pragma once

#include <string>

namespace nuvra {

struct Work;

// The exchange outcome object's text as of now; the work's deadline having
// passed proves no dispatch as much as a closed one.
std::string clientExchangeOutcome(Work& work);

// From here on no request byte of the work can be written.
void closeDispatch(Work& work);

// recordWorkEnd's step for a client work: both texts, or "terminal_invalid"
// for a terminal frame whose reason is not a terminal reason.
void clientWorkEvidence(Work& work, std::string& clientEvidence, std::string& serverEvidence);

}  // namespace nuvra
