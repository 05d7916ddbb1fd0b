#include "resident/host_record.h"

#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::string_view kSchema = "nuvra.profile-resident-host.v1";

}  // namespace

std::string residentHostRecord(const ResidentHostFields& fields) {
  return profileRecordHead(kSchema, fields)
      .decimalString("s", fields.serialization)
      .decimalString("l", fields.lifetime)
      .decimalString("activation", fields.activation)
      .decimalString("parent", fields.parent)
      .number("parent_pid", fields.parentPid)
      .raw("guards", fields.guards)
      .text();
}

ResidentHostHandoff readResidentHostRecord(std::string_view text) {
  const HandoffRecordReader record(
      text, kSchema,
      {"schema_version", "home", "root", "owner_sid_hash", "payload_digest", "generation",
       "deadline_tick64", "s", "l", "activation", "parent", "parent_pid", "guards"},
      "profile_resident_host");
  ResidentHostHandoff handoff;
  ResidentHostFields& fields = handoff.fields;
  record.head(fields);
  fields.serialization = record.handle("s");
  fields.lifetime = record.handle("l");
  fields.activation = record.handle("activation");
  fields.parent = record.handle("parent");
  fields.parentPid = record.number32("parent_pid");
  if (fields.parentPid == 0) record.refuse();
  handoff.guards = record.guards("guards", fields.lifetime);
  return handoff;
}

}  // namespace nuvra
