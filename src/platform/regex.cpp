// PCRE2 compilation and matching with per-call match data.
#include "platform/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdlib>

namespace tidewarden::platform {

struct Regex::Code {
  pcre2_code* code = nullptr;
  uint32_t captureCount = 0;
  ~Code() { pcre2_code_free(code); }
};

namespace {

constexpr uint32_t kCompileOptions = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;

struct MatchData {
  pcre2_match_data* data;
  explicit MatchData(const pcre2_code* code) : data(pcre2_match_data_create_from_pattern(code, nullptr)) {
    if (data == nullptr) std::abort();
  }
  ~MatchData() { pcre2_match_data_free(data); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
};

int runMatch(const pcre2_code* code, std::string_view subject, MatchData& matchData, PCRE2_SIZE start = 0) {
  return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, matchData.data,
                     nullptr);
}

std::vector<std::optional<std::string>> groupsOf(std::string_view subject, const MatchData& matchData, int rc,
                                                 uint32_t captureCount) {
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(matchData.data);
  std::vector<std::optional<std::string>> groups(captureCount + 1);
  // Groups at or beyond rc did not take part; their ovector entries are unset.
  for (uint32_t i = 0; i < static_cast<uint32_t>(rc) && i < groups.size(); ++i) {
    PCRE2_SIZE start = ovector[2 * i];
    PCRE2_SIZE end = ovector[2 * i + 1];
    if (start == PCRE2_UNSET || end < start) continue;
    groups[i] = std::string(subject.substr(start, end - start));
  }
  return groups;
}

}  // namespace

std::optional<Regex> Regex::compile(std::string_view pattern) {
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                       kCompileOptions, &errorCode, &errorOffset, nullptr);
  if (compiled == nullptr) return std::nullopt;
  auto code = std::make_shared<Code>();
  code->code = compiled;
  if (pcre2_pattern_info(compiled, PCRE2_INFO_CAPTURECOUNT, &code->captureCount) != 0) std::abort();
  return Regex(std::move(code));
}

Regex::Outcome Regex::test(std::string_view subject) const {
  MatchData matchData(code_->code);
  int rc = runMatch(code_->code, subject, matchData);
  if (rc >= 0) return Outcome::match;
  if (rc == PCRE2_ERROR_NOMATCH) return Outcome::noMatch;
  return Outcome::error;
}

bool Regex::matches(std::string_view subject) const { return test(subject) == Outcome::match; }

std::optional<std::vector<std::optional<std::string>>> Regex::match(std::string_view subject) const {
  MatchData matchData(code_->code);
  int rc = runMatch(code_->code, subject, matchData);
  // rc == 0 would mean the ovector is too small, impossible with data sized from the pattern.
  if (rc <= 0) return std::nullopt;
  return groupsOf(subject, matchData, rc, code_->captureCount);
}

std::optional<std::vector<std::vector<std::optional<std::string>>>> Regex::matchAll(std::string_view subject,
                                                                                    size_t maxMatches) const {
  MatchData matchData(code_->code);
  std::vector<std::vector<std::optional<std::string>>> matches;
  PCRE2_SIZE start = 0;
  while (matches.size() < maxMatches && start <= subject.size()) {
    const int rc = runMatch(code_->code, subject, matchData, start);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc <= 0) return std::nullopt;
    matches.push_back(groupsOf(subject, matchData, rc, code_->captureCount));
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(matchData.data);
    // An empty match would be found again at the same place: step over one character
    // (a whole UTF-8 sequence, so the next search starts on a character boundary).
    if (ovector[1] > ovector[0]) {
      start = ovector[1];
    } else {
      start = ovector[1] + 1;
      while (start < subject.size() && (static_cast<unsigned char>(subject[start]) & 0xC0) == 0x80) ++start;
    }
  }
  return matches;
}

size_t Regex::groupCount() const { return code_->captureCount; }

}  // namespace tidewarden::platform
