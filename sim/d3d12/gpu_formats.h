// Pixel formats the software runtime can store, clear and convert.
#pragma once

#include <cstdint>

namespace sim::gpu {

enum class Encoding : std::uint8_t {
  None,  // typeless or unknown: no values can be written through it
  Rgba8,
  Rgba8Srgb,
  Bgra8,
  Bgra8Srgb,
  Bgrx8,
  Bgrx8Srgb,
  Rgb10A2,
  Rgba16Float,
  Rgba16Unorm,
};

struct FormatInfo {
  std::uint32_t bytesPerPixel = 0;  // 0: not a format textures can have here
  std::uint32_t family = 0;         // formats of one family may view each other
  bool typeless = false;
  Encoding encoding = Encoding::None;
};

FormatInfo DescribeFormat(std::uint32_t format);

// Whether a view of viewFormat can look at a resource of resourceFormat.
bool FormatsCompatible(std::uint32_t viewFormat, std::uint32_t resourceFormat);

// The bytes of one pixel of format holding rgba, as a GPU writes a clear
// colour. Returns the pixel size, or 0 when the format has no encoding.
std::uint32_t EncodeColor(std::uint32_t format, const float rgba[4], std::uint8_t out[8]);

// One pixel of format as 8-bit R, G, B, A. Typeless formats are read as the
// plain member of their family. Returns false for formats it cannot read.
bool DecodeToRgba8(std::uint32_t format, const std::uint8_t* pixel, std::uint8_t rgba[4]);

std::uint16_t FloatToHalf(float value);
float HalfToFloat(std::uint16_t half);

}  // namespace sim::gpu
