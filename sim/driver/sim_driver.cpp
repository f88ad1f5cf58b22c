// The driver library's export, nvapi_QueryInterface, and the entry points it
// hands out: each applies the scenario's forced statuses around the display
// model and records the call in the trace.
#include "sim/driver/sim_driver.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "sim/driver/driver_state.h"
#include "sim/trace.h"

// The caller's record types, by name only: the entry points must have exactly
// the types the caller calls them through, while the records themselves are
// read and written by byte offset, never through a layout of the caller's.
struct DirectModeDisplay;
struct DirectModeDisplayMode;

namespace sim::driver {
namespace {

constexpr std::uint32_t kInitializeId = 0x0150E828u;
constexpr std::uint32_t kEnterHookId = 0x33C7358Cu;
constexpr std::uint32_t kLeaveHookId = 0x593E8644u;

struct OpInfo {
  const char* name;
  std::uint32_t id;
};

constexpr std::array<OpInfo, kOpCount> kOps = {{
    {"Initialize", kInitializeId},
    {"EnableDirectMode", 0x1AC2B1E7u},
    {"NvAPI_DISP_EnumerateDirectModeDisplays", 0x602F60D8u},
    {"NvAPI_D3D_DirectModeGetDisplayModes", 0x79C3FE22u},
    {"NvAPI_SYS_GetPhysicalGpuFromDisplayId", 0x9EA74659u},
    {"NvAPI_D3D_GetIDXGIAdapter", 0xB7FBDBFAu},
    {"AcquireDirectModeDisplay", 0xC4E4EFDAu},
    {"CreateSurface", 0x86BDB518u},
    {"SetDisplayMode", 0x56DF9D51u},
    {"DisplayControl", 0x2EEBACCCu},
    {"GetPresentWaitableObject", 0xA3F1F373u},
    {"Present12", 0x5ED18DC4u},
    {"ReleaseDirectModeDisplay", 0x2523CAB6u},
}};

constexpr std::size_t Index(Op op) { return static_cast<std::size_t>(op); }

DriverState g_state;
bool g_built = false;

DriverState Build(const DriverScenario& scenario) {
  DriverState s;
  s.scenario = scenario;
  s.forced[Index(Op::Initialize)] = scenario.initializeStatus;
  for (std::size_t i = 1; i < kOpCount; ++i) {
    const auto found = scenario.statuses.find(kOps[i].name);
    if (found != scenario.statuses.end()) s.forced[i] = found->second;
  }
  for (const DisplaySpec& spec : scenario.displays) {
    DisplayState d;
    d.spec = spec;
    s.displays.push_back(std::move(d));
  }
  return s;
}

// Forced statuses: 0 and -208 come after the operation acted, any other
// status instead of it. An operation before a successful initialise is
// refused, as the real library refuses it.
template <class Act>
std::int32_t Run(Op op, Act&& act) {
  DriverState& s = State();
  const std::uint64_t call = ++s.calls[Index(op)];
  const std::optional<ForcedStatus>& forced = s.forced[Index(op)];
  const bool forcing = forced.has_value() && forced->window.Covers(call);
  if (forcing && forced->status != kStatusOk && forced->status != kStatusHdcpDisabled) {
    return forced->status;
  }
  std::int32_t status = kStatusRefused;
  if (op == Op::Initialize || s.initialized) status = std::forward<Act>(act)(s);
  return forcing ? forced->status : status;
}

std::int32_t Traced(Op op, std::int32_t status) {
  if (TraceEnabled()) TraceEmit("driver", {{"op", OpName(op)}, {"status", status}});
  return status;
}

// The entry points, with exactly the arguments of the driver's contract:
// numbers unsigned 32-bit, pointers and handles 64-bit, a signed 32-bit status.

std::int32_t Initialize() {
  return Traced(Op::Initialize,
                Run(Op::Initialize, [](DriverState& s) { return model::Initialize(s); }));
}

std::int32_t EnableDirectMode(std::uint32_t vendor, std::uint32_t flags) {
  return Traced(Op::EnableDirectMode, Run(Op::EnableDirectMode, [&](DriverState& s) {
                  return model::EnableDirectMode(s, vendor, flags);
                }));
}

std::int32_t EnumerateDirectModeDisplays(std::uint32_t vendor, std::uint32_t* count,
                                         DirectModeDisplay* records, std::uint32_t kind) {
  constexpr Op op = Op::EnumerateDirectModeDisplays;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::EnumerateDirectModeDisplays(s, vendor, count, records, kind);
                }));
}

