// Validation of UTF-8 text read from outside the helper.
#pragma once

#include <string>
#include <string_view>

namespace tidewarden::platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. NUL is allowed.
bool isValidUtf8(std::string_view text);

// `text` decoded as UTF-8 with each maximal ill-formed subsequence replaced by U+FFFD,
// the way tool output is shown when it is not clean text.
std::string replacingInvalidUtf8(std::string_view text);

}  // namespace tidewarden::platform
