// The Direct3D 12 and DXGI names the program uses, declared for the simulated
// machine. Interfaces are abstract classes whose methods take the same
// arguments as the real ones, so the program's calls compile unchanged on both
// targets. Struct-returning methods use the explicit aggregate-return form
// (an out pointer that is also returned) with an inline by-value wrapper, as
// the Windows build's header does.
#pragma once

#include <type_traits>

#include "platform/sim/sim_windows.h"

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// Every simulated interface carries its identifier as a static member.
#define SIM_INTERFACE_ID(n) \
  static constexpr IID kIid = {0x51A00000u + (n), 0x0D3D, 0x0012, {0x51, 0x4D, 0, 0, 0, 0, 0, (n)}}

template <class T>
void** IID_PPV_ARGS_Helper(T** pp) {
  return reinterpret_cast<void**>(pp);
}
#define IID_PPV_ARGS(ppType) \
  std::remove_reference_t<decltype(**(ppType))>::kIid, IID_PPV_ARGS_Helper(ppType)

#define S_OK static_cast<HRESULT>(0)
#define S_FALSE static_cast<HRESULT>(1)
#define E_FAIL static_cast<HRESULT>(0x80004005u)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001u)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002u)
#define E_POINTER static_cast<HRESULT>(0x80004003u)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057u)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000Eu)
#define DXGI_ERROR_DEVICE_REMOVED static_cast<HRESULT>(0x887A0005u)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using D3D12_RECT = RECT;

enum D3D_FEATURE_LEVEL { D3D_FEATURE_LEVEL_11_0 = 0xb000, D3D_FEATURE_LEVEL_12_0 = 0xc000 };

enum DXGI_FORMAT {
  DXGI_FORMAT_UNKNOWN = 0,
  DXGI_FORMAT_R16G16B16A16_TYPELESS = 9,
  DXGI_FORMAT_R16G16B16A16_FLOAT = 10,
  DXGI_FORMAT_R16G16B16A16_UNORM = 11,
  DXGI_FORMAT_R10G10B10A2_TYPELESS = 23,
  DXGI_FORMAT_R10G10B10A2_UNORM = 24,
  DXGI_FORMAT_R8G8B8A8_TYPELESS = 27,
  DXGI_FORMAT_R8G8B8A8_UNORM = 28,
  DXGI_FORMAT_R8G8B8A8_UNORM_SRGB = 29,
  DXGI_FORMAT_B8G8R8A8_UNORM = 87,
  DXGI_FORMAT_B8G8R8X8_UNORM = 88,
  DXGI_FORMAT_B8G8R8A8_TYPELESS = 90,
  DXGI_FORMAT_B8G8R8A8_UNORM_SRGB = 91,
  DXGI_FORMAT_B8G8R8X8_TYPELESS = 92,
  DXGI_FORMAT_B8G8R8X8_UNORM_SRGB = 93,
  DXGI_FORMAT_FORCE_UINT = 0x7fffffff
};

struct DXGI_SAMPLE_DESC {
  UINT Count;
  UINT Quality;
};

enum D3D12_COMMAND_LIST_TYPE {
  D3D12_COMMAND_LIST_TYPE_DIRECT = 0,
  D3D12_COMMAND_LIST_TYPE_BUNDLE = 1,
  D3D12_COMMAND_LIST_TYPE_COMPUTE = 2,
  D3D12_COMMAND_LIST_TYPE_COPY = 3
};
enum D3D12_COMMAND_QUEUE_PRIORITY { D3D12_COMMAND_QUEUE_PRIORITY_NORMAL = 0 };
enum D3D12_COMMAND_QUEUE_FLAGS { D3D12_COMMAND_QUEUE_FLAG_NONE = 0 };
enum D3D12_FENCE_FLAGS { D3D12_FENCE_FLAG_NONE = 0, D3D12_FENCE_FLAG_SHARED = 1 };

struct D3D12_COMMAND_QUEUE_DESC {
  D3D12_COMMAND_LIST_TYPE Type;
  INT Priority;
  D3D12_COMMAND_QUEUE_FLAGS Flags;
  UINT NodeMask;
};

enum D3D12_DESCRIPTOR_HEAP_TYPE {
  D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV = 0,
  D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER = 1,
  D3D12_DESCRIPTOR_HEAP_TYPE_RTV = 2,
  D3D12_DESCRIPTOR_HEAP_TYPE_DSV = 3
};
enum D3D12_DESCRIPTOR_HEAP_FLAGS {
  D3D12_DESCRIPTOR_HEAP_FLAG_NONE = 0,
  D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE = 1
};
struct D3D12_DESCRIPTOR_HEAP_DESC {
  D3D12_DESCRIPTOR_HEAP_TYPE Type;
  UINT NumDescriptors;
  D3D12_DESCRIPTOR_HEAP_FLAGS Flags;
  UINT NodeMask;
};
struct D3D12_CPU_DESCRIPTOR_HANDLE {
  SIZE_T ptr;
};

