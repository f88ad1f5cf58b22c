// State of the simulated Windows that tests and the rest of the machine read.
#pragma once

#include <cstdint>
#include <string>

namespace sim::windows {

// LocalAlloc blocks not yet freed.
std::uint64_t OutstandingLocalAllocs();

// Whether the next call of function (LocalAlloc, GetSystemDirectoryW,
// CreateEventA) is forced to fail; counts the call.
bool ForcedFailure(const std::string& function);

void ReportHeld();
void Reset();

}  // namespace sim::windows
