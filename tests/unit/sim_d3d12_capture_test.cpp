// Frame capture writes what the surface holds as 8-bit RGBA.
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "sim/capture.h"
#include "sim/d3d12/gpu_formats.h"
#include "tests/unit/sim_d3d12_fixture.h"

namespace simtest {
namespace {

struct Png {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
};

bool ReadPng(const std::string& path, Png* out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  out->width = image.width;
  out->height = image.height;
  out->rgba.resize(PNG_IMAGE_SIZE(image));
  return png_image_finish_read(&image, nullptr, out->rgba.data(), 0, nullptr) != 0;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("h2-capture-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
};

TEST_F(CaptureTest, EightBitFormatsKeepTheirBytesAndPitchIsHonoured) {
  // 3x2 pixels, rows 16 bytes apart; the padding must not show.
  std::vector<std::uint8_t> bgrx(32, 0xEE);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      std::uint8_t* p = &bgrx[static_cast<std::size_t>(y * 16 + x * 4)];
      p[0] = static_cast<std::uint8_t>(10 + x);  // blue
      p[1] = static_cast<std::uint8_t>(20 + y);  // green
      p[2] = 30;                                 // red
      p[3] = 7;                                  // X: captured as opaque
    }
  }
  struct Case {
    std::uint32_t format;
    std::uint8_t alpha;
    bool swapped;
  };
  for (Case c : {Case{88, 255, true}, Case{92, 255, true}, Case{87, 7, true}, Case{90, 7, true},
                 Case{28, 7, false}}) {
    SCOPED_TRACE("format " + std::to_string(c.format));
    sim::gpu::SurfaceView v;
    v.pixels = bgrx.data();
    v.width = 3;
    v.height = 2;
    v.rowPitch = 16;
    v.format = c.format;
    std::string path = (dir / "frame.png").string();
    std::string error;
    ASSERT_TRUE(sim::CapturePng(path, v, &error)) << error;
    Png png;
    ASSERT_TRUE(ReadPng(path, &png));
    ASSERT_EQ(png.width, 3u);
    ASSERT_EQ(png.height, 2u);
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) {
        const std::uint8_t* p = &png.rgba[static_cast<std::size_t>((y * 3 + x) * 4)];
        std::uint8_t b = static_cast<std::uint8_t>(10 + x);
        EXPECT_EQ(p[0], c.swapped ? 30 : b);
        EXPECT_EQ(p[1], 20 + y);
        EXPECT_EQ(p[2], c.swapped ? b : 30);
        EXPECT_EQ(p[3], c.alpha);
      }
    }
  }
}

TEST_F(CaptureTest, WideFormatsAreConvertedToEightBits) {
  std::uint32_t tenBit = 1023u | (512u << 10) | (0u << 20) | (3u << 30);
  sim::gpu::SurfaceView v;
  v.pixels = reinterpret_cast<const std::uint8_t*>(&tenBit);
  v.width = 1;
  v.height = 1;
  v.rowPitch = 4;
  v.format = 24;
  std::string path = (dir / "ten.png").string();
  std::string error;
  ASSERT_TRUE(sim::CapturePng(path, v, &error)) << error;
  Png png;
  ASSERT_TRUE(ReadPng(path, &png));
  EXPECT_EQ(png.rgba, (std::vector<std::uint8_t>{255, 128, 0, 255}));

  std::uint16_t half[4] = {sim::gpu::FloatToHalf(0.25f), sim::gpu::FloatToHalf(2.0f),
                           sim::gpu::FloatToHalf(-1.0f), sim::gpu::FloatToHalf(1.0f)};
  v.pixels = reinterpret_cast<const std::uint8_t*>(half);
  v.rowPitch = 8;
  for (std::uint32_t format : {9u, 10u}) {
    v.format = format;
    ASSERT_TRUE(sim::CapturePng(path, v, &error)) << error;
    ASSERT_TRUE(ReadPng(path, &png));
    EXPECT_EQ(png.rgba, (std::vector<std::uint8_t>{64, 255, 0, 255}));
  }
}

TEST_F(CaptureTest, RefusesWhatItCannotWrite) {
  std::uint32_t pixel = 0;
  sim::gpu::SurfaceView v;
  v.pixels = reinterpret_cast<const std::uint8_t*>(&pixel);
  v.width = 1;
  v.height = 1;
  v.rowPitch = 4;
  v.format = 2;  // R32G32B32A32_FLOAT: not a surface format here
  std::string error;
  EXPECT_FALSE(sim::CapturePng((dir / "a.png").string(), v, &error));
  EXPECT_EQ(error, "cannot convert surface format 2 to PNG");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.png"));
  v.format = 87;
  EXPECT_FALSE(sim::CapturePng((dir / "missing" / "b.png").string(), v, &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos);
  v.rowPitch = 3;  // shorter than a row
  EXPECT_FALSE(sim::CapturePng((dir / "c.png").string(), v, &error));
}

}  // namespace
}  // namespace simtest
