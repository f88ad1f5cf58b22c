// Runs the program's own graphics code (device and submission, views, test
// pattern, image copy) on a Direct3D 12 runtime, with committed textures
// standing in for the driver's surfaces, reads the textures back and checks
// every pixel. The same source runs on Windows (and Wine) and on the simulated
// machine; the readbacks it writes let the two runtimes be compared byte for
// byte.
#include "tests/conformance/conformance.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/graphics.h"
#include "app/image.h"
#include "app/present.h"
#include "app/surfaces.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kWidth = 2160;  // the width whose rows need padding
constexpr std::uint32_t kHeight = 1200;
constexpr DXGI_FORMAT kSurfaceFormat = DXGI_FORMAT_B8G8R8A8_TYPELESS;
constexpr DWORD kTimeoutMs = 10000;

// Site numbers for the submissions of this check; they appear only in FATAL
// lines.
constexpr ResetSites kReset = {901, 902};
constexpr SubmitSites kSubmit = {903, 904};

struct Bgra {
  std::uint8_t b, g, r, a;
};

// UNORM8 of the pattern's colours: 0.25 -> 64, 0.08 -> 20, 0.4 -> 102.
constexpr Bgra kLeft = {20, 64, 0, 255};
constexpr Bgra kRight = {20, 0, 64, 255};
constexpr Bgra kBar = {102, 102, 102, 255};

int g_wrong = 0;

void Wrong(const char* what, const std::string& detail) {
  ++g_wrong;
  std::printf("WRONG %s: %s\n", what, detail.c_str());
}

bool Created(HRESULT hr, const char* what) {
  if (hr >= 0) return true;
  std::printf("FAILED %s = 0x%lx\n", what, static_cast<unsigned long>(hr));
  return false;
}

bool MakeTexture(ID3D12Device* dev, Owned<ID3D12Resource>& out) {
  D3D12_HEAP_PROPERTIES hp = {};
  hp.Type = D3D12_HEAP_TYPE_DEFAULT;
  D3D12_RESOURCE_DESC rd = {};
  rd.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
  rd.Width = kWidth;
  rd.Height = kHeight;
  rd.DepthOrArraySize = 1;
  rd.MipLevels = 1;
  rd.Format = kSurfaceFormat;
  rd.SampleDesc.Count = 1;
  rd.Layout = D3D12_TEXTURE_LAYOUT_UNKNOWN;
  rd.Flags = D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET;
  return Created(
      dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &rd, D3D12_RESOURCE_STATE_COMMON,
                                   nullptr, IID_PPV_ARGS(out.Put())),
      "CreateCommittedResource(texture)");
}

bool MakeBuffer(ID3D12Device* dev, D3D12_HEAP_TYPE heap, D3D12_RESOURCE_STATES state,
                std::uint64_t bytes, Owned<ID3D12Resource>& out) {
  D3D12_HEAP_PROPERTIES hp = {};
  hp.Type = heap;
  D3D12_RESOURCE_DESC bd = {};
  bd.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
  bd.Width = bytes;
  bd.Height = 1;
  bd.DepthOrArraySize = 1;
  bd.MipLevels = 1;
  bd.Format = DXGI_FORMAT_UNKNOWN;
  bd.SampleDesc.Count = 1;
  bd.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
  return Created(dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &bd, state, nullptr,
                                              IID_PPV_ARGS(out.Put())),
                 "CreateCommittedResource(buffer)");
}

// Copies subresource 0 of texture into readback and returns its pixels with
// tight rows.
bool ReadBack(GraphicsContext& g, ID3D12Resource* texture, ID3D12Resource* readback,
              DXGI_FORMAT format, std::uint32_t pitch, std::vector<std::uint8_t>& pixels) {
  if (!ResetCommands(g, kReset)) return false;
  D3D12_RESOURCE_BARRIER toSource =
      TransitionBarrier(texture, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COPY_SOURCE);
  g.list->ResourceBarrier(1, &toSource);
  D3D12_TEXTURE_COPY_LOCATION dst = {};
  dst.pResource = readback;
  dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
  dst.PlacedFootprint.Offset = 0;
  dst.PlacedFootprint.Footprint.Format = format;
  dst.PlacedFootprint.Footprint.Width = kWidth;
  dst.PlacedFootprint.Footprint.Height = kHeight;
  dst.PlacedFootprint.Footprint.Depth = 1;
  dst.PlacedFootprint.Footprint.RowPitch = pitch;
  D3D12_TEXTURE_COPY_LOCATION src = {};
  src.pResource = texture;
  src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
  src.SubresourceIndex = 0;
  g.list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
  D3D12_RESOURCE_BARRIER back =
      TransitionBarrier(texture, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_COMMON);
  g.list->ResourceBarrier(1, &back);
  if (!SubmitAndWait(g, kSubmit, kTimeoutMs)) return false;
  if (g.fence->GetCompletedValue() < g.fenceVal) {
    std::printf("FAILED the readback did not complete in %lu ms\n",
                static_cast<unsigned long>(kTimeoutMs));
    return false;
  }

  const std::size_t rowBytes = std::size_t{kWidth} * 4;
  D3D12_RANGE all = {0, std::size_t{kHeight} * pitch};
  void* mapped = nullptr;
  if (!Created(readback->Map(0, &all, &mapped), "readback->Map")) return false;
  pixels.resize(rowBytes * kHeight);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    std::memcpy(pixels.data() + y * rowBytes, static_cast<std::uint8_t*>(mapped) + y * pitch,
                rowBytes);
  }
  D3D12_RANGE none = {0, 0};
  readback->Unmap(0, &none);
  return true;
}

