// Strict decoding, exact integers, dates, base64, parsing limits and encoding of the JSON codec.
#include "platform/json_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tidewarden::platform::json {
namespace {

const std::string kPrefix = "The request could not be read: ";

enum class Speed { slow, fast };
inline constexpr std::array<std::pair<Speed, std::string_view>, 2> kSpeedRawValues{{
    {Speed::slow, "slow"},
    {Speed::fast, "fast"},
}};
constexpr const auto& jsonEnumValues(Speed) { return kSpeedRawValues; }

struct Scope {
  Speed speed = Speed::slow;
  std::int64_t offset = 0;

  static Scope fromJson(const nlohmann::json& object) {
    return Scope{required<Speed>(object, "speed"), required<std::int64_t>(object, "offset")};
  }
  nlohmann::json toJson() const {
    nlohmann::json object = nlohmann::json::object();
    put(object, "speed", speed);
    put(object, "offset", offset);
    return object;
  }
  friend bool operator==(const Scope&, const Scope&) = default;
};

struct Destination {
  Scope scope;
  std::vector<Scope> layout;
  std::optional<std::string> mountPoint;
  Date checkedAt;

  static Destination fromJson(const nlohmann::json& object) {
    return Destination{
        required<Scope>(object, "scope"), required<std::vector<Scope>>(object, "layout"),
        optional<std::string>(object, "mountPoint"), required<Date>(object, "checkedAt")};
  }
  nlohmann::json toJson() const {
    nlohmann::json object = nlohmann::json::object();
    put(object, "scope", scope);
    put(object, "layout", layout);
    put(object, "mountPoint", mountPoint);
    put(object, "checkedAt", checkedAt);
    return object;
  }
  friend bool operator==(const Destination&, const Destination&) = default;
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

TEST(JsonCodecPresence, MissingAndNullAreAbsentWhileAWrongTypeFails) {
  const nlohmann::json object = parse(R"({"present":"x","nothing":null,"count":"3"})");

  EXPECT_EQ(optional<std::string>(object, "present"), "x");
  EXPECT_EQ(optional<std::string>(object, "nothing"), std::nullopt);
  EXPECT_EQ(optional<std::string>(object, "absent"), std::nullopt);
  EXPECT_EQ(failureOf([&] { required<std::string>(object, "absent"); }),
            kPrefix + "the key \"absent\" is missing.");
  EXPECT_EQ(failureOf([&] { required<std::string>(object, "nothing"); }),
            kPrefix + "the key \"nothing\" is missing.");
  // Optional does not mean lenient: a present value must still have the right type.
  EXPECT_EQ(failureOf([&] { optional<std::int64_t>(object, "count"); }),
            kPrefix + "the value of \"count\" has the wrong type (expected an integer).");
}

TEST(JsonCodecPresence, UnknownKeysAreIgnoredButTheDocumentMustBeAnObject) {
  EXPECT_EQ(decodeDocument<Scope>(R"({"speed":"fast","offset":4,"extra":{"deep":[1,null]}})"),
            (Scope{Speed::fast, 4}));
  for (const char* document : {"[]", "\"speed\"", "4", "null"}) {
    EXPECT_EQ(failureOf([&] { decodeDocument<Scope>(document); }),
              kPrefix + "the document has the wrong type (expected an object).")
        << document;
  }
}

TEST(JsonCodecEnums, RawValuesMapBothWaysAndUnknownValuesFail) {
  EXPECT_EQ(rawValue(Speed::fast), "fast");
  EXPECT_EQ(enumFromRawValue<Speed>("slow"), Speed::slow);
  EXPECT_EQ(enumFromRawValue<Speed>("Slow"), std::nullopt);
  EXPECT_EQ(encodeValue(Speed::fast), nlohmann::json("fast"));

  EXPECT_EQ(valueOf<Speed>("\"fast\""), Speed::fast);
  EXPECT_EQ(valueFailure<Speed>("\"turbo\""), kPrefix + "\"v\" has an unknown value \"turbo\".");
  EXPECT_EQ(valueFailure<Speed>("1"),
            kPrefix + "the value of \"v\" has the wrong type (expected a string).");
}

TEST(JsonCodecEnums, ClientTextQuotedInAMessageIsBoundedAndPrintable) {
  const std::string longValue(200, 'x');
  EXPECT_EQ(valueFailure<Speed>("\"" + longValue + "\""),
            kPrefix + "\"v\" has an unknown value \"" + std::string(kMaxQuotedBytes, 'x') + "…\".");
  EXPECT_EQ(valueFailure<Speed>(R"("a\nb\u0007")"),
            kPrefix + "\"v\" has an unknown value \"a?b?\".");
  // A cut never splits a multi-byte character: 63 ASCII bytes then a 2-byte "é".
  const std::string accented = std::string(63, 'a') + "é";
  EXPECT_EQ(valueFailure<Speed>("\"" + accented + "z\""),
            kPrefix + "\"v\" has an unknown value \"" + std::string(63, 'a') + "…\".");
}

TEST(JsonCodecPaths, NestedProblemsNameTheirPathFromTheRoot) {
  const std::string good =
      R"({"scope":{"speed":"slow","offset":0},"layout":[{"speed":"fast","offset":1}],"checkedAt":5})";
  EXPECT_EQ(decodeDocument<Destination>(good).layout.at(0).offset, 1);

  EXPECT_EQ(failureOf([] {
              decodeDocument<Destination>(R"({"scope":{"offset":0},"layout":[],"checkedAt":5})");
            }),
            kPrefix + "the key \"scope.speed\" is missing.");
  EXPECT_EQ(
      failureOf([] {
        decodeDocument<Destination>(
            R"({"scope":{"speed":"slow","offset":0},"layout":[{"speed":"fast","offset":1},)"
            R"({"speed":"fast","offset":"2"}],"checkedAt":5})");
      }),
      kPrefix + "the value of \"layout[1].offset\" has the wrong type (expected an integer).");
  EXPECT_EQ(failureOf([] {
              decodeDocument<Destination>(
                  R"({"scope":{"speed":"slow","offset":0},"layout":[7],"checkedAt":5})");
            }),
            kPrefix + "the value of \"layout[0]\" has the wrong type (expected an object).");
  EXPECT_EQ(failureOf([] {
              required<std::map<std::int32_t, double>>(parse(R"({"targets":{"0":1,"1":"x"}})"),
                                                       "targets");
            }),
            kPrefix + "the value of \"targets.1\" has the wrong type (expected a number).");
}

TEST(JsonCodecIntegers, IntegralLiteralsAreExactAndEverythingElseIsRefused) {
  EXPECT_EQ(valueOf<std::int64_t>("1.0"), 1);
  EXPECT_EQ(valueOf<std::int64_t>("25e2"), 2500);
  EXPECT_EQ(valueOf<std::int64_t>("-0.0"), 0);
  EXPECT_EQ(valueOf<std::int64_t>("0.000120e7"), 1200);
  // Above 2^53 a double cannot hold every integer; the literal is still read exactly.
  EXPECT_EQ(valueOf<std::int64_t>("9007199254740993.0"), 9007199254740993);
  EXPECT_EQ(valueOf<std::int64_t>("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(valueOf<std::int64_t>("-9223372036854775808"),
            std::numeric_limits<std::int64_t>::min());

  const std::string notInteger =
      kPrefix + "the value of \"v\" has the wrong type (expected an integer).";
  EXPECT_EQ(valueFailure<std::int64_t>("1.5"), notInteger);
  EXPECT_EQ(valueFailure<std::int64_t>("1.00000000000000000001"), notInteger);
  EXPECT_EQ(valueFailure<std::int64_t>("\"1\""), notInteger);
  EXPECT_EQ(valueFailure<std::int64_t>("true"), notInteger);

  const std::string outOfRange64 =
      kPrefix + "the value of \"v\" is out of range (expected a 64-bit signed integer).";
  EXPECT_EQ(valueFailure<std::int64_t>("9223372036854775808"), outOfRange64);  // 2^63
  EXPECT_EQ(valueFailure<std::int64_t>("9223372036854775808.0"), outOfRange64);
  // Rounds to exactly -2^63 as a double; the literal itself is out of range.
  EXPECT_EQ(valueFailure<std::int64_t>("-9223372036854775809"), outOfRange64);
  EXPECT_EQ(valueFailure<std::int64_t>("1e30"), outOfRange64);
}

TEST(JsonCodecIntegers, NarrowAndUnsignedRangesAreEnforced) {
  EXPECT_EQ(valueOf<std::int32_t>("2147483647"), 2147483647);
  EXPECT_EQ(valueOf<std::int32_t>("-2147483648"), -2147483647 - 1);
  const std::string outOfRange32 =
      kPrefix + "the value of \"v\" is out of range (expected a 32-bit signed integer).";
  EXPECT_EQ(valueFailure<std::int32_t>("2147483648"), outOfRange32);
  EXPECT_EQ(valueFailure<std::int32_t>("-2147483649"), outOfRange32);
  EXPECT_EQ(valueFailure<std::int32_t>("9223372036854775808"), outOfRange32);

  EXPECT_EQ(valueOf<std::uint64_t>("18446744073709551615"),
            std::numeric_limits<std::uint64_t>::max());
  const std::string outOfRangeUnsigned =
      kPrefix + "the value of \"v\" is out of range (expected a 64-bit unsigned integer).";
  EXPECT_EQ(valueFailure<std::uint64_t>("-1"), outOfRangeUnsigned);
  EXPECT_EQ(valueFailure<std::uint64_t>("18446744073709551616"), outOfRangeUnsigned);
}

TEST(JsonCodecScalars, BooleansStringsAndNumbersAcceptOnlyTheirOwnType) {
  EXPECT_TRUE(valueOf<bool>("true"));
  EXPECT_EQ(valueFailure<bool>("1"),
            kPrefix + "the value of \"v\" has the wrong type (expected a boolean).");
  EXPECT_EQ(valueFailure<bool>("\"true\""),
            kPrefix + "the value of \"v\" has the wrong type (expected a boolean).");
  EXPECT_EQ(valueFailure<std::string>("5"),
            kPrefix + "the value of \"v\" has the wrong type (expected a string).");

  EXPECT_EQ(valueOf<double>("3"), 3.0);
  EXPECT_EQ(valueOf<double>("-2.25"), -2.25);
  EXPECT_EQ(valueOf<double>("18446744073709551615"), 18446744073709551615.0);
  EXPECT_EQ(valueFailure<double>("\"2.5\""),
            kPrefix + "the value of \"v\" has the wrong type (expected a number).");
  // A value built in memory can hold a non-finite number; it never decodes.
  const nlohmann::json object{{"v", std::numeric_limits<double>::infinity()}};
  EXPECT_EQ(failureOf([&] { required<double>(object, "v"); }),
            kPrefix + "the value of \"v\" is out of range (expected a finite number).");
}

TEST(JsonCodecDates, DatesAreSecondsSinceTheReferenceDate) {
  EXPECT_EQ(valueOf<Date>("700000000.5"), Date{700000000.5});
  EXPECT_EQ(valueOf<Date>("-12"), Date{-12});
  EXPECT_EQ(Date::fromUnixSeconds(978307200.0), Date{0});
  EXPECT_EQ((Date{1.5}).unixSeconds(), 978307201.5);
  EXPECT_EQ(encodeValue(Date{42.25}), nlohmann::json(42.25));
  EXPECT_EQ(valueFailure<Date>("\"2001-01-01T00:00:00Z\""),
            kPrefix + "the value of \"v\" has the wrong type (expected a number).");
}

TEST(JsonCodecBase64, StandardVectorsRoundTrip) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64Encode(bytes), text);
    EXPECT_EQ(base64Decode(text), bytes);
  }
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte.push_back(static_cast<char>(byte));
  EXPECT_EQ(base64Decode(base64Encode(everyByte)), everyByte);

