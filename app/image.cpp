#include "app/image.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/check.h"

namespace {

constexpr ResetSites kImageResetSites = {253, 254};
constexpr SubmitSites kImageSubmitSites = {277, 280};
constexpr DWORD kImageWaitMs = 2000;

bool FormatTakesImage(DXGI_FORMAT format) {
  return format == DXGI_FORMAT_B8G8R8A8_UNORM || format == DXGI_FORMAT_B8G8R8X8_UNORM ||
         format == DXGI_FORMAT_R8G8B8A8_UNORM;
}

}  // namespace

std::uint64_t UploadPitch(std::uint32_t width) {
  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 4;
  return (rowBytes + 255) & ~static_cast<std::uint64_t>(255);
}

void RecordImageCopy(ID3D12GraphicsCommandList* list, ID3D12Resource* dst, ID3D12Resource* upload,
                     DXGI_FORMAT format, std::uint32_t width, std::uint32_t height,
                     std::uint32_t pitch) {
  const D3D12_RESOURCE_BARRIER toCopy =
      TransitionBarrier(dst, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COPY_DEST);
  list->ResourceBarrier(1, &toCopy);

  D3D12_TEXTURE_COPY_LOCATION to;
  std::memset(&to, 0, sizeof to);
  to.pResource = dst;
  to.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
  to.SubresourceIndex = 0;
  D3D12_TEXTURE_COPY_LOCATION from;
  std::memset(&from, 0, sizeof from);
  from.pResource = upload;
  from.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
  from.PlacedFootprint.Offset = 0;
  from.PlacedFootprint.Footprint.Format = format;
  from.PlacedFootprint.Footprint.Width = width;
  from.PlacedFootprint.Footprint.Height = height;
  from.PlacedFootprint.Footprint.Depth = 1;
  from.PlacedFootprint.Footprint.RowPitch = pitch;
  list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);

  const D3D12_RESOURCE_BARRIER back =
      TransitionBarrier(dst, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_COMMON);
  list->ResourceBarrier(1, &back);
}

int LoadStaticImage(const char* path, GraphicsContext& g, SurfacePair& s,
                    Owned<ID3D12Resource>& upload, bool& staticImage) {
  staticImage = false;
  if (!FormatTakesImage(s.rtvFormat)) {
    std::fprintf(stderr,
                 "FATAL: --image only supports 8-bit BGRX/BGRA/RGBA surfaces, got rtv format %d\n",
                 static_cast<int>(s.rtvFormat));
    return kExitFatal;
  }
  const auto width = static_cast<std::uint32_t>(s.surfaceDesc.Width);
  const std::uint32_t height = s.surfaceDesc.Height;
  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 4;
  const std::uint64_t uploadPitch = UploadPitch(width);
  const std::uint64_t imageBytes = static_cast<std::uint64_t>(height) * rowBytes;

  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(imageBytes));
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "FATAL: cannot open %s\n", path);
    return kExitFatal;
  }
  const std::size_t got = std::fread(pixels.data(), 1, pixels.size(), file);
  std::fclose(file);
  if (got != imageBytes) {
    std::fprintf(stderr, "FATAL: %s is %zu bytes, mode wants %zu (%ux%u*4)\n", path, got,
                 static_cast<std::size_t>(imageBytes), width, height);
    return kExitFatal;
  }
  if (s.rtvFormat == DXGI_FORMAT_R8G8B8A8_UNORM) {
    // The file is always blue-green-red-X.
    for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) {
      const std::uint8_t blue = pixels[i];
      pixels[i] = pixels[i + 2];
      pixels[i + 2] = blue;
    }
    std::printf("image swizzled BGRX -> RGBA for surface format\n");
  }

  D3D12_HEAP_PROPERTIES hp = {};
  hp.Type = D3D12_HEAP_TYPE_UPLOAD;
  hp.CPUPageProperty = D3D12_CPU_PAGE_PROPERTY_UNKNOWN;
  hp.MemoryPoolPreference = D3D12_MEMORY_POOL_UNKNOWN;
  hp.CreationNodeMask = 0;
  hp.VisibleNodeMask = 0;
  D3D12_RESOURCE_DESC bd = {};
  bd.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
  bd.Alignment = 0;
  bd.Width = static_cast<UINT64>(height) * uploadPitch;
  bd.Height = 1;
  bd.DepthOrArraySize = 1;
  bd.MipLevels = 1;
  bd.Format = DXGI_FORMAT_UNKNOWN;
  bd.SampleDesc.Count = 1;
  bd.SampleDesc.Quality = 0;
  bd.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
  bd.Flags = D3D12_RESOURCE_FLAG_NONE;
  if (!ResultOk(g.dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &bd,
                                               D3D12_RESOURCE_STATE_GENERIC_READ, nullptr,
                                               IID_PPV_ARGS(upload.Put())),
                "dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &bd, "
                "D3D12_RESOURCE_STATE_GENERIC_READ, "
                "nullptr, IID_PPV_ARGS(&upload))",
                244)) {
    return kExitFatal;
  }
  std::uint8_t* dst = nullptr;
  const D3D12_RANGE noRead = {0, 0};
  if (!ResultOk(upload->Map(0, &noRead, reinterpret_cast<void**>(&dst)),
                "upload->Map(0, &noRead, (void**)&dst)", 247)) {
    return kExitFatal;
  }
  for (std::uint32_t r = 0; r < height; ++r) {
    std::memcpy(dst + r * uploadPitch, pixels.data() + r * rowBytes,
                static_cast<std::size_t>(rowBytes));
  }
  upload->Unmap(0, nullptr);

  for (int i = 0; i < 2; ++i) {
    if (!ResetCommands(g, kImageResetSites)) return kExitFatal;
    RecordImageCopy(g.list.Get(), s.res[i].Get(), upload.Get(), s.rtvFormat, width, height,
                    static_cast<std::uint32_t>(uploadPitch));
    if (!SubmitAndWait(g, kImageSubmitSites, kImageWaitMs)) return kExitFatal;
  }
  staticImage = true;
  std::printf("static image %s loaded into %d surfaces\n", path, 2);
  return kContinue;
}
