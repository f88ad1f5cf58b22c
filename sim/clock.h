// The simulated machine's clock: the host's monotonic clock in real time, or
// a virtual clock that moves only when the simulation moves it.
#pragma once

#include <cstdint>

namespace sim {

enum class TimeMode { Real, Virtual };

// Resets the clock; virtual time starts at 1 s.
void ClockReset(TimeMode mode);
TimeMode ClockMode();

// The simulator's own read: moves nothing.
std::int64_t ClockPeekNs();

// The program's read: returns the current time; in virtual time it then moves
// the clock on by 1 us, as two reads of a real clock are never equal.
std::int64_t ClockProgramReadNs();

// Moves time forward to t: virtual time jumps (never backwards), real time
// sleeps until the host clock reaches t.
void ClockAdvanceTo(std::int64_t tNs);

}  // namespace sim
