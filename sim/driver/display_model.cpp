// The display model: displays, vendors, modes, surfaces, scan-out and the
// present-waitable, with the refusals of a real driver.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "sim/capture.h"
#include "sim/clock.h"
#include "sim/d3d12/sim_gpu.h"
#include "sim/driver/driver_records.h"
#include "sim/driver/driver_state.h"
#include "sim/driver/pacing.h"
#include "sim/kernel.h"
#include "sim/machine.h"

namespace sim::driver::model {
namespace {

constexpr std::uint32_t kEnumerateAll = 0;
constexpr std::uint32_t kEnumerateEnabled = 1;
constexpr std::uint32_t kGetModesSupported = 0;
constexpr std::uint32_t kPowerOn = 0;
constexpr std::uint32_t kPowerOff = 1;
constexpr std::uint32_t kResourceStateCommon = 0;

// The one physical GPU; its address is the opaque handle callers get.
const unsigned char kGpuToken = 0;

void* GpuHandle() { return const_cast<unsigned char*>(&kGpuToken); }

bool VendorEnabled(const DriverState& s, std::uint32_t vendor) {
  return std::find(s.enabledVendors.begin(), s.enabledVendors.end(), vendor) !=
         s.enabledVendors.end();
}

DisplayState* FindDisplayById(DriverState& s, std::uint32_t displayId) {
  for (DisplayState& d : s.displays) {
    if (d.spec.displayId == displayId) return &d;
  }
  return nullptr;
}

DisplayState* FindDisplay(DriverState& s, const void* record) {
  if (record == nullptr) return nullptr;
  return FindDisplayById(s, LoadU32(record, kDisplayIdOffset));
}

std::size_t IndexOf(const DriverState& s, const DisplayState& d) {
  return static_cast<std::size_t>(&d - s.displays.data());
}

ModeSpec ReadMode(const void* record) {
  ModeSpec m;
  m.width = LoadU32(record, kModeWidthOffset);
  m.height = LoadU32(record, kModeHeightOffset);
  m.refreshNumerator = LoadU32(record, kModeRefreshNumeratorOffset);
  m.refreshDenominator = LoadU32(record, kModeRefreshDenominatorOffset);
  m.format = LoadU32(record, kModeFormatOffset);
  m.dscMode = static_cast<std::int32_t>(LoadU32(record, kModeDscModeOffset));
  m.dscVer = static_cast<std::int32_t>(LoadU32(record, kModeDscVerOffset));
  m.slices = static_cast<std::int32_t>(LoadU32(record, kModeSlicesOffset));
  m.bppx16 = LoadU32(record, kModeBppx16Offset);
  return m;
}

// Everything but the version word, which the caller owns, and the opaque words
// at 24 and 28, which go back as received.
void WriteMode(void* record, const ModeSpec& m) {
  StoreU32(record, kModeWidthOffset, m.width);
  StoreU32(record, kModeHeightOffset, m.height);
  StoreU32(record, kModeRefreshNumeratorOffset, m.refreshNumerator);
  StoreU32(record, kModeRefreshDenominatorOffset, m.refreshDenominator);
  StoreU32(record, kModeFormatOffset, m.format);
  StoreU32(record, kModeDscModeOffset, static_cast<std::uint32_t>(m.dscMode));
  StoreU32(record, kModeDscVerOffset, static_cast<std::uint32_t>(m.dscVer));
  StoreU32(record, kModeSlicesOffset, static_cast<std::uint32_t>(m.slices));
  StoreU32(record, kModeBppx16Offset, m.bppx16);
}

bool SameTiming(const ModeSpec& a, const ModeSpec& b) {
  return a.width == b.width && a.height == b.height && a.refreshNumerator == b.refreshNumerator &&
         a.refreshDenominator == b.refreshDenominator && a.format == b.format;
}

bool DscAcceptable(const DriverState& s, const ModeSpec& m) {
  if (m.dscMode == 0) return true;
  if (m.dscMode != 1) return false;
  if (s.scenario.dsc == DriverScenario::Dsc::Refused) return false;
  if (m.slices < 1 || m.width % static_cast<std::uint32_t>(m.slices) != 0) return false;
  if (m.dscVer != 17 && m.dscVer != 18) return false;
  return m.bppx16 >= 96 && m.bppx16 <= 384;
}

// The checks CreateSurface and SetDisplayMode share: a record of the current
// version, one of the display's modes, and DSC settings the display takes.
bool ModeAcceptable(const DriverState& s, const DisplayState& d, const void* record,
                    ModeSpec* out) {
  if (record == nullptr) return false;
  if (LoadU32(record, kModeVersionOffset) != kModeRecordVersion) return false;
  const ModeSpec m = ReadMode(record);
  const bool known = std::any_of(d.spec.modes.begin(), d.spec.modes.end(),
                                 [&](const ModeSpec& offered) { return SameTiming(offered, m); });
  if (!known || !DscAcceptable(s, m)) return false;
  *out = m;
  return true;
}

bool CaptureListed(std::uint64_t frame) {
  const MachineOptions& options = CurrentMachineOptions();
  if (options.captureDir.empty()) return false;
  return std::find(options.captureFrames.begin(), options.captureFrames.end(), frame) !=
         options.captureFrames.end();
}

void Capture(std::uint64_t frame, const gpu::SurfaceView& view) {
  const std::string path =
      CurrentMachineOptions().captureDir + "/frame-" + std::to_string(frame) + ".png";
  std::string error;
  if (!CapturePng(path, view, &error)) {
    // Asked for on dmsim's command line, so its failure is dmsim's to report.
    std::fprintf(stderr, "dmsim: capture %s: %s\n", path.c_str(), error.c_str());
  }
}

void SignalAfterPresent(const DriverState& s, const DisplayState& d, ID3D12CommandQueue* queue) {
  if (d.waitable == nullptr) return;
  if (s.scenario.refreshPacing == DriverScenario::Pacing::Immediate) {
    KernelSetEvent(d.waitable);
    return;
  }
  // The flip is queued behind the work already submitted to the queue.
  const std::int64_t presentNs = std::max(ClockPeekNs(), gpu::QueueIdleAtNs(queue));
  KernelScheduleEvent(d.waitable,
                      FirstVblankAfterNs(d.vblankOriginNs, presentNs, d.mode.refreshNumerator,
                                         d.mode.refreshDenominator));
}

}  // namespace

std::int32_t Initialize(DriverState& s) {
  s.initialized = true;
  return kStatusOk;
}

std::int32_t EnableDirectMode(DriverState& s, std::uint32_t vendor, std::uint32_t /*flags*/) {
  const std::vector<std::uint32_t>& vendors = s.scenario.vendors;
  if (std::find(vendors.begin(), vendors.end(), vendor) == vendors.end()) return kStatusRefused;
  if (!VendorEnabled(s, vendor)) s.enabledVendors.push_back(vendor);
  return kStatusOk;
}

std::int32_t EnumerateDirectModeDisplays(DriverState& s, std::uint32_t vendor, void* count,
                                         void* records, std::uint32_t kind) {
  if (count == nullptr) return kStatusRefused;
  if (kind != kEnumerateAll && kind != kEnumerateEnabled) return kStatusRefused;
  const bool enabledVendor = VendorEnabled(s, vendor);
  auto listed = [&](const DisplayState& d) {
    return enabledVendor && (kind == kEnumerateAll || d.spec.enabled);
  };
  if (records == nullptr) {
    const auto n = std::count_if(s.displays.begin(), s.displays.end(), listed);
    StoreU32(count, 0, static_cast<std::uint32_t>(n));
    return kStatusOk;
  }
  const std::uint32_t capacity = LoadU32(count, 0);
  std::uint32_t written = 0;
  for (const DisplayState& d : s.displays) {
    if (written == capacity) break;
    if (!listed(d)) continue;
    unsigned char* record = static_cast<unsigned char*>(records) + written * kDisplayRecordSize;
    std::memset(record, 0, kDisplayRecordSize);
    StoreU32(record, kDisplayIdOffset, d.spec.displayId);
    ++written;
  }
  StoreU32(count, 0, written);
  return kStatusOk;
}

std::int32_t DirectModeGetDisplayModes(DriverState& s, const void* display, void* count,
                                       void* records, std::uint32_t flags) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || count == nullptr || flags != kGetModesSupported) return kStatusRefused;
  const std::vector<ModeSpec>& modes = d->spec.modes;
  if (records == nullptr) {
    StoreU32(count, 0, static_cast<std::uint32_t>(modes.size()));
    return kStatusOk;
  }
  const std::uint32_t capacity = LoadU32(count, 0);
  const std::size_t n = std::min<std::size_t>(capacity, modes.size());
  auto* bytes = static_cast<unsigned char*>(records);
  for (std::size_t i = 0; i < n; ++i) {
    if (LoadU32(bytes + i * kModeRecordSize, kModeVersionOffset) != kModeRecordVersion) {
      return kStatusRefused;
    }
  }
  for (std::size_t i = 0; i < n; ++i) WriteMode(bytes + i * kModeRecordSize, modes[i]);
  std::uint32_t reported = static_cast<std::uint32_t>(n);
  if (const std::uint32_t extra = d->spec.fillReportsExtraModes; extra != 0) {
    // The misbehaving driver claims more than the array holds, writing none of it.
    const std::uint64_t claimed = std::uint64_t{capacity} + extra;
    reported = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(claimed, std::numeric_limits<std::uint32_t>::max()));
  }
  StoreU32(count, 0, reported);
  return kStatusOk;
}

