// What an earlier resident left in the broker's folder of a product home,
// looked at from this process: the facts a client's reading of the endpoint
// record needs, the processes the record names, the age of a temporary
// endpoint file. Shared by the home check, which reports them, and the
// recovery, which removes what is proven stale (endpoint_recovery_win.cc).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/identity.h"
#include "resident/endpoint_record.h"
#include "shared/stale_endpoint.h"

namespace nuvra::broker {

// The identity a runtime of this user runs with. The launcher starts runtimes
// never elevated, so a process that runs elevated (as anything started from a
// Linux shell under Wine does) takes its linked token's identity instead.
ProcessIdentity runtimeIdentity();

// "\windows-device-auth.json" of the home, read as a client reads it.
DeviceBinding readDeviceBinding(const std::wstring& home);

// The process a record names by its pid, as far as it can be asked.
ProcessLook lookProcess(std::uint32_t pid) noexcept;

// A client's facts, for the client's reading of a record.
struct ClientFacts {
  std::wstring home;
  std::string ownerSidHash;
  ProcessIdentity identity;
  std::string brokerImageHash;  // the broker executable of the runtime a client runs
};

// The client's reading of the record with this process's facts. It notes
// whether the reading got as far as the processes behind the record and what
// became of each. With `clientAnswers` each process holds as a client would
// hold it (alive, the same incarnation, identity and image); without, as the
// recovery must hold it: anything that still runs under that pid and
// creation time, or cannot be asked, holds.
class RecordProcessProbe final : public ClientProbe {
 public:
  RecordProcessProbe(const ClientFacts& facts, bool clientAnswers)
      : facts_(facts), clientAnswers_(clientAnswers) {}

  ClientIdentity identity() override;
  DeviceBinding deviceBinding() override;
  std::string sha256Hex(std::string_view text) override;
  std::string brokerImageHash() override;
  bool verifyPeer(std::uint32_t pid, std::string_view creationFiletime,
                  std::string_view imageHash) override;

  bool reachedProcesses() const noexcept { return asked_ > 0; }
  RecordStaleness staleness() const noexcept;
  // The process that no longer lives: the broker's pid, or the runtime's.
  std::uint32_t gonePid() const noexcept;

 private:
  const ClientFacts& facts_;
  bool clientAnswers_;
  int asked_ = 0;
  ProcessFate broker_ = ProcessFate::unknown;
  ProcessFate runtime_ = ProcessFate::unknown;
  std::uint32_t brokerPid_ = 0;
  std::uint32_t runtimePid_ = 0;
};

// The last write time of an open file as FILETIME ticks; "profile_record_read".
std::uint64_t lastWriteFiletime(HANDLE file);
std::uint64_t nowFiletime() noexcept;

}  // namespace nuvra::broker
