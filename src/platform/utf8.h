// Validation and lossy decoding of UTF-8 text read from outside the helper.
#pragma once

#include <string>
#include <string_view>

namespace tidewarden::platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. NUL is allowed.
bool isValidUtf8(std::string_view text);

// `bytes` as UTF-8 text: each ill-formed part (the longest start of a sequence that
// cannot be completed, or one stray byte) becomes one U+FFFD, everything else is kept.
// For showing a tool's diagnostics; never for text that a decision is made on.
std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace tidewarden::platform
