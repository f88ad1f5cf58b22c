// The device and what it creates directly: resources, descriptor heaps and
// render-target views.
#include <algorithm>
#include <new>

#include "sim/d3d12/gpu_formats.h"
#include "sim/d3d12/gpu_internal.h"
#include "sim/scenario.h"

namespace sim::gpu::detail {

namespace {

constexpr std::uint64_t kMaxBufferBytes = 1ull << 30;
constexpr std::uint64_t kMaxTextureBytes = 1ull << 31;
constexpr std::uint32_t kMaxTextureSize = 16384;
constexpr UINT kMaxDescriptors = 1u << 20;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool ValidNodeMask(UINT mask) { return mask == 0 || mask == 1; }

bool IsResourceIid(REFIID riid) {
  return riid == IUnknown::kIid || riid == ID3D12Object::kIid || riid == ID3D12DeviceChild::kIid ||
         riid == ID3D12Pageable::kIid || riid == ID3D12Resource::kIid;
}

// Hands a freshly made object to the program, or drops it when the program
// only asked whether it could be made (ppv null) or for an interface it lacks.
HRESULT Deliver(ObjectBase* object, REFIID riid, void** ppv) {
  if (!object->Supports(riid)) {
    delete object;
    return E_NOINTERFACE;
  }
  if (ppv == nullptr) {
    delete object;
    return S_FALSE;
  }
  *ppv = object->HandOut();
  return S_OK;
}

}  // namespace

HRESULT MakeStorage(const D3D12_RESOURCE_DESC& desc, D3D12_HEAP_TYPE heapType,
                    std::uint32_t initialState, std::shared_ptr<Storage>* out) {
  if (heapType != D3D12_HEAP_TYPE_DEFAULT && heapType != D3D12_HEAP_TYPE_UPLOAD &&
      heapType != D3D12_HEAP_TYPE_READBACK) {
    return E_INVALIDARG;
  }
  if (heapType == D3D12_HEAP_TYPE_UPLOAD && initialState != D3D12_RESOURCE_STATE_GENERIC_READ) {
    return E_INVALIDARG;
  }
  if (heapType == D3D12_HEAP_TYPE_READBACK && initialState != D3D12_RESOURCE_STATE_COPY_DEST) {
    return E_INVALIDARG;
  }
  if (desc.SampleDesc.Count != 1 || desc.SampleDesc.Quality != 0) return E_INVALIDARG;
  auto storage = std::make_shared<Storage>();
  storage->desc = desc;
  storage->heapType = heapType;
  std::uint64_t total = 0;
  if (desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
    if (desc.Width == 0 || desc.Height != 1 || desc.DepthOrArraySize != 1 || desc.MipLevels != 1 ||
        desc.Format != DXGI_FORMAT_UNKNOWN || desc.Layout != D3D12_TEXTURE_LAYOUT_ROW_MAJOR ||
        (desc.Alignment != 0 && desc.Alignment != 65536) ||
        (desc.Flags & D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET) != 0) {
      return E_INVALIDARG;
    }
    if (desc.Width > kMaxBufferBytes) return E_OUTOFMEMORY;
    total = desc.Width;
    storage->subresources.push_back(
        {0, static_cast<std::uint32_t>(desc.Width), 1, static_cast<std::uint32_t>(desc.Width)});
  } else if (desc.Dimension == D3D12_RESOURCE_DIMENSION_TEXTURE2D) {
    FormatInfo info = DescribeFormat(desc.Format);
    if (info.bytesPerPixel == 0 || heapType != D3D12_HEAP_TYPE_DEFAULT) return E_INVALIDARG;
    if (desc.Width == 0 || desc.Width > kMaxTextureSize || desc.Height == 0 ||
        desc.Height > kMaxTextureSize || desc.DepthOrArraySize == 0 ||
        desc.DepthOrArraySize > 2048 || desc.Layout != D3D12_TEXTURE_LAYOUT_UNKNOWN) {
      return E_INVALIDARG;
    }
    if (desc.Alignment != 0 && desc.Alignment != 4096 && desc.Alignment != 65536 &&
        desc.Alignment != 4194304) {
      return E_INVALIDARG;
    }
    auto width = static_cast<std::uint32_t>(desc.Width);
    std::uint32_t fullChain = 1;
    for (std::uint32_t size = std::max(width, desc.Height); size > 1; size >>= 1) ++fullChain;
    std::uint32_t mips = desc.MipLevels == 0 ? fullChain : desc.MipLevels;
    if (mips > fullChain) return E_INVALIDARG;
    storage->desc.MipLevels = static_cast<UINT16>(mips);
    storage->bytesPerPixel = info.bytesPerPixel;
    // Subresource index = mip + slice * mips, as the runtime numbers them.
    for (std::uint32_t slice = 0; slice < desc.DepthOrArraySize; ++slice) {
      for (std::uint32_t mip = 0; mip < mips; ++mip) {
        std::uint32_t w = std::max(1u, width >> mip);
        std::uint32_t h = std::max(1u, desc.Height >> mip);
        auto pitch = static_cast<std::uint32_t>(
            AlignUp(std::uint64_t{w} * info.bytesPerPixel, D3D12_TEXTURE_DATA_PITCH_ALIGNMENT));
        total = AlignUp(total, 512);
        storage->subresources.push_back({static_cast<std::size_t>(total), w, h, pitch});
        total += std::uint64_t{pitch} * h;
        if (total > kMaxTextureBytes) return E_OUTOFMEMORY;
      }
    }
  } else {
    return E_INVALIDARG;
  }
  try {
    storage->bytes.assign(static_cast<std::size_t>(total), 0);
    storage->states.assign(storage->subresources.size(), initialState);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  *out = std::move(storage);
  return S_OK;
}

// ---- Resource ----

Resource::Resource(Device* device, std::shared_ptr<Storage> storage)
    : ComObject(Kind::Resource), device_(device), storage_(std::move(storage)) {
  device_->AddInternal();
}

Resource::~Resource() {
  if (!Resetting()) device_->ReleaseInternal();
}

bool Resource::Supports(REFIID riid) const { return IsResourceIid(riid); }

HRESULT Resource::Map(UINT Subresource, const D3D12_RANGE* /*pReadRange*/, void** ppData) {
  if (ppData != nullptr) *ppData = nullptr;
  HRESULT hr = EnterCall(Method::ResourceMap, device_);
  if (FAILED(hr)) return hr;
  // Only upload and readback heaps have CPU-visible memory.
  if (storage_->heapType == D3D12_HEAP_TYPE_DEFAULT) return E_INVALIDARG;
  if (Subresource >= storage_->subresources.size()) return E_INVALIDARG;
  PumpAll();  // what the CPU reads reflects the work completed so far
  ++mapCount_;
  if (ppData != nullptr) {
    *ppData = storage_->bytes.data() + storage_->subresources[Subresource].offset;
  }
  return S_OK;
}

void Resource::Unmap(UINT Subresource, const D3D12_RANGE* /*pWrittenRange*/) {
  if (Subresource >= storage_->subresources.size() || mapCount_ == 0) {
    Validation(*this, "UNMAP_INVALIDSUBRESOURCE",
               "Unmap of subresource " + std::to_string(Subresource) + " that is not mapped");
    return;
  }
  --mapCount_;
}

D3D12_RESOURCE_DESC* Resource::GetDesc(D3D12_RESOURCE_DESC* ret) {
  *ret = storage_->desc;
  return ret;
}

// ---- DescriptorHeap ----

DescriptorHeap::DescriptorHeap(Device* device, const D3D12_DESCRIPTOR_HEAP_DESC& desc)
    : ComObject(Kind::Heap), device_(device), desc_(desc), slots_(desc.NumDescriptors) {
  device_->AddInternal();
  Heaps().push_back(this);
}

DescriptorHeap::~DescriptorHeap() {
  auto& heaps = Heaps();
  heaps.erase(std::remove(heaps.begin(), heaps.end(), this), heaps.end());
  if (!Resetting()) device_->ReleaseInternal();
}

bool DescriptorHeap::Supports(REFIID riid) const {
  return riid == IUnknown::kIid || riid == ID3D12Object::kIid || riid == ID3D12DeviceChild::kIid ||
         riid == ID3D12Pageable::kIid || riid == ID3D12DescriptorHeap::kIid;
}

D3D12_CPU_DESCRIPTOR_HANDLE* DescriptorHeap::GetCPUDescriptorHandleForHeapStart(
    D3D12_CPU_DESCRIPTOR_HANDLE* ret) {
  ret->ptr = reinterpret_cast<SIZE_T>(slots_.data());
  return ret;
}

RtvSlot* DescriptorHeap::Decode(SIZE_T ptr) {
  auto base = reinterpret_cast<SIZE_T>(slots_.data());
  if (ptr < base) return nullptr;
  SIZE_T offset = ptr - base;
  if (offset % kDescriptorIncrement != 0 || offset / kDescriptorIncrement >= slots_.size()) {
    return nullptr;
  }
  return &slots_[offset / kDescriptorIncrement];
}

RtvSlot* DecodeRtv(SIZE_T ptr) {
  for (DescriptorHeap* heap : Heaps()) {
    if (heap->desc().Type != D3D12_DESCRIPTOR_HEAP_TYPE_RTV) continue;
    if (RtvSlot* slot = heap->Decode(ptr)) return slot;
  }
  return nullptr;
}

// ---- Device ----

Device::Device(Adapter* adapter) : ComObject(Kind::Device), adapter_(adapter) {
  if (adapter_ != nullptr) adapter_->AddInternal();
}

Device::~Device() {
  if (adapter_ != nullptr && !Resetting()) adapter_->ReleaseInternal();
}

bool Device::Supports(REFIID riid) const {
  return riid == IUnknown::kIid || riid == ID3D12Object::kIid || riid == ID3D12Device::kIid;
}

void Device::CountSubmission() {
  ++submissions_;
  std::uint32_t limit = CurrentScenario().gpu.deviceRemovedAfter;
  if (limit != 0 && submissions_ >= limit) removed_ = true;
}

HRESULT Device::CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* pDesc, REFIID riid,
                                   void** ppCommandQueue) {
  if (ppCommandQueue != nullptr) *ppCommandQueue = nullptr;
  HRESULT hr = EnterCall(Method::CreateCommandQueue, this);
  if (FAILED(hr)) return hr;
  if (pDesc == nullptr) return E_INVALIDARG;
  if (pDesc->Type != D3D12_COMMAND_LIST_TYPE_DIRECT &&
      pDesc->Type != D3D12_COMMAND_LIST_TYPE_COMPUTE &&
      pDesc->Type != D3D12_COMMAND_LIST_TYPE_COPY) {
    return E_INVALIDARG;
  }
  if (pDesc->Priority != 0 && pDesc->Priority != 100 && pDesc->Priority != 10000) {
    return E_INVALIDARG;
  }
  if ((static_cast<unsigned>(pDesc->Flags) & ~1u) != 0 || !ValidNodeMask(pDesc->NodeMask)) {
    return E_INVALIDARG;
  }
  return Deliver(new CommandQueue(this, *pDesc), riid, ppCommandQueue);
}

HRESULT Device::CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type, REFIID riid,
                                       void** ppCommandAllocator) {
  if (ppCommandAllocator != nullptr) *ppCommandAllocator = nullptr;
  HRESULT hr = EnterCall(Method::CreateCommandAllocator, this);
  if (FAILED(hr)) return hr;
  if (static_cast<unsigned>(type) > D3D12_COMMAND_LIST_TYPE_COPY) return E_INVALIDARG;
  return Deliver(new CommandAllocator(this, type), riid, ppCommandAllocator);
}

