// The test driver's description file: what it accepts and what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "tools/testdriver/config.h"

namespace testdriver {
namespace {

TEST(TestDriverConfig, EmptyFileIsTheDefaultDriver) {
  Config c;
  ASSERT_FALSE(ParseConfig("# nothing but a comment\r\n\r\n", c));
  ASSERT_EQ(c.displays.size(), 1u);
  EXPECT_EQ(c.displays[0].displayId, 0x80061001u);
  ASSERT_EQ(c.displays[0].modes.size(), 3u);
  EXPECT_EQ(c.displays[0].modes[2].refreshNumerator, 72000u);
  EXPECT_EQ(c.vendor, 9993u);
  EXPECT_EQ(c.surfaceFormat, 90u);
  EXPECT_EQ(c.hooks, Hooks::kBoth);
}

TEST(TestDriverConfig, DisplayLinesReplaceTheDefault) {
  Config c;
  ASSERT_FALSE(
      ParseConfig("display=0x80061002\n"
                  "mode = 1920,1080,60,1,22\n"
                  "display=7\n"
                  "mode=3840,2160,120000,1001,87,1,17,4,128\n",
                  c));
  ASSERT_EQ(c.displays.size(), 2u);
  EXPECT_EQ(c.displays[0].displayId, 0x80061002u);
  ASSERT_EQ(c.displays[0].modes.size(), 1u);
  EXPECT_EQ(c.displays[0].modes[0].width, 1920u);
  EXPECT_EQ(c.displays[0].modes[0].dscMode, 0u);
  const ModeSpec& m = c.displays[1].modes.at(0);
  EXPECT_EQ(m.height, 2160u);
  EXPECT_EQ(m.refreshDenominator, 1001u);
  EXPECT_EQ(m.format, 87u);
  EXPECT_EQ(m.dscMode, 1u);
  EXPECT_EQ(m.dscVer, 17u);
  EXPECT_EQ(m.slices, 4u);
  EXPECT_EQ(m.bppx16, 128u);
}

TEST(TestDriverConfig, NoDisplay) {
  Config c;
  ASSERT_FALSE(ParseConfig("display=none\n", c));
  EXPECT_TRUE(c.displays.empty());
}

TEST(TestDriverConfig, StatusesHooksAndMissingIds) {
  Config c;
  ASSERT_FALSE(
      ParseConfig("status.AcquireDirectModeDisplay=-208\n"
                  "status.Initialize=0xffffffff\n"
                  "status.Present12=5\n"
                  "hooks=enter\n"
                  "missing=0x5ED18DC4\n"
                  "surface_format=87\n",
                  c));
  EXPECT_EQ(c.statuses.at("AcquireDirectModeDisplay"), -208);
  EXPECT_EQ(c.statuses.at("Initialize"), -1);
  EXPECT_EQ(c.statuses.at("Present12"), 5);
  EXPECT_EQ(c.hooks, Hooks::kEnter);
  ASSERT_EQ(c.missingIds.size(), 1u);
  EXPECT_EQ(c.missingIds[0], 0x5ED18DC4u);
  EXPECT_EQ(c.surfaceFormat, 87u);
  EXPECT_EQ(c.displays.size(), 1u);  // statuses alone keep the default display
}

struct Refused {
  const char* text;
  const char* error;  // the start of the message
};

TEST(TestDriverConfig, RefusesWhatItCannotRead) {
  const Refused cases[] = {
      {"mode=1920,1080,60,1,22\n", "line 1: mode before any display line"},
      {"display=none\nmode=1920,1080,60,1,22\n", "line 2: mode before any display line"},
      {"display=1\n\nmode=1920,1080,60\n", "line 3: mode is width,height"},
      {"display=1\nmode=1920,1080,60,1,x\n", "line 2: mode field 5 is not a number"},
      {"display=1\ndisplay=none\n", "line 2: display=none after a display"},
      {"display=-1\n", "line 1: display must be"},
      {"status.Bogus=1\n", "line 1: unknown operation Bogus"},
      {"status.Present12=0x100000000\n", "line 1: status must be a number"},
      {"colour=blue\n", "line 1: unknown key colour"},
      {"vendor=-1\n", "line 1: vendor must be"},
      {"vendor=12abc\n", "line 1: vendor must be"},
      {"hooks=sometimes\n", "line 1: hooks must be"},
      {"# fine\njust words\n", "line 2: expected key=value"},
  };
  for (const Refused& r : cases) {
    Config c;
    c.vendor = 1;
    const auto err = ParseConfig(r.text, c);
    ASSERT_TRUE(err) << r.text;
    EXPECT_EQ(err->rfind(r.error, 0), 0u) << r.text << " -> " << *err;
    EXPECT_EQ(c.vendor, 1u) << "a refused file left the config changed: " << r.text;
  }
}

TEST(TestDriverConfig, Numbers) {
  std::int64_t v = 0;
  EXPECT_TRUE(ParseNumber("0x80061001", 0, 0xFFFFFFFFLL, v));
  EXPECT_EQ(v, 0x80061001LL);
  EXPECT_TRUE(ParseNumber("-208", INT32_MIN, INT32_MAX, v));
  EXPECT_EQ(v, -208);
  EXPECT_FALSE(ParseNumber("", 0, 10, v));
  EXPECT_FALSE(ParseNumber("0x", 0, 10, v));
  EXPECT_FALSE(ParseNumber("11", 0, 10, v));
  EXPECT_FALSE(ParseNumber("-", 0, 10, v));
  EXPECT_FALSE(ParseNumber("99999999999999999999", 0, INT64_MAX, v));
}

}  // namespace
}  // namespace testdriver
