// Strict JSON parsing, field decoding, encoding and base64 for the protocol documents.
#include "platform/json_codec.h"

#include <cmath>
#include <limits>

#include "platform/clock.h"
#include "platform/utf8.h"

namespace tidewarden::platform::json {
namespace {

constexpr std::string_view kMessagePrefix = "The request could not be read: ";

// 2^63 as a double: the first magnitude no signed 64-bit integer reaches.
constexpr double kTwoToThe63 = 9223372036854775808.0;

std::string describe(DecodeError::Problem problem, const std::string& path,
                     const std::string& detail) {
  using Problem = DecodeError::Problem;
  const std::string subject = path.empty() ? "the document" : "the value of \"" + path + "\"";
  std::string text;
  switch (problem) {
    case Problem::invalidUtf8:
      text = "it is not valid UTF-8 text.";
      break;
    case Problem::invalidJson:
      text = "it is not valid JSON.";
      break;
    case Problem::tooDeep:
      text = "it is nested more than " + std::to_string(kMaxNestingDepth) + " levels deep.";
      break;
    case Problem::tooManyValues:
      text = "it holds more than " + std::to_string(kMaxDocumentValues) + " values.";
      break;
    case Problem::duplicateKey:
      text = "the key \"" + path + "\" appears more than once.";
      break;
    case Problem::missingKey:
      text = "the key \"" + path + "\" is missing.";
      break;
    case Problem::wrongType:
      text = subject + " has the wrong type (expected " + detail + ").";
      break;
    case Problem::unknownValue:
      text = (path.empty() ? std::string("the document") : "\"" + path + "\"") +
             " has an unknown value \"" + detail + "\".";
      break;
    case Problem::outOfRange:
      text = subject + " is out of range (expected " + detail + ").";
      break;
    case Problem::invalidBase64:
      text = subject + " is not valid base64.";
      break;
    case Problem::invalidKey:
      text = "the key \"" + detail + "\"" + (path.empty() ? "" : " in \"" + path + "\"") +
             " is not a valid decimal identifier.";
      break;
  }
  return std::string(kMessagePrefix) + text;
}

DecodeError wrongType(const char* expected) {
  return DecodeError(DecodeError::Problem::wrongType, {}, expected);
}

DecodeError outOfRange(const char* expected) {
  return DecodeError(DecodeError::Problem::outOfRange, {}, expected);
}

// The exact integer written by a JSON number literal ("1.0", "25e2", "-0.0"), when it
// has one and it fits a signed or unsigned 64-bit integer.
std::optional<nlohmann::json> exactIntegerFromLiteral(std::string_view literal) {
  constexpr long long kExponentCap = 1000000;
  std::size_t index = 0;
  const bool negative = !literal.empty() && literal[0] == '-';
  if (negative) ++index;
  std::string digits;
  while (index < literal.size() && literal[index] >= '0' && literal[index] <= '9') {
    digits.push_back(literal[index++]);
  }
  long long fractionLength = 0;
  if (index < literal.size() && literal[index] == '.') {
    ++index;
    while (index < literal.size() && literal[index] >= '0' && literal[index] <= '9') {
      digits.push_back(literal[index++]);
      ++fractionLength;
    }
  }
  long long exponent = 0;
  if (index < literal.size() && (literal[index] == 'e' || literal[index] == 'E')) {
    ++index;
    bool exponentNegative = false;
    if (index < literal.size() && (literal[index] == '+' || literal[index] == '-')) {
      exponentNegative = literal[index] == '-';
      ++index;
    }
    while (index < literal.size() && literal[index] >= '0' && literal[index] <= '9') {
      if (exponent < kExponentCap) exponent = exponent * 10 + (literal[index] - '0');
      ++index;
    }
    if (exponentNegative) exponent = -exponent;
  }
  if (index != literal.size()) return std::nullopt;

  const std::size_t firstNonZero = digits.find_first_not_of('0');
  if (firstNonZero == std::string::npos) return nlohmann::json(std::int64_t{0});
  digits.erase(0, firstNonZero);
  long long scale = exponent - fractionLength;
  while (scale < 0 && !digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++scale;
  }
  if (scale < 0) return std::nullopt;  // a fractional part remains
  if (static_cast<long long>(digits.size()) + scale > 20) return std::nullopt;
  digits.append(static_cast<std::size_t>(scale), '0');

  std::uint64_t magnitude = 0;
  for (const char digit : digits) {
    const auto value = static_cast<std::uint64_t>(digit - '0');
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - value) / 10) return std::nullopt;
    magnitude = magnitude * 10 + value;
  }
  if (!negative) return nlohmann::json(magnitude);
  constexpr std::uint64_t kMinimumMagnitude = std::uint64_t{1} << 63;
  if (magnitude > kMinimumMagnitude) return std::nullopt;
  if (magnitude == kMinimumMagnitude) {
    return nlohmann::json(std::numeric_limits<std::int64_t>::min());
  }
  return nlohmann::json(-static_cast<std::int64_t>(magnitude));
}

