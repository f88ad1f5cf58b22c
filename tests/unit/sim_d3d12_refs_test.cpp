// Reference counts, the Release trace and the end-of-run accounting.
#include "tests/unit/sim_d3d12_fixture.h"

namespace simtest {
namespace {

class RefsTest : public GpuTest {
 protected:
  static std::vector<std::pair<std::string, int>> Releases() {
    std::vector<std::pair<std::string, int>> out;
    for (const auto& e : Events("Release")) {
      out.emplace_back(e["object"].get<std::string>(), e["refs"].get<int>());
    }
    return out;
  }
  static std::vector<std::string> Held() {
    std::vector<std::string> out;
    for (const auto& e : Events("held")) {
      EXPECT_EQ(e["kind"], "interface");
      out.push_back(e["what"].get<std::string>());
    }
    return out;
  }
};

TEST_F(RefsTest, ReleaseChainIsTracedWithNamesAndCounts) {
  EXPECT_EQ(dev->AddRef(), 2u);
  EXPECT_EQ(dev->Release(), 1u);
  EXPECT_EQ(heap->Release(), 0u);
  EXPECT_EQ(fence->Release(), 0u);
  EXPECT_EQ(list->Release(), 0u);
  EXPECT_EQ(alloc->Release(), 0u);
  EXPECT_EQ(queue->Release(), 0u);
  EXPECT_EQ(dev->Release(), 0u);
  EXPECT_EQ(adapter->Release(), 0u);
  using R = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(Releases(), (R{{"ID3D12Device#1", 1},
                           {"ID3D12DescriptorHeap#1", 0},
                           {"ID3D12Fence#1", 0},
                           {"ID3D12GraphicsCommandList#1", 0},
                           {"ID3D12CommandAllocator#1", 0},
                           {"ID3D12CommandQueue#1", 0},
                           {"ID3D12Device#1", 0},
                           {"IDXGIAdapter#1", 0}}));
  sim::gpu::ReportHeld();
  EXPECT_TRUE(Held().empty());
  EXPECT_FALSE(sim::gpu::IsDevice(dev));
  EXPECT_TRUE(sim::ValidationErrors().empty());
}

TEST_F(RefsTest, InternalReferencesKeepObjectsAliveButAreNotThePrograms) {
  // The program lets go of the device and allocator first; the queue and the
  // list still need them.
  EXPECT_EQ(dev->Release(), 0u);
  EXPECT_EQ(alloc->Release(), 0u);
  EXPECT_TRUE(sim::gpu::IsDevice(dev));
  Begin();  // uses nothing but the list now
  sim::gpu::ReportHeld();
  std::vector<std::string> held = Held();
  EXPECT_EQ(held, (std::vector<std::string>{"IDXGIAdapter#1", "ID3D12CommandQueue#1",
                                            "ID3D12GraphicsCommandList#1", "ID3D12Fence#1",
                                            "ID3D12DescriptorHeap#1"}));
}

TEST_F(RefsTest, QueryInterfaceCountsAndRefusesOtherInterfaces) {
  void* p = reinterpret_cast<void*>(8);
  EXPECT_EQ(queue->QueryInterface(ID3D12Fence::kIid, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  ASSERT_EQ(queue->QueryInterface(IUnknown::kIid, &p), S_OK);
  EXPECT_EQ(p, static_cast<void*>(queue));
  ASSERT_EQ(list->QueryInterface(ID3D12CommandList::kIid, &p), S_OK);
  EXPECT_EQ(static_cast<ID3D12CommandList*>(p)->GetType(), D3D12_COMMAND_LIST_TYPE_DIRECT);
  EXPECT_EQ(queue->Release(), 1u);
  EXPECT_EQ(list->Release(), 1u);
  EXPECT_EQ(queue->QueryInterface(IUnknown::kIid, nullptr), E_POINTER);
}

TEST_F(RefsTest, EveryOpenedSurfaceIsItsOwnObject) {
  HANDLE shared = sim::gpu::CreateSharedSurface(dev, 8, 8, DXGI_FORMAT_B8G8R8A8_TYPELESS);
  ID3D12Resource* a = nullptr;
  ID3D12Resource* b = nullptr;
  ASSERT_EQ(dev->OpenSharedHandle(shared, IID_PPV_ARGS(&a)), S_OK);
  ASSERT_EQ(dev->OpenSharedHandle(shared, IID_PPV_ARGS(&b)), S_OK);
  ID3D12Resource* upload = MakeUpload(256);
  EXPECT_EQ(upload->Release(), 0u);
  EXPECT_EQ(a->Release(), 0u);
  sim::gpu::ReportHeld();
  auto releases = Releases();
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(releases[0].first, "ID3D12Resource#3");
  EXPECT_EQ(releases[1].first, "ID3D12Resource#1");
  std::vector<std::string> held = Held();
  EXPECT_EQ(held.back(), "ID3D12Resource#2");
  // The surface outlives the objects that opened it.
  sim::gpu::SurfaceView v;
  EXPECT_EQ(b->Release(), 0u);
  EXPECT_TRUE(sim::gpu::LookUpSurface(shared, &v));
  EXPECT_EQ(v.width, 8u);
}

TEST_F(RefsTest, TheAdapterIsOneObjectWhileTheProgramHoldsIt) {
  IDXGIAdapter* again = sim::gpu::CreateAdapter();
  EXPECT_EQ(again, adapter);
  EXPECT_EQ(again->Release(), 1u);
  // The device holds it internally; the program's last release ends its count.
  EXPECT_EQ(adapter->Release(), 0u);
  IDXGIAdapter* fresh = sim::gpu::CreateAdapter();
  EXPECT_EQ(fresh, adapter);  // still alive behind the device, so the same object
  EXPECT_EQ(fresh->Release(), 0u);
  auto releases = Releases();
  ASSERT_EQ(releases.size(), 3u);
  EXPECT_EQ(releases[2].first, "IDXGIAdapter#1");
}

TEST_F(RefsTest, WorkInFlightKeepsAReleasedResourceAlive) {
  HANDLE shared = nullptr;
  const float c[4] = {1, 0, 0, 1};
  ID3D12Resource* r = SubmitSharedSurfaceClear(&shared, 4, 4, c);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Release(), 0u);
  EXPECT_EQ(list->Release(), 0u);
  list = nullptr;
  sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(queue));
  sim::gpu::SurfaceView v;
  ASSERT_TRUE(sim::gpu::LookUpSurface(shared, &v));
  EXPECT_EQ(v.pixels[0], 255);
  EXPECT_EQ(v.state, 4u);
  sim::gpu::ReportHeld();
  for (const std::string& h : Held()) EXPECT_EQ(h.find("ID3D12Resource"), std::string::npos);
}

TEST_F(RefsTest, OverReleaseOfAnObjectStillInUseIsReported) {
  // The queue still holds the device internally, so the object exists and
  // the program's extra Release can be caught instead of freeing it.
  EXPECT_EQ(dev->Release(), 0u);
  EXPECT_EQ(dev->Release(), 0u);
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_EQ(sim::ValidationErrors()[0],
            "ID3D12Device#1: Release called without a reference held by the program");
  EXPECT_TRUE(sim::gpu::IsDevice(dev));
  EXPECT_EQ(queue->Signal(fence, 1), S_OK);
}

}  // namespace
}  // namespace simtest
