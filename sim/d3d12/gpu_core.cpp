// Object bookkeeping, forced failures, the adapter, device creation and what
// the rest of the machine asks of the runtime.
#include <algorithm>
#include <array>
#include <cstring>

#include "sim/clock.h"
#include "sim/d3d12/gpu_internal.h"
#include "sim/d3d12/sim_gpu.h"
#include "sim/kernel.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace sim::gpu {
namespace detail {

namespace {

struct MethodInfo {
  const char* iface;  // null for a free function
  const char* name;
};

constexpr std::array<MethodInfo, static_cast<std::size_t>(Method::Count)> kMethods = {{
    {nullptr, "D3D12CreateDevice"},
    {"ID3D12Device", "CreateCommandQueue"},
    {"ID3D12Device", "CreateCommandAllocator"},
    {"ID3D12Device", "CreateCommandList"},
    {"ID3D12Device", "CreateDescriptorHeap"},
    {"ID3D12Device", "CreateCommittedResource"},
    {"ID3D12Device", "OpenSharedHandle"},
    {"ID3D12Device", "CreateFence"},
    {"ID3D12CommandQueue", "Signal"},
    {"ID3D12CommandAllocator", "Reset"},
    {"ID3D12GraphicsCommandList", "Close"},
    {"ID3D12GraphicsCommandList", "Reset"},
    {"ID3D12Fence", "SetEventOnCompletion"},
    {"ID3D12Fence", "Signal"},
    {"ID3D12Resource", "Map"},
}};

// Compares "Interface::Method" without building a string: this runs on
// every call in the present loop.
bool Matches(const std::string& text, const MethodInfo& method) {
  if (method.iface == nullptr) return text == method.name;
  std::size_t li = std::strlen(method.iface);
  std::size_t ln = std::strlen(method.name);
  return text.size() == li + 2 + ln && text.compare(0, li, method.iface) == 0 &&
         text.compare(li, 2, "::") == 0 && text.compare(li + 2, ln, method.name) == 0;
}

struct NamedInterface {
  const char* name;
  IID iid;
};

// Every interface an object of this runtime can be called through.
const NamedInterface kInterfaces[] = {
    {"IUnknown", IUnknown::kIid},
    {"IDXGIObject", IDXGIObject::kIid},
    {"IDXGIAdapter", IDXGIAdapter::kIid},
    {"ID3D12Object", ID3D12Object::kIid},
    {"ID3D12DeviceChild", ID3D12DeviceChild::kIid},
    {"ID3D12Pageable", ID3D12Pageable::kIid},
    {"ID3D12Resource", ID3D12Resource::kIid},
    {"ID3D12CommandAllocator", ID3D12CommandAllocator::kIid},
    {"ID3D12Fence", ID3D12Fence::kIid},
    {"ID3D12PipelineState", ID3D12PipelineState::kIid},
    {"ID3D12DescriptorHeap", ID3D12DescriptorHeap::kIid},
    {"ID3D12CommandList", ID3D12CommandList::kIid},
    {"ID3D12GraphicsCommandList", ID3D12GraphicsCommandList::kIid},
    {"ID3D12CommandQueue", ID3D12CommandQueue::kIid},
    {"ID3D12Device", ID3D12Device::kIid},
};
constexpr std::size_t kInterfaceCount = sizeof kInterfaces / sizeof kInterfaces[0];

struct RuntimeState {
  std::vector<ObjectBase*> objects;  // live, in creation order
  std::vector<CommandQueue*> queues;
  std::vector<DescriptorHeap*> heaps;
  std::vector<SharedSurface> shared;
  std::array<std::uint32_t, kKindCount> handedOut{};
  std::array<std::uint64_t, static_cast<std::size_t>(Method::Count)> calls{};
  std::array<std::uint64_t, kInterfaceCount> queryCalls{};
  std::uint64_t nextSerial = 0;
  Adapter* adapter = nullptr;
  bool resetting = false;
};

RuntimeState& State() {
  static RuntimeState* state = new RuntimeState();  // outlives static destruction
  return *state;
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Adapter:
      return "IDXGIAdapter";
    case Kind::Device:
      return "ID3D12Device";
    case Kind::Queue:
      return "ID3D12CommandQueue";
    case Kind::Allocator:
      return "ID3D12CommandAllocator";
    case Kind::List:
      return "ID3D12GraphicsCommandList";
    case Kind::Fence:
      return "ID3D12Fence";
    case Kind::Heap:
      return "ID3D12DescriptorHeap";
    case Kind::Resource:
      return "ID3D12Resource";
  }
  return "IUnknown";
}

std::vector<CommandQueue*>& Queues() { return State().queues; }
std::vector<DescriptorHeap*>& Heaps() { return State().heaps; }
bool Resetting() { return State().resetting; }

ObjectBase::ObjectBase(Kind kind) : kind_(kind), serial_(++State().nextSerial) {
  State().objects.push_back(this);
}

ObjectBase::~ObjectBase() {
  auto& objects = State().objects;
  auto it = std::find(objects.begin(), objects.end(), this);
  if (it != objects.end()) objects.erase(it);
}

void ObjectBase::ReleaseInternal() {
  if (Resetting()) return;
  if (internalRefs_ > 0) --internalRefs_;
  DestroyIfUnused();
}

void ObjectBase::DestroyIfUnused() {
  if (programRefs_ == 0 && internalRefs_ == 0) delete this;
}

ULONG ObjectBase::ProgramAddRef() { return ++programRefs_; }

ULONG ObjectBase::ProgramRelease() {
  if (programRefs_ == 0) {
    // The real object would be freed already; here the call is only reported.
    RecordValidation((name_.empty() ? std::string(KindName(kind_)) : name_) +
                     ": Release called without a reference held by the program");
    if (TraceEnabled()) TraceEmit("Release", {{"object", name_}, {"refs", 0}});
    return 0;
  }
  ULONG refs = --programRefs_;
  if (TraceEnabled()) TraceEmit("Release", {{"object", name_}, {"refs", refs}});
  DestroyIfUnused();
  return refs;
}

HRESULT ObjectBase::ProgramQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  HRESULT hr = EnterQueryInterface(*this);
  if (FAILED(hr)) return hr;
  if (!Supports(riid)) return E_NOINTERFACE;
  *ppv = HandOut();
  return S_OK;
}

