#include "sim/d3d12/gpu_formats.h"

#include <cmath>
#include <cstring>

namespace sim::gpu {

namespace {

enum Family : std::uint32_t {
  kNoFamily = 0,
  kRgba16 = 1,
  kRgb10A2 = 2,
  kRgba8 = 3,
  kBgra8 = 4,
  kBgrx8 = 5,
};

// Float to n-bit normalised integer as the GPU converts: clamped to [0, 1],
// NaN as 0, scaled and rounded to nearest even.
std::uint32_t ToUnorm(float value, std::uint32_t maxValue) {
  if (!(value > 0.0f)) return 0;  // also NaN
  if (value >= 1.0f) return maxValue;
  return static_cast<std::uint32_t>(std::nearbyint(static_cast<double>(value) * maxValue));
}

float LinearToSrgb(float c) {
  if (!(c > 0.0f)) return 0.0f;
  if (c >= 1.0f) return 1.0f;
  if (c <= 0.0031308f) return c * 12.92f;
  return static_cast<float>(1.055 * std::pow(static_cast<double>(c), 1.0 / 2.4) - 0.055);
}

std::uint8_t Scale(std::uint32_t value, std::uint32_t maxValue) {
  return static_cast<std::uint8_t>((value * 255u + maxValue / 2u) / maxValue);
}

std::uint8_t FloatTo8(float value) { return static_cast<std::uint8_t>(ToUnorm(value, 255)); }

}  // namespace

FormatInfo DescribeFormat(std::uint32_t format) {
  switch (format) {
    case 9:
      return {8, kRgba16, true, Encoding::None};
    case 10:
      return {8, kRgba16, false, Encoding::Rgba16Float};
    case 11:
      return {8, kRgba16, false, Encoding::Rgba16Unorm};
    case 23:
      return {4, kRgb10A2, true, Encoding::None};
    case 24:
      return {4, kRgb10A2, false, Encoding::Rgb10A2};
    case 27:
      return {4, kRgba8, true, Encoding::None};
    case 28:
      return {4, kRgba8, false, Encoding::Rgba8};
    case 29:
      return {4, kRgba8, false, Encoding::Rgba8Srgb};
    case 87:
      return {4, kBgra8, false, Encoding::Bgra8};
    case 88:
      return {4, kBgrx8, false, Encoding::Bgrx8};
    case 90:
      return {4, kBgra8, true, Encoding::None};
    case 91:
      return {4, kBgra8, false, Encoding::Bgra8Srgb};
    case 92:
      return {4, kBgrx8, true, Encoding::None};
    case 93:
      return {4, kBgrx8, false, Encoding::Bgrx8Srgb};
    default:
      return {};
  }
}

bool FormatsCompatible(std::uint32_t viewFormat, std::uint32_t resourceFormat) {
  FormatInfo view = DescribeFormat(viewFormat);
  FormatInfo res = DescribeFormat(resourceFormat);
  if (view.bytesPerPixel == 0 || res.bytesPerPixel == 0) return false;
  return view.family == res.family;
}

std::uint16_t FloatToHalf(float value) {
  std::uint32_t x;
  std::memcpy(&x, &value, sizeof x);
  std::uint32_t sign = (x >> 16) & 0x8000u;
  std::uint32_t exponent = (x >> 23) & 0xFFu;
  std::uint32_t mantissa = x & 0x7FFFFFu;
  if (exponent == 0xFFu) {
    // Infinity stays infinity; NaN stays a quiet NaN.
    return static_cast<std::uint16_t>(sign | 0x7C00u | (mantissa ? 0x200u | (mantissa >> 13) : 0));
  }
  int e = static_cast<int>(exponent) - 127 + 15;
  if (e >= 31) return static_cast<std::uint16_t>(sign | 0x7C00u);
  if (e <= 0) {
    if (e < -10) return static_cast<std::uint16_t>(sign);
    std::uint32_t full = mantissa | 0x800000u;
    std::uint32_t shift = static_cast<std::uint32_t>(14 - e);
    std::uint32_t m = full >> shift;
    std::uint32_t rem = full & ((1u << shift) - 1u);
    std::uint32_t halfway = 1u << (shift - 1u);
    if (rem > halfway || (rem == halfway && (m & 1u))) ++m;
    return static_cast<std::uint16_t>(sign | m);
  }
  std::uint32_t h = sign | (static_cast<std::uint32_t>(e) << 10) | (mantissa >> 13);
  std::uint32_t rem = mantissa & 0x1FFFu;
  if (rem > 0x1000u || (rem == 0x1000u && (h & 1u))) ++h;  // a carry may round up to infinity
  return static_cast<std::uint16_t>(h);
}

float HalfToFloat(std::uint16_t half) {
  std::uint32_t sign = (static_cast<std::uint32_t>(half) & 0x8000u) << 16;
  std::uint32_t exponent = (half >> 10) & 0x1Fu;
  std::uint32_t mantissa = half & 0x3FFu;
  std::uint32_t bits;
  if (exponent == 0) {
    if (mantissa == 0) {
      bits = sign;
    } else {
      // Denormal: normalise it.
      int e = -1;
      do {
        ++e;
        mantissa <<= 1;
      } while ((mantissa & 0x400u) == 0);
      bits = sign | (static_cast<std::uint32_t>(127 - 15 - e) << 23) | ((mantissa & 0x3FFu) << 13);
    }
  } else if (exponent == 0x1Fu) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent - 15 + 127) << 23) | (mantissa << 13);
  }
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

