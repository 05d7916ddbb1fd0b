// The broker's end of its named pipe: instances nobody else can squat on or
// reach, and overlapped transfers on one connected instance that give up at
// an absolute deadline, so that a slow or vanished client holds nothing.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/handle_win.h"

namespace nuvra {

// One more instance of the pipe at `path`: overlapped, byte mode, remote
// clients refused, owned by and open to the current user alone, and as many
// instances as the system allows (a fixed count would let another process of
// the user take the rest and leave the broker unable to make its next one). The first
// instance also carries FILE_FLAG_FIRST_PIPE_INSTANCE, so a name somebody
// else created first is refused instead of shared. Failure:
// "broker_pipe_create".
UniqueHandle createBrokerPipeInstance(const std::wstring& path, bool first);

// Waits for a client to connect to `pipe` or for `stop` to be signalled.
// True when a client is connected.
bool awaitBrokerClient(HANDLE pipe, HANDLE stop);

class BrokerPipeIo {
 public:
  BrokerPipeIo(HANDLE pipe, std::uint64_t deadline);
  BrokerPipeIo(const BrokerPipeIo&) = delete;
  BrokerPipeIo& operator=(const BrokerPipeIo&) = delete;

  // Exactly `size` bytes; false on an error, the client's end or the deadline.
  bool read(void* buffer, std::size_t size);
  // One line of at most `limit` bytes before its line feed (which is not
  // kept), read in as few transfers as the pipe allows; bytes after it stay
  // for the next read. False on an error, the client's end, the deadline or
  // a longer line.
  bool readLine(std::string& line, std::size_t limit);
  bool write(std::string_view bytes);
  // What was written stays readable after this end closes only until the
  // client has read it, so the end waits for the client to close first. An
  // honest client sends nothing after its request: the first byte that
  // comes instead of the close ends the wait too.
  void awaitClientClose();
  std::uint64_t deadline() const noexcept { return deadline_; }
  // A new deadline in place of the current one: a session's shorter first
  // bound gives way to the exchange's own once the request is in.
  void setDeadline(std::uint64_t deadline) noexcept { deadline_ = deadline; }
  // Otherwise a deadline can only come nearer.
  void shortenTo(std::uint64_t deadline) noexcept {
    if (deadline < deadline_) deadline_ = deadline;
  }

 private:
  // One overlapped transfer of at most `size` bytes; 0 on failure.
  DWORD transfer(void* buffer, std::size_t size, bool write);

  HANDLE pipe_;
  std::uint64_t deadline_;
  UniqueHandle event_;
  // Read past the end of a line, not yet taken.
  std::string pending_;
};

}  // namespace nuvra