void* ObjectBase::HandOut() {
  if (name_.empty()) {
    auto& count = State().handedOut[static_cast<std::size_t>(kind_)];
    name_ = std::string(KindName(kind_)) + "#" + std::to_string(++count);
  }
  ++programRefs_;
  return InterfacePointer();
}

ObjectBase* FindObject(const void* p, Kind kind) {
  if (p == nullptr) return nullptr;
  for (ObjectBase* object : State().objects) {
    if (object->kind() == kind && object->InterfacePointer() == p) return object;
  }
  return nullptr;
}

HRESULT EnterCall(Method method, Device* device) {
  auto index = static_cast<std::size_t>(method);
  std::uint64_t number = ++State().calls[index];
  for (const GpuFailure& failure : CurrentScenario().gpu.failures) {
    if (failure.hresult < 0 && failure.window.Covers(number) &&
        Matches(failure.method, kMethods[index])) {
      return failure.hresult;
    }
  }
  if (device != nullptr && device->removed()) return DXGI_ERROR_DEVICE_REMOVED;
  return S_OK;
}

HRESULT EnterQueryInterface(ObjectBase& object) {
  HRESULT forced = S_OK;
  for (std::size_t i = 0; i < kInterfaceCount; ++i) {
    if (!object.Supports(kInterfaces[i].iid)) continue;
    std::uint64_t number = ++State().queryCalls[i];
    const MethodInfo method = {kInterfaces[i].name, "QueryInterface"};
    for (const GpuFailure& failure : CurrentScenario().gpu.failures) {
      if (SUCCEEDED(forced) && failure.hresult < 0 && failure.window.Covers(number) &&
          Matches(failure.method, method)) {
        forced = failure.hresult;
      }
    }
  }
  if (FAILED(forced)) return forced;
  Device* device = object.OwningDevice();
  if (device != nullptr && device->removed()) return DXGI_ERROR_DEVICE_REMOVED;
  return S_OK;
}

void Validation(const ObjectBase& object, const char* id, const std::string& text) {
  std::string who = object.name().empty() ? std::string(KindName(object.kind())) : object.name();
  RecordValidation(who + ": " + text + " [" + id + "]");
}

const SharedSurface* FindSharedSurface(HANDLE handle) {
  if (handle == nullptr) return nullptr;
  for (const SharedSurface& surface : State().shared) {
    if (surface.handle == handle) return &surface;
  }
  return nullptr;
}

Adapter::~Adapter() {
  if (State().adapter == this) State().adapter = nullptr;
}

bool Adapter::Supports(REFIID riid) const {
  return riid == IUnknown::kIid || riid == IDXGIObject::kIid || riid == IDXGIAdapter::kIid;
}

void PumpAll() {
  std::int64_t now = ClockPeekNs();
  auto& queues = State().queues;
  for (std::size_t i = 0; i < queues.size(); ++i) queues[i]->Advance(now);
  // Releasing may destroy a queue and shrink the list: walk it backwards.
  for (std::size_t i = queues.size(); i-- > 0;) {
    if (i < queues.size()) queues[i]->ReleaseSelfIfIdle();
  }
}

}  // namespace detail

using detail::State;

IDXGIAdapter* CreateAdapter() {
  detail::Adapter* adapter = State().adapter;
  if (adapter == nullptr) {
    adapter = new detail::Adapter();
    State().adapter = adapter;
  }
  return static_cast<IDXGIAdapter*>(adapter->HandOut());
}

