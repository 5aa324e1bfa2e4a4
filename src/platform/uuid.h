// Random UUIDs and strict parsing of their text form (libuuid).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::platform {

// A fresh random (version 4) UUID in upper-case 8-4-4-4-12 form, the spelling used
// for every review and workspace identifier.
std::string makeUuidString();

// Accepts exactly 36 characters: 32 hexadecimal digits in either case with '-' at
// positions 8, 13, 18 and 23. Returns the canonical upper-case text; anything else
// (braces, surrounding spaces, missing hyphens, a NUL) gives no value.
std::optional<std::string> parseUuidString(std::string_view text);

}  // namespace tidewarden::platform
