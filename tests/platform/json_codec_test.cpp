// Strict decoding, exact integers, dates, base64, parsing limits and encoding of the JSON codec.
#include "platform/json_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tidewarden::platform::json {
namespace {

const std::string kPrefix = "The request could not be read: ";

std::string wrongType(const std::string& path, const std::string& expected) {
  return kPrefix + "the value of \"" + path + "\" has the wrong type (expected " + expected + ").";
}
std::string outOfRange(const std::string& expected) {
  return kPrefix + "the value of \"v\" is out of range (expected " + expected + ").";
}

enum class Speed { slow, fast };
inline constexpr std::array<std::pair<Speed, std::string_view>, 2> kSpeedRawValues{{{Speed::slow, "slow"},
                                                                                    {Speed::fast, "fast"}}};
constexpr const auto& jsonEnumValues(Speed) { return kSpeedRawValues; }

struct Scope {
  Speed speed = Speed::slow;
  std::int64_t offset = 0;

  static Scope fromJson(const nlohmann::json& object) {
    return Scope{required<Speed>(object, "speed"), required<std::int64_t>(object, "offset")};
  }
  friend bool operator==(const Scope&, const Scope&) = default;
};

// The message of the DecodeError that `action` throws.
template <class F>
std::string failureOf(F&& action) {
  try {
    action();
  } catch (const DecodeError& error) {
    return error.what();
  }
  ADD_FAILURE() << "expected a DecodeError";
  return {};
}

// Decodes `literal` as the value of a one-key document.
template <class T>
T valueOf(const std::string& literal) {
  return required<T>(parse("{\"v\":" + literal + "}"), "v");
}

template <class T>
std::string valueFailure(const std::string& literal) {
  return failureOf([&] { valueOf<T>(literal); });
}

// Which keys are required or optional, and which path a nested problem names, are checked
// for every wire message in the helper's message coding tests.
TEST(JsonCodecPresence, UnknownKeysAreIgnoredButTheDocumentMustBeAnObject) {
  EXPECT_EQ(decodeDocument<Scope>(R"({"speed":"fast","offset":4,"extra":{"deep":[1,null]}})"),
            (Scope{Speed::fast, 4}));
  for (const char* document : {"[]", "\"speed\"", "4", "null"}) {
    EXPECT_EQ(failureOf([&] { decodeDocument<Scope>(document); }),
              kPrefix + "the document has the wrong type (expected an object).");
  }
}

// Known raw values map both ways in every message's round trip; anything else, even in another case, is unknown.
TEST(JsonCodecEnums, UnknownValuesAreQuotedBoundedAndPrintable) {
  const std::string unknown = kPrefix + "\"v\" has an unknown value \"";
  EXPECT_EQ(valueFailure<Speed>("\"Slow\""), unknown + "Slow\".");
  EXPECT_EQ(valueFailure<Speed>("\"" + std::string(200, 'x') + "\""),
            unknown + std::string(kMaxQuotedBytes, 'x') + "…\".");
  EXPECT_EQ(valueFailure<Speed>(R"("a\nb\u0007")"), unknown + "a?b?\".");
  // A cut never splits a multi-byte character: 63 ASCII bytes then a 2-byte "é".
  EXPECT_EQ(valueFailure<Speed>("\"" + std::string(63, 'a') + "éz\""), unknown + std::string(63, 'a') + "…\".");
}

TEST(JsonCodecIntegers, IntegralLiteralsAreExactAndWithinTheirTypesRangeAndEverythingElseIsRefused) {
  // Above 2^53 a double cannot hold every integer; the literal is still read exactly.
  const std::pair<const char*, std::int64_t> exact[] = {
      {"1.0", 1}, {"25e2", 2500}, {"-0.0", 0}, {"0.000120e7", 1200}, {"9007199254740993.0", 9007199254740993},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}};
  for (const auto& [literal, value] : exact) EXPECT_EQ(valueOf<std::int64_t>(literal), value) << literal;
  for (const char* literal : {"1.5", "1.00000000000000000001", "\"1\"", "true"}) {
    EXPECT_EQ(valueFailure<std::int64_t>(literal), wrongType("v", "an integer")) << literal;
  }
  // -2^63 - 1 rounds to exactly -2^63 as a double; the literal itself is out of range.
  for (const char* literal : {"9223372036854775808", "9223372036854775808.0", "-9223372036854775809", "1e30"}) {
    EXPECT_EQ(valueFailure<std::int64_t>(literal), outOfRange("a 64-bit signed integer")) << literal;
  }
  // Narrow and unsigned types hold their own ranges.
  EXPECT_EQ(valueOf<std::int32_t>("2147483647"), 2147483647);
  EXPECT_EQ(valueOf<std::int32_t>("-2147483648"), -2147483647 - 1);
  for (const char* literal : {"2147483648", "-2147483649", "9223372036854775808"}) {
    EXPECT_EQ(valueFailure<std::int32_t>(literal), outOfRange("a 32-bit signed integer")) << literal;
  }
  EXPECT_EQ(valueOf<std::uint64_t>("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  for (const char* literal : {"-1", "18446744073709551616"}) {
    EXPECT_EQ(valueFailure<std::uint64_t>(literal), outOfRange("a 64-bit unsigned integer")) << literal;
  }
}

TEST(JsonCodecScalars, BooleansStringsNumbersAndDatesAcceptOnlyTheirOwnType) {
  EXPECT_TRUE(valueOf<bool>("true"));
  for (const char* literal : {"1", "\"true\""}) EXPECT_EQ(valueFailure<bool>(literal), wrongType("v", "a boolean"));
  EXPECT_EQ(valueOf<double>("-2.25"), -2.25);
  EXPECT_EQ(valueOf<double>("18446744073709551615"), 18446744073709551615.0);
  EXPECT_EQ(valueFailure<double>("\"2.5\""), wrongType("v", "a number"));
  // A value built in memory can hold a non-finite number; it never decodes.
  const nlohmann::json object{{"v", std::numeric_limits<double>::infinity()}};
  EXPECT_EQ(failureOf([&] { required<double>(object, "v"); }), outOfRange("a finite number"));

  // Dates are seconds since the reference date.
  EXPECT_EQ(valueOf<Date>("700000000.5"), Date{700000000.5});
  EXPECT_EQ(valueOf<Date>("-12"), Date{-12});
  EXPECT_EQ(valueFailure<Date>("\"2001-01-01T00:00:00Z\""), wrongType("v", "a number"));
}

TEST(JsonCodecBase64, StandardVectorsRoundTripAndOnlyCanonicalTextDecodes) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64Encode(bytes), text);
    EXPECT_EQ(base64Decode(text), bytes);
  }
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte.push_back(static_cast<char>(byte));
  EXPECT_EQ(base64Decode(base64Encode(everyByte)), everyByte);
  EXPECT_EQ(valueOf<Data>("\"Zm9v\""), Data{"foo"});
  EXPECT_EQ(encodeValue(Data{std::string("\0\xff", 2)}), nlohmann::json("AP8="));

  for (const char* text :
       {"Zg", "Zg=", "Zh==", "Zm8", "Zm9=", "Zm9v\n", " Zm9v", "Zm=v", "Zg==Zg==", "Zm9v!A==", "====", "Z==="}) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
  }
  EXPECT_EQ(valueFailure<Data>("\"Zh==\""), kPrefix + "the value of \"v\" is not valid base64.");
  EXPECT_EQ(valueFailure<Data>("[1]"), wrongType("v", "a base64 string"));
}

