#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/options.h"

namespace {

RunOptions Scan(std::vector<std::string> words) {
  static std::vector<std::string> keep;
  keep = std::move(words);
  static std::vector<char*> argv;
  argv.clear();
  for (std::string& w : keep) argv.push_back(w.data());
  return ScanOptions(static_cast<int>(argv.size()), argv.data());
}

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  double duration;
  bool forceDsc;
  bool powerOff;
  int mode;
  const char* image;  // nullptr: none
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class OptionScan : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionScan, FillsRunOptions) {
  const OptionCase& c = GetParam();
  const RunOptions o = Scan(c.args);
  EXPECT_DOUBLE_EQ(o.duration, c.duration);
  EXPECT_EQ(o.forceDsc, c.forceDsc);
  EXPECT_EQ(o.powerOff, c.powerOff);
  EXPECT_EQ(o.mode, c.mode);
  if (c.image == nullptr) {
    EXPECT_EQ(o.image, nullptr);
  } else {
    ASSERT_NE(o.image, nullptr);
    EXPECT_STREQ(o.image, c.image);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionScan,
    ::testing::Values(
        OptionCase{"none", {}, 15.0, true, false, -1, nullptr},
        OptionCase{"lone_flag", {"--no-force-dsc"}, 15.0, false, false, -1, nullptr},
        OptionCase{"lone_number_ignored", {"30"}, 15.0, true, false, -1, nullptr},
        OptionCase{"mode_value_is_duration", {"--mode", "2"}, 2.0, true, false, 2, nullptr},
        OptionCase{"image_path_is_duration", {"--image", "x.raw"}, 0.0, true, false, -1, "x.raw"},
        OptionCase{"image_numeric_path", {"--image", "30.raw"}, 30.0, true, false, -1, "30.raw"},
        OptionCase{
            "last_dsc_wins", {"--force-dsc", "--no-force-dsc"}, 0.0, false, false, -1, nullptr},
        OptionCase{
            "mode_value_scanned_as_option", {"--mode", "--power-off"}, 0.0, true, true, 0, nullptr},
        OptionCase{"mode_last_ignored", {"5", "6", "--mode"}, 6.0, true, false, -1, nullptr},
        OptionCase{"image_last_ignored", {"1", "2", "--image"}, 2.0, true, false, -1, nullptr},
        OptionCase{
            "mode_twice_last_wins", {"--mode", "5", "--mode", "7"}, 5.0, true, false, 7, nullptr},
        OptionCase{"leading_integer", {"--mode", "12abc"}, 12.0, true, false, 12, nullptr},
        OptionCase{"negative_mode", {"--mode", "-3"}, -3.0, true, false, -3, nullptr},
        OptionCase{"huge_mode_clamped",
                   {"--mode", "99999999999999"},
                   99999999999999.0,
                   true,
                   false,
                   2147483647,
                   nullptr},
        OptionCase{"case_sensitive", {"--POWER-OFF", "--Mode", "3"}, 0.0, true, false, -1, nullptr},
        OptionCase{"image_consumes_value",
                   {"x", "--image", "--power-off"},
                   0.0,
                   true,
                   false,
                   -1,
                   "--power-off"},
        OptionCase{"duration_with_space", {"x", "  2.5s"}, 2.5, true, false, -1, nullptr},
        OptionCase{
            "power_off_sticks", {"--power-off", "--force-dsc"}, 0.0, true, true, -1, nullptr}),
    [](const ::testing::TestParamInfo<OptionCase>& p) { return std::string(p.param.name); });

TEST(OptionScanSpecial, InfinityAndNanDurations) {
  EXPECT_TRUE(std::isinf(Scan({"x", "inf"}).duration));
  EXPECT_TRUE(std::isnan(Scan({"x", "nan"}).duration));
}

}  // namespace
