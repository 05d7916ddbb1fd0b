// The "check" role: inspects a product home the way a runtime start and a
// client's reading of the broker endpoint would, and says in plain words what
// they would refuse and why, each finding with the reason code the runtime
// would report.
//
//   nuvra_windows_broker_native.exe check --home DIR
//
// One line per finding, "<what is wrong>  [reason_code]", then a summary line.
// Exit codes: 0 nothing to refuse, 1 findings, 2 usage (or DIR is no folder),
// 3 the check could not run (its reason on standard error).
//
// It changes nothing: records are read with the runtime's own record reader,
// guards are opened for attributes and security only with every kind of
// sharing, and the home's serialisation mutex is opened by name, never
// created or waited on.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker_leftovers_win.h"
#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/flat_json.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/layout.h"
#include "common/reason.h"
#include "common/record_file_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/guards_win.h"
#include "custody/selection_records_win.h"
#include "custody/serialization_object_win.h"
#include "custody/servicing.h"
#include "custody/startup_rules.h"
#include "resident/endpoint_record.h"
#include "resident/publication_rules.h"
#include "roles.h"
#include "server/server_exchange.h"
#include "shared/host_endpoint.h"
#include "startup_custody_win.h"

namespace nuvra::broker {
namespace {

// SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE, as the runtime opens it.
constexpr DWORD kMutexQueryAccess = 0x00120001;

struct Finding {
  std::string words;
  std::string reason;
};

class Findings {
 public:
  void add(std::string words, std::string_view reason) {
    list_.push_back({std::move(words), std::string(reason)});
  }
  // Runs `step`; a reason it throws becomes a finding about `subject`,
  // worded by `explain`. True when the step passed.
  bool run(const std::string& subject, const std::function<void()>& step) {
    try {
      step();
      return true;
    } catch (const std::exception& error) {
      // A decimal above 64 bits keeps the library's own message, as in the
      // runtime.
      add(subject + " " + explain(error.what()), error.what());
      return false;
    }
  }
  const std::vector<Finding>& list() const { return list_; }

 private:
  // What a reason means for the file it was raised about.
  static std::string explain(std::string_view reason) {
    struct Meaning {
      std::string_view reason;
      std::string_view words;
    };
    static constexpr Meaning kMeanings[] = {
        {"profile_record_open", "is missing or cannot be opened"},
        {"profile_security", "is not owner-only: someone besides you may read or change it"},
        {"profile_record",
         "is not a plain single-linked file of 1 byte to 256 KiB holding one JSON object"},
        {"profile_path", "is reached under another path than its own (a link or a rename)"},
        {"profile_record_read", "cannot be read"},
        {"profile_string", "lacks a key the runtime reads, or holds another type there"},
        {"host_device_binding",
         "is not one JSON object with the string keys session_id, device_id and consumer_id: "
         "the broker host cannot bind its endpoint, and no resident publishes"},
        {"profile_integer", "holds a generation that is not a decimal number"},
        {"profile_guard", "cannot be pinned as a guard (not a plain file on disk, or a link)"},
        {"profile_guard_links",
         "has a second hard link: a second name lets it change behind the runtime's guard"},
        {"profile_marker",
         "is not the marker the servicing record pins (a folder, not empty, or another file)"},
        {"profile_native_target",
         "does not name the native broker executable exactly once with a lowercase SHA-256"},
        {"broker_endpoint_invalid",
         "is larger than 8,191 bytes or not JSON: clients ignore it and start the broker cold"},
    };
    for (const Meaning& meaning : kMeanings) {
      if (meaning.reason == reason) return std::string(meaning.words);
    }
    return "is refused";
  }