// Builds the document from parser events, refusing duplicate keys and deep nesting,
// and keeping integral number literals exact.
class StrictDomBuilder {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  nlohmann::json takeResult() { return std::move(root_); }

  bool null() {
    add(nullptr);
    return true;
  }
  bool boolean(bool value) {
    add(value);
    return true;
  }
  bool number_integer(number_integer_t value) {
    add(value);
    return true;
  }
  bool number_unsigned(number_unsigned_t value) {
    add(value);
    return true;
  }
  bool number_float(number_float_t value, const string_t& literal) {
    if (auto exact = exactIntegerFromLiteral(literal)) {
      add(std::move(*exact));
    } else {
      add(value);
    }
    return true;
  }
  bool string(string_t& value) {
    add(std::move(value));
    return true;
  }
  bool binary(binary_t&) { return false; }  // JSON text has no binary values
  bool start_object(std::size_t) {
    enter(nlohmann::json::object());
    return true;
  }
  bool key(string_t& name) {
    nlohmann::json& object = *containers_.back();
    if (object.contains(name)) {
      throw DecodeError(DecodeError::Problem::duplicateKey, detail::quotedSegment(name));
    }
    slot_ = &object[name];
    return true;
  }
  bool end_object() {
    containers_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    enter(nlohmann::json::array());
    return true;
  }
  bool end_array() {
    containers_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) {
    return false;
  }

 private:
  nlohmann::json* add(nlohmann::json value) {
    if (++values_ > kMaxDocumentValues) throw DecodeError(DecodeError::Problem::tooManyValues, {});
    if (containers_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    nlohmann::json& parent = *containers_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    *slot_ = std::move(value);
    return slot_;
  }

  void enter(nlohmann::json container) {
    if (containers_.size() >= kMaxNestingDepth) {
      throw DecodeError(DecodeError::Problem::tooDeep, {});
    }
    containers_.push_back(add(std::move(container)));
  }

  nlohmann::json root_;
  // Open arrays and objects, innermost last. Each pointer stays valid while it is open:
  // its parent only grows again after it is closed.
  std::vector<nlohmann::json*> containers_;
  nlohmann::json* slot_ = nullptr;  // the member named by the last key
  std::size_t values_ = 0;
};

bool allNumbersFinite(const nlohmann::json& root) {
  std::vector<const nlohmann::json*> pending{&root};
  while (!pending.empty()) {
    const nlohmann::json* value = pending.back();
    pending.pop_back();
    if (value->is_number_float() && !std::isfinite(value->get<double>())) return false;
    if (value->is_structured()) {
      for (const auto& child : *value) pending.push_back(&child);
    }
  }
  return true;
}

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Digit(char symbol) {
  if (symbol >= 'A' && symbol <= 'Z') return symbol - 'A';
  if (symbol >= 'a' && symbol <= 'z') return symbol - 'a' + 26;
  if (symbol >= '0' && symbol <= '9') return symbol - '0' + 52;
  if (symbol == '+') return 62;
  if (symbol == '/') return 63;
  return -1;
}

}  // namespace

