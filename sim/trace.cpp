// The trace: JSON Lines, written and flushed one line per event so that a run
// that dies part-way still leaves everything up to that point.
#include "sim/trace.h"

#include <cstdio>

#include "sim/clock.h"

namespace sim {
namespace {

struct TraceState {
  bool keepInMemory = false;
  std::FILE* file = nullptr;
  std::uint64_t seq = 0;
  std::vector<nlohmann::json> events;
  std::string line;  // reused between events
};

TraceState& State() {
  static TraceState state;
  return state;
}

}  // namespace

namespace detail {
bool traceOn = false;
}

void TraceStart(const std::string& path) { TraceStart(path, path.empty()); }

void TraceStart(const std::string& path, bool keepInMemory) {
  TraceStop();
  TraceState& s = State();
  s.seq = 0;
  s.events.clear();
  s.keepInMemory = keepInMemory;
  if (!path.empty()) s.file = std::fopen(path.c_str(), "w");
  detail::traceOn = s.file != nullptr || keepInMemory;
}

void TraceStop() {
  TraceState& s = State();
  if (s.file != nullptr) std::fclose(s.file);
  s.file = nullptr;
  detail::traceOn = false;
}

void TraceEmit(const char* call, nlohmann::json fields) {
  TraceState& s = State();
  if (!detail::traceOn) return;
  if (!fields.is_object()) fields = nlohmann::json::object();
  const std::uint64_t seq = s.seq++;
  const std::int64_t t = ClockPeekNs();
  if (s.file != nullptr) {
    // seq, t_ns and call lead each line; the event's own fields follow.
    s.line = "{\"seq\":" + std::to_string(seq) + ",\"t_ns\":" + std::to_string(t) +
             ",\"call\":" + nlohmann::json(call).dump();
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      if (it.key() == "seq" || it.key() == "t_ns" || it.key() == "call") continue;
      s.line += ',';
      s.line += nlohmann::json(it.key()).dump();
      s.line += ':';
      s.line += it.value().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    s.line += "}\n";
    std::fputs(s.line.c_str(), s.file);
    std::fflush(s.file);
  }
  if (s.keepInMemory) {
    fields["seq"] = seq;
    fields["t_ns"] = t;
    fields["call"] = call;
    s.events.push_back(std::move(fields));
  }
}

const std::vector<nlohmann::json>& TraceEvents() { return State().events; }

std::string TraceHex(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace sim
