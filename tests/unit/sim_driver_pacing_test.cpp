// Vblank arithmetic of the simulated display, exact to the nanosecond.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "sim/driver/pacing.h"

namespace {

using sim::driver::FirstVblankAfterNs;

constexpr std::int64_t kOrigin = 1'000'000'000;

struct VblankCase {
  std::uint32_t num;
  std::uint32_t den;
  std::int64_t sinceOrigin;  // the present, relative to the mode set
  std::int64_t expected;     // the vblank, relative to the mode set
};

class VblankTable : public ::testing::TestWithParam<VblankCase> {};

TEST_P(VblankTable, FirstVblankStrictlyAfterThePresent) {
  const VblankCase& c = GetParam();
  EXPECT_EQ(FirstVblankAfterNs(kOrigin, kOrigin + c.sinceOrigin, c.num, c.den),
            kOrigin + c.expected);
}

// 72 Hz: vblank n at floor(n * 1e9 / 72) = 13888888, 27777777, 41666666, ...
// 90 Hz: 11111111, 22222222, ...; 60 Hz (the fallback): 16666666, 33333333.
INSTANTIATE_TEST_SUITE_P(
    Rates, VblankTable,
    ::testing::Values(VblankCase{72000, 1000, 0, 13888888},  // at the mode set itself
                      VblankCase{72000, 1000, 1, 13888888},
                      VblankCase{72000, 1000, 13888887, 13888888},  // just before vblank 1
                      VblankCase{72000, 1000, 13888888, 27777777},  // on vblank 1: the next
                      VblankCase{72000, 1000, 27777777, 41666666},
                      VblankCase{72000, 1000, 2'000'000'000 - 1, 2'000'000'000},  // vblank 144
                      VblankCase{90000, 1000, 11111111, 22222222},
                      VblankCase{120000, 1001, 0, 8341666},   // floor(1e9 * 1001 / 120000)
                      VblankCase{0, 1000, 0, 16666666},       // numerator 0: 60 Hz
                      VblankCase{90, 0, 16666666, 33333333},  // denominator 0: 60 Hz
                      VblankCase{1, 1, 5, 1'000'000'000}));

TEST(Vblank, PresentBeforeTheModeSetWaitsForTheModeSet) {
  EXPECT_EQ(FirstVblankAfterNs(kOrigin, kOrigin - 5, 72000, 1000), kOrigin);
}

TEST(Vblank, LongRunsStayExactWhere64BitProductsWouldOverflow) {
  // A day after the mode set at 4294967295/1: n * 1e9 * den overflows 64 bits
  // well before n * den / num does.
  const std::int64_t day = 86'400'000'000'000;
  const std::int64_t got = FirstVblankAfterNs(0, day, 4294967295u, 1);
  EXPECT_GT(got, day);
  EXPECT_LE(got - day, 1);  // period below 1 ns: the next whole nanosecond
  // 144 Hz: the day ends on vblank 12441600 itself, so the next is 12441601,
  // at floor(12441601 * 1e9 / 144).
  EXPECT_EQ(FirstVblankAfterNs(0, day, 144, 1), 86'400'006'944'444);
}

TEST(Vblank, SaturatesInsteadOfWrapping) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(FirstVblankAfterNs(max - 10, max - 1, 1, 1), max);
}

}  // namespace
