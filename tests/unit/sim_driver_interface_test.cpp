// The simulated driver library's export, hooks, initialise entry and forced
// statuses.
#include <string>
#include <vector>

#include "sim_driver_fixture.h"

namespace dmtest {
namespace {

using Driver = DriverTest;

const std::vector<std::uint32_t> kOperationIds = {
    id::kEnableDirectMode, id::kEnumerate,   id::kGetModes,      id::kGetGpu,
    id::kGetAdapter,       id::kAcquire,     id::kCreateSurface, id::kSetDisplayMode,
    id::kDisplayControl,   id::kGetWaitable, id::kPresent12,     id::kRelease};

TEST_F(Driver, ExportAnswersEveryOperationWithItsOwnEntryAndNullForUnknownIds) {
  InstallDefault();
  std::vector<void*> seen;
  for (std::uint32_t fid : kOperationIds) {
    void* entry = Query(fid);
    ASSERT_NE(entry, nullptr) << std::hex << fid;
    for (void* other : seen) EXPECT_NE(entry, other) << std::hex << fid;
    seen.push_back(entry);
  }
  EXPECT_NE(Query(id::kInitialize), nullptr);
  EXPECT_EQ(Query(0), nullptr);
  EXPECT_EQ(Query(0x12345678u), nullptr);

  const auto queries = Events("nvapi_QueryInterface");
  ASSERT_EQ(queries.size(), kOperationIds.size() + 3);
  EXPECT_EQ(queries[0].at("id"), "0x1AC2B1E7");
  EXPECT_EQ(queries[0].at("found"), true);
  EXPECT_EQ(queries.back().at("id"), "0x12345678");
  EXPECT_EQ(queries.back().at("found"), false);
}

TEST_F(Driver, MissingFunctionIdsAnswerNullAndLeaveTheOthers) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.missingFunctionIds = {id::kPresent12, id::kInitialize};
  Install(s);
  EXPECT_EQ(Query(id::kPresent12), nullptr);
  EXPECT_EQ(Query(id::kInitialize), nullptr);
  EXPECT_NE(Query(id::kRelease), nullptr);
  EXPECT_NE(Query(id::kEnterHook), nullptr);
}

struct HooksCase {
  sim::DriverScenario::Hooks hooks;
  bool enter;
  bool leave;
};

class DriverHooks : public DriverTest, public ::testing::WithParamInterface<HooksCase> {};

TEST_P(DriverHooks, ExportAnswersTheHooksTheScenarioOffers) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.hooks = GetParam().hooks;
  Install(s);
  EXPECT_EQ(Query(id::kEnterHook) != nullptr, GetParam().enter);
  EXPECT_EQ(Query(id::kLeaveHook) != nullptr, GetParam().leave);
}

INSTANTIATE_TEST_SUITE_P(
    All, DriverHooks,
    ::testing::Values(HooksCase{sim::DriverScenario::Hooks::Both, true, true},
                      HooksCase{sim::DriverScenario::Hooks::Enter, true, false},
                      HooksCase{sim::DriverScenario::Hooks::Leave, false, true},
                      HooksCase{sim::DriverScenario::Hooks::None, false, false}));

TEST_F(Driver, EnterHookWritesFreshNonZeroContextsAndLeaveHookTracesWhatItGets) {
  InstallDefault();
  const auto enter = Entry<EnterHookFn>(id::kEnterHook);
  const auto leave = Entry<LeaveHookFn>(id::kLeaveHook);
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  enter(id::kPresent12, &first);
  enter(id::kPresent12, &second);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  leave(id::kPresent12, 77, -208);

  const auto hooks = Events("hook");
  ASSERT_EQ(hooks.size(), 3u);
  EXPECT_EQ(hooks[0].at("which"), "enter");
  EXPECT_EQ(hooks[0].at("id"), "0x5ED18DC4");
  EXPECT_EQ(hooks[0].at("context").get<std::uint64_t>(), first);
  EXPECT_EQ(hooks[1].at("context").get<std::uint64_t>(), second);
  EXPECT_EQ(hooks[2].at("which"), "leave");
  EXPECT_EQ(hooks[2].at("context").get<std::uint64_t>(), 77u);
  EXPECT_EQ(hooks[2].at("status"), -208);
}

