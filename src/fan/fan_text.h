// Number and byte formatting shared by fan messages, event lines and the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tidewarden::fan {

// "%.3f": 1200 prints as 1200.000.
std::string formatFixed3(double value);

// The shortest decimal that reads back as the same double, with at least one
// fractional digit: 1200 prints as 1200.0, 1201.5 as 1201.5, 1e+20 as 1e+20.
std::string formatDefaultDecimal(double value);

// Bytes as two-digit upper-case hexadecimal separated by single spaces ("12 C0").
std::string hexBytes(std::span<const std::uint8_t> bytes);

// The first `count` characters (Unicode code points) of UTF-8 text; a multi-byte
// character is never split. Bytes that are not UTF-8 count one character each.
std::string prefixCharacters(std::string_view text, std::size_t count);

}  // namespace tidewarden::fan
