// The scenario: defaults, every value form, the refusals with their key paths,
// and printing that reads back to the same machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/scenario.h"

namespace {

sim::Scenario Parse(const std::string& text) {
  sim::Scenario scenario;
  std::string error;
  EXPECT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
  return scenario;
}

std::string Refusal(const std::string& text) {
  sim::Scenario scenario;
  std::string error;
  EXPECT_FALSE(sim::ParseScenario(text, &scenario, &error)) << text;
  return error;
}

const sim::LibraryFile* File(const sim::Scenario& scenario, const std::string& path) {
  auto it = scenario.windows.files.find(path);
  return it == scenario.windows.files.end() ? nullptr : &it->second;
}

std::vector<std::uint8_t> Utf16Bytes(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

TEST(SimCoreScenario, DefaultsAreTheTablesOfTheMachine) {
  const sim::Scenario s = sim::DefaultScenario();
  EXPECT_EQ(s.windows.versionQueryBuild, 9200u);
  EXPECT_TRUE(s.windows.searchFlagsSupported);
  EXPECT_EQ(s.windows.systemDirectory, "C:\\Windows\\system32");
  EXPECT_EQ(s.windows.imagePath, "C:\\Tools\\dmcheck.exe");
  EXPECT_EQ(s.windows.currentDirectory, "C:\\Users\\tester");
  EXPECT_EQ(s.windows.path, std::vector<std::string>{"C:\\Windows"});
  ASSERT_TRUE(s.windows.currentBuildNumber.has_value());
  EXPECT_EQ(s.windows.currentBuildNumber->type, 1u);
  EXPECT_EQ(s.windows.currentBuildNumber->bytes, Utf16Bytes(std::u16string(u"19045\0", 6)));
  EXPECT_EQ(s.windows.files.size(), 10u);
  for (const char* name :
       {"msasn1.dll", "cryptnet.dll", "drvstore.dll", "devobj.dll", "wldp.dll", "cryptbase.dll",
        "advapi32.dll", "kernel32.dll", "d3d12.dll", "nvapi64.dll"}) {
    const sim::LibraryFile* file = File(s, std::string("C:\\Windows\\system32\\") + name);
    ASSERT_NE(file, nullptr) << name;
    EXPECT_EQ(file->kind, sim::LibraryFile::Kind::Present) << name;
  }
  ASSERT_EQ(s.driver.displays.size(), 1u);
  const sim::DisplaySpec& display = s.driver.displays[0];
  EXPECT_EQ(display.displayId, 0x80061001u);
  EXPECT_TRUE(display.enabled);
  EXPECT_EQ(display.surfaceFormat, 90u);
  ASSERT_EQ(display.modes.size(), 3u);
  const std::uint32_t refresh[] = {90000, 120000, 72000};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(display.modes[i].width, 2160u);
    EXPECT_EQ(display.modes[i].height, 1200u);
    EXPECT_EQ(display.modes[i].refreshNumerator, refresh[i]);
    EXPECT_EQ(display.modes[i].refreshDenominator, 1000u);
    EXPECT_EQ(display.modes[i].format, 22u);
  }
  EXPECT_EQ(s.driver.vendors, std::vector<std::uint32_t>{9993});
  EXPECT_EQ(s.gpu.submitCostUs, 300u);
  EXPECT_EQ(s.gpu.deviceRemovedAfter, 0u);
}

TEST(SimCoreScenario, EmptyObjectWithCommentsIsTheDefaultMachine) {
  const sim::Scenario parsed = Parse("// nothing changed\n{ /* at all */ }\n");
  EXPECT_EQ(sim::ScenarioToJson(parsed), sim::ScenarioToJson(sim::DefaultScenario()));
}

TEST(SimCoreScenario, FilesReplaceDefaultsIgnoringCaseAndFollowTheSystemDirectory) {
  const sim::Scenario s = Parse(R"({"windows": {
      "systemDirectory": "D:\\Win\\System32\\",
      "files": {"d:\\win\\system32\\MSASN1.DLL": "absent",
                "D:\\Win\\System32\\wldp.dll": {"loadError": 5},
                "C:\\Tools\\nvapi64.dll": "planted"}}})");
  EXPECT_EQ(File(s, "D:\\Win\\System32\\msasn1.dll"), nullptr);
  ASSERT_NE(File(s, "d:\\win\\system32\\MSASN1.DLL"), nullptr);
  EXPECT_EQ(File(s, "d:\\win\\system32\\MSASN1.DLL")->kind, sim::LibraryFile::Kind::Absent);
  ASSERT_NE(File(s, "D:\\Win\\System32\\wldp.dll"), nullptr);
  EXPECT_EQ(File(s, "D:\\Win\\System32\\wldp.dll")->kind, sim::LibraryFile::Kind::LoadError);
  EXPECT_EQ(File(s, "D:\\Win\\System32\\wldp.dll")->loadError, 5u);
  EXPECT_EQ(File(s, "C:\\Tools\\nvapi64.dll")->kind, sim::LibraryFile::Kind::Planted);
  // No doubled separator after a system directory that ends in one.
  ASSERT_NE(File(s, "D:\\Win\\System32\\nvapi64.dll"), nullptr);
  EXPECT_EQ(File(s, "C:\\Windows\\system32\\nvapi64.dll"), nullptr);
}

