// The scenario: everything that describes one simulated machine. Loaded from
// JSON (with // comments), with defaults for every key.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Calls first..first+count-1 (counted from 1) are affected; no count: every
// call from first on.
struct CallWindow {
  std::uint32_t first = 1;
  std::optional<std::uint32_t> count;
  bool Covers(std::uint64_t callNumber) const;
};

struct ForcedStatus {
  std::int32_t status = 0;
  CallWindow window;
};

struct WindowsFailure {
  std::string function;  // LocalAlloc, GetSystemDirectoryW, CreateEventA
  CallWindow window;
};

struct RegistryValue {
  std::uint32_t type = 1;           // REG_SZ
  std::vector<std::uint8_t> bytes;  // raw data as stored (UTF-16LE for strings)
};

struct LibraryFile {
  enum class Kind { Present, Absent, Planted, LoadError };
  Kind kind = Kind::Present;
  std::uint32_t loadError = 0;
};

struct WindowsScenario {
  std::uint32_t versionQueryBuild = 9200;
  bool searchFlagsSupported = true;
  std::string systemDirectory = "C:\\Windows\\system32";
  std::string imagePath = "C:\\Tools\\dmcheck.exe";
  std::string currentDirectory = "C:\\Users\\tester";
  std::vector<std::string> path = {"C:\\Windows"};
  bool registryKeyPresent = true;
  std::optional<RegistryValue> currentBuildNumber;  // nullopt: value missing
  bool registryGrowsBetweenQueries = false;
  // By full path as the scenario spells it; lookups compare case-insensitively.
  std::map<std::string, LibraryFile> files;
  std::vector<WindowsFailure> failures;
};

struct ModeSpec {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t refreshNumerator = 0;
  std::uint32_t refreshDenominator = 0;
  std::uint32_t format = 0;
  std::int32_t dscMode = 0;
  std::int32_t dscVer = 0;
  std::int32_t slices = 0;
  std::uint32_t bppx16 = 0;
};

struct DisplaySpec {
  std::uint32_t displayId = 0x80061001u;
  bool enabled = true;
  std::uint32_t surfaceFormat = 90;
  std::vector<ModeSpec> modes;
  std::uint32_t fillReportsExtraModes = 0;
};

struct DriverScenario {
  enum class Library { Present, Absent, NoQueryInterface };
  enum class Hooks { Both, Enter, Leave, None };
  enum class Dsc { Supported, Refused };
  enum class Pacing { Vblank, Immediate };

  Library library = Library::Present;
  ForcedStatus initializeStatus;  // status 0 on every call
  Hooks hooks = Hooks::Both;
  std::vector<std::uint32_t> missingFunctionIds;
  std::vector<std::uint32_t> vendors = {9993};
  // By operation name as in the driver's operation table.
  std::map<std::string, ForcedStatus> statuses;
  Dsc dsc = Dsc::Supported;
  std::vector<DisplaySpec> displays;
  Pacing refreshPacing = Pacing::Vblank;
};

struct GpuFailure {
  std::string method;  // "ID3D12Device::CreateFence" or "D3D12CreateDevice"
  CallWindow window;
  std::int32_t hresult = static_cast<std::int32_t>(0x80004005u);  // E_FAIL
};

struct GpuScenario {
  std::uint32_t submitCostUs = 300;
  std::vector<GpuFailure> failures;
  std::uint32_t deviceRemovedAfter = 0;
};

struct Scenario {
  WindowsScenario windows;
  DriverScenario driver;
  GpuScenario gpu;
};

// The built-in default machine.
Scenario DefaultScenario();

// Parses a scenario; keys not given keep their defaults. On refusal returns
// false and sets error to "KEYPATH: PROBLEM" (key path like
// driver.displays[0].modes[1].width; "(root)" for the document itself).
bool ParseScenario(const std::string& text, Scenario* out, std::string* error);

// The effective scenario, defaults filled in, as JSON that ParseScenario
// accepts again.
std::string ScenarioToJson(const Scenario& scenario);

// The scenario the machine was built from.
const Scenario& CurrentScenario();
void SetCurrentScenario(const Scenario& scenario);

}  // namespace sim
