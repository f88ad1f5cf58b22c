#include "app/surfaces.h"

#include <cstdio>
#include <cstring>

#include "app/check.h"
#include "driver/entries.h"

DXGI_FORMAT TypedRenderTargetFormat(DXGI_FORMAT surfaceFormat, bool* mapped) {
  *mapped = true;
  switch (surfaceFormat) {
    case DXGI_FORMAT_R16G16B16A16_TYPELESS:
      return DXGI_FORMAT_R16G16B16A16_FLOAT;
    case DXGI_FORMAT_R10G10B10A2_TYPELESS:
      return DXGI_FORMAT_R10G10B10A2_UNORM;
    case DXGI_FORMAT_R8G8B8A8_TYPELESS:
      return DXGI_FORMAT_R8G8B8A8_UNORM;
    case DXGI_FORMAT_B8G8R8A8_TYPELESS:
      return DXGI_FORMAT_B8G8R8A8_UNORM;
    case DXGI_FORMAT_B8G8R8X8_TYPELESS:
      return DXGI_FORMAT_B8G8R8X8_UNORM;
    default:
      *mapped = false;
      return surfaceFormat;
  }
}

int AcquireSurfaces(ID3D12Device* dev, DirectModeDisplay& display,
                    DirectModeDisplayMode& chosenMode, SurfacePair& s) {
  const DriverStatus acquired = AcquireDirectModeDisplay(VENDOR_ID, dev, &display);
  std::printf("AcquireDirectModeDisplay = 0x%x%s\n", static_cast<unsigned>(acquired),
              acquired == kDriverHdcpDisabled ? " (HDCP disabled, continuing)" : "");
  if (acquired != kDriverOk && acquired != kDriverHdcpDisabled) return kExitRefused;

  for (int i = 0; i < 2; ++i) {
    const DriverStatus created =
        CreateSurface(&display, &chosenMode, &s.surfaceId[i], &s.shared[i]);
    if (created != kDriverOk) {
      std::fprintf(stderr, "CreateSurface[%d] = 0x%x\n", i, static_cast<unsigned>(created));
      return kExitRefused;
    }
    if (!ResultOk(dev->OpenSharedHandle(s.shared[i], IID_PPV_ARGS(s.res[i].Put())),
                  "dev->OpenSharedHandle(shared[i], IID_PPV_ARGS(&res[i]))", 160)) {
      return kExitFatal;
    }
  }

  // Only the first surface is described; both come from the same mode.
  s.surfaceDesc = s.res[0]->GetDesc();
  std::printf("surface: %llux%u format=%d\n", static_cast<unsigned long long>(s.surfaceDesc.Width),
              s.surfaceDesc.Height, static_cast<int>(s.surfaceDesc.Format));
  bool mapped = false;
  s.rtvFormat = TypedRenderTargetFormat(s.surfaceDesc.Format, &mapped);
  if (!mapped) {
    std::fprintf(
        stderr,
        "WARNING: surface format %d has no typed mapping \xE2\x80\x94 RTV will be invalid if it "
        "is typeless\n",
        static_cast<int>(s.surfaceDesc.Format));
  }
  std::printf("rtv format: %d\n", static_cast<int>(s.rtvFormat));
  return CreateViews(dev, s) ? kContinue : kExitFatal;
}

bool CreateViews(ID3D12Device* dev, SurfacePair& s) {
  D3D12_DESCRIPTOR_HEAP_DESC hd = {};
  hd.Type = D3D12_DESCRIPTOR_HEAP_TYPE_RTV;
  hd.NumDescriptors = 2;
  hd.Flags = D3D12_DESCRIPTOR_HEAP_FLAG_NONE;
  hd.NodeMask = 0;
  if (!ResultOk(dev->CreateDescriptorHeap(&hd, IID_PPV_ARGS(s.rtvHeap.Put())),
                "dev->CreateDescriptorHeap(&hd, IID_PPV_ARGS(&rtvHeap))", 187)) {
    return false;
  }
  const UINT increment = dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
  s.rtv[0] = s.rtvHeap->GetCPUDescriptorHandleForHeapStart();
  s.rtv[1].ptr = s.rtv[0].ptr + increment;
  for (int i = 0; i < 2; ++i) {
    D3D12_RENDER_TARGET_VIEW_DESC view;
    std::memset(&view, 0, sizeof view);
    view.Format = s.rtvFormat;
    view.ViewDimension = D3D12_RTV_DIMENSION_TEXTURE2D;
    view.Texture2D.MipSlice = 0;
    view.Texture2D.PlaneSlice = 0;
    dev->CreateRenderTargetView(s.res[i].Get(), &view, s.rtv[i]);
  }
  return true;
}
