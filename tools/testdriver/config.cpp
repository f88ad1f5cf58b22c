#include "tools/testdriver/config.h"

#include <algorithm>
#include <cstddef>

namespace testdriver {

const char* const kOperationNames[13] = {
    "Initialize",
    "EnableDirectMode",
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
    "ReleaseDirectModeDisplay",
};

Config DefaultConfig() {
  Config c;
  DisplaySpec d;
  d.displayId = 0x80061001;
  d.modes.push_back({2160, 1200, 90000, 1000, 22, 0, 0, 0, 0});
  d.modes.push_back({2160, 1200, 120000, 1000, 22, 0, 0, 0, 0});
  d.modes.push_back({2160, 1200, 72000, 1000, 22, 0, 0, 0, 0});
  c.displays.push_back(d);
  return c;
}

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = s.find(sep);
    parts.push_back(Trim(s.substr(0, at)));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

bool ParseU32(std::string_view text, std::uint32_t& out) {
  std::int64_t v = 0;
  if (!ParseNumber(text, 0, 0xFFFFFFFFLL, v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

bool ParseNumber(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& out) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 16) return false;
  std::uint64_t value = 0;
  for (char ch : text) {
    unsigned digit = 0;
    if (ch >= '0' && ch <= '9') {
      digit = static_cast<unsigned>(ch - '0');
    } else if (base == 16 && ch >= 'a' && ch <= 'f') {
      digit = static_cast<unsigned>(ch - 'a' + 10);
    } else if (base == 16 && ch >= 'A' && ch <= 'F') {
      digit = static_cast<unsigned>(ch - 'A' + 10);
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFFFFFULL) return false;  // far beyond any accepted range
  }
  const std::int64_t signedValue =
      negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
  if (signedValue < min || signedValue > max) return false;
  out = signedValue;
  return true;
}

std::optional<std::string> ParseConfig(std::string_view text, Config& out) {
  // Keys not in the file keep the default driver's values; the first display
  // line replaces the default display.
  Config c = DefaultConfig();
  bool ownDisplays = false;
  int lineNo = 0;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = Trim(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;

    const std::string where = "line " + std::to_string(lineNo) + ": ";
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return where + "expected key=value";
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));

    if (key == "vendor") {
      if (!ParseU32(value, c.vendor)) return where + "vendor must be a 32-bit unsigned number";
    } else if (key == "surface_format") {
      if (!ParseU32(value, c.surfaceFormat)) return where + "surface_format must be a number";
    } else if (key == "hooks") {
      if (value == "both") {
        c.hooks = Hooks::kBoth;
      } else if (value == "enter") {
        c.hooks = Hooks::kEnter;
      } else if (value == "leave") {
        c.hooks = Hooks::kLeave;
      } else if (value == "none") {
        c.hooks = Hooks::kNone;
      } else {
        return where + "hooks must be both, enter, leave or none";
      }
    } else if (key == "missing") {
      std::uint32_t id = 0;
      if (!ParseU32(value, id)) return where + "missing must be a function ID";
      c.missingIds.push_back(id);
    } else if (key == "display") {
      if (!ownDisplays) c.displays.clear();
      ownDisplays = true;
      if (value == "none") {
        if (!c.displays.empty()) return where + "display=none after a display";
        continue;
      }
      DisplaySpec d;
      if (!ParseU32(value, d.displayId)) return where + "display must be a display ID or none";
      c.displays.push_back(d);
    } else if (key == "mode") {
      if (!ownDisplays || c.displays.empty()) return where + "mode before any display line";
      const std::vector<std::string_view> f = Split(value, ',');
      if (f.size() != 5 && f.size() != 9) {
        return where +
               "mode is width,height,refreshNumerator,refreshDenominator,format"
               "[,dscMode,dscVer,slices,bppx16]";
      }
      std::uint32_t v[9] = {};
      for (std::size_t i = 0; i < f.size(); ++i) {
        if (!ParseU32(f[i], v[i]))
          return where + "mode field " + std::to_string(i + 1) + " is not a number";
      }
      c.displays.back().modes.push_back({v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]});
    } else if (key.substr(0, 7) == "status.") {
      const std::string_view op = key.substr(7);
      const bool known = std::any_of(std::begin(kOperationNames), std::end(kOperationNames),
                                     [&](const char* n) { return op == n; });
      if (!known) return where + "unknown operation " + std::string(op);
      std::int64_t s = 0;
      if (!ParseNumber(value, INT32_MIN, 0xFFFFFFFFLL, s)) return where + "status must be a number";
      c.statuses[std::string(op)] = static_cast<std::int32_t>(static_cast<std::uint32_t>(s));
    } else {
      return where + "unknown key " + std::string(key);
    }
  }
  out = std::move(c);
  return std::nullopt;
}

}  // namespace testdriver
