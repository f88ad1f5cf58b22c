// The machine's clock. Virtual time is a plain counter that the simulation
// moves; real time is the host's monotonic clock.
#include "sim/clock.h"

#include <cerrno>
#include <ctime>

#include "platform/platform.h"

namespace sim {
namespace {

constexpr std::int64_t kVirtualStartNs = 1'000'000'000;
constexpr std::int64_t kProgramReadStepNs = 1'000;

TimeMode g_mode = TimeMode::Real;
std::int64_t g_virtualNs = kVirtualStartNs;

std::int64_t HostNowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

void ClockReset(TimeMode mode) {
  g_mode = mode;
  g_virtualNs = kVirtualStartNs;
}

TimeMode ClockMode() { return g_mode; }

std::int64_t ClockPeekNs() { return g_mode == TimeMode::Virtual ? g_virtualNs : HostNowNs(); }

std::int64_t ClockProgramReadNs() {
  if (g_mode == TimeMode::Real) return HostNowNs();
  const std::int64_t now = g_virtualNs;
  g_virtualNs += kProgramReadStepNs;
  return now;
}

void ClockAdvanceTo(std::int64_t tNs) {
  if (g_mode == TimeMode::Virtual) {
    if (tNs > g_virtualNs) g_virtualNs = tNs;
    return;
  }
  timespec until{};
  until.tv_sec = static_cast<time_t>(tNs / 1'000'000'000);
  until.tv_nsec = static_cast<long>(tNs % 1'000'000'000);
  if (tNs <= 0) return;
  // An absolute deadline: interruptions restart the same wait, not a longer one.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace sim

std::int64_t MonotonicNowNs() { return sim::ClockProgramReadNs(); }