TEST_F(Driver, OperationsBeforeTheInitialiseEntryAreRefused) {
  InstallDefault();
  const auto enable = Entry<EnableFn>(id::kEnableDirectMode);
  EXPECT_EQ(enable(kVendor, 0), -1);
  EXPECT_EQ(Entry<InitializeFn>(id::kInitialize)(), 0);
  EXPECT_EQ(enable(kVendor, 0), 0);
  EXPECT_EQ(DriverStatuses("EnableDirectMode"), (std::vector<std::int32_t>{-1, 0}));
  EXPECT_EQ(DriverStatuses("Initialize"), (std::vector<std::int32_t>{0}));
}

TEST_F(Driver, InitializeStatusWindowFailsOnlyTheCallsItCovers) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.initializeStatus.status = 5;
  s.driver.initializeStatus.window.first = 1;
  s.driver.initializeStatus.window.count = 2;
  Install(s);
  const auto initialize = Entry<InitializeFn>(id::kInitialize);
  const auto enable = Entry<EnableFn>(id::kEnableDirectMode);
  EXPECT_EQ(initialize(), 5);
  EXPECT_EQ(enable(kVendor, 0), -1) << "a failed initialise left the driver uninitialised";
  EXPECT_EQ(initialize(), 5);
  EXPECT_EQ(initialize(), 0);
  EXPECT_EQ(enable(kVendor, 0), 0);
}

TEST_F(Driver, StatusWindowsCountEachOperationsCallsFromOne) {
  sim::Scenario s = sim::DefaultScenario();
  sim::ForcedStatus forced;
  forced.status = -9;
  forced.window.first = 2;
  forced.window.count = 2;
  s.driver.statuses["EnableDirectMode"] = forced;
  sim::ForcedStatus always;
  always.status = -4;
  s.driver.statuses["DisplayControl"] = always;
  Install(s);
  ASSERT_EQ(Entry<InitializeFn>(id::kInitialize)(), 0);
  const auto enable = Entry<EnableFn>(id::kEnableDirectMode);
  std::vector<std::int32_t> got;
  for (int i = 0; i < 5; ++i) got.push_back(enable(kVendor, 0));
  EXPECT_EQ(got, (std::vector<std::int32_t>{0, -9, -9, 0, 0}));
  // Another operation's window counts its own calls.
  DisplayRecord display;
  const auto control = Entry<ControlFn>(id::kDisplayControl);
  EXPECT_EQ(control(display.get(), 0), -4);
  EXPECT_EQ(control(display.get(), 0), -4);
}

TEST_F(Driver, ForcedFailureDoesNotActButForcedHdcpAndSuccessDo) {
  sim::Scenario s = sim::DefaultScenario();
  sim::ForcedStatus refuseFirst;
  refuseFirst.status = -3;
  refuseFirst.window.count = 1;
  s.driver.statuses["EnableDirectMode"] = refuseFirst;
  sim::ForcedStatus hdcp;
  hdcp.status = -208;
  s.driver.statuses["NvAPI_DISP_EnumerateDirectModeDisplays"] = hdcp;
  Install(s);
  ASSERT_EQ(Entry<InitializeFn>(id::kInitialize)(), 0);
  const auto enable = Entry<EnableFn>(id::kEnableDirectMode);
  const auto enumerate = Entry<EnumerateFn>(id::kEnumerate);

  // The refused enable did not enable the vendor: no displays are listed.
  EXPECT_EQ(enable(kVendor, 0), -3);
  std::uint32_t count = 99;
  EXPECT_EQ(enumerate(kVendor, &count, nullptr, 1), -208);
  EXPECT_EQ(count, 0u) << "the enumeration still acted";

  EXPECT_EQ(enable(kVendor, 0), 0);
  count = 0;
  EXPECT_EQ(enumerate(kVendor, &count, nullptr, 1), -208);
  EXPECT_EQ(count, 1u);

  EXPECT_EQ(DriverStatuses("NvAPI_DISP_EnumerateDirectModeDisplays"),
            (std::vector<std::int32_t>{-208, -208}));
}

}  // namespace
}  // namespace dmtest

