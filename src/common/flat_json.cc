#include "common/flat_json.h"

#include <charconv>

#include "common/reason.h"

namespace nuvra {
namespace {

[[noreturn]] void malformed() {
  fail("profile_record");
}

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Deep enough for any record of a product home, shallow enough that a
// hostile text cannot exhaust the stack.
constexpr unsigned kDocumentDepth = 64;

class Reader {
 public:
  // `document`: the rules of readJsonObject instead of the flat ones.
  Reader(std::string_view text, bool document) : text_(text), document_(document) {}

  FlatObject top() {
    space();
    FlatObject object = readObject(0);
    space();
    if (pos_ != text_.size()) malformed();
    return object;
  }

 private:
  // `level` counts the objects around the value: the top object's values are
  // at level 1 and may be containers; values inside those are scalars, except
  // that an array's elements may be objects of scalars.
  // A document's containers nest freely up to kDocumentDepth.
  FlatValue readValue(unsigned level, bool inArray) {
    FlatValue value;
    space();
    const char c = peek();
    if (c == '{') {
      if (document_ ? level >= kDocumentDepth : level >= 2) malformed();
      value.kind = FlatValue::Kind::object;
      value.members = readObject(level);
    } else if (c == '[') {
      if (document_ ? level >= kDocumentDepth : level != 1 || inArray) malformed();
      value.kind = FlatValue::Kind::array;
      value.items = readArray(document_ ? level + 1 : level);
    } else if (c == '"') {
      value.kind = FlatValue::Kind::string;
      value.text = readString();
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      value.kind = FlatValue::Kind::number;
      value.text = readNumber();
    } else if (take("true")) {
      value.kind = FlatValue::Kind::boolean;
      value.text = "true";
    } else if (take("false")) {
      value.kind = FlatValue::Kind::boolean;
      value.text = "false";
    } else if (take("null")) {
      value.kind = FlatValue::Kind::null;
      value.text = "null";
    } else {
      malformed();
    }
    return value;
  }

  FlatObject readObject(unsigned level) {
    expect('{');
    FlatObject object;
    space();
    if (peek() == '}') {
      ++pos_;
      return object;
    }
    for (;;) {
      space();
      if (peek() != '"') malformed();
      std::string key = readString();
      space();
      expect(':');
      FlatValue value = readValue(level + 1, false);
      // JSON.parse keeps a repeated key where it first stood, with its last
      // value; the flat records never repeat one.
      if (FlatMember* earlier = findMutable(object, key)) {
        if (!document_) malformed();
        earlier->value = std::move(value);
      } else {
        object.push_back({std::move(key), std::move(value)});
      }
      space();
      const char next = peek();
      ++pos_;
      if (next == '}') return object;
      if (next != ',') malformed();
    }
  }

  std::vector<FlatValue> readArray(unsigned level) {
    expect('[');
    std::vector<FlatValue> items;
    space();
    if (peek() == ']') {
      ++pos_;
      return items;
    }
    for (;;) {
      items.push_back(readValue(level, true));
      space();
      const char next = peek();
      ++pos_;
      if (next == ']') return items;
      if (next != ',') malformed();
    }
  }

  std::string readNumber() {
    const std::size_t start = pos_;
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      malformed();
    }
    if (peek() == '.') {
      ++pos_;
      if (!digits()) malformed();
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digits()) malformed();
    }
    return std::string(text_.substr(start, pos_ - start));
  }

  bool digits() {
    const std::size_t start = pos_;
    while (peek() >= '0' && peek() <= '9') ++pos_;
    return pos_ != start;
  }

  std::string readString() {
    expect('"');
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) malformed();
      const auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte == '"') {
        ++pos_;
        return out;
      }
      if (byte < 0x20) malformed();
      if (byte == '\\') {
        ++pos_;
        readEscape(out);
      } else if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
        ++pos_;
      } else {
        readUtf8Sequence(out);
      }
    }
  }

  void readEscape(std::string& out) {
    const char c = peek();
    ++pos_;
    switch (c) {
      case '"':
        out.push_back('"');
        return;
      case '\\':
        out.push_back('\\');
        return;
      case '/':
        out.push_back('/');
        return;
      case 'b':
        out.push_back('\b');
        return;
      case 'f':
        out.push_back('\f');
        return;
      case 'n':
        out.push_back('\n');
        return;
      case 'r':
        out.push_back('\r');
        return;
      case 't':
        out.push_back('\t');
        return;
      case 'u':
        break;
      default:
        malformed();
    }
    std::uint32_t code = readHex4();
    if (code >= 0xDC00 && code <= 0xDFFF) malformed();
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (!take("\\u")) malformed();
      const std::uint32_t low = readHex4();
      if (low < 0xDC00 || low > 0xDFFF) malformed();
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, code);
  }

  std::uint32_t readHex4() {
    if (text_.size() - pos_ < 4) malformed();
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        malformed();
      }
      code = code * 16 + digit;
    }
    return code;
  }

  // One well-formed UTF-8 sequence of two to four bytes: no overlong form, no
  // surrogate, nothing above U+10FFFF.
  void readUtf8Sequence(std::string& out) {
    const auto lead = static_cast<unsigned char>(text_[pos_]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
      malformed();
    }
    if (text_.size() - pos_ < length) malformed();
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text_[pos_ + i]);
      if ((next & 0xC0) != 0x80) malformed();
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) malformed();
    out.append(text_.substr(pos_, length));
    pos_ += length;
  }

  char peek() const noexcept { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  // Whitespace between tokens, which only a document may have.
  void space() noexcept {
    if (!document_) return;
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  static FlatMember* findMutable(FlatObject& object, std::string_view key) noexcept {
    for (FlatMember& member : object) {
      if (member.key == key) return &member;
    }
    return nullptr;
  }

  void expect(char c) {
    if (peek() != c || pos_ >= text_.size()) malformed();
    ++pos_;
  }

  bool take(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::string_view text_;
  bool document_;
  std::size_t pos_ = 0;
};

}  // namespace

FlatObject readFlatObject(std::string_view text) {
  return Reader(text, false).top();
}

FlatObject readJsonObject(std::string_view text) {
  return Reader(text, true).top();
}

const FlatValue* findMember(const FlatObject& object, std::string_view key) noexcept {
  for (const FlatMember& member : object) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

bool hasKeysInOrder(const FlatObject& object, const std::vector<std::string_view>& keys) noexcept {
  if (object.size() != keys.size()) return false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (object[i].key != keys[i]) return false;
  }
  return true;
}

std::optional<std::uint64_t> flatUnsigned(const FlatValue& value) noexcept {
  const std::string& text = value.text;
  if (value.kind != FlatValue::Kind::number || text.empty()) return std::nullopt;
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  std::uint64_t number = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return number;
}

std::optional<std::string_view> flatString(const FlatValue& value) noexcept {
  if (value.kind != FlatValue::Kind::string) return std::nullopt;
  return value.text;
}

std::string memberText(const FlatObject& object, std::string_view key) {
  const FlatValue* value = findMember(object, key);
  const std::optional<std::string_view> text = value ? flatString(*value) : std::nullopt;
  return text ? std::string(*text) : std::string();
}

std::string requiredMemberText(const FlatObject& object, std::string_view key) {
  std::string text = memberText(object, key);
  if (text.empty()) fail("profile_string");
  return text;
}

const FlatObject& requiredMemberObject(const FlatObject& object, std::string_view key) {
  const FlatValue* value = findMember(object, key);
  if (value == nullptr || value->kind != FlatValue::Kind::object) fail("profile_string");
  return value->members;
}

}  // namespace nuvra
