#include "app/discovery.h"

#include <cmath>
#include <cstdio>

#include "app/check.h"
#include "driver/entries.h"

double RefreshRateHz(const DirectModeDisplayMode& mode) {
  if (mode.refreshDenominator == 0) return 0.0;
  return static_cast<double>(mode.refreshNumerator) / static_cast<double>(mode.refreshDenominator);
}

double ModeScore(const DirectModeDisplayMode& mode) {
  double score = static_cast<double>(mode.height) * static_cast<double>(mode.width) -
                 std::fabs(RefreshRateHz(mode) - 75.0) * 10000.0;
  if (static_cast<std::int32_t>(mode.format) == 22) score += 1.0;
  return score;
}

int ChooseModeIndex(const DirectModeDisplayMode* modes, std::uint32_t count,
                    std::int32_t requested) {
  if (requested >= 0 && static_cast<std::uint32_t>(requested) < count) return requested;
  double bestScore = -1.0;
  int bestIndex = -1;
  for (std::uint32_t i = 0; i < count; ++i) {
    const double score = ModeScore(modes[i]);
    // Equal scores do not replace: the first in the list wins.
    if (score > bestScore) {
      bestScore = score;
      bestIndex = static_cast<int>(i);
    }
  }
  return bestIndex;
}

void ForceDsc(DirectModeDisplayMode& mode) {
  mode.dscMode = 1;
  mode.dscVer = 17;
  mode.slices = 4;
  mode.bppx16 = 128;
}

int FindDisplay(Discovery& d) {
  const DriverStatus enabled = EnableDirectMode(VENDOR_ID, 0);
  std::printf("EnableDirectMode(0x%x) = 0x%x\n", VENDOR_ID, static_cast<unsigned>(enabled));

  std::uint32_t numDisplays = 0;
  const DriverStatus counted = NvAPI_DISP_EnumerateDirectModeDisplays(
      VENDOR_ID, &numDisplays, nullptr, NV_ENUM_DIRECTMODE_DISPLAY_ENABLED);
  std::printf("EnumerateDirectModeDisplays count = %u (status 0x%x)\n", numDisplays,
              static_cast<unsigned>(counted));
  if (numDisplays == 0) {
    std::printf("RESULT: no DM display\n");
    return kExitNoDisplay;
  }

  d.displays.assign(numDisplays, DirectModeDisplay{});
  if (!StatusOk(NvAPI_DISP_EnumerateDirectModeDisplays(VENDOR_ID, &numDisplays, d.displays.data(),
                                                       NV_ENUM_DIRECTMODE_DISPLAY_ENABLED),
                "NvAPI_DISP_EnumerateDirectModeDisplays(VENDOR_ID, &numDisplays, displays.data(), "
                "NV_ENUM_DIRECTMODE_DISPLAY_ENABLED)",
                81)) {
    return kExitFatal;
  }
  // The first record, whatever count the filling call reported.
  d.display = d.displays[0];
  std::printf("using displayId 0x%x\n", d.display.displayId);
  return kContinue;
}

int ChooseMode(Discovery& d, std::int32_t requestedMode, bool forceDsc) {
  std::uint32_t modeCount = 0;
  if (!StatusOk(NvAPI_D3D_DirectModeGetDisplayModes(&d.display, &modeCount, nullptr,
                                                    NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED),
                "NvAPI_D3D_DirectModeGetDisplayModes(&display, &modeCount, nullptr, "
                "NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED)",
                88)) {
    return kExitFatal;
  }
  DirectModeDisplayMode blank = {};
  blank.version = kDisplayModeVersion;
  d.modes.assign(modeCount, blank);
  if (!StatusOk(NvAPI_D3D_DirectModeGetDisplayModes(&d.display, &modeCount, d.modes.data(),
                                                    NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED),
                "NvAPI_D3D_DirectModeGetDisplayModes(&display, &modeCount, modes.data(), "
                "NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED)",
                92)) {
    return kExitFatal;
  }
  // A driver that reports more modes than the array holds is walked only as
  // far as the array goes.
  const std::uint32_t count =
      modeCount < d.modes.size() ? modeCount : static_cast<std::uint32_t>(d.modes.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    const DirectModeDisplayMode& m = d.modes[i];
    std::printf("mode[%u]: %ux%u @ %.3f Hz format=%d dscMode=%d dscVer=%d slices=%d bppx16=%u\n", i,
                m.width, m.height, RefreshRateHz(m), static_cast<int>(m.format),
                static_cast<int>(m.dscMode), static_cast<int>(m.dscVer), static_cast<int>(m.slices),
                m.bppx16);
  }
  const int chosen = ChooseModeIndex(d.modes.data(), count, requestedMode);
  if (chosen < 0) {
    std::printf("RESULT: no usable mode\n");
    return kExitNoDisplay;
  }
  d.chosenMode = d.modes[static_cast<std::size_t>(chosen)];
  d.chosenRefreshHz = RefreshRateHz(d.chosenMode);
  std::printf("using mode[%d]: %ux%u @ %.3f Hz\n", chosen, d.chosenMode.width, d.chosenMode.height,
              d.chosenRefreshHz);
  if (forceDsc) {
    ForceDsc(d.chosenMode);
    std::printf("forcing DSC 1.1, 4 slices, 8 bpp\n");
  }
  return kContinue;
}

int FindAdapter(Discovery& d) {
  PhysicalGpuHandle gpu = nullptr;
  if (!StatusOk(NvAPI_SYS_GetPhysicalGpuFromDisplayId(d.display.displayId, &gpu),
                "NvAPI_SYS_GetPhysicalGpuFromDisplayId(display.displayId, &gpu)", 124)) {
    return kExitFatal;
  }
  if (!StatusOk(NvAPI_D3D_GetIDXGIAdapter(gpu, d.adapter.Put()),
                "NvAPI_D3D_GetIDXGIAdapter(gpu, adapter.GetAddressOf())", 126)) {
    return kExitFatal;
  }
  return kContinue;
}
