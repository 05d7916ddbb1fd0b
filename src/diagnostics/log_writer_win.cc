#include "diagnostics/log_writer_win.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "common/fault_injection.h"
#include "common/file_win.h"
#include "common/process_state.h"
#include "common/reason.h"
#include "common/security_win.h"
#include "diagnostics/event.h"

namespace nuvra {
namespace {

constexpr wchar_t kLogDirectory[] = L"\\logs";
// Split so that no "??-" trigraph sequence appears in the literal.
constexpr wchar_t kRetentionPattern[] =
    L"\\nuvra-????????"
    L"-?.jsonl";
// What a rotation killed between its move aside and the delete leaves behind.
constexpr wchar_t kDroppedPattern[] = L"\\nuvra-*.dropped";
constexpr DWORD kLevelBufferUnits = 16;
// Every log file is shared for delete too: a terminal operation keeps the
// day's file open from its checkpoint to its terminal record, and a rotation
// must still move it meanwhile. Where the file went is checked by the
// terminal record (isDayLogFile), not kept fixed by the holder.
constexpr DWORD kLogFileSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Appended to, never written over; read access only because Windows grants
// a byte-range lock (the append lock) to a handle that may read or write.
constexpr DWORD kLogFileAccess = FILE_APPEND_DATA | FILE_READ_DATA;

// Sets or clears the delete disposition of the open file.
bool markForDeletion(HANDLE handle, bool drop) noexcept {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = drop ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

// Releases a hold the write still owns when a step throws; the home swallows
// (and poisons on) a failed release there.
class HoldRelease {
 public:
  explicit HoldRelease(LogHome& home) : home_(home) {}
  HoldRelease(const HoldRelease&) = delete;
  HoldRelease& operator=(const HoldRelease&) = delete;
  ~HoldRelease() {
    if (!active_) return;
    try {
      home_.releaseSerialization();
    } catch (...) {
    }
  }
  void release() {
    active_ = false;
    home_.releaseSerialization();
  }

 private:
  LogHome& home_;
  bool active_ = true;
};

class EventLogOwner final : public LogOwner {
 public:
  explicit EventLogOwner(std::shared_ptr<DiagnosticEvent> event) : event_(std::move(event)) {}
  std::unique_lock<std::mutex> lockOwner() override {
    return std::unique_lock<std::mutex>(event_->lock);  // the event's writes
  }
  void check() override { checkEventOwner(*event_, GetTickCount64(), loggingOff(), isPoisoned()); }
  std::uint64_t deadline() const override { return event_->deadline.load(); }
  std::uint32_t clock() const override { return 0; }
  bool fencedAtOpen() const override { return false; }

 private:
  std::shared_ptr<DiagnosticEvent> event_;
};

}  // namespace

LogLevel currentLogLevel() noexcept {
  wchar_t buffer[kLevelBufferUnits] = {};
  const DWORD length = GetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", buffer, kLevelBufferUnits);
  // 0: absent (or empty); 16 or more: the value does not fit and counts as no level.
  if (length == 0 || length >= kLevelBufferUnits) return parseLogLevel(std::nullopt);
  return parseLogLevel(std::wstring_view(buffer, length));
}

bool isDayLogFile(const FileIdentity& held, const std::wstring& path) noexcept {
  try {
    for (const std::wstring& candidate : dayLogPaths(path)) {
      UniqueHandle named(CreateFileW(candidate.c_str(), FILE_READ_ATTRIBUTES, kLogFileSharing,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
      if (!named) continue;
      requireNonInheritable(named.get());
      FileIdentity found;
      if (fileIdentity(named.get(), found) && found.sameFile(held)) return true;
    }
  } catch (...) {
  }
  return false;
}

std::unique_ptr<LogOwner> eventLogOwner(std::shared_ptr<DiagnosticEvent> event) {
  return std::make_unique<EventLogOwner>(std::move(event));
}

DiagnosticWrite::DiagnosticWrite(std::unique_ptr<LogOwner> owner, std::unique_ptr<LogHome> home,
                                 std::string text, TerminalAppend terminal)
    : owner_(std::move(owner)),
      home_(std::move(home)),
      text_(std::move(text)),
      terminal_(std::move(terminal)) {}

void DiagnosticWriteDeleter::operator()(DiagnosticWrite* write) const noexcept {
  if (write == nullptr) return;
  if (!write->cleanedUp()) static_cast<void>(write->cleanup());
  delete write;
}

DiagnosticWrite::~DiagnosticWrite() {
  if (search_ != INVALID_HANDLE_VALUE) FindClose(search_);
}

FileIdentity requireDiagnosticObject(HANDLE handle, const std::wstring& path, bool directory,
                                     std::uint32_t volumeSerial) {
  if (GetFileType(handle) != FILE_TYPE_DISK) fail("diagnostic_unavailable");
  // A file is opened by its verified directory's path and its name, that
  // directory held open without delete sharing (neither renamed nor
  // replaced meanwhile), and its final path must be exactly that path: it
  // lies in that directory, on the volume the directory was verified on, so
  // its own volume is not queried again.
  FileIdentity identity;
  if (directory ? !fileIdentity(handle, identity)
                : !fileIdentityOnVolume(handle, volumeSerial, identity)) {
    fail("diagnostic_unavailable");
  }
  if ((identity.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) fail("diagnostic_unavailable");
  const bool isDirectory = (identity.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isDirectory != directory) fail("diagnostic_unavailable");
  if (identity.volumeSerial != volumeSerial) fail("diagnostic_unavailable");
  std::wstring finalPath;
  try {
    finalPath = canonicalPath(handle);
  } catch (const ProfileError&) {
    fail("diagnostic_unavailable");
  }
  if (!samePathIgnoringCase(finalPath, path)) fail("diagnostic_unavailable");
  if (!directory && identity.links != 1) fail("diagnostic_unavailable");
  return identity;
}

void DiagnosticWrite::execute() {
  std::exception_ptr failure;
  try {
    run();
  } catch (...) {
    failure = std::current_exception();
  }
  // The cleanup's verdict replaces whatever the write reported.
  if (!cleanup()) fail("profile_diagnostic_cleanup_uncertain");
  if (failure) std::rethrow_exception(failure);
}

void DiagnosticWrite::run() {
  if (!owner_) fail("diagnostic_event_required");
  // No rotation can make room for a text larger than a whole file.
  if (!home_ || text_.empty() || text_.size() > home_->fileLimit()) {
    fail("diagnostic_unavailable");
  }
  // 1. The owner's lock keeps two writes of one owner apart.
  const bool lockFirst = !owner_->locksAfterSerialization();
  std::unique_lock<std::mutex> ownerLock;
  if (lockFirst) ownerLock = owner_->lockOwner();
  owner_->check();
  owner_->requireOpen();
  // 2. The serialisation mutex keeps the writes of every process of the home apart.
  home_->acquireSerialization(owner_->deadline(), owner_->clock(),
                              !owner_->waitsForSerialization());
  HoldRelease hold(*home_);
  if (!lockFirst) {
    ownerLock = owner_->lockOwner();
    owner_->check();
  }
  writeUnderSerialization();
  // 12. Release the mutex; the descriptor and the owner's lock go with the scope.
  hold.release();
}

void DiagnosticWrite::writeUnderSerialization() {
  // 3. Owners that were not fenced when they opened prove the guards again.
  if (!owner_->fencedAtOpen()) home_->verifyGuards([this] { owner_->check(); });

  // 4. Owner-only descriptors for the directory and for new files.
  OwnerOnlySecurity directorySecurity(home_->userSid(), true, "diagnostic_unavailable");
  OwnerOnlySecurity fileSecurity(home_->userSid(), false, "diagnostic_unavailable");
  SECURITY_ATTRIBUTES* const attributes = fileSecurity.attributes();

  // 5. The directory, created owner-only and opened as itself, never through a link.
  owner_->check();
  const std::wstring directory = home_->homePath() + kLogDirectory;
  if (!NUVRA_INJECT("log.directory_create", FALSE,
                    CreateDirectoryW(directory.c_str(), directorySecurity.attributes()))) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) fail("diagnostic_unavailable");
  }
  if (openVerified(directory, FILE_LIST_DIRECTORY, OPEN_EXISTING, nullptr, true) == nullptr) {
    fail("diagnostic_unavailable");
  }

  // 6. Today and the retention cutoff, both UTC.
  SYSTEMTIME now{};
  GetSystemTime(&now);
  const CalendarDate today{now.wYear, now.wMonth, now.wDay};
  if (!isCalendarDate(today)) fail("diagnostic_unavailable");
  const std::string todayText = dateText(today);
  const std::string cutoff = retentionCutoffText(today);

  // 7. Retention scan.
  std::vector<std::wstring> doomed;
  retentionScan(directory, cutoff, doomed);

  // 8. Old days go.
  for (const std::wstring& path : doomed) deleteIfPresent(path);

  // 9. Today's file, and its size as its verification just read it on the
  //    same handle under this hold. Terminal records, which append without
  //    the mutex, may still land before this append; the next write rotates
  //    a file they pushed past the limit.
  const std::wstring current = logPath(todayText, 0);
  FileIdentity identity;
  HANDLE file = openVerified(current, kLogFileAccess, OPEN_ALWAYS, attributes, false, &identity);
  if (file == nullptr) fail("diagnostic_unavailable");

  // 10. Rotation, also of a file that terminal records pushed past the limit.
  if (needsRotation(identity.size, text_.size(), home_->fileLimit())) {
    closeListed(file);
    file = rotate(todayText, attributes, identity);
  }

  // 11. The append.
  owner_->check();
  if (terminal_) {
    terminal_(file, current, identity, handles_);
    return;
  }
  DWORD written = 0;
  const auto length = static_cast<DWORD>(text_.size());
  const AppendLock lock(file, owner_->deadline());
  if (!lock ||
      !NUVRA_INJECT("log.append", FALSE,
                    WriteFile(file, text_.data(), length, &written, nullptr)) ||
      written != length) {
    fail("diagnostic_unavailable");
  }
}

HANDLE DiagnosticWrite::openVerified(const std::wstring& path, DWORD access, DWORD disposition,
                                     SECURITY_ATTRIBUTES* attributes, bool directory,
                                     FileIdentity* identity) {
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
  if (directory) {
    flags |= FILE_FLAG_BACKUP_SEMANTICS;
  } else if (terminal_) {
    flags |= FILE_FLAG_WRITE_THROUGH;
  }
  // Files are shared for writing too: every other writer of the home must
  // append while a terminal operation holds the day's file (each append goes
  // to the end of the file).
  const DWORD share = directory ? FILE_SHARE_READ | FILE_SHARE_WRITE : kLogFileSharing;
  HANDLE handle = NUVRA_INJECT("log.open", INVALID_HANDLE_VALUE,
                               CreateFileW(path.c_str(), access | READ_CONTROL, share, attributes,
                                           disposition, flags, nullptr));
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (disposition == OPEN_EXISTING && error == ERROR_FILE_NOT_FOUND) return nullptr;
    fail("diagnostic_unavailable");
  }
  handles_.emplace_back(handle);
  requireNonInheritable(handle);
  home_->checkOwnerOnly(handle, directory);

  // A "\logs" that resolves elsewhere (a link, a mount) ends here. A file's
  // size decides whether it is rotated, never whether it is refused: the
  // file appended to is within the limit after the append either way.
  const FileIdentity verified =
      requireDiagnosticObject(handle, path, directory, home_->volumeSerial());
  if (identity != nullptr) *identity = verified;
  return handle;
}

void DiagnosticWrite::closeListed(HANDLE handle) {
  for (auto entry = handles_.begin(); entry != handles_.end(); ++entry) {
    if (entry->get() != handle) continue;
    if (!entry->closeForCleanup()) {
      cleanupUncertain_ = true;
      fail("profile_close_failed");
    }
    handles_.erase(entry);
    return;
  }
}

void DiagnosticWrite::closeListedQuietly(HANDLE handle) noexcept {
  for (auto entry = handles_.begin(); entry != handles_.end(); ++entry) {
    if (entry->get() != handle) continue;
    if (!entry->closeForCleanup()) {
      cleanupUncertain_ = true;
      return;
    }
    handles_.erase(entry);
    return;
  }
}

void DiagnosticWrite::deleteIfPresent(const std::wstring& path) {
  HANDLE handle = openVerified(path, DELETE, OPEN_EXISTING, nullptr, false);
  if (handle == nullptr) return;
  if (!NUVRA_INJECT("log.delete", false, markForDeletion(handle, true))) {
    fail("diagnostic_unavailable");
  }
  closeListed(handle);
}

// A rotation marks the file it drops for deletion right after moving it
// aside; killed in between, it leaves the file under its dropped name for
// good, which no day's name and no retention date covers. Each write collects
// such files. One still held by an operation was marked already and goes with
// its last handle (it cannot be opened meanwhile), and one that is not what
// the writer would have left is left alone: neither fails the write, which
// tries again next time.
void DiagnosticWrite::collectDropped(const std::wstring& directory) {
  WIN32_FIND_DATAW entry{};
  search_ = FindFirstFileW((directory + kDroppedPattern).c_str(), &entry);
  if (search_ == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> dropped;
  unsigned seen = 0;
  do {
    if (isDroppedLogFileName(entry.cFileName)) {
      dropped.push_back(directory + L"\\" + entry.cFileName);
    }
  } while (++seen < kLogScanLimit && FindNextFileW(search_, &entry));
  if (!FindClose(std::exchange(search_, INVALID_HANDLE_VALUE))) {
    cleanupUncertain_ = true;
    fail("profile_diagnostic_cleanup_uncertain");
  }
  for (const std::wstring& path : dropped) {
    const std::size_t opened = handles_.size();
    HANDLE handle = nullptr;
    try {
      handle = openVerified(path, DELETE, OPEN_EXISTING, nullptr, false);
    } catch (const ProfileError&) {
      if (handles_.size() > opened) closeListed(handles_.back().get());
      continue;
    }
    if (handle == nullptr) continue;
    static_cast<void>(markForDeletion(handle, true));
    closeListed(handle);
  }
}

// 0 becomes 1, 1 becomes 2, 2 becomes 3, and the old 3 is dropped, as one
// step: every index present is opened and verified before anything moves,
// the old 3 is only moved aside (to a name of its own, marked for deletion
// with its last handle) until the new index 0 exists, and a step that fails
// puts back what moved before it. A file an operation holds moves too; its
// terminal record follows it (isDayLogFile). Returns the new index 0, its
// identity in `identity`. What an earlier rotation killed between its move
// aside and the delete left behind is collected first: only a rotation
// leaves such a file, so the next one finds it.
HANDLE DiagnosticWrite::rotate(const std::string& day, SECURITY_ATTRIBUTES* attributes,
                               FileIdentity& identity) {
  collectDropped(home_->homePath() + kLogDirectory);
  std::array<HANDLE, kLogRotations + 1> present{};
  FileIdentity oldestIdentity;
  for (unsigned index = 0; index <= kLogRotations; ++index) {
    present[index] = openVerified(logPath(day, index), DELETE, OPEN_EXISTING, nullptr, false,
                                  index == kLogRotations ? &oldestIdentity : nullptr);
  }
  struct Moved {
    HANDLE handle;
    std::wstring from;
  };
  std::vector<Moved> moved;
  moved.reserve(present.size());
  HANDLE fresh = nullptr;
  try {
    if (const HANDLE oldest = present[kLogRotations]; oldest != nullptr) {
      const std::wstring from = logPath(day, kLogRotations);
      if (!renameWithoutReplacing(
              oldest, droppedLogPath(from, oldestIdentity.indexHigh, oldestIdentity.indexLow))) {
        fail("diagnostic_unavailable");
      }
      moved.push_back({oldest, from});
      // From here a kill deletes it with its last handle, not leaves it aside.
      if (!markForDeletion(oldest, true)) fail("diagnostic_unavailable");
    }
    for (unsigned index = kLogRotations; index > 0; --index) {
      const HANDLE handle = present[index - 1];
      if (handle == nullptr) continue;
      if (!NUVRA_INJECT("log.rotate_rename", false,
                        renameWithoutReplacing(handle, logPath(day, index)))) {
        fail("diagnostic_unavailable");
      }
      moved.push_back({handle, logPath(day, index - 1)});
    }
    const std::size_t opened = handles_.size();
    try {
      fresh = openVerified(logPath(day, 0), kLogFileAccess | DELETE, CREATE_NEW, attributes, false,
                           &identity);
    } catch (...) {
      // A file this step created and then refused goes before index 0 moves back.
      if (handles_.size() > opened) {
        static_cast<void>(markForDeletion(handles_.back().get(), true));
        closeListedQuietly(handles_.back().get());
      }
      throw;
    }
  } catch (...) {
    for (auto entry = moved.rbegin(); entry != moved.rend(); ++entry) {
      if (entry->handle == present[kLogRotations]) {
        static_cast<void>(markForDeletion(entry->handle, false));
      }
      // Best effort: a move back that fails still loses no file.
      static_cast<void>(renameWithoutReplacing(entry->handle, entry->from));
    }
    throw;
  }
  // The old 3 goes once its last handle does (ours, or an operation's).
  for (const HANDLE handle : present) {
    if (handle != nullptr) closeListed(handle);
  }
  return fresh;
}

void DiagnosticWrite::retentionScan(const std::wstring& directory, const std::string& cutoff,
                                    std::vector<std::wstring>& doomed) {
  WIN32_FIND_DATAW entry{};
  search_ = NUVRA_INJECT("log.retention_find", INVALID_HANDLE_VALUE,
                         FindFirstFileW((directory + kRetentionPattern).c_str(), &entry));
  if (search_ == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    fail("diagnostic_unavailable");
  }
  unsigned seen = 0;
  for (;;) {
    // A directory flooded with look-alike names is refused, not walked.
    if (++seen > kLogScanLimit) fail("diagnostic_unavailable");
    const std::optional<std::string> date = logFileDate(entry.cFileName);
    if (date && *date < cutoff) doomed.push_back(directory + L"\\" + entry.cFileName);
    if (!FindNextFileW(search_, &entry)) {
      const DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_FILES) fail("diagnostic_unavailable");
      break;
    }
  }
  if (!NUVRA_INJECT("log.retention_close", FALSE,
                    FindClose(std::exchange(search_, INVALID_HANDLE_VALUE)))) {
    cleanupUncertain_ = true;
    fail("profile_diagnostic_cleanup_uncertain");
  }
}

std::wstring DiagnosticWrite::logPath(const std::string& date, unsigned index) const {
  return home_->homePath() + kLogDirectory + L"\\" + logFileName(date, index);
}

bool DiagnosticWrite::cleanup() noexcept {
  cleanedUp_ = true;
  if (isPoisoned()) cleanupUncertain_ = true;
  bool clean = !cleanupUncertain_;
  if (clean) {
    if (search_ != INVALID_HANDLE_VALUE &&
        !FindClose(std::exchange(search_, INVALID_HANDLE_VALUE))) {
      clean = false;
    }
    for (auto handle = handles_.rbegin(); handle != handles_.rend(); ++handle) {
      if (!handle->closeForCleanup()) clean = false;
    }
  }
  if (!clean) {
    // What would not close, or might not have, is given up rather than closed
    // again later, when its value may name someone else's handle.
    for (UniqueHandle& handle : handles_) static_cast<void>(handle.release());
    search_ = INVALID_HANDLE_VALUE;
    handles_.clear();
    setPoisoned();
    return false;
  }
  handles_.clear();
  return true;
}

}  // namespace nuvra
