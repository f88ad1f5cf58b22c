// The machine as a whole: one reset of every component, the program's run,
// and the end-of-run accounting.
#include "sim/machine.h"

#include "sim/d3d12/sim_gpu.h"
#include "sim/driver/sim_driver.h"
#include "sim/kernel.h"
#include "sim/trace.h"
#include "sim/windows/sim_windows_state.h"

namespace sim {
namespace {

MachineOptions& Options() {
  static MachineOptions options;
  return options;
}

std::vector<std::string>& Validations() {
  static std::vector<std::string> validations;
  return validations;
}

}  // namespace

void MachineInstall(const Scenario& scenario, const MachineOptions& options) {
  TraceStop();
  Options() = options;
  SetCurrentScenario(scenario);
  ClockReset(options.time);
  Validations().clear();
  windows::Reset();
  KernelReset();
  gpu::Reset();
  driver::Reset();
  if (!options.tracePath.empty() || options.traceInMemory) {
    TraceStart(options.tracePath, options.traceInMemory);
  }
}

const MachineOptions& CurrentMachineOptions() { return Options(); }

int MachineRun(ProgramEntry entry, const std::vector<std::string>& args) {
  // The program may write into its argument strings, as a C main may.
  std::vector<std::vector<char>> storage;
  storage.reserve(args.size());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) {
    storage.emplace_back(arg.begin(), arg.end());
    storage.back().push_back('\0');
    argv.push_back(storage.back().data());
  }
  argv.push_back(nullptr);
  const int code = entry(static_cast<int>(args.size()), argv.data());
  MachineReportHeld();
  TraceStop();
  return code;
}

void RecordValidation(const std::string& message) {
  Validations().push_back(message);
  if (TraceEnabled()) TraceEmit("validation", {{"message", message}});
}

const std::vector<std::string>& ValidationErrors() { return Validations(); }

void MachineReportHeld() {
  gpu::ReportHeld();
  driver::ReportHeld();
  KernelReportHeld();
  windows::ReportHeld();
}

}  // namespace sim
