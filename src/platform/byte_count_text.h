// Byte counts in words, as the platform's file-style byte count formatter writes them.
#pragma once

#include <cstdint>
#include <string>

namespace tidewarden::platform {

// Decimal units (1 KB = 1000 bytes), United States English: "Zero KB", "1 byte",
// "999 bytes", "1 KB", "999 KB", "1.5 MB", "12.35 GB". Kilobytes carry no
// fraction, megabytes one digit and larger units two, without trailing zeros; a value
// that rounds up to 1000 of its unit is written in the next unit ("1 MB").
std::string fileByteCountText(std::int64_t bytes);

}  // namespace tidewarden::platform
