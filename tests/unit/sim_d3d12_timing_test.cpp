// Queue and fence timing in both clock modes, forced failures and device
// removal.
#include "tests/unit/sim_d3d12_fixture.h"

namespace simtest {
namespace {

class TimingTest : public GpuTest {
 protected:
  void Execute() {
    Begin();
    ASSERT_EQ(list->Close(), S_OK);
    ID3D12CommandList* lists[] = {list};
    queue->ExecuteCommandLists(1, lists);
  }
};

TEST_F(TimingTest, BatchesCompleteAfterTheirCostInVirtualTime) {
  sim::Scenario s = sim::DefaultScenario();
  s.gpu.submitCostUs = 500;
  Install(s);
  std::int64_t t0 = sim::ClockPeekNs();
  Execute();
  ASSERT_EQ(queue->Signal(fence, 1), S_OK);
  // The second batch (the same closed list again) queues behind the first.
  ID3D12CommandList* lists[] = {list};
  queue->ExecuteCommandLists(1, lists);
  ASSERT_EQ(queue->Signal(fence, 2), S_OK);
  EXPECT_EQ(sim::gpu::QueueIdleAtNs(queue), t0 + 1000000);

  EXPECT_EQ(fence->GetCompletedValue(), 0u);
  sim::ClockAdvanceTo(t0 + 500000 - 1);
  EXPECT_EQ(fence->GetCompletedValue(), 0u);
  sim::ClockAdvanceTo(t0 + 500000);
  EXPECT_EQ(fence->GetCompletedValue(), 1u);
  sim::ClockAdvanceTo(t0 + 1000000);
  EXPECT_EQ(fence->GetCompletedValue(), 2u);

  // An idle queue starts the next batch at the time it is executed.
  sim::ClockAdvanceTo(t0 + 5000000);
  Execute();
  EXPECT_EQ(sim::gpu::QueueIdleAtNs(queue), t0 + 5000000 + 500000);
}

TEST_F(TimingTest, EventIsSignalledWhenTheFenceGetsThere) {
  Execute();
  ASSERT_EQ(queue->Signal(fence, 1), S_OK);
  std::int64_t done = sim::gpu::QueueIdleAtNs(queue);
  ASSERT_EQ(fence->SetEventOnCompletion(1, event), S_OK);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), done);
  EXPECT_EQ(fence->GetCompletedValue(), 1u);
  // Auto-reset: the signal was consumed.
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  // A value already reached sets the event at once.
  ASSERT_EQ(fence->SetEventOnCompletion(1, event), S_OK);
  std::int64_t before = sim::ClockPeekNs();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), before);
}

TEST_F(TimingTest, EventArmedBeforeTheSignalIsEnqueued) {
  ASSERT_EQ(fence->SetEventOnCompletion(1, event), S_OK);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  Execute();
  ASSERT_EQ(queue->Signal(fence, 1), S_OK);
  std::int64_t done = sim::gpu::QueueIdleAtNs(queue);
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), done);
}

TEST_F(TimingTest, FenceSignalFromTheCpuWakesWaiters) {
  ASSERT_EQ(fence->SetEventOnCompletion(5, event), S_OK);
  ASSERT_EQ(fence->Signal(4), S_OK);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_EQ(fence->Signal(5), S_OK);
  EXPECT_EQ(fence->GetCompletedValue(), 5u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(fence->SetEventOnCompletion(1, reinterpret_cast<HANDLE>(0x1234)), E_INVALIDARG);
}

TEST_F(TimingTest, RealTimeRunsTheWorkInsideExecute) {
  sim::Scenario s = sim::DefaultScenario();
  s.gpu.submitCostUs = 1000000;  // ignored in real time
  Install(s, sim::TimeMode::Real);
  HANDLE shared = nullptr;
  const float c[4] = {0.25f, 0.08f, 0.4f, 1.0f};
  ID3D12Resource* r = SubmitSharedSurfaceClear(&shared, 2, 2, c);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(queue->Signal(fence, 1), S_OK);
  EXPECT_EQ(fence->GetCompletedValue(), 1u);
  EXPECT_LE(sim::gpu::QueueIdleAtNs(queue), sim::ClockPeekNs());
  sim::gpu::SurfaceView v;
  ASSERT_TRUE(sim::gpu::LookUpSurface(shared, &v));
  EXPECT_EQ(v.state, 4u);
  EXPECT_EQ(v.pixels[0], 64);
  EXPECT_EQ(v.pixels[1], 20);
  EXPECT_EQ(v.pixels[2], 102);
  r->Release();
}

TEST_F(TimingTest, ForcedFailuresHitTheirCallWindowAndLeaveTheSlotEmpty) {
  sim::Scenario s = sim::DefaultScenario();
  sim::GpuFailure f;
  f.method = "ID3D12Device::CreateFence";
  f.window.first = 2;  // the fixture's CreateFence is call 1
  f.window.count = 2;
  f.hresult = static_cast<std::int32_t>(0x8007000Eu);
  s.gpu.failures.push_back(f);
  sim::GpuFailure close;
  close.method = "ID3D12GraphicsCommandList::Close";
  close.window.first = 2;
  close.window.count = 1;
  s.gpu.failures.push_back(close);
  Install(s);
  ID3D12Fence* out = reinterpret_cast<ID3D12Fence*>(8);
  EXPECT_EQ(dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&out)), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&out)), E_OUTOFMEMORY);
  ASSERT_EQ(dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&out)), S_OK);
  ASSERT_NE(out, nullptr);
  out->Release();
  // A forced failure of Close does not act: the list is still recording.
  Begin();
  EXPECT_EQ(list->Close(), E_FAIL);
  EXPECT_EQ(alloc->Reset(), E_FAIL);
  EXPECT_EQ(list->Close(), S_OK);
  // The fence handed out after the failures is the program's second one.
  auto releases = Events("Release");
  ASSERT_FALSE(releases.empty());
  EXPECT_EQ(releases.back()["object"], "ID3D12Fence#2");
}

