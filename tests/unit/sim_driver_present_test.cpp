// Present12 on the simulated driver: its refusals, the trace, the pacing of the
// present-waitable in virtual time, capture, release and held displays.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/d3d12/sim_gpu.h"
#include "sim/kernel.h"
#include "sim_driver_fixture.h"

namespace dmtest {
namespace {

class DriverPresent : public DriverTest {
 protected:
  // Everything the run does before its present loop; the mode record is mode.
  void Ready(const sim::Scenario& s, ModeRecord mode, bool setMode = true) {
    Install(s, options_);
    Start();
    gpu_.Create();
    mode_ = mode;
    ASSERT_EQ(Entry<AcquireFn>(id::kAcquire)(kVendor, gpu_.device, display_.get()), 0);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(Entry<CreateSurfaceFn>(id::kCreateSurface)(display_.get(), mode_.get(),
                                                           &surfaceId_[i], &shared_[i]),
                0);
    }
    if (setMode) SetMode();
    ASSERT_EQ(Entry<ControlFn>(id::kDisplayControl)(display_.get(), 0), 0);
    ASSERT_EQ(Entry<WaitableFn>(id::kGetWaitable)(display_.get(), &waitable_), 0);
    ASSERT_NE(waitable_, nullptr);
  }
  void SetMode() {
    ASSERT_EQ(Entry<SetModeFn>(id::kSetDisplayMode)(display_.get(), mode_.get()), 0);
    modeSetNs_ = sim::ClockPeekNs();
  }
  std::int32_t Present(std::uint32_t surfaceId) {
    return Entry<PresentFn>(id::kPresent12)(display_.get(), surfaceId, 1, gpu_.queue, gpu_.list);
  }

  // Records a transition of surface 0 and runs it on the queue.
  void Transition(ID3D12Resource* resource, D3D12_RESOURCE_STATES from, D3D12_RESOURCE_STATES to) {
    ASSERT_EQ(gpu_.allocator->Reset(), S_OK);
    ASSERT_EQ(gpu_.list->Reset(gpu_.allocator, nullptr), S_OK);
    D3D12_RESOURCE_BARRIER barrier{};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = 0xFFFFFFFFu;
    barrier.Transition.StateBefore = from;
    barrier.Transition.StateAfter = to;
    gpu_.list->ResourceBarrier(1, &barrier);
    ASSERT_EQ(gpu_.list->Close(), S_OK);
    ID3D12CommandList* lists[] = {gpu_.list};
    gpu_.queue->ExecuteCommandLists(1, lists);
    sim::ClockAdvanceTo(sim::gpu::QueueIdleAtNs(gpu_.queue));
  }

