// Compiled PCRE2 regular expressions (8-bit, UTF) that many threads may share.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::platform {

// An immutable compiled pattern. Copies share the compiled code; every match
// allocates its own match data, so one Regex may be used from several threads at once.
// Anchoring is exactly as written in the pattern (no implicit ^ or $).
// Subjects may be any bytes: invalid UTF-8 sequences never match any part of the
// pattern but do not make the match fail as a whole (file names are untrusted bytes).
class Regex {
 public:
  // What one search found. `error` means PCRE2 gave up (its match or depth limit):
  // a caller for whom "unknown" must block an action tests for `match` or
  // `noMatch` explicitly instead of reading `error` as either.
  enum class Outcome { match, noMatch, error };

  // Returns no value when the pattern does not compile.
  static std::optional<Regex> compile(std::string_view pattern);

  // True only for a match; false for no match and for an engine error.
  bool matches(std::string_view subject) const;
  Outcome test(std::string_view subject) const;

  // The first match: element 0 is the whole match, element i the i-th capture group
  // (no value when the group did not take part). No value when there is no match or
  // the engine gave up.
  std::optional<std::vector<std::optional<std::string>>> match(std::string_view subject) const;

  // Every match in order, as match() reports one, each search starting where the one
  // before ended (an empty match moves on by one character). At most `maxMatches`; no
  // value when the engine gave up, so a caller never mistakes a partial list for all.
  std::optional<std::vector<std::vector<std::optional<std::string>>>> matchAll(std::string_view subject,
                                                                               size_t maxMatches) const;

  // Number of capture groups in the pattern (not counting group 0).
  size_t groupCount() const;

 private:
  struct Code;
  explicit Regex(std::shared_ptr<const Code> code) : code_(std::move(code)) {}
  std::shared_ptr<const Code> code_;
};

}  // namespace tidewarden::platform