std::uint32_t EncodeColor(std::uint32_t format, const float rgba[4], std::uint8_t out[8]) {
  FormatInfo info = DescribeFormat(format);
  switch (info.encoding) {
    case Encoding::None:
      return 0;
    case Encoding::Rgba8:
    case Encoding::Rgba8Srgb: {
      bool srgb = info.encoding == Encoding::Rgba8Srgb;
      for (int i = 0; i < 3; ++i) {
        out[i] = FloatTo8(srgb ? LinearToSrgb(rgba[i]) : rgba[i]);
      }
      out[3] = FloatTo8(rgba[3]);
      return 4;
    }
    case Encoding::Bgra8:
    case Encoding::Bgra8Srgb:
    case Encoding::Bgrx8:
    case Encoding::Bgrx8Srgb: {
      bool srgb = info.encoding == Encoding::Bgra8Srgb || info.encoding == Encoding::Bgrx8Srgb;
      bool x = info.encoding == Encoding::Bgrx8 || info.encoding == Encoding::Bgrx8Srgb;
      out[0] = FloatTo8(srgb ? LinearToSrgb(rgba[2]) : rgba[2]);
      out[1] = FloatTo8(srgb ? LinearToSrgb(rgba[1]) : rgba[1]);
      out[2] = FloatTo8(srgb ? LinearToSrgb(rgba[0]) : rgba[0]);
      out[3] = x ? 255 : FloatTo8(rgba[3]);
      return 4;
    }
    case Encoding::Rgb10A2: {
      std::uint32_t v = ToUnorm(rgba[0], 1023) | (ToUnorm(rgba[1], 1023) << 10) |
                        (ToUnorm(rgba[2], 1023) << 20) | (ToUnorm(rgba[3], 3) << 30);
      std::memcpy(out, &v, 4);
      return 4;
    }
    case Encoding::Rgba16Float:
      for (int i = 0; i < 4; ++i) {
        std::uint16_t h = FloatToHalf(rgba[i]);
        std::memcpy(out + 2 * i, &h, 2);
      }
      return 8;
    case Encoding::Rgba16Unorm:
      for (int i = 0; i < 4; ++i) {
        auto v = static_cast<std::uint16_t>(ToUnorm(rgba[i], 65535));
        std::memcpy(out + 2 * i, &v, 2);
      }
      return 8;
  }
  return 0;
}

bool DecodeToRgba8(std::uint32_t format, const std::uint8_t* pixel, std::uint8_t rgba[4]) {
  FormatInfo info = DescribeFormat(format);
  switch (info.family) {
    case kRgba8:
      std::memcpy(rgba, pixel, 4);
      return true;
    case kBgra8:
    case kBgrx8:
      rgba[0] = pixel[2];
      rgba[1] = pixel[1];
      rgba[2] = pixel[0];
      rgba[3] = info.family == kBgrx8 ? 255 : pixel[3];
      return true;
    case kRgb10A2: {
      std::uint32_t v;
      std::memcpy(&v, pixel, 4);
      rgba[0] = Scale(v & 1023u, 1023);
      rgba[1] = Scale((v >> 10) & 1023u, 1023);
      rgba[2] = Scale((v >> 20) & 1023u, 1023);
      rgba[3] = Scale(v >> 30, 3);
      return true;
    }
    case kRgba16:
      for (int i = 0; i < 4; ++i) {
        std::uint16_t h;
        std::memcpy(&h, pixel + 2 * i, 2);
        rgba[i] =
            info.encoding == Encoding::Rgba16Unorm ? Scale(h, 65535) : FloatTo8(HalfToFloat(h));
      }
      return true;
    default:
      return false;
  }
}

}  // namespace sim::gpu