  sim::MachineOptions options_;
  GpuObjects gpu_;
  DisplayRecord display_;
  ModeRecord mode_;
  std::uint32_t surfaceId_[2] = {};
  HANDLE shared_[2] = {};
  HANDLE waitable_ = nullptr;
  std::int64_t modeSetNs_ = 0;
};

ModeRecord Mode72() { return ModeRecord(2160, 1200, 72000, 1000, 22); }

TEST_F(DriverPresent, PresentBeforeSetDisplayModeIsRefused) {
  Ready(sim::DefaultScenario(), Mode72(), /*setMode=*/false);
  EXPECT_EQ(Present(surfaceId_[0]), -1);
  SetMode();
  EXPECT_EQ(Present(surfaceId_[0]), 0);
}

TEST_F(DriverPresent, UnknownSurfaceIdsAreRefused) {
  Ready(sim::DefaultScenario(), Mode72());
  // Neither an index in place of an id nor an id the driver never handed out.
  for (std::uint32_t bogus : {0u, 1u, 2u, surfaceId_[0] + surfaceId_[1] + 100}) {
    if (bogus == surfaceId_[0] || bogus == surfaceId_[1]) continue;
    EXPECT_EQ(Present(bogus), -1) << bogus;
  }
  EXPECT_EQ(Present(surfaceId_[1]), 0);
}

TEST_F(DriverPresent, PresentRefusesASurfaceThatIsNotInTheCommonState) {
  Ready(sim::DefaultScenario(), Mode72());
  ID3D12Resource* resource = nullptr;
  ASSERT_EQ(gpu_.device->OpenSharedHandle(shared_[0], IID_PPV_ARGS(&resource)), S_OK);
  Transition(resource, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  EXPECT_EQ(Present(surfaceId_[0]), -1);
  EXPECT_EQ(Present(surfaceId_[1]), 0);
  Transition(resource, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COMMON);
  EXPECT_EQ(Present(surfaceId_[0]), 0);
  resource->Release();
}

TEST_F(DriverPresent, PresentRefusesAQueueOrListThatIsNotTheRuntimes) {
  Ready(sim::DefaultScenario(), Mode72());
  const auto present = Entry<PresentFn>(id::kPresent12);
  int bogus = 0;
  EXPECT_EQ(present(display_.get(), surfaceId_[0], 1, nullptr, gpu_.list), -1);
  EXPECT_EQ(present(display_.get(), surfaceId_[0], 1, reinterpret_cast<ID3D12CommandQueue*>(&bogus),
                    gpu_.list),
            -1);
  EXPECT_EQ(present(display_.get(), surfaceId_[0], 1, gpu_.queue,
                    reinterpret_cast<ID3D12GraphicsCommandList*>(&bogus)),
            -1);
}

TEST_F(DriverPresent, EveryPresentIsTracedWithItsFrameNumberFromZero) {
  sim::Scenario s = sim::DefaultScenario();
  sim::ForcedStatus second;
  second.status = -7;
  second.window.first = 2;
  second.window.count = 1;
  s.driver.statuses["Present12"] = second;
  Ready(s, Mode72());
  EXPECT_EQ(Present(surfaceId_[0]), 0);
  EXPECT_EQ(Present(surfaceId_[1]), -7);
  EXPECT_EQ(Present(12345), -1);
  const auto presents = Events("present");
  ASSERT_EQ(presents.size(), 3u);
  for (std::size_t i = 0; i < presents.size(); ++i) {
    EXPECT_EQ(presents[i].at("frame").get<std::uint64_t>(), i);
  }
  EXPECT_EQ(presents[0].at("surfaceId").get<std::uint32_t>(), surfaceId_[0]);
  EXPECT_EQ(presents[1].at("status"), -7);
  EXPECT_EQ(presents[2].at("surfaceId"), 12345);
  EXPECT_EQ(presents[2].at("status"), -1);
  EXPECT_EQ(DriverStatuses("Present12"), (std::vector<std::int32_t>{0, -7, -1}));
}

TEST_F(DriverPresent, VblankPacingSignalsAtTheFirstVblankStrictlyAfterThePresent) {
  Ready(sim::DefaultScenario(), Mode72());
  ASSERT_EQ(Present(surfaceId_[0]), 0);
  EXPECT_EQ(WaitForSingleObject(waitable_, 0), WAIT_TIMEOUT) << "not before the vblank";
  EXPECT_EQ(WaitForSingleObject(waitable_, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), modeSetNs_ + 13888888);
  // A present exactly on vblank 1 waits for vblank 2.
  ASSERT_EQ(Present(surfaceId_[1]), 0);
  EXPECT_EQ(WaitForSingleObject(waitable_, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), modeSetNs_ + 27777777);
}

TEST_F(DriverPresent, AModeWithoutARateScansOutAt60Hz) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.displays[0].modes.push_back(Mode(2160, 1200, 0, 0));
  Ready(s, ModeRecord(2160, 1200, 0, 0, 22));
  ASSERT_EQ(Present(surfaceId_[0]), 0);
  EXPECT_EQ(WaitForSingleObject(waitable_, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), modeSetNs_ + 16666666);
}

TEST_F(DriverPresent, ImmediatePacingSignalsAtOnce) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.refreshPacing = sim::DriverScenario::Pacing::Immediate;
  Ready(s, Mode72());
  const std::int64_t before = sim::ClockPeekNs();
  ASSERT_EQ(Present(surfaceId_[0]), 0);
  EXPECT_EQ(WaitForSingleObject(waitable_, 0), WAIT_OBJECT_0);
  EXPECT_EQ(sim::ClockPeekNs(), before);
  EXPECT_EQ(WaitForSingleObject(waitable_, 0), WAIT_TIMEOUT) << "auto-reset";
}

TEST_F(DriverPresent, RefusedPresentSignalsNothing) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.refreshPacing = sim::DriverScenario::Pacing::Immediate;
  Ready(s, Mode72());
  EXPECT_EQ(Present(999), -1);
  EXPECT_EQ(WaitForSingleObject(waitable_, 0), WAIT_TIMEOUT);
}

// The present loop's pacing: at [72000, 1000] a 2-second loop shows 144 frames.
TEST_F(DriverPresent, TwoSecondsAt72HzPresent144Frames) {
  Ready(sim::DefaultScenario(), Mode72());
  const std::int64_t start = MonotonicNowNs();
  std::uint64_t frames = 0;
  while (static_cast<double>(MonotonicNowNs() - start) / 1e9 < 2.0) {
    ASSERT_EQ(Present(surfaceId_[frames & 1]), 0);
    ASSERT_EQ(WaitForSingleObject(waitable_, 1000), WAIT_OBJECT_0);
    ++frames;
    ASSERT_LT(frames, 1000u);
  }
  EXPECT_EQ(frames, 144u);
}

