// Reading a scenario from JSON: every key is checked for its name, its type
// and the range of the C type it feeds, and the first fault is reported with
// its key path.
#include <cmath>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "sim/scenario.h"
#include "sim/scenario_internal.h"
#include "sim/windows/wide_text.h"

namespace sim {
namespace scenario_detail {

const std::vector<std::string>& DriverOperationNames() {
  static const std::vector<std::string> names = {"EnableDirectMode",
                                                 "NvAPI_DISP_EnumerateDirectModeDisplays",
                                                 "NvAPI_D3D_DirectModeGetDisplayModes",
                                                 "NvAPI_SYS_GetPhysicalGpuFromDisplayId",
                                                 "NvAPI_D3D_GetIDXGIAdapter",
                                                 "AcquireDirectModeDisplay",
                                                 "CreateSurface",
                                                 "SetDisplayMode",
                                                 "DisplayControl",
                                                 "GetPresentWaitableObject",
                                                 "Present12",
                                                 "ReleaseDirectModeDisplay"};
  return names;
}

const std::vector<std::string>& WindowsFailureFunctions() {
  static const std::vector<std::string> names = {"LocalAlloc", "GetSystemDirectoryW",
                                                 "CreateEventA"};
  return names;
}

// The HRESULT-returning calls of the simulated runtime, by the interface the
// program calls them on (inherited methods included).
const std::vector<std::string>& GpuFailureMethods() {
  static const std::vector<std::string> names = [] {
    struct Interface {
      const char* name;
      std::vector<const char*> methods;
    };
    const std::vector<Interface> interfaces = {
        {"IUnknown", {}},
        {"IDXGIObject", {}},
        {"IDXGIAdapter", {}},
        {"ID3D12Object", {}},
        {"ID3D12DeviceChild", {}},
        {"ID3D12Pageable", {}},
        {"ID3D12Resource", {"Map"}},
        {"ID3D12CommandAllocator", {"Reset"}},
        {"ID3D12Fence", {"SetEventOnCompletion", "Signal"}},
        {"ID3D12PipelineState", {}},
        {"ID3D12DescriptorHeap", {}},
        {"ID3D12CommandList", {}},
        {"ID3D12GraphicsCommandList", {"Close", "Reset"}},
        {"ID3D12CommandQueue", {"Signal"}},
        {"ID3D12Device",
         {"CreateCommandQueue", "CreateCommandAllocator", "CreateCommandList",
          "CreateDescriptorHeap", "CreateCommittedResource", "OpenSharedHandle", "CreateFence"}},
    };
    std::vector<std::string> all = {"D3D12CreateDevice"};
    for (const Interface& interface : interfaces) {
      all.push_back(std::string(interface.name) + "::QueryInterface");
      for (const char* method : interface.methods) {
        all.push_back(std::string(interface.name) + "::" + method);
      }
    }
    return all;
  }();
  return names;
}

}  // namespace scenario_detail

namespace {

using nlohmann::json;
using namespace scenario_detail;

struct Refusal {
  std::string text;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& problem) {
  throw Refusal{(path.empty() ? std::string("(root)") : path) + ": " + problem};
}

std::string Key(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string Index(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

const char* TypeName(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "a number";
  }
}

void ExpectObject(const json& value, const std::string& path) {
  if (!value.is_object()) Refuse(path, std::string("expected an object, got ") + TypeName(value));
}

void ExpectArray(const json& value, const std::string& path) {
  if (!value.is_array()) Refuse(path, std::string("expected an array, got ") + TypeName(value));
}

void CheckKeys(const json& object, const std::string& path,
               std::initializer_list<const char*> allowed) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool known = false;
    for (const char* name : allowed) known = known || it.key() == name;
    if (!known) Refuse(Key(path, it.key()), "unknown key");
  }
}

// An integer in [low, high]; kind names the C type for the message.
std::int64_t Integer(const json& value, const std::string& path, std::int64_t low,
                     std::int64_t high, const char* kind) {
  const std::string range = std::string("out of range for ") + kind + " (" + std::to_string(low) +
                            " to " + std::to_string(high) + ")";
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(high)) Refuse(path, range);
    return static_cast<std::int64_t>(v);
  }
  if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if (v < low || v > high) Refuse(path, range);
    return v;
  }
  if (value.is_number_float()) {
    const double v = value.get<double>();
    if (std::isfinite(v) && std::floor(v) == v &&
        (v < static_cast<double>(low) || v > static_cast<double>(high))) {
      Refuse(path, range);
    }
    if (std::isfinite(v) && std::floor(v) == v) {
      Refuse(path, std::string("expected ") + kind + " written without a fraction or exponent");
    }
    Refuse(path, std::string("expected ") + kind + ", got a fractional number");
  }
  Refuse(path, std::string("expected ") + kind + ", got " + TypeName(value));
}