enum D3D12_RTV_DIMENSION {
  D3D12_RTV_DIMENSION_UNKNOWN = 0,
  D3D12_RTV_DIMENSION_BUFFER = 1,
  D3D12_RTV_DIMENSION_TEXTURE1D = 2,
  D3D12_RTV_DIMENSION_TEXTURE1DARRAY = 3,
  D3D12_RTV_DIMENSION_TEXTURE2D = 4
};
struct D3D12_TEX2D_RTV {
  UINT MipSlice;
  UINT PlaneSlice;
};
struct D3D12_BUFFER_RTV {
  UINT64 FirstElement;
  UINT NumElements;
};
struct D3D12_RENDER_TARGET_VIEW_DESC {
  DXGI_FORMAT Format;
  D3D12_RTV_DIMENSION ViewDimension;
  union {
    D3D12_BUFFER_RTV Buffer;
    D3D12_TEX2D_RTV Texture2D;
  };
};

enum D3D12_HEAP_TYPE {
  D3D12_HEAP_TYPE_DEFAULT = 1,
  D3D12_HEAP_TYPE_UPLOAD = 2,
  D3D12_HEAP_TYPE_READBACK = 3,
  D3D12_HEAP_TYPE_CUSTOM = 4
};
enum D3D12_CPU_PAGE_PROPERTY { D3D12_CPU_PAGE_PROPERTY_UNKNOWN = 0 };
enum D3D12_MEMORY_POOL { D3D12_MEMORY_POOL_UNKNOWN = 0 };
struct D3D12_HEAP_PROPERTIES {
  D3D12_HEAP_TYPE Type;
  D3D12_CPU_PAGE_PROPERTY CPUPageProperty;
  D3D12_MEMORY_POOL MemoryPoolPreference;
  UINT CreationNodeMask;
  UINT VisibleNodeMask;
};
enum D3D12_HEAP_FLAGS { D3D12_HEAP_FLAG_NONE = 0, D3D12_HEAP_FLAG_SHARED = 0x1 };

enum D3D12_RESOURCE_DIMENSION {
  D3D12_RESOURCE_DIMENSION_UNKNOWN = 0,
  D3D12_RESOURCE_DIMENSION_BUFFER = 1,
  D3D12_RESOURCE_DIMENSION_TEXTURE1D = 2,
  D3D12_RESOURCE_DIMENSION_TEXTURE2D = 3,
  D3D12_RESOURCE_DIMENSION_TEXTURE3D = 4
};
enum D3D12_TEXTURE_LAYOUT { D3D12_TEXTURE_LAYOUT_UNKNOWN = 0, D3D12_TEXTURE_LAYOUT_ROW_MAJOR = 1 };
enum D3D12_RESOURCE_FLAGS {
  D3D12_RESOURCE_FLAG_NONE = 0,
  D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET = 0x1,
  D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS = 0x20
};
struct D3D12_RESOURCE_DESC {
  D3D12_RESOURCE_DIMENSION Dimension;
  UINT64 Alignment;
  UINT64 Width;
  UINT Height;
  UINT16 DepthOrArraySize;
  UINT16 MipLevels;
  DXGI_FORMAT Format;
  DXGI_SAMPLE_DESC SampleDesc;
  D3D12_TEXTURE_LAYOUT Layout;
  D3D12_RESOURCE_FLAGS Flags;
};

enum D3D12_RESOURCE_STATES {
  D3D12_RESOURCE_STATE_COMMON = 0,
  D3D12_RESOURCE_STATE_PRESENT = 0,
  D3D12_RESOURCE_STATE_RENDER_TARGET = 0x4,
  D3D12_RESOURCE_STATE_COPY_DEST = 0x400,
  D3D12_RESOURCE_STATE_COPY_SOURCE = 0x800,
  D3D12_RESOURCE_STATE_GENERIC_READ = 0xac3
};

struct D3D12_CLEAR_VALUE {
  DXGI_FORMAT Format;
  FLOAT Color[4];
};

struct D3D12_RANGE {
  SIZE_T Begin;
  SIZE_T End;
};

struct D3D12_BOX {
  UINT left;
  UINT top;
  UINT front;
  UINT right;
  UINT bottom;
  UINT back;
};

#define D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES 0xffffffffu
#define D3D12_TEXTURE_DATA_PITCH_ALIGNMENT 256u

