// The software Direct3D 12 runtime's own objects. Every object counts the
// program's references apart from the runtime's internal ones (a list holds its
// allocator, a resource its device, work in flight what it touches), so that
// the trace and the end-of-run accounting see only what the program holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim::gpu::detail {

enum class Kind : std::uint8_t { Adapter, Device, Queue, Allocator, List, Fence, Heap, Resource };
constexpr int kKindCount = 8;
const char* KindName(Kind kind);

class ObjectBase {
 public:
  explicit ObjectBase(Kind kind);
  ObjectBase(const ObjectBase&) = delete;
  ObjectBase& operator=(const ObjectBase&) = delete;
  virtual ~ObjectBase();

  virtual void* InterfacePointer() = 0;
  virtual bool Supports(REFIID riid) const = 0;
  // The device whose removal makes this object's calls fail (null: none).
  virtual class Device* OwningDevice() { return nullptr; }

  void AddInternal() { ++internalRefs_; }
  void ReleaseInternal();

  ULONG ProgramAddRef();
  ULONG ProgramRelease();
  HRESULT ProgramQueryInterface(REFIID riid, void** ppv);

  // Gives the program its first reference and the object its trace name.
  void* HandOut();

  Kind kind() const { return kind_; }
  std::uint64_t serial() const { return serial_; }
  const std::string& name() const { return name_; }
  std::uint32_t programRefs() const { return programRefs_; }

 private:
  void DestroyIfUnused();

  Kind kind_;
  std::uint64_t serial_;
  std::string name_;
  std::uint32_t programRefs_ = 0;
  std::uint32_t internalRefs_ = 0;
};

template <class I>
class ComObject : public I, public ObjectBase {
 public:
  explicit ComObject(Kind kind) : ObjectBase(kind) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return ProgramQueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ProgramAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ProgramRelease(); }
  void* InterfacePointer() override { return static_cast<I*>(this); }
};

// Finds a live object of kind whose interface pointer is p; null otherwise.
ObjectBase* FindObject(const void* p, Kind kind);
template <class T>
T* Find(const void* p, Kind kind) {
  return static_cast<T*>(FindObject(p, kind));
}

// ---- calls that return an HRESULT: forced failures and device removal ----

enum class Method : std::uint8_t {
  CreateDevice,
  CreateCommandQueue,
  CreateCommandAllocator,
  CreateCommandList,
  CreateDescriptorHeap,
  CreateCommittedResource,
  OpenSharedHandle,
  CreateFence,
  QueueSignal,
  AllocatorReset,
  ListClose,
  ListReset,
  FenceSetEventOnCompletion,
  FenceSignal,
  ResourceMap,
  Count
};

// Counts the call; returns the forced failure or the device-removed result
// for it, or S_OK when the call may go ahead.
HRESULT EnterCall(Method method, class Device* device);
// The same for QueryInterface on object: the program may call it through any
// interface the object has, so "ID3D12Object::QueryInterface" counts calls on
// every object that is an ID3D12Object.
HRESULT EnterQueryInterface(ObjectBase& object);

// Validation error "OBJECT: TEXT [ID]".
void Validation(const ObjectBase& object, const char* id, const std::string& text);

// ---- resources ----

struct Subresource {
  std::size_t offset = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t rowPitch = 0;
};

// The memory behind one or more resource objects (a shared surface opened
// twice is one storage), with the tracked state of every subresource.
struct Storage {
  D3D12_RESOURCE_DESC desc{};
  D3D12_HEAP_TYPE heapType = D3D12_HEAP_TYPE_DEFAULT;
  std::uint32_t bytesPerPixel = 0;  // 0 for buffers
  std::vector<std::uint8_t> bytes;
  std::vector<Subresource> subresources;
  std::vector<std::uint32_t> states;
  bool IsBuffer() const { return desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER; }
};

// Checks desc as the runtime does and makes its storage (desc's MipLevels 0
// is filled in with the full chain).
HRESULT MakeStorage(const D3D12_RESOURCE_DESC& desc, D3D12_HEAP_TYPE heapType,
                    std::uint32_t initialState, std::shared_ptr<Storage>* out);