std::int32_t DirectModeGetDisplayModes(DirectModeDisplay* display, std::uint32_t* count,
                                       DirectModeDisplayMode* records, std::uint32_t flags) {
  constexpr Op op = Op::DirectModeGetDisplayModes;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::DirectModeGetDisplayModes(s, display, count, records, flags);
                }));
}

std::int32_t GetPhysicalGpuFromDisplayId(std::uint32_t displayId, void** gpu) {
  constexpr Op op = Op::GetPhysicalGpuFromDisplayId;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::GetPhysicalGpuFromDisplayId(s, displayId, gpu);
                }));
}

std::int32_t GetIDXGIAdapter(void* gpu, IDXGIAdapter** adapter) {
  constexpr Op op = Op::GetIDXGIAdapter;
  return Traced(op,
                Run(op, [&](DriverState& s) { return model::GetIDXGIAdapter(s, gpu, adapter); }));
}

std::int32_t AcquireDirectModeDisplay(std::uint32_t vendor, ID3D12Device* device,
                                      DirectModeDisplay* display) {
  constexpr Op op = Op::AcquireDirectModeDisplay;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::AcquireDirectModeDisplay(s, vendor, device, display);
                }));
}

std::int32_t CreateSurface(DirectModeDisplay* display, DirectModeDisplayMode* mode,
                           std::uint32_t* surfaceId, HANDLE* shared) {
  constexpr Op op = Op::CreateSurface;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::CreateSurface(s, display, mode, surfaceId, shared);
                }));
}

std::int32_t SetDisplayMode(DirectModeDisplay* display, DirectModeDisplayMode* mode) {
  constexpr Op op = Op::SetDisplayMode;
  return Traced(op,
                Run(op, [&](DriverState& s) { return model::SetDisplayMode(s, display, mode); }));
}

std::int32_t DisplayControl(DirectModeDisplay* display, std::uint32_t command) {
  constexpr Op op = Op::DisplayControl;
  return Traced(
      op, Run(op, [&](DriverState& s) { return model::DisplayControl(s, display, command); }));
}

std::int32_t GetPresentWaitableObject(DirectModeDisplay* display, HANDLE* waitable) {
  constexpr Op op = Op::GetPresentWaitableObject;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::GetPresentWaitableObject(s, display, waitable);
                }));
}

std::int32_t Present12(DirectModeDisplay* display, std::uint32_t surfaceId, std::uint32_t flags,
                       ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list) {
  constexpr Op op = Op::Present12;
  // Every call is a frame, shown or not, so frame numbers match the caller's passes.
  const std::uint64_t frame = State().presentCalls++;
  const std::int32_t status = Run(op, [&](DriverState& s) {
    return model::Present12(s, display, surfaceId, flags, queue, list, frame);
  });
  if (TraceEnabled()) {
    TraceEmit("present", {{"frame", frame}, {"surfaceId", surfaceId}, {"status", status}});
  }
  return Traced(op, status);
}

std::int32_t ReleaseDirectModeDisplay(std::uint32_t vendor, DirectModeDisplay* display) {
  constexpr Op op = Op::ReleaseDirectModeDisplay;
  return Traced(op, Run(op, [&](DriverState& s) {
                  return model::ReleaseDirectModeDisplay(s, vendor, display);
                }));
}

