// Strict JSON decoding and encoding shared by every request, reply and on-disk record.
//
// A record lists its fields once, key beside member (see Field below); one generic
// coder reads and writes every listed record. A missing key and a null value are both
// "absent"; a std::optional member may be absent, any other member is required.
// Unknown keys are ignored; a wrong type, an out-of-range integer or an unknown
// enumeration value throws DecodeError, whose what() is the sentence the caller sends
// back to the client, with the key path of the offending value.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tidewarden::platform::json {

// Deepest nesting of arrays and objects that parse() accepts. Every document of the
// protocol is a few levels deep; the limit keeps hostile input from building towers
// that later recursive code (copies, dumps) would walk.
inline constexpr std::size_t kMaxNestingDepth = 64;

// Most values (scalars, arrays and objects together) that parse() accepts in one
// document. The largest real request holds a few hundred; the bound keeps a hostile
// document of tiny values ("[{},{},...]") from costing far more memory than its bytes.
inline constexpr std::size_t kMaxDocumentValues = 100000;

// Longest piece of client text (an unknown value, a map key) quoted in a message.
inline constexpr std::size_t kMaxQuotedBytes = 64;

// A document that could not be decoded. The message names the problem and, for a
// field, its path from the document root ("destination.scope", "layout[1].offset").
class DecodeError : public std::runtime_error {
 public:
  enum class Problem {
    invalidUtf8,    // the bytes are not UTF-8 text
    invalidJson,    // not a JSON document
    tooDeep,        // nested deeper than kMaxNestingDepth
    tooManyValues,  // more than kMaxDocumentValues values
    duplicateKey,   // an object names the same key twice
    missingKey,     // a required key is missing or null
    wrongType,      // detail: what was expected ("an object")
    unknownValue,   // detail: the unknown enumeration raw value
    outOfRange,     // detail: the accepted range ("a 32-bit signed integer")
    invalidBase64,  // a byte blob that is not canonical base64
    invalidKey,     // detail: a map member name that is not a decimal integer
  };

  DecodeError(Problem problem, std::string path, std::string detail = {});

  Problem problem() const noexcept { return problem_; }
  // Path of the offending value; empty for the document itself.
  const std::string& path() const noexcept { return path_; }
  const std::string& detail() const noexcept { return detail_; }

  // The same problem as seen from the enclosing value: `segment` is the key of the
  // value inside its object, or "[index]" inside an array.
  DecodeError nestedIn(std::string_view segment) const;

 private:
  Problem problem_;
  std::string path_;
  std::string detail_;
};

// A point in time: seconds since 2001-01-01T00:00:00Z, encoded as a JSON number.
struct Date {
  double secondsSinceReferenceDate = 0;

  static Date fromUnixSeconds(double unixSeconds);
  double unixSeconds() const;

  friend bool operator==(const Date&, const Date&) = default;
  friend auto operator<=>(const Date&, const Date&) = default;
};

// A byte blob, encoded as a base64 string.
struct Data {
  std::string bytes;

  friend bool operator==(const Data&, const Data&) = default;
};

// UTF-8 JSON text to a value. Refuses invalid UTF-8, anything that is not one complete
// JSON document (no comments, no trailing bytes), duplicate keys in an object, nesting
// beyond kMaxNestingDepth and more than kMaxDocumentValues values (counted as they are
// read, so the refused tree is never built). A number literal with an exactly integral value that
// fits 64 bits ("1.0", "2e3") becomes an integer, so integers are decoded exactly; any
// other number stays floating point. Throws DecodeError; no library exception escapes.
nlohmann::json parse(std::string_view bytes);

// A value to compact UTF-8 JSON text. Returns nullopt when any number in it is not
// finite (the caller then replies with an empty blob). A string holding invalid UTF-8
// is written with U+FFFD in place of the bad bytes. Never throws.
std::optional<std::string> encode(const nlohmann::json& value) noexcept;

// Standard base64 (RFC 4648 alphabet, with padding).
std::string base64Encode(std::string_view bytes);
// Accepts only canonical base64: length a multiple of four, padding only at the end,
// unused bits zero, no whitespace. Returns nullopt otherwise.
std::optional<std::string> base64Decode(std::string_view text);

// ---- Enumerations -------------------------------------------------------------------
//
// An enumeration travels as its raw string value. It opts in by declaring, in its own
// namespace (found by argument-dependent lookup):
//   constexpr const auto& jsonEnumValues(MyEnum) { return kMyEnumRawValues; }
// returning an array of std::pair<MyEnum, std::string_view>, one entry per enumerator.

template <class E>
concept JsonEnum = std::is_enum_v<E> && requires(E value) {
  {jsonEnumValues(value)};
};

template <JsonEnum E>
std::string_view rawValue(E value) {
  for (const auto& [candidate, raw] : jsonEnumValues(value)) {
    if (candidate == value) return raw;
  }
  // An enumerator without a raw value is a bug in the table, not an input.
  std::abort();
}

template <JsonEnum E>
std::optional<E> enumFromRawValue(std::string_view raw) {
  for (const auto& [candidate, candidateRaw] : jsonEnumValues(E{})) {
    if (candidateRaw == raw) return candidate;
  }
  return std::nullopt;
}

