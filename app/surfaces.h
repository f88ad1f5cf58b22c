// The two driver surfaces, opened as resources, and their render-target views.
#pragma once

#include <cstdint>

#include "app/owned.h"
#include "driver/driver_api.h"

struct SurfacePair {
  std::uint32_t surfaceId[2] = {0, 0};
  HANDLE shared[2] = {nullptr, nullptr};  // never closed
  Owned<ID3D12Resource> res[2];
  D3D12_CPU_DESCRIPTOR_HANDLE rtv[2] = {};
  Owned<ID3D12DescriptorHeap> rtvHeap;
  D3D12_RESOURCE_DESC surfaceDesc = {};
  DXGI_FORMAT rtvFormat = DXGI_FORMAT_UNKNOWN;
};

// The typed view format of a surface format; mapped is false for a format
// the table does not know, which is then used unchanged.
DXGI_FORMAT TypedRenderTargetFormat(DXGI_FORMAT surfaceFormat, bool* mapped);

// Acquires the display for dev, creates and opens both surfaces, prints the
// surface lines and creates the views. Returns kContinue or an exit code.
int AcquireSurfaces(ID3D12Device* dev, DirectModeDisplay& display,
                    DirectModeDisplayMode& chosenMode, SurfacePair& s);

// The two-entry RTV heap and one view per opened surface, in s.rtvFormat.
bool CreateViews(ID3D12Device* dev, SurfacePair& s);