TEST(JsonCodecParse, OnlyOneStrictValidUtf8DocumentIsAccepted) {
  for (const char* text : {"", " ", "{", "{} {}", "{\"a\":1,}", "// note\n{}", "{'a':1}", "{\"a\":NaN}",
                           "{\"a\":01}", "{\"a\":1e400}", "\"\\ud800\""}) {
    EXPECT_EQ(failureOf([&] { parse(text); }), kPrefix + "it is not valid JSON.") << text;
  }
  EXPECT_EQ(parse(" {\"a\" : [1, 2]}\n"), (nlohmann::json{{"a", {1, 2}}}));

  // Overlong "/", a surrogate, cut short, beyond U+10FFFF, a bad key.
  for (const std::string text : {"{\"a\":\"\xff\"}", "{\"a\":\"\xC0\xAF\"}", "{\"a\":\"\xED\xA0\x80\"}",
                                 "{\"a\":\"\xE2\x82\"}", "{\"a\":\"\xF4\x90\x80\x80\"}", "{\"\x80\":1}"}) {
    EXPECT_EQ(failureOf([&] { parse(text); }), kPrefix + "it is not valid UTF-8 text.");
  }
  EXPECT_EQ(parse("{\"a\":\"é€😀\"}").at("a"), "é€😀");
}

