// What the rest of the simulated machine needs from the software Direct3D 12
// runtime: an adapter for the driver to hand out, shared surfaces created on an
// acquired device, and a look at a surface's state and pixels.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace sim::gpu {

// A new adapter reference for the program (it releases it).
IDXGIAdapter* CreateAdapter();

// Whether these are objects of the simulated runtime.
bool IsDevice(ID3D12Device* device);
bool IsQueue(ID3D12CommandQueue* queue);
bool IsCommandList(ID3D12GraphicsCommandList* list);

// A 2-D render-target texture of w x h in format, shared on device. Returns the
// shared handle that OpenSharedHandle on that device accepts, or null.
HANDLE CreateSharedSurface(ID3D12Device* device, std::uint32_t width, std::uint32_t height,
                           std::uint32_t format);

struct SurfaceView {
  const std::uint8_t* pixels = nullptr;  // row 0 first
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t rowPitch = 0;  // bytes
  std::uint32_t format = 0;    // DXGI format number
  std::uint32_t state = 0;     // tracked D3D12_RESOURCE_STATES of subresource 0
};
// The surface behind a shared handle; false for a handle that is not one.
bool LookUpSurface(HANDLE shared, SurfaceView* out);

// Time at which all work submitted to queue so far has completed.
std::int64_t QueueIdleAtNs(ID3D12CommandQueue* queue);

// Whether method names a call that gpu.failures can force ("Interface::Method"
// as the program calls it, or "D3D12CreateDevice").
bool IsKnownMethod(const std::string& method);

// Held events for every interface the program still holds.
void ReportHeld();
void Reset();

}  // namespace sim::gpu
