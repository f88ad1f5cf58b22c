// The one seam between the program and the platform it runs on: the Windows
// and Direct3D 12 names, wide literals and the monotonic clock. On Windows
// these come from the SDK headers; elsewhere from the simulated machine.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include "platform/win/win_platform.h"
#else
#include "platform/sim/sim_d3d12.h"
#include "platform/sim/sim_windows.h"
#define DM_WIDE_(s) u##s
#endif

// A wide (UTF-16) string literal on either target.
#define DM_WIDE(s) DM_WIDE_(s)

// Monotonic clock in whole nanoseconds; each call is one read.
std::int64_t MonotonicNowNs();
