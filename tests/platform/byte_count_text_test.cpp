#include "platform/byte_count_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace tidewarden::platform {
namespace {

TEST(ByteCountText, WritesCountsAsTheFileStyleFormatterDoes) {
  // Values the platform formatter's documentation and examples state.
  EXPECT_EQ(fileByteCountText(0), "Zero KB");
  EXPECT_EQ(fileByteCountText(1), "1 byte");
  EXPECT_EQ(fileByteCountText(999), "999 bytes");
  EXPECT_EQ(fileByteCountText(1000), "1 KB");
  EXPECT_EQ(fileByteCountText(1500000), "1.5 MB");
  EXPECT_EQ(fileByteCountText(12345678901), "12.35 GB");
  // Digits per unit, trailing zeros dropped, rounding half up.
  EXPECT_EQ(fileByteCountText(1499), "1 KB");
  EXPECT_EQ(fileByteCountText(1500), "2 KB");
  EXPECT_EQ(fileByteCountText(2000000), "2 MB");
  EXPECT_EQ(fileByteCountText(1049999), "1 MB");
  EXPECT_EQ(fileByteCountText(1050000), "1.1 MB");
  EXPECT_EQ(fileByteCountText(8589934592), "8.59 GB");
  EXPECT_EQ(fileByteCountText(2147483648), "2.15 GB");
  EXPECT_EQ(fileByteCountText(1100000000), "1.1 GB");
  // A value rounding to a thousand of its unit is written in the next one.
  EXPECT_EQ(fileByteCountText(999499), "999 KB");
  EXPECT_EQ(fileByteCountText(999500), "1 MB");
  EXPECT_EQ(fileByteCountText(999999999999), "1 TB");
  // The largest counts keep their digits.
  EXPECT_EQ(fileByteCountText(1234000000000000000), "1.23 EB");
  EXPECT_EQ(fileByteCountText(std::numeric_limits<std::int64_t>::max()), "9.22 EB");
  EXPECT_EQ(fileByteCountText(-1500), "-2 KB");
  EXPECT_EQ(fileByteCountText(std::numeric_limits<std::int64_t>::min()), "-9.22 EB");
}

}  // namespace
}  // namespace tidewarden::platform
