// The shapes a macOS version and build must have, wherever the helper accepts one.
#pragma once

#include <cstddef>
#include <string_view>

namespace tidewarden::materialize {

// Whole-string patterns; a value is also refused when it is longer than kMaxIdentityTextBytes.
inline constexpr std::string_view kMacOSVersionPattern = "[0-9]{1,3}(\\.[0-9]{1,4}){1,3}";
inline constexpr std::string_view kMacOSBuildPattern = "[0-9]{2,3}[A-Z][0-9]{1,7}[a-z]?";
inline constexpr std::size_t kMaxIdentityTextBytes = 32;

// "15.1", "15.1.2.3"; not "15" or "15.1.2.3.4".
bool isMacOSVersion(std::string_view text);
// "24B83", "24B83a"; not "24b83".
bool isMacOSBuild(std::string_view text);

}  // namespace tidewarden::materialize
