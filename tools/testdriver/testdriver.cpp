// nvapi64.dll for testing dmcheck on Windows or Wine without a direct-mode
// display: answers the program's function IDs with a small configurable driver
// (nvapi64.cfg beside the DLL) and logs every call to nvapi64.log beside it.
//
// Records are read and written by byte offset, independently of the program's
// declarations, so that a layout fault in the program shows here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <d3d12.h>
#include <dxgi.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/testdriver/config.h"

namespace {

using testdriver::Config;
using testdriver::DisplaySpec;
using testdriver::ModeSpec;

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kHdcpDisabled = -208;
constexpr std::int32_t kRefused = -1;

constexpr std::uint32_t kModeVersion = 0x00020030;
constexpr std::size_t kDisplayRecordSize = 16;
constexpr std::size_t kModeRecordSize = 48;

// Byte offsets of the mode record's fields.
enum ModeOffset : std::size_t {
  kVersion = 0,
  kWidth = 4,
  kHeight = 8,
  kRefreshNumerator = 12,
  kRefreshDenominator = 16,
  kFormat = 20,
  kDscMode = 32,
  kDscVer = 36,
  kSlices = 40,
  kBppx16 = 44,
};

std::uint32_t ReadU32(const void* record, std::size_t offset) {
  std::uint32_t v = 0;
  std::memcpy(&v, static_cast<const unsigned char*>(record) + offset, sizeof v);
  return v;
}

void WriteU32(void* record, std::size_t offset, std::uint32_t v) {
  std::memcpy(static_cast<unsigned char*>(record) + offset, &v, sizeof v);
}

struct Surface {
  std::uint32_t id = 0;
  ID3D12Resource* texture = nullptr;
  HANDLE shared = nullptr;
};

struct DisplayState {
  bool acquired = false;
  bool modeSet = false;
  bool poweredOn = false;
  ID3D12Device* device = nullptr;  // referenced while acquired
  HANDLE waitable = nullptr;
  std::vector<Surface> surfaces;
};

struct Driver {
  CRITICAL_SECTION lock;
  HMODULE module = nullptr;
  bool configLoaded = false;
  std::string configError;
  Config config;
  std::vector<DisplayState> states;
  std::uint32_t nextSurfaceId = 1;
  std::uint64_t nextContext = 0x1000;
  std::FILE* log = nullptr;
  int gpuToken = 0;  // its address is the one physical GPU handle
};

Driver* g_driver = nullptr;

// Path of a file beside the DLL.
std::wstring BesideModule(const wchar_t* fileName) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetModuleFileNameW(g_driver->module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return fileName;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return path + fileName;
}

void Log(const char* fmt, ...) {
  if (g_driver->log == nullptr) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(g_driver->log, fmt, args);
  va_end(args);
  std::fputc('\n', g_driver->log);
  std::fflush(g_driver->log);
}

// Reads nvapi64.cfg once; a missing file means the default driver.
void LoadConfig() {
  if (g_driver->configLoaded) return;
  g_driver->configLoaded = true;
  g_driver->log = _wfopen(BesideModule(L"nvapi64.log").c_str(), L"a");

  std::FILE* f = _wfopen(BesideModule(L"nvapi64.cfg").c_str(), L"rb");
  if (f == nullptr) {
    g_driver->config = testdriver::DefaultConfig();
    Log("config: none, default driver");
  } else {
    std::string text;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    if (auto err = testdriver::ParseConfig(text, g_driver->config)) {
      g_driver->configError = "nvapi64.cfg " + *err;
      Log("config: %s", g_driver->configError.c_str());
      // A test that sets the driver up wrongly must not pass by accident.
      std::fprintf(stderr, "testdriver: %s\n", g_driver->configError.c_str());
    } else {
      Log("config: %u display(s)", static_cast<unsigned>(g_driver->config.displays.size()));
    }
  }
  g_driver->states.assign(g_driver->config.displays.size(), DisplayState{});
}

struct Lock {
  Lock() { EnterCriticalSection(&g_driver->lock); }
  ~Lock() { LeaveCriticalSection(&g_driver->lock); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

// A forced status from the config: 0 and -208 are returned after the
// operation acted, anything else instead of it.
struct Forced {
  bool present = false;
  std::int32_t status = 0;
  bool SkipsAction() const { return present && status != kOk && status != kHdcpDisabled; }
  std::int32_t After(std::int32_t own) const { return (present && own == kOk) ? status : own; }
};

Forced ForcedStatus(const char* op) {
  Forced f;
  auto it = g_driver->config.statuses.find(op);
  if (it != g_driver->config.statuses.end()) {
    f.present = true;
    f.status = it->second;
  }
  return f;
}

// Index of the display named by a record, or -1.
int FindDisplay(const void* record) {
  if (record == nullptr) return -1;
  const std::uint32_t id = ReadU32(record, 0);
  for (std::size_t i = 0; i < g_driver->config.displays.size(); ++i) {
    if (g_driver->config.displays[i].displayId == id) return static_cast<int>(i);
  }
  return -1;
}

void DescribeMode(const void* m, char* out, std::size_t size) {
  std::snprintf(out, size, "%ux%u %u/%u format=%u dsc=%u,%u,%u,%u", ReadU32(m, kWidth),
                ReadU32(m, kHeight), ReadU32(m, kRefreshNumerator), ReadU32(m, kRefreshDenominator),
                ReadU32(m, kFormat), ReadU32(m, kDscMode), ReadU32(m, kDscVer), ReadU32(m, kSlices),
                ReadU32(m, kBppx16));
}

// Whether a mode record names one of the display's modes (DSC fields aside)
// and carries DSC settings that a DSC-capable panel accepts.
const char* CheckMode(const DisplaySpec& d, const void* m) {
  if (ReadU32(m, kVersion) != kModeVersion) return "mode record version";
  bool known = false;
  for (const ModeSpec& s : d.modes) {
    known = known || (s.width == ReadU32(m, kWidth) && s.height == ReadU32(m, kHeight) &&
                      s.refreshNumerator == ReadU32(m, kRefreshNumerator) &&
                      s.refreshDenominator == ReadU32(m, kRefreshDenominator) &&
                      s.format == ReadU32(m, kFormat));
  }
  if (!known) return "not a mode of this display";
  if (ReadU32(m, kDscMode) == 1) {
    const std::uint32_t slices = ReadU32(m, kSlices);
    const std::uint32_t ver = ReadU32(m, kDscVer);
    const std::uint32_t bpp = ReadU32(m, kBppx16);
    if (slices == 0 || ReadU32(m, kWidth) % slices != 0) return "DSC slices";
    if (ver != 17 && ver != 18) return "DSC version";
    if (bpp < 96 || bpp > 384) return "DSC bits per pixel";
  }
  return nullptr;
}

// ---- entry points -------------------------------------------------------

std::int32_t Initialize() {
  Lock lock;
  LoadConfig();
  std::int32_t status = g_driver->configError.empty() ? kOk : kRefused;
  const Forced f = ForcedStatus("Initialize");
  if (f.present) status = f.status;
  Log("Initialize -> %d", status);
  return status;
}

std::int32_t EnterHook(std::uint32_t id, std::uint64_t* context) {
  Lock lock;
  const std::uint64_t before = context ? *context : 0;
  if (context) *context = ++g_driver->nextContext;
  Log("hook enter id=0x%08X context=%llu -> %llu", id, static_cast<unsigned long long>(before),
      static_cast<unsigned long long>(g_driver->nextContext));
  return kOk;
}

std::int32_t LeaveHook(std::uint32_t id, std::uint64_t context, std::int32_t status) {
  Lock lock;
  Log("hook leave id=0x%08X context=%llu status=%d", id, static_cast<unsigned long long>(context),
      status);
  return kOk;
}

std::int32_t EnableDirectMode(std::uint32_t vendor, std::uint32_t flags) {
  Lock lock;
  const Forced f = ForcedStatus("EnableDirectMode");
  std::int32_t s = kOk;
  if (f.SkipsAction()) {
    s = f.status;
  } else {
    s = f.After(vendor == g_driver->config.vendor ? kOk : kRefused);
  }
  Log("EnableDirectMode vendor=%u flags=%u -> %d", vendor, flags, s);
  return s;
}

std::int32_t EnumerateDirectModeDisplays(std::uint32_t vendor, std::uint32_t* count, void* records,
                                         std::uint32_t kind) {
  Lock lock;
  const Forced f = ForcedStatus("NvAPI_DISP_EnumerateDirectModeDisplays");
  std::int32_t s = kOk;
  const std::uint32_t in = count ? *count : 0;
  if (f.SkipsAction()) {
    s = f.status;
  } else if (count == nullptr) {
    s = kRefused;
  } else {
    const auto& displays = g_driver->config.displays;
    const std::uint32_t have =
        vendor == g_driver->config.vendor ? static_cast<std::uint32_t>(displays.size()) : 0;
    if (records == nullptr) {
      *count = have;
    } else {
      const std::uint32_t n = in < have ? in : have;
      for (std::uint32_t i = 0; i < n; ++i) {
        unsigned char* r = static_cast<unsigned char*>(records) + i * kDisplayRecordSize;
        std::memset(r, 0, kDisplayRecordSize);
        WriteU32(r, 0, displays[i].displayId);
      }
      *count = n;
    }
    s = f.After(kOk);
  }
  Log("EnumerateDirectModeDisplays vendor=%u count=%u->%u records=%s kind=%u -> %d", vendor, in,
      count ? *count : 0, records ? "yes" : "null", kind, s);
  return s;
}

std::int32_t DirectModeGetDisplayModes(void* display, std::uint32_t* count, void* records,
                                       std::uint32_t flags) {
  Lock lock;
  const Forced f = ForcedStatus("NvAPI_D3D_DirectModeGetDisplayModes");
  const int d = FindDisplay(display);
  const std::uint32_t in = count ? *count : 0;
  std::int32_t s = kOk;
  const char* why = "";
  if (f.SkipsAction()) {
    s = f.status;
  } else if (d < 0 || count == nullptr) {
    s = kRefused;
    why = d < 0 ? " (unknown display)" : " (no count)";
  } else {
    const auto& modes = g_driver->config.displays[static_cast<std::size_t>(d)].modes;
    const std::uint32_t have = static_cast<std::uint32_t>(modes.size());
    if (records == nullptr) {
      *count = have;
    } else {
      const std::uint32_t n = in < have ? in : have;
      for (std::uint32_t i = 0; i < n && s == kOk; ++i) {
        if (ReadU32(static_cast<unsigned char*>(records) + i * kModeRecordSize, kVersion) !=
            kModeVersion) {
          s = kRefused;
          why = " (mode record version)";
        }
      }
      for (std::uint32_t i = 0; i < n && s == kOk; ++i) {
        unsigned char* r = static_cast<unsigned char*>(records) + i * kModeRecordSize;
        const ModeSpec& m = modes[i];
        WriteU32(r, kWidth, m.width);
        WriteU32(r, kHeight, m.height);
        WriteU32(r, kRefreshNumerator, m.refreshNumerator);
        WriteU32(r, kRefreshDenominator, m.refreshDenominator);
        WriteU32(r, kFormat, m.format);
        WriteU32(r, kDscMode, m.dscMode);
        WriteU32(r, kDscVer, m.dscVer);
        WriteU32(r, kSlices, m.slices);
        WriteU32(r, kBppx16, m.bppx16);
      }
      if (s == kOk) *count = n;
    }
    s = f.After(s);
  }
  Log("DirectModeGetDisplayModes display=0x%08X count=%u->%u records=%s flags=%u -> %d%s",
      display ? ReadU32(display, 0) : 0, in, count ? *count : 0, records ? "yes" : "null", flags, s,
      why);
  return s;
}

std::int32_t GetPhysicalGpuFromDisplayId(std::uint32_t displayId, void** gpu) {
  Lock lock;
  const Forced f = ForcedStatus("NvAPI_SYS_GetPhysicalGpuFromDisplayId");
  std::int32_t s = kOk;
  if (f.SkipsAction()) {
    s = f.status;
  } else {
    bool known = false;
    for (const DisplaySpec& d : g_driver->config.displays)
      known = known || d.displayId == displayId;
    if (!known || gpu == nullptr) {
      s = kRefused;
    } else {
      *gpu = &g_driver->gpuToken;
      s = f.After(kOk);
    }
  }
  Log("GetPhysicalGpuFromDisplayId display=0x%08X -> %d", displayId, s);
  return s;
}

std::int32_t GetIDXGIAdapter(void* gpu, IDXGIAdapter** adapter) {
  Lock lock;
  const Forced f = ForcedStatus("NvAPI_D3D_GetIDXGIAdapter");
  std::int32_t s = kOk;
  HRESULT hr = S_OK;
  char name[128] = "";
  if (f.SkipsAction()) {
    s = f.status;
  } else if (gpu != &g_driver->gpuToken || adapter == nullptr) {
    s = kRefused;
  } else {
    // The GPU's adapter is the first one DXGI lists: on Wine the one adapter
    // that vkd3d runs on.
    IDXGIFactory1* factory = nullptr;
    hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory));
    IDXGIAdapter* a = nullptr;
    if (SUCCEEDED(hr)) {
      hr = factory->EnumAdapters(0, &a);
      factory->Release();
    }
    if (FAILED(hr)) {
      s = kRefused;
    } else {
      DXGI_ADAPTER_DESC desc;
      if (SUCCEEDED(a->GetDesc(&desc))) {
        WideCharToMultiByte(CP_UTF8, 0, desc.Description, -1, name, sizeof name, nullptr, nullptr);
      }
      *adapter = a;
      s = f.After(kOk);
    }
  }
  Log("GetIDXGIAdapter hr=0x%08lX adapter=\"%s\" -> %d", static_cast<unsigned long>(hr), name, s);
  return s;
}

std::int32_t AcquireDirectModeDisplay(std::uint32_t vendor, ID3D12Device* device, void* display) {
  Lock lock;
  const Forced f = ForcedStatus("AcquireDirectModeDisplay");
  const int d = FindDisplay(display);
  std::int32_t s = kOk;
  const char* why = "";
  if (f.SkipsAction()) {
    s = f.status;
  } else if (vendor != g_driver->config.vendor || device == nullptr || d < 0) {
    s = kRefused;
    why = d < 0 ? " (unknown display)" : " (vendor or device)";
  } else if (g_driver->states[static_cast<std::size_t>(d)].acquired) {
    s = kRefused;
    why = " (already acquired)";
  } else {
    DisplayState& st = g_driver->states[static_cast<std::size_t>(d)];
    st.acquired = true;
    st.device = device;
    device->AddRef();
    s = f.After(kOk);
  }
  Log("AcquireDirectModeDisplay vendor=%u device=%s display=0x%08X -> %d%s", vendor,
      device ? "yes" : "null", display ? ReadU32(display, 0) : 0, s, why);
  return s;
}

std::int32_t CreateSurface(void* display, void* mode, std::uint32_t* surfaceId, HANDLE* handle) {
  Lock lock;
  const Forced f = ForcedStatus("CreateSurface");
  const int d = FindDisplay(display);
  char desc[160] = "(null)";
  if (mode) DescribeMode(mode, desc, sizeof desc);
  std::int32_t s = kOk;
  const char* why = "";
  HRESULT createHr = S_OK;
  HRESULT shareHr = S_OK;
  if (f.SkipsAction()) {
    s = f.status;
  } else if (d < 0 || mode == nullptr || surfaceId == nullptr || handle == nullptr) {
    s = kRefused;
    why = " (bad arguments)";
  } else if (!g_driver->states[static_cast<std::size_t>(d)].acquired) {
    s = kRefused;
    why = " (display not acquired)";
  } else if (const char* bad =
                 CheckMode(g_driver->config.displays[static_cast<std::size_t>(d)], mode)) {
    s = kRefused;
    why = bad;
  } else {
    DisplayState& st = g_driver->states[static_cast<std::size_t>(d)];
    D3D12_HEAP_PROPERTIES hp = {};
    hp.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC rd = {};
    rd.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    rd.Width = ReadU32(mode, kWidth);
    rd.Height = ReadU32(mode, kHeight);
    rd.DepthOrArraySize = 1;
    rd.MipLevels = 1;
    rd.Format = static_cast<DXGI_FORMAT>(g_driver->config.surfaceFormat);
    rd.SampleDesc.Count = 1;
    rd.Layout = D3D12_TEXTURE_LAYOUT_UNKNOWN;
    rd.Flags = D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET;
    Surface surface;
    createHr = st.device->CreateCommittedResource(
        &hp, D3D12_HEAP_FLAG_SHARED, &rd, D3D12_RESOURCE_STATE_COMMON, nullptr,
        __uuidof(ID3D12Resource), reinterpret_cast<void**>(&surface.texture));
    if (FAILED(createHr)) {
      s = kRefused;
      why = " (texture not created)";
    } else {
      shareHr = st.device->CreateSharedHandle(surface.texture, nullptr, GENERIC_ALL, nullptr,
                                              &surface.shared);
      if (FAILED(shareHr)) {
        // Wine's Direct3D 12 cannot share resources (E_NOTIMPL). The surface
        // still exists and the program gets a real, never-closed handle that
        // is not a resource's, so that its own OpenSharedHandle call decides
        // what happens next, as it would with a driver whose handle the
        // runtime cannot open.
        surface.shared = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      }
      surface.id = g_driver->nextSurfaceId++;
      st.surfaces.push_back(surface);
      *surfaceId = surface.id;
      *handle = surface.shared;
      s = f.After(kOk);
    }
  }
  Log("CreateSurface display=0x%08X mode=%s -> %d%s texture=0x%08lX share=0x%08lX id=%u",
      display ? ReadU32(display, 0) : 0, desc, s, why, static_cast<unsigned long>(createHr),
      static_cast<unsigned long>(shareHr),
      (s == kOk || s == kHdcpDisabled) && surfaceId ? *surfaceId : 0);
  return s;
}

std::int32_t SetDisplayMode(void* display, void* mode) {
  Lock lock;
  const Forced f = ForcedStatus("SetDisplayMode");
  const int d = FindDisplay(display);
  char desc[160] = "(null)";
  if (mode) DescribeMode(mode, desc, sizeof desc);
  std::int32_t s = kOk;
  const char* why = "";
  if (f.SkipsAction()) {
    s = f.status;
  } else if (d < 0 || mode == nullptr) {
    s = kRefused;
    why = " (bad arguments)";
  } else if (!g_driver->states[static_cast<std::size_t>(d)].acquired) {
    s = kRefused;
    why = " (display not acquired)";
  } else if (const char* bad =
                 CheckMode(g_driver->config.displays[static_cast<std::size_t>(d)], mode)) {
    s = kRefused;
    why = bad;
  } else {
    g_driver->states[static_cast<std::size_t>(d)].modeSet = true;
    s = f.After(kOk);
  }
  Log("SetDisplayMode display=0x%08X mode=%s -> %d%s", display ? ReadU32(display, 0) : 0, desc, s,
      why);
  return s;
}

std::int32_t DisplayControl(void* display, std::uint32_t command) {
  Lock lock;
  const Forced f = ForcedStatus("DisplayControl");
  const int d = FindDisplay(display);
  std::int32_t s = kOk;
  if (f.SkipsAction()) {
    s = f.status;
  } else if (d < 0 || command > 1 || !g_driver->states[static_cast<std::size_t>(d)].acquired) {
    s = kRefused;
  } else {
    g_driver->states[static_cast<std::size_t>(d)].poweredOn = command == 0;
    s = f.After(kOk);
  }
  Log("DisplayControl display=0x%08X command=%u -> %d", display ? ReadU32(display, 0) : 0, command,
      s);
  return s;
}

std::int32_t GetPresentWaitableObject(void* display, HANDLE* out) {
  Lock lock;
  const Forced f = ForcedStatus("GetPresentWaitableObject");
  const int d = FindDisplay(display);
  std::int32_t s = kOk;
  if (f.SkipsAction()) {
    s = f.status;
  } else if (d < 0 || out == nullptr || !g_driver->states[static_cast<std::size_t>(d)].acquired) {
    s = kRefused;
  } else {
    DisplayState& st = g_driver->states[static_cast<std::size_t>(d)];
    if (st.waitable == nullptr) st.waitable = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    *out = st.waitable;
    s = f.After(st.waitable ? kOk : kRefused);
  }
  Log("GetPresentWaitableObject display=0x%08X -> %d", display ? ReadU32(display, 0) : 0, s);
  return s;
}

std::int32_t Present12(void* display, std::uint32_t surfaceId, std::uint32_t flags,
                       ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list) {
  Lock lock;
  const Forced f = ForcedStatus("Present12");
  const int d = FindDisplay(display);
  std::int32_t s = kOk;
  const char* why = "";
  if (f.SkipsAction()) {
    s = f.status;
  } else if (d < 0 || queue == nullptr || list == nullptr) {
    s = kRefused;
    why = " (bad arguments)";
  } else {
    DisplayState& st = g_driver->states[static_cast<std::size_t>(d)];
    bool known = false;
    for (const Surface& sf : st.surfaces) known = known || sf.id == surfaceId;
    if (!st.acquired || !st.modeSet) {
      s = kRefused;
      why = " (mode not set)";
    } else if (!known) {
      s = kRefused;
      why = " (unknown surface)";
    } else {
      if (st.waitable) SetEvent(st.waitable);
      s = f.After(kOk);
    }
  }
  Log("Present12 display=0x%08X surface=%u flags=%u -> %d%s", display ? ReadU32(display, 0) : 0,
      surfaceId, flags, s, why);
  return s;
}

std::int32_t ReleaseDirectModeDisplay(std::uint32_t vendor, void* display) {
  Lock lock;
  const Forced f = ForcedStatus("ReleaseDirectModeDisplay");
  const int d = FindDisplay(display);
  std::int32_t s = kOk;
  if (f.SkipsAction()) {
    s = f.status;
  } else if (vendor != g_driver->config.vendor || d < 0 ||
             !g_driver->states[static_cast<std::size_t>(d)].acquired) {
    s = kRefused;
  } else {
    DisplayState& st = g_driver->states[static_cast<std::size_t>(d)];
    for (Surface& sf : st.surfaces) {
      if (sf.texture) sf.texture->Release();
    }
    st.surfaces.clear();
    st.device->Release();
    st.device = nullptr;
    st.acquired = false;
    st.modeSet = false;
    s = f.After(kOk);
  }
  Log("ReleaseDirectModeDisplay vendor=%u display=0x%08X -> %d", vendor,
      display ? ReadU32(display, 0) : 0, s);
  return s;
}

struct Entry {
  std::uint32_t id;
  const char* name;
  void* function;
};

const Entry kEntries[] = {
    {0x0150E828, "Initialize", reinterpret_cast<void*>(&Initialize)},
    {0x33C7358C, "enter hook", reinterpret_cast<void*>(&EnterHook)},
    {0x593E8644, "leave hook", reinterpret_cast<void*>(&LeaveHook)},
    {0x1AC2B1E7, "EnableDirectMode", reinterpret_cast<void*>(&EnableDirectMode)},
    {0x602F60D8, "NvAPI_DISP_EnumerateDirectModeDisplays",
     reinterpret_cast<void*>(&EnumerateDirectModeDisplays)},
    {0x79C3FE22, "NvAPI_D3D_DirectModeGetDisplayModes",
     reinterpret_cast<void*>(&DirectModeGetDisplayModes)},
    {0x9EA74659, "NvAPI_SYS_GetPhysicalGpuFromDisplayId",
     reinterpret_cast<void*>(&GetPhysicalGpuFromDisplayId)},
    {0xB7FBDBFA, "NvAPI_D3D_GetIDXGIAdapter", reinterpret_cast<void*>(&GetIDXGIAdapter)},
    {0xC4E4EFDA, "AcquireDirectModeDisplay", reinterpret_cast<void*>(&AcquireDirectModeDisplay)},
    {0x86BDB518, "CreateSurface", reinterpret_cast<void*>(&CreateSurface)},
    {0x56DF9D51, "SetDisplayMode", reinterpret_cast<void*>(&SetDisplayMode)},
    {0x2EEBACCC, "DisplayControl", reinterpret_cast<void*>(&DisplayControl)},
    {0xA3F1F373, "GetPresentWaitableObject", reinterpret_cast<void*>(&GetPresentWaitableObject)},
    {0x5ED18DC4, "Present12", reinterpret_cast<void*>(&Present12)},
    {0x2523CAB6, "ReleaseDirectModeDisplay", reinterpret_cast<void*>(&ReleaseDirectModeDisplay)},
};

}  // namespace

