// The pipe service of the resident host: once the runtime has published the
// endpoint, the host serves the pipe named there. Each client gets its own
// pipe instance and thread: preamble and acknowledgement, one request frame,
// the request handed to the runtime over the link (the host's standard
// streams, server/broker_wire.h), and the runtime's answer written back as a
// version 1 response or as version 2 phase frames. Every wait ends at the
// client's exchange deadline, and the request must be in within a much
// shorter bound; a request no client builds never reaches the runtime.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/flat_json.h"

namespace nuvra::broker {

struct HostPipeFacts {
  std::string pipePath;  // the record's "pipe_name": "\\.\pipe\nuvra-memory-v1-" + 48 hex
  std::string digest;    // acknowledged to every client: the record's "broker_binding"
  std::string instance;  // the record's "broker_instance"
  // How long a client may take at most: the largest time-out a descriptor
  // may name. A version 2 client's own deadline shortens it.
  std::uint64_t exchangeTimeoutMs = 15000;
};

// The facts of a composed endpoint record (its message as the host sends
// it); "broker_pipe_create" when it names no pipe.
HostPipeFacts hostPipeFacts(std::string_view endpointMessage);

// Creates the first pipe instance of the endpoint the host composed, before
// the runtime publishes it: a name somebody else holds is refused here with
// "broker_pipe_create". A client that connects early waits in the instance.
void prepareHostPipeService(const HostPipeFacts& facts);

// On activation: accepts clients from now on, on a thread of its own.
// Nothing happens unless the service was prepared.
void startHostPipeService();

// One message from the runtime: true when it was an answer of the pipe
// service (handed to the client it belongs to, or dropped when that client
// is gone).
bool deliverRuntimeAnswer(const FlatObject& message);

// After the lines it writes, the host wakes the runtime of `runtimePid`
// through that runtime's wake pipe. Set before the first line.
void wakeRuntimeAfterLines(std::uint32_t runtimePid);

// Every line the host writes to its runtime goes through here: one thread
// writes them all, so that lines never interleave and no caller waits for
// the runtime to read. The host's own lines keep their order and go before
// the clients' requests. False when the link could not be started.
bool writeRuntimeLine(std::string_view line);

}  // namespace nuvra::broker
