// The servicing side's repair of a product home:
//
//   nuvra_install_home --repair --home DIR
//
// A runtime that finds the home's serialisation mutex abandoned cannot know
// what the dead holder left half done, so it puts the servicing record in
// state "RECOVERY_REQUIRED" (keeping the previous record) and every later
// start is refused. The repair, in this order:
// 1. Takes the home's serialisation mutex (created owner-only as the
//    launcher creates it when absent), so that no runtime starts halfway.
// 2. Reads the servicing record with the owner-only check. In state
//    "COMMITTED" there is nothing to repair, unless the mutex was found
//    abandoned: then the home is verified all the same.
// 3. Finds the committed record it keeps (through every recovery that
//    wrapped another) and verifies the home against it, as a runtime start
//    would: the committed selection for this home and user, the
//    current-runtime and admission records agreeing with it, every payload
//    file the admission record lists with its SHA-256 and the payload digest
//    over the list, and both markers with the identities the record pins.
// 4. Only when everything verifies, writes the committed record again as
//    the servicing side writes records (owner-only temporary file, flush,
//    atomic replace) and reads it back.
// A file that does not verify is named with its reason, nothing is written,
// and the exit code is 1; after an abandoned wait the mutex is then left
// abandoned, so that the next runtime records the recovery again.
#include "repair_win.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/flat_json.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/guards_win.h"
#include "custody/selection_records_win.h"
#include "custody/servicing.h"
#include "custody/startup_rules.h"
#include "install_files_win.h"
#include "shared/home_objects_win.h"
#include "shared/home_records.h"

