#include "account/idle_account_record.h"

#include <limits>
#include <optional>

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::string_view kSchema = "nuvra.profile-idle-account.v1";
constexpr std::uint32_t kResidentMode = 2;

[[noreturn]] void refused() {
  fail("profile_account_handoff");
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

std::uint32_t need32(const FlatValue& value) {
  const std::uint64_t number = need(flatUnsigned(value));
  if (number > std::numeric_limits<std::uint32_t>::max()) refused();
  return static_cast<std::uint32_t>(number);
}

}  // namespace

std::string idleAccountRecord(const IdleAccountFields& fields) {
  return RecordBuilder()
      .string("schema_version", kSchema)
      .string("home", fields.home)
      .string("root", fields.root)
      .string("owner_sid_hash", fields.ownerSidHash)
      .string("payload_digest", fields.payloadDigest)
      .string("generation", fields.generation)
      .decimalString("deadline_tick64", fields.deadline)
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
  FlatObject record;
  try {
    record = readFlatObject(text);
  } catch (const ProfileError&) {
    refused();
  }
  if (!hasKeysInOrder(record, {"schema_version", "home", "root", "owner_sid_hash", "payload_digest",
                               "generation", "deadline_tick64", "startup_kind", "instance_nonce",
                               "s", "l", "parent", "parent_pid", "control_read", "control_write",
                               "work_volume", "work_id", "guards"})) {
    refused();
  }
  if (needText(record[0].value) != kSchema) refused();
  IdleAccountHandoff handoff;
  IdleAccountFields& fields = handoff.fields;
  fields.home = needText(record[1].value);
  fields.root = needText(record[2].value);
  fields.ownerSidHash = needText(record[3].value);
  fields.payloadDigest = needText(record[4].value);
  fields.generation = needText(record[5].value);
  fields.deadline = need(handoffDecimal(record[6].value));
  const std::string kind = needText(record[7].value);
  if (kind != "resident" && kind != "setup") refused();
  fields.startupMode = kind == "resident" ? kResidentMode : 1;
  fields.instanceNonce = need(handoffDecimal(record[8].value));
  if (fields.instanceNonce == 0) refused();
  fields.serialization = need(handoffHandle(record[9].value));
  fields.lifetime = need(handoffHandle(record[10].value));
  fields.parent = need(handoffHandle(record[11].value));
  fields.parentPid = need32(record[12].value);
  if (fields.parentPid == 0) refused();
  handoff.controlRead = need(handoffHandle(record[13].value));
  handoff.controlWrite = need(handoffHandle(record[14].value));
  fields.workVolume = need32(record[15].value);
  fields.workId = need(handoffDecimal(record[16].value));
  handoff.guards = need(readHandoffGuards(record[17].value));
  bool lifetimeNamed = false;
  for (const HandoffGuard& guard : handoff.guards) lifetimeNamed |= guard.handle == fields.lifetime;
  if (!lifetimeNamed) refused();
  return handoff;
}

}  // namespace nuvra
