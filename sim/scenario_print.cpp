// Printing the effective scenario as JSON that the parser reads back to the
// same machine.
#include <nlohmann/json.hpp>

#include "sim/scenario.h"
#include "sim/scenario_internal.h"
#include "sim/trace.h"
#include "sim/windows/wide_text.h"

namespace sim {
namespace {

using Json = nlohmann::ordered_json;
using namespace scenario_detail;

Json WindowJson(const CallWindow& window) {
  Json out = Json::object();
  out["first"] = window.first;
  if (window.count) out["count"] = *window.count;
  return out;
}

Json ForcedStatusJson(const ForcedStatus& forced) {
  if (forced.window.first == 1 && !forced.window.count) return forced.status;
  Json out = Json::object();
  out["status"] = forced.status;
  out.update(WindowJson(forced.window));
  return out;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

// The text of a value stored as UTF-16LE with exactly one terminator, if it
// is one (and so prints as "data" without loss).
bool StoredString(const RegistryValue& value, std::string* text) {
  const auto& bytes = value.bytes;
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  if (wide.back() != u'\0') return false;
  wide.pop_back();
  if (wide.find(u'\0') != std::u16string::npos || !windows::Utf16IsWellFormed(wide)) return false;
  *text = windows::Utf16ToUtf8(wide);
  return true;
}

Json RegistryValueJson(const std::optional<RegistryValue>& value) {
  if (!value) return nullptr;
  std::string text;
  if (StoredString(*value, &text)) {
    if (value->type == REG_SZ_TYPE) return text;
    Json out = Json::object();
    out["type"] = value->type;
    out["data"] = text;
    return out;
  }
  Json out = Json::object();
  out["type"] = value->type;
  out["bytes"] = HexBytes(value->bytes);
  return out;
}

Json LibraryFileJson(const LibraryFile& file) {
  if (const char* name = SpellingOf(kFileKindSpellings, file.kind)) return name;
  Json out = Json::object();
  out["loadError"] = file.loadError;
  return out;
}

Json WindowsJson(const Scenario& scenario) {
  const WindowsScenario& w = scenario.windows;
  Json out = Json::object();
  out["versionQueryBuild"] = w.versionQueryBuild;
  out["searchFlagsSupported"] = w.searchFlagsSupported;
  out["systemDirectory"] = w.systemDirectory;
  out["imagePath"] = w.imagePath;
  out["currentDirectory"] = w.currentDirectory;
  out["path"] = w.path;
  Json registry = Json::object();
  registry["keyPresent"] = w.registryKeyPresent;
  registry["CurrentBuildNumber"] = RegistryValueJson(w.currentBuildNumber);
  registry["growsBetweenQueries"] = w.registryGrowsBetweenQueries;
  out["registry"] = registry;
  // The system directory's nvapi64.dll is left to driver.library when that
  // implies it, so that editing driver.library in a printed scenario works.
  const std::string driverPath = DriverLibraryPath(w.systemDirectory);
  const LibraryFile implied = DriverLibraryFile(scenario.driver.library);
  Json files = Json::object();
  for (const auto& [path, file] : w.files) {
    if (windows::EqualsNoCase(path, driverPath) && file.kind == implied.kind &&
        file.loadError == implied.loadError) {
      continue;
    }
    files[path] = LibraryFileJson(file);
  }
  out["files"] = files;
  Json failures = Json::array();
  for (const WindowsFailure& failure : w.failures) {
    Json entry = Json::object();
    entry["function"] = failure.function;
    entry.update(WindowJson(failure.window));
    failures.push_back(entry);
  }
  out["failures"] = failures;
  return out;
}

Json ModeJson(const ModeSpec& mode) {
  Json out = Json::object();
  out["width"] = mode.width;
  out["height"] = mode.height;
  out["refresh"] = Json::array({mode.refreshNumerator, mode.refreshDenominator});
  out["format"] = mode.format;
  out["dscMode"] = mode.dscMode;
  out["dscVer"] = mode.dscVer;
  out["slices"] = mode.slices;
  out["bppx16"] = mode.bppx16;
  return out;
}

Json DriverJson(const DriverScenario& d) {
  Json out = Json::object();
  out["library"] = SpellingOf(kLibrarySpellings, d.library);
  out["initializeStatus"] = ForcedStatusJson(d.initializeStatus);
  out["hooks"] = SpellingOf(kHooksSpellings, d.hooks);
  Json missing = Json::array();
  for (std::uint32_t id : d.missingFunctionIds) missing.push_back(TraceHex(id));
  out["missingFunctionIds"] = missing;
  out["vendors"] = d.vendors;
  Json statuses = Json::object();
  for (const auto& [name, forced] : d.statuses) statuses[name] = ForcedStatusJson(forced);
  out["statuses"] = statuses;
  out["dsc"] = SpellingOf(kDscSpellings, d.dsc);
  Json displays = Json::array();
  for (const DisplaySpec& display : d.displays) {
    Json entry = Json::object();
    entry["displayId"] = TraceHex(display.displayId);
    entry["enabled"] = display.enabled;
    entry["surfaceFormat"] = display.surfaceFormat;
    Json modes = Json::array();
    for (const ModeSpec& mode : display.modes) modes.push_back(ModeJson(mode));
    entry["modes"] = modes;
    entry["fillReportsExtraModes"] = display.fillReportsExtraModes;
    displays.push_back(entry);
  }
  out["displays"] = displays;
  out["refreshPacing"] = SpellingOf(kPacingSpellings, d.refreshPacing);
  return out;
}

Json GpuJson(const GpuScenario& g) {
  Json out = Json::object();
  out["submitCostUs"] = g.submitCostUs;
  Json failures = Json::array();
  for (const GpuFailure& failure : g.failures) {
    Json entry = Json::object();
    entry["method"] = failure.method;
    entry.update(WindowJson(failure.window));
    entry["hresult"] = TraceHex(static_cast<std::uint32_t>(failure.hresult));
    failures.push_back(entry);
  }
  out["failures"] = failures;
  out["deviceRemovedAfter"] = g.deviceRemovedAfter;
  return out;
}

}  // namespace

std::string ScenarioToJson(const Scenario& scenario) {
  Json out = Json::object();
  out["windows"] = WindowsJson(scenario);
  out["driver"] = DriverJson(scenario.driver);
  out["gpu"] = GpuJson(scenario.gpu);
  return out.dump(2);
}

}  // namespace sim