TEST(SimCoreScenario, DriverLibraryDecidesNvapiUnlessFilesNameIt) {
  const std::string path = "C:\\Windows\\system32\\nvapi64.dll";
  EXPECT_EQ(File(Parse(R"({"driver": {"library": "absent"}})"), path)->kind,
            sim::LibraryFile::Kind::Absent);
  EXPECT_EQ(File(Parse(R"({"driver": {"library": "noQueryInterface"}})"), path)->kind,
            sim::LibraryFile::Kind::Present);
  const sim::Scenario named = Parse(
      R"({"driver": {"library": "absent"},
          "windows": {"files": {"C:\\WINDOWS\\system32\\nvapi64.dll": {"loadError": 193}}}})");
  EXPECT_EQ(File(named, path), nullptr);
  EXPECT_EQ(File(named, "C:\\WINDOWS\\system32\\nvapi64.dll")->loadError, 193u);
}

TEST(SimCoreScenario, RegistryValueForms) {
  struct Case {
    const char* value;
    bool present;
    std::uint32_t type;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {R"("7601")", true, 1, Utf16Bytes(std::u16string(u"7601\0", 5))},
      {R"("")", true, 1, {0, 0}},
      {"null", false, 0, {}},
      {R"({"type": 2, "data": "19045"})", true, 2, Utf16Bytes(std::u16string(u"19045\0", 6))},
      {R"({"type": 1, "bytes": "310039"})", true, 1, {0x31, 0x00, 0x39}},
      {R"({"type": 4, "bytes": ""})", true, 4, {}},
      {R"("\u00e9")", true, 1, {0xE9, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    const sim::Scenario s =
        Parse(std::string(R"({"windows": {"registry": {"CurrentBuildNumber": )") + c.value + "}}}");
    ASSERT_EQ(s.windows.currentBuildNumber.has_value(), c.present) << c.value;
    if (!c.present) continue;
    EXPECT_EQ(s.windows.currentBuildNumber->type, c.type) << c.value;
    EXPECT_EQ(s.windows.currentBuildNumber->bytes, c.bytes) << c.value;
  }
}

TEST(SimCoreScenario, NumbersAndHexAtTheEdgesOfTheirTypes) {
  const sim::Scenario s = Parse(R"({
      "windows": {"versionQueryBuild": 4294967295},
      "driver": {"statuses": {"Present12": -2147483648,
                              "SetDisplayMode": {"status": -208, "first": 3, "count": 2}},
                 "missingFunctionIds": ["0x5ED18DC4", "0xa"],
                 "initializeStatus": {"status": 5, "first": 2},
                 "displays": [{"displayId": "0xFFFFFFFF",
                               "modes": [{"width": 1, "dscMode": -1}]}]},
      "gpu": {"failures": [{"method": "ID3D12Device::CreateFence", "hresult": "0x8007000E",
                            "first": 1, "count": 1}]}})");
  EXPECT_EQ(s.windows.versionQueryBuild, 4294967295u);
  EXPECT_EQ(s.driver.statuses.at("Present12").status, INT32_MIN);
  const sim::ForcedStatus& mode = s.driver.statuses.at("SetDisplayMode");
  EXPECT_EQ(mode.status, -208);
  EXPECT_FALSE(mode.window.Covers(2));
  EXPECT_TRUE(mode.window.Covers(3));
  EXPECT_TRUE(mode.window.Covers(4));
  EXPECT_FALSE(mode.window.Covers(5));
  EXPECT_TRUE(s.driver.initializeStatus.window.Covers(1000));
  EXPECT_FALSE(s.driver.initializeStatus.window.Covers(1));
  EXPECT_EQ(s.driver.missingFunctionIds, (std::vector<std::uint32_t>{0x5ED18DC4u, 0xAu}));
  ASSERT_EQ(s.driver.displays.size(), 1u);
  EXPECT_EQ(s.driver.displays[0].displayId, 0xFFFFFFFFu);
  EXPECT_EQ(s.driver.displays[0].surfaceFormat, 90u);
  ASSERT_EQ(s.driver.displays[0].modes.size(), 1u);
  EXPECT_EQ(s.driver.displays[0].modes[0].height, 0u);
  EXPECT_EQ(s.driver.displays[0].modes[0].dscMode, -1);
  ASSERT_EQ(s.gpu.failures.size(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(s.gpu.failures[0].hresult), 0x8007000Eu);
}

TEST(SimCoreScenario, DisplayWithoutModesHasTheDefaultModesAndEmptyListMeansNone) {
  const sim::Scenario one = Parse(R"({"driver": {"displays": [{"enabled": false}]}})");
  ASSERT_EQ(one.driver.displays.size(), 1u);
  EXPECT_FALSE(one.driver.displays[0].enabled);
  EXPECT_EQ(one.driver.displays[0].modes.size(), 3u);
  EXPECT_TRUE(Parse(R"({"driver": {"displays": []}})").driver.displays.empty());
  EXPECT_TRUE(
      Parse(R"({"driver": {"displays": [{"modes": []}]}})").driver.displays[0].modes.empty());
}

TEST(SimCoreScenario, RefusalsNameTheKeyPath) {
  struct Case {
    const char* text;
    const char* expected;  // the whole message, or its start when it ends in "..."
  };
  const std::vector<Case> cases = {
      {"{", "(root): invalid JSON: ..."},
      {"[]", "(root): expected an object, got an array"},
      {R"({"windowz": {}})", "windowz: unknown key"},
      {R"({"windows": []})", "windows: expected an object, got an array"},
      {R"({"windows": {"versionQueryBuild": -1}})", "windows.versionQueryBuild: out of range ..."},
      {R"({"windows": {"versionQueryBuild": 4294967296}})",
       "windows.versionQueryBuild: out of range ..."},
      {R"({"windows": {"versionQueryBuild": 1e12}})",
       "windows.versionQueryBuild: out of range ..."},
      {R"({"windows": {"versionQueryBuild": 9200.0}})",
       "windows.versionQueryBuild: expected an unsigned 32-bit integer written without a fraction "
       "or exponent"},
      {R"({"windows": {"versionQueryBuild": 9200.5}})",
       "windows.versionQueryBuild: expected an unsigned 32-bit integer, got ..."},
      {R"({"windows": {"versionQueryBuild": "9200"}})",
       "windows.versionQueryBuild: expected an unsigned 32-bit integer, got ..."},
      {R"({"windows": {"searchFlagsSupported": 1}})",
       "windows.searchFlagsSupported: expected a boolean, got a number"},
      {R"({"windows": {"systemDirectory": ""}})", "windows.systemDirectory: must not be empty"},
      {R"({"windows": {"path": ["C:\\bin", 3]}})",
       "windows.path[1]: expected a string, got a number"},
      {R"({"windows": {"registry": {"keyPresent": true, "other": 1}}})",
       "windows.registry.other: unknown key"},
      {R"({"windows": {"registry": {"CurrentBuildNumber": 19045}}})",
       "windows.registry.CurrentBuildNumber: expected a string, null or an object, got a number"},
      {R"({"windows": {"registry": {"CurrentBuildNumber": {"type": 1}}}})",
       "windows.registry.CurrentBuildNumber: expected exactly one of ..."},
      {R"({"windows": {"registry": {"CurrentBuildNumber": {"data": "1"}}}})",
       "windows.registry.CurrentBuildNumber.type: missing"},
      {R"({"windows": {"registry": {"CurrentBuildNumber": {"type": 1, "bytes": "ABC"}}}})",
       "windows.registry.CurrentBuildNumber.bytes: expected pairs of hex digits"},
      {R"({"windows": {"registry": {"CurrentBuildNumber": {"type": 1, "bytes": "0G"}}}})",
       "windows.registry.CurrentBuildNumber.bytes: expected pairs of hex digits"},
      {R"({"windows": {"files": {"C:\\x.dll": "gone"}}})",
       "windows.files.C:\\x.dll: expected one of ..."},
      {R"({"windows": {"files": {"x.dll": "present"}}})",
       "windows.files.x.dll: expected a full path ..."},
      {R"({"windows": {"files": {"C:\\x.dll": {"loadError": 0}}}})",
       "windows.files.C:\\x.dll.loadError: ..."},
      {R"({"windows": {"files": {"C:\\A\\x.dll": "present", "c:\\a\\X.DLL": "absent"}}})",
       "windows.files.c:\\a\\X.DLL: names the same file as ..."},
      {R"({"windows": {"failures": [{"function": "LocalAlloc", "first": 0}]}})",
       "windows.failures[0].first: calls are counted from 1"},
      {R"({"windows": {"failures": [{"function": "HeapAlloc"}]}})",
       "windows.failures[0].function: unknown function ..."},
      {R"({"windows": {"failures": [{"first": 1}]}})", "windows.failures[0].function: missing"},
      {R"({"driver": {"library": "gone"}})", "driver.library: expected one of ..."},
      {R"({"driver": {"hooks": "some"}})", "driver.hooks: expected one of ..."},
      {R"({"driver": {"initializeStatus": "0"}})",
       "driver.initializeStatus: expected an integer or an object, got a string"},
      {R"({"driver": {"statuses": {"Present": 5}}})",
       "driver.statuses.Present: unknown operation ..."},
      {R"({"driver": {"statuses": {"Present12": 2147483648}}})",
       "driver.statuses.Present12: out of range for a signed 32-bit integer (-2147483648 to "
       "2147483647)"},
      {R"({"driver": {"statuses": {"Present12": {"first": 2}}}})",
       "driver.statuses.Present12.status: missing"},
      {R"({"driver": {"statuses": {"Present12": {"status": 1, "count": -1}}}})",
       "driver.statuses.Present12.count: out of range ..."},
      {R"({"driver": {"missingFunctionIds": ["0xZZ"]}})",
       "driver.missingFunctionIds[0]: expected a hex string ..."},
      {R"({"driver": {"missingFunctionIds": ["5ED18DC4"]}})",
       "driver.missingFunctionIds[0]: expected a hex string ..."},
      {R"({"driver": {"vendors": [9993, -1]}})", "driver.vendors[1]: out of range ..."},
      {R"({"driver": {"displays": [{"displayId": "0x123456789"}]}})",
       "driver.displays[0].displayId: expected a hex string ..."},
      {R"({"driver": {"displays": [{"displayId": 2147483649}]}})",
       "driver.displays[0].displayId: expected a hex string ..."},
      {R"({"driver": {"displays": [{"modes": [{}, {"width": -5}]}]}})",
       "driver.displays[0].modes[1].width: out of range ..."},
      {R"({"driver": {"displays": [{}, {"modes": [{"refresh": [60]}]}]}})",
       "driver.displays[1].modes[0].refresh: expected [numerator, denominator]"},
      {R"({"driver": {"displays": [{"modes": [{"refresh": [60, "1"]}]}]}})",
       "driver.displays[0].modes[0].refresh[1]: expected an unsigned 32-bit integer, got a string"},
      {R"({"driver": {"displays": [{"modes": [{"slices": 2147483648}]}]}})",
       "driver.displays[0].modes[0].slices: out of range ..."},
      {R"({"driver": {"displays": [{"modes": [{"depth": 8}]}]}})",
       "driver.displays[0].modes[0].depth: unknown key"},
      {R"({"driver": {"dsc": true}})", "driver.dsc: expected one of ..."},
      {R"({"driver": {"refreshPacing": "never"}})", "driver.refreshPacing: expected one of ..."},
      {R"({"gpu": {"failures": [{"method": "ID3D12Device::Explode"}]}})",
       "gpu.failures[0].method: unknown method ..."},
      {R"({"gpu": {"failures": [{"method": "ID3D12GraphicsCommandList::ResourceBarrier"}]}})",
       "gpu.failures[0].method: unknown method ..."},
      {R"({"gpu": {"failures": [{"method": "ID3D12Fence::Signal", "hresult": -2147024882}]}})",
       "gpu.failures[0].hresult: expected a hex string ..."},
      {R"({"gpu": {"submitCostUs": 300, "extra": 1}})", "gpu.extra: unknown key"},
      {R"({"gpu": {"deviceRemovedAfter": true}})",
       "gpu.deviceRemovedAfter: expected an unsigned 32-bit integer, got a boolean"},
      // A repeated key is refused wherever it stands, before its value is read.
      {R"({"driver": {"library": "absent"}, "driver": {}})", "driver: duplicate key"},
      {R"({"windows": {"path": ["C:\\a", "C:\\b"], "registry": {"keyPresent": true,
                       "keyPresent": false}}})",
       "windows.registry.keyPresent: duplicate key"},
      {R"({"driver": {"displays": [{}, {"modes": [{"width": 1, "refresh": [1, 2]},
                                                  {"width": 2, "width": "x"}]}]}})",
       "driver.displays[1].modes[1].width: duplicate key"},
      {R"({"driver": {"displays": [{"modes": [{"refresh": [[1], 2]}], "modes": []}]}})",
       "driver.displays[0].modes: duplicate key"},
      {R"({"windows": {"files": {"C:\\x.dll": "present", "C:\\x.dll": "absent"}}})",
       "windows.files.C:\\x.dll: duplicate key"},
      {R"({"gpu": {"failures": [{"method": "D3D12CreateDevice", "first": 1, "first": 2}]}})",
       "gpu.failures[0].first: duplicate key"},
      {R"({"windowz": {"a": 1, "a": 2}})", "windowz.a: duplicate key"},
      {R"({"gpu": {}, "gpu": {})", "gpu: duplicate key"},
      {R"({"gpu": {} "gpu": {}})", "(root): invalid JSON: ..."},
  };
  for (const Case& c : cases) {
    const std::string error = Refusal(c.text);
    const std::string expected = c.expected;
    if (expected.size() > 3 && expected.compare(expected.size() - 3, 3, "...") == 0) {
      const std::string start = expected.substr(0, expected.size() - 3);
      EXPECT_EQ(error.substr(0, start.size()), start) << c.text << "\n  gave: " << error;
      EXPECT_GT(error.size(), start.size()) << c.text;
    } else {
      EXPECT_EQ(error, expected) << c.text;
    }
  }
}

