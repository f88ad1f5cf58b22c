// Pieces of the simulated Windows shared between its source files.
#pragma once

#include <cstdint>
#include <string>

namespace sim::windows {

inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;

void LoaderReset();
void MemoryReset();
void MemoryReportHeld();
void RegistryReset();
void RegistryReportHeld();

}  // namespace sim::windows