bool Save(const char* dir, const std::string& name, const std::vector<std::uint8_t>& pixels) {
  if (dir == nullptr) return true;
  const std::string path = std::string(dir) + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::printf("FAILED cannot write %s\n", path.c_str());
    return false;
  }
  const bool ok = std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
  return (std::fclose(f) == 0) && ok;
}

std::string Pixel(const std::uint8_t* p) {
  char text[48];
  std::snprintf(text, sizeof text, "B=%u G=%u R=%u A=%u", p[0], p[1], p[2], p[3]);
  return text;
}

// Every pixel of a pattern readback against the two halves and two bars.
void CheckPattern(const std::vector<std::uint8_t>& pixels, double elapsed, std::int32_t off,
                  const char* what) {
  const std::int32_t half = static_cast<std::int32_t>(kWidth) / 2;
  int reported = 0;
  long wrongPixels = 0;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::int32_t x = 0; x < static_cast<std::int32_t>(kWidth); ++x) {
      const bool bar = (x >= off && x < off + 64) || (x >= half + off && x < half + off + 64);
      const Bgra want = bar ? kBar : (x < half ? kLeft : kRight);
      const std::uint8_t* p = pixels.data() + (std::size_t{y} * kWidth + std::size_t(x)) * 4;
      if (p[0] != want.b || p[1] != want.g || p[2] != want.r || p[3] != want.a) {
        ++wrongPixels;
        if (reported++ < 5) {
          char at[96];
          std::snprintf(at, sizeof at, "elapsed %.3f pixel (%d,%u) is ", elapsed, x, y);
          Wrong(what, at + Pixel(p));
        }
      }
    }
  }
  if (wrongPixels > 5) Wrong(what, std::to_string(wrongPixels) + " wrong pixels in all");
}

// A picture whose every byte depends on its position, so that a wrong pitch,
// row order or channel swap shows.
std::uint8_t PictureByte(std::uint32_t x, std::uint32_t y, std::uint32_t c) {
  return static_cast<std::uint8_t>((x * 7 + y * 13 + c * 61 + (x >> 8) * 3) & 0xFF);
}

}  // namespace