// The hooks around every call the caller makes through the interface; they
// return nothing, their callers expect nothing.
void EnterHook(std::uint32_t id, std::uint64_t* context) {
  const std::uint64_t value = ++State().hookContexts;
  if (context != nullptr) *context = value;
  if (TraceEnabled()) {
    TraceEmit("hook", {{"which", "enter"}, {"id", TraceHex(id)}, {"context", value}});
  }
}

void LeaveHook(std::uint32_t id, std::uint64_t context, std::int32_t status) {
  if (TraceEnabled()) {
    TraceEmit("hook",
              {{"which", "leave"}, {"id", TraceHex(id)}, {"context", context}, {"status", status}});
  }
}

template <class F>
void* EntryAddress(F* function) {
  return reinterpret_cast<void*>(function);
}

// In the order of Op, as kOps.
void* EntryOf(Op op) {
  static void* const kEntries[kOpCount] = {
      EntryAddress(&Initialize),
      EntryAddress(&EnableDirectMode),
      EntryAddress(&EnumerateDirectModeDisplays),
      EntryAddress(&DirectModeGetDisplayModes),
      EntryAddress(&GetPhysicalGpuFromDisplayId),
      EntryAddress(&GetIDXGIAdapter),
      EntryAddress(&AcquireDirectModeDisplay),
      EntryAddress(&CreateSurface),
      EntryAddress(&SetDisplayMode),
      EntryAddress(&DisplayControl),
      EntryAddress(&GetPresentWaitableObject),
      EntryAddress(&Present12),
      EntryAddress(&ReleaseDirectModeDisplay),
  };
  return kEntries[Index(op)];
}

void* EntryFor(std::uint32_t id) {
  for (std::size_t i = 0; i < kOpCount; ++i) {
    if (kOps[i].id == id) return EntryOf(static_cast<Op>(i));
  }
  return nullptr;
}

void* HookFor(const DriverScenario& scenario, std::uint32_t id) {
  using Hooks = DriverScenario::Hooks;
  const bool enter = scenario.hooks == Hooks::Both || scenario.hooks == Hooks::Enter;
  const bool leave = scenario.hooks == Hooks::Both || scenario.hooks == Hooks::Leave;
  if (id == kEnterHookId && enter) return EntryAddress(&EnterHook);
  if (id == kLeaveHookId && leave) return EntryAddress(&LeaveHook);
  return nullptr;
}

void* QueryInterface(std::uint32_t id) {
  const DriverScenario& scenario = State().scenario;
  const std::vector<std::uint32_t>& missing = scenario.missingFunctionIds;
  void* entry = nullptr;
  if (std::find(missing.begin(), missing.end(), id) == missing.end()) {
    entry = (id == kEnterHookId || id == kLeaveHookId) ? HookFor(scenario, id) : EntryFor(id);
  }
  if (TraceEnabled()) {
    TraceEmit("nvapi_QueryInterface", {{"id", TraceHex(id)}, {"found", entry != nullptr}});
  }
  return entry;
}

}  // namespace

const char* OpName(Op op) { return kOps[Index(op)].name; }

bool IsKnownOperation(const std::string& name) {
  for (const OpInfo& op : kOps) {
    if (op.id != kInitializeId && name == op.name) return true;
  }
  return false;
}
std::uint32_t OpFunctionId(Op op) { return kOps[Index(op)].id; }

DriverState& State() {
  if (!g_built) {
    g_state = Build(CurrentScenario().driver);
    g_built = true;
  }
  return g_state;
}

// Through void(*)(), the one function type a cast to any other is sanctioned
// from, as GetProcAddress's callers cast back.
FARPROC QueryInterfaceExport() {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&QueryInterface));
}

void ReportHeld() {
  if (!g_built || !TraceEnabled()) return;
  for (const DisplayState& d : g_state.displays) {
    if (d.acquired) TraceEmit("held", {{"kind", "display"}, {"what", TraceHex(d.spec.displayId)}});
  }
}

void Reset() {
  g_state = DriverState{};
  g_built = false;
}

}  // namespace sim::driver