class Device;

class Resource final : public ComObject<ID3D12Resource> {
 public:
  Resource(Device* device, std::shared_ptr<Storage> storage);
  ~Resource() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return device_; }

  HRESULT STDMETHODCALLTYPE Map(UINT Subresource, const D3D12_RANGE* pReadRange,
                                void** ppData) override;
  void STDMETHODCALLTYPE Unmap(UINT Subresource, const D3D12_RANGE* pWrittenRange) override;
  D3D12_RESOURCE_DESC* STDMETHODCALLTYPE GetDesc(D3D12_RESOURCE_DESC* ret) override;
  using ID3D12Resource::GetDesc;

  Storage& storage() { return *storage_; }

 private:
  Device* device_;
  std::shared_ptr<Storage> storage_;
  std::uint32_t mapCount_ = 0;
};

// ---- descriptors ----

constexpr UINT kDescriptorIncrement = 32;

struct alignas(32) RtvSlot {
  Resource* resource = nullptr;  // not a reference: a descriptor holds none
  std::uint64_t resourceSerial = 0;
  std::uint32_t format = 0;
  std::uint32_t subresource = 0;
  bool written = false;
  bool valid = false;  // a usable view (false for a null or rejected view)
};
static_assert(sizeof(RtvSlot) == kDescriptorIncrement, "one slot per handle increment");

class DescriptorHeap final : public ComObject<ID3D12DescriptorHeap> {
 public:
  DescriptorHeap(Device* device, const D3D12_DESCRIPTOR_HEAP_DESC& desc);
  ~DescriptorHeap() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return device_; }

  D3D12_CPU_DESCRIPTOR_HANDLE* STDMETHODCALLTYPE
  GetCPUDescriptorHandleForHeapStart(D3D12_CPU_DESCRIPTOR_HANDLE* ret) override;
  using ID3D12DescriptorHeap::GetCPUDescriptorHandleForHeapStart;

  const D3D12_DESCRIPTOR_HEAP_DESC& desc() const { return desc_; }
  // The slot a handle points at, or null.
  RtvSlot* Decode(SIZE_T ptr);

 private:
  Device* device_;
  D3D12_DESCRIPTOR_HEAP_DESC desc_;
  std::vector<RtvSlot> slots_;
};

// Finds the RTV slot behind a CPU descriptor handle in any live heap.
RtvSlot* DecodeRtv(SIZE_T ptr);

// ---- the adapter and the device ----

class Adapter final : public ComObject<IDXGIAdapter> {
 public:
  Adapter() : ComObject(Kind::Adapter) {}
  ~Adapter() override;
  bool Supports(REFIID riid) const override;
};

class Device final : public ComObject<ID3D12Device> {
 public:
  explicit Device(Adapter* adapter);
  ~Device() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return this; }

  HRESULT STDMETHODCALLTYPE CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* pDesc, REFIID riid,
                                               void** ppCommandQueue) override;
  HRESULT STDMETHODCALLTYPE CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type, REFIID riid,
                                                   void** ppCommandAllocator) override;
  HRESULT STDMETHODCALLTYPE CreateCommandList(UINT nodeMask, D3D12_COMMAND_LIST_TYPE type,
                                              ID3D12CommandAllocator* pCommandAllocator,
                                              ID3D12PipelineState* pInitialState, REFIID riid,
                                              void** ppCommandList) override;
  HRESULT STDMETHODCALLTYPE CreateDescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC* pDesc,
                                                 REFIID riid, void** ppvHeap) override;
  UINT STDMETHODCALLTYPE GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE type) override;
  void STDMETHODCALLTYPE
  CreateRenderTargetView(ID3D12Resource* pResource, const D3D12_RENDER_TARGET_VIEW_DESC* pDesc,
                         D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) override;
  HRESULT STDMETHODCALLTYPE CreateCommittedResource(const D3D12_HEAP_PROPERTIES* pHeapProperties,
                                                    D3D12_HEAP_FLAGS HeapFlags,
                                                    const D3D12_RESOURCE_DESC* pDesc,
                                                    D3D12_RESOURCE_STATES InitialResourceState,
                                                    const D3D12_CLEAR_VALUE* pOptimizedClearValue,
                                                    REFIID riidResource,
                                                    void** ppvResource) override;
  HRESULT STDMETHODCALLTYPE OpenSharedHandle(HANDLE NTHandle, REFIID riid, void** ppvObj) override;
  HRESULT STDMETHODCALLTYPE CreateFence(UINT64 InitialValue, D3D12_FENCE_FLAGS Flags, REFIID riid,
                                        void** ppFence) override;

  bool removed() const { return removed_; }
  // Counts one ExecuteCommandLists; the device is removed once the scenario's
  // number of submissions has been made.
  void CountSubmission();

 private:
  Adapter* adapter_;
  std::uint64_t submissions_ = 0;
  bool removed_ = false;
};

