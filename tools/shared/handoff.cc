#include "shared/handoff.h"

#include <algorithm>

#include "common/text.h"

namespace nuvra::launcher {

void HandoffFields::set(std::string_view key, std::string json) {
  for (Field& field : fields_) {
    if (field.key == key) {
      field.json = std::move(json);
      return;
    }
  }
  fields_.push_back({std::string(key), std::move(json)});
}

bool HandoffFields::unset(std::string_view key) {
  const auto it =
      std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return f.key == key; });
  if (it == fields_.end()) return false;
  fields_.erase(it);
  return true;
}

bool HandoffFields::has(std::string_view key) const noexcept {
  return std::any_of(fields_.begin(), fields_.end(), [&](const Field& f) { return f.key == key; });
}

std::string HandoffFields::text() const {
  // Keys come from the command line too, so they are escaped like values.
  std::string text = "{";
  for (const Field& field : fields_) {
    if (text.size() > 1) text += ",";
    text += jsonString(field.key);
    text += ":";
    text += field.json;
  }
  return text + "}";
}

HandoffFields defaultHandoff(RuntimeRole role) {
  const bool job = role == RuntimeRole::job;
  HandoffFields fields;
  fields.set("schema_version",
             job ? "\"nuvra.profile-startup-job.v1\"" : "\"nuvra.profile-startup.v1\"");
  if (job) fields.set("job_kind", "\"setup\"");
  fields.set("startup_ack", "\"{ack}\"");
  fields.set("home", "\"{home}\"");
  fields.set("root", "\"{root}\"");
  fields.set("deadline_tick64", "\"{deadline}\"");
  if (!job)
    fields.set("runtime_role", role == RuntimeRole::resident ? "\"resident\"" : "\"entry\"");
  fields.set("owner_sid_hash", "\"{owner_sid_hash}\"");
  fields.set("parent", "\"{parent}\"");
  fields.set("parent_pid", "{parent_pid}");
  fields.set("parent_image", "\"{parent_image}\"");
  fields.set("s", "\"{mutex}\"");
  fields.set("generation", "\"{generation}\"");
  fields.set("payload_digest", "\"{payload_digest}\"");
  fields.set("guards", "{guards}");
  fields.set("l", "\"{lifetime}\"");
  fields.set("r", "\"{work}\"");
  if (job) fields.set("account_purpose", "\"{purpose}\"");
  return fields;
}

std::string expandPlaceholders(std::string_view text,
                               const std::map<std::string, std::string, std::less<>>& values) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('{', at);
    if (open == std::string_view::npos) break;
    out.append(text.substr(at, open - at));
    const std::size_t close = text.find('}', open + 1);
    if (close != std::string_view::npos) {
      const auto found = values.find(text.substr(open + 1, close - open - 1));
      if (found != values.end()) {
        out += found->second;
        at = close + 1;
        continue;
      }
    }
    // Not a placeholder: keep the brace and look again just after it, so a
    // placeholder nested in a JSON object is still found.
    out.push_back('{');
    at = open + 1;
  }
  if (at < text.size()) out.append(text.substr(at));
  return out;
}

std::vector<unsigned char> handoffImage(std::string_view text, std::size_t size,
                                        std::optional<std::uint32_t> lengthWord) {
  std::vector<unsigned char> image(size, 0);
  const std::uint32_t length =
      lengthWord ? *lengthWord
                 : static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), 0xffffffffu));
  for (std::size_t i = 0; i < 4 && i < size; ++i) {
    image[i] = static_cast<unsigned char>((length >> (8 * i)) & 0xffu);
  }
  if (size > 4) {
    const std::size_t count = std::min(text.size(), size - 4);
    std::copy_n(text.begin(), count, image.begin() + 4);
  }
  return image;
}

bool splitAssignment(std::string_view assignment, std::string& key, std::string& json) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string_view::npos || equals == 0) return false;
  key.assign(assignment.substr(0, equals));
  json.assign(assignment.substr(equals + 1));
  return true;
}

}  // namespace nuvra::launcher
