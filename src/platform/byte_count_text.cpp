#include "platform/byte_count_text.h"

#include <array>
#include <cmath>
#include <string_view>

namespace tidewarden::platform {
namespace {

// A signed 64-bit count stays below 10 EB, so no unit ever shows four digits.
constexpr std::array<std::string_view, 6> kUnits{"KB", "MB", "GB", "TB", "PB", "EB"};

int fractionDigits(std::size_t unit) { return unit == 0 ? 0 : unit == 1 ? 1 : 2; }

// `scaled` hundredths (or tenths, or units) without trailing fraction zeros.
std::string decimalText(std::uint64_t scaled, int digits) {
  std::uint64_t divisor = 1;
  for (int i = 0; i < digits; ++i) divisor *= 10;
  const std::string whole = std::to_string(scaled / divisor);
  if (digits == 0) return whole;
  std::string fraction = std::to_string(scaled % divisor);
  fraction.insert(0, static_cast<std::size_t>(digits) - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  return fraction.empty() ? whole : whole + "." + fraction;
}

}  // namespace

std::string fileByteCountText(std::int64_t bytes) {
  if (bytes == 0) return "Zero KB";
  const std::string sign = bytes < 0 ? "-" : "";
  // The magnitude of INT64_MIN does not fit in int64_t; it does in uint64_t.
  const std::uint64_t magnitude = bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
  if (magnitude < 1000) return sign + std::to_string(magnitude) + (magnitude == 1 ? " byte" : " bytes");

  std::size_t unit = 0;
  std::uint64_t unitBytes = 1000;
  while (unit + 1 < kUnits.size() && magnitude / unitBytes >= 1000) {
    ++unit;
    unitBytes *= 1000;
  }
  // Rounded to the unit's digits, half away from zero, in integer arithmetic so that
  // large counts keep every digit.
  for (;;) {
    const int digits = fractionDigits(unit);
    std::uint64_t step = unitBytes;
    for (int i = 0; i < digits; ++i) step /= 10;
    const std::uint64_t scaled = magnitude / step + (magnitude % step >= step - step / 2 ? 1 : 0);
    std::uint64_t thousand = 1000;
    for (int i = 0; i < digits; ++i) thousand *= 10;
    if (scaled >= thousand && unit + 1 < kUnits.size()) {
      ++unit;
      unitBytes *= 1000;
      continue;
    }
    return sign + decimalText(scaled, digits) + " " + std::string(kUnits[unit]);
  }
}

}  // namespace tidewarden::platform