// ---- Value codecs -------------------------------------------------------------------

// ---- Records ------------------------------------------------------------------------
//
// A record lists its fields once, in a static member function:
//
//   struct Example {
//     std::string name;
//     std::optional<std::int64_t> size;
//
//     static constexpr auto jsonFields() {
//       return std::tuple{json::field("name", &Example::name),
//                         json::field("size", &Example::size)};
//     }
//   };
//
// Decoding reads the fields in list order (the first problem found is the one
// reported); encoding writes every field and omits an absent optional. Listing a key
// twice fails to compile.

// One listed field: the key it travels under and the member that holds it.
template <class Record, class Member>
struct Field {
  std::string_view key;
  Member Record::*member;
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member) {
  return {key, member};
}

template <class T>
concept ListedRecord = requires {
  { T::jsonFields() };
};

// A type whose coding cannot be a field list keeps a hand-written coder:
// `static T fromJson(const nlohmann::json&)` and `nlohmann::json toJson() const`.
template <class T>
concept DecodableRecord = requires(const nlohmann::json& value) {
  { T::fromJson(value) } -> std::same_as<T>;
};

template <class T>
concept EncodableRecord = requires(const T& record) {
  { record.toJson() } -> std::same_as<nlohmann::json>;
};

namespace detail {

bool decodeBool(const nlohmann::json& value);
std::string decodeString(const nlohmann::json& value);
std::int64_t decodeInt64(const nlohmann::json& value);
std::int32_t decodeInt32(const nlohmann::json& value);
std::uint64_t decodeUInt64(const nlohmann::json& value);
double decodeDouble(const nlohmann::json& value);
std::string decodeBase64(const nlohmann::json& value);
std::string decodeEnumRaw(const nlohmann::json& value);
[[noreturn]] void throwUnknownValue(std::string_view raw);
void requireArray(const nlohmann::json& value);
void requireObject(const nlohmann::json& value);
// Map member name to integer: canonical decimal only ("0", "17", "-3"; not "01", "+1").
std::int64_t decodeIntegerKey(std::string_view name, std::int64_t minimum, std::int64_t maximum);
// A client-supplied text made safe to quote: truncated, control characters replaced.
std::string quotedSegment(std::string_view text);
// The member `key` of `object`, or nullptr when it is missing or null. Throws when
// `object` is not an object.
const nlohmann::json* member(const nlohmann::json& object, std::string_view key);

template <class... Fields>
constexpr bool keysAreUnique(const std::tuple<Fields...>& fields) {
  return std::apply(
      [](const auto&... each) {
        const std::array<std::string_view, sizeof...(Fields)> keys{each.key...};
        for (std::size_t first = 0; first < keys.size(); ++first) {
          for (std::size_t second = first + 1; second < keys.size(); ++second) {
            if (keys[first] == keys[second]) return false;
          }
        }
        return true;
      },
      fields);
}

template <class T>
inline constexpr bool isOptional = false;
template <class T>
inline constexpr bool isOptional<std::optional<T>> = true;

}  // namespace detail

template <class T>
struct Codec;

template <>
struct Codec<bool> {
  static bool decode(const nlohmann::json& value) { return detail::decodeBool(value); }
  static nlohmann::json encode(bool value) { return value; }
};

template <>
struct Codec<std::string> {
  static std::string decode(const nlohmann::json& value) { return detail::decodeString(value); }
  static nlohmann::json encode(const std::string& value) { return value; }
};

template <>
struct Codec<std::int64_t> {
  static std::int64_t decode(const nlohmann::json& value) { return detail::decodeInt64(value); }
  static nlohmann::json encode(std::int64_t value) { return value; }
};

template <>
struct Codec<std::int32_t> {
  static std::int32_t decode(const nlohmann::json& value) { return detail::decodeInt32(value); }
  static nlohmann::json encode(std::int32_t value) { return static_cast<std::int64_t>(value); }
};

template <>
struct Codec<std::uint64_t> {
  static std::uint64_t decode(const nlohmann::json& value) { return detail::decodeUInt64(value); }
  static nlohmann::json encode(std::uint64_t value) { return value; }
};

template <>
struct Codec<double> {
  static double decode(const nlohmann::json& value) { return detail::decodeDouble(value); }
  static nlohmann::json encode(double value) { return value; }
};

template <>
struct Codec<Date> {
  static Date decode(const nlohmann::json& value) { return Date{detail::decodeDouble(value)}; }
  static nlohmann::json encode(const Date& value) { return value.secondsSinceReferenceDate; }
};

template <>
struct Codec<Data> {
  static Data decode(const nlohmann::json& value) { return Data{detail::decodeBase64(value)}; }
  static nlohmann::json encode(const Data& value) { return base64Encode(value.bytes); }
};

template <JsonEnum E>
struct Codec<E> {
  static E decode(const nlohmann::json& value) {
    const std::string raw = detail::decodeEnumRaw(value);
    if (const auto decoded = enumFromRawValue<E>(raw)) return *decoded;
    detail::throwUnknownValue(raw);
  }
  static nlohmann::json encode(E value) { return std::string(rawValue(value)); }
};