extern "C" void* nvapi_QueryInterface(std::uint32_t id) {
  Lock lock;
  LoadConfig();
  const Config& c = g_driver->config;
  void* found = nullptr;
  const char* name = "unknown";
  for (const Entry& e : kEntries) {
    if (e.id == id) {
      found = e.function;
      name = e.name;
    }
  }
  const bool hookOff =
      (id == 0x33C7358C &&
       (c.hooks == testdriver::Hooks::kNone || c.hooks == testdriver::Hooks::kLeave)) ||
      (id == 0x593E8644 &&
       (c.hooks == testdriver::Hooks::kNone || c.hooks == testdriver::Hooks::kEnter));
  for (std::uint32_t missing : c.missingIds) {
    if (missing == id) found = nullptr;
  }
  if (hookOff) found = nullptr;
  Log("QueryInterface 0x%08X %s -> %s", id, name, found ? "found" : "null");
  return found;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Kept for the life of the process: a program that frees the library
    // (after a failed initialise) gets a fresh driver on the next load.
    g_driver = new Driver;
    g_driver->module = instance;
    InitializeCriticalSection(&g_driver->lock);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_driver->log != nullptr) {
    // FreeLibrary, not process exit: the next load appends to the same log.
    std::fclose(g_driver->log);
    g_driver->log = nullptr;
  }
  return TRUE;
}
