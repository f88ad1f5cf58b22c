// The scenario's defaults, the machine's current scenario and call windows.
#include "sim/scenario.h"

#include "sim/scenario_internal.h"
#include "sim/windows/wide_text.h"

namespace sim {

bool CallWindow::Covers(std::uint64_t callNumber) const {
  if (callNumber < first) return false;
  return !count || callNumber < static_cast<std::uint64_t>(first) + *count;
}

namespace scenario_detail {

const std::vector<std::string>& DefaultSystemLibraries() {
  static const std::vector<std::string> names = {"msasn1.dll",   "cryptnet.dll", "drvstore.dll",
                                                 "devobj.dll",   "wldp.dll",     "cryptbase.dll",
                                                 "advapi32.dll", "kernel32.dll", "d3d12.dll"};
  return names;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && (directory.back() == '\\' || directory.back() == '/')) {
    return directory + name;
  }
  return directory + "\\" + name;
}

std::string DriverLibraryPath(const std::string& systemDirectory) {
  return JoinPath(systemDirectory, "nvapi64.dll");
}

LibraryFile DriverLibraryFile(DriverScenario::Library library) {
  LibraryFile file;
  file.kind = library == DriverScenario::Library::Absent ? LibraryFile::Kind::Absent
                                                         : LibraryFile::Kind::Present;
  return file;
}

RegistryValue StringValue(std::uint32_t type, const std::string& utf8) {
  RegistryValue value;
  value.type = type;
  std::u16string wide = windows::Utf8ToUtf16(utf8);
  wide.push_back(u'\0');
  for (char16_t unit : wide) {
    value.bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    value.bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return value;
}

std::vector<ModeSpec> DefaultModes() {
  std::vector<ModeSpec> modes;
  for (std::uint32_t refresh : {90000u, 120000u, 72000u}) {
    ModeSpec mode;
    mode.width = 2160;
    mode.height = 1200;
    mode.refreshNumerator = refresh;
    mode.refreshDenominator = 1000;
    mode.format = 22;
    modes.push_back(mode);
  }
  return modes;
}

DisplaySpec DefaultDisplay() {
  DisplaySpec display;
  display.modes = DefaultModes();
  return display;
}

}  // namespace scenario_detail

Scenario DefaultScenario() {
  using namespace scenario_detail;
  Scenario scenario;
  scenario.windows.currentBuildNumber = StringValue(REG_SZ_TYPE, "19045");
  for (const std::string& name : DefaultSystemLibraries()) {
    scenario.windows.files[JoinPath(scenario.windows.systemDirectory, name)] = LibraryFile{};
  }
  scenario.windows.files[DriverLibraryPath(scenario.windows.systemDirectory)] =
      DriverLibraryFile(scenario.driver.library);
  scenario.driver.displays.push_back(DefaultDisplay());
  return scenario;
}

namespace {

Scenario& Current() {
  static Scenario scenario = DefaultScenario();
  return scenario;
}

}  // namespace

const Scenario& CurrentScenario() { return Current(); }

void SetCurrentScenario(const Scenario& scenario) { Current() = scenario; }

}  // namespace sim