  std::vector<Finding> list_;
};

// What the checks compare the home with.
struct HomeFacts {
  std::wstring home;  // final path, the spelling of every record
  std::string homeUtf8;
  std::string ownerSidHash;
  ProcessIdentity identity;
  bool committed = false;            // the servicing record commits a runtime for us
  std::optional<std::wstring> root;  // once the three records agree on it
};

// 1. The home's serialisation mutex, if a process of the home holds it open.
void checkSerializationMutex(const HomeFacts& facts, Findings& findings) {
  UniqueHandle mutex(
      OpenMutexW(kMutexQueryAccess, FALSE, serializationMutexName(facts.home).c_str()));
  if (!mutex) return;  // none yet: the launcher creates it owner-only
  findings.run("the home's serialisation mutex", [&] {
    try {
      checkOwnerOnly(mutex.get(), OwnedObject::kernelObject);
    } catch (const ProfileError&) {
      fail("profile_security");
    }
  });
}

struct Records {
  std::optional<FlatObject> servicing;
  std::optional<FlatObject> current;
  std::optional<FlatObject> admission;
};

// 2. The three selection records, read as initialize reads them.
Records readRecords(const HomeFacts& facts, Findings& findings) {
  Records records;
  const struct {
    SelectionRecord which;
    const char* subject;
    std::optional<FlatObject>& into;
  } kRecords[] = {
      {SelectionRecord::servicing, "the servicing record state\\runtime\\servicing.json",
       records.servicing},
      {SelectionRecord::current, "the current-runtime record runtime\\current", records.current},
      {SelectionRecord::admission, "the admission record state\\runtime\\admission.json",
       records.admission},
  };
  for (const auto& record : kRecords) {
    findings.run(record.subject, [&] {
      record.into = readJsonObject(readSelectionRecord(facts.home, record.which));
    });
  }
  return records;
}

// 3. The committed selection: the servicing record commits a runtime of this
// home for this user, and the three records agree on it.
void checkSelection(HomeFacts& facts, const Records& records, Findings& findings) {
  if (!records.servicing) return;
  const FlatObject& object = *records.servicing;
  const startup::ServicingRecord servicing = startup::servicingFields(object);
  // What the product's launcher hands a runtime it starts from these records.
  const startup::HandoffSelection handoff{facts.homeUtf8, facts.ownerSidHash, servicing.digest,
                                          servicing.generation};
  if (servicing.state == servicing::kStateRecoveryRequired) {
    findings.add(
        "the servicing record is in state RECOVERY_REQUIRED: a process died while it held the "
        "home's serialisation mutex, and every runtime start is refused until the servicing "
        "side repairs the home",
        "profile_selection");
    return;
  }
  try {
    startup::checkServicingSelection(handoff, servicing);
  } catch (const ProfileError&) {
    findings.add(
        "the servicing record does not commit a runtime of this home for you (its schema, "
        "state, installation_root or owner_sid_hash differ)",
        "profile_selection");
    return;
  }
  if (!findings.run("the servicing record", [&] { parseDecimal64(servicing.generation); })) {
    return;
  }
  facts.committed = true;
  if (!records.current || !records.admission) return;
  startup::AdmissionRecord admission;
  startup::CurrentRecord current;
  const bool readable = findings.run("the admission record", [&] {
    const FlatObject& payload = requiredMemberObject(*records.admission, "payload");
    admission.nativeEntry =
        requiredMemberText(requiredMemberObject(payload, "entrypoints"), "native");
    startup::checkAdmissionEntry(admission);
    startup::NativeDigestScan scan;
    const FlatValue* files = findMember(payload, "files");
    if (files == nullptr || files->kind != FlatValue::Kind::array) fail("profile_string");
    for (const FlatValue& file : files->items) {
      if (file.kind != FlatValue::Kind::object) fail("profile_string");
      if (startup::NativeDigestScan::namesNativeEntry(requiredMemberText(file.members, "path"))) {
        scan.offer(requiredMemberText(file.members, "sha256"));
      }
    }
    scan.result();
    admission.installationRoot = requiredMemberText(*records.admission, "installation_root");
    admission.ownerSidHash = requiredMemberText(*records.admission, "owner_sid_hash");
    admission.payloadDigest = requiredMemberText(payload, "digest");
  }) && findings.run("the current-runtime record", [&] {
    current.version = requiredMemberText(*records.current, "version");
    current.digest = requiredMemberText(*records.current, "digest");
  });
  if (!readable) return;
  // The launcher starts the runtime the current-runtime record names.
  const std::wstring root = facts.home + L"\\runtime\\" + utf8ToUtf16(current.version);
  const bool rootMatches =
      !servicing.version.empty() &&
      samePathIgnoringCase(root, facts.home + L"\\runtime\\" + utf8ToUtf16(servicing.version));
  try {
    startup::checkRecordAgreement(handoff, servicing, current, admission, rootMatches);
  } catch (const ProfileError&) {
    findings.add(
        "the servicing, current-runtime and admission records disagree on the runtime's "
        "version, digest, home or owner",
        "profile_selection");
    return;
  }
  facts.root = root;
}

// 4. The guards the launcher hands a runtime: both markers, node.exe and the
// native broker executable, each validated as initialize validates it.
void checkGuards(const HomeFacts& facts, const Records& records, Findings& findings) {
  const std::string lifetimeIdentity =
      facts.committed ? memberText(*records.servicing, "lifetime_identity") : "";
  const std::string workIdentity =
      facts.committed ? memberText(*records.servicing, "work_identity") : "";
  struct Guard {
    std::wstring path;
    std::string subject;
    const char* missing;  // the reason a start gives when the file is absent
  };
  std::vector<Guard> guards = {
      {facts.home + std::wstring(kLifetimeMarkerPath),
       "the lifetime marker state\\runtime\\lifetime.v1", "profile_markers"},
      {facts.home + std::wstring(kWorkMarkerPath), "the work marker state\\runtime\\work.v1",
       "profile_markers"},
  };
  if (facts.root) {
    guards.push_back({*facts.root + std::wstring(kNodeImageSuffix), "the runtime's node.exe",
                      "profile_node_image"});
    guards.push_back({*facts.root + std::wstring(kBrokerRelativePath),
                      "the native broker executable", "profile_native_target"});
  }
  std::vector<UniqueHandle> open(guards.size());
  std::vector<DWORD> openError(guards.size(), ERROR_SUCCESS);
  for (std::size_t i = 0; i < guards.size(); ++i) {
    open[i] = UniqueHandle(
        CreateFileW(guards[i].path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!open[i]) openError[i] = GetLastError();
  }
  GuardValidation validation(facts.home, open[0].get(), open[1].get(), lifetimeIdentity,
                             workIdentity);
  for (std::size_t i = 0; i < guards.size(); ++i) {
    const Guard& guard = guards[i];
    if (!open[i]) {
      if (openError[i] == ERROR_FILE_NOT_FOUND || openError[i] == ERROR_PATH_NOT_FOUND) {
        findings.add(guard.subject + " is missing", guard.missing);
      } else {
        findings.add(guard.subject + " cannot be opened to be pinned as a guard", "profile_guard");
      }
      continue;
    }
    // A marker is compared with the identity a committed record pins; without
    // one its absence is all there is to say.
    if (i < 2 && !facts.committed) continue;
    findings.run(guard.subject, [&] {
      FileIdentity identity;
      if (!fileIdentity(open[i].get(), identity)) fail("profile_guard");
      std::wstring finalPath;
      try {
        finalPath = canonicalPath(open[i].get());
      } catch (const ProfileError&) {
        fail("profile_guard");
      }
      validation.add(open[i].get(), utf16ToUtf8(finalPath), identity.volumeSerial,
                     (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow);
    });
  }
}

// 5. The device binding and the published endpoint, read as a client reads
// them before its first exchange.
void checkEndpoint(const HomeFacts& facts, Findings& findings) {
  findings.run("the device binding windows-device-auth.json",
               [&] { readDeviceBinding(facts.home); });
  const std::wstring path = facts.home + std::wstring(kEndpointRecordPath);
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;  // none published
  }
  const std::string subject = "the broker endpoint record state\\broker\\endpoint.json";
  std::string text;
  if (!findings.run(subject, [&] {
        text = readRecordFile(path, true);
        if (text.size() > kEndpointRecordLimit) fail("broker_endpoint_invalid");
      })) {
    return;
  }
  if (!facts.root) return;  // without a committed runtime there is nothing to compare with
  const ClientFacts client{facts.home, facts.ownerSidHash, facts.identity,
                           pathHash(*facts.root + std::wstring(kBrokerRelativePath))};
  RecordProcessProbe probe(client, true);
  bool live = false;
  try {
    EndpointEntries entries;
    try {
      entries = endpointEntries(readJsonObject(text));
    } catch (const ProfileError&) {
      fail("broker_endpoint_invalid");
    }
    live = readEndpointVerdict(entries, probe);
  } catch (const ProfileError& error) {
    if (std::string_view(error.what()) == "broker_runtime_incompatible") {
      findings.add(subject + " names a broker of another runtime than the committed one",
                   "broker_runtime_incompatible");
    } else {
      findings.add(subject + " is not JSON: clients ignore it and start the broker cold",
                   "broker_endpoint_invalid");
    }
    return;
  }
  if (live) return;
  const RecordStaleness staleness = probe.staleness();
  if (staleness == RecordStaleness::brokerGone || staleness == RecordStaleness::runtimeGone) {
    findings.add(subject +
                     " is stale: the broker it names, or the runtime that published it, no "
                     "longer runs; clients start the broker cold, and the next resident removes it",
                 "broker_native_exited");
  } else if (probe.reachedProcesses()) {
    findings.add(subject +
                     " names processes that still run but that a client does not take for this "
                     "home's broker and its runtime; clients start the broker cold, and no "
                     "resident removes it while they run",
                 "broker_native_peer_refused");
  } else {
    findings.add(subject +
                     " was not made for this home, user, logon session and device binding, or "
                     "breaks the record's rules; clients ignore it and start the broker cold",
                 "broker_endpoint_invalid");
  }
}

// A directory search, closed with its owner.
class FileSearch {
 public:
  explicit FileSearch(HANDLE search) noexcept : search_(search) {}
  FileSearch(const FileSearch&) = delete;
  FileSearch& operator=(const FileSearch&) = delete;
  ~FileSearch() {
    if (search_ != INVALID_HANDLE_VALUE) FindClose(search_);
  }
  explicit operator bool() const noexcept { return search_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const noexcept { return search_; }

 private:
  HANDLE search_;
};

// Up to one byte more than an audit holds, so that a long file is told from
// a whole one; what cannot be opened or read counts as nothing read.
std::string auditBytes(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::string bytes(kPhaseAuditFileBytes + 1, '\0');
  DWORD read = 0;
  if (!file ||
      !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    read = 0;
  }
  bytes.resize(read);
  return bytes;
}

// 6. The server works' sealed phase audits: each is written once, so one
// that is not a whole audit image stays so for good.
void checkPhaseAudits(const HomeFacts& facts, Findings& findings) {
  const std::wstring directory = facts.home + std::wstring(kBrokerStatePath);
  WIN32_FIND_DATAW entry{};
  FileSearch search(FindFirstFileW((directory + L"\\phase-*.bin").c_str(), &entry));
  if (!search) return;  // no broker directory, or no audit in it
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::string bytes = auditBytes(directory + L"\\" + entry.cFileName);
    if (isWholePhaseAudit(bytes)) continue;
    const std::size_t shown = std::min(bytes.size(), kPhaseAuditFileBytes);
    findings.add("the phase audit state\\broker\\" + utf16ToUtf8(entry.cFileName) + " is torn: " +
                     std::to_string(shown) + (bytes.size() > kPhaseAuditFileBytes ? "+" : "") +
                     " of 4096 bytes, not one audit line padded with zero bytes; what the "
                     "server sealed for that request is lost",
                 "diagnostic_record_invalid");
  } while (FindNextFileW(search.get(), &entry));
}

// 6. The other files of the broker folder that make publication refuse: a
// temporary endpoint file that no publication can still be writing, and any
// other "endpoint*" name, which no publication makes and nothing removes.
void checkBrokerLeftovers(const HomeFacts& facts, Findings& findings) {
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileW(endpointSearchPattern(facts.home).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> names;
  do {
    names.emplace_back(entry.cFileName);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  for (const std::wstring& name : names) {
    const std::string file = "state\\broker\\" + utf16ToUtf8(name);
    const BrokerFileKind kind = classifyBrokerFile(utf16ToUtf8(name));
    if (kind == BrokerFileKind::record) continue;
    if (kind == BrokerFileKind::other) {
      findings.add("the file " + file +
                       " is no file a publication makes: every resident refuses to publish while "
                       "it is there, and nothing removes it",
                   "broker_publication_recovery_required");
      continue;
    }
    const UniqueHandle opened(
        CreateFileW((brokerDirectoryPath(facts.home) + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened) continue;  // gone meanwhile
    const std::uint64_t now = nowFiletime();
    std::uint64_t written = 0;
    try {
      written = lastWriteFiletime(opened.get());
    } catch (const ProfileError&) {
      continue;
    }
    if (!temporaryEndpointStale(now, written)) continue;  // a publication may be writing it
    findings.add("the temporary endpoint file " + file +
                     " is stale: a publication cut short left it " +
                     std::to_string(fileAgeMs(now, written) / 1000) +
                     " s ago; every resident refuses to publish while it is there, and the next "
                     "resident removes it",
                 "broker_publication_recovery_required");
  }
}

}  // namespace

int runHomeCheck(int argc, wchar_t** argv) {
  if (argc != 2 || std::wstring_view(argv[0]) != L"--home") {
    std::fputs("usage: nuvra_windows_broker_native check --home DIR\n", stderr);
    return 2;
  }
  HomeFacts facts;
  try {
    facts.home = resolveHome(argv[1]);
  } catch (const ProfileError&) {
    std::fputs("check: the home is not a folder that can be opened\n", stderr);
    return 2;
  }
  Findings findings;
  try {
    facts.homeUtf8 = utf16ToUtf8(facts.home);
    facts.ownerSidHash = ownerSidHash();
    facts.identity = runtimeIdentity();
    checkSerializationMutex(facts, findings);
    const Records records = readRecords(facts, findings);
    checkSelection(facts, records, findings);
    checkGuards(facts, records, findings);
    checkEndpoint(facts, findings);
    checkPhaseAudits(facts, findings);
    checkBrokerLeftovers(facts, findings);
  } catch (const ProfileError& error) {
    std::fprintf(stderr, "check: %s\n", error.what());
    return 3;
  }
  std::printf("check %s\n", facts.homeUtf8.c_str());
  for (const Finding& finding : findings.list()) {
    std::printf("  %s  [%s]\n", finding.words.c_str(), finding.reason.c_str());
  }
  if (findings.list().empty()) {
    std::puts("no findings: a runtime start would refuse nothing here");
    return 0;
  }
  std::printf("%zu finding%s\n", findings.list().size(), findings.list().size() == 1 ? "" : "s");
  return 1;
}

}  // namespace nuvra::broker