HRESULT Device::CreateCommandList(UINT nodeMask, D3D12_COMMAND_LIST_TYPE type,
                                  ID3D12CommandAllocator* pCommandAllocator,
                                  ID3D12PipelineState* pInitialState, REFIID riid,
                                  void** ppCommandList) {
  if (ppCommandList != nullptr) *ppCommandList = nullptr;
  HRESULT hr = EnterCall(Method::CreateCommandList, this);
  if (FAILED(hr)) return hr;
  auto* allocator = Find<CommandAllocator>(pCommandAllocator, Kind::Allocator);
  if (allocator == nullptr || !ValidNodeMask(nodeMask) || allocator->type() != type) {
    return E_INVALIDARG;
  }
  // This runtime has no pipeline states: anything but null is not one of its objects.
  if (pInitialState != nullptr) return E_INVALIDARG;
  // An allocator serves one recording list at a time.
  if (allocator->recordingLists > 0) return E_INVALIDARG;
  return Deliver(new CommandList(this, type, allocator), riid, ppCommandList);
}

HRESULT Device::CreateDescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC* pDesc, REFIID riid,
                                     void** ppvHeap) {
  if (ppvHeap != nullptr) *ppvHeap = nullptr;
  HRESULT hr = EnterCall(Method::CreateDescriptorHeap, this);
  if (FAILED(hr)) return hr;
  if (pDesc == nullptr || static_cast<unsigned>(pDesc->Type) > D3D12_DESCRIPTOR_HEAP_TYPE_DSV ||
      pDesc->NumDescriptors == 0 || !ValidNodeMask(pDesc->NodeMask) ||
      (static_cast<unsigned>(pDesc->Flags) & ~1u) != 0) {
    return E_INVALIDARG;
  }
  bool cpuOnlyType = pDesc->Type == D3D12_DESCRIPTOR_HEAP_TYPE_RTV ||
                     pDesc->Type == D3D12_DESCRIPTOR_HEAP_TYPE_DSV;
  if (cpuOnlyType && (pDesc->Flags & D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE) != 0) {
    return E_INVALIDARG;
  }
  if (pDesc->NumDescriptors > kMaxDescriptors) return E_OUTOFMEMORY;
  return Deliver(new DescriptorHeap(this, *pDesc), riid, ppvHeap);
}

