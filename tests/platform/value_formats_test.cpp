// Small portable wrappers: byte counts as text, SHA-256 against published vectors, UUID generation and strict
// parsing, and the PCRE2 wrapper (anchoring, capture groups, UTF handling, sharing across threads).
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/byte_count_text.h"
#include "platform/regex.h"
#include "platform/sha256.h"
#include "platform/uuid.h"

namespace tidewarden::platform {
namespace {

TEST(ByteCountText, WritesCountsAsTheFileStyleFormatterDoes) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::pair<std::int64_t, const char*> cases[] = {
      // Values the platform formatter's documentation and examples state.
      {0, "Zero KB"}, {1, "1 byte"}, {999, "999 bytes"}, {1000, "1 KB"}, {1500000, "1.5 MB"}, {12345678901, "12.35 GB"},
      // Digits per unit, trailing zeros dropped, rounding half up.
      {1499, "1 KB"}, {1500, "2 KB"}, {2000000, "2 MB"}, {1049999, "1 MB"}, {1050000, "1.1 MB"},
      {8589934592, "8.59 GB"}, {2147483648, "2.15 GB"}, {1100000000, "1.1 GB"},
      // A value rounding to a thousand of its unit is written in the next one.
      {999499, "999 KB"}, {999500, "1 MB"}, {999999999999, "1 TB"},
      // The largest counts keep their digits.
      {1234000000000000000, "1.23 EB"}, {kMax, "9.22 EB"}, {-1500, "-2 KB"}, {kMin, "-9.22 EB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(fileByteCountText(bytes), text) << bytes;
}

std::string hexOf(const Sha256::Digest& digest) { return toLowerHex(digest.data(), digest.size()); }

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256Test, KnownVectorsAndTheLowerHexSpelling) {
  EXPECT_EQ(hexOf(Sha256::of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexOf(Sha256::of("abc")), kAbcDigest);
  // Beyond one block: the 448-bit message of the published vectors.
  EXPECT_EQ(hexOf(Sha256::of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const unsigned char bytes[] = {0x00, 0x0f, 0x10, 0xab, 0xff};
  EXPECT_EQ(toLowerHex(bytes, sizeof bytes), "000f10abff");
}

TEST(Sha256Test, PiecewiseEqualsWholeAndFinishStartsOver) {
  std::string message;
  for (int i = 0; i < 1000; ++i) message.push_back(static_cast<char>(i * 31));
  Sha256 hash;
  size_t pos = 0;
  for (size_t step : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{300}}) {
    hash.update(message.data() + pos, step);
    pos += step;
  }
  hash.update(message.data() + pos, message.size() - pos);
  EXPECT_EQ(hash.finish(), Sha256::of(message));
  // The object is ready for the next message.
  hash.update("abc");
  EXPECT_EQ(hexOf(hash.finish()), kAbcDigest);
  EXPECT_EQ(hash.finish(), Sha256::of(""));
}

TEST(UuidTest, MadeUuidsAreRandomUpperCaseVersion4) {
  const std::string a = makeUuidString(), b = makeUuidString();
  EXPECT_NE(a, b);
  for (const std::string& text : {a, b}) {
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
    EXPECT_EQ(parseUuidString(text), text);  // also proves upper case: parsing gives upper case
  }
}

TEST(UuidTest, ParsingAcceptsEitherCaseAndRefusesEverythingElse) {
  for (const char* either : {"3f2504e0-4f89-11d3-9a0c-0305e82c3301", "3F2504E0-4F89-11d3-9A0C-0305e82C3301"}) {
    EXPECT_EQ(parseUuidString(either), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  }
  using namespace std::string_view_literals;
  for (std::string_view bad :
       {""sv, "3F2504E0-4F89-11D3-9A0C-0305E82C330"sv, "3F2504E0-4F89-11D3-9A0C-0305E82C33011"sv,
        "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}"sv, "3F2504E04F8911D39A0C0305E82C3301"sv,
        "3F2504E0-4F8911D3-9A0C-0305E82C3301-"sv, "3F2504E0-4F89-11D3-9A0C-0305E82C330G"sv,
        " 3F2504E0-4F89-11D3-9A0C-0305E82C330"sv, "3F2504E0_4F89_11D3_9A0C_0305E82C3301"sv,
        "../../../../../../../../../etc/passwd"sv, "3F2504E0-4F89-11D3-9A0C-0305E82C330\0"sv}) {
    EXPECT_FALSE(parseUuidString(bad)) << bad;
  }
}

using Groups = std::vector<std::optional<std::string>>;

TEST(RegexTest, AnchoringIsExactlyAsWrittenAndBadPatternsDoNotCompile) {
  auto inner = Regex::compile("b");
  auto anchored = Regex::compile("^b$");
  ASSERT_TRUE(inner && anchored);
  EXPECT_TRUE(inner->matches("abc"));
  EXPECT_FALSE(anchored->matches("abc"));
  EXPECT_TRUE(anchored->matches("b"));
  EXPECT_FALSE(anchored->matches("b\nb"));
  for (const char* bad : {"(", "a{2,1}", "\xff"}) EXPECT_FALSE(Regex::compile(bad)) << bad;  // \xff: not UTF-8
  EXPECT_TRUE(Regex::compile(""));
}

TEST(RegexTest, CapturesWithUnsetAndEmptyGroups) {
  auto re = Regex::compile(R"(^disk(\d+)(?:s(\d+))?$)");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->groupCount(), 2u);
  EXPECT_EQ(re->match("disk4s2"), (Groups{"disk4s2", "4", "2"}));
  EXPECT_EQ(re->match("disk4"), (Groups{"disk4", "4", std::nullopt}));
  EXPECT_FALSE(re->match("disk"));
  EXPECT_FALSE(re->match("/dev/disk4"));
  // An empty capture is a value, not an unset group.
  EXPECT_EQ(Regex::compile("^a(x*)b$")->match("ab"), (Groups{"ab", ""}));
}

TEST(RegexTest, SubjectsAreUtf8TextWithArbitraryBytesTolerated) {
  auto one = Regex::compile("^.$");
  EXPECT_TRUE(one->matches("\xc3\xa9"));                  // "é" is one character
  EXPECT_FALSE(one->matches("\xff"));                     // an invalid byte is not a character...
  EXPECT_EQ(one->test("\xff"), Regex::Outcome::noMatch);  // ...and not an error either
  EXPECT_EQ(Regex::compile("Install (\\w+)")->match("\xfe Install macOS"), (Groups{"Install macOS", "macOS"}));
  auto nul = Regex::compile("^a\\x00b$");
  EXPECT_TRUE(nul->matches(std::string_view("a\0b", 3)));
  EXPECT_FALSE(nul->matches("a"));
}

TEST(RegexTest, EngineLimitsAreReportedAsErrorsNotAsNoMatch) {
  // Catastrophic backtracking on a subject that cannot match.
  auto re = Regex::compile("^(\\w+\\s?)*$");
  std::string subject = std::string(64, 'a') + '!';
  EXPECT_EQ(re->test(subject), Regex::Outcome::error);
  EXPECT_FALSE(re->matches(subject));
  EXPECT_FALSE(re->match(subject));
  EXPECT_EQ(re->test("aa bb"), Regex::Outcome::match);
}

TEST(RegexTest, CopiesShareCodeAndMatchConcurrently) {
  std::optional<Regex> copy = *Regex::compile(R"(^(\d+) (\w+)$)");  // the original is gone at once
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        std::string number = std::to_string(t * 1000 + i);
        auto groups = copy->match(number + " w" + number);
        if (!groups || (*groups)[1] != number || (*groups)[2] != "w" + number) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tidewarden::platform
