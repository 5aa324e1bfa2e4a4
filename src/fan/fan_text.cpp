// Number and byte formatting shared by fan messages, event lines and the report.
#include "fan/fan_text.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace tidewarden::fan {

std::string formatFixed3(double value) {
  std::array<char, 64> buffer{};
  const int length = std::snprintf(buffer.data(), buffer.size(), "%.3f", value);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < buffer.size()) {
    return std::string(buffer.data(), static_cast<std::size_t>(length));
  }
  // Only huge magnitudes need more room.
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), "%.3f", value);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::string formatDefaultDecimal(double value) {
  std::array<char, 64> buffer{};
  const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (error != std::errc()) return formatFixed3(value);
  std::string text(buffer.data(), end);
  // Plain integers gain ".0"; exponent forms, infinities and NaN stay as they are.
  if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  return text;
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (index != 0) text.push_back(' ');
    text.push_back(kDigits[bytes[index] >> 4]);
    text.push_back(kDigits[bytes[index] & 0x0F]);
  }
  return text;
}

std::string prefixCharacters(std::string_view text, std::size_t count) {
  std::size_t index = 0;
  for (std::size_t characters = 0; characters < count && index < text.size(); ++characters) {
    const auto lead = static_cast<unsigned char>(text[index]);
    std::size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
    } else if (lead >= 0xE0) {
      length = lead <= 0xEF ? 3 : 1;
    } else if (lead >= 0xC2) {
      length = 2;
    }
    // Continuation bytes must follow; otherwise the lead byte counts alone.
    std::size_t valid = 1;
    while (valid < length && index + valid < text.size() &&
           (static_cast<unsigned char>(text[index + valid]) & 0xC0) == 0x80) {
      ++valid;
    }
    index += valid == length ? length : 1;
  }
  return std::string(text.substr(0, index));
}

}  // namespace tidewarden::fan