enum D3D12_RESOURCE_BARRIER_TYPE {
  D3D12_RESOURCE_BARRIER_TYPE_TRANSITION = 0,
  D3D12_RESOURCE_BARRIER_TYPE_ALIASING = 1,
  D3D12_RESOURCE_BARRIER_TYPE_UAV = 2
};
enum D3D12_RESOURCE_BARRIER_FLAGS { D3D12_RESOURCE_BARRIER_FLAG_NONE = 0 };

struct ID3D12Resource;
struct D3D12_RESOURCE_TRANSITION_BARRIER {
  ID3D12Resource* pResource;
  UINT Subresource;
  D3D12_RESOURCE_STATES StateBefore;
  D3D12_RESOURCE_STATES StateAfter;
};
struct D3D12_RESOURCE_ALIASING_BARRIER {
  ID3D12Resource* pResourceBefore;
  ID3D12Resource* pResourceAfter;
};
struct D3D12_RESOURCE_UAV_BARRIER {
  ID3D12Resource* pResource;
};
struct D3D12_RESOURCE_BARRIER {
  D3D12_RESOURCE_BARRIER_TYPE Type;
  D3D12_RESOURCE_BARRIER_FLAGS Flags;
  union {
    D3D12_RESOURCE_TRANSITION_BARRIER Transition;
    D3D12_RESOURCE_ALIASING_BARRIER Aliasing;
    D3D12_RESOURCE_UAV_BARRIER UAV;
  };
};

enum D3D12_TEXTURE_COPY_TYPE {
  D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX = 0,
  D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT = 1
};
struct D3D12_SUBRESOURCE_FOOTPRINT {
  DXGI_FORMAT Format;
  UINT Width;
  UINT Height;
  UINT Depth;
  UINT RowPitch;
};
struct D3D12_PLACED_SUBRESOURCE_FOOTPRINT {
  UINT64 Offset;
  D3D12_SUBRESOURCE_FOOTPRINT Footprint;
};
struct D3D12_TEXTURE_COPY_LOCATION {
  ID3D12Resource* pResource;
  D3D12_TEXTURE_COPY_TYPE Type;
  union {
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT PlacedFootprint;
    UINT SubresourceIndex;
  };
};

// Interfaces.

struct IUnknown {
  SIM_INTERFACE_ID(1);
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IDXGIObject : IUnknown {
  SIM_INTERFACE_ID(2);

 protected:
  ~IDXGIObject() = default;
};

struct IDXGIAdapter : IDXGIObject {
  SIM_INTERFACE_ID(3);

 protected:
  ~IDXGIAdapter() = default;
};

struct ID3D12Object : IUnknown {
  SIM_INTERFACE_ID(4);

 protected:
  ~ID3D12Object() = default;
};

struct ID3D12DeviceChild : ID3D12Object {
  SIM_INTERFACE_ID(5);

 protected:
  ~ID3D12DeviceChild() = default;
};

struct ID3D12Pageable : ID3D12DeviceChild {
  SIM_INTERFACE_ID(6);

 protected:
  ~ID3D12Pageable() = default;
};

struct ID3D12Resource : ID3D12Pageable {
  SIM_INTERFACE_ID(7);
  virtual HRESULT STDMETHODCALLTYPE Map(UINT Subresource, const D3D12_RANGE* pReadRange,
                                        void** ppData) = 0;
  virtual void STDMETHODCALLTYPE Unmap(UINT Subresource, const D3D12_RANGE* pWrittenRange) = 0;
  virtual D3D12_RESOURCE_DESC* STDMETHODCALLTYPE GetDesc(D3D12_RESOURCE_DESC* __ret) = 0;
  D3D12_RESOURCE_DESC STDMETHODCALLTYPE GetDesc() {
    D3D12_RESOURCE_DESC __ret;
    return *GetDesc(&__ret);
  }

 protected:
  ~ID3D12Resource() = default;
};

struct ID3D12CommandAllocator : ID3D12Pageable {
  SIM_INTERFACE_ID(8);
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;

 protected:
  ~ID3D12CommandAllocator() = default;
};

struct ID3D12Fence : ID3D12Pageable {
  SIM_INTERFACE_ID(9);
  virtual UINT64 STDMETHODCALLTYPE GetCompletedValue() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventOnCompletion(UINT64 Value, HANDLE hEvent) = 0;
  virtual HRESULT STDMETHODCALLTYPE Signal(UINT64 Value) = 0;

 protected:
  ~ID3D12Fence() = default;
};

struct ID3D12PipelineState : ID3D12Pageable {
  SIM_INTERFACE_ID(10);

