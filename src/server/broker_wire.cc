#include "server/broker_wire.h"

#include <array>
#include <initializer_list>
#include <limits>
#include <vector>

#include "common/flat_json.h"
#include "common/reason.h"
#include "common/text.h"
#include "common/vocabulary.h"
#include "exchange/pipe_protocol.h"
#include "exchange/wire_text.h"
#include "server/server_exchange.h"

namespace nuvra {
namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint64_t kSendLimit = 8;
constexpr std::size_t kReasonLimit = 80;

bool isReasonWord(std::string_view word) noexcept {
  if (word.empty() || word.size() > kReasonLimit) return false;
  for (char c : word) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

bool oneOf(std::string_view word, std::initializer_list<std::string_view> words) noexcept {
  for (std::string_view known : words) {
    if (word == known) return true;
  }
  return false;
}

std::optional<std::uint32_t> sendCount(const FlatValue* value) noexcept {
  if (value == nullptr) return std::nullopt;
  const auto count = flatUnsigned(*value);
  if (!count || *count > kSendLimit) return std::nullopt;
  return static_cast<std::uint32_t>(*count);
}

std::optional<std::string> stringMember(const FlatObject& object, std::string_view key) {
  const FlatValue* value = findMember(object, key);
  if (value == nullptr) return std::nullopt;
  const auto text = flatString(*value);
  if (!text) return std::nullopt;
  return std::string(*text);
}

// The members every frame description shares.
bool readFrameMembers(const FlatObject& object, PhaseFrameFields& frame) {
  const auto serverWork = stringMember(object, "server_work");
  const auto phase = stringMember(object, "phase");
  const auto effect = stringMember(object, "effect");
  const auto account = sendCount(findMember(object, "account"));
  const auto memory = sendCount(findMember(object, "memory"));
  if (!serverWork || !phase || !effect || !account || !memory) return false;
  if (*serverWork != "-" &&
      !wireDecimal(*serverWork, 1, std::numeric_limits<std::uint64_t>::max())) {
    return false;
  }
  if (!oneOf(*effect, {"none", "possible", "validated"})) return false;
  frame.serverWork = *serverWork;
  frame.phase = *phase;
  frame.effect = *effect;
  frame.account = *account;
  frame.memory = *memory;
  return true;
}

}  // namespace

std::optional<RuntimeAnswer> readRuntimeAnswer(const FlatObject& object) {
  RuntimeAnswer answer;
  const auto type = stringMember(object, "type");
  const FlatValue* id = findMember(object, "id");
  if (!type || id == nullptr || !flatUnsigned(*id)) return std::nullopt;
  answer.id = *flatUnsigned(*id);
  if (*type == "response") {
    if (!hasKeysInOrder(object, {"type", "id", "body"})) return std::nullopt;
    answer.kind = RuntimeAnswer::Kind::response;
  } else if (*type == "phase") {
    if (!hasKeysInOrder(object,
                        {"type", "id", "server_work", "phase", "account", "memory", "effect"}) ||
        !readFrameMembers(object, answer.frame) ||
        !oneOf(answer.frame.phase, {"received", "admitted", "started"})) {
      return std::nullopt;
    }
    answer.kind = RuntimeAnswer::Kind::phase;
    answer.frame.reason = "none";
    return answer;
  } else if (*type == "final") {
    if (!hasKeysInOrder(object, {"type", "id", "server_work", "phase", "reason", "account",
                                 "memory", "effect", "body"}) ||
        !readFrameMembers(object, answer.frame) ||
        !oneOf(answer.frame.phase, {"terminal", "refused_queue", "refused_arrival"})) {
      return std::nullopt;
    }
    const auto reason = stringMember(object, "reason");
    if (!reason || !isReasonWord(*reason)) return std::nullopt;
    answer.kind = RuntimeAnswer::Kind::final;
    answer.frame.reason = *reason;
    answer.frame.final = true;
  } else {
    return std::nullopt;
  }
  const auto encoded = stringMember(object, "body");
  if (!encoded) return std::nullopt;
  auto body = base64Decode(*encoded);
  if (!body || body->size() > kBrokerFrameLimit) return std::nullopt;
  answer.body = std::move(*body);
  return answer;
}

std::string frameLength(std::uint32_t length) {
  const std::array<std::uint8_t, 4> bytes = encodeFrameLength(length);
  return std::string(bytes.begin(), bytes.end());
}

std::uint32_t frameLengthOf(std::string_view fourBytes) noexcept {
  std::array<std::uint8_t, 4> bytes{};
  for (std::size_t i = 0; i < bytes.size() && i < fourBytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(fourBytes[i]);
  }
  return frameLengthValue(bytes);
}

int preambleVersion(std::string_view line) noexcept {
  if (line.starts_with(kPreambleV1)) return 1;
  if (line.starts_with(kPreambleV2)) return 2;
  return 0;
}

std::string acknowledgementLine(int version, std::string_view digest, std::string_view instance) {
  std::string line(version == 2 ? kAcknowledgementV2 : kAcknowledgementV1);
  line.append(digest).append("\t").append(instance).append("\n");
  return line;
}

std::optional<VersionTwoRequest> splitVersionTwoRequest(std::string_view frame) noexcept {
  if (!frame.starts_with(kRequestHeaderV2)) return std::nullopt;
  const std::size_t end = frame.find('\n');
  if (end == std::string_view::npos) return std::nullopt;
  return VersionTwoRequest{frame.substr(kRequestHeaderV2.size(), end - kRequestHeaderV2.size()),
                           frame.substr(end + 1)};
}

std::optional<VersionTwoRequest> readClientRequest(int version, std::string_view frame) {
  // The shortest request a client's exchange writes.
  constexpr std::size_t kRequestMinimum = 2;
  if (frame.size() > kBrokerFrameLimit) return std::nullopt;
  if (version == 1) {
    if (frame.size() < kRequestMinimum) return std::nullopt;
    return VersionTwoRequest{std::string_view(), frame};
  }
  if (version != 2) return std::nullopt;
  const auto split = splitVersionTwoRequest(frame);
  if (!split || split->body.size() < kRequestMinimum || !isClientRequestLine(split->requestLine)) {
    return std::nullopt;
  }
  return split;
}

std::optional<std::uint64_t> requestLineDeadline(std::string_view requestLine) {
  const std::vector<std::string_view> fields = splitWireFields(requestLine);
  if (fields.size() != 7) return std::nullopt;
  return wireDecimal(fields[6], 1, std::numeric_limits<std::uint64_t>::max());
}

std::string phaseFrame(std::string_view requestLine, const PhaseFrameFields& fields,
                       std::string_view body) {
  std::string frame = "NUVRA_PHASE_V2\t";
  frame.append(requestLine);
  for (const std::string& field :
       {fields.serverWork, std::to_string(fields.sequence), fields.phase, fields.reason,
        std::to_string(fields.account), std::to_string(fields.memory), fields.effect,
        std::string(fields.final ? "1" : "0")}) {
    frame.append("\t").append(field);
  }
  frame.append("\n").append(body);
  return frame;
}

std::string brokerFailureBody(std::string_view requestLine, std::string_view reason) {
  std::vector<std::string_view> fields = splitWireFields(requestLine);
  if (fields.size() != 7) fields.assign(7, std::string_view());
  RecordBuilder body;
  body.string("broker_instance", fields[5])
      .string("error_code", reason)
      .string("failure_reason", reason)
      .boolean("ok", false)
      .string("operation", fields[4])
      .string("request_id", fields[1])
      .string("schema_version", "nuvra.windows-memory-broker.v1");
  return body.text();
}

std::string_view terminalFrameReason(std::string_view reason) noexcept {
  return isMember(terminalReasons, reason) ? reason : "internal_error";
}

std::string base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left > 1)
      group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    text.push_back(kBase64[(group >> 18) & 63]);
    text.push_back(kBase64[(group >> 12) & 63]);
    text.push_back(left > 1 ? kBase64[(group >> 6) & 63] : '=');
    text.push_back(left > 2 ? kBase64[group & 63] : '=');
  }
  return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int padding = 0;
    if (i + 4 == text.size() && text[i + 3] == '=') padding = text[i + 2] == '=' ? 2 : 1;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      group <<= 6;
      if (j >= 4 - static_cast<std::size_t>(padding)) continue;
      const std::size_t value = kBase64.find(text[i + j]);
      if (value == std::string_view::npos) return std::nullopt;
      group |= static_cast<std::uint32_t>(value);
    }
    // Padding bits must be zero, so every text has one decoding.
    if ((padding == 1 && (group & 0xffu) != 0) || (padding == 2 && (group & 0xffffu) != 0)) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>((group >> 16) & 0xffu));
    if (padding < 2) bytes.push_back(static_cast<char>((group >> 8) & 0xffu));
    if (padding < 1) bytes.push_back(static_cast<char>(group & 0xffu));
  }
  return bytes;
}

std::string runtimeRequestLine(std::uint64_t id, int version, std::string_view requestLine,
                               std::string_view body) {
  RecordBuilder message;
  message.string("type", "request")
      .number("id", id)
      .number("version", static_cast<std::uint64_t>(version))
      .string("request_line", requestLine)
      .string("body", base64Encode(body));
  return message.line();
}

std::optional<RuntimeAnswer> readRuntimeAnswer(std::string_view line) {
  try {
    return readRuntimeAnswer(readFlatObject(line));
  } catch (const ProfileError&) {
    return std::nullopt;
  }
}

}  // namespace nuvra
