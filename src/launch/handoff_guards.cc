#include "launch/handoff_guards.h"

#include <limits>

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

void HandoffGuards::add(const HandoffGuard& guard, bool lifetimeMarker) {
  array_.add(guard.handle, guard.path, guard.volume, guard.fileId);
  if (lifetimeMarker) lifetime_ = guard.handle;
}

std::uint64_t HandoffGuards::lifetime() const {
  if (!lifetime_) fail("profile_lifetime_missing");
  return *lifetime_;
}

std::optional<std::uint64_t> handoffDecimal(const FlatValue& value) {
  const auto text = flatString(value);
  if (!text) return std::nullopt;
  FlatValue number{FlatValue::Kind::number, std::string(*text), {}, {}};
  return flatUnsigned(number);
}

std::optional<std::uint64_t> handoffHandle(const FlatValue& value) {
  const auto handle = handoffDecimal(value);
  if (!handle || *handle == 0 ||
      *handle >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return handle;
}

std::optional<std::vector<HandoffGuard>> readHandoffGuards(const FlatValue& value) {
  if (value.kind != FlatValue::Kind::array || value.items.empty()) return std::nullopt;
  std::vector<HandoffGuard> guards;
  for (const FlatValue& item : value.items) {
    if (item.kind != FlatValue::Kind::object ||
        !hasKeysInOrder(item.members, {"handle", "path", "volume", "file_id"})) {
      return std::nullopt;
    }
    const auto handle = handoffHandle(item.members[0].value);
    const auto path = flatString(item.members[1].value);
    const auto volume = flatUnsigned(item.members[2].value);
    const auto fileId = handoffDecimal(item.members[3].value);
    if (!handle || !path || path->empty() || !volume ||
        *volume > std::numeric_limits<std::uint32_t>::max() || !fileId) {
      return std::nullopt;
    }
    guards.push_back({*handle, std::string(*path), static_cast<std::uint32_t>(*volume), *fileId});
  }
  return guards;
}

HandoffRecordReader::HandoffRecordReader(std::string_view text, std::string_view schema,
                                         std::vector<std::string_view> keys, const char* reason)
    : reason_(reason) {
  try {
    record_ = readFlatObject(text);
  } catch (const ProfileError&) {
    refuse();
  }
  if (!hasKeysInOrder(record_, keys) || this->text("schema_version") != schema) refuse();
}

void HandoffRecordReader::refuse() const {
  fail(reason_);
}

const FlatValue& HandoffRecordReader::value(std::string_view key) const {
  for (const FlatMember& member : record_) {
    if (member.key == key) return member.value;
  }
  refuse();
}

std::string HandoffRecordReader::text(std::string_view key) const {
  const auto text = flatString(value(key));
  if (!text || text->empty()) refuse();
  return std::string(*text);
}

std::uint64_t HandoffRecordReader::decimal(std::string_view key) const {
  return need(handoffDecimal(value(key)));
}

std::uint64_t HandoffRecordReader::handle(std::string_view key) const {
  return need(handoffHandle(value(key)));
}

std::uint32_t HandoffRecordReader::number32(std::string_view key) const {
  const std::uint64_t number = need(flatUnsigned(value(key)));
  if (number > std::numeric_limits<std::uint32_t>::max()) refuse();
  return static_cast<std::uint32_t>(number);
}

std::vector<HandoffGuard> HandoffRecordReader::guards(std::string_view key,
                                                      std::uint64_t lifetime) const {
  std::vector<HandoffGuard> guards = need(readHandoffGuards(value(key)));
  bool lifetimeNamed = false;
  for (const HandoffGuard& guard : guards) lifetimeNamed |= guard.handle == lifetime;
  if (!lifetimeNamed) refuse();
  return guards;
}

}  // namespace nuvra