std::int32_t GetPhysicalGpuFromDisplayId(DriverState& s, std::uint32_t displayId, void** gpu) {
  if (gpu == nullptr || FindDisplayById(s, displayId) == nullptr) return kStatusRefused;
  *gpu = GpuHandle();
  return kStatusOk;
}

std::int32_t GetIDXGIAdapter(DriverState& /*s*/, void* gpuHandle, IDXGIAdapter** adapter) {
  if (adapter == nullptr || gpuHandle != GpuHandle()) return kStatusRefused;
  IDXGIAdapter* made = gpu::CreateAdapter();
  if (made == nullptr) return kStatusRefused;
  *adapter = made;
  return kStatusOk;
}

std::int32_t AcquireDirectModeDisplay(DriverState& s, std::uint32_t vendor, ID3D12Device* device,
                                      const void* display) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->spec.enabled || d->acquired) return kStatusRefused;
  if (!VendorEnabled(s, vendor)) return kStatusRefused;
  if (device == nullptr || !gpu::IsDevice(device)) return kStatusRefused;
  d->acquired = true;
  d->acquiredVendor = vendor;
  d->device = device;
  return kStatusOk;
}

std::int32_t CreateSurface(DriverState& s, const void* display, const void* mode,
                           std::uint32_t* surfaceId, HANDLE* shared) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->acquired) return kStatusRefused;
  if (surfaceId == nullptr || shared == nullptr) return kStatusRefused;
  ModeSpec m;
  if (!ModeAcceptable(s, *d, mode, &m)) return kStatusRefused;
  // The acquiring device may have gone since.
  if (!gpu::IsDevice(d->device)) return kStatusRefused;
  HANDLE handle = gpu::CreateSharedSurface(d->device, m.width, m.height, d->spec.surfaceFormat);
  if (handle == nullptr) return kStatusRefused;
  SurfaceState surface;
  surface.id = s.nextSurfaceId++;
  surface.display = IndexOf(s, *d);
  surface.shared = handle;
  surface.width = m.width;
  surface.height = m.height;
  s.surfaces.push_back(surface);
  *surfaceId = surface.id;
  *shared = handle;
  return kStatusOk;
}

