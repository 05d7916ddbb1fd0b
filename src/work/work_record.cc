#include "work/work_record.h"

#include "common/text.h"

namespace nuvra {

std::string profileWorkRecord(const ProfileWorkFields& fields) {
  return profileRecordHead("nuvra.profile-work.v1", fields)
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
