// The contract with the GPU driver's API library: statuses, records and the
// constants the program passes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The signed 32-bit result of every driver operation.
using DriverStatus = std::int32_t;

constexpr DriverStatus kDriverOk = 0;
constexpr DriverStatus kDriverHdcpDisabled = -208;
// Produced by the driver interface itself.
constexpr DriverStatus kDriverEntryMissing = -1;
constexpr DriverStatus kDriverNotLoaded = -2;
constexpr DriverStatus kDriverNoEntryPoint = -3;

constexpr std::uint32_t VENDOR_ID = 9993;  // 0x2709
constexpr std::uint32_t NV_ENUM_DIRECTMODE_DISPLAY_ENABLED = 1;
constexpr std::uint32_t NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED = 0;
constexpr std::uint32_t kDisplayModeVersion = 0x00020030;  // size 48, version 2
constexpr std::uint32_t kDisplayPowerOn = 0;
constexpr std::uint32_t kDisplayPowerOff = 1;

// Opaque to the driver's callers but for the id; passed back as received.
struct DirectModeDisplay {
  std::uint32_t displayId;
  std::uint8_t opaque[12];
};
static_assert(sizeof(DirectModeDisplay) == 16);
static_assert(offsetof(DirectModeDisplay, displayId) == 0);

struct DirectModeDisplayMode {
  std::uint32_t version;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t refreshNumerator;
  std::uint32_t refreshDenominator;
  std::uint32_t format;
  std::uint32_t opaque24;
  std::uint32_t opaque28;
  std::uint32_t dscMode;
  std::uint32_t dscVer;
  std::uint32_t slices;
  std::uint32_t bppx16;
};
static_assert(sizeof(DirectModeDisplayMode) == 48);
static_assert(offsetof(DirectModeDisplayMode, refreshNumerator) == 12);
static_assert(offsetof(DirectModeDisplayMode, format) == 20);
static_assert(offsetof(DirectModeDisplayMode, dscMode) == 32);
static_assert(offsetof(DirectModeDisplayMode, bppx16) == 44);

// An opaque driver handle to a physical GPU.
using PhysicalGpuHandle = void*;