std::int32_t SetDisplayMode(DriverState& s, const void* display, const void* mode) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->acquired) return kStatusRefused;
  ModeSpec m;
  if (!ModeAcceptable(s, *d, mode, &m)) return kStatusRefused;
  d->mode = m;
  d->modeSet = true;
  d->vblankOriginNs = ClockPeekNs();
  return kStatusOk;
}

std::int32_t DisplayControl(DriverState& s, const void* display, std::uint32_t command) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->acquired) return kStatusRefused;
  if (command != kPowerOn && command != kPowerOff) return kStatusRefused;
  d->poweredOn = command == kPowerOn;
  return kStatusOk;
}

std::int32_t GetPresentWaitableObject(DriverState& s, const void* display, HANDLE* waitable) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->acquired || waitable == nullptr) return kStatusRefused;
  if (d->waitable == nullptr) {
    d->waitable = KernelCreateEvent(false, false, "present waitable");
    if (d->waitable == nullptr) return kStatusRefused;
  }
  *waitable = d->waitable;
  return kStatusOk;
}

std::int32_t Present12(DriverState& s, const void* display, std::uint32_t surfaceId,
                       std::uint32_t /*flags*/, ID3D12CommandQueue* queue,
                       ID3D12GraphicsCommandList* list, std::uint64_t frame) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->acquired || !d->modeSet) return kStatusRefused;
  if (queue == nullptr || !gpu::IsQueue(queue)) return kStatusRefused;
  if (list != nullptr && !gpu::IsCommandList(list)) return kStatusRefused;
  const std::size_t displayIndex = IndexOf(s, *d);
  const auto surface =
      std::find_if(s.surfaces.begin(), s.surfaces.end(), [&](const SurfaceState& candidate) {
        return candidate.id == surfaceId && candidate.display == displayIndex;
      });
  if (surface == s.surfaces.end()) return kStatusRefused;
  // A surface of another size cannot be scanned out in the mode that is set.
  if (surface->width != d->mode.width || surface->height != d->mode.height) {
    return kStatusRefused;
  }
  gpu::SurfaceView view;
  if (!gpu::LookUpSurface(surface->shared, &view)) return kStatusRefused;
  if (view.state != kResourceStateCommon) return kStatusRefused;
  if (CaptureListed(frame)) Capture(frame, view);
  SignalAfterPresent(s, *d, queue);
  return kStatusOk;
}

std::int32_t ReleaseDirectModeDisplay(DriverState& s, std::uint32_t vendor, const void* display) {
  DisplayState* d = FindDisplay(s, display);
  if (d == nullptr || !d->acquired || d->acquiredVendor != vendor) return kStatusRefused;
  const std::size_t displayIndex = IndexOf(s, *d);
  // The display's surfaces go with it.
  std::erase_if(s.surfaces,
                [&](const SurfaceState& surface) { return surface.display == displayIndex; });
  d->acquired = false;
  d->acquiredVendor = 0;
  d->device = nullptr;
  d->modeSet = false;
  d->poweredOn = false;
  return kStatusOk;
}

}  // namespace sim::driver::model
