// Shared set-up for the simulated driver's unit tests: a virtual-time machine,
// the entry points fetched through the library's export, and hand-built byte
// records laid out as the driver contract says (not through any declaration of
// the program's).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/clock.h"
#include "sim/driver/sim_driver.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace dmtest {

namespace id {
inline constexpr std::uint32_t kInitialize = 0x0150E828u;
inline constexpr std::uint32_t kEnterHook = 0x33C7358Cu;
inline constexpr std::uint32_t kLeaveHook = 0x593E8644u;
inline constexpr std::uint32_t kEnableDirectMode = 0x1AC2B1E7u;
inline constexpr std::uint32_t kEnumerate = 0x602F60D8u;
inline constexpr std::uint32_t kGetModes = 0x79C3FE22u;
inline constexpr std::uint32_t kGetGpu = 0x9EA74659u;
inline constexpr std::uint32_t kGetAdapter = 0xB7FBDBFAu;
inline constexpr std::uint32_t kAcquire = 0xC4E4EFDAu;
inline constexpr std::uint32_t kCreateSurface = 0x86BDB518u;
inline constexpr std::uint32_t kSetDisplayMode = 0x56DF9D51u;
inline constexpr std::uint32_t kDisplayControl = 0x2EEBACCCu;
inline constexpr std::uint32_t kGetWaitable = 0xA3F1F373u;
inline constexpr std::uint32_t kPresent12 = 0x5ED18DC4u;
inline constexpr std::uint32_t kRelease = 0x2523CAB6u;
}  // namespace id

using InitializeFn = std::int32_t (*)();
using EnableFn = std::int32_t (*)(std::uint32_t, std::uint32_t);
using EnumerateFn = std::int32_t (*)(std::uint32_t, std::uint32_t*, void*, std::uint32_t);
using GetModesFn = std::int32_t (*)(void*, std::uint32_t*, void*, std::uint32_t);
using GetGpuFn = std::int32_t (*)(std::uint32_t, void**);
using GetAdapterFn = std::int32_t (*)(void*, IDXGIAdapter**);
using AcquireFn = std::int32_t (*)(std::uint32_t, ID3D12Device*, void*);
using CreateSurfaceFn = std::int32_t (*)(void*, void*, std::uint32_t*, HANDLE*);
using SetModeFn = std::int32_t (*)(void*, void*);
using ControlFn = std::int32_t (*)(void*, std::uint32_t);
using WaitableFn = std::int32_t (*)(void*, HANDLE*);
using PresentFn = std::int32_t (*)(void*, std::uint32_t, std::uint32_t, ID3D12CommandQueue*,
                                   ID3D12GraphicsCommandList*);
using ReleaseFn = std::int32_t (*)(std::uint32_t, void*);
using EnterHookFn = void (*)(std::uint32_t, std::uint64_t*);
using LeaveHookFn = void (*)(std::uint32_t, std::uint64_t, std::int32_t);

inline constexpr std::uint32_t kVendor = 9993;
inline constexpr std::uint32_t kModeVersion = 0x00020030u;

inline void* Query(std::uint32_t functionId) {
  using QueryFn = void* (*)(std::uint32_t);
  const auto query =
      reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(sim::driver::QueryInterfaceExport()));
  return query(functionId);
}

template <class Fn>
Fn Entry(std::uint32_t functionId) {
  void* entry = Query(functionId);
  EXPECT_NE(entry, nullptr) << std::hex << functionId;
  return reinterpret_cast<Fn>(entry);
}

inline std::uint32_t Get32(const unsigned char* bytes, std::size_t offset) {
  std::uint32_t v = 0;
  std::memcpy(&v, bytes + offset, 4);
  return v;
}
inline void Put32(unsigned char* bytes, std::size_t offset, std::uint32_t v) {
  std::memcpy(bytes + offset, &v, 4);
}

struct DisplayRecord {
  std::array<unsigned char, 16> bytes{};
  explicit DisplayRecord(std::uint32_t displayId = 0x80061001u) {
    Put32(bytes.data(), 0, displayId);
  }
  void* get() { return bytes.data(); }
};