  EXPECT_EQ(valueOf<Data>("\"Zm9v\""), Data{"foo"});
  EXPECT_EQ(encodeValue(Data{std::string("\0\xff", 2)}), nlohmann::json("AP8="));
}

TEST(JsonCodecBase64, OnlyCanonicalTextDecodes) {
  for (const char* text : {"Zg", "Zg=", "Zh==", "Zm8", "Zm9=", "Zm9v\n", " Zm9v", "Zm=v",
                           "Zg==Zg==", "Zm9v!A==", "====", "Z==="}) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
  }
  EXPECT_EQ(valueFailure<Data>("\"Zh==\""), kPrefix + "the value of \"v\" is not valid base64.");
  EXPECT_EQ(valueFailure<Data>("[1]"),
            kPrefix + "the value of \"v\" has the wrong type (expected a base64 string).");
}

TEST(JsonCodecParse, OnlyOneStrictDocumentIsAccepted) {
  for (const char* text : {"", " ", "{", "{} {}", "{\"a\":1,}", "// note\n{}", "{'a':1}",
                           "{\"a\":NaN}", "{\"a\":01}", "{\"a\":1e400}", "\"\\ud800\""}) {
    EXPECT_EQ(failureOf([&] { parse(text); }), kPrefix + "it is not valid JSON.") << text;
  }
  EXPECT_EQ(parse(" {\"a\" : [1, 2]}\n"), (nlohmann::json{{"a", {1, 2}}}));
}