TEST_F(TimingTest, CreateDeviceCanBeForcedToFail) {
  sim::Scenario s = sim::DefaultScenario();
  sim::GpuFailure f;
  f.method = "D3D12CreateDevice";
  f.window.first = 2;
  f.hresult = static_cast<std::int32_t>(0x887A0004u);
  s.gpu.failures.push_back(f);
  Install(s);  // call 1 succeeds
  ID3D12Device* d = reinterpret_cast<ID3D12Device*>(8);
  EXPECT_EQ(D3D12CreateDevice(adapter, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&d)),
            static_cast<HRESULT>(0x887A0004u));
  EXPECT_EQ(d, nullptr);
  EXPECT_TRUE(sim::gpu::IsKnownMethod("D3D12CreateDevice"));
  EXPECT_TRUE(sim::gpu::IsKnownMethod("ID3D12CommandQueue::Signal"));
  EXPECT_FALSE(sim::gpu::IsKnownMethod("ID3D12CommandQueue::Signal2"));
  EXPECT_FALSE(sim::gpu::IsKnownMethod("ID3D12Device::"));
}

TEST_F(TimingTest, QueryInterfaceFailsThroughAnyInterfaceTheObjectHas) {
  sim::Scenario s = sim::DefaultScenario();
  sim::GpuFailure f;
  f.method = "ID3D12Object::QueryInterface";
  f.window.first = 2;
  f.window.count = 1;
  f.hresult = static_cast<std::int32_t>(0x80004002u);
  s.gpu.failures.push_back(f);
  Install(s);
  void* p = nullptr;
  ASSERT_EQ(dev->QueryInterface(IUnknown::kIid, &p), S_OK);  // call 1 of an ID3D12Object
  static_cast<IUnknown*>(p)->Release();
  EXPECT_EQ(adapter->QueryInterface(IUnknown::kIid, &p), S_OK);  // not an ID3D12Object
  static_cast<IUnknown*>(p)->Release();
  p = reinterpret_cast<void*>(8);
  EXPECT_EQ(fence->QueryInterface(ID3D12Fence::kIid, &p), E_NOINTERFACE);  // call 2
  EXPECT_EQ(p, nullptr);
  ASSERT_EQ(fence->QueryInterface(ID3D12Fence::kIid, &p), S_OK);
  static_cast<IUnknown*>(p)->Release();
  EXPECT_TRUE(sim::gpu::IsKnownMethod("IUnknown::QueryInterface"));
  EXPECT_TRUE(sim::gpu::IsKnownMethod("ID3D12CommandList::QueryInterface"));
}

TEST_F(TimingTest, DeviceIsRemovedAfterTheGivenSubmissions) {
  sim::Scenario s = sim::DefaultScenario();
  s.gpu.deviceRemovedAfter = 2;
  Install(s);
  Execute();
  ASSERT_EQ(queue->Signal(fence, 1), S_OK);
  Execute();
  const HRESULT removed = DXGI_ERROR_DEVICE_REMOVED;
  EXPECT_EQ(queue->Signal(fence, 2), removed);
  EXPECT_EQ(list->Close(), removed);
  EXPECT_EQ(alloc->Reset(), removed);
  EXPECT_EQ(fence->SetEventOnCompletion(1, event), removed);
  EXPECT_EQ(fence->GetCompletedValue(), ~UINT64{0});
  ID3D12Fence* out = reinterpret_cast<ID3D12Fence*>(8);
  EXPECT_EQ(dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&out)), removed);
  EXPECT_EQ(out, nullptr);
  void* p = nullptr;
  EXPECT_EQ(dev->QueryInterface(ID3D12Device::kIid, &p), removed);
  // Releasing still works.
  EXPECT_EQ(fence->Release(), 0u);
  fence = nullptr;
}

TEST_F(TimingTest, QueueSignalsAreTracedWithFenceValueAndResult) {
  sim::Scenario s = sim::DefaultScenario();
  sim::GpuFailure f;
  f.method = "ID3D12CommandQueue::Signal";
  f.window.first = 2;
  f.window.count = 1;
  f.hresult = static_cast<std::int32_t>(0x887A0006u);
  s.gpu.failures.push_back(f);
  Install(s);
  Execute();
  EXPECT_EQ(queue->Signal(fence, 1), S_OK);
  EXPECT_EQ(queue->Signal(fence, 2), static_cast<HRESULT>(0x887A0006u));
  // A fence of no runtime is refused and traced without a name.
  EXPECT_EQ(queue->Signal(reinterpret_cast<ID3D12Fence*>(queue), 3), E_INVALIDARG);
  auto signals = Events("Signal");
  ASSERT_EQ(signals.size(), 3u);
  struct Want {
    nlohmann::json fence;
    std::uint64_t value;
    const char* result;
  };
  const Want want[] = {{"ID3D12Fence#1", 1, "0x00000000"},
                       {"ID3D12Fence#1", 2, "0x887A0006"},
                       {nullptr, 3, "0x80070057"}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(signals[i]["fence"], want[i].fence) << i;
    EXPECT_EQ(signals[i]["value"], want[i].value) << i;
    EXPECT_EQ(signals[i]["result"], want[i].result) << i;
  }
  // The failed signal never reaches the fence.
  sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(queue));
  EXPECT_EQ(fence->GetCompletedValue(), 1u);
}
}  // namespace
}  // namespace simtest