std::uint32_t U32(const json& value, const std::string& path) {
  return static_cast<std::uint32_t>(Integer(
      value, path, 0, std::numeric_limits<std::uint32_t>::max(), "an unsigned 32-bit integer"));
}

std::int32_t I32(const json& value, const std::string& path) {
  return static_cast<std::int32_t>(Integer(value, path, std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max(),
                                           "a signed 32-bit integer"));
}

bool Bool(const json& value, const std::string& path) {
  if (!value.is_boolean()) Refuse(path, std::string("expected a boolean, got ") + TypeName(value));
  return value.get<bool>();
}

std::string String(const json& value, const std::string& path) {
  if (!value.is_string()) Refuse(path, std::string("expected a string, got ") + TypeName(value));
  return value.get<std::string>();
}

std::string NonEmptyString(const json& value, const std::string& path) {
  std::string text = String(value, path);
  if (text.empty()) Refuse(path, "must not be empty");
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::uint32_t Hex32(const json& value, const std::string& path) {
  const char* expected = "expected a hex string \"0x\" with 1 to 8 hex digits";
  if (!value.is_string()) Refuse(path, std::string(expected) + ", got " + TypeName(value));
  const std::string text = value.get<std::string>();
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    Refuse(path, expected);
  }
  std::uint32_t result = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) Refuse(path, expected);
    result = (result << 4) | static_cast<std::uint32_t>(digit);
  }
  return result;
}

template <typename Enum>
Enum Choice(const json& value, const std::string& path,
            std::initializer_list<std::pair<const char*, Enum>> choices) {
  std::string list;
  for (const auto& choice : choices) {
    if (!list.empty()) list += ", ";
    list += std::string("\"") + choice.first + "\"";
  }
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    for (const auto& choice : choices) {
      if (text == choice.first) return choice.second;
    }
  }
  Refuse(path, "expected one of " + list);
}

bool InList(const std::vector<std::string>& list, const std::string& name) {
  for (const std::string& entry : list) {
    if (entry == name) return true;
  }
  return false;
}

void ParseWindowFields(const json& object, const std::string& path, CallWindow* window) {
  if (object.contains("first")) {
    window->first = U32(object["first"], Key(path, "first"));
    if (window->first == 0) Refuse(Key(path, "first"), "calls are counted from 1");
  }
  if (object.contains("count")) window->count = U32(object["count"], Key(path, "count"));
}

ForcedStatus ParseForcedStatus(const json& value, const std::string& path) {
  ForcedStatus forced;
  if (value.is_object()) {
    CheckKeys(value, path, {"status", "first", "count"});
    if (!value.contains("status")) Refuse(Key(path, "status"), "missing");
    forced.status = I32(value["status"], Key(path, "status"));
    ParseWindowFields(value, path, &forced.window);
    return forced;
  }
  if (!value.is_number()) {
    Refuse(path, std::string("expected an integer or an object, got ") + TypeName(value));
  }
  forced.status = I32(value, path);
  return forced;
}

std::vector<std::uint8_t> HexBytes(const json& value, const std::string& path) {
  const std::string text = String(value, path);
  if (text.size() % 2 != 0) Refuse(path, "expected pairs of hex digits");
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) Refuse(path, "expected pairs of hex digits");
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::optional<RegistryValue> ParseRegistryValue(const json& value, const std::string& path) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return StringValue(REG_SZ_TYPE, value.get<std::string>());
  if (!value.is_object()) {
    Refuse(path, std::string("expected a string, null or an object, got ") + TypeName(value));
  }
  CheckKeys(value, path, {"type", "data", "bytes"});
  if (!value.contains("type")) Refuse(Key(path, "type"), "missing");
  const std::uint32_t type = U32(value["type"], Key(path, "type"));
  const bool hasData = value.contains("data");
  const bool hasBytes = value.contains("bytes");
  if (hasData == hasBytes) Refuse(path, "expected exactly one of \"data\" and \"bytes\"");
  if (hasData) return StringValue(type, String(value["data"], Key(path, "data")));
  RegistryValue raw;
  raw.type = type;
  raw.bytes = HexBytes(value["bytes"], Key(path, "bytes"));
  return raw;
}