TEST(JsonCodecParse, InvalidUtf8IsRefusedAndValidTextIsKept) {
  const std::string invalidUtf8 = kPrefix + "it is not valid UTF-8 text.";
  for (const std::string text : {"{\"a\":\"\xff\"}", "{\"a\":\"\xC0\xAF\"}",  // overlong "/"
                                 "{\"a\":\"\xED\xA0\x80\"}",                  // a surrogate
                                 "{\"a\":\"\xE2\x82\"}",                      // cut short
                                 "{\"a\":\"\xF4\x90\x80\x80\"}",              // beyond U+10FFFF
                                 "{\"\x80\":1}"}) {
    EXPECT_EQ(failureOf([&] { parse(text); }), invalidUtf8);
  }
  EXPECT_EQ(parse("{\"a\":\"é€😀\"}").at("a"), "é€😀");
}

TEST(JsonCodecParse, DuplicateKeysAreRefusedAtAnyDepth) {
  // Which of two values a reader would pick is ambiguous; neither is guessed.
  EXPECT_EQ(failureOf([] { parse(R"({"acknowledged":false,"acknowledged":true})"); }),
            kPrefix + "the key \"acknowledged\" appears more than once.");
  EXPECT_EQ(failureOf([] { parse(R"({"o":[{"k":1,"k":1}]})"); }),
            kPrefix + "the key \"k\" appears more than once.");
  EXPECT_EQ(parse(R"([{"k":1},{"k":2}])").size(), 2u);
}

