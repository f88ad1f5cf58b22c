// What the runtime refuses, and what it accepts but reports as the debug
// layer would.
#include "tests/unit/sim_d3d12_fixture.h"

namespace simtest {
namespace {

class RulesTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    shared = sim::gpu::CreateSharedSurface(dev, 4, 2, DXGI_FORMAT_B8G8R8A8_TYPELESS);
    ASSERT_NE(shared, nullptr);
    ASSERT_EQ(dev->OpenSharedHandle(shared, IID_PPV_ARGS(&surface)), S_OK);
    rtv = MakeRtv(surface, DXGI_FORMAT_B8G8R8A8_UNORM);
  }

  sim::gpu::SurfaceView Look() {
    sim::gpu::SurfaceView v;
    EXPECT_TRUE(sim::gpu::LookUpSurface(shared, &v));
    return v;
  }

  HANDLE shared = nullptr;
  ID3D12Resource* surface = nullptr;  // ID3D12Resource#1
  D3D12_CPU_DESCRIPTOR_HANDLE rtv{};
  const float white[4] = {1, 1, 1, 1};
};

TEST_F(RulesTest, CloseRefusesAListThatRecordedAnInvalidBarrier) {
  struct Case {
    const char* name;
    D3D12_RESOURCE_BARRIER barrier;
    const char* id;
  };
  const Case cases[] = {
      {"equal states",
       Transition(nullptr, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_RENDER_TARGET),
       "RESOURCE_BARRIER_MATCHING_STATES"},
      {"null resource",
       Transition(nullptr, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET),
       "RESOURCE_BARRIER_NULL_POINTER"},
      {"missing subresource",
       Transition(nullptr, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET, 1),
       "RESOURCE_BARRIER_INVALID_SUBRESOURCE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    D3D12_RESOURCE_BARRIER b = c.barrier;
    if (std::string(c.name) != "null resource") b.Transition.pResource = surface;
    Begin();
    list->ResourceBarrier(1, &b);
    EXPECT_EQ(list->Close(), E_INVALIDARG);
    EXPECT_TRUE(HasValidation(c.id));
    EXPECT_EQ(list->Close(), E_FAIL);  // it is closed all the same
    // A reset list records and closes normally again.
    Begin();
    EXPECT_EQ(list->Close(), S_OK);
  }
  EXPECT_EQ(Look().state, 0u);  // nothing ran
}

TEST_F(RulesTest, RecordingIntoAClosedListRecordsNothing) {
  list->ClearRenderTargetView(rtv, white, 0, nullptr);
  auto b = Transition(surface, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  list->ResourceBarrier(1, &b);
  EXPECT_TRUE(
      HasValidation("ID3D12GraphicsCommandList#1: ClearRenderTargetView called on a "
                    "closed command list"));
  ID3D12CommandList* lists[] = {list};
  queue->ExecuteCommandLists(1, lists);
  sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(queue));
  sim::gpu::SurfaceView v = Look();
  EXPECT_EQ(v.state, 0u);
  EXPECT_EQ(v.pixels[0], 0);
}

TEST_F(RulesTest, ResetRefusalsOfAllocatorAndList) {
  Begin();
  EXPECT_EQ(alloc->Reset(), E_FAIL);  // its list is recording
  EXPECT_EQ(list->Reset(alloc, nullptr), E_FAIL);
  ASSERT_EQ(list->Close(), S_OK);
  EXPECT_EQ(alloc->Reset(), S_OK);
  EXPECT_EQ(list->Reset(nullptr, nullptr), E_INVALIDARG);
  EXPECT_TRUE(sim::ValidationErrors().empty());
}

TEST_F(RulesTest, AllocatorResetBeforeItsWorkCompletedIsReported) {
  Begin();
  ASSERT_EQ(list->Close(), S_OK);
  ID3D12CommandList* lists[] = {list};
  queue->ExecuteCommandLists(1, lists);
  ASSERT_EQ(alloc->Reset(), S_OK);  // accepted, as the real runtime does
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_EQ(sim::ValidationErrors()[0],
            "ID3D12CommandAllocator#1: Reset while the GPU is still executing work recorded from "
            "it [COMMAND_ALLOCATOR_SYNC]");
  sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(queue));
  EXPECT_EQ(alloc->Reset(), S_OK);
  EXPECT_EQ(sim::ValidationErrors().size(), 1u);
}

