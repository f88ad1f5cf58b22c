// Binding and dispatch of the driver's API library on the simulated machine.
// Every test runs in its own process: the binding is process-wide.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/binding.h"
#include "driver/entries.h"
#include "sim_fixture.h"

namespace {

using fixture::Events;

std::vector<std::string> DriverOps() {
  std::vector<std::string> ops;
  for (const auto& e : Events("driver")) ops.push_back(e["op"].get<std::string>());
  return ops;
}

size_t DriverLibraryLoads() {
  size_t n = 0;
  for (const auto& l : fixture::Loads()) n += l.name == "nvapi64.dll";
  return n;
}

TEST(Binding, AbsentLibraryIsTriedAgainOnEveryCall) {
  fixture::Install(R"({"driver": {"library": "absent"}})");
  EXPECT_EQ(NvAPI_Initialize(), -2);
  EXPECT_EQ(NvAPI_Initialize(), -2);
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), -2);
  EXPECT_EQ(DriverLibraryLoads(), 3u);
  EXPECT_TRUE(Events("hook").empty());
}

TEST(Binding, MissingExportFreesTheLibrary) {
  fixture::Install(R"({"driver": {"library": "noQueryInterface"}})");
  EXPECT_EQ(NvAPI_Initialize(), -1);
  ASSERT_EQ(Events("FreeLibrary").size(), 1u);
  EXPECT_EQ(Events("FreeLibrary")[0]["module"], "nvapi64.dll");
  EXPECT_EQ(driverBinding.module, nullptr);
}

TEST(Binding, MissingInitialiseEntryFreesTheLibrary) {
  fixture::Install(R"({"driver": {"missingFunctionIds": ["0x0150E828"]}})");
  EXPECT_EQ(NvAPI_Initialize(), -1);
  EXPECT_EQ(Events("FreeLibrary").size(), 1u);
  EXPECT_TRUE(DriverOps().empty());
}

TEST(Binding, FailedInitialiseIsRetriedByTheNextCall) {
  fixture::Install(R"({"driver": {"initializeStatus": {"status": 5, "first": 1, "count": 1}}})");
  EXPECT_EQ(NvAPI_Initialize(), 5);
  EXPECT_EQ(Events("FreeLibrary").size(), 1u);
  // No hook is asked for after a failed initialise.
  for (const auto& q : Events("nvapi_QueryInterface")) EXPECT_EQ(q["id"], "0x0150E828");
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  EXPECT_EQ(DriverOps(),
            (std::vector<std::string>{"Initialize", "Initialize", "EnableDirectMode"}));
  EXPECT_EQ(DriverLibraryLoads(), 2u);
}

TEST(Binding, SecondInitializeDoesNotCallTheDriver) {
  fixture::Install("{}");
  EXPECT_EQ(NvAPI_Initialize(), 0);
  const size_t events = sim::TraceEvents().size();
  EXPECT_EQ(NvAPI_Initialize(), 0);
  EXPECT_EQ(sim::TraceEvents().size(), events);
}

TEST(Binding, OperationBeforeInitializeLoadsTheLibraryItself) {
  fixture::Install("{}");
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  EXPECT_EQ(NvAPI_Initialize(), 0);
  EXPECT_EQ(DriverOps(), (std::vector<std::string>{"Initialize", "EnableDirectMode"}));
}

TEST(Binding, BindEmptiesTheEntryCache) {
  fixture::Install("{}");
  ASSERT_EQ(NvAPI_Initialize(), 0);
  for (int i = 0; i < kDriverEntryCacheSlots; ++i) ASSERT_EQ(DriverEntryCacheSlot(i), nullptr) << i;
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  const int slot = DriverEntrySlotFor(driver_ids::kEnableDirectMode);
  for (int i = 0; i < kDriverEntryCacheSlots; ++i) {
    EXPECT_EQ(DriverEntryCacheSlot(i) != nullptr, i == slot) << i;
  }
}