UINT Device::GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE type) {
  return static_cast<unsigned>(type) <= D3D12_DESCRIPTOR_HEAP_TYPE_DSV ? kDescriptorIncrement : 0;
}

void Device::CreateRenderTargetView(ID3D12Resource* pResource,
                                    const D3D12_RENDER_TARGET_VIEW_DESC* pDesc,
                                    D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) {
  RtvSlot* slot = DecodeRtv(DestDescriptor.ptr);
  if (slot == nullptr) {
    Validation(*this, "INVALID_DESCRIPTOR_HANDLE",
               "CreateRenderTargetView: the destination is not a descriptor of a live RTV heap");
    return;
  }
  *slot = RtvSlot{};
  slot->written = true;
  if (pResource == nullptr) {
    // A null view: clears through it do nothing.
    if (pDesc == nullptr) {
      Validation(*this, "CREATERENDERTARGETVIEW_INVALIDDESC",
                 "CreateRenderTargetView: a null resource needs a view description");
    }
    return;
  }
  auto* resource = Find<Resource>(pResource, Kind::Resource);
  if (resource == nullptr) {
    Validation(*this, "CREATERENDERTARGETVIEW_INVALIDRESOURCE",
               "CreateRenderTargetView: the resource is not a live object of this runtime");
    return;
  }
  const Storage& storage = resource->storage();
  if (storage.IsBuffer() || (storage.desc.Flags & D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET) == 0) {
    Validation(*resource, "CREATERENDERTARGETVIEW_INVALIDRESOURCE",
               "CreateRenderTargetView: the resource is not a render-target texture");
    return;
  }
  std::uint32_t format = static_cast<std::uint32_t>(storage.desc.Format);
  std::uint32_t mip = 0;
  if (pDesc != nullptr) {
    if (pDesc->ViewDimension != D3D12_RTV_DIMENSION_TEXTURE2D ||
        pDesc->Texture2D.MipSlice >= storage.desc.MipLevels || pDesc->Texture2D.PlaneSlice != 0) {
      Validation(*resource, "CREATERENDERTARGETVIEW_INVALIDDESC",
                 "CreateRenderTargetView: the view description does not fit the resource");
      return;
    }
    if (pDesc->Format != DXGI_FORMAT_UNKNOWN) format = static_cast<std::uint32_t>(pDesc->Format);
    mip = pDesc->Texture2D.MipSlice;
  }
  FormatInfo info = DescribeFormat(format);
  if (info.typeless || info.encoding == Encoding::None ||
      !FormatsCompatible(format, static_cast<std::uint32_t>(storage.desc.Format))) {
    Validation(*resource, "CREATERENDERTARGETVIEW_INVALIDFORMAT",
               "CreateRenderTargetView: format " + std::to_string(format) +
                   " is not a typed render-target format of resource format " +
                   std::to_string(static_cast<std::uint32_t>(storage.desc.Format)));
    return;
  }
  slot->resource = resource;
  slot->resourceSerial = resource->serial();
  slot->format = format;
  slot->subresource = mip;
  slot->valid = true;
}

