#include "driver/entries.h"

#include "driver/binding.h"

namespace {

// The slot each operation owns; the rest of the table is never used here.
enum Slot : int {
  kSlotEnableDirectMode = 0,
  kSlotEnumerateDirectModeDisplays,
  kSlotDirectModeGetDisplayModes,
  kSlotGetPhysicalGpuFromDisplayId,
  kSlotGetIDXGIAdapter,
  kSlotAcquireDirectModeDisplay,
  kSlotCreateSurface,
  kSlotSetDisplayMode,
  kSlotDisplayControl,
  kSlotGetPresentWaitableObject,
  kSlotPresent12,
  kSlotReleaseDirectModeDisplay,
  kSlotCount
};
static_assert(kSlotCount <= kDriverEntryCacheSlots);

void* DriverEntryCache[kDriverEntryCacheSlots];

// Resolves the operation's entry once, then calls it between the hooks.
template <class Fn, class... Args>
DriverStatus CallDriver(Slot slot, std::uint32_t functionId, Args... args) {
  const DriverStatus loaded = EnsureDriverLoaded();
  if (loaded != kDriverOk) return loaded;
  void* entry = DriverEntryCache[slot];
  if (entry == nullptr) {
    // A null answer is stored too, so the slot stays null and the next call
    // asks again: a missing entry is never remembered as missing.
    entry = driverBinding.queryInterface(functionId);
    DriverEntryCache[slot] = entry;
    if (entry == nullptr) return kDriverNoEntryPoint;
  }
  std::uint64_t context = 0;
  if (driverBinding.enterHook != nullptr) driverBinding.enterHook(functionId, &context);
  const DriverStatus status = reinterpret_cast<Fn>(entry)(args...);
  if (driverBinding.leaveHook != nullptr) driverBinding.leaveHook(functionId, context, status);
  return status;
}

}  // namespace

void ClearDriverEntryCache() {
  for (void*& slot : DriverEntryCache) slot = nullptr;
}

void* DriverEntryCacheSlot(int slot) {
  if (slot < 0 || slot >= kDriverEntryCacheSlots) return nullptr;
  return DriverEntryCache[slot];
}

int DriverEntrySlotFor(std::uint32_t functionId) {
  using namespace driver_ids;
  switch (functionId) {
    case kEnableDirectMode:
      return kSlotEnableDirectMode;
    case kEnumerateDirectModeDisplays:
      return kSlotEnumerateDirectModeDisplays;
    case kDirectModeGetDisplayModes:
      return kSlotDirectModeGetDisplayModes;
    case kGetPhysicalGpuFromDisplayId:
      return kSlotGetPhysicalGpuFromDisplayId;
    case kGetIDXGIAdapter:
      return kSlotGetIDXGIAdapter;
    case kAcquireDirectModeDisplay:
      return kSlotAcquireDirectModeDisplay;
    case kCreateSurface:
      return kSlotCreateSurface;
    case kSetDisplayMode:
      return kSlotSetDisplayMode;
    case kDisplayControl:
      return kSlotDisplayControl;
    case kGetPresentWaitableObject:
      return kSlotGetPresentWaitableObject;
    case kPresent12:
      return kSlotPresent12;
    case kReleaseDirectModeDisplay:
      return kSlotReleaseDirectModeDisplay;
    default:
      return -1;
  }
}

DriverStatus EnableDirectMode(std::uint32_t vendor, std::uint32_t flags) {
  using Fn = DriverStatus (*)(std::uint32_t, std::uint32_t);
  return CallDriver<Fn>(kSlotEnableDirectMode, driver_ids::kEnableDirectMode, vendor, flags);
}

DriverStatus NvAPI_DISP_EnumerateDirectModeDisplays(std::uint32_t vendor, std::uint32_t* count,
                                                    DirectModeDisplay* displays,
                                                    std::uint32_t kind) {
  using Fn = DriverStatus (*)(std::uint32_t, std::uint32_t*, DirectModeDisplay*, std::uint32_t);
  return CallDriver<Fn>(kSlotEnumerateDirectModeDisplays, driver_ids::kEnumerateDirectModeDisplays,
                        vendor, count, displays, kind);
}

