#include "shared/host_endpoint.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::uint64_t kTicksPerMillisecond = 10000;
constexpr std::uint64_t kMillisecondsPerDay = 86400000;
// 1601-01-01 is this many days before 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134774;
// The first FILETIME of the year 10000.
constexpr std::uint64_t kYear10000 = 2650467744000000000ull;

[[noreturn]] void residencyInvalid() {
  fail("host_residency_invalid");
}

bool isLowerHex(std::string_view text, std::size_t length) noexcept {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool isCanonicalDecimal(std::string_view text) noexcept {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text.front() == '0')) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string_view stringMember(const FlatObject& object, std::string_view key) {
  const FlatValue* value = findMember(object, key);
  const auto text = value != nullptr ? flatString(*value) : std::nullopt;
  if (!text) residencyInvalid();
  return *text;
}

// Year, month and day of a count of days since 1970-01-01 (the proleptic
// Gregorian calendar, eras of 400 years).
struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};
CivilDate civilFromDays(std::int64_t days) noexcept {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<std::uint64_t>(days - era * 146097);
  const std::uint64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const auto day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// `value` in exactly `width` digits, zero-padded.
void appendPadded(std::string& out, std::uint64_t value, std::size_t width) {
  const std::string digits = formatDecimal64(value);
  out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

std::optional<std::string> linkMessageType(const FlatObject& message) {
  const FlatValue* type = findMember(message, "type");
  const auto text = type != nullptr ? flatString(*type) : std::nullopt;
  if (!text) return std::nullopt;
  return std::string(*text);
}

ResidencyFacts readResidencyMessage(const FlatObject& message, std::uint32_t parentPid) {
  if (linkMessageType(message) != "residency") residencyInvalid();
  const FlatValue* observation = findMember(message, "observation");
  if (observation == nullptr || observation->kind != FlatValue::Kind::object) residencyInvalid();
  const FlatObject& members = observation->members;
  ResidencyFacts facts;
  facts.brokerScope = stringMember(members, "broker_scope");
  if (facts.brokerScope != "machine" && facts.brokerScope != "harness_session") residencyInvalid();
  const FlatValue* pid = findMember(members, "pid");
  const auto pidValue = pid != nullptr ? flatUnsigned(*pid) : std::nullopt;
  // The runtime that started this host observes itself; any other pid is
  // not the runtime the record will name as parent.
  if (!pidValue || *pidValue != parentPid) residencyInvalid();
  facts.pid = parentPid;
  facts.creationFiletime = stringMember(members, "process_creation_filetime");
  if (!isCanonicalDecimal(facts.creationFiletime)) residencyInvalid();
  facts.imagePathSha256 = stringMember(members, "image_path_sha256");
  if (!isLowerHex(facts.imagePathSha256, 64)) residencyInvalid();
  return facts;
}

DeviceBinding readDeviceBindingText(std::string_view text) {
  FlatObject object;
  try {
    object = readJsonObject(text);
  } catch (const ProfileError&) {
    fail("host_device_binding");
  }
  const auto member = [&object](std::string_view key) {
    const FlatValue* value = findMember(object, key);
    const auto found = value != nullptr ? flatString(*value) : std::nullopt;
    if (!found) fail("host_device_binding");
    return std::string(*found);
  };
  return {member("session_id"), member("device_id"), member("consumer_id")};
}

std::string endpointTimestamp(std::uint64_t filetime) {
  if (filetime >= kYear10000) fail("host_clock");
  const std::uint64_t milliseconds = filetime / kTicksPerMillisecond;
  const std::uint64_t days = milliseconds / kMillisecondsPerDay;
  std::uint64_t inDay = milliseconds % kMillisecondsPerDay;
  const CivilDate date = civilFromDays(static_cast<std::int64_t>(days) - kDaysFrom1601To1970);
  std::string out;
  appendPadded(out, static_cast<std::uint64_t>(date.year), 4);
  out += '-';
  appendPadded(out, date.month, 2);
  out += '-';
  appendPadded(out, date.day, 2);
  out += 'T';
  appendPadded(out, inDay / 3600000, 2);
  inDay %= 3600000;
  out += ':';
  appendPadded(out, inDay / 60000, 2);
  inDay %= 60000;
  out += ':';
  appendPadded(out, inDay / 1000, 2);
  out += '.';
  appendPadded(out, inDay % 1000, 3);
  out += 'Z';
  return out;
}

std::string composeHostEndpoint(const HostEndpointInput& input, Sha256Hex sha256Hex) {
  if (input.publishedAt < input.startedAt) fail("host_clock");
  const HostSelf& self = input.self;
  // The two bindings, exactly as a client recomputes them from its own
  // identity and its own copy of the device binding.
  const std::string installation =
      sha256Hex(installationBindingText(self.homeKey, input.device, self.ownerSidHash));
  EndpointFields fields;
  fields.brokerBinding =
      sha256Hex(brokerBindingText(self.authenticationIdHash, installation, self.sessionId));
  fields.brokerInstance = input.brokerInstance;
  fields.ownerSidHash = self.ownerSidHash;
  fields.startedAt = endpointTimestamp(input.startedAt);
  fields.publishedAt = endpointTimestamp(input.publishedAt);
  fields.brokerScope = input.residency.brokerScope;
  fields.pid = self.pid;
  fields.processCreationFiletime = formatDecimal64(self.creationFiletime);
  fields.imagePathSha256 = self.imagePathSha256;
  fields.authenticationIdHash = self.authenticationIdHash;
  fields.windowsSessionId = self.sessionId;
  fields.installationRootSha256 = self.homeKey;
  fields.parentPid = input.residency.pid;
  fields.parentProcessCreationFiletime = input.residency.creationFiletime;
  fields.parentImagePathSha256 = input.residency.imagePathSha256;
  return buildEndpointRecord(fields);
}

std::string endpointMessage(std::string_view record) {
  return RecordBuilder().string("type", "endpoint").string("record", record).line();
}

}  // namespace nuvra
