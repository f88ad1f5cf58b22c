// Pieces shared by the scenario's defaults, its parser and its printer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/scenario.h"

namespace sim::scenario_detail {

inline constexpr std::uint32_t REG_SZ_TYPE = 1;

// The libraries every default system directory holds besides nvapi64.dll.
const std::vector<std::string>& DefaultSystemLibraries();
// directory + "\" + name, without doubling a trailing separator.
std::string JoinPath(const std::string& directory, const std::string& name);
std::string DriverLibraryPath(const std::string& systemDirectory);
// The system directory's nvapi64.dll as driver.library implies it.
LibraryFile DriverLibraryFile(DriverScenario::Library library);
// A string value of that type: UTF-16LE with its terminator.
RegistryValue StringValue(std::uint32_t type, const std::string& utf8);
std::vector<ModeSpec> DefaultModes();
DisplaySpec DefaultDisplay();

// The name tables that the scenario's keys are checked against (gpu.failures
// methods are the runtime's own, sim::gpu::IsKnownMethod).
const std::vector<std::string>& WindowsFailureFunctions();

// How each choice is spelt in a scenario: one table for the parser and the
// printer, so that what is printed always reads back.
template <typename Enum>
struct Spelling {
  Enum value;
  const char* name;
};

inline constexpr Spelling<DriverScenario::Library> kLibrarySpellings[] = {
    {DriverScenario::Library::Present, "present"},
    {DriverScenario::Library::Absent, "absent"},
    {DriverScenario::Library::NoQueryInterface, "noQueryInterface"}};
inline constexpr Spelling<DriverScenario::Hooks> kHooksSpellings[] = {
    {DriverScenario::Hooks::Both, "both"},
    {DriverScenario::Hooks::Enter, "enter"},
    {DriverScenario::Hooks::Leave, "leave"},
    {DriverScenario::Hooks::None, "none"}};
inline constexpr Spelling<DriverScenario::Dsc> kDscSpellings[] = {
    {DriverScenario::Dsc::Supported, "supported"}, {DriverScenario::Dsc::Refused, "refused"}};
inline constexpr Spelling<DriverScenario::Pacing> kPacingSpellings[] = {
    {DriverScenario::Pacing::Vblank, "vblank"}, {DriverScenario::Pacing::Immediate, "immediate"}};
// A file's kinds written as a string; a load error is written as an object.
inline constexpr Spelling<LibraryFile::Kind> kFileKindSpellings[] = {
    {LibraryFile::Kind::Present, "present"},
    {LibraryFile::Kind::Absent, "absent"},
    {LibraryFile::Kind::Planted, "planted"}};

// The spelling of value; null for one the table leaves out.
template <typename Enum, std::size_t N>
const char* SpellingOf(const Spelling<Enum> (&table)[N], Enum value) {
  for (const Spelling<Enum>& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

}  // namespace sim::scenario_detail