TEST(JsonCodecParse, DuplicateKeysAreRefusedAtAnyDepth) {
  // Which of two values a reader would pick is ambiguous; neither is guessed.
  EXPECT_EQ(failureOf([] { parse(R"({"acknowledged":false,"acknowledged":true})"); }),
            kPrefix + "the key \"acknowledged\" appears more than once.");
  EXPECT_EQ(failureOf([] { parse(R"({"o":[{"k":1,"k":1}]})"); }), kPrefix + "the key \"k\" appears more than once.");
  EXPECT_EQ(parse(R"([{"k":1},{"k":2}])").size(), 2u);
}

TEST(JsonCodecParse, NestingAndTheNumberOfValuesAreBounded) {
  const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(parse(nested(kMaxNestingDepth)));
  for (std::size_t depth : {kMaxNestingDepth + 1, std::size_t{200000}}) {
    EXPECT_EQ(failureOf([&] { parse(nested(depth)); }), kPrefix + "it is nested more than 64 levels deep.");
  }
  // The outer array counts too: exactly the bound in all passes, one more fails.
  const auto objects = [](std::size_t count) {
    std::string text = "[";
    for (std::size_t index = 0; index < count; ++index) text += index ? ",{}" : "{}";
    return text + "]";
  };
  EXPECT_EQ(parse(objects(kMaxDocumentValues - 1)).size(), kMaxDocumentValues - 1);
  for (std::size_t count : {kMaxDocumentValues, std::size_t{4000000}}) {
    EXPECT_EQ(failureOf([&] { parse(objects(count)); }), kPrefix + "it holds more than 100000 values.");
  }
}

TEST(JsonCodecMaps, IntegerKeysMustBeCanonicalDecimalIdentifiers) {
  using Targets = std::map<std::int32_t, double>;
  EXPECT_EQ(valueOf<Targets>(R"({"0":1200,"7":2.5,"-1":3})"), (Targets{{-1, 3.0}, {0, 1200.0}, {7, 2.5}}));
  for (const char* key : {"01", "+1", " 1", "1.0", "x", "", "-0", "2147483648", "1e1"}) {
    const nlohmann::json object{{"targets", {{key, 1}}}};
    EXPECT_EQ(failureOf([&] { required<Targets>(object, "targets"); }),
              kPrefix + "the key \"" + key + "\" in \"targets\" is not a valid decimal identifier.");
  }
  EXPECT_EQ(encodeValue(Targets{{0, 1.5}, {7, 2.0}}), (nlohmann::json{{"0", 1.5}, {"7", 2.0}}));
  using Names = std::map<std::string, std::int64_t>;
  EXPECT_EQ(valueOf<Names>(R"({"01":1,"x":2})"), (Names{{"01", 1}, {"x", 2}}));
}

TEST(JsonCodecEncode, NonFiniteNumbersFailTheWholeEncoding) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(encode(nlohmann::json{{"a", {{"b", {1, std::numeric_limits<double>::quiet_NaN()}}}}}), std::nullopt);
  EXPECT_EQ(encode(nlohmann::json{{"a", inf}}), std::nullopt);
  EXPECT_EQ(encode(nlohmann::json(-inf)), std::nullopt);
  EXPECT_EQ(encode(nlohmann::json{{"a", {1, 2.5}}, {"b", "x"}}), R"({"a":[1,2.5],"b":"x"})");
  // Bad bytes in a string (a file name, say) are replaced rather than failing the reply.
  EXPECT_EQ(encode(nlohmann::json("a\xff")), "\"a\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace tidewarden::platform::json
