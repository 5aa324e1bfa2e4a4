// PCRE2 wrapper: anchoring, capture groups, UTF handling, sharing across threads.
#include "platform/regex.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tidewarden::platform {
namespace {

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