// ---- commands ----

enum class Op : std::uint8_t { Barrier, Clear, Copy, AllocatorDone };

struct CopyLocation {
  bool footprint = false;
  std::uint32_t subresource = 0;
  D3D12_PLACED_SUBRESOURCE_FOOTPRINT placed{};
};

struct Command {
  Op op = Op::Barrier;
  Resource* resource = nullptr;  // barrier, clear and copy destination
  Resource* source = nullptr;    // copy source
  class CommandAllocator* allocator = nullptr;
  std::uint32_t subresource = 0;  // barrier (or all), clear's view
  std::uint32_t before = 0;
  std::uint32_t after = 0;
  std::uint32_t format = 0;  // clear's view format
  float color[4] = {};
  std::uint32_t rectBegin = 0;
  std::uint32_t rectCount = 0;
  std::uint32_t dstX = 0;
  std::uint32_t dstY = 0;
  CopyLocation dst;
  CopyLocation src;
  // Copy: the source rectangle, already clipped to both sides.
  std::uint32_t srcLeft = 0;
  std::uint32_t srcTop = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Takes the runtime's references on what a command touches, and drops them.
void HoldCommand(const Command& command);
void DropCommand(const Command& command);

class CommandAllocator final : public ComObject<ID3D12CommandAllocator> {
 public:
  CommandAllocator(Device* device, D3D12_COMMAND_LIST_TYPE type);
  ~CommandAllocator() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return device_; }

  HRESULT STDMETHODCALLTYPE Reset() override;

  D3D12_COMMAND_LIST_TYPE type() const { return type_; }
  std::uint32_t recordingLists = 0;   // lists recording into it now
  std::uint32_t batchesInFlight = 0;  // executed work recorded from it, not yet complete

 private:
  Device* device_;
  D3D12_COMMAND_LIST_TYPE type_;
};

class CommandList final : public ComObject<ID3D12GraphicsCommandList> {
 public:
  CommandList(Device* device, D3D12_COMMAND_LIST_TYPE type, CommandAllocator* allocator);
  ~CommandList() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return device_; }

  D3D12_COMMAND_LIST_TYPE STDMETHODCALLTYPE GetType() override { return type_; }
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE Reset(ID3D12CommandAllocator* pAllocator,
                                  ID3D12PipelineState* pInitialState) override;
  void STDMETHODCALLTYPE CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION* pDst, UINT DstX,
                                           UINT DstY, UINT DstZ,
                                           const D3D12_TEXTURE_COPY_LOCATION* pSrc,
                                           const D3D12_BOX* pSrcBox) override;
  void STDMETHODCALLTYPE ResourceBarrier(UINT NumBarriers,
                                         const D3D12_RESOURCE_BARRIER* pBarriers) override;
  void STDMETHODCALLTYPE ClearRenderTargetView(D3D12_CPU_DESCRIPTOR_HANDLE RenderTargetView,
                                               const FLOAT ColorRGBA[4], UINT NumRects,
                                               const D3D12_RECT* pRects) override;

  enum class State { Recording, Closed };
  State state() const { return state_; }
  bool failed() const { return failed_; }
  CommandAllocator* allocator() const { return allocator_; }
  const std::vector<Command>& commands() const { return commands_; }
  const std::vector<D3D12_RECT>& rects() const { return rects_; }

 private:
  bool CanRecord(const char* what);
  void ClearCommands();
  void Invalid(const ObjectBase& object, const char* id, const std::string& text);
  bool CheckCopyLocation(const D3D12_TEXTURE_COPY_LOCATION* loc, const char* which, Resource** res,
                         CopyLocation* out);

  Device* device_;
  D3D12_COMMAND_LIST_TYPE type_;
  CommandAllocator* allocator_ = nullptr;
  State state_ = State::Recording;
  bool failed_ = false;  // an invalid command was recorded: Close refuses
  std::vector<Command> commands_;
  std::vector<D3D12_RECT> rects_;
};

