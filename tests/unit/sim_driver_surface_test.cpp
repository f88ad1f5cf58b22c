// Acquiring a display, creating its surfaces and setting its mode on the
// simulated driver: the refusals and the DSC rules.
#include <vector>

#include "sim/d3d12/sim_gpu.h"
#include "sim_driver_fixture.h"

namespace dmtest {
namespace {

class DriverSurfaces : public DriverTest {
 protected:
  void SetUpMachine(const sim::Scenario& s) {
    Install(s);
    Start();
    gpu_.Create();
  }
  std::int32_t Acquire() {
    return Entry<AcquireFn>(id::kAcquire)(kVendor, gpu_.device, display_.get());
  }
  std::int32_t Create(ModeRecord& mode, std::uint32_t* surfaceId, HANDLE* shared) {
    return Entry<CreateSurfaceFn>(id::kCreateSurface)(display_.get(), mode.get(), surfaceId,
                                                      shared);
  }
  std::int32_t Create(ModeRecord& mode) {
    std::uint32_t surfaceId = 0;
    HANDLE shared = nullptr;
    return Create(mode, &surfaceId, &shared);
  }
  std::int32_t SetMode(ModeRecord& mode) {
    return Entry<SetModeFn>(id::kSetDisplayMode)(display_.get(), mode.get());
  }

  GpuObjects gpu_;
  DisplayRecord display_;
};

ModeRecord Mode90() { return ModeRecord(2160, 1200, 90000, 1000, 22); }

TEST_F(DriverSurfaces, SurfacesAreMadeInTheDisplaysFormatAtTheModesSize) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.displays[0].surfaceFormat = 92;
  SetUpMachine(s);
  ASSERT_EQ(Acquire(), 0);
  ModeRecord mode = Mode90();
  std::uint32_t ids[2] = {};
  HANDLE shared[2] = {};
  ASSERT_EQ(Create(mode, &ids[0], &shared[0]), 0);
  ASSERT_EQ(Create(mode, &ids[1], &shared[1]), 0);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(shared[0], shared[1]);
  for (HANDLE h : shared) {
    sim::gpu::SurfaceView view;
    ASSERT_TRUE(sim::gpu::LookUpSurface(h, &view));
    EXPECT_EQ(view.width, 2160u);
    EXPECT_EQ(view.height, 1200u);
    EXPECT_EQ(view.format, 92u);
    EXPECT_EQ(view.state, 0u);
  }
  // The handle opens as a resource on the acquiring device.
  ID3D12Resource* resource = nullptr;
  ASSERT_EQ(gpu_.device->OpenSharedHandle(shared[0], IID_PPV_ARGS(&resource)), S_OK);
  resource->Release();
}

TEST_F(DriverSurfaces, CreateSurfaceBeforeAcquireIsRefused) {
  SetUpMachine(sim::DefaultScenario());
  ModeRecord mode = Mode90();
  std::uint32_t surfaceId = 0;
  HANDLE shared = nullptr;
  EXPECT_EQ(Create(mode, &surfaceId, &shared), -1);
  EXPECT_EQ(shared, nullptr);
  EXPECT_EQ(SetMode(mode), -1);
}

TEST_F(DriverSurfaces, AcquireNeedsAKnownEnabledDisplayAnEnabledVendorAndASimulatedDevice) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.vendors = {kVendor, 0x1002};
  s.driver.displays.push_back(Display(0x99u, {Mode(640, 480, 60, 1)}, /*enabled=*/false));
  SetUpMachine(s);
  const auto acquire = Entry<AcquireFn>(id::kAcquire);
  DisplayRecord unknown(0x1234u);
  DisplayRecord disabled(0x99u);
  int notADevice = 0;
  EXPECT_EQ(acquire(kVendor, gpu_.device, unknown.get()), -1);
  EXPECT_EQ(acquire(kVendor, gpu_.device, disabled.get()), -1);
  EXPECT_EQ(acquire(kVendor, reinterpret_cast<ID3D12Device*>(&notADevice), display_.get()), -1);
  EXPECT_EQ(acquire(kVendor, nullptr, display_.get()), -1);
  EXPECT_EQ(acquire(0x1002, gpu_.device, display_.get()), -1) << "vendor not enabled";
  EXPECT_EQ(acquire(kVendor, gpu_.device, display_.get()), 0);
  EXPECT_EQ(acquire(kVendor, gpu_.device, display_.get()), -1) << "already acquired";
}

TEST_F(DriverSurfaces, ModeMustBeOneOfTheDisplaysAndOfTheCurrentVersion) {
  SetUpMachine(sim::DefaultScenario());
  ASSERT_EQ(Acquire(), 0);
  std::vector<ModeRecord> refused = {
      ModeRecord(2160, 1200, 60000, 1000, 22),  // a rate the display lacks
      ModeRecord(1920, 1200, 90000, 1000, 22),  // a size it lacks
      ModeRecord(2160, 1200, 90000, 1000, 28),  // a format it lacks
      ModeRecord(2160, 1200, 90, 1, 22),        // the same rate, spelt otherwise
      Mode90().Version(0x00010030u),           Mode90().Version(0),
  };
  for (ModeRecord& mode : refused) {
    EXPECT_EQ(Create(mode), -1);
    EXPECT_EQ(SetMode(mode), -1);
  }
  ModeRecord mode = Mode90();
  EXPECT_EQ(Create(mode), 0);
  EXPECT_EQ(SetMode(mode), 0);
}

