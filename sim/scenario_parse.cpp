// Reading a scenario from JSON: every key is checked for its name, its type
// and the range of the C type it feeds, and the first fault is reported with
// its key path.
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "sim/d3d12/sim_gpu.h"
#include "sim/driver/sim_driver.h"
#include "sim/scenario.h"
#include "sim/scenario_internal.h"
#include "sim/windows/wide_text.h"

namespace sim {
namespace scenario_detail {

const std::vector<std::string>& WindowsFailureFunctions() {
  static const std::vector<std::string> names = {"LocalAlloc", "GetSystemDirectoryW",
                                                 "CreateEventA"};
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

[[noreturn]] void Expected(const std::string& path, const std::string& what, const json& value) {
  Refuse(path, "expected " + what + ", got " + TypeName(value));
}

void ExpectArray(const json& value, const std::string& path) {
  if (!value.is_array()) Expected(path, "an array", value);
}

// An object whose keys are all among allowed.
void CheckKeys(const json& object, const std::string& path,
               std::initializer_list<const char*> allowed) {
  if (!object.is_object()) Expected(path, "an object", object);
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool known = false;
    for (const char* name : allowed) known = known || it.key() == name;
    if (!known) Refuse(Key(path, it.key()), "unknown key");
  }
}

// Calls visit with object[key] and its path when the key is there.
template <typename Visit>
void IfPresent(const json& object, const std::string& path, const char* key, Visit visit) {
  const auto it = object.find(key);
  if (it != object.end()) visit(*it, Key(path, key));
}

// Sets *target from object[key] through read when the key is there; an absent
// key keeps the default.
template <typename T, typename Read>
void Field(const json& object, const std::string& path, const char* key, T* target, Read read) {
  IfPresent(object, path, key,
            [&](const json& value, const std::string& p) { *target = read(value, p); });
}

template <typename Read>
auto Require(const json& object, const std::string& path, const char* key, Read read) {
  const auto it = object.find(key);
  if (it == object.end()) Refuse(Key(path, key), "missing");
  return read(*it, Key(path, key));
}

// A reader of arrays whose elements read reads, each at its own index path.
template <typename Read>
auto ListOf(Read read) {
  return [read](const json& list, const std::string& path) {
    ExpectArray(list, path);
    std::vector<decltype(read(list, path))> items;
    for (std::size_t i = 0; i < list.size(); ++i) items.push_back(read(list[i], Index(path, i)));
    return items;
  };
}

// A reader of one of the strings of a spelling table.
template <typename Enum, std::size_t N>
auto ChoiceOf(const Spelling<Enum> (&table)[N]) {
  return [&table](const json& value, const std::string& path) -> Enum {
    if (value.is_string()) {
      const std::string text = value.get<std::string>();
      for (const Spelling<Enum>& entry : table) {
        if (text == entry.name) return entry.value;
      }
    }
    std::string list;
    for (const Spelling<Enum>& entry : table) {
      if (!list.empty()) list += ", ";
      list += std::string("\"") + entry.name + "\"";
    }
    Refuse(path, "expected one of " + list);
  };
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
    if (!std::isfinite(v) || std::floor(v) != v) {
      Refuse(path, std::string("expected ") + kind + ", got a fractional number");
    }
    if (v < static_cast<double>(low) || v > static_cast<double>(high)) Refuse(path, range);
    Refuse(path, std::string("expected ") + kind + " written without a fraction or exponent");
  }
  Expected(path, kind, value);
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
  if (!value.is_boolean()) Expected(path, "a boolean", value);
  return value.get<bool>();
}

std::string String(const json& value, const std::string& path) {
  if (!value.is_string()) Expected(path, "a string", value);
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
  const std::string kind = "a hex string \"0x\" with 1 to 8 hex digits";
  const std::string expected = "expected " + kind;
  if (!value.is_string()) Expected(path, kind, value);
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

bool InList(const std::vector<std::string>& list, const std::string& name) {
  for (const std::string& entry : list) {
    if (entry == name) return true;
  }
  return false;
}

void ParseWindowFields(const json& object, const std::string& path, CallWindow* window) {
  Field(object, path, "first", &window->first, [](const json& value, const std::string& p) {
    const std::uint32_t first = U32(value, p);
    if (first == 0) Refuse(p, "calls are counted from 1");
    return first;
  });
  Field(object, path, "count", &window->count, U32);
}

ForcedStatus ParseForcedStatus(const json& value, const std::string& path) {
  ForcedStatus forced;
  if (value.is_object()) {
    CheckKeys(value, path, {"status", "first", "count"});
    forced.status = Require(value, path, "status", I32);
    ParseWindowFields(value, path, &forced.window);
    return forced;
  }
  if (!value.is_number()) Expected(path, "an integer or an object", value);
  forced.status = I32(value, path);
  return forced;
}

// An entry of a failures list: the call it names under nameKey (refused unless
// known says it is one; hint lists them) and its call window. The caller
// reads its other keys.
std::string FailureCall(const json& entry, const std::string& path, const char* nameKey,
                        std::initializer_list<const char*> keys, bool (*known)(const std::string&),
                        const char* hint, CallWindow* window) {
  CheckKeys(entry, path, keys);
  std::string name = Require(entry, path, nameKey, String);
  if (!known(name)) {
    Refuse(Key(path, nameKey), std::string("unknown ") + nameKey + " \"" + name + "\" " + hint);
  }
  ParseWindowFields(entry, path, window);
  return name;
}

WindowsFailure ParseWindowsFailure(const json& entry, const std::string& path) {
  WindowsFailure failure;
  failure.function = FailureCall(
      entry, path, "function", {"function", "first", "count"},
      [](const std::string& name) { return InList(WindowsFailureFunctions(), name); },
      "(LocalAlloc, GetSystemDirectoryW or CreateEventA)", &failure.window);
  return failure;
}

GpuFailure ParseGpuFailure(const json& entry, const std::string& path) {
  GpuFailure failure;
  failure.method = FailureCall(entry, path, "method", {"method", "first", "count", "hresult"},
                               gpu::IsKnownMethod,
                               "(\"Interface::Method\" of a call that returns an HRESULT, or "
                               "\"D3D12CreateDevice\")",
                               &failure.window);
  Field(entry, path, "hresult", &failure.hresult, [](const json& value, const std::string& p) {
    return static_cast<std::int32_t>(Hex32(value, p));
  });
  return failure;
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
  if (!value.is_object()) Expected(path, "a string, null or an object", value);
  CheckKeys(value, path, {"type", "data", "bytes"});
  const std::uint32_t type = Require(value, path, "type", U32);
  const bool hasData = value.contains("data");
  if (hasData == value.contains("bytes")) {
    Refuse(path, "expected exactly one of \"data\" and \"bytes\"");
  }
  if (hasData) return StringValue(type, Require(value, path, "data", String));
  RegistryValue raw;
  raw.type = type;
  raw.bytes = Require(value, path, "bytes", HexBytes);
  return raw;
}

LibraryFile ParseLibraryFile(const json& value, const std::string& path) {
  LibraryFile file;
  if (value.is_object()) {
    CheckKeys(value, path, {"loadError"});
    file.kind = LibraryFile::Kind::LoadError;
    file.loadError = Require(value, path, "loadError", U32);
    if (file.loadError == 0) Refuse(Key(path, "loadError"), "a load error is not 0");
    return file;
  }
  file.kind = ChoiceOf(kFileKindSpellings)(value, path);
  return file;
}

using FileList = std::vector<std::pair<std::string, LibraryFile>>;

void ParseWindows(const json& value, const std::string& path, WindowsScenario* out,
                  FileList* files) {
  CheckKeys(value, path,
            {"versionQueryBuild", "searchFlagsSupported", "systemDirectory", "imagePath",
             "currentDirectory", "path", "registry", "files", "failures"});
  Field(value, path, "versionQueryBuild", &out->versionQueryBuild, U32);
  Field(value, path, "searchFlagsSupported", &out->searchFlagsSupported, Bool);
  Field(value, path, "systemDirectory", &out->systemDirectory, NonEmptyString);
  Field(value, path, "imagePath", &out->imagePath, NonEmptyString);
  Field(value, path, "currentDirectory", &out->currentDirectory, NonEmptyString);
  Field(value, path, "path", &out->path, ListOf(NonEmptyString));
  IfPresent(value, path, "registry", [out](const json& registry, const std::string& p) {
    CheckKeys(registry, p, {"keyPresent", "CurrentBuildNumber", "growsBetweenQueries"});
    Field(registry, p, "keyPresent", &out->registryKeyPresent, Bool);
    Field(registry, p, "CurrentBuildNumber", &out->currentBuildNumber, ParseRegistryValue);
    Field(registry, p, "growsBetweenQueries", &out->registryGrowsBetweenQueries, Bool);
  });
  IfPresent(value, path, "files", [files](const json& list, const std::string& p) {
    if (!list.is_object()) Expected(p, "an object", list);
    for (auto it = list.begin(); it != list.end(); ++it) {
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
  });
  Field(value, path, "failures", &out->failures, ListOf(ParseWindowsFailure));
}

ModeSpec ParseMode(const json& value, const std::string& path) {
  CheckKeys(value, path,
            {"width", "height", "refresh", "format", "dscMode", "dscVer", "slices", "bppx16"});
  ModeSpec mode;
  Field(value, path, "width", &mode.width, U32);
  Field(value, path, "height", &mode.height, U32);
  IfPresent(value, path, "refresh", [&mode](const json& refresh, const std::string& p) {
    if (!refresh.is_array() || refresh.size() != 2) {
      Refuse(p, "expected [numerator, denominator]");
    }
    mode.refreshNumerator = U32(refresh[0], Index(p, 0));
    mode.refreshDenominator = U32(refresh[1], Index(p, 1));
  });
  Field(value, path, "format", &mode.format, U32);
  Field(value, path, "dscMode", &mode.dscMode, I32);
  Field(value, path, "dscVer", &mode.dscVer, I32);
  Field(value, path, "slices", &mode.slices, I32);
  Field(value, path, "bppx16", &mode.bppx16, U32);
  return mode;
}

DisplaySpec ParseDisplay(const json& value, const std::string& path) {
  CheckKeys(value, path,
            {"displayId", "enabled", "surfaceFormat", "modes", "fillReportsExtraModes"});
  DisplaySpec display = DefaultDisplay();
  Field(value, path, "displayId", &display.displayId, Hex32);
  Field(value, path, "enabled", &display.enabled, Bool);
  Field(value, path, "surfaceFormat", &display.surfaceFormat, U32);
  Field(value, path, "modes", &display.modes, ListOf(ParseMode));
  Field(value, path, "fillReportsExtraModes", &display.fillReportsExtraModes, U32);
  return display;
}

std::map<std::string, ForcedStatus> ParseStatuses(const json& value, const std::string& path) {
  if (!value.is_object()) Expected(path, "an object", value);
  std::map<std::string, ForcedStatus> statuses;
  for (auto it = value.begin(); it != value.end(); ++it) {
    const std::string kp = Key(path, it.key());
    if (!driver::IsKnownOperation(it.key())) {
      Refuse(kp, "unknown operation (the names of the driver's operation table)");
    }
    statuses[it.key()] = ParseForcedStatus(it.value(), kp);
  }
  return statuses;
}

void ParseDriver(const json& value, const std::string& path, DriverScenario* out) {
  CheckKeys(value, path,
            {"library", "initializeStatus", "hooks", "missingFunctionIds", "vendors", "statuses",
             "dsc", "displays", "refreshPacing"});
  Field(value, path, "library", &out->library, ChoiceOf(kLibrarySpellings));
  Field(value, path, "initializeStatus", &out->initializeStatus, ParseForcedStatus);
  Field(value, path, "hooks", &out->hooks, ChoiceOf(kHooksSpellings));
  Field(value, path, "missingFunctionIds", &out->missingFunctionIds, ListOf(Hex32));
  Field(value, path, "vendors", &out->vendors, ListOf(U32));
  Field(value, path, "statuses", &out->statuses, ParseStatuses);
  Field(value, path, "dsc", &out->dsc, ChoiceOf(kDscSpellings));
  Field(value, path, "displays", &out->displays, ListOf(ParseDisplay));
  Field(value, path, "refreshPacing", &out->refreshPacing, ChoiceOf(kPacingSpellings));
}

void ParseGpu(const json& value, const std::string& path, GpuScenario* out) {
  CheckKeys(value, path, {"submitCostUs", "failures", "deviceRemovedAfter"});
  Field(value, path, "submitCostUs", &out->submitCostUs, U32);
  Field(value, path, "failures", &out->failures, ListOf(ParseGpuFailure));
  Field(value, path, "deviceRemovedAfter", &out->deviceRemovedAfter, U32);
}

// Refuses the first key that stands twice in one object, at any depth: the
// library keeps the last silently, which would hide a slip in a hand-written
// scenario. The parser's callback reports each object and array it enters and
// leaves, each key and each plain value; the frames track the key path.
class DuplicateKeys {
 public:
  bool operator()(int /*depth*/, json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start: {
        Frame frame;
        frame.path = ChildPath();
        frame.array = event == json::parse_event_t::array_start;
        frames_.push_back(std::move(frame));
        break;
      }
      case json::parse_event_t::key: {
        Frame& frame = frames_.back();
        frame.key = parsed.get<std::string>();
        if (!frame.keys.insert(frame.key).second) {
          Refuse(Key(frame.path, frame.key), "duplicate key");
        }
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        frames_.pop_back();
        ElementDone();
        break;
      case json::parse_event_t::value:
        ElementDone();
        break;
    }
    return true;
  }

 private:
  struct Frame {
    std::string path;
    bool array = false;
    std::size_t index = 0;  // of the element being read, in an array
    std::string key;        // of the value being read, in an object
    std::set<std::string> keys;
  };

  std::string ChildPath() const {
    if (frames_.empty()) return "";
    const Frame& parent = frames_.back();
    return parent.array ? Index(parent.path, parent.index) : Key(parent.path, parent.key);
  }

  void ElementDone() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
  }

  std::vector<Frame> frames_;
};

json ReadDocument(const std::string& text) {
  DuplicateKeys duplicates;
  try {
    return json::parse(
        text,
        [&duplicates](int depth, json::parse_event_t event, json& parsed) {
          return duplicates(depth, event, parsed);
        },
        true, true);
  } catch (const json::parse_error& e) {
    std::string what = e.what();
    // Drop the library's "[json.exception.parse_error.N] " prefix.
    const std::size_t bracket = what.find("] ");
    if (what.rfind("[json.exception", 0) == 0 && bracket != std::string::npos) {
      what = what.substr(bracket + 2);
    }
    Refuse("", "invalid JSON: " + what);
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
  try {
    const json document = ReadDocument(text);
    CheckKeys(document, "", {"windows", "driver", "gpu"});
    Scenario scenario = DefaultScenario();
    FileList files;
    IfPresent(document, "", "windows", [&](const json& value, const std::string& path) {
      ParseWindows(value, path, &scenario.windows, &files);
    });
    IfPresent(document, "", "driver", [&](const json& value, const std::string& path) {
      ParseDriver(value, path, &scenario.driver);
    });
    IfPresent(document, "", "gpu", [&](const json& value, const std::string& path) {
      ParseGpu(value, path, &scenario.gpu);
    });
    scenario.windows.files = EffectiveFiles(scenario, files);
    *out = std::move(scenario);
    return true;
  } catch (const Refusal& refusal) {
    if (error != nullptr) *error = refusal.text;
    return false;
  }
}

}  // namespace sim