class Fence final : public ComObject<ID3D12Fence> {
 public:
  Fence(Device* device, UINT64 initialValue);
  ~Fence() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return device_; }

  UINT64 STDMETHODCALLTYPE GetCompletedValue() override;
  HRESULT STDMETHODCALLTYPE SetEventOnCompletion(UINT64 Value, HANDLE hEvent) override;
  HRESULT STDMETHODCALLTYPE Signal(UINT64 Value) override;

  // The GPU reached value (a queue's signal completed).
  void Reach(UINT64 value);
  // A queue will signal value at tNs: events waiting for it are scheduled.
  void WillReach(UINT64 value, std::int64_t tNs);

 private:
  struct Waiter {
    UINT64 value;
    HANDLE event;
  };
  Device* device_;
  UINT64 completed_;
  std::vector<Waiter> waiters_;
};

class CommandQueue final : public ComObject<ID3D12CommandQueue> {
 public:
  CommandQueue(Device* device, const D3D12_COMMAND_QUEUE_DESC& desc);
  ~CommandQueue() override;
  bool Supports(REFIID riid) const override;
  Device* OwningDevice() override { return device_; }

  void STDMETHODCALLTYPE ExecuteCommandLists(UINT NumCommandLists,
                                             ID3D12CommandList* const* ppCommandLists) override;
  HRESULT STDMETHODCALLTYPE Signal(ID3D12Fence* pFence, UINT64 Value) override;

  // Completes, in order, the queued work whose time has come.
  void Advance(std::int64_t nowNs);
  bool Idle() const { return head_ == items_.size(); }
  std::int64_t idleAtNs() const { return lastEndNs_; }
  // Earliest time at which fence reaches at least value through this queue's
  // pending signals; false when none will.
  bool PendingSignalTime(const Fence* fence, UINT64 value, std::int64_t* tNs) const;
  // Drops the reference pending work held on the queue, once it has all run.
  void ReleaseSelfIfIdle();

 private:
  struct Item {
    bool batch = true;
    std::int64_t timeNs = 0;
    std::uint32_t commandBegin = 0;
    std::uint32_t commandEnd = 0;
    Fence* fence = nullptr;
    UINT64 value = 0;
  };
  // Signal's work, apart from its trace event.
  HRESULT SignalOn(Fence* fence, UINT64 Value);
  void Run(const Item& item);
  void Compact();

  Device* device_;
  D3D12_COMMAND_QUEUE_DESC desc_;
  std::int64_t lastEndNs_ = 0;
  std::vector<Item> items_;
  std::size_t head_ = 0;
  std::vector<Command> commands_;
  std::vector<D3D12_RECT> rects_;
  bool holdingSelf_ = false;
};

// A surface shared on a device (the driver's scan-out surfaces).
struct SharedSurface {
  HANDLE handle = nullptr;
  std::uint64_t deviceSerial = 0;
  std::shared_ptr<Storage> storage;
};
const SharedSurface* FindSharedSurface(HANDLE handle);

// Live queues and heaps, in creation order.
std::vector<CommandQueue*>& Queues();
std::vector<DescriptorHeap*>& Heaps();
// True while Reset tears everything down: objects then drop no references.
bool Resetting();

// Completes the work whose time has come on every queue.
void PumpAll();

// Runs one command on CPU memory (at the batch's completion).
void ExecuteCommand(const Command& command, const D3D12_RECT* rects);

}  // namespace sim::gpu::detail