DecodeError::DecodeError(Problem problem, std::string path, std::string detail)
    : std::runtime_error(describe(problem, path, detail)),
      problem_(problem),
      path_(std::move(path)),
      detail_(std::move(detail)) {}

DecodeError DecodeError::nestedIn(std::string_view segment) const {
  std::string path(segment);
  if (!path_.empty()) {
    if (path_.front() != '[') path.push_back('.');
    path += path_;
  }
  return DecodeError(problem_, std::move(path), detail_);
}

Date Date::fromUnixSeconds(double unixSeconds) { return Date{unixSeconds - kReferenceDateOffset}; }

double Date::unixSeconds() const { return secondsSinceReferenceDate + kReferenceDateOffset; }

nlohmann::json parse(std::string_view bytes) {
  if (!isValidUtf8(bytes)) throw DecodeError(DecodeError::Problem::invalidUtf8, {});
  StrictDomBuilder builder;
  bool parsed = false;
  try {
    const char* begin = bytes.data();
    parsed = nlohmann::json::sax_parse(begin, begin + bytes.size(), &builder,
                                       nlohmann::json::input_format_t::json,
                                       /*strict=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception&) {
    parsed = false;
  }
  if (!parsed) throw DecodeError(DecodeError::Problem::invalidJson, {});
  return builder.takeResult();
}

std::optional<std::string> encode(const nlohmann::json& value) noexcept {
  try {
    if (!allNumbersFinite(value)) return std::nullopt;
    return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return std::nullopt;
  }
}

std::string base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t index = 0;
  while (index + 3 <= bytes.size()) {
    const std::uint32_t group = (static_cast<unsigned char>(bytes[index]) << 16) |
                                (static_cast<unsigned char>(bytes[index + 1]) << 8) |
                                static_cast<unsigned char>(bytes[index + 2]);
    text.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
    text.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
    text.push_back(kBase64Alphabet[(group >> 6) & 0x3F]);
    text.push_back(kBase64Alphabet[group & 0x3F]);
    index += 3;
  }
  const std::size_t rest = bytes.size() - index;
  if (rest > 0) {
    std::uint32_t group = static_cast<unsigned char>(bytes[index]) << 16;
    if (rest == 2) group |= static_cast<unsigned char>(bytes[index + 1]) << 8;
    text.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
    text.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
    text.push_back(rest == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=');
    text.push_back('=');
  }
  return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t index = 0; index < text.size(); index += 4) {
    const bool lastGroup = index + 4 == text.size();
    std::size_t padding = 0;
    if (lastGroup) {
      if (text[index + 3] == '=') padding = text[index + 2] == '=' ? 2 : 1;
    }
    std::uint32_t group = 0;
    for (std::size_t offset = 0; offset < 4; ++offset) {
      int digit = 0;
      if (offset < 4 - padding) {
        digit = base64Digit(text[index + offset]);
        if (digit < 0) return std::nullopt;
      }
      group = (group << 6) | static_cast<std::uint32_t>(digit);
    }
    // Unused bits of a padded group must be zero: one blob, one spelling.
    if (padding == 1 && (group & 0xFF) != 0) return std::nullopt;
    if (padding == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    bytes.push_back(static_cast<char>((group >> 16) & 0xFF));
    if (padding < 2) bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding < 1) bytes.push_back(static_cast<char>(group & 0xFF));
  }
  return bytes;
}

namespace detail {

bool decodeBool(const nlohmann::json& value) {
  if (!value.is_boolean()) throw wrongType("a boolean");
  return value.get<bool>();
}

std::string decodeString(const nlohmann::json& value) {
  if (!value.is_string()) throw wrongType("a string");
  return value.get<std::string>();
}

// Integers arrive as integer values only: parse() already turned every exactly
// integral literal into one, so a floating-point value here is fractional, or an
// integral value beyond 64 bits.
std::int64_t decodeInt64(const nlohmann::json& value) {
  constexpr const char* kRange = "a 64-bit signed integer";
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<std::int64_t>();
  }
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw outOfRange(kRange);
    }
    return static_cast<std::int64_t>(unsignedValue);
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) >= kTwoToThe63) {
      throw outOfRange(kRange);
    }
  }
  throw wrongType("an integer");
}

std::int32_t decodeInt32(const nlohmann::json& value) {
  constexpr const char* kRange = "a 32-bit signed integer";
  std::int64_t wide = 0;
  try {
    wide = decodeInt64(value);
  } catch (const DecodeError& error) {
    if (error.problem() == DecodeError::Problem::outOfRange) throw outOfRange(kRange);
    throw;
  }
  if (wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    throw outOfRange(kRange);
  }
  return static_cast<std::int32_t>(wide);
}

std::uint64_t decodeUInt64(const nlohmann::json& value) {
  constexpr const char* kRange = "a 64-bit unsigned integer";
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    const auto signedValue = value.get<std::int64_t>();
    if (signedValue < 0) throw outOfRange(kRange);
    return static_cast<std::uint64_t>(signedValue);
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) >= kTwoToThe63) {
      throw outOfRange(kRange);
    }
  }
  throw wrongType("an integer");
}

double decodeDouble(const nlohmann::json& value) {
  if (!value.is_number()) throw wrongType("a number");
  const double number = value.get<double>();
  if (!std::isfinite(number)) throw outOfRange("a finite number");
  return number;
}

std::string decodeBase64(const nlohmann::json& value) {
  if (!value.is_string()) throw wrongType("a base64 string");
  auto bytes = base64Decode(value.get_ref<const std::string&>());
  if (!bytes) throw DecodeError(DecodeError::Problem::invalidBase64, {});
  return std::move(*bytes);
}

std::string decodeEnumRaw(const nlohmann::json& value) {
  if (!value.is_string()) throw wrongType("a string");
  return value.get<std::string>();
}

void throwUnknownValue(std::string_view raw) {
  throw DecodeError(DecodeError::Problem::unknownValue, {}, quotedSegment(raw));
}

void requireArray(const nlohmann::json& value) {
  if (!value.is_array()) throw wrongType("an array");
}

void requireObject(const nlohmann::json& value) {
  if (!value.is_object()) throw wrongType("an object");
}

std::int64_t decodeIntegerKey(std::string_view name, std::int64_t minimum, std::int64_t maximum) {
  const auto refuse = [&]() {
    return DecodeError(DecodeError::Problem::invalidKey, {}, quotedSegment(name));
  };
  const bool negative = !name.empty() && name.front() == '-';
  const std::string_view digits = negative ? name.substr(1) : name;
  if (digits.empty() || digits.size() > 19) throw refuse();
  if (digits.front() == '0' && (digits.size() > 1 || negative)) throw refuse();
  std::uint64_t magnitude = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') throw refuse();
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  // 19 digits stay below 2^64; compare in the unsigned domain before narrowing.
  if (negative) {
    const auto limit = static_cast<std::uint64_t>(-(minimum + 1)) + 1;
    if (magnitude > limit) throw refuse();
    return magnitude == limit ? minimum : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > static_cast<std::uint64_t>(maximum)) throw refuse();
  return static_cast<std::int64_t>(magnitude);
}

std::string quotedSegment(std::string_view text) {
  std::string result;
  std::size_t length = text.size();
  const bool truncated = length > kMaxQuotedBytes;
  if (truncated) {
    length = kMaxQuotedBytes;
    // Do not cut a multi-byte character in half.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  result.reserve(length + 3);
  for (std::size_t index = 0; index < length; ++index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    result.push_back(byte < 0x20 || byte == 0x7F ? '?' : text[index]);
  }
  if (truncated) result += "…";
  return result;
}

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
  requireObject(object);
  const auto found = object.find(std::string(key));
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

}  // namespace detail
}  // namespace tidewarden::platform::json