 protected:
  ~ID3D12PipelineState() = default;
};

struct ID3D12DescriptorHeap : ID3D12Pageable {
  SIM_INTERFACE_ID(11);
  virtual D3D12_CPU_DESCRIPTOR_HANDLE* STDMETHODCALLTYPE
  GetCPUDescriptorHandleForHeapStart(D3D12_CPU_DESCRIPTOR_HANDLE* __ret) = 0;
  D3D12_CPU_DESCRIPTOR_HANDLE STDMETHODCALLTYPE GetCPUDescriptorHandleForHeapStart() {
    D3D12_CPU_DESCRIPTOR_HANDLE __ret;
    return *GetCPUDescriptorHandleForHeapStart(&__ret);
  }

 protected:
  ~ID3D12DescriptorHeap() = default;
};

struct ID3D12CommandList : ID3D12DeviceChild {
  SIM_INTERFACE_ID(12);
  virtual D3D12_COMMAND_LIST_TYPE STDMETHODCALLTYPE GetType() = 0;

 protected:
  ~ID3D12CommandList() = default;
};

struct ID3D12GraphicsCommandList : ID3D12CommandList {
  SIM_INTERFACE_ID(13);
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset(ID3D12CommandAllocator* pAllocator,
                                          ID3D12PipelineState* pInitialState) = 0;
  virtual void STDMETHODCALLTYPE CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION* pDst,
                                                   UINT DstX, UINT DstY, UINT DstZ,
                                                   const D3D12_TEXTURE_COPY_LOCATION* pSrc,
                                                   const D3D12_BOX* pSrcBox) = 0;
  virtual void STDMETHODCALLTYPE ResourceBarrier(UINT NumBarriers,
                                                 const D3D12_RESOURCE_BARRIER* pBarriers) = 0;
  virtual void STDMETHODCALLTYPE ClearRenderTargetView(D3D12_CPU_DESCRIPTOR_HANDLE RenderTargetView,
                                                       const FLOAT ColorRGBA[4], UINT NumRects,
                                                       const D3D12_RECT* pRects) = 0;

 protected:
  ~ID3D12GraphicsCommandList() = default;
};

struct ID3D12CommandQueue : ID3D12Pageable {
  SIM_INTERFACE_ID(14);
  virtual void STDMETHODCALLTYPE ExecuteCommandLists(UINT NumCommandLists,
                                                     ID3D12CommandList* const* ppCommandLists) = 0;
  virtual HRESULT STDMETHODCALLTYPE Signal(ID3D12Fence* pFence, UINT64 Value) = 0;

 protected:
  ~ID3D12CommandQueue() = default;
};

struct ID3D12Device : ID3D12Object {
  SIM_INTERFACE_ID(15);
  virtual HRESULT STDMETHODCALLTYPE CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* pDesc,
                                                       REFIID riid, void** ppCommandQueue) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type,
                                                           REFIID riid,
                                                           void** ppCommandAllocator) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCommandList(UINT nodeMask, D3D12_COMMAND_LIST_TYPE type,
                                                      ID3D12CommandAllocator* pCommandAllocator,
                                                      ID3D12PipelineState* pInitialState,
                                                      REFIID riid, void** ppCommandList) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateDescriptorHeap(
      const D3D12_DESCRIPTOR_HEAP_DESC* pDescriptorHeapDesc, REFIID riid, void** ppvHeap) = 0;
  virtual UINT STDMETHODCALLTYPE
  GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE DescriptorHeapType) = 0;
  virtual void STDMETHODCALLTYPE
  CreateRenderTargetView(ID3D12Resource* pResource, const D3D12_RENDER_TARGET_VIEW_DESC* pDesc,
                         D3D12_CPU_DESCRIPTOR_HANDLE DestDescriptor) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCommittedResource(
      const D3D12_HEAP_PROPERTIES* pHeapProperties, D3D12_HEAP_FLAGS HeapFlags,
      const D3D12_RESOURCE_DESC* pDesc, D3D12_RESOURCE_STATES InitialResourceState,
      const D3D12_CLEAR_VALUE* pOptimizedClearValue, REFIID riidResource, void** ppvResource) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenSharedHandle(HANDLE NTHandle, REFIID riid,
                                                     void** ppvObj) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateFence(UINT64 InitialValue, D3D12_FENCE_FLAGS Flags,
                                                REFIID riid, void** ppFence) = 0;

 protected:
  ~ID3D12Device() = default;
};

HRESULT WINAPI D3D12CreateDevice(IUnknown* pAdapter, D3D_FEATURE_LEVEL MinimumFeatureLevel,
                                 REFIID riid, void** ppDevice);