namespace nuvra::installer {
namespace {

// Long enough for any step a runtime takes under the mutex on a loaded
// machine; a holder past it is reported, not waited out.
constexpr DWORD kMutexWaitMs = 30000;

struct Refusal {
  std::string file;
  std::string words;
  std::string reason;
};

class Refusals {
 public:
  // Runs `step`; a reason it throws refuses `file` with `words`.
  template <typename Step>
  bool run(std::string_view file, std::string_view words, Step&& step) {
    try {
      step();
      return true;
    } catch (const std::exception& error) {
      list.push_back({std::string(file), std::string(words), error.what()});
      return false;
    }
  }
  std::vector<Refusal> list;
};

struct Admission {
  startup::AdmissionRecord record;
  std::vector<launcher::PayloadFile> files;
};

Admission readAdmission(const std::wstring& home) {
  const FlatObject object = readJsonObject(readSelectionRecord(home, SelectionRecord::admission));
  Admission admission;
  const FlatObject& payload = requiredMemberObject(object, "payload");
  admission.record.nativeEntry =
      requiredMemberText(requiredMemberObject(payload, "entrypoints"), "native");
  startup::checkAdmissionEntry(admission.record);
  startup::NativeDigestScan scan;
  const FlatValue* files = findMember(payload, "files");
  if (files == nullptr || files->kind != FlatValue::Kind::array) fail("profile_string");
  for (const FlatValue& file : files->items) {
    if (file.kind != FlatValue::Kind::object) fail("profile_string");
    launcher::PayloadFile entry{requiredMemberText(file.members, "path"),
                                requiredMemberText(file.members, "sha256")};
    if (startup::NativeDigestScan::namesNativeEntry(entry.path)) scan.offer(entry.sha256);
    admission.files.push_back(std::move(entry));
  }
  scan.result();
  admission.record.installationRoot = requiredMemberText(object, "installation_root");
  admission.record.ownerSidHash = requiredMemberText(object, "owner_sid_hash");
  admission.record.payloadDigest = requiredMemberText(payload, "digest");
  return admission;
}

// A payload file as the runtime's guards take it: a plain single-linked
// owner-only file, whose bytes have the listed SHA-256.
void verifyPayloadFile(const std::wstring& path, std::string_view sha256) {
  {
    UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FileIdentity identity;
    if (!file) fail("profile_record_open");
    if (!fileIdentity(file.get(), identity) ||
        (identity.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      fail("profile_guard");
    }
    if (identity.links != 1) fail("profile_guard_links");
    checkOwnerOnly(file.get(), OwnedObject::file);
  }
  if (sha256Hex(readWholeFile(path)) != sha256) fail("installer_payload_digest");
}

// A marker as the launcher hands it and initialize validates it.
void verifyMarkers(const std::wstring& home, const startup::ServicingRecord& committed,
                   Refusals& refusals) {
  const struct {
    std::wstring_view relative;
    std::string_view file;
  } kMarkers[] = {{kLifetimeMarkerPath, "state\\runtime\\lifetime.v1"},
                  {kWorkMarkerPath, "state\\runtime\\work.v1"}};
  UniqueHandle open[2];
  for (std::size_t i = 0; i < 2; ++i) {
    open[i] = UniqueHandle(
        CreateFileW((home + std::wstring(kMarkers[i].relative)).c_str(),
                    FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  }
  GuardValidation validation(home, open[0].get(), open[1].get(), committed.lifetimeIdentity,
                             committed.workIdentity);
  for (std::size_t i = 0; i < 2; ++i) {
    refusals.run(kMarkers[i].file, "is not the marker the committed record pins", [&] {
      if (!open[i]) fail("profile_markers");
      FileIdentity identity;
      if (!fileIdentity(open[i].get(), identity)) fail("profile_guard");
      validation.add(open[i].get(), utf16ToUtf8(canonicalPath(open[i].get())),
                     identity.volumeSerial,
                     (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow);
    });
  }
}

// 3. Everything the committed record says, checked against the home.
void verifyHome(const std::wstring& home, const std::string& committedText, Refusals& refusals) {
  constexpr std::string_view kServicing = "state\\runtime\\servicing.json";
  startup::ServicingRecord committed;
  startup::HandoffSelection handoff;
  if (!refusals.run(kServicing, "keeps no committed record of this home for you", [&] {
        committed = startup::servicingFields(readJsonObject(committedText));
        handoff = {utf16ToUtf8(home), ownerSidHash(), committed.digest, committed.generation};
        startup::checkServicingSelection(handoff, committed);
        parseDecimal64(committed.generation);
        if (!launcher::isVersionText(committed.version)) fail("profile_selection");
      })) {
    return;
  }
  startup::CurrentRecord current;
  Admission admission;
  const bool readable =
      refusals.run("runtime\\current", "cannot be read as the current-runtime record",
                   [&] {
                     const FlatObject object =
                         readJsonObject(readSelectionRecord(home, SelectionRecord::current));
                     current.version = requiredMemberText(object, "version");
                     current.digest = requiredMemberText(object, "digest");
                   }) &&
      refusals.run("state\\runtime\\admission.json", "cannot be read as the admission record",
                   [&] { admission = readAdmission(home); });
  if (!readable) return;
  const std::wstring root = home + L"\\runtime\\" + utf8ToUtf16(committed.version);
  const bool rootMatches =
      samePathIgnoringCase(home + L"\\runtime\\" + utf8ToUtf16(current.version), root);
  if (!refusals.run("runtime\\current and state\\runtime\\admission.json",
                    "do not select the runtime the committed record commits", [&] {
                      startup::checkRecordAgreement(handoff, committed, current, admission.record,
                                                    rootMatches);
                      if (sha256Hex(launcher::payloadFilesText(admission.files)) !=
                          committed.digest) {
                        fail("installer_payload_digest");
                      }
                    })) {
    return;
  }
  for (const launcher::PayloadFile& file : admission.files) {
    std::string relative = file.path;
    for (char& c : relative) c = c == '/' ? '\\' : c;
    refusals.run("runtime\\" + committed.version + "\\" + relative,
                 "is not the payload file the admission record lists",
                 [&] { verifyPayloadFile(root + L"\\" + utf8ToUtf16(relative), file.sha256); });
  }
  verifyMarkers(home, committed, refusals);
}

// 4.
void writeCommitted(const std::wstring& home, const std::string& committedText) {
  replaceRecord(servicing::recordPath(home), committedText);
  if (readSelectionRecord(home, SelectionRecord::servicing) != committedText) {
    fail("installer_readback");
  }
}

// The mutex while the repair works; released only by `release`.
class MutexHold {
 public:
  explicit MutexHold(const std::wstring& home) : mutex_(broker::openSerializationMutex(home)) {
    requireNonInheritable(mutex_.get());
    checkOwnerOnly(mutex_.get(), OwnedObject::kernelObject);
    const DWORD waited = WaitForSingleObject(mutex_.get(), kMutexWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) fail("profile_owner_wait");
    abandoned_ = waited == WAIT_ABANDONED;
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  // A repair that ends any other way leaves the mutex owned by a thread that
  // ends with the process: the next owner finds it abandoned.
  ~MutexHold() = default;

  bool abandoned() const noexcept { return abandoned_; }
  void release() {
    if (!ReleaseMutex(mutex_.get())) fail("profile_owner_release");
  }

 private:
  UniqueHandle mutex_;
  bool abandoned_ = false;
};

}  // namespace

int repairHome(const std::wstring& requested) {
  std::wstring home;
  std::optional<MutexHold> hold;
  std::string servicingText;
  try {
    home = broker::resolveHome(requested);
    std::printf("repair %s\n", utf16ToUtf8(home).c_str());
    // 1.
    hold.emplace(home);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "repair: %s\n", error.what());
    return 3;
  }
  Refusals refusals;
  std::string committed;
  // 2. and 3.
  const bool found = refusals.run("state\\runtime\\servicing.json",
                                  "cannot be read, or keeps no committed record to return to", [&] {
                                    servicingText =
                                        readSelectionRecord(home, SelectionRecord::servicing);
                                    committed = launcher::committedRecordText(servicingText);
                                  });
  if (found && committed == servicingText && !hold->abandoned()) {
    std::puts("nothing to repair: the servicing record commits a runtime");
    hold->release();
    return 0;
  }
  if (found) verifyHome(home, committed, refusals);
  if (!refusals.list.empty()) {
    for (const Refusal& refusal : refusals.list) {
      std::printf("  %s: %s  [%s]\n", refusal.file.c_str(), refusal.words.c_str(),
                  refusal.reason.c_str());
    }
    std::puts("nothing changed");
    std::fflush(stdout);
    if (!hold->abandoned()) hold->release();
    return 1;
  }
  // 4.
  try {
    if (committed != servicingText) writeCommitted(home, committed);
    hold->release();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "repair: %s\n", error.what());
    return 3;
  }
  std::puts(committed != servicingText
                ? "repaired: the servicing record commits its runtime again"
                : "verified: the servicing record commits a runtime and the home matches it");
  return 0;
}

}  // namespace nuvra::installer
