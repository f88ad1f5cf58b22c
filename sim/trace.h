// The trace: one JSON object per line, in call order, each with seq, t_ns and
// call. Callers test TraceEnabled() before building an event, so that a run
// without a trace allocates nothing for it.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

// path empty: keep events in memory only (for in-process tests).
void TraceStart(const std::string& path);
// Writes to path (if not empty) and, with keepInMemory, also keeps the events.
void TraceStart(const std::string& path, bool keepInMemory);
void TraceStop();

namespace detail {
extern bool traceOn;
}
// Inline: it sits on the present loop's path in every simulated call.
inline bool TraceEnabled() { return detail::traceOn; }

// Adds seq, t_ns (the clock, without moving it) and call to fields.
void TraceEmit(const char* call, nlohmann::json fields);

// Events recorded since TraceStart, for in-process tests.
const std::vector<nlohmann::json>& TraceEvents();

// "0x" and 8 upper-case hex digits, for function IDs and HRESULTs.
std::string TraceHex(std::uint32_t value);

}  // namespace sim
