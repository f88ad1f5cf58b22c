// The simulated driver's state: what it knows of each display and surface, and
// the per-operation bookkeeping for forced statuses. It lives as long as the
// machine, across unloads of the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "sim/scenario.h"

namespace sim::driver {

enum class Op : std::size_t {
  Initialize,
  EnableDirectMode,
  EnumerateDirectModeDisplays,
  DirectModeGetDisplayModes,
  GetPhysicalGpuFromDisplayId,
  GetIDXGIAdapter,
  AcquireDirectModeDisplay,
  CreateSurface,
  SetDisplayMode,
  DisplayControl,
  GetPresentWaitableObject,
  Present12,
  ReleaseDirectModeDisplay,
  kCount
};
inline constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::kCount);

// The name in traces and in driver.statuses.
const char* OpName(Op op);
std::uint32_t OpFunctionId(Op op);

inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kStatusRefused = -1;
inline constexpr std::int32_t kStatusHdcpDisabled = -208;

struct DisplayState {
  DisplaySpec spec;
  bool acquired = false;
  std::uint32_t acquiredVendor = 0;
  ID3D12Device* device = nullptr;  // the acquiring device; not referenced
  bool modeSet = false;
  ModeSpec mode;                    // the mode set, DSC fields as given
  std::int64_t vblankOriginNs = 0;  // time the mode was set
  bool poweredOn = false;
  HANDLE waitable = nullptr;  // auto-reset event, made on first request
};

struct SurfaceState {
  std::uint32_t id = 0;
  std::size_t display = 0;  // index into DriverState::displays
  HANDLE shared = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

struct DriverState {
  DriverScenario scenario;
  std::array<std::optional<ForcedStatus>, kOpCount> forced;
  std::array<std::uint64_t, kOpCount> calls{};
  bool initialized = false;
  std::vector<std::uint32_t> enabledVendors;
  std::vector<DisplayState> displays;
  std::vector<SurfaceState> surfaces;
  std::uint32_t nextSurfaceId = 0x1001;
  std::uint64_t presentCalls = 0;  // frame numbers, from 0
  std::uint64_t hookContexts = 0;
};

// The state, built from the current scenario on first use after Reset.
DriverState& State();

// The display model's own behaviour, without forced statuses or tracing.
// Each returns 0 on success or the driver's refusal status.
namespace model {
std::int32_t Initialize(DriverState& s);
std::int32_t EnableDirectMode(DriverState& s, std::uint32_t vendor, std::uint32_t flags);
std::int32_t EnumerateDirectModeDisplays(DriverState& s, std::uint32_t vendor, void* count,
                                         void* records, std::uint32_t kind);
std::int32_t DirectModeGetDisplayModes(DriverState& s, const void* display, void* count,
                                       void* records, std::uint32_t flags);
std::int32_t GetPhysicalGpuFromDisplayId(DriverState& s, std::uint32_t displayId, void** gpu);
std::int32_t GetIDXGIAdapter(DriverState& s, void* gpu, IDXGIAdapter** adapter);
std::int32_t AcquireDirectModeDisplay(DriverState& s, std::uint32_t vendor, ID3D12Device* device,
                                      const void* display);
std::int32_t CreateSurface(DriverState& s, const void* display, const void* mode,
                           std::uint32_t* surfaceId, HANDLE* shared);
std::int32_t SetDisplayMode(DriverState& s, const void* display, const void* mode);
std::int32_t DisplayControl(DriverState& s, const void* display, std::uint32_t command);
std::int32_t GetPresentWaitableObject(DriverState& s, const void* display, HANDLE* waitable);
std::int32_t Present12(DriverState& s, const void* display, std::uint32_t surfaceId,
                       std::uint32_t flags, ID3D12CommandQueue* queue,
                       ID3D12GraphicsCommandList* list, std::uint64_t frame);
std::int32_t ReleaseDirectModeDisplay(DriverState& s, std::uint32_t vendor, const void* display);
}  // namespace model

}  // namespace sim::driver
