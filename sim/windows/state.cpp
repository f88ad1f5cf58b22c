// The simulated Windows as a whole: its reset, its end-of-run accounting, the
// forced failures of the scenario and the thread's last error.
#include <map>

#include "platform/platform.h"
#include "sim/scenario.h"
#include "sim/windows/sim_windows_state.h"
#include "sim/windows/windows_internal.h"

namespace sim::windows {
namespace {

std::map<std::string, std::uint64_t>& CallCounts() {
  static std::map<std::string, std::uint64_t> counts;
  return counts;
}

thread_local DWORD t_lastError = 0;

}  // namespace

bool ForcedFailure(const std::string& function) {
  const std::uint64_t call = ++CallCounts()[function];
  for (const WindowsFailure& failure : CurrentScenario().windows.failures) {
    if (failure.function == function && failure.window.Covers(call)) return true;
  }
  return false;
}

void ReportHeld() {
  RegistryReportHeld();
  MemoryReportHeld();
}

void Reset() {
  CallCounts().clear();
  t_lastError = 0;
  LoaderReset();
  MemoryReset();
  RegistryReset();
}

}  // namespace sim::windows

void SetLastError(DWORD dwErrCode) { sim::windows::t_lastError = dwErrCode; }

DWORD GetLastError() { return sim::windows::t_lastError; }