bool IsDevice(ID3D12Device* device) {
  return detail::FindObject(device, detail::Kind::Device) != nullptr;
}
bool IsQueue(ID3D12CommandQueue* queue) {
  return detail::FindObject(queue, detail::Kind::Queue) != nullptr;
}
bool IsCommandList(ID3D12GraphicsCommandList* list) {
  return detail::FindObject(list, detail::Kind::List) != nullptr;
}

HANDLE CreateSharedSurface(ID3D12Device* device, std::uint32_t width, std::uint32_t height,
                           std::uint32_t format) {
  auto* dev = detail::Find<detail::Device>(device, detail::Kind::Device);
  if (dev == nullptr || dev->removed()) return nullptr;
  D3D12_RESOURCE_DESC desc{};
  desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
  desc.Width = width;
  desc.Height = height;
  desc.DepthOrArraySize = 1;
  desc.MipLevels = 1;
  desc.Format = static_cast<DXGI_FORMAT>(format);
  desc.SampleDesc = {1, 0};
  desc.Layout = D3D12_TEXTURE_LAYOUT_UNKNOWN;
  desc.Flags = D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET;
  std::shared_ptr<detail::Storage> storage;
  if (FAILED(detail::MakeStorage(desc, D3D12_HEAP_TYPE_DEFAULT, D3D12_RESOURCE_STATE_COMMON,
                                 &storage))) {
    return nullptr;
  }
  HANDLE handle = KernelCreateObjectHandle(storage.get(), "shared surface");
  if (handle == nullptr) return nullptr;
  State().shared.push_back({handle, dev->serial(), std::move(storage)});
  return handle;
}

bool LookUpSurface(HANDLE shared, SurfaceView* out) {
  detail::PumpAll();
  const detail::SharedSurface* surface = detail::FindSharedSurface(shared);
  if (surface == nullptr || out == nullptr) return false;
  const detail::Storage& storage = *surface->storage;
  const detail::Subresource& sub = storage.subresources[0];
  out->pixels = storage.bytes.data() + sub.offset;
  out->width = sub.width;
  out->height = sub.height;
  out->rowPitch = sub.rowPitch;
  out->format = static_cast<std::uint32_t>(storage.desc.Format);
  out->state = storage.states[0];
  return true;
}

std::int64_t QueueIdleAtNs(ID3D12CommandQueue* queue) {
  detail::PumpAll();
  auto* q = detail::Find<detail::CommandQueue>(queue, detail::Kind::Queue);
  if (q == nullptr) return ClockPeekNs();
  return q->idleAtNs();
}

bool IsKnownMethod(const std::string& method) {
  for (const detail::MethodInfo& info : detail::kMethods) {
    if (detail::Matches(method, info)) return true;
  }
  for (const detail::NamedInterface& iface : detail::kInterfaces) {
    if (detail::Matches(method, {iface.name, "QueryInterface"})) return true;
  }
  return false;
}

void ReportHeld() {
  if (!TraceEnabled()) return;
  for (detail::ObjectBase* object : State().objects) {
    if (object->programRefs() > 0) {
      TraceEmit("held", {{"kind", "interface"}, {"what", object->name()}});
    }
  }
}

void Reset() {
  auto& state = State();
  state.resetting = true;
  while (!state.objects.empty()) delete state.objects.back();
  state.resetting = false;
  state.queues.clear();
  state.heaps.clear();
  state.shared.clear();
  state.handedOut.fill(0);
  state.calls.fill(0);
  state.queryCalls.fill(0);
  state.adapter = nullptr;
}

}  // namespace sim::gpu

HRESULT WINAPI D3D12CreateDevice(IUnknown* pAdapter, D3D_FEATURE_LEVEL MinimumFeatureLevel,
                                 REFIID riid, void** ppDevice) {
  using namespace sim::gpu::detail;
  if (ppDevice != nullptr) *ppDevice = nullptr;
  HRESULT hr = EnterCall(Method::CreateDevice, nullptr);
  if (FAILED(hr)) return hr;
  Adapter* adapter = nullptr;
  if (pAdapter != nullptr) {
    adapter = Find<Adapter>(pAdapter, Kind::Adapter);
    if (adapter == nullptr) return E_INVALIDARG;
  }
  switch (static_cast<unsigned>(MinimumFeatureLevel)) {
    case 0x9100:
    case 0x9200:
    case 0x9300:
    case 0xa000:
    case 0xa100:
    case 0xb000:
    case 0xb100:
    case 0xc000:
    case 0xc100:
      break;
    default:
      return E_INVALIDARG;
  }
  if (!(riid == IUnknown::kIid || riid == ID3D12Object::kIid || riid == ID3D12Device::kIid)) {
    return E_NOINTERFACE;
  }
  if (ppDevice == nullptr) return S_FALSE;  // the device could be created
  auto* device = new Device(adapter);
  *ppDevice = device->HandOut();
  return S_OK;
}