TEST(SimCoreScenario, SameKeyInSeparateObjectsIsNoDuplicate) {
  const sim::Scenario s = Parse(R"({
      // comments still read
      "driver": {"displays": [{"enabled": true, "modes": [{"width": 1}, {"width": 2}]},
                              {"enabled": false}],
                 "statuses": {"Present12": {"status": 1, "first": 2},
                              "CreateSurface": {"status": 2, "first": 3}}},
      "gpu": {"failures": [{"method": "D3D12CreateDevice"}, {"method": "D3D12CreateDevice"}]}})");
  ASSERT_EQ(s.driver.displays.size(), 2u);
  EXPECT_FALSE(s.driver.displays[1].enabled);
  EXPECT_EQ(s.driver.displays[0].modes[1].width, 2u);
  EXPECT_EQ(s.driver.statuses.at("CreateSurface").window.first, 3u);
  EXPECT_EQ(s.gpu.failures.size(), 2u);
}

TEST(SimCoreScenario, RefusalLeavesTheOutputUntouched) {
  sim::Scenario scenario = sim::DefaultScenario();
  scenario.gpu.submitCostUs = 7;
  std::string error;
  EXPECT_FALSE(sim::ParseScenario(R"({"gpu": {"submitCostUs": 1, "bad": 0}})", &scenario, &error));
  EXPECT_EQ(scenario.gpu.submitCostUs, 7u);
}