HRESULT Device::CreateCommittedResource(const D3D12_HEAP_PROPERTIES* pHeapProperties,
                                        D3D12_HEAP_FLAGS /*HeapFlags*/,
                                        const D3D12_RESOURCE_DESC* pDesc,
                                        D3D12_RESOURCE_STATES InitialResourceState,
                                        const D3D12_CLEAR_VALUE* pOptimizedClearValue,
                                        REFIID riidResource, void** ppvResource) {
  if (ppvResource != nullptr) *ppvResource = nullptr;
  HRESULT hr = EnterCall(Method::CreateCommittedResource, this);
  if (FAILED(hr)) return hr;
  if (pHeapProperties == nullptr || pDesc == nullptr) return E_INVALIDARG;
  if (pOptimizedClearValue != nullptr && pDesc->Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
    return E_INVALIDARG;
  }
  std::shared_ptr<Storage> storage;
  hr = MakeStorage(*pDesc, pHeapProperties->Type, static_cast<std::uint32_t>(InitialResourceState),
                   &storage);
  if (FAILED(hr)) return hr;
  if (!IsResourceIid(riidResource)) return E_NOINTERFACE;
  if (ppvResource == nullptr) return S_FALSE;
  *ppvResource = (new Resource(this, std::move(storage)))->HandOut();
  return S_OK;
}

HRESULT Device::OpenSharedHandle(HANDLE NTHandle, REFIID riid, void** ppvObj) {
  if (ppvObj != nullptr) *ppvObj = nullptr;
  HRESULT hr = EnterCall(Method::OpenSharedHandle, this);
  if (FAILED(hr)) return hr;
  const SharedSurface* surface = FindSharedSurface(NTHandle);
  if (surface == nullptr || surface->deviceSerial != serial()) return E_INVALIDARG;
  if (!IsResourceIid(riid)) return E_NOINTERFACE;
  if (ppvObj == nullptr) return E_POINTER;
  *ppvObj = (new Resource(this, surface->storage))->HandOut();
  return S_OK;
}

HRESULT Device::CreateFence(UINT64 InitialValue, D3D12_FENCE_FLAGS Flags, REFIID riid,
                            void** ppFence) {
  if (ppFence != nullptr) *ppFence = nullptr;
  HRESULT hr = EnterCall(Method::CreateFence, this);
  if (FAILED(hr)) return hr;
  if ((static_cast<unsigned>(Flags) & ~7u) != 0) return E_INVALIDARG;
  return Deliver(new Fence(this, InitialValue), riid, ppFence);
}

}  // namespace sim::gpu::detail
