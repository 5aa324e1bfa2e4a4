// UUID generation through libuuid and a strict text parser.
#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace tidewarden::platform {
namespace {

constexpr size_t kUuidTextLength = 36;

bool isHyphenPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

std::string makeUuidString() {
  uuid_t value;
  uuid_generate_random(value);
  char text[kUuidTextLength + 1];
  uuid_unparse_upper(value, text);
  return std::string(text, kUuidTextLength);
}

std::optional<std::string> parseUuidString(std::string_view text) {
  if (text.size() != kUuidTextLength) return std::nullopt;
  std::string canonical(kUuidTextLength, '\0');
  for (size_t i = 0; i < kUuidTextLength; ++i) {
    char c = text[i];
    if (isHyphenPosition(i)) {
      if (c != '-') return std::nullopt;
      canonical[i] = c;
    } else if (c >= '0' && c <= '9') {
      canonical[i] = c;
    } else if (c >= 'a' && c <= 'f') {
      canonical[i] = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'F') {
      canonical[i] = c;
    } else {
      return std::nullopt;
    }
  }
  return canonical;
}

}  // namespace tidewarden::platform