TEST_F(RulesTest, StateMismatchesAreReportedAndTheWorkStillRuns) {
  Begin();
  // Wrong StateBefore: the surface is in COMMON.
  auto wrong = Transition(surface, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_COMMON);
  list->ResourceBarrier(1, &wrong);
  // A clear while in COMMON.
  list->ClearRenderTargetView(rtv, white, 0, nullptr);
  SubmitAndFinish();
  const auto& errors = sim::ValidationErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0],
            "ID3D12Resource#1: ResourceBarrier: StateBefore 0x400 does not match the current "
            "state 0x0 of subresource 0 [RESOURCE_BARRIER_BEFORE_AFTER_MISMATCH]");
  EXPECT_NE(errors[1].find("ID3D12Resource#1: "), std::string::npos);
  EXPECT_NE(errors[1].find("[CLEARRENDERTARGETVIEW_INVALIDRESOURCESTATE]"), std::string::npos);
  EXPECT_EQ(Look().pixels[0], 255);
}

TEST_F(RulesTest, CopyIntoATextureNotInCopyDestIsReported) {
  ID3D12Resource* upload = MakeUpload(256 * 2);
  Begin();
  D3D12_TEXTURE_COPY_LOCATION dst{};
  dst.pResource = surface;
  dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
  D3D12_TEXTURE_COPY_LOCATION src{};
  src.pResource = upload;
  src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
  src.PlacedFootprint.Footprint = {DXGI_FORMAT_B8G8R8A8_UNORM, 4, 2, 1, 256};
  list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
  SubmitAndFinish();
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_NE(sim::ValidationErrors()[0].find(
                "ID3D12Resource#1: CopyTextureRegion: destination subresource 0 is in state 0x0"),
            std::string::npos);
  EXPECT_NE(sim::ValidationErrors()[0].find("[COPYTEXTUREREGION_INVALIDDSTRESOURCESTATE]"),
            std::string::npos);
  upload->Release();
}

TEST_F(RulesTest, CopyFootprintPastTheBufferIsRefused) {
  ID3D12Resource* upload = MakeUpload(256);  // one row only
  Begin();
  auto in = Transition(surface, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COPY_DEST);
  list->ResourceBarrier(1, &in);
  D3D12_TEXTURE_COPY_LOCATION dst{};
  dst.pResource = surface;
  dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
  D3D12_TEXTURE_COPY_LOCATION src{};
  src.pResource = upload;
  src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
  src.PlacedFootprint.Footprint = {DXGI_FORMAT_B8G8R8A8_UNORM, 4, 2, 1, 256};
  list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
  EXPECT_EQ(list->Close(), E_INVALIDARG);
  EXPECT_TRUE(HasValidation("COPYTEXTUREREGION_INVALIDFOOTPRINT"));
  upload->Release();
}

TEST_F(RulesTest, MapNeedsCpuVisibleMemory) {
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(surface->Map(0, nullptr, &p), E_INVALIDARG);
  EXPECT_EQ(p, nullptr);
  ID3D12Resource* upload = MakeUpload(1024);
  EXPECT_EQ(upload->Map(1, nullptr, &p), E_INVALIDARG);
  ASSERT_EQ(upload->Map(0, nullptr, &p), S_OK);
  EXPECT_NE(p, nullptr);
  upload->Unmap(0, nullptr);
  upload->Release();
}

TEST_F(RulesTest, CommittedResourceRefusals) {
  D3D12_HEAP_PROPERTIES upload{D3D12_HEAP_TYPE_UPLOAD, D3D12_CPU_PAGE_PROPERTY_UNKNOWN,
                               D3D12_MEMORY_POOL_UNKNOWN, 0, 0};
  D3D12_RESOURCE_DESC bd{D3D12_RESOURCE_DIMENSION_BUFFER,
                         0,
                         4096,
                         1,
                         1,
                         1,
                         DXGI_FORMAT_UNKNOWN,
                         {1, 0},
                         D3D12_TEXTURE_LAYOUT_ROW_MAJOR,
                         D3D12_RESOURCE_FLAG_NONE};
  ID3D12Resource* r = reinterpret_cast<ID3D12Resource*>(8);
  // An upload heap needs GENERIC_READ.
  EXPECT_EQ(dev->CreateCommittedResource(&upload, D3D12_HEAP_FLAG_NONE, &bd,
                                         D3D12_RESOURCE_STATE_COPY_DEST, nullptr, IID_PPV_ARGS(&r)),
            E_INVALIDARG);
  EXPECT_EQ(r, nullptr);
  D3D12_RESOURCE_DESC tall = bd;
  tall.Height = 2;
  EXPECT_EQ(
      dev->CreateCommittedResource(&upload, D3D12_HEAP_FLAG_NONE, &tall,
                                   D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, IID_PPV_ARGS(&r)),
      E_INVALIDARG);
  D3D12_RESOURCE_DESC tex{D3D12_RESOURCE_DIMENSION_TEXTURE2D,
                          0,
                          16,
                          16,
                          1,
                          1,
                          DXGI_FORMAT_B8G8R8A8_UNORM,
                          {1, 0},
                          D3D12_TEXTURE_LAYOUT_UNKNOWN,
                          D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET};
  // Textures live in the default heap only.
  EXPECT_EQ(
      dev->CreateCommittedResource(&upload, D3D12_HEAP_FLAG_NONE, &tex,
                                   D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, IID_PPV_ARGS(&r)),
      E_INVALIDARG);
  EXPECT_EQ(dev->CreateCommittedResource(&upload, D3D12_HEAP_FLAG_NONE, &bd,
                                         D3D12_RESOURCE_STATE_GENERIC_READ, nullptr,
                                         IDXGIAdapter::kIid, reinterpret_cast<void**>(&r)),
            E_NOINTERFACE);
}