LibraryFile ParseLibraryFile(const json& value, const std::string& path) {
  LibraryFile file;
  if (value.is_object()) {
    CheckKeys(value, path, {"loadError"});
    if (!value.contains("loadError")) Refuse(Key(path, "loadError"), "missing");
    file.kind = LibraryFile::Kind::LoadError;
    file.loadError = U32(value["loadError"], Key(path, "loadError"));
    if (file.loadError == 0) Refuse(Key(path, "loadError"), "a load error is not 0");
    return file;
  }
  file.kind = Choice<LibraryFile::Kind>(value, path,
                                        {{"present", LibraryFile::Kind::Present},
                                         {"absent", LibraryFile::Kind::Absent},
                                         {"planted", LibraryFile::Kind::Planted}});
  return file;
}

using FileList = std::vector<std::pair<std::string, LibraryFile>>;

void ParseWindows(const json& value, const std::string& path, WindowsScenario* out,
                  FileList* files) {
  ExpectObject(value, path);
  CheckKeys(value, path,
            {"versionQueryBuild", "searchFlagsSupported", "systemDirectory", "imagePath",
             "currentDirectory", "path", "registry", "files", "failures"});
  if (value.contains("versionQueryBuild")) {
    out->versionQueryBuild = U32(value["versionQueryBuild"], Key(path, "versionQueryBuild"));
  }
  if (value.contains("searchFlagsSupported")) {
    out->searchFlagsSupported =
        Bool(value["searchFlagsSupported"], Key(path, "searchFlagsSupported"));
  }
  if (value.contains("systemDirectory")) {
    out->systemDirectory = NonEmptyString(value["systemDirectory"], Key(path, "systemDirectory"));
  }
  if (value.contains("imagePath")) {
    out->imagePath = NonEmptyString(value["imagePath"], Key(path, "imagePath"));
  }
  if (value.contains("currentDirectory")) {
    out->currentDirectory =
        NonEmptyString(value["currentDirectory"], Key(path, "currentDirectory"));
  }
  if (value.contains("path")) {
    const std::string p = Key(path, "path");
    ExpectArray(value["path"], p);
    out->path.clear();
    for (std::size_t i = 0; i < value["path"].size(); ++i) {
      out->path.push_back(NonEmptyString(value["path"][i], Index(p, i)));
    }
  }
  if (value.contains("registry")) {
    const std::string p = Key(path, "registry");
    const json& registry = value["registry"];
    ExpectObject(registry, p);
    CheckKeys(registry, p, {"keyPresent", "CurrentBuildNumber", "growsBetweenQueries"});
    if (registry.contains("keyPresent")) {
      out->registryKeyPresent = Bool(registry["keyPresent"], Key(p, "keyPresent"));
    }
    if (registry.contains("CurrentBuildNumber")) {
      out->currentBuildNumber =
          ParseRegistryValue(registry["CurrentBuildNumber"], Key(p, "CurrentBuildNumber"));
    }
    if (registry.contains("growsBetweenQueries")) {
      out->registryGrowsBetweenQueries =
          Bool(registry["growsBetweenQueries"], Key(p, "growsBetweenQueries"));
    }
  }
  if (value.contains("files")) {
    const std::string p = Key(path, "files");
    ExpectObject(value["files"], p);
    for (auto it = value["files"].begin(); it != value["files"].end(); ++it) {
      const std::string filePath = Key(p, it.key());
      if (it.key().find_first_of("\\/") == std::string::npos) {
        Refuse(filePath, "expected a full path to the file");
      }
      for (const auto& [earlier, file] : *files) {
        if (windows::EqualsNoCase(earlier, it.key())) {
          Refuse(filePath, "names the same file as \"" + earlier + "\" (paths ignore case)");
        }
      }
      files->emplace_back(it.key(), ParseLibraryFile(it.value(), filePath));
    }
  }
  if (value.contains("failures")) {
    const std::string p = Key(path, "failures");
    ExpectArray(value["failures"], p);
    out->failures.clear();
    for (std::size_t i = 0; i < value["failures"].size(); ++i) {
      const std::string ip = Index(p, i);
      const json& entry = value["failures"][i];
      ExpectObject(entry, ip);
      CheckKeys(entry, ip, {"function", "first", "count"});
      if (!entry.contains("function")) Refuse(Key(ip, "function"), "missing");
      WindowsFailure failure;
      failure.function = String(entry["function"], Key(ip, "function"));
      if (!InList(WindowsFailureFunctions(), failure.function)) {
        Refuse(Key(ip, "function"), "unknown function \"" + failure.function +
                                        "\" (LocalAlloc, GetSystemDirectoryW or CreateEventA)");
      }
      ParseWindowFields(entry, ip, &failure.window);
      out->failures.push_back(failure);
    }
  }
}

