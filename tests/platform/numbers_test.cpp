// 64-bit counts as doubles: the nearest double, rounded once, ties to even,
// as a plain conversion gives it.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/numbers.h"

namespace {

TEST(ToDouble, NearestDoubleOfEverySizeAndSign) {
  const struct {
    uint64_t u;
    double expected;
  } kUnsigned[] = {
      {0, 0.0},
      {0xFFFFFFFFu, 4294967295.0},
      {0x100000000u, 4294967296.0},
      {0x1234567890ABCull, 320255973460668.0},
      {(1ull << 53) + 1, 9007199254740992.0},  // a tie: to the even neighbour below
      {(1ull << 53) + 3, 9007199254740996.0},  // a tie: to the even neighbour above
      {(1ull << 63) + 0x401, 9223372036854777856.0},
      {UINT64_MAX, 18446744073709551616.0},
  };
  for (const auto& c : kUnsigned) {
    EXPECT_EQ(ToDouble(c.u), c.expected) << c.u;
  }
  const struct {
    int64_t i;
    double expected;
  } kSigned[] = {
      {-1, -1.0},
      {-4294967296LL, -4294967296.0},
      {-4294967297LL, -4294967297.0},
      {-(1LL << 53) - 1, -9007199254740992.0},
      {INT64_MIN, -9223372036854775808.0},
      {INT64_MAX, 9223372036854775808.0},
  };
  for (const auto& c : kSigned) {
    EXPECT_EQ(ToDouble(c.i), c.expected) << c.i;
  }
}

TEST(ToDouble, SameAsAPlainConversion) {
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 100000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const uint64_t u = x >> (i % 64);
    ASSERT_EQ(ToDouble(u), static_cast<double>(u)) << u;
    const int64_t s = static_cast<int64_t>(x) >> (i % 64);
    ASSERT_EQ(ToDouble(s), static_cast<double>(s)) << s;
  }
}

}  // namespace
