// The shapes a macOS version and build must have, wherever the helper accepts one.
#include "materialize/macos_identity_patterns.h"

#include <cstdlib>
#include <string>

#include "platform/regex.h"

namespace tidewarden::materialize {
namespace {

// Anchored at both ends with \z, which (unlike $) does not accept a final line feed.
platform::Regex wholeString(std::string_view pattern) {
  const auto compiled = platform::Regex::compile("^(?:" + std::string(pattern) + ")\\z");
  if (!compiled) std::abort();  // the patterns are constants of this file
  return *compiled;
}

bool matchesWhole(const platform::Regex& regex, std::string_view text) {
  return text.size() <= kMaxIdentityTextBytes && regex.test(text) == platform::Regex::Outcome::match;
}

}  // namespace

bool isMacOSVersion(std::string_view text) {
  static const platform::Regex regex = wholeString(kMacOSVersionPattern);
  return matchesWhole(regex, text);
}

bool isMacOSBuild(std::string_view text) {
  static const platform::Regex regex = wholeString(kMacOSBuildPattern);
  return matchesWhole(regex, text);
}

}  // namespace tidewarden::materialize
