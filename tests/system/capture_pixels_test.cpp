// What reaches the display: dmsim captures presented frames as PNG files, and
// these tests read the pixels back. The colours and the bar positions are
// computed here independently of the program.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;

struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
  const std::uint8_t* At(std::uint32_t x, std::uint32_t y) const {
    return &rgba[(y * width + x) * 4];
  }
};

Picture ReadPng(const fs::path& path) {
  Picture p;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    ADD_FAILURE() << "cannot read " << path;
    return p;
  }
  image.format = PNG_FORMAT_RGBA;
  p.width = image.width;
  p.height = image.height;
  p.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, p.rgba.data(), 0, nullptr)) {
    ADD_FAILURE() << "cannot decode " << path;
  }
  return p;
}

class CaptureRun {
 public:
  CaptureRun() {
    char pattern[] = "/tmp/dmcheck-capture-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~CaptureRun() { fs::remove_all(dir_); }
  CaptureRun(const CaptureRun&) = delete;
  CaptureRun& operator=(const CaptureRun&) = delete;

  // Runs dmsim in the source root; returns its exit code.
  int Run(const std::string& scenario, const std::string& frames,
          const std::vector<std::string>& programArgs) {
    const fs::path scenarioFile = dir_ / "scenario.json";
    std::ofstream(scenarioFile) << scenario;
    std::vector<std::string> args = {DMSIM_PATH,   "--virtual-time",   "--strict",     "--scenario",
                                     scenarioFile, "--trace",          dir_ / "trace", "--capture",
                                     dir_,         "--capture-frames", frames,         "--"};
    args.insert(args.end(), programArgs.begin(), programArgs.end());
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(SOURCE_ROOT) != 0) _exit(127);
      if (!freopen("/dev/null", "w", stdout)) _exit(127);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  Picture Frame(int n) const { return ReadPng(dir_ / ("frame-" + std::to_string(n) + ".png")); }

  std::vector<nlohmann::json> Trace() const {
    std::vector<nlohmann::json> events;
    std::ifstream in(dir_ / "trace");
    for (std::string line; std::getline(in, line);) events.push_back(nlohmann::json::parse(line));
    return events;
  }

 private:
  fs::path dir_;
};

// The colours after 8-bit UNORM rounding.
constexpr std::uint8_t kGreen[3] = {0, 64, 20};
constexpr std::uint8_t kRed[3] = {64, 0, 20};
constexpr std::uint8_t kGrey[3] = {102, 102, 102};

::testing::AssertionResult IsColour(const Picture& p, std::uint32_t x, std::uint32_t y,
                                    const std::uint8_t* rgb) {
  const std::uint8_t* px = p.At(x, y);
  if (px[0] == rgb[0] && px[1] == rgb[1] && px[2] == rgb[2] && px[3] == 255) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "pixel (" << x << "," << y << ") is " << int(px[0]) << "," << int(px[1]) << ","
         << int(px[2]) << "," << int(px[3]) << ", wanted " << int(rgb[0]) << "," << int(rgb[1])
         << "," << int(rgb[2]) << ",255";
}

int ExpectedOffset(double elapsed, int half) {
  return static_cast<int>(std::fmod(elapsed * 0.25, 1.0) * static_cast<double>(half - 64));
}

// The bars' left edge in the left half: the first grey column.
int FindBar(const Picture& p, int half) {
  for (int x = 0; x < half; ++x) {
    if (p.At(static_cast<std::uint32_t>(x), 0)[0] == kGrey[0]) return x;
  }
  return -1;
}

const char* kDefault = "{}";

TEST(CapturedFrames, TestPatternHalvesAndBarsAtTheFramesElapsedTime) {
  CaptureRun run;
  ASSERT_EQ(run.Run(kDefault, "0,1,150,299", {"--no-force-dsc", "5"}), 0);
  // The loop starts right after the waitable is obtained; frame n's pass
  // starts after present n-1 and before present n.
  std::int64_t start = -1;
  std::vector<std::int64_t> presentAt;
  for (const nlohmann::json& e : run.Trace()) {
    if (e["call"] == "driver" && e["op"] == "GetPresentWaitableObject") start = e["t_ns"];
    if (e["call"] == "present") presentAt.push_back(e["t_ns"]);
  }
  ASSERT_GE(start, 0);
  ASSERT_GT(presentAt.size(), 300u);

  for (int n : {0, 1, 150, 299}) {
    SCOPED_TRACE("frame " + std::to_string(n));
    const Picture p = run.Frame(n);
    ASSERT_EQ(p.width, 2160u);
    ASSERT_EQ(p.height, 1200u);
    const int half = 1080;
    const double lo = static_cast<double>((n == 0 ? start : presentAt[n - 1]) - start) / 1e9;
    const double hi = static_cast<double>(presentAt[n] - start) / 1e9;
    const int off = FindBar(p, half);
    ASSERT_GE(off, ExpectedOffset(lo, half));
    ASSERT_LE(off, ExpectedOffset(hi, half));
    for (std::uint32_t y : {0u, 599u, 1199u}) {
      if (off > 0) {
        EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(off - 1), y, kGreen));
      }
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(off), y, kGrey));
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(off + 63), y, kGrey));
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(off + 64), y, kGreen));
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(half - 1), y, kGreen));
      if (off > 0) {
        EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(half + off - 1), y, kRed));
      }
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(half + off), y, kGrey));
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(half + off + 63), y, kGrey));
      EXPECT_TRUE(IsColour(p, static_cast<std::uint32_t>(half + off + 64), y, kRed));
      EXPECT_TRUE(IsColour(p, 2159, y, kRed));
    }
  }
  // Bars move: frame 150 is about two seconds in, half a sweep.
  EXPECT_NEAR(FindBar(run.Frame(150), 1080), 508, 30);
}

