#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/discovery.h"
#include "app/image.h"
#include "app/present.h"
#include "app/surfaces.h"

namespace {

DirectModeDisplayMode Mode(std::uint32_t w, std::uint32_t h, std::uint32_t num, std::uint32_t den,
                           std::uint32_t format = 0) {
  DirectModeDisplayMode m = {};
  m.version = kDisplayModeVersion;
  m.width = w;
  m.height = h;
  m.refreshNumerator = num;
  m.refreshDenominator = den;
  m.format = format;
  return m;
}

TEST(ModeScore, CountsPixelsLessRefreshDistance) {
  EXPECT_DOUBLE_EQ(ModeScore(Mode(2160, 1200, 90000, 1000)), 2442000.0);
  EXPECT_DOUBLE_EQ(ModeScore(Mode(2160, 1200, 72000, 1000)), 2562000.0);
  EXPECT_DOUBLE_EQ(ModeScore(Mode(3840, 2160, 60, 1)), 8144400.0);
  EXPECT_DOUBLE_EQ(ModeScore(Mode(800, 600, 60, 0)), -270000.0);
  EXPECT_DOUBLE_EQ(ModeScore(Mode(2160, 1200, 90000, 1000, 22)), 2442001.0);
}

TEST(ModeScore, RefreshOfZeroDenominatorIsZero) {
  EXPECT_EQ(RefreshRateHz(Mode(1, 1, 90, 0)), 0.0);
  // Both taken as unsigned before the division.
  EXPECT_DOUBLE_EQ(RefreshRateHz(Mode(1, 1, 0xFFFFFFFFu, 1)), 4294967295.0);
}

struct ChoiceCase {
  std::vector<DirectModeDisplayMode> modes;
  int requested;
  int expected;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
  *os << c.modes.size() << " modes, requested " << c.requested;
}

class ModeChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ModeChoice, PicksIndex) {
  const ChoiceCase& c = GetParam();
  EXPECT_EQ(
      ChooseModeIndex(c.modes.data(), static_cast<std::uint32_t>(c.modes.size()), c.requested),
      c.expected);
}

const std::vector<DirectModeDisplayMode> kDefaultModes = {Mode(2160, 1200, 90000, 1000, 22),
                                                          Mode(2160, 1200, 120000, 1000, 22),
                                                          Mode(2160, 1200, 72000, 1000, 22)};

INSTANTIATE_TEST_SUITE_P(
    Cases, ModeChoice,
    ::testing::Values(ChoiceCase{kDefaultModes, -1, 2},  // by score
                      ChoiceCase{kDefaultModes, 0, 0},   // by index, whatever its score
                      ChoiceCase{kDefaultModes, 3, 2},   // out of range: best score
                      ChoiceCase{kDefaultModes, -7, 2},  // negative: best score
                      ChoiceCase{
                          {Mode(100, 100, 75, 1), Mode(100, 100, 75, 1)}, -1, 0},  // tie: first
                      ChoiceCase{{Mode(100, 100, 75, 1), Mode(100, 100, 75, 1, 22)}, -1, 1},
                      ChoiceCase{{Mode(100, 100, 75, 1, 22), Mode(100, 100, 75, 1)}, -1, 0},
                      ChoiceCase{{Mode(800, 600, 60, 0)}, -1, -1},  // nothing above -1.0
                      ChoiceCase{{Mode(800, 600, 60, 0)}, 0, 0}, ChoiceCase{{}, -1, -1},
                      ChoiceCase{{}, 0, -1}));

TEST(ForceDsc, WritesTheForcedValues) {
  DirectModeDisplayMode m = Mode(1, 1, 1, 1);
  m.dscMode = 9;
  ForceDsc(m);
  EXPECT_EQ(m.dscMode, 1u);
  EXPECT_EQ(m.dscVer, 17u);
  EXPECT_EQ(m.slices, 4u);
  EXPECT_EQ(m.bppx16, 128u);
}

TEST(FormatMap, TypelessToTyped) {
  const struct {
    int in, out;
    bool mapped;
  } cases[] = {{9, 10, true},   {23, 24, true},  {27, 28, true},  {90, 87, true},  {92, 88, true},
               {87, 87, false}, {88, 88, false}, {28, 28, false}, {29, 29, false}, {0, 0, false}};
  for (const auto& c : cases) {
    bool mapped = !c.mapped;
    EXPECT_EQ(TypedRenderTargetFormat(static_cast<DXGI_FORMAT>(c.in), &mapped), c.out) << c.in;
    EXPECT_EQ(mapped, c.mapped) << c.in;
  }
}

TEST(UploadPitch, RoundsRowsToTheTexturePitch) {
  EXPECT_EQ(UploadPitch(1920), 7680u);
  EXPECT_EQ(UploadPitch(2160), 8704u);
  EXPECT_EQ(UploadPitch(1), 256u);
  EXPECT_EQ(UploadPitch(64), 256u);
  EXPECT_EQ(UploadPitch(65), 512u);
}

TEST(BarOffset, SweepsEachHalfEveryFourSeconds) {
  EXPECT_EQ(BarOffset(0.0, 960), 0);
  EXPECT_EQ(BarOffset(2.0, 960), 448);
  EXPECT_EQ(BarOffset(3.999, 960), 895);
  EXPECT_EQ(BarOffset(4.0, 960), 0);
  EXPECT_EQ(BarOffset(1.0, 1080), 254);
}

TEST(FramesPerSecond, ZeroElapsedGivesZeroNotNaN) {
  EXPECT_EQ(FramesPerSecond(10, 0.0), 0.0);
  EXPECT_EQ(FramesPerSecond(0, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(FramesPerSecond(144, 2.0), 72.0);
}

TEST(Verdict, Boundaries) {
  const struct {
    std::uint64_t frames, errors;
    double fps, refresh;
    const char* verdict;
  } cases[] = {
      {0, 0, 0.0, 90.0, "FAIL"},
      {0, 11, 0.0, 90.0, "FAIL"},
      {100, 0, 83.71, 90.0, "PASS"},
      {100, 0, 90.0 * 0.93, 90.0, "MARGINAL"},  // exactly the bound is not enough
      {100, 1, 500.0, 90.0, "MARGINAL"},
      {10, 11, 1000.0, 90.0, "MARGINAL"},
      {100, 0, 69.76, 0.0, "PASS"},  // target 75 when the refresh is 1.0 or less
      {100, 0, 69.75, 1.0, "MARGINAL"},
      {100, 0, 1.0, 1.01, "PASS"},
  };
  for (const auto& c : cases) {
    RunStats stats;
    stats.frames = c.frames;
    stats.presentErrors = c.errors;
    stats.waitTimeouts = 1000;  // plays no part
    EXPECT_STREQ(Verdict(stats, c.fps, c.refresh), c.verdict) << c.frames << " " << c.fps;
  }
}

}  // namespace
