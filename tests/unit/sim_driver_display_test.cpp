// Enumeration, the mode query and the GPU of the simulated driver, with the
// records built byte by byte at the contract's offsets.
#include <vector>

#include "sim_driver_fixture.h"

namespace dmtest {
namespace {

using DriverDisplays = DriverTest;

constexpr unsigned char kSentinel = 0xA5;

sim::Scenario ThreeDisplays() {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.displays = {Display(0x11u, {Mode(1920, 1080, 60, 1)}),
                       Display(0x22u, {Mode(1280, 720, 60, 1)}, /*enabled=*/false),
                       Display(0x33u, {Mode(800, 600, 60, 1)})};
  return s;
}

TEST_F(DriverDisplays, EnumerationOfKindOneListsEnabledDisplaysInOrder) {
  Install(ThreeDisplays());
  Start();
  const auto enumerate = Entry<EnumerateFn>(id::kEnumerate);
  std::uint32_t count = 0;
  ASSERT_EQ(enumerate(kVendor, &count, nullptr, 1), 0);
  ASSERT_EQ(count, 2u);

  std::vector<unsigned char> records(3 * 16, kSentinel);
  ASSERT_EQ(enumerate(kVendor, &count, records.data(), 1), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Get32(records.data(), 0), 0x11u);
  EXPECT_EQ(Get32(records.data(), 16), 0x33u);
  for (std::size_t i = 32; i < records.size(); ++i) {
    ASSERT_EQ(records[i], kSentinel) << "byte " << i << " lies past the count given";
  }
}

TEST_F(DriverDisplays, EnumerationOfKindZeroListsEveryDisplay) {
  Install(ThreeDisplays());
  Start();
  std::uint32_t count = 0;
  ASSERT_EQ(Entry<EnumerateFn>(id::kEnumerate)(kVendor, &count, nullptr, 0), 0);
  EXPECT_EQ(count, 3u);
}

TEST_F(DriverDisplays, FillingEnumerationWritesAtMostTheCountGiven) {
  Install(ThreeDisplays());
  Start();
  std::vector<unsigned char> records(2 * 16, kSentinel);
  std::uint32_t count = 1;
  ASSERT_EQ(Entry<EnumerateFn>(id::kEnumerate)(kVendor, &count, records.data(), 1), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Get32(records.data(), 0), 0x11u);
  for (std::size_t i = 4; i < 16; ++i) EXPECT_EQ(records[i], 0) << "opaque byte " << i;
  for (std::size_t i = 16; i < records.size(); ++i) ASSERT_EQ(records[i], kSentinel);
}

TEST_F(DriverDisplays, VendorsDecideDirectMode) {
  InstallDefault();
  ASSERT_EQ(Entry<InitializeFn>(id::kInitialize)(), 0);
  const auto enumerate = Entry<EnumerateFn>(id::kEnumerate);
  std::uint32_t count = 7;
  // Not enabled yet: no displays, and not a failure.
  EXPECT_EQ(enumerate(kVendor, &count, nullptr, 1), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Entry<EnableFn>(id::kEnableDirectMode)(0x10DE, 0), -1);
  EXPECT_EQ(enumerate(0x10DE, &count, nullptr, 1), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Entry<EnableFn>(id::kEnableDirectMode)(kVendor, 0), 0);
  EXPECT_EQ(enumerate(kVendor, &count, nullptr, 1), 0);
  EXPECT_EQ(count, 1u);
}

TEST_F(DriverDisplays, EnumerationRefusesANullCountAndUnknownKinds) {
  InstallDefault();
  Start();
  const auto enumerate = Entry<EnumerateFn>(id::kEnumerate);
  std::uint32_t count = 0;
  EXPECT_EQ(enumerate(kVendor, nullptr, nullptr, 1), -1);
  EXPECT_EQ(enumerate(kVendor, &count, nullptr, 2), -1);
}

TEST_F(DriverDisplays, ModeQueryWritesEachFieldAtItsOffsetAndKeepsTheOpaqueWords) {
  sim::Scenario s = sim::DefaultScenario();
  sim::ModeSpec m = Mode(3840, 2160, 59940, 1001, 87);
  m.dscMode = 1;
  m.dscVer = 18;
  m.slices = 8;
  m.bppx16 = 192;
  s.driver.displays = {Display(0x44u, {Mode(640, 480, 60, 1), m})};
  Install(s);
  Start();
  const auto getModes = Entry<GetModesFn>(id::kGetModes);
  DisplayRecord display(0x44u);
  std::uint32_t count = 0;
  ASSERT_EQ(getModes(display.get(), &count, nullptr, 0), 0);
  ASSERT_EQ(count, 2u);

  std::vector<ModeRecord> modes(2);
  Put32(modes[1].bytes.data(), 24, 0xDEADBEEFu);
  Put32(modes[1].bytes.data(), 28, 0x01020304u);
  ASSERT_EQ(getModes(display.get(), &count, modes.data(), 0), 0);
  EXPECT_EQ(count, 2u);
  const unsigned char* r = modes[1].bytes.data();
  EXPECT_EQ(Get32(r, 0), kModeVersion);
  EXPECT_EQ(Get32(r, 4), 3840u);
  EXPECT_EQ(Get32(r, 8), 2160u);
  EXPECT_EQ(Get32(r, 12), 59940u);
  EXPECT_EQ(Get32(r, 16), 1001u);
  EXPECT_EQ(Get32(r, 20), 87u);
  EXPECT_EQ(Get32(r, 24), 0xDEADBEEFu);
  EXPECT_EQ(Get32(r, 28), 0x01020304u);
  EXPECT_EQ(Get32(r, 32), 1u);
  EXPECT_EQ(Get32(r, 36), 18u);
  EXPECT_EQ(Get32(r, 40), 8u);
  EXPECT_EQ(Get32(r, 44), 192u);
  EXPECT_EQ(Get32(modes[0].bytes.data(), 4), 640u);
}

TEST_F(DriverDisplays, ModeQueryRefusesARecordOfAnotherVersionAndWritesNothing) {
  InstallDefault();
  Start();
  DisplayRecord display;
  std::vector<ModeRecord> modes(3);
  // A record laid out for a 44-byte mode, as a caller with a shorter struct sends.
  modes[2].Version(0x0002002Cu);
  std::uint32_t count = 3;
  EXPECT_EQ(Entry<GetModesFn>(id::kGetModes)(display.get(), &count, modes.data(), 0), -1);
  EXPECT_EQ(Get32(modes[0].bytes.data(), 4), 0u) << "nothing is written on refusal";
  EXPECT_EQ(count, 3u);
}

TEST_F(DriverDisplays, ModeQueryFillsNoMoreThanTheArrayAndCanClaimMore) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.displays[0].fillReportsExtraModes = 5;
  Install(s);
  Start();
  DisplayRecord display;
  // Room for two of the three modes, then a sentinel record.
  std::vector<ModeRecord> modes(3);
  modes[2].bytes.fill(kSentinel);
  std::uint32_t count = 2;
  ASSERT_EQ(Entry<GetModesFn>(id::kGetModes)(display.get(), &count, modes.data(), 0), 0);
  EXPECT_EQ(count, 7u) << "the misbehaving driver claims 5 more than the array holds";
  EXPECT_EQ(Get32(modes[0].bytes.data(), 12), 90000u);
  EXPECT_EQ(Get32(modes[1].bytes.data(), 12), 120000u);
  for (unsigned char b : modes[2].bytes) ASSERT_EQ(b, kSentinel);
}

TEST_F(DriverDisplays, ModeQueryWithAShortArrayReportsWhatItWrote) {
  InstallDefault();
  Start();
  DisplayRecord display;
  std::vector<ModeRecord> modes(1);
  std::uint32_t count = 1;
  ASSERT_EQ(Entry<GetModesFn>(id::kGetModes)(display.get(), &count, modes.data(), 0), 0);
  EXPECT_EQ(count, 1u);
}

TEST_F(DriverDisplays, ModeQueryRefusesUnknownDisplaysNullCountsAndFlags) {
  InstallDefault();
  Start();
  const auto getModes = Entry<GetModesFn>(id::kGetModes);
  DisplayRecord unknown(0x80061002u);
  DisplayRecord display;
  std::uint32_t count = 0;
  EXPECT_EQ(getModes(unknown.get(), &count, nullptr, 0), -1);
  EXPECT_EQ(getModes(nullptr, &count, nullptr, 0), -1);
  EXPECT_EQ(getModes(display.get(), nullptr, nullptr, 0), -1);
  EXPECT_EQ(getModes(display.get(), &count, nullptr, 1), -1);
  EXPECT_EQ(getModes(display.get(), &count, nullptr, 0), 0);
  EXPECT_EQ(count, 3u);
}

TEST_F(DriverDisplays, DisplayIdIsReadFromOffsetZeroOnly) {
  InstallDefault();
  Start();
  DisplayRecord display;
  // Bytes 4 to 15 are the caller's; whatever they hold, the display is found.
  for (std::size_t i = 4; i < 16; ++i) display.bytes[i] = 0xFF;
  std::uint32_t count = 0;
  EXPECT_EQ(Entry<GetModesFn>(id::kGetModes)(display.get(), &count, nullptr, 0), 0);
  EXPECT_EQ(count, 3u);
}

TEST_F(DriverDisplays, GpuHandleIsOpaqueAndOnlyItGivesAnAdapter) {
  InstallDefault();
  Start();
  const auto getGpu = Entry<GetGpuFn>(id::kGetGpu);
  const auto getAdapter = Entry<GetAdapterFn>(id::kGetAdapter);
  void* gpu = nullptr;
  EXPECT_EQ(getGpu(0x80061002u, &gpu), -1);
  EXPECT_EQ(gpu, nullptr);
  ASSERT_EQ(getGpu(0x80061001u, &gpu), 0);
  ASSERT_NE(gpu, nullptr);
  EXPECT_EQ(getGpu(0x80061001u, nullptr), -1);

  IDXGIAdapter* adapter = nullptr;
  int notAGpu = 0;
  EXPECT_EQ(getAdapter(&notAGpu, &adapter), -1);
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(getAdapter(gpu, nullptr), -1);
  ASSERT_EQ(getAdapter(gpu, &adapter), 0);
  ASSERT_NE(adapter, nullptr);
  adapter->Release();
}

}  // namespace
}  // namespace dmtest