TEST_F(RulesTest, SurfaceStateShowsOnlyCompletedWork) {
  Begin();
  auto in = Transition(surface, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  list->ResourceBarrier(1, &in);
  list->ClearRenderTargetView(rtv, white, 0, nullptr);
  ASSERT_EQ(list->Close(), S_OK);
  ID3D12CommandList* lists[] = {list};
  queue->ExecuteCommandLists(1, lists);
  std::int64_t done = sim::gpu::QueueIdleAtNs(queue);
  EXPECT_EQ(done, sim::ClockPeekNs() + 300000);
  EXPECT_EQ(Look().state, 0u);
  EXPECT_EQ(Look().pixels[0], 0);
  sim::ClockAdvanceTo(done - 1);
  EXPECT_EQ(Look().state, 0u);
  sim::ClockAdvanceTo(done);
  EXPECT_EQ(Look().state, 4u);
  EXPECT_EQ(Look().pixels[0], 255);
}

TEST_F(RulesTest, ExecutingAnOpenListRunsNothing) {
  Begin();
  auto in = Transition(surface, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  list->ResourceBarrier(1, &in);
  ID3D12CommandList* lists[] = {list};
  queue->ExecuteCommandLists(1, lists);
  sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(queue));
  EXPECT_EQ(Look().state, 0u);
  EXPECT_TRUE(
      HasValidation("ID3D12GraphicsCommandList#1: ExecuteCommandLists: the list is still "
                    "recording; it is skipped [EXECUTECOMMANDLISTS_OPENCOMMANDLIST]"));
}

TEST_F(RulesTest, SharedHandlesOpenOnlyOnTheirDevice) {
  // Each open is a new object over the same pixels.
  ID3D12Resource* again = nullptr;
  ASSERT_EQ(dev->OpenSharedHandle(shared, IID_PPV_ARGS(&again)), S_OK);
  EXPECT_NE(again, surface);
  D3D12_RESOURCE_DESC d = again->GetDesc();
  EXPECT_EQ(d.Width, 4u);
  EXPECT_EQ(d.Height, 2u);
  EXPECT_EQ(d.Format, DXGI_FORMAT_B8G8R8A8_TYPELESS);
  D3D12_CPU_DESCRIPTOR_HANDLE rtv2 = MakeRtv(again, DXGI_FORMAT_B8G8R8A8_UNORM);
  Begin();
  auto in = Transition(again, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  list->ResourceBarrier(1, &in);
  list->ClearRenderTargetView(rtv2, white, 0, nullptr);
  SubmitAndFinish();
  EXPECT_EQ(Look().pixels[0], 255);
  EXPECT_EQ(Look().state, 4u);

  ID3D12Device* other = nullptr;
  ASSERT_EQ(D3D12CreateDevice(adapter, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&other)), S_OK);
  ID3D12Resource* r = reinterpret_cast<ID3D12Resource*>(8);
  EXPECT_EQ(other->OpenSharedHandle(shared, IID_PPV_ARGS(&r)), E_INVALIDARG);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(dev->OpenSharedHandle(event, IID_PPV_ARGS(&r)), E_INVALIDARG);
  EXPECT_EQ(dev->OpenSharedHandle(nullptr, IID_PPV_ARGS(&r)), E_INVALIDARG);
  HANDLE foreign = sim::KernelCreateObjectHandle(&r, "not a surface");
  EXPECT_EQ(dev->OpenSharedHandle(foreign, IID_PPV_ARGS(&r)), E_INVALIDARG);
  other->Release();
  again->Release();
}

TEST_F(RulesTest, TypelessViewIsReportedAndClearsNothing) {
  D3D12_CPU_DESCRIPTOR_HANDLE typeless = MakeRtv(surface, DXGI_FORMAT_B8G8R8A8_TYPELESS);
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_EQ(sim::ValidationErrors()[0],
            "ID3D12Resource#1: CreateRenderTargetView: format 90 is not a typed render-target "
            "format of resource format 90 [CREATERENDERTARGETVIEW_INVALIDFORMAT]");
  D3D12_CPU_DESCRIPTOR_HANDLE wrongFamily = MakeRtv(surface, DXGI_FORMAT_R8G8B8A8_UNORM);
  EXPECT_EQ(sim::ValidationErrors().size(), 2u);
  Begin();
  auto in = Transition(surface, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  list->ResourceBarrier(1, &in);
  list->ClearRenderTargetView(typeless, white, 0, nullptr);
  list->ClearRenderTargetView(wrongFamily, white, 0, nullptr);
  SubmitAndFinish();
  EXPECT_EQ(Look().pixels[0], 0);
  EXPECT_EQ(Look().state, 4u);
  EXPECT_EQ(sim::ValidationErrors().size(), 2u);
}

TEST_F(RulesTest, BackedUpWorkRunsInOrderWithItsOwnRectangles) {
  // Many lists, each with its own rectangles, submitted without waiting, so
  // that the queue has to renumber what is still pending part way through.
  constexpr int kLists = 100;
  HANDLE wideHandle = sim::gpu::CreateSharedSurface(dev, kLists, 2, DXGI_FORMAT_B8G8R8A8_TYPELESS);
  ID3D12Resource* wide = nullptr;
  ASSERT_EQ(dev->OpenSharedHandle(wideHandle, IID_PPV_ARGS(&wide)), S_OK);
  D3D12_CPU_DESCRIPTOR_HANDLE wideRtv = MakeRtv(wide, DXGI_FORMAT_B8G8R8A8_UNORM);
  std::vector<ID3D12CommandAllocator*> allocs(kLists);
  std::vector<ID3D12GraphicsCommandList*> lists(kLists);
  for (int i = 0; i < kLists; ++i) {
    ASSERT_EQ(dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocs[i])),
              S_OK);
    ASSERT_EQ(dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocs[i], nullptr,
                                     IID_PPV_ARGS(&lists[i])),
              S_OK);
    auto in = Transition(wide, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
    lists[i]->ResourceBarrier(1, &in);
    const float color[4] = {0, 0, static_cast<float>(i) / 255.0f, 1};
    // Odd lists clear two rectangles, even ones one, so rectangle numbers and
    // command numbers drift apart.
    const D3D12_RECT rects[2] = {{i, 0, i + 1, 1}, {i, 1, i + 1, 2}};
    lists[i]->ClearRenderTargetView(wideRtv, color, i % 2 == 0 ? 1 : 2, rects);
    auto out = Transition(wide, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COMMON);
    lists[i]->ResourceBarrier(1, &out);
    ASSERT_EQ(lists[i]->Close(), S_OK);
  }
  std::int64_t t0 = sim::ClockPeekNs();
  for (int i = 0; i < kLists; ++i) {
    ID3D12CommandList* one[] = {lists[i]};
    queue->ExecuteCommandLists(1, one);
    ASSERT_EQ(queue->Signal(fence, static_cast<UINT64>(i + 1)), S_OK);
  }
  EXPECT_EQ(sim::gpu::QueueIdleAtNs(queue), t0 + kLists * 300000);
  sim::ClockAdvanceTo(t0 + 33 * 300000);
  EXPECT_EQ(fence->GetCompletedValue(), 33u);
  sim::ClockAdvanceTo(t0 + kLists * 300000);
  EXPECT_EQ(fence->GetCompletedValue(), static_cast<UINT64>(kLists));
  sim::gpu::SurfaceView v;
  ASSERT_TRUE(sim::gpu::LookUpSurface(wideHandle, &v));
  for (int i = 0; i < kLists; ++i) {
    EXPECT_EQ(v.pixels[i * 4], i) << "pixel " << i << " row 0";
    EXPECT_EQ(v.pixels[v.rowPitch + i * 4], i % 2 == 0 ? 0 : i) << "pixel " << i << " row 1";
  }
  EXPECT_EQ(v.state, 0u);
  EXPECT_TRUE(sim::ValidationErrors().empty());
  for (int i = 0; i < kLists; ++i) {
    lists[i]->Release();
    allocs[i]->Release();
  }
  wide->Release();
}

}  // namespace
}  // namespace simtest