ModeSpec ParseMode(const json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path,
            {"width", "height", "refresh", "format", "dscMode", "dscVer", "slices", "bppx16"});
  ModeSpec mode;
  if (value.contains("width")) mode.width = U32(value["width"], Key(path, "width"));
  if (value.contains("height")) mode.height = U32(value["height"], Key(path, "height"));
  if (value.contains("refresh")) {
    const std::string p = Key(path, "refresh");
    const json& refresh = value["refresh"];
    if (!refresh.is_array() || refresh.size() != 2) {
      Refuse(p, "expected [numerator, denominator]");
    }
    mode.refreshNumerator = U32(refresh[0], Index(p, 0));
    mode.refreshDenominator = U32(refresh[1], Index(p, 1));
  }
  if (value.contains("format")) mode.format = U32(value["format"], Key(path, "format"));
  if (value.contains("dscMode")) mode.dscMode = I32(value["dscMode"], Key(path, "dscMode"));
  if (value.contains("dscVer")) mode.dscVer = I32(value["dscVer"], Key(path, "dscVer"));
  if (value.contains("slices")) mode.slices = I32(value["slices"], Key(path, "slices"));
  if (value.contains("bppx16")) mode.bppx16 = U32(value["bppx16"], Key(path, "bppx16"));
  return mode;
}

DisplaySpec ParseDisplay(const json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path,
            {"displayId", "enabled", "surfaceFormat", "modes", "fillReportsExtraModes"});
  DisplaySpec display = DefaultDisplay();
  if (value.contains("displayId"))
    display.displayId = Hex32(value["displayId"], Key(path, "displayId"));
  if (value.contains("enabled")) display.enabled = Bool(value["enabled"], Key(path, "enabled"));
  if (value.contains("surfaceFormat")) {
    display.surfaceFormat = U32(value["surfaceFormat"], Key(path, "surfaceFormat"));
  }
  if (value.contains("modes")) {
    const std::string p = Key(path, "modes");
    ExpectArray(value["modes"], p);
    display.modes.clear();
    for (std::size_t i = 0; i < value["modes"].size(); ++i) {
      display.modes.push_back(ParseMode(value["modes"][i], Index(p, i)));
    }
  }
  if (value.contains("fillReportsExtraModes")) {
    display.fillReportsExtraModes =
        U32(value["fillReportsExtraModes"], Key(path, "fillReportsExtraModes"));
  }
  return display;
}

void ParseDriver(const json& value, const std::string& path, DriverScenario* out) {
  ExpectObject(value, path);
  CheckKeys(value, path,
            {"library", "initializeStatus", "hooks", "missingFunctionIds", "vendors", "statuses",
             "dsc", "displays", "refreshPacing"});
  using D = DriverScenario;
  if (value.contains("library")) {
    out->library = Choice<D::Library>(value["library"], Key(path, "library"),
                                      {{"present", D::Library::Present},
                                       {"absent", D::Library::Absent},
                                       {"noQueryInterface", D::Library::NoQueryInterface}});
  }
  if (value.contains("initializeStatus")) {
    out->initializeStatus =
        ParseForcedStatus(value["initializeStatus"], Key(path, "initializeStatus"));
  }
  if (value.contains("hooks")) {
    out->hooks = Choice<D::Hooks>(value["hooks"], Key(path, "hooks"),
                                  {{"both", D::Hooks::Both},
                                   {"enter", D::Hooks::Enter},
                                   {"leave", D::Hooks::Leave},
                                   {"none", D::Hooks::None}});
  }
  if (value.contains("missingFunctionIds")) {
    const std::string p = Key(path, "missingFunctionIds");
    ExpectArray(value["missingFunctionIds"], p);
    out->missingFunctionIds.clear();
    for (std::size_t i = 0; i < value["missingFunctionIds"].size(); ++i) {
      out->missingFunctionIds.push_back(Hex32(value["missingFunctionIds"][i], Index(p, i)));
    }
  }
  if (value.contains("vendors")) {
    const std::string p = Key(path, "vendors");
    ExpectArray(value["vendors"], p);
    out->vendors.clear();
    for (std::size_t i = 0; i < value["vendors"].size(); ++i) {
      out->vendors.push_back(U32(value["vendors"][i], Index(p, i)));
    }
  }
  if (value.contains("statuses")) {
    const std::string p = Key(path, "statuses");
    ExpectObject(value["statuses"], p);
    out->statuses.clear();
    for (auto it = value["statuses"].begin(); it != value["statuses"].end(); ++it) {
      const std::string kp = Key(p, it.key());
      if (!InList(DriverOperationNames(), it.key())) {
        Refuse(kp, "unknown operation (the names of the driver's operation table)");
      }
      out->statuses[it.key()] = ParseForcedStatus(it.value(), kp);
    }
  }
  if (value.contains("dsc")) {
    out->dsc = Choice<D::Dsc>(value["dsc"], Key(path, "dsc"),
                              {{"supported", D::Dsc::Supported}, {"refused", D::Dsc::Refused}});
  }
  if (value.contains("displays")) {
    const std::string p = Key(path, "displays");
    ExpectArray(value["displays"], p);
    out->displays.clear();
    for (std::size_t i = 0; i < value["displays"].size(); ++i) {
      out->displays.push_back(ParseDisplay(value["displays"][i], Index(p, i)));
    }
  }
  if (value.contains("refreshPacing")) {
    out->refreshPacing =
        Choice<D::Pacing>(value["refreshPacing"], Key(path, "refreshPacing"),
                          {{"vblank", D::Pacing::Vblank}, {"immediate", D::Pacing::Immediate}});
  }
}