namespace dmtest {
namespace {

// Each operation's forced status, written as a scenario file names it, reaches
// that operation's entry and no other. A forced failure does not act, so the
// entries can be called without arguments.
struct NamedOp {
  const char* name;
  std::uint32_t functionId;
};

const NamedOp kNamedOps[] = {
    {"EnableDirectMode", id::kEnableDirectMode},
    {"NvAPI_DISP_EnumerateDirectModeDisplays", id::kEnumerate},
    {"NvAPI_D3D_DirectModeGetDisplayModes", id::kGetModes},
    {"NvAPI_SYS_GetPhysicalGpuFromDisplayId", id::kGetGpu},
    {"NvAPI_D3D_GetIDXGIAdapter", id::kGetAdapter},
    {"AcquireDirectModeDisplay", id::kAcquire},
    {"CreateSurface", id::kCreateSurface},
    {"SetDisplayMode", id::kSetDisplayMode},
    {"DisplayControl", id::kDisplayControl},
    {"GetPresentWaitableObject", id::kGetWaitable},
    {"Present12", id::kPresent12},
    {"ReleaseDirectModeDisplay", id::kRelease},
};

std::int32_t CallWithoutArguments(std::uint32_t functionId) {
  void* entry = Query(functionId);
  switch (functionId) {
    case id::kEnableDirectMode:
      return reinterpret_cast<EnableFn>(entry)(0, 0);
    case id::kEnumerate:
      return reinterpret_cast<EnumerateFn>(entry)(0, nullptr, nullptr, 0);
    case id::kGetModes:
      return reinterpret_cast<GetModesFn>(entry)(nullptr, nullptr, nullptr, 0);
    case id::kGetGpu:
      return reinterpret_cast<GetGpuFn>(entry)(0, nullptr);
    case id::kGetAdapter:
      return reinterpret_cast<GetAdapterFn>(entry)(nullptr, nullptr);
    case id::kAcquire:
      return reinterpret_cast<AcquireFn>(entry)(0, nullptr, nullptr);
    case id::kCreateSurface:
      return reinterpret_cast<CreateSurfaceFn>(entry)(nullptr, nullptr, nullptr, nullptr);
    case id::kSetDisplayMode:
      return reinterpret_cast<SetModeFn>(entry)(nullptr, nullptr);
    case id::kDisplayControl:
      return reinterpret_cast<ControlFn>(entry)(nullptr, 0);
    case id::kGetWaitable:
      return reinterpret_cast<WaitableFn>(entry)(nullptr, nullptr);
    case id::kPresent12:
      return reinterpret_cast<PresentFn>(entry)(nullptr, 0, 1, nullptr, nullptr);
    case id::kRelease:
      return reinterpret_cast<ReleaseFn>(entry)(0, nullptr);
    default:
      return 0x7FFFFFFF;
  }
}

class DriverStatusNames : public DriverTest, public ::testing::WithParamInterface<NamedOp> {};

TEST_P(DriverStatusNames, ForcedStatusReachesTheNamedOperationOnly) {
  const std::string text = std::string(R"({"driver": {"statuses": {")") + GetParam().name +
                           R"(": {"status": -77, "first": 1}}}})";
  sim::Scenario s;
  std::string error;
  ASSERT_TRUE(sim::ParseScenario(text, &s, &error)) << error;
  Install(s);
  ASSERT_EQ(Entry<InitializeFn>(id::kInitialize)(), 0);
  for (const NamedOp& op : kNamedOps) {
    const std::int32_t status = CallWithoutArguments(op.functionId);
    if (op.functionId == GetParam().functionId) {
      EXPECT_EQ(status, -77) << op.name;
    } else {
      EXPECT_NE(status, -77) << op.name;
    }
  }
  EXPECT_EQ(DriverStatuses(GetParam().name), (std::vector<std::int32_t>{-77}));
}

INSTANTIATE_TEST_SUITE_P(Operations, DriverStatusNames, ::testing::ValuesIn(kNamedOps),
                         [](const ::testing::TestParamInfo<NamedOp>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace dmtest
