// Number text, hex, JSON string escaping, record assembly and command-line
// quoting. Pure functions of their input, callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nuvra {

std::string formatDecimal32(std::uint32_t value);
std::string formatDecimal64(std::uint64_t value);

// A canonical positive decimal: 1 to 20 digits, no leading zero, not 0.
// Anything else is "profile_integer"; a 20-digit value above 2^64-1 keeps the
// standard library's "stoull argument out of range".
std::uint64_t parseDecimal64(std::string_view text);

std::string hexLower(std::string_view bytes);
std::wstring hexLowerWide(std::string_view bytes);
// "%08x%08x": high word then low word, 16 digits.
std::string hex64(std::uint32_t high, std::uint32_t low);
// "%08x:%08x%08x": volume serial, then the file index high and low words.
std::string fileIdentityText(std::uint32_t volumeSerial, std::uint32_t indexHigh,
                             std::uint32_t indexLow);

// A quoted JSON string: bytes below 0x20 as \u00xx, quote and backslash
// escaped, everything else (0x7F, "/", UTF-8 sequences) copied unchanged.
std::string jsonString(std::string_view bytes);

// Assembles one single-line JSON object in the order the fields are added.
// Key names are literals and are not escaped; string values always are.
class RecordBuilder {
 public:
  RecordBuilder() : text_("{") {}
  RecordBuilder& string(std::string_view key, std::string_view value);
  RecordBuilder& number(std::string_view key, std::uint64_t value);
  RecordBuilder& decimalString(std::string_view key, std::uint64_t value);
  RecordBuilder& boolean(std::string_view key, bool value);
  RecordBuilder& null(std::string_view key);
  // `value` as a string, or null when it is empty.
  RecordBuilder& stringOrNull(std::string_view key, std::string_view value);
  // An already assembled JSON value (a nested object or array).
  RecordBuilder& raw(std::string_view key, std::string_view json);
  // The object without a line feed, for JavaScript or embedding.
  std::string text() const { return text_ + "}"; }
  // The object followed by one line feed, for files and logs.
  std::string line() const { return text_ + "}\n"; }

 private:
  RecordBuilder& key(std::string_view key);
  std::string text_;
};

// The "guards" array of a handoff record: one object per guard.
class GuardArrayBuilder {
 public:
  // "handle" decimal string, "path" JSON string, "volume" bare number,
  // "file_id" decimal string, in that order.
  void add(std::uint64_t handle, std::string_view pathUtf8, std::uint32_t volume,
           std::uint64_t fileId);
  std::string text() const { return text_ + "]"; }
  bool empty() const noexcept { return text_.size() == 1; }

 private:
  std::string text_ = "[";
};

// The head every handoff record of the profile begins with, from any fields
// type that has these members: the schema, where the profile lives, whose it
// is, what it runs, and the deadline of the process the record is for.
template <typename Fields>
RecordBuilder profileRecordHead(std::string_view schema, const Fields& fields) {
  RecordBuilder record;
  record.string("schema_version", schema)
      .string("home", fields.home)
      .string("root", fields.root)
      .string("owner_sid_hash", fields.ownerSidHash)
      .string("payload_digest", fields.payloadDigest)
      .string("generation", fields.generation)
      .decimalString("deadline_tick64", fields.deadline);
  return record;
}

// One command-line argument, always quoted, so that the usual command-line
// splitting gives back exactly the input:
//   (empty)      ""
//   a b          "a b"
//   C:\dir\      "C:\dir\\"
//   \"           "\\\""
//   a\\b         "a\\b"      (backslashes not before a quote stay as they are)
std::wstring quoteArgument(std::wstring_view argument);

}  // namespace nuvra