// A caller whose declaration puts the fields elsewhere is read at the
// contract's offsets all the same, and gets the refusal that follows.
TEST_F(DriverSurfaces, ModeRecordsAreReadAtTheContractsOffsets) {
  SetUpMachine(sim::DefaultScenario());
  ASSERT_EQ(Acquire(), 0);
  // Width to format one word late, as with an extra field before width.
  ModeRecord late;
  Put32(late.bytes.data(), 8, 2160);
  Put32(late.bytes.data(), 12, 1200);
  Put32(late.bytes.data(), 16, 90000);
  Put32(late.bytes.data(), 20, 1000);
  Put32(late.bytes.data(), 24, 22);
  EXPECT_EQ(Create(late), -1);
  // DSC fields one word early: dscMode 1 lands at 28, where it is opaque, and
  // the driver reads dscMode 17 at 32.
  ModeRecord early = Mode90();
  Put32(early.bytes.data(), 28, 1);
  Put32(early.bytes.data(), 32, 17);
  Put32(early.bytes.data(), 36, 4);
  Put32(early.bytes.data(), 40, 128);
  EXPECT_EQ(Create(early), -1);
  EXPECT_EQ(SetMode(early), -1);
  // The words at 24 and 28 are opaque: whatever they hold, the mode is known.
  ModeRecord opaque = Mode90().Dsc(1, 17, 4, 128);
  Put32(opaque.bytes.data(), 24, 0xFFFFFFFFu);
  Put32(opaque.bytes.data(), 28, 0xFFFFFFFFu);
  EXPECT_EQ(Create(opaque), 0);
  EXPECT_EQ(SetMode(opaque), 0);
}

TEST_F(DriverSurfaces, CreateSurfaceRefusesNullOutArguments) {
  SetUpMachine(sim::DefaultScenario());
  ASSERT_EQ(Acquire(), 0);
  ModeRecord mode = Mode90();
  std::uint32_t surfaceId = 0;
  HANDLE shared = nullptr;
  EXPECT_EQ(Create(mode, nullptr, &shared), -1);
  EXPECT_EQ(Create(mode, &surfaceId, nullptr), -1);
  EXPECT_EQ(
      Entry<CreateSurfaceFn>(id::kCreateSurface)(display_.get(), nullptr, &surfaceId, &shared), -1);
}

struct DscCase {
  sim::DriverScenario::Dsc dsc;
  std::int32_t dscMode;
  std::int32_t dscVer;
  std::int32_t slices;
  std::uint32_t bppx16;
  bool accepted;
};

class DriverDsc : public DriverSurfaces, public ::testing::WithParamInterface<DscCase> {};

TEST_P(DriverDsc, CreateSurfaceAndSetDisplayModeApplyTheDscRules) {
  const DscCase& c = GetParam();
  sim::Scenario s = sim::DefaultScenario();
  s.driver.dsc = c.dsc;
  SetUpMachine(s);
  ASSERT_EQ(Acquire(), 0);
  ModeRecord mode = Mode90().Dsc(c.dscMode, c.dscVer, c.slices, c.bppx16);
  const std::int32_t expected = c.accepted ? 0 : -1;
  EXPECT_EQ(Create(mode), expected);
  EXPECT_EQ(SetMode(mode), expected);
}

constexpr auto kSupported = sim::DriverScenario::Dsc::Supported;
constexpr auto kRefused = sim::DriverScenario::Dsc::Refused;

// The modes are 2160 wide.
INSTANTIATE_TEST_SUITE_P(
    Rules, DriverDsc,
    ::testing::Values(
        DscCase{kSupported, 0, 0, 0, 0, true},  // no DSC
        DscCase{kSupported, 1, 17, 4, 128, true}, DscCase{kSupported, 1, 18, 4, 128, true},
        DscCase{kSupported, 1, 17, 1, 128, true}, DscCase{kSupported, 1, 17, 2160, 128, true},
        DscCase{kSupported, 1, 17, 4, 96, true}, DscCase{kSupported, 1, 17, 4, 384, true},
        DscCase{kSupported, 1, 17, 4, 95, false}, DscCase{kSupported, 1, 17, 4, 385, false},
        DscCase{kSupported, 1, 16, 4, 128, false}, DscCase{kSupported, 1, 19, 4, 128, false},
        DscCase{kSupported, 1, 17, 0, 128, false}, DscCase{kSupported, 1, 17, -4, 128, false},
        DscCase{kSupported, 1, 17, 7, 128, false},  // 2160 % 7 != 0
        DscCase{kSupported, 2, 17, 4, 128, false},  // no such DSC mode
        DscCase{kRefused, 1, 17, 4, 128, false}, DscCase{kRefused, 0, 0, 0, 0, true}));

TEST_F(DriverSurfaces, CreateSurfaceRefusalWindowDoesNotMakeASurface) {
  sim::Scenario s = sim::DefaultScenario();
  sim::ForcedStatus second;
  second.status = -104;
  second.window.first = 2;
  second.window.count = 1;
  s.driver.statuses["CreateSurface"] = second;
  SetUpMachine(s);
  ASSERT_EQ(Acquire(), 0);
  ModeRecord mode = Mode90();
  std::uint32_t ids[3] = {};
  HANDLE shared[3] = {};
  EXPECT_EQ(Create(mode, &ids[0], &shared[0]), 0);
  EXPECT_EQ(Create(mode, &ids[1], &shared[1]), -104);
  EXPECT_EQ(shared[1], nullptr);
  EXPECT_EQ(Create(mode, &ids[2], &shared[2]), 0);
  EXPECT_NE(shared[2], nullptr);
}

}  // namespace
}  // namespace dmtest