void ParseGpu(const json& value, const std::string& path, GpuScenario* out) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"submitCostUs", "failures", "deviceRemovedAfter"});
  if (value.contains("submitCostUs")) {
    out->submitCostUs = U32(value["submitCostUs"], Key(path, "submitCostUs"));
  }
  if (value.contains("failures")) {
    const std::string p = Key(path, "failures");
    ExpectArray(value["failures"], p);
    out->failures.clear();
    for (std::size_t i = 0; i < value["failures"].size(); ++i) {
      const std::string ip = Index(p, i);
      const json& entry = value["failures"][i];
      ExpectObject(entry, ip);
      CheckKeys(entry, ip, {"method", "first", "count", "hresult"});
      if (!entry.contains("method")) Refuse(Key(ip, "method"), "missing");
      GpuFailure failure;
      failure.method = String(entry["method"], Key(ip, "method"));
      if (!InList(GpuFailureMethods(), failure.method)) {
        Refuse(Key(ip, "method"),
               "unknown method \"" + failure.method +
                   "\" (\"Interface::Method\" of a call that returns an HRESULT, or "
                   "\"D3D12CreateDevice\")");
      }
      ParseWindowFields(entry, ip, &failure.window);
      if (entry.contains("hresult")) {
        failure.hresult = static_cast<std::int32_t>(Hex32(entry["hresult"], Key(ip, "hresult")));
      }
      out->failures.push_back(failure);
    }
  }
  if (value.contains("deviceRemovedAfter")) {
    out->deviceRemovedAfter = U32(value["deviceRemovedAfter"], Key(path, "deviceRemovedAfter"));
  }
}

// The files of the system directory by default, nvapi64.dll as driver.library
// says, and then the scenario's own entries on top (each replaces a default
// that names the same file).
std::map<std::string, LibraryFile> EffectiveFiles(const Scenario& scenario, const FileList& given) {
  std::map<std::string, LibraryFile> files;
  const std::string& directory = scenario.windows.systemDirectory;
  for (const std::string& name : DefaultSystemLibraries()) {
    files[JoinPath(directory, name)] = LibraryFile{};
  }
  files[DriverLibraryPath(directory)] = DriverLibraryFile(scenario.driver.library);
  for (const auto& [path, file] : given) {
    for (auto it = files.begin(); it != files.end();) {
      it = windows::EqualsNoCase(it->first, path) ? files.erase(it) : std::next(it);
    }
    files[path] = file;
  }
  return files;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario* out, std::string* error) {
  json document;
  try {
    document = json::parse(text, nullptr, true, true);
  } catch (const json::parse_error& e) {
    std::string what = e.what();
    // Drop the library's "[json.exception.parse_error.N] " prefix.
    const std::size_t bracket = what.find("] ");
    if (what.rfind("[json.exception", 0) == 0 && bracket != std::string::npos) {
      what = what.substr(bracket + 2);
    }
    if (error != nullptr) *error = "(root): invalid JSON: " + what;
    return false;
  }
  try {
    ExpectObject(document, "");
    CheckKeys(document, "", {"windows", "driver", "gpu"});
    Scenario scenario = DefaultScenario();
    FileList files;
    if (document.contains("windows")) {
      ParseWindows(document["windows"], "windows", &scenario.windows, &files);
    }
    if (document.contains("driver")) ParseDriver(document["driver"], "driver", &scenario.driver);
    if (document.contains("gpu")) ParseGpu(document["gpu"], "gpu", &scenario.gpu);
    scenario.windows.files = EffectiveFiles(scenario, files);
    *out = std::move(scenario);
    return true;
  } catch (const Refusal& refusal) {
    if (error != nullptr) *error = refusal.text;
    return false;
  }
}

}  // namespace sim
