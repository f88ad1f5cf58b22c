// The driver operations: plain functions that reach the driver's entry points
// by function ID through a cache of resolved entries.
#pragma once

#include <cstdint>

#include "driver/driver_api.h"

// Function IDs of the driver's entry points.
namespace driver_ids {
constexpr std::uint32_t kInitialize = 0x0150E828;
constexpr std::uint32_t kEnterHook = 0x33C7358C;
constexpr std::uint32_t kLeaveHook = 0x593E8644;
constexpr std::uint32_t kEnableDirectMode = 0x1AC2B1E7;
constexpr std::uint32_t kEnumerateDirectModeDisplays = 0x602F60D8;
constexpr std::uint32_t kDirectModeGetDisplayModes = 0x79C3FE22;
constexpr std::uint32_t kGetPhysicalGpuFromDisplayId = 0x9EA74659;
constexpr std::uint32_t kGetIDXGIAdapter = 0xB7FBDBFA;
constexpr std::uint32_t kAcquireDirectModeDisplay = 0xC4E4EFDA;
constexpr std::uint32_t kCreateSurface = 0x86BDB518;
constexpr std::uint32_t kSetDisplayMode = 0x56DF9D51;
constexpr std::uint32_t kDisplayControl = 0x2EEBACCC;
constexpr std::uint32_t kGetPresentWaitableObject = 0xA3F1F373;
constexpr std::uint32_t kPresent12 = 0x5ED18DC4;
constexpr std::uint32_t kReleaseDirectModeDisplay = 0x2523CAB6;
}  // namespace driver_ids

// The entry cache: one slot per operation, null until resolved.
constexpr int kDriverEntryCacheSlots = 819;
// Empties every slot; run by every successful bind.
void ClearDriverEntryCache();
// Read-only view for tests.
void* DriverEntryCacheSlot(int slot);
// The slot an operation owns (by its function ID); -1 for an unknown ID.
int DriverEntrySlotFor(std::uint32_t functionId);

DriverStatus EnableDirectMode(std::uint32_t vendor, std::uint32_t flags);
DriverStatus NvAPI_DISP_EnumerateDirectModeDisplays(std::uint32_t vendor, std::uint32_t* count,
                                                    DirectModeDisplay* displays,
                                                    std::uint32_t kind);
DriverStatus NvAPI_D3D_DirectModeGetDisplayModes(DirectModeDisplay* display, std::uint32_t* count,
                                                 DirectModeDisplayMode* modes, std::uint32_t flags);
DriverStatus NvAPI_SYS_GetPhysicalGpuFromDisplayId(std::uint32_t displayId, PhysicalGpuHandle* gpu);
DriverStatus NvAPI_D3D_GetIDXGIAdapter(PhysicalGpuHandle gpu, IDXGIAdapter** adapter);
DriverStatus AcquireDirectModeDisplay(std::uint32_t vendor, ID3D12Device* device,
                                      DirectModeDisplay* display);
DriverStatus CreateSurface(DirectModeDisplay* display, DirectModeDisplayMode* mode,
                           std::uint32_t* surfaceId, HANDLE* shared);
DriverStatus SetDisplayMode(DirectModeDisplay* display, DirectModeDisplayMode* mode);
DriverStatus DisplayControl(DirectModeDisplay* display, std::uint32_t command);
DriverStatus GetPresentWaitableObject(DirectModeDisplay* display, HANDLE* waitable);
DriverStatus Present12(DirectModeDisplay* display, std::uint32_t surfaceId, std::uint32_t flags,
                       ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list);
DriverStatus ReleaseDirectModeDisplay(std::uint32_t vendor, DirectModeDisplay* display);