int ConformanceMain(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const char* outDir = argc > 1 ? argv[1] : nullptr;

  GraphicsContext g;
  // The default adapter: the first one DXGI lists, as the test driver hands
  // out.
  if (!CreateGraphicsContext(nullptr, g)) return 10;

  SurfacePair s;
  if (!MakeTexture(g.dev.Get(), s.res[0]) || !MakeTexture(g.dev.Get(), s.res[1])) return 10;
  s.surfaceDesc = s.res[0]->GetDesc();
  if (s.surfaceDesc.Width != kWidth || s.surfaceDesc.Height != kHeight ||
      s.surfaceDesc.Format != kSurfaceFormat ||
      s.surfaceDesc.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D) {
    Wrong("GetDesc", "width " + std::to_string(s.surfaceDesc.Width) + " height " +
                         std::to_string(s.surfaceDesc.Height) + " format " +
                         std::to_string(static_cast<int>(s.surfaceDesc.Format)));
  }
  bool mapped = false;
  s.rtvFormat = TypedRenderTargetFormat(s.surfaceDesc.Format, &mapped);
  if (!mapped || s.rtvFormat != DXGI_FORMAT_B8G8R8A8_UNORM) {
    Wrong("rtv format", std::to_string(static_cast<int>(s.rtvFormat)));
  }
  if (!CreateViews(g.dev.Get(), s)) return 10;
  const UINT increment = g.dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
  if (s.rtv[1].ptr != s.rtv[0].ptr + increment ||
      s.rtv[0].ptr != s.rtvHeap->GetCPUDescriptorHandleForHeapStart().ptr) {
    Wrong("views", "the second view is not one increment after the heap start");
  }

  const std::uint32_t pitch = static_cast<std::uint32_t>(UploadPitch(kWidth));
  if (pitch != 8704) Wrong("upload pitch", std::to_string(pitch) + " for width 2160");
  Owned<ID3D12Resource> readback;
  if (!MakeBuffer(g.dev.Get(), D3D12_HEAP_TYPE_READBACK, D3D12_RESOURCE_STATE_COPY_DEST,
                  std::uint64_t{kHeight} * 8704, readback)) {
    return 10;
  }

  // The pattern at several times: bars at the left edge, inside the sweep,
  // just before the jump back and after it; alternating the two surfaces.
  const double times[] = {0.0, 1.3, 2.75, 3.999, 7.5};
  const std::int32_t half = static_cast<std::int32_t>(kWidth) / 2;
  std::vector<std::uint8_t> pixels;
  int n = 0;
  for (double elapsed : times) {
    const int k = n & 1;
    const std::int32_t off =
        static_cast<std::int32_t>(std::fmod(elapsed * 0.25, 1.0) * static_cast<double>(half - 64));
    if (BarOffset(elapsed, half) != off) {
      Wrong("BarOffset",
            std::to_string(BarOffset(elapsed, half)) + ", want " + std::to_string(off));
    }
    if (!ResetCommands(g, kReset)) return 10;
    RecordTestPattern(g.list.Get(), s.res[k].Get(), s.rtv[k], static_cast<std::int32_t>(kWidth),
                      static_cast<std::int32_t>(kHeight), elapsed);
    if (!SubmitAndWait(g, kSubmit, kTimeoutMs)) return 10;
    if (!ReadBack(g, s.res[k].Get(), readback.Get(), s.rtvFormat, 8704, pixels)) return 10;
    CheckPattern(pixels, elapsed, off, "pattern");
    if (!Save(outDir, "pattern-" + std::to_string(n) + ".raw", pixels)) return 10;
    std::printf("pattern %d: surface %d, elapsed %.3f s, bars at %d and %d\n", n, k, elapsed, off,
                half + off);
    ++n;
  }

  // The image copy into surface 1, from an upload buffer whose row padding
  // holds bytes that must not reach the surface.
  Owned<ID3D12Resource> upload;
  if (!MakeBuffer(g.dev.Get(), D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ,
                  std::uint64_t{kHeight} * pitch, upload)) {
    return 10;
  }
  void* dst = nullptr;
  D3D12_RANGE noRead = {0, 0};
  if (!Created(upload->Map(0, &noRead, &dst), "upload->Map")) return 10;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    std::uint8_t* row = static_cast<std::uint8_t*>(dst) + std::size_t{y} * pitch;
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      for (std::uint32_t c = 0; c < 4; ++c) row[x * 4 + c] = PictureByte(x, y, c);
    }
    std::memset(row + kWidth * 4, 0xAB, pitch - kWidth * 4);
  }
  upload->Unmap(0, nullptr);
  if (!ResetCommands(g, kReset)) return 10;
  RecordImageCopy(g.list.Get(), s.res[1].Get(), upload.Get(), s.rtvFormat, kWidth, kHeight, pitch);
  if (!SubmitAndWait(g, kSubmit, kTimeoutMs)) return 10;
  if (!ReadBack(g, s.res[1].Get(), readback.Get(), s.rtvFormat, 8704, pixels)) return 10;
  int reported = 0;
  long wrongPixels = 0;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      const std::uint8_t* p = pixels.data() + (std::size_t{y} * kWidth + x) * 4;
      bool same = true;
      for (std::uint32_t c = 0; c < 4; ++c) same = same && p[c] == PictureByte(x, y, c);
      if (!same) {
        ++wrongPixels;
        if (reported++ < 5) {
          Wrong("image",
                "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") is " + Pixel(p));
        }
      }
    }
  }
  if (wrongPixels > 5) Wrong("image", std::to_string(wrongPixels) + " wrong pixels in all");
  if (!Save(outDir, "image.raw", pixels)) return 10;
  std::printf("image: %ux%u copied with pitch %u\n", kWidth, kHeight, pitch);

  std::printf("%s\n",
              g_wrong == 0 ? "conformance: all pixels as expected" : "conformance: WRONG pixels");
  return g_wrong == 0 ? 0 : 1;
}
