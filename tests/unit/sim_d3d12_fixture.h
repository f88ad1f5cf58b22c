// A simulated machine with the program's usual Direct3D 12 objects, for the
// runtime's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/clock.h"
#include "sim/d3d12/sim_gpu.h"
#include "sim/kernel.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace simtest {

inline D3D12_RESOURCE_BARRIER Transition(
    ID3D12Resource* resource, D3D12_RESOURCE_STATES before, D3D12_RESOURCE_STATES after,
    UINT subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES) {
  D3D12_RESOURCE_BARRIER b{};
  b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
  b.Flags = D3D12_RESOURCE_BARRIER_FLAG_NONE;
  b.Transition.pResource = resource;
  b.Transition.Subresource = subresource;
  b.Transition.StateBefore = before;
  b.Transition.StateAfter = after;
  return b;
}

class GpuTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(sim::DefaultScenario()); }

  void TearDown() override { sim::gpu::Reset(); }

  // A fresh machine with dev, queue, alloc, list (closed), fence and event.
  void Install(const sim::Scenario& scenario, sim::TimeMode mode = sim::TimeMode::Virtual) {
    sim::MachineOptions options;
    options.time = mode;
    options.traceInMemory = true;
    sim::MachineInstall(scenario, options);
    adapter = sim::gpu::CreateAdapter();
    ASSERT_EQ(D3D12CreateDevice(adapter, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&dev)), S_OK);
    D3D12_COMMAND_QUEUE_DESC qd{};
    ASSERT_EQ(dev->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue)), S_OK);
    ASSERT_EQ(dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&alloc)),
              S_OK);
    ASSERT_EQ(dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, alloc, nullptr,
                                     IID_PPV_ARGS(&list)),
              S_OK);
    ASSERT_EQ(list->Close(), S_OK);
    ASSERT_EQ(dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence)), S_OK);
    event = sim::KernelCreateEvent(false, false, "fence event");
    D3D12_DESCRIPTOR_HEAP_DESC hd{D3D12_DESCRIPTOR_HEAP_TYPE_RTV, 16,
                                  D3D12_DESCRIPTOR_HEAP_FLAG_NONE, 0};
    ASSERT_EQ(dev->CreateDescriptorHeap(&hd, IID_PPV_ARGS(&heap)), S_OK);
    fenceVal = 0;
    nextRtv = 0;
  }

  // A default-heap render-target texture in COMMON.
  ID3D12Resource* MakeTexture(UINT width, UINT height, DXGI_FORMAT format, UINT16 mips = 1,
                              D3D12_RESOURCE_STATES state = D3D12_RESOURCE_STATE_COMMON) {
    D3D12_HEAP_PROPERTIES hp{D3D12_HEAP_TYPE_DEFAULT, D3D12_CPU_PAGE_PROPERTY_UNKNOWN,
                             D3D12_MEMORY_POOL_UNKNOWN, 0, 0};
    D3D12_RESOURCE_DESC d{};
    d.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    d.Width = width;
    d.Height = height;
    d.DepthOrArraySize = 1;
    d.MipLevels = mips;
    d.Format = format;
    d.SampleDesc = {1, 0};
    d.Layout = D3D12_TEXTURE_LAYOUT_UNKNOWN;
    d.Flags = D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET;
    ID3D12Resource* r = nullptr;
    EXPECT_EQ(dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &d, state, nullptr,
                                           IID_PPV_ARGS(&r)),
              S_OK);
    return r;
  }

  ID3D12Resource* MakeUpload(UINT64 bytes) {
    D3D12_HEAP_PROPERTIES hp{D3D12_HEAP_TYPE_UPLOAD, D3D12_CPU_PAGE_PROPERTY_UNKNOWN,
                             D3D12_MEMORY_POOL_UNKNOWN, 0, 0};
    D3D12_RESOURCE_DESC d{};
    d.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    d.Width = bytes;
    d.Height = 1;
    d.DepthOrArraySize = 1;
    d.MipLevels = 1;
    d.SampleDesc = {1, 0};
    d.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ID3D12Resource* r = nullptr;
    EXPECT_EQ(
        dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &d,
                                     D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, IID_PPV_ARGS(&r)),
        S_OK);
    return r;
  }

  D3D12_CPU_DESCRIPTOR_HANDLE MakeRtv(ID3D12Resource* r, DXGI_FORMAT format, UINT mip = 0) {
    D3D12_CPU_DESCRIPTOR_HANDLE h = heap->GetCPUDescriptorHandleForHeapStart();
    h.ptr += nextRtv++ * dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    D3D12_RENDER_TARGET_VIEW_DESC vd{};
    vd.Format = format;
    vd.ViewDimension = D3D12_RTV_DIMENSION_TEXTURE2D;
    vd.Texture2D.MipSlice = mip;
    dev->CreateRenderTargetView(r, &vd, h);
    return h;
  }

  // Opens a w x h shared RGBA surface and submits one clear of it to colour,
  // leaving it in the render-target state: no signal, no wait.
  ID3D12Resource* SubmitSharedSurfaceClear(HANDLE* shared, UINT w, UINT h, const float colour[4]) {
    *shared = sim::gpu::CreateSharedSurface(dev, w, h, DXGI_FORMAT_R8G8B8A8_TYPELESS);
    ID3D12Resource* r = nullptr;
    EXPECT_EQ(dev->OpenSharedHandle(*shared, IID_PPV_ARGS(&r)), S_OK);
    if (r == nullptr) return nullptr;
    D3D12_CPU_DESCRIPTOR_HANDLE rtv = MakeRtv(r, DXGI_FORMAT_R8G8B8A8_UNORM);
    Begin();
    auto in = Transition(r, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
    list->ResourceBarrier(1, &in);
    list->ClearRenderTargetView(rtv, colour, 0, nullptr);
    EXPECT_EQ(list->Close(), S_OK);
    ID3D12CommandList* lists[] = {list};
    queue->ExecuteCommandLists(1, lists);
    return r;
  }

  void Begin() {
    ASSERT_EQ(alloc->Reset(), S_OK);
    ASSERT_EQ(list->Reset(alloc, nullptr), S_OK);
  }

  // Close, execute, signal; then let time pass until the work is done.
  void SubmitAndFinish() {
    ASSERT_EQ(list->Close(), S_OK);
    ID3D12CommandList* lists[] = {list};
    queue->ExecuteCommandLists(1, lists);
    ASSERT_EQ(queue->Signal(fence, ++fenceVal), S_OK);
    sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(queue));
    ASSERT_EQ(fence->GetCompletedValue(), fenceVal);
  }

  // Reads pixel (x, y) of subresource 0 through a copy into a readback buffer.
  std::vector<std::uint8_t> ReadBack(ID3D12Resource* texture, UINT bpp, D3D12_RESOURCE_STATES state,
                                     UINT subresource = 0) {
    D3D12_RESOURCE_DESC td = texture->GetDesc();
    UINT w = static_cast<UINT>(td.Width) >> (subresource % td.MipLevels);
    UINT h = td.Height >> (subresource % td.MipLevels);
    if (w == 0) w = 1;
    if (h == 0) h = 1;
    UINT pitch = (w * bpp + 255) / 256 * 256;
    D3D12_HEAP_PROPERTIES hp{D3D12_HEAP_TYPE_READBACK, D3D12_CPU_PAGE_PROPERTY_UNKNOWN,
                             D3D12_MEMORY_POOL_UNKNOWN, 0, 0};
    D3D12_RESOURCE_DESC d{};
    d.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    d.Width = std::uint64_t{pitch} * h;
    d.Height = 1;
    d.DepthOrArraySize = 1;
    d.MipLevels = 1;
    d.SampleDesc = {1, 0};
    d.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    ID3D12Resource* rb = nullptr;
    EXPECT_EQ(
        dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &d, D3D12_RESOURCE_STATE_COPY_DEST,
                                     nullptr, IID_PPV_ARGS(&rb)),
        S_OK);
    Begin();
    auto toSource = Transition(texture, state, D3D12_RESOURCE_STATE_COPY_SOURCE, subresource);
    list->ResourceBarrier(1, &toSource);
    D3D12_TEXTURE_COPY_LOCATION dst{};
    dst.pResource = rb;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    dst.PlacedFootprint.Footprint = {td.Format, w, h, 1, pitch};
    D3D12_TEXTURE_COPY_LOCATION src{};
    src.pResource = texture;
    src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    src.SubresourceIndex = subresource;
    list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    auto back = Transition(texture, D3D12_RESOURCE_STATE_COPY_SOURCE, state, subresource);
    list->ResourceBarrier(1, &back);
    SubmitAndFinish();
    void* p = nullptr;
    EXPECT_EQ(rb->Map(0, nullptr, &p), S_OK);
    std::vector<std::uint8_t> out(std::size_t{w} * h * bpp);
    for (UINT y = 0; y < h; ++y) {
      std::memcpy(out.data() + std::size_t{y} * w * bpp, static_cast<std::uint8_t*>(p) + y * pitch,
                  std::size_t{w} * bpp);
    }
    rb->Unmap(0, nullptr);
    rb->Release();
    return out;
  }

  // Trace events with call == name.
  static std::vector<nlohmann::json> Events(const std::string& name) {
    std::vector<nlohmann::json> out;
    for (const auto& e : sim::TraceEvents()) {
      if (e.value("call", "") == name) out.push_back(e);
    }
    return out;
  }

  static bool HasValidation(const std::string& needle) {
    for (const std::string& m : sim::ValidationErrors()) {
      if (m.find(needle) != std::string::npos) return true;
    }
    return false;
  }

  IDXGIAdapter* adapter = nullptr;
  ID3D12Device* dev = nullptr;
  ID3D12CommandQueue* queue = nullptr;
  ID3D12CommandAllocator* alloc = nullptr;
  ID3D12GraphicsCommandList* list = nullptr;
  ID3D12Fence* fence = nullptr;
  ID3D12DescriptorHeap* heap = nullptr;
  HANDLE event = nullptr;
  UINT64 fenceVal = 0;
  UINT nextRtv = 0;
};

}  // namespace simtest
