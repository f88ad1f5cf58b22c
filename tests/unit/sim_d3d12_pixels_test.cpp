// Clears and copies write the right bytes, in every format the program's
// surfaces can have, clipped as the GPU clips.
#include <cmath>
#include <cstring>

#include "sim/d3d12/gpu_formats.h"
#include "tests/unit/sim_d3d12_fixture.h"

namespace simtest {
namespace {

class PixelsTest : public GpuTest {
 protected:
  // A driver-style shared surface opened on dev.
  ID3D12Resource* MakeSurface(UINT w, UINT h, DXGI_FORMAT format, HANDLE* shared) {
    *shared = sim::gpu::CreateSharedSurface(dev, w, h, format);
    EXPECT_NE(*shared, nullptr);
    ID3D12Resource* r = nullptr;
    EXPECT_EQ(dev->OpenSharedHandle(*shared, IID_PPV_ARGS(&r)), S_OK);
    return r;
  }

  const std::uint8_t* Pixel(HANDLE shared, UINT x, UINT y, UINT bpp) {
    EXPECT_TRUE(sim::gpu::LookUpSurface(shared, &view));
    return view.pixels + std::size_t{y} * view.rowPitch + std::size_t{x} * bpp;
  }

  void ClearWhole(ID3D12Resource* r, D3D12_CPU_DESCRIPTOR_HANDLE rtv, const float color[4],
                  UINT numRects = 0, const D3D12_RECT* rects = nullptr) {
    Begin();
    auto in = Transition(r, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
    list->ResourceBarrier(1, &in);
    list->ClearRenderTargetView(rtv, color, numRects, rects);
    auto out = Transition(r, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COMMON);
    list->ResourceBarrier(1, &out);
    SubmitAndFinish();
  }

  sim::gpu::SurfaceView view;
};

struct ClearCase {
  DXGI_FORMAT surfaceFormat;
  DXGI_FORMAT viewFormat;
  float color[4];
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::vector<std::uint8_t> Le16x4(std::uint16_t a, std::uint16_t b, std::uint16_t c,
                                 std::uint16_t d) {
  std::vector<std::uint8_t> out;
  for (std::uint16_t v : {a, b, c, d}) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return out;
}

TEST_F(PixelsTest, ClearWritesTheViewFormatWithGpuRounding) {
  const std::vector<ClearCase> cases = {
      // B, G, R, A: 0.25 -> 64, 0.08f -> 20.
      {DXGI_FORMAT_B8G8R8A8_TYPELESS,
       DXGI_FORMAT_B8G8R8A8_UNORM,
       {0.0f, 0.25f, 0.08f, 1.0f},
       {20, 64, 0, 255}},
      {DXGI_FORMAT_B8G8R8A8_UNORM,
       DXGI_FORMAT_B8G8R8A8_UNORM,
       {0.25f, 0.0f, 0.08f, 0.5f},
       {20, 0, 64, 128}},
      // X is written as opaque whatever alpha says.
      {DXGI_FORMAT_B8G8R8X8_TYPELESS,
       DXGI_FORMAT_B8G8R8X8_UNORM,
       {0.25f, 0.0f, 0.08f, 0.0f},
       {20, 0, 64, 255}},
      // 0.4f -> 102.
      {DXGI_FORMAT_R8G8B8A8_TYPELESS,
       DXGI_FORMAT_R8G8B8A8_UNORM,
       {0.4f, 0.4f, 0.4f, 1.0f},
       {102, 102, 102, 255}},
      // Clamped, and NaN as 0.
      {DXGI_FORMAT_R8G8B8A8_UNORM,
       DXGI_FORMAT_R8G8B8A8_UNORM,
       {-1.0f, 2.0f, NAN, 1.0f},
       {0, 255, 0, 255}},
      // Linear 0.5 is sRGB 188.
      {DXGI_FORMAT_R8G8B8A8_TYPELESS,
       DXGI_FORMAT_R8G8B8A8_UNORM_SRGB,
       {0.5f, 0.0f, 1.0f, 0.5f},
       {188, 0, 255, 128}},
      // 0.5 * 1023 = 511.5 rounds to even; alpha 1/3 of 3 is 1.
      {DXGI_FORMAT_R10G10B10A2_TYPELESS,
       DXGI_FORMAT_R10G10B10A2_UNORM,
       {1.0f, 0.5f, 0.0f, 1.0f / 3.0f},
       Le32(1023u | (512u << 10) | (1u << 30))},
      {DXGI_FORMAT_R10G10B10A2_TYPELESS,
       DXGI_FORMAT_R10G10B10A2_UNORM,
       {0.0f, 0.25f, 0.08f, 1.0f},
       Le32(0u | (256u << 10) | (82u << 20) | (3u << 30))},
      // Float formats are not clamped.
      {DXGI_FORMAT_R16G16B16A16_TYPELESS,
       DXGI_FORMAT_R16G16B16A16_FLOAT,
       {1.0f, -2.0f, 0.5f, 65504.0f},
       Le16x4(0x3C00, 0xC000, 0x3800, 0x7BFF)},
      {DXGI_FORMAT_R16G16B16A16_TYPELESS,
       DXGI_FORMAT_R16G16B16A16_FLOAT,
       {0.0f, 0.25f, 0.08f, 1.0f},
       Le16x4(0x0000, 0x3400, 0x2D1F, 0x3C00)},
  };
  for (const ClearCase& c : cases) {
    SCOPED_TRACE("surface format " + std::to_string(c.surfaceFormat) + ", view " +
                 std::to_string(c.viewFormat));
    HANDLE shared;
    ID3D12Resource* r = MakeSurface(5, 3, c.surfaceFormat, &shared);
    D3D12_CPU_DESCRIPTOR_HANDLE rtv = MakeRtv(r, c.viewFormat);
    ClearWhole(r, rtv, c.color);
    auto bpp = static_cast<UINT>(c.bytes.size());
    for (UINT y = 0; y < 3; ++y) {
      for (UINT x = 0; x < 5; ++x) {
        ASSERT_EQ(std::memcmp(Pixel(shared, x, y, bpp), c.bytes.data(), bpp), 0)
            << "pixel " << x << "," << y;
      }
    }
    EXPECT_EQ(view.state, 0u);
    r->Release();
  }
  EXPECT_TRUE(sim::ValidationErrors().empty());
}

TEST_F(PixelsTest, RectanglesAreClippedAndRightBottomExclusive) {
  HANDLE shared;
  ID3D12Resource* r = MakeSurface(8, 4, DXGI_FORMAT_B8G8R8A8_TYPELESS, &shared);
  D3D12_CPU_DESCRIPTOR_HANDLE rtv = MakeRtv(r, DXGI_FORMAT_B8G8R8A8_UNORM);
  const float a[4] = {0, 0, 1, 1};  // blue: bytes 255,0,0,255
  ClearWhole(r, rtv, a);
  const float b[4] = {1, 0, 0, 1};
  const D3D12_RECT rects[] = {
      {2, 1, 5, 3},      // inside
      {-3, -3, 1, 1},    // clipped to the top-left pixel
      {6, 2, 100, 100},  // clipped to the bottom-right corner
      {3, 3, 3, 4},      // empty
      {5, 0, 4, 2},      // inverted
      {-10, 0, -1, 4},   // entirely left of the surface
  };
  ClearWhole(r, rtv, b, 6, rects);
  auto inB = [](int x, int y) {
    return (x >= 2 && x < 5 && y >= 1 && y < 3) || (x == 0 && y == 0) || (x >= 6 && y >= 2);
  };
  for (UINT y = 0; y < 4; ++y) {
    for (UINT x = 0; x < 8; ++x) {
      const std::uint8_t* p = Pixel(shared, x, y, 4);
      std::uint8_t want[4] = {255, 0, 0, 255};
      if (inB(static_cast<int>(x), static_cast<int>(y))) {
        want[0] = 0;
        want[2] = 255;
      }
      EXPECT_EQ(std::memcmp(p, want, 4), 0) << "pixel " << x << "," << y;
    }
  }
  r->Release();
}

TEST_F(PixelsTest, ClearOfAMipViewTouchesOnlyThatMip) {
  ID3D12Resource* t = MakeTexture(8, 8, DXGI_FORMAT_R8G8B8A8_UNORM, 2);
  D3D12_CPU_DESCRIPTOR_HANDLE rtv = MakeRtv(t, DXGI_FORMAT_R8G8B8A8_UNORM, 1);
  Begin();
  auto in = Transition(t, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET, 1);
  list->ResourceBarrier(1, &in);
  const float c[4] = {1, 1, 1, 1};
  list->ClearRenderTargetView(rtv, c, 0, nullptr);
  auto out = Transition(t, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COMMON, 1);
  list->ResourceBarrier(1, &out);
  SubmitAndFinish();
  std::vector<std::uint8_t> mip0 = ReadBack(t, 4, D3D12_RESOURCE_STATE_COMMON, 0);
  std::vector<std::uint8_t> mip1 = ReadBack(t, 4, D3D12_RESOURCE_STATE_COMMON, 1);
  EXPECT_EQ(mip0, std::vector<std::uint8_t>(8 * 8 * 4, 0));
  EXPECT_EQ(mip1, std::vector<std::uint8_t>(4 * 4 * 4, 255));
  EXPECT_TRUE(sim::ValidationErrors().empty());
  t->Release();
}

TEST_F(PixelsTest, CopyFromAPlacedFootprintHonoursPitchAndOffset) {
  const UINT w = 5, h = 3, pitch = 256, offset = 512;
  ID3D12Resource* upload = MakeUpload(offset + std::uint64_t{pitch} * h);
  std::uint8_t* mapped = nullptr;
  D3D12_RANGE noRead{0, 0};
  ASSERT_EQ(upload->Map(0, &noRead, reinterpret_cast<void**>(&mapped)), S_OK);
  std::memset(mapped, 0xEE, offset + std::size_t{pitch} * h);  // padding must never arrive
  for (UINT y = 0; y < h; ++y) {
    for (UINT x = 0; x < w * 4; ++x) {
      mapped[offset + y * pitch + x] = static_cast<std::uint8_t>(y * 40 + x);
    }
  }
  upload->Unmap(0, nullptr);

  HANDLE shared;
  ID3D12Resource* r = MakeSurface(8, 4, DXGI_FORMAT_B8G8R8X8_TYPELESS, &shared);
  Begin();
  auto in = Transition(r, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COPY_DEST);
  list->ResourceBarrier(1, &in);
  D3D12_TEXTURE_COPY_LOCATION dst{};
  dst.pResource = r;
  dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
  dst.SubresourceIndex = 0;
  D3D12_TEXTURE_COPY_LOCATION src{};
  src.pResource = upload;
  src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
  src.PlacedFootprint.Offset = offset;
  src.PlacedFootprint.Footprint = {DXGI_FORMAT_B8G8R8X8_UNORM, w, h, 1, pitch};
  list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
  // A second copy of the source's pixel (1, 1) .. (3, 2) to (6, 3), clipped to 2x1.
  D3D12_BOX box{1, 1, 0, 4, 3, 1};
  list->CopyTextureRegion(&dst, 6, 3, 0, &src, &box);
  auto out = Transition(r, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_COMMON);
  list->ResourceBarrier(1, &out);
  SubmitAndFinish();

  auto source = [&](UINT x, UINT y, UINT i) {
    return static_cast<std::uint8_t>(y * 40 + x * 4 + i);
  };
  for (UINT y = 0; y < 4; ++y) {
    for (UINT x = 0; x < 8; ++x) {
      const std::uint8_t* p = Pixel(shared, x, y, 4);
      for (UINT i = 0; i < 4; ++i) {
        std::uint8_t want = 0;
        if (x < w && y < h) want = source(x, y, i);
        if (y == 3 && x >= 6) want = source(x - 6 + 1, 1, i);
        ASSERT_EQ(p[i], want) << "pixel " << x << "," << y << " byte " << i;
      }
    }
  }
  // Only the clipping of the second copy is reported.
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_NE(sim::ValidationErrors()[0].find("COPYTEXTUREREGION_INVALIDDSTCOORDINATES"),
            std::string::npos);
  r->Release();
  upload->Release();
}

TEST(GpuFormats, HalfConversionRoundsToNearestEven) {
  using sim::gpu::FloatToHalf;
  using sim::gpu::HalfToFloat;
  EXPECT_EQ(FloatToHalf(1.0f), 0x3C00);
  EXPECT_EQ(FloatToHalf(-0.0f), 0x8000);
  EXPECT_EQ(FloatToHalf(65504.0f), 0x7BFF);
  EXPECT_EQ(FloatToHalf(65520.0f), 0x7C00);               // rounds up to infinity
  EXPECT_EQ(FloatToHalf(1.0f + 1.0f / 2048.0f), 0x3C00);  // tie goes to even
  EXPECT_EQ(FloatToHalf(1.0f + 3.0f / 2048.0f), 0x3C02);
  EXPECT_EQ(FloatToHalf(std::ldexp(1.0f, -24)), 0x0001);  // smallest denormal
  EXPECT_EQ(FloatToHalf(std::ldexp(1.0f, -26)), 0x0000);
  EXPECT_EQ(FloatToHalf(INFINITY), 0x7C00);
  EXPECT_EQ(FloatToHalf(NAN) & 0x7C00, 0x7C00);
  EXPECT_NE(FloatToHalf(NAN) & 0x3FF, 0);
  for (std::uint32_t h = 0; h < 0x7C00; ++h) {
    ASSERT_EQ(FloatToHalf(HalfToFloat(static_cast<std::uint16_t>(h))), h);
  }
}

// Large clears take a streaming path: every pixel inside the rectangle, at
// any alignment, and none outside it.
TEST_F(PixelsTest, LargeClearsWriteExactlyTheirRectangleAtAnyAlignment) {
  struct Case {
    DXGI_FORMAT typeless;
    DXGI_FORMAT view;
    UINT bpp;
    D3D12_RECT rect;
  };
  const Case cases[] = {
      {DXGI_FORMAT_B8G8R8A8_TYPELESS, DXGI_FORMAT_B8G8R8A8_UNORM, 4, {0, 0, 1100, 1000}},
      {DXGI_FORMAT_B8G8R8A8_TYPELESS, DXGI_FORMAT_B8G8R8A8_UNORM, 4, {3, 1, 1099, 999}},
      {DXGI_FORMAT_R16G16B16A16_TYPELESS, DXGI_FORMAT_R16G16B16A16_FLOAT, 8, {1, 2, 1097, 600}},
  };
  const UINT w = 1100, h = 1000;
  const float background[4] = {0, 0, 0, 0};
  const float color[4] = {0.25f, 0.5f, 1.0f, 1.0f};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.view << " left " << c.rect.left);
    HANDLE shared;
    ID3D12Resource* r = MakeSurface(w, h, c.typeless, &shared);
    D3D12_CPU_DESCRIPTOR_HANDLE rtv = MakeRtv(r, c.view);
    ClearWhole(r, rtv, background);
    ClearWhole(r, rtv, color, 1, &c.rect);
    std::uint8_t want[8];
    ASSERT_EQ(sim::gpu::EncodeColor(c.view, color, want), c.bpp);
    const std::uint8_t zero[8] = {};
    std::size_t wrong = 0;
    ASSERT_TRUE(sim::gpu::LookUpSurface(shared, &view));
    for (UINT y = 0; y < h; ++y) {
      for (UINT x = 0; x < w; ++x) {
        const bool inside =
            static_cast<LONG>(x) >= c.rect.left && static_cast<LONG>(x) < c.rect.right &&
            static_cast<LONG>(y) >= c.rect.top && static_cast<LONG>(y) < c.rect.bottom;
        const std::uint8_t* p =
            view.pixels + std::size_t{y} * view.rowPitch + std::size_t{x} * c.bpp;
        if (std::memcmp(p, inside ? want : zero, c.bpp) != 0 && wrong++ < 5) {
          ADD_FAILURE() << "pixel " << x << "," << y << (inside ? " not cleared" : " overwritten");
        }
      }
    }
    EXPECT_EQ(wrong, 0u);
    r->Release();
  }
}
}  // namespace
}  // namespace simtest