TEST(JsonCodecParse, NestingIsBounded) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_NO_THROW(parse(nested(kMaxNestingDepth)));
  EXPECT_EQ(failureOf([&] { parse(nested(kMaxNestingDepth + 1)); }),
            kPrefix + "it is nested more than 64 levels deep.");
  EXPECT_EQ(failureOf([&] { parse(nested(200000)); }),
            kPrefix + "it is nested more than 64 levels deep.");
}

TEST(JsonCodecMaps, IntegerKeysMustBeCanonicalDecimalIdentifiers) {
  using Targets = std::map<std::int32_t, double>;
  EXPECT_EQ(valueOf<Targets>(R"({"0":1200,"7":2.5,"-1":3})"),
            (Targets{{-1, 3.0}, {0, 1200.0}, {7, 2.5}}));
  for (const char* key : {"01", "+1", " 1", "1.0", "x", "", "-0", "2147483648", "1e1"}) {
    const nlohmann::json object{{"targets", {{key, 1}}}};
    EXPECT_EQ(failureOf([&] { required<Targets>(object, "targets"); }),
              kPrefix + "the key \"" + key + "\" in \"targets\" is not a valid decimal identifier.")
        << key;
  }
  EXPECT_EQ(encodeValue(Targets{{0, 1.5}, {7, 2.0}}), (nlohmann::json{{"0", 1.5}, {"7", 2.0}}));
  using Names = std::map<std::string, std::int64_t>;
  EXPECT_EQ(valueOf<Names>(R"({"01":1,"x":2})"), (Names{{"01", 1}, {"x", 2}}));
}

TEST(JsonCodecEncode, NonFiniteNumbersFailTheWholeEncoding) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(encode(nlohmann::json{{"a", {{"b", {1, nan}}}}}), std::nullopt);
  EXPECT_EQ(encode(nlohmann::json{{"a", inf}}), std::nullopt);
  EXPECT_EQ(encode(nlohmann::json(-inf)), std::nullopt);
  EXPECT_EQ(encode(nlohmann::json{{"a", {1, 2.5}}, {"b", "x"}}), R"({"a":[1,2.5],"b":"x"})");
  // Bad bytes in a string (a file name, say) are replaced rather than failing the reply.
  EXPECT_EQ(encode(nlohmann::json("a\xff")), "\"a\xEF\xBF\xBD\"");
}

TEST(JsonCodecEncode, RecordsRoundTripAndAbsentOptionalsAreOmitted) {
  Destination destination{Scope{Speed::fast, -3}, {Scope{Speed::slow, 9}}, std::nullopt, Date{1.5}};
  const nlohmann::json withoutMount = destination.toJson();
  EXPECT_FALSE(withoutMount.contains("mountPoint"));
  EXPECT_EQ(decodeDocument<Destination>(*encode(withoutMount)), destination);

  destination.mountPoint = "/Volumes/Stick";
  const nlohmann::json withMount = destination.toJson();
  EXPECT_EQ(withMount.at("mountPoint"), "/Volumes/Stick");
  EXPECT_EQ(withMount.at("scope").at("speed"), "fast");
  EXPECT_EQ(decodeDocument<Destination>(*encode(withMount)), destination);
}

}  // namespace
}  // namespace tidewarden::platform::json
