// Strict UTF-8 validation, and lossy decoding that marks what is not UTF-8.
#include "platform/utf8.h"

#include <cstddef>

namespace tidewarden::platform {
namespace {

// The length of the well-formed sequence at `index`, or 0 when there is none; then
// `consumed` is the length of its longest well-formed start (at least 1 byte), which
// is what one replacement character stands for.
std::size_t sequenceLength(std::string_view text, std::size_t index, std::size_t& consumed) {
  const auto lead = static_cast<unsigned char>(text[index]);
  consumed = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t offset = 1; offset < length; ++offset) {
    if (index + offset >= text.size()) return 0;
    const auto next = static_cast<unsigned char>(text[index + offset]);
    const unsigned char minimum = offset == 1 ? low : 0x80;
    const unsigned char maximum = offset == 1 ? high : 0xBF;
    if (next < minimum || next > maximum) return 0;
    consumed = offset + 1;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t index = 0;
  while (index < text.size()) {
    std::size_t consumed = 0;
    const std::size_t length = sequenceLength(text, index, consumed);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t index = 0;
  while (index < bytes.size()) {
    std::size_t consumed = 0;
    const std::size_t length = sequenceLength(bytes, index, consumed);
    if (length == 0) {
      text += kReplacement;
      index += consumed;
    } else {
      text.append(bytes.substr(index, length));
      index += length;
    }
  }
  return text;
}

}  // namespace tidewarden::platform
