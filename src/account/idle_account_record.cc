#include "account/idle_account_record.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::string_view kSchema = "nuvra.profile-idle-account.v1";
constexpr std::uint32_t kResidentMode = 2;

[[noreturn]] void refused() {
  fail("profile_account_handoff");
}

}  // namespace

std::string idleAccountRecord(const IdleAccountFields& fields) {
  return profileRecordHead(kSchema, fields)
      .string("startup_kind", fields.startupMode == kResidentMode ? "resident" : "setup")
      .decimalString("instance_nonce", fields.instanceNonce)
      .decimalString("s", fields.serialization)
      .decimalString("l", fields.lifetime)
      .decimalString("parent", fields.parent)
      .number("parent_pid", fields.parentPid)
      .decimalString("control_read", 0)
      .decimalString("control_write", 0)
      .number("work_volume", fields.workVolume)
      .decimalString("work_id", fields.workId)
      .raw("guards", fields.guards)
      .text();
}

std::string fillControlHandle(std::string_view text, std::string_view key, std::uint64_t handle) {
  if ((key != "control_read" && key != "control_write") || handle == 0) refused();
  // 1. The placeholder: the key as a JSON string, then :"0".
  const std::string placeholder = jsonString(key) + ":\"0\"";
  // 2. Exactly once: found from the start, not found again after it.
  if (text.size() < placeholder.size()) refused();
  const std::size_t at = text.find(placeholder);
  if (at == std::string_view::npos ||
      text.find(placeholder, at + placeholder.size()) != std::string_view::npos) {
    refused();
  }
  // 3. Replace it by the key and the handle value as a decimal JSON string.
  std::string filled(text.substr(0, at));
  filled += jsonString(key) + ":\"" + formatDecimal64(handle) + "\"";
  filled.append(text.substr(at + placeholder.size()));
  return filled;
}

IdleAccountHandoff readIdleAccountRecord(std::string_view text) {
  const HandoffRecordReader record(
      text, kSchema,
      {"schema_version", "home", "root", "owner_sid_hash", "payload_digest", "generation",
       "deadline_tick64", "startup_kind", "instance_nonce", "s", "l", "parent", "parent_pid",
       "control_read", "control_write", "work_volume", "work_id", "guards"},
      "profile_account_handoff");
  IdleAccountHandoff handoff;
  IdleAccountFields& fields = handoff.fields;
  record.head(fields);
  const std::string kind = record.text("startup_kind");
  if (kind != "resident" && kind != "setup") record.refuse();
  fields.startupMode = kind == "resident" ? kResidentMode : 1;
  fields.instanceNonce = record.decimal("instance_nonce");
  if (fields.instanceNonce == 0) record.refuse();
  fields.serialization = record.handle("s");
  fields.lifetime = record.handle("l");
  fields.parent = record.handle("parent");
  fields.parentPid = record.number32("parent_pid");
  if (fields.parentPid == 0) record.refuse();
  handoff.controlRead = record.handle("control_read");
  handoff.controlWrite = record.handle("control_write");
  fields.workVolume = record.number32("work_volume");
  fields.workId = record.decimal("work_id");
  handoff.guards = record.guards("guards", fields.lifetime);
  return handoff;
}

}  // namespace nuvra
