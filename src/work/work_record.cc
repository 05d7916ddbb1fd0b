#include "work/work_record.h"

#include "common/text.h"

namespace nuvra {

void GuardArrayBuilder::add(std::uint64_t handle, std::string_view pathUtf8, std::uint32_t volume,
                            std::uint64_t fileId) {
  if (!empty()) text_.push_back(',');
  text_ += RecordBuilder()
               .decimalString("handle", handle)
               .string("path", pathUtf8)
               .number("volume", volume)
               .decimalString("file_id", fileId)
               .text();
}

std::string profileWorkRecord(const ProfileWorkFields& fields) {
  return RecordBuilder()
      .string("schema_version", "nuvra.profile-work.v1")
      .string("home", fields.home)
      .string("root", fields.root)
      .string("owner_sid_hash", fields.ownerSidHash)
      .string("payload_digest", fields.payloadDigest)
      .string("generation", fields.generation)
      .decimalString("deadline_tick64", fields.deadline)
      .string("budget_class", fields.cold ? "cold" : "warm")
      .decimalString("s", fields.serialization)
      .decimalString("l", fields.lifetime)
      .decimalString("r", fields.workRecord)
      .decimalString("parent", fields.parent)
      .number("parent_pid", fields.parentPid)
      .raw("guards", fields.guards)
      .text();
}

}  // namespace nuvra