TEST_F(DriverPresent, PresentRefusesASurfaceOfAnotherSizeThanTheModeSet) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.displays[0].modes.push_back(Mode(1080, 1200, 72000, 1000));
  Ready(s, Mode72());
  ModeRecord smaller(1080, 1200, 72000, 1000, 22);
  ASSERT_EQ(Entry<SetModeFn>(id::kSetDisplayMode)(display_.get(), smaller.get()), 0);
  EXPECT_EQ(Present(surfaceId_[0]), -1);
}

TEST_F(DriverPresent, ListedFramesAreCapturedAsPng) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("sim_driver_capture_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  options_.captureDir = dir.string();
  options_.captureFrames = {1, 3};
  sim::Scenario s = sim::DefaultScenario();
  s.driver.refreshPacing = sim::DriverScenario::Pacing::Immediate;
  Ready(s, Mode72());
  EXPECT_EQ(Present(surfaceId_[0]), 0);
  EXPECT_EQ(Present(surfaceId_[1]), 0);
  EXPECT_EQ(Present(4242), -1);  // frame 2, refused: nothing shown
  EXPECT_EQ(Present(surfaceId_[1]), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "frame-0.png"));
  EXPECT_TRUE(std::filesystem::exists(dir / "frame-1.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "frame-2.png"));
  EXPECT_TRUE(std::filesystem::exists(dir / "frame-3.png"));
  std::FILE* f = std::fopen((dir / "frame-1.png").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  unsigned char magic[8] = {};
  EXPECT_EQ(std::fread(magic, 1, 8, f), 8u);
  std::fclose(f);
  EXPECT_EQ(magic[1], 'P');
  EXPECT_EQ(magic[2], 'N');
  EXPECT_EQ(magic[3], 'G');
  std::filesystem::remove_all(dir);
}

TEST_F(DriverPresent, ReleaseGivesTheDisplayBackWithItsSurfaces) {
  Ready(sim::DefaultScenario(), Mode72());
  const auto release = Entry<ReleaseFn>(id::kRelease);
  EXPECT_EQ(release(0x1002, display_.get()), -1) << "not the acquiring vendor";
  EXPECT_EQ(release(kVendor, display_.get()), 0);
  EXPECT_EQ(release(kVendor, display_.get()), -1) << "no longer acquired";
  EXPECT_EQ(Present(surfaceId_[0]), -1);
  EXPECT_EQ(Entry<SetModeFn>(id::kSetDisplayMode)(display_.get(), mode_.get()), -1);
  // Acquired again, the old surfaces are gone.
  ASSERT_EQ(Entry<AcquireFn>(id::kAcquire)(kVendor, gpu_.device, display_.get()), 0);
  SetMode();
  EXPECT_EQ(Present(surfaceId_[0]), -1);
}

TEST_F(DriverPresent, DisplayControlTakesPowerOnAndOffOnly) {
  Ready(sim::DefaultScenario(), Mode72());
  const auto control = Entry<ControlFn>(id::kDisplayControl);
  EXPECT_EQ(control(display_.get(), 1), 0);
  EXPECT_EQ(control(display_.get(), 0), 0);
  EXPECT_EQ(control(display_.get(), 2), -1);
  DisplayRecord unknown(0x5u);
  EXPECT_EQ(control(unknown.get(), 0), -1);
}

TEST_F(DriverPresent, WaitableIsOneAutoResetEventPerDisplay) {
  Ready(sim::DefaultScenario(), Mode72());
  HANDLE again = nullptr;
  ASSERT_EQ(Entry<WaitableFn>(id::kGetWaitable)(display_.get(), &again), 0);
  EXPECT_EQ(again, waitable_);
  EXPECT_TRUE(sim::KernelIsEvent(waitable_));
  EXPECT_EQ(Entry<WaitableFn>(id::kGetWaitable)(display_.get(), nullptr), -1);
}

TEST_F(DriverPresent, DisplayStillAcquiredAtExitIsHeld) {
  Ready(sim::DefaultScenario(), Mode72());
  sim::driver::ReportHeld();
  const auto held = Events("held");
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].at("kind"), "display");
  EXPECT_EQ(held[0].at("what"), "0x80061001");
}

TEST_F(DriverPresent, ReleasedDisplayIsNotHeld) {
  Ready(sim::DefaultScenario(), Mode72());
  ASSERT_EQ(Entry<ReleaseFn>(id::kRelease)(kVendor, display_.get()), 0);
  sim::driver::ReportHeld();
  EXPECT_TRUE(Events("held").empty());
}

TEST_F(DriverPresent, StateOutlivesAnUnloadOfTheLibrary) {
  Ready(sim::DefaultScenario(), Mode72());
  // Nothing is kept in the module: a fresh query finds the display acquired.
  EXPECT_EQ(Entry<AcquireFn>(id::kAcquire)(kVendor, gpu_.device, display_.get()), -1);
  EXPECT_EQ(Present(surfaceId_[0]), 0);
}

}  // namespace
}  // namespace dmtest