DriverStatus NvAPI_D3D_DirectModeGetDisplayModes(DirectModeDisplay* display, std::uint32_t* count,
                                                 DirectModeDisplayMode* modes,
                                                 std::uint32_t flags) {
  using Fn =
      DriverStatus (*)(DirectModeDisplay*, std::uint32_t*, DirectModeDisplayMode*, std::uint32_t);
  return CallDriver<Fn>(kSlotDirectModeGetDisplayModes, driver_ids::kDirectModeGetDisplayModes,
                        display, count, modes, flags);
}

DriverStatus NvAPI_SYS_GetPhysicalGpuFromDisplayId(std::uint32_t displayId,
                                                   PhysicalGpuHandle* gpu) {
  using Fn = DriverStatus (*)(std::uint32_t, PhysicalGpuHandle*);
  return CallDriver<Fn>(kSlotGetPhysicalGpuFromDisplayId, driver_ids::kGetPhysicalGpuFromDisplayId,
                        displayId, gpu);
}

DriverStatus NvAPI_D3D_GetIDXGIAdapter(PhysicalGpuHandle gpu, IDXGIAdapter** adapter) {
  using Fn = DriverStatus (*)(PhysicalGpuHandle, IDXGIAdapter**);
  return CallDriver<Fn>(kSlotGetIDXGIAdapter, driver_ids::kGetIDXGIAdapter, gpu, adapter);
}

DriverStatus AcquireDirectModeDisplay(std::uint32_t vendor, ID3D12Device* device,
                                      DirectModeDisplay* display) {
  using Fn = DriverStatus (*)(std::uint32_t, ID3D12Device*, DirectModeDisplay*);
  return CallDriver<Fn>(kSlotAcquireDirectModeDisplay, driver_ids::kAcquireDirectModeDisplay,
                        vendor, device, display);
}

DriverStatus CreateSurface(DirectModeDisplay* display, DirectModeDisplayMode* mode,
                           std::uint32_t* surfaceId, HANDLE* shared) {
  using Fn = DriverStatus (*)(DirectModeDisplay*, DirectModeDisplayMode*, std::uint32_t*, HANDLE*);
  return CallDriver<Fn>(kSlotCreateSurface, driver_ids::kCreateSurface, display, mode, surfaceId,
                        shared);
}

DriverStatus SetDisplayMode(DirectModeDisplay* display, DirectModeDisplayMode* mode) {
  using Fn = DriverStatus (*)(DirectModeDisplay*, DirectModeDisplayMode*);
  return CallDriver<Fn>(kSlotSetDisplayMode, driver_ids::kSetDisplayMode, display, mode);
}

DriverStatus DisplayControl(DirectModeDisplay* display, std::uint32_t command) {
  using Fn = DriverStatus (*)(DirectModeDisplay*, std::uint32_t);
  return CallDriver<Fn>(kSlotDisplayControl, driver_ids::kDisplayControl, display, command);
}

DriverStatus GetPresentWaitableObject(DirectModeDisplay* display, HANDLE* waitable) {
  using Fn = DriverStatus (*)(DirectModeDisplay*, HANDLE*);
  return CallDriver<Fn>(kSlotGetPresentWaitableObject, driver_ids::kGetPresentWaitableObject,
                        display, waitable);
}

DriverStatus Present12(DirectModeDisplay* display, std::uint32_t surfaceId, std::uint32_t flags,
                       ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list) {
  using Fn = DriverStatus (*)(DirectModeDisplay*, std::uint32_t, std::uint32_t, ID3D12CommandQueue*,
                              ID3D12GraphicsCommandList*);
  return CallDriver<Fn>(kSlotPresent12, driver_ids::kPresent12, display, surfaceId, flags, queue,
                        list);
}

DriverStatus ReleaseDirectModeDisplay(std::uint32_t vendor, DirectModeDisplay* display) {
  using Fn = DriverStatus (*)(std::uint32_t, DirectModeDisplay*);
  return CallDriver<Fn>(kSlotReleaseDirectModeDisplay, driver_ids::kReleaseDirectModeDisplay,
                        vendor, display);
}
