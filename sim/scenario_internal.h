// Pieces shared by the scenario's defaults, its parser and its printer.
#pragma once

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

// The name tables that the scenario's keys are checked against.
const std::vector<std::string>& DriverOperationNames();
const std::vector<std::string>& WindowsFailureFunctions();
const std::vector<std::string>& GpuFailureMethods();

}  // namespace sim::scenario_detail
