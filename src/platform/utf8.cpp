// Strict UTF-8 validation.
#include "platform/utf8.h"

#include <cstddef>

namespace tidewarden::platform {

bool isValidUtf8(std::string_view text) {
  std::size_t index = 0;
  const std::size_t size = text.size();
  while (index < size) {
    const auto lead = static_cast<unsigned char>(text[index]);
    if (lead < 0x80) {
      ++index;
      continue;
    }
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
      return false;
    }
    if (size - index < length) return false;
    for (std::size_t offset = 1; offset < length; ++offset) {
      const auto next = static_cast<unsigned char>(text[index + offset]);
      const unsigned char minimum = offset == 1 ? low : 0x80;
      const unsigned char maximum = offset == 1 ? high : 0xBF;
      if (next < minimum || next > maximum) return false;
    }
    index += length;
  }
  return true;
}

}  // namespace tidewarden::platform
