// What the fuzz targets assert: a property that does not hold aborts with a message
// naming it, so libFuzzer and the corpus replay both report it as a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tidewarden::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition, const std::string& message) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n  %s\n", file, line, condition, message.c_str());
  std::fflush(stderr);
  std::abort();
}

// Bytes made readable in a failure message: printable ASCII as is, the rest as \xNN,
// cut after `limit` bytes.
inline std::string printable(std::string_view bytes, std::size_t limit = 200) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      text.push_back(static_cast<char>(byte));
    } else {
      text += "\\x";
      text.push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0xf]);
    }
  }
  if (bytes.size() > limit) text += "...";
  return text;
}

inline std::string_view asBytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tidewarden::fuzz

#define FUZZ_CHECK(condition, message)                                              \
  do {                                                                              \
    if (!(condition)) ::tidewarden::fuzz::fail(__FILE__, __LINE__, #condition, (message)); \
  } while (false)