TEST(SimCoreScenario, GpuMethodNamesCoverTheCallsThatReturnAnHresult) {
  for (const char* method :
       {"D3D12CreateDevice", "ID3D12Device::CreateCommandQueue", "ID3D12Device::CreateFence",
        "ID3D12Device::OpenSharedHandle", "ID3D12Device::CreateCommittedResource",
        "ID3D12Device::CreateDescriptorHeap", "ID3D12Device::CreateCommandList",
        "ID3D12Device::CreateCommandAllocator", "ID3D12CommandQueue::Signal",
        "ID3D12Fence::SetEventOnCompletion", "ID3D12Fence::Signal", "ID3D12Resource::Map",
        "ID3D12CommandAllocator::Reset", "ID3D12GraphicsCommandList::Close",
        "ID3D12GraphicsCommandList::Reset", "IDXGIAdapter::QueryInterface"}) {
    sim::Scenario scenario;
    std::string error;
    EXPECT_TRUE(
        sim::ParseScenario(std::string(R"({"gpu": {"failures": [{"method": ")") + method + "\"}]}}",
                           &scenario, &error))
        << method << ": " << error;
  }
}

TEST(SimCoreScenario, PrintedScenarioReadsBackToTheSameMachine) {
  const char* text = R"({
    "windows": {"versionQueryBuild": 7601, "searchFlagsSupported": false,
                "systemDirectory": "C:\\WINNT\\System32", "imagePath": "D:\\x\\mfpmp.exe",
                "currentDirectory": "D:\\work", "path": ["D:\\bin", "E:\\lib"],
                "registry": {"keyPresent": true, "growsBetweenQueries": true,
                             "CurrentBuildNumber": {"type": 3, "bytes": "313233"}},
                "files": {"C:\\WINNT\\System32\\cryptnet.dll": {"loadError": 5},
                          "D:\\x\\nvapi64.dll": "planted",
                          "C:\\WINNT\\System32\\wldp.dll": "absent"},
                "failures": [{"function": "LocalAlloc", "first": 3, "count": 2},
                             {"function": "CreateEventA"}]},
    "driver": {"library": "noQueryInterface", "initializeStatus": {"status": -1, "first": 1, "count": 1},
               "hooks": "enter", "missingFunctionIds": ["0x5ED18DC4"], "vendors": [1, 9993],
               "statuses": {"Present12": {"status": -5, "first": 11}, "CreateSurface": -208},
               "dsc": "refused", "refreshPacing": "immediate",
               "displays": [{"displayId": "0x1", "enabled": false, "surfaceFormat": 24,
                             "fillReportsExtraModes": 2,
                             "modes": [{"width": 3840, "height": 2160, "refresh": [60000, 1001],
                                        "format": 24, "dscMode": 1, "dscVer": 17, "slices": 4,
                                        "bppx16": 128}]},
                            {"displayId": "0x80061002"}]},
    "gpu": {"submitCostUs": 0, "deviceRemovedAfter": 12,
            "failures": [{"method": "ID3D12Device::CreateFence", "first": 2, "hresult": "0x8007000E"}]}
  })";
  const sim::Scenario original = Parse(text);
  const std::string printed = sim::ScenarioToJson(original);
  const sim::Scenario again = Parse(printed);
  EXPECT_EQ(sim::ScenarioToJson(again), printed);
  // Spot checks that the printed form kept what a string comparison could hide.
  EXPECT_EQ(again.windows.currentBuildNumber->bytes, (std::vector<std::uint8_t>{'1', '2', '3'}));
  EXPECT_EQ(again.windows.files.at("D:\\x\\nvapi64.dll").kind, sim::LibraryFile::Kind::Planted);
  EXPECT_EQ(again.windows.files.at("C:\\WINNT\\System32\\wldp.dll").kind,
            sim::LibraryFile::Kind::Absent);
  EXPECT_EQ(again.driver.displays[0].modes[0].refreshDenominator, 1001u);
  EXPECT_EQ(again.driver.statuses.at("Present12").window.first, 11u);
  EXPECT_FALSE(again.driver.statuses.at("Present12").window.count.has_value());
  EXPECT_EQ(*again.windows.failures[0].window.count, 2u);
  EXPECT_EQ(again.gpu.failures[0].window.first, 2u);
  // The default machine round-trips too.
  EXPECT_EQ(sim::ScenarioToJson(Parse(sim::ScenarioToJson(sim::DefaultScenario()))),
            sim::ScenarioToJson(sim::DefaultScenario()));
}

TEST(SimCoreScenario, PrintedScenarioLeavesNvapiToTheDriverLibrary) {
  // Editing driver.library in a printed scenario still decides the file.
  const std::string printed = sim::ScenarioToJson(sim::DefaultScenario());
  EXPECT_EQ(printed.find("nvapi64.dll"), std::string::npos);
  EXPECT_NE(printed.find("msasn1.dll"), std::string::npos);
}

}  // namespace
