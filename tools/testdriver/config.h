// The test driver's description of its displays, read from a key=value file
// beside the DLL. Kept free of Windows names so that it builds anywhere.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testdriver {

// One mode, in the driver contract's field order.
struct ModeSpec {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t refreshNumerator = 0;
  std::uint32_t refreshDenominator = 0;
  std::uint32_t format = 0;
  std::uint32_t dscMode = 0;
  std::uint32_t dscVer = 0;
  std::uint32_t slices = 0;
  std::uint32_t bppx16 = 0;
};

struct DisplaySpec {
  std::uint32_t displayId = 0;
  std::vector<ModeSpec> modes;
};

enum class Hooks { kBoth, kEnter, kLeave, kNone };

struct Config {
  std::uint32_t vendor = 9993;
  // DXGI format of the textures that stand for scan-out surfaces
  // (90 = B8G8R8A8_TYPELESS).
  std::uint32_t surfaceFormat = 90;
  Hooks hooks = Hooks::kBoth;
  std::vector<DisplaySpec> displays;
  // Function IDs that nvapi_QueryInterface answers with null.
  std::vector<std::uint32_t> missingIds;
  // Forced statuses by operation name (see kOperationNames).
  std::map<std::string, std::int32_t, std::less<>> statuses;
};

// The names accepted after "status.": the driver's operations and the
// initialise entry.
extern const char* const kOperationNames[13];

// What the driver offers when there is no file: one display with three
// 2160x1200 modes at 90, 120 and 72 Hz.
Config DefaultConfig();

// Parses the file's text over the default driver. Returns an error text
// naming the line on failure.
std::optional<std::string> ParseConfig(std::string_view text, Config& out);

// Parses a decimal or 0x-prefixed hexadecimal number, optionally negative,
// that must fit [min, max]. Nothing but the number may be in the text.
bool ParseNumber(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& out);

}  // namespace testdriver
