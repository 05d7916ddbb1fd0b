#include "resident/host_record.h"

#include <limits>
#include <optional>

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::string_view kSchema = "nuvra.profile-resident-host.v1";

[[noreturn]] void refused() {
  fail("profile_resident_host");
}

template <typename Value>
Value need(const std::optional<Value>& value) {
  if (!value) refused();
  return *value;
}

std::string needText(const FlatValue& value) {
  const auto text = flatString(value);
  if (!text || text->empty()) refused();
  return std::string(*text);
}

}  // namespace

std::string residentHostRecord(const ResidentHostFields& fields) {
  return RecordBuilder()
      .string("schema_version", kSchema)
      .string("home", fields.home)
      .string("root", fields.root)
      .string("owner_sid_hash", fields.ownerSidHash)
      .string("payload_digest", fields.payloadDigest)
      .string("generation", fields.generation)
      .decimalString("deadline_tick64", fields.deadline)
      .decimalString("s", fields.serialization)
      .decimalString("l", fields.lifetime)
      .decimalString("activation", fields.activation)
      .decimalString("parent", fields.parent)
      .number("parent_pid", fields.parentPid)
      .raw("guards", fields.guards)
      .text();
}

ResidentHostHandoff readResidentHostRecord(std::string_view text) {
  FlatObject record;
  try {
    record = readFlatObject(text);
  } catch (const ProfileError&) {
    refused();
  }
  if (!hasKeysInOrder(record, {"schema_version", "home", "root", "owner_sid_hash", "payload_digest",
                               "generation", "deadline_tick64", "s", "l", "activation", "parent",
                               "parent_pid", "guards"})) {
    refused();
  }
  if (needText(record[0].value) != kSchema) refused();
  ResidentHostHandoff handoff;
  ResidentHostFields& fields = handoff.fields;
  fields.home = needText(record[1].value);
  fields.root = needText(record[2].value);
  fields.ownerSidHash = needText(record[3].value);
  fields.payloadDigest = needText(record[4].value);
  fields.generation = needText(record[5].value);
  fields.deadline = need(handoffDecimal(record[6].value));
  fields.serialization = need(handoffHandle(record[7].value));
  fields.lifetime = need(handoffHandle(record[8].value));
  fields.activation = need(handoffHandle(record[9].value));
  fields.parent = need(handoffHandle(record[10].value));
  const std::uint64_t parentPid = need(flatUnsigned(record[11].value));
  if (parentPid == 0 || parentPid > std::numeric_limits<std::uint32_t>::max()) refused();
  fields.parentPid = static_cast<std::uint32_t>(parentPid);
  handoff.guards = need(readHandoffGuards(record[12].value));
  bool lifetimeNamed = false;
  for (const HandoffGuard& guard : handoff.guards) lifetimeNamed |= guard.handle == fields.lifetime;
  if (!lifetimeNamed) refused();
  return handoff;
}

}  // namespace nuvra