TEST(Dispatch, EveryOperationOwnsItsOwnSlot) {
  const std::uint32_t ids[] = {driver_ids::kEnableDirectMode,
                               driver_ids::kEnumerateDirectModeDisplays,
                               driver_ids::kDirectModeGetDisplayModes,
                               driver_ids::kGetPhysicalGpuFromDisplayId,
                               driver_ids::kGetIDXGIAdapter,
                               driver_ids::kAcquireDirectModeDisplay,
                               driver_ids::kCreateSurface,
                               driver_ids::kSetDisplayMode,
                               driver_ids::kDisplayControl,
                               driver_ids::kGetPresentWaitableObject,
                               driver_ids::kPresent12,
                               driver_ids::kReleaseDirectModeDisplay};
  std::vector<int> seen;
  for (std::uint32_t id : ids) {
    const int slot = DriverEntrySlotFor(id);
    ASSERT_GE(slot, 0);
    ASSERT_LT(slot, kDriverEntryCacheSlots);
    for (int other : seen) EXPECT_NE(other, slot);
    seen.push_back(slot);
  }
  EXPECT_EQ(DriverEntrySlotFor(driver_ids::kInitialize), -1);
}

TEST(Dispatch, SecondCallUsesTheCachedEntry) {
  fixture::Install("{}");
  ASSERT_EQ(NvAPI_Initialize(), 0);
  const size_t asked = Events("nvapi_QueryInterface").size();
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  EXPECT_EQ(Events("nvapi_QueryInterface").size(), asked + 1);
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  EXPECT_EQ(Events("nvapi_QueryInterface").size(), asked + 1);
}

TEST(Dispatch, MissingEntryIsAskedForAgainEachCall) {
  fixture::Install(R"({"driver": {"missingFunctionIds": ["0x1AC2B1E7"]}})");
  ASSERT_EQ(NvAPI_Initialize(), 0);
  const size_t asked = Events("nvapi_QueryInterface").size();
  const size_t hooks = Events("hook").size();
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), -3);
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), -3);
  EXPECT_EQ(Events("nvapi_QueryInterface").size(), asked + 2);
  EXPECT_EQ(Events("hook").size(), hooks);  // no hook around a missing entry
  std::uint32_t count = 0;
  EXPECT_EQ(NvAPI_DISP_EnumerateDirectModeDisplays(VENDOR_ID, &count, nullptr, 1), 0);
}

TEST(Dispatch, HooksWrapTheEntryAndPassTheContext) {
  fixture::Install("{}");
  ASSERT_EQ(NvAPI_Initialize(), 0);
  const size_t from = sim::TraceEvents().size();
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  std::vector<nlohmann::json> calls;
  for (size_t i = from; i < sim::TraceEvents().size(); ++i) {
    const auto& e = sim::TraceEvents()[i];
    if (e["call"] == "hook" || e["call"] == "driver") calls.push_back(e);
  }
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0]["which"], "enter");
  EXPECT_EQ(calls[0]["id"], "0x1AC2B1E7");
  EXPECT_EQ(calls[1]["call"], "driver");
  EXPECT_EQ(calls[2]["which"], "leave");
  EXPECT_EQ(calls[2]["id"], "0x1AC2B1E7");
  EXPECT_NE(calls[0]["context"], 0);
  EXPECT_EQ(calls[2]["context"], calls[0]["context"]);
  EXPECT_EQ(calls[2]["status"], 0);
}

class OneHook : public ::testing::TestWithParam<const char*> {};

TEST_P(OneHook, HalfAPairBindsNoHook) {
  fixture::Install(std::string(R"({"driver": {"hooks": ")") + GetParam() + "\"}}");
  ASSERT_EQ(NvAPI_Initialize(), 0);
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), 0);
  EXPECT_TRUE(Events("hook").empty());
  EXPECT_EQ(driverBinding.enterHook, nullptr);
  EXPECT_EQ(driverBinding.leaveHook, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Hooks, OneHook, ::testing::Values("enter", "leave", "none"));

TEST(Dispatch, StatusesComeBackUnchanged) {
  fixture::Install(R"({"driver": {"statuses": {"EnableDirectMode": -208, "DisplayControl": 7}}})");
  EXPECT_EQ(EnableDirectMode(VENDOR_ID, 0), -208);
  DirectModeDisplay display = {};
  display.displayId = 0x80061001u;
  EXPECT_EQ(DisplayControl(&display, 0), 7);
}

}  // namespace
