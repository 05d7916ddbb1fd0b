// The single writer of the daily diagnostic log files under home + "\logs":
// owner checks, serialisation, guard re-verification, the owner-only
// directory, retention, rotation at 1 MiB and one append, with every handle
// verified after it is opened. A DiagnosticWrite is the request of one
// diagnostic or terminal write job; it runs on a worker thread, or on the
// calling thread for the writes that must not wait for a job.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "diagnostics/log_rules.h"
#include "diagnostics/log_writer_fwd.h"

namespace nuvra {

struct DiagnosticEvent;

// What every directory and file a diagnostic record goes into must be once
// opened (and its owner-only check passed): a disk object of the expected
// kind, not a reparse point, on the home's volume `volumeSerial`, at the
// `path` it was opened by, and a file with one link; else
// "diagnostic_unavailable". Gives what it read of the object. A file must
// be opened in a directory the caller verified here and holds open without
// sharing it for delete: its volume is that directory's.
FileIdentity requireDiagnosticObject(HANDLE handle, const std::wstring& path, bool directory,
                                     std::uint32_t volumeSerial);

// True when the open log file whose identity `held` its checkpoint recorded
// (under `path`) is still one of the day's log files: under one of the four
// names of its day the directory holds this very file. An open file keeps
// its volume and index for as long as it is open, so the identity read when
// it was verified is the one to compare. A rotation moves an open file
// from name to name (every log file is shared for delete), and drops the
// oldest under a name of its own. The names are tried from index 0 up, the
// way a rotation moves files, so a rotation running meanwhile is followed.
// The file's final path cannot say it: an open file renamed through
// another handle keeps reporting its old name under Wine.
bool isDayLogFile(const FileIdentity& held, const std::wstring& path) noexcept;

// The level `NUVRA_AUTH_LOG_LEVEL` asks for, read now into a 16-unit buffer.
LogLevel currentLogLevel() noexcept;
inline bool loggingOff() noexcept {
  return currentLogLevel() == LogLevel::off;
}

// Whose write it is: a work, a diagnostic event or the resident host.
class LogOwner {
 public:
  virtual ~LogOwner() = default;
  // Step 1: the owner's own lock, held for the whole write.
  virtual std::unique_lock<std::mutex> lockOwner() = 0;
  // The owner check, run before each file step; throws the owner's reason.
  virtual void check() = 0;
  // After the lock: a work must still hold its work record ("profile_work_ended").
  virtual void requireOpen() {}
  // Deadline (ticks) and clock rule for the serialisation mutex.
  virtual std::uint64_t deadline() const = 0;
  virtual std::uint32_t clock() const = 0;
  // A work was fenced when it was opened; other owners re-verify the guards.
  virtual bool fencedAtOpen() const = 0;
  // The owner's lock is taken once the serialisation mutex is owned, not
  // before, for an owner whose lock the JavaScript thread takes: no write
  // then holds that lock while it waits for another process.
  virtual bool locksAfterSerialization() const { return false; }
  // A write on the JavaScript thread only tries the mutex.
  virtual bool waitsForSerialization() const { return true; }
};

// What the write takes from the startup profile and the work side. One
// instance serves one write; it holds that write's serialisation hold.
class LogHome {
 public:
  virtual ~LogHome() = default;
  virtual const std::wstring& homePath() const = 0;
  // All log files live on the volume of the product home's work marker.
  virtual std::uint32_t volumeSerial() const = 0;
  virtual const std::wstring& userSid() const = 0;
  // Owner-only check of an open file or directory ("profile_security").
  virtual void checkOwnerOnly(HANDLE file, bool directory) const = 0;
  // `atOnce`: the mutex is only tried, never waited for.
  virtual void acquireSerialization(std::uint64_t deadline, std::uint32_t clock, bool atOnce) = 0;
  // Throws when a release fails; releasing an unowned hold does nothing.
  virtual void releaseSerialization() = 0;
  // Re-verifies every guard list entry, running `ownerCheck` before each
  // ("profile_guard").
  virtual void verifyGuards(const std::function<void()>& ownerCheck) = 0;
  // The size a day's file is rotated at.
  virtual std::uint64_t fileLimit() const { return kLogFileLimit; }
};

// A terminal operation's own append (its record written through the day's
// file at `path`, taking over the write's handles and the file's identity,
// as the write read it when it verified the file it still holds).
using TerminalAppend =
    std::function<void(HANDLE file, const std::wstring& path, const FileIdentity& identity,
                       std::vector<UniqueHandle>& handles)>;

class DiagnosticWrite {
 public:
  // `owner` null makes every run fail with "diagnostic_event_required".
  DiagnosticWrite(std::unique_ptr<LogOwner> owner, std::unique_ptr<LogHome> home, std::string text,
                  TerminalAppend terminal = nullptr);
  DiagnosticWrite(const DiagnosticWrite&) = delete;
  DiagnosticWrite& operator=(const DiagnosticWrite&) = delete;
  ~DiagnosticWrite();

  // The whole write and its cleanup. Throws the reason of the failure; a
  // cleanup that cannot finish poisons the addon and replaces the reason
  // with "profile_diagnostic_cleanup_uncertain".
  void execute();

  // For tests: the file steps only, then the cleanup separately.
  void run();
  [[nodiscard]] bool cleanup() noexcept;

  const std::string& text() const noexcept { return text_; }
  // True once cleanup() has run.
  bool cleanedUp() const noexcept { return cleanedUp_; }

 private:
  void writeUnderSerialization();
  // Null for a missing file opened with OPEN_EXISTING. `identity`, when
  // given, receives what the verification read.
  HANDLE openVerified(const std::wstring& path, DWORD access, DWORD disposition,
                      SECURITY_ATTRIBUTES* attributes, bool directory,
                      FileIdentity* identity = nullptr);
  void closeListed(HANDLE handle);
  // Closes a listed handle on a path that is failing already; a failed
  // close only marks the cleanup uncertain.
  void closeListedQuietly(HANDLE handle) noexcept;
  void deleteIfPresent(const std::wstring& path);
  void collectDropped(const std::wstring& directory);
  HANDLE rotate(const std::string& day, SECURITY_ATTRIBUTES* attributes, FileIdentity& identity);
  void retentionScan(const std::wstring& directory, const std::string& cutoff,
                     std::vector<std::wstring>& doomed);
  std::wstring logPath(const std::string& date, unsigned index) const;

  std::unique_ptr<LogOwner> owner_;
  std::unique_ptr<LogHome> home_;
  std::string text_;
  TerminalAppend terminal_;
  std::vector<UniqueHandle> handles_;
  HANDLE search_ = INVALID_HANDLE_VALUE;
  bool cleanupUncertain_ = false;
  bool cleanedUp_ = false;
};

// Owner of the writes of a diagnostic event (its stage records).
std::unique_ptr<LogOwner> eventLogOwner(std::shared_ptr<DiagnosticEvent> event);

}  // namespace nuvra
