// The flat reader either refuses with "profile_record" or gives an object that,
// written back with the record escaper, reads back to the same object, and
// whose written form is a fixed point. The same holds for the JSON object
// reader, which reads whatever the flat reader accepts to the same object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accepting_branch.h"
#include "common/flat_json.h"
#include "common/reason.h"
#include "common/text.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedObject("flat_object");

std::string write(const nuvra::FlatValue& value);

std::string writeObject(const nuvra::FlatObject& object) {
  std::string out = "{";
  for (const nuvra::FlatMember& member : object) {
    if (out.size() > 1) out.push_back(',');
    out += nuvra::jsonString(member.key) + ":" + write(member.value);
  }
  return out + "}";
}

std::string write(const nuvra::FlatValue& value) {
  switch (value.kind) {
    case nuvra::FlatValue::Kind::string:
      return nuvra::jsonString(value.text);
    case nuvra::FlatValue::Kind::object:
      return writeObject(value.members);
    case nuvra::FlatValue::Kind::array: {
      std::string out = "[";
      for (const nuvra::FlatValue& item : value.items) {
        if (out.size() > 1) out.push_back(',');
        out += write(item);
      }
      return out + "]";
    }
    default:
      return value.text;
  }
}

// True when the object reader accepted the text.
bool checkJsonObject(const std::string& text) {
  nuvra::FlatObject object;
  try {
    object = nuvra::readJsonObject(text);
  } catch (const nuvra::ProfileError& error) {
    if (std::strcmp(error.what(), "profile_record") != 0) std::abort();
    return false;
  }
  const std::string written = writeObject(object);
  if (writeObject(nuvra::readJsonObject(written)) != written) std::abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool document = checkJsonObject(text);
  nuvra::FlatObject object;
  try {
    object = nuvra::readFlatObject(text);
  } catch (const nuvra::ProfileError& error) {
    if (std::strcmp(error.what(), "profile_record") != 0) std::abort();
    return 0;
  }
  const std::string written = writeObject(object);
  if (!document || writeObject(nuvra::readJsonObject(text)) != written) std::abort();
  const nuvra::FlatObject again = nuvra::readFlatObject(written);
  if (writeObject(again) != written) std::abort();
  for (const nuvra::FlatMember& member : object) {
    if (nuvra::findMember(object, member.key) != &member.value) std::abort();
  }
  acceptedObject.reached();
  return 0;
}
