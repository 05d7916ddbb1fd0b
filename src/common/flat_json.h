// A strict reader for the single-line JSON records this product writes by
// hand: the resident-host record, the idle-account record and the broker
// endpoint record. The native broker executable has no engine JSON.parse, so
// its host and account-worker roles read their handoff records with this, and
// the host checks the endpoint record it composed before handing it over.
//
// Accepted: one object; values are strings, numbers, true, false, null, an
// object of such scalars, or an array whose elements are scalars or objects
// of scalars (the "guards" list). Refused with "profile_record": whitespace
// outside strings, anything after the closing brace, a duplicate key, deeper
// nesting, invalid UTF-8, a lone surrogate escape, and everything that is not
// JSON.
//   {"a":"x","n":12}            a: string x, n: number 12
//   {"g":[{"h":"1"}],"o":{}}    g: array of one object, o: empty object
//   {"a": "x"}                  refused (space)
//   {"a":"x","a":"y"}           refused (duplicate)
//   {"a":[[1]]}                 refused (array in array)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

struct FlatMember;

struct FlatValue {
  enum class Kind { string, number, boolean, null, object, array };
  Kind kind = Kind::null;
  // string: the decoded bytes; number: the literal as written; boolean:
  // "true" or "false"; null: "null".
  std::string text;
  std::vector<FlatMember> members;  // object, in text order
  std::vector<FlatValue> items;     // array, in text order
};

struct FlatMember {
  std::string key;
  FlatValue value;
};

using FlatObject = std::vector<FlatMember>;

FlatObject readFlatObject(std::string_view text);

// The records that other writers leave under a product home (servicing,
// current runtime, admission, device binding), which the runtime reads with
// the engine's JSON.parse, read the same way by a tool that has no engine:
// one object with any JSON inside, whitespace between tokens, containers
// nested at most 64 deep, and a repeated key keeping its first place and its
// last value. The strings are still strict ("profile_record" otherwise).
//   { "a" : [ {"b":[1]} ] }\n    a: array of an object whose b is [1]
//   {"a":1,"b":2,"a":3}          a: 3, then b: 2
FlatObject readJsonObject(std::string_view text);

// The member named `key`, or null.
const FlatValue* findMember(const FlatObject& object, std::string_view key) noexcept;

// True when the object has exactly these keys in exactly this order.
bool hasKeysInOrder(const FlatObject& object, const std::vector<std::string_view>& keys) noexcept;

// A number written as a plain unsigned integer ("0" or no leading zero, no
// sign, fraction or exponent) that fits in 64 bits; else nothing.
std::optional<std::uint64_t> flatUnsigned(const FlatValue& value) noexcept;

// The string value, or nothing when the value is not a string.
std::optional<std::string_view> flatString(const FlatValue& value) noexcept;

// The string member `key`, empty when absent or of another type: a record
// in another state lacks keys and must fail its comparison, not its reading.
std::string memberText(const FlatObject& object, std::string_view key);
// The string member `key`, present and not empty; "profile_string" otherwise.
std::string requiredMemberText(const FlatObject& object, std::string_view key);
// The object member `key`; "profile_string" otherwise.
const FlatObject& requiredMemberObject(const FlatObject& object, std::string_view key);

}  // namespace nuvra