// A 66x4 display whose surfaces the driver makes in the given format.
std::string SmallDisplay(int surfaceFormat) {
  return R"({"driver": {"displays": [{"displayId": "0x80061001", "surfaceFormat": )" +
         std::to_string(surfaceFormat) +
         R"(, "modes": [{"width": 66, "height": 4, "refresh": [90, 1], "format": 22}]}]}})";
}

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct ImageCase {
  const char* name;
  int surfaceFormat;
  bool alphaFromFile;  // false: an X channel, captured as opaque
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.name; }

class CapturedImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(CapturedImage, ShowsTheFileOnBothSurfacesInItsColours) {
  const ImageCase& c = GetParam();
  const fs::path file = fs::path(SOURCE_ROOT) / "tests/system/fixtures/pattern-66x4.raw";
  const std::vector<std::uint8_t> bgrx = ReadFile(file);
  ASSERT_EQ(bgrx.size(), 66u * 4u * 4u);
  CaptureRun run;
  ASSERT_EQ(run.Run(SmallDisplay(c.surfaceFormat), "0,1,2",
                    {"x", "0.1", "--no-force-dsc", "--mode", "0", "--image", file.string()}),
            0);
  for (int n : {0, 1, 2}) {
    SCOPED_TRACE("frame " + std::to_string(n));
    const Picture p = run.Frame(n);
    ASSERT_EQ(p.width, 66u);
    ASSERT_EQ(p.height, 4u);
    for (std::uint32_t y = 0; y < 4; ++y) {
      for (std::uint32_t x = 0; x < 66; ++x) {
        const std::uint8_t* src = &bgrx[(y * 66 + x) * 4];
        const std::uint8_t* px = p.At(x, y);
        // Whatever the surface's byte order, the picture is the file's.
        ASSERT_EQ(px[0], src[2]) << x << "," << y;
        ASSERT_EQ(px[1], src[1]) << x << "," << y;
        ASSERT_EQ(px[2], src[0]) << x << "," << y;
        ASSERT_EQ(px[3], c.alphaFromFile ? src[3] : 255) << x << "," << y;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CapturedImage,
                         ::testing::Values(ImageCase{"bgrx", 92, false},
                                           ImageCase{"bgra", 90, true},
                                           ImageCase{"rgba_swizzled", 27, true}),
                         [](const ::testing::TestParamInfo<ImageCase>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