struct ModeRecord {
  std::array<unsigned char, 48> bytes{};
  ModeRecord() { Put32(bytes.data(), 0, kModeVersion); }
  ModeRecord(std::uint32_t width, std::uint32_t height, std::uint32_t num, std::uint32_t den,
             std::uint32_t format)
      : ModeRecord() {
    Put32(bytes.data(), 4, width);
    Put32(bytes.data(), 8, height);
    Put32(bytes.data(), 12, num);
    Put32(bytes.data(), 16, den);
    Put32(bytes.data(), 20, format);
  }
  ModeRecord& Dsc(std::int32_t mode, std::int32_t ver, std::int32_t slices, std::uint32_t bpp) {
    Put32(bytes.data(), 32, static_cast<std::uint32_t>(mode));
    Put32(bytes.data(), 36, static_cast<std::uint32_t>(ver));
    Put32(bytes.data(), 40, static_cast<std::uint32_t>(slices));
    Put32(bytes.data(), 44, bpp);
    return *this;
  }
  ModeRecord& Version(std::uint32_t v) {
    Put32(bytes.data(), 0, v);
    return *this;
  }
  void* get() { return bytes.data(); }
};

inline sim::ModeSpec Mode(std::uint32_t w, std::uint32_t h, std::uint32_t num, std::uint32_t den,
                          std::uint32_t format = 22) {
  sim::ModeSpec m;
  m.width = w;
  m.height = h;
  m.refreshNumerator = num;
  m.refreshDenominator = den;
  m.format = format;
  return m;
}

inline sim::DisplaySpec Display(std::uint32_t displayId, std::vector<sim::ModeSpec> modes,
                                bool enabled = true) {
  sim::DisplaySpec d;
  d.displayId = displayId;
  d.enabled = enabled;
  d.modes = std::move(modes);
  return d;
}

// The device, queue and command list a caller of the driver works with.
struct GpuObjects {
  ID3D12Device* device = nullptr;
  ID3D12CommandQueue* queue = nullptr;
  ID3D12CommandAllocator* allocator = nullptr;
  ID3D12GraphicsCommandList* list = nullptr;

  GpuObjects() = default;
  GpuObjects(const GpuObjects&) = delete;
  GpuObjects& operator=(const GpuObjects&) = delete;
  ~GpuObjects() {
    if (list != nullptr) list->Release();
    if (allocator != nullptr) allocator->Release();
    if (queue != nullptr) queue->Release();
    if (device != nullptr) device->Release();
  }

  // On the adapter the driver hands out, with a list that is closed.
  void Create() {
    void* gpu = nullptr;
    ASSERT_EQ(Entry<GetGpuFn>(id::kGetGpu)(0x80061001u, &gpu), 0);
    IDXGIAdapter* adapter = nullptr;
    ASSERT_EQ(Entry<GetAdapterFn>(id::kGetAdapter)(gpu, &adapter), 0);
    const HRESULT created =
        D3D12CreateDevice(adapter, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device));
    adapter->Release();
    ASSERT_EQ(created, S_OK);
    D3D12_COMMAND_QUEUE_DESC qd{};
    qd.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
    ASSERT_EQ(device->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue)), S_OK);
    ASSERT_EQ(
        device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator)),
        S_OK);
    ASSERT_EQ(device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator, nullptr,
                                        IID_PPV_ARGS(&list)),
              S_OK);
    ASSERT_EQ(list->Close(), S_OK);
  }
};

class DriverTest : public ::testing::Test {
 protected:
  void Install(const sim::Scenario& scenario, sim::MachineOptions options = {}) {
    options.time = sim::TimeMode::Virtual;
    options.traceInMemory = true;
    sim::MachineInstall(scenario, options);
  }

  // The default machine: one display with 2160x1200 at 90, 120 and 72 Hz.
  void InstallDefault() { Install(sim::DefaultScenario()); }

  // Initialise and enable the vendor, as every run starts.
  void Start() {
    ASSERT_EQ(Entry<InitializeFn>(id::kInitialize)(), 0);
    ASSERT_EQ(Entry<EnableFn>(id::kEnableDirectMode)(kVendor, 0), 0);
  }

  static std::vector<nlohmann::json> Events(const std::string& call) {
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& e : sim::TraceEvents()) {
      if (e.value("call", "") == call) out.push_back(e);
    }
    return out;
  }

  static std::vector<std::int32_t> DriverStatuses(const std::string& op) {
    std::vector<std::int32_t> out;
    for (const nlohmann::json& e : Events("driver")) {
      if (e.at("op") == op) out.push_back(e.at("status").get<std::int32_t>());
    }
    return out;
  }
};

}  // namespace dmtest