template <class R>
requires(!ListedRecord<R> && (DecodableRecord<R> || EncodableRecord<R>)) struct Codec<R> {
  static R decode(const nlohmann::json& value) requires DecodableRecord<R> {
    return R::fromJson(value);
  }
  static nlohmann::json encode(const R& value) requires EncodableRecord<R> {
    return value.toJson();
  }
};

template <class T>
struct Codec<std::vector<T>> {
  static std::vector<T> decode(const nlohmann::json& value) {
    detail::requireArray(value);
    std::vector<T> result;
    result.reserve(value.size());
    for (std::size_t index = 0; index < value.size(); ++index) {
      try {
        result.push_back(Codec<T>::decode(value[index]));
      } catch (const DecodeError& error) {
        throw error.nestedIn("[" + std::to_string(index) + "]");
      }
    }
    return result;
  }
  static nlohmann::json encode(const std::vector<T>& values) {
    nlohmann::json result = nlohmann::json::array();
    for (const T& element : values) result.push_back(Codec<T>::encode(element));
    return result;
  }
};

// Maps travel as JSON objects. Keys are strings, or integers written as canonical
// decimal member names ("0", "1", ...); any other member name fails the whole value.
template <class K, class T>
requires(std::same_as<K, std::string> || std::same_as<K, std::int32_t> ||
         std::same_as<K, std::int64_t>) struct Codec<std::map<K, T>> {
  static std::map<K, T> decode(const nlohmann::json& value) {
    detail::requireObject(value);
    std::map<K, T> result;
    for (const auto& [name, element] : value.items()) {
      K key = decodeKey(name);
      try {
        result.emplace(std::move(key), Codec<T>::decode(element));
      } catch (const DecodeError& error) {
        throw error.nestedIn(detail::quotedSegment(name));
      }
    }
    return result;
  }
  static nlohmann::json encode(const std::map<K, T>& values) {
    nlohmann::json result = nlohmann::json::object();
    for (const auto& [key, element] : values) {
      if constexpr (std::same_as<K, std::string>) {
        result[key] = Codec<T>::encode(element);
      } else {
        result[std::to_string(key)] = Codec<T>::encode(element);
      }
    }
    return result;
  }

 private:
  static K decodeKey(const std::string& name) {
    if constexpr (std::same_as<K, std::string>) {
      return name;
    } else {
      return static_cast<K>(detail::decodeIntegerKey(name, std::numeric_limits<K>::min(),
                                                     std::numeric_limits<K>::max()));
    }
  }
};

// ---- Field readers and writers -------------------------------------------------------

// Decodes one value with no enclosing key (a whole document or an array element).
template <class T>
T decodeValue(const nlohmann::json& value) {
  return Codec<T>::decode(value);
}

template <class T>
nlohmann::json encodeValue(const T& value) {
  return Codec<T>::encode(value);
}

// The value of a required key; a missing key or null fails with "is missing".
template <class T>
T required(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json* value = detail::member(object, key);
  if (value == nullptr) throw DecodeError(DecodeError::Problem::missingKey, std::string(key));
  try {
    return Codec<T>::decode(*value);
  } catch (const DecodeError& error) {
    throw error.nestedIn(key);
  }
}

// The value of an optional key; missing and null both give nullopt.
template <class T>
std::optional<T> optional(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json* value = detail::member(object, key);
  if (value == nullptr) return std::nullopt;
  try {
    return Codec<T>::decode(*value);
  } catch (const DecodeError& error) {
    throw error.nestedIn(key);
  }
}

// Writes `key`; an absent optional is omitted.
template <class T>
void put(nlohmann::json& object, std::string_view key, const T& value) {
  object[std::string(key)] = Codec<T>::encode(value);
}

template <class T>
void put(nlohmann::json& object, std::string_view key, const std::optional<T>& value) {
  if (value) put(object, key, *value);
}

template <ListedRecord R>
struct Codec<R> {
  static_assert(detail::keysAreUnique(R::jsonFields()), "a record lists the same key twice");

  static R decode(const nlohmann::json& value) {
    detail::requireObject(value);
    R record{};
    std::apply([&](const auto&... fields) { (decodeField(value, record, fields), ...); },
               R::jsonFields());
    return record;
  }

  static nlohmann::json encode(const R& record) {
    nlohmann::json object = nlohmann::json::object();
    std::apply([&](const auto&... fields) { (put(object, fields.key, record.*fields.member), ...); },
               R::jsonFields());
    return object;
  }

 private:
  template <class Member>
  static void decodeField(const nlohmann::json& object, R& record, const Field<R, Member>& field) {
    if constexpr (detail::isOptional<Member>) {
      record.*field.member = optional<typename Member::value_type>(object, field.key);
    } else {
      record.*field.member = required<Member>(object, field.key);
    }
  }
};

// parse() followed by the record's decoding.
template <class T>
T decodeDocument(std::string_view bytes) {
  return Codec<T>::decode(parse(bytes));
}

}  // namespace tidewarden::platform::json
