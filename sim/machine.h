// The simulated machine as a whole, and the in-process API that dmsim and the
// tests use: build a machine from a scenario, run the program's entry on it,
// read what it recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/scenario.h"

namespace sim {

struct MachineOptions {
  TimeMode time = TimeMode::Real;
  std::string tracePath;        // empty: no trace file
  bool traceInMemory = false;   // keep events for TraceEvents()
  std::string captureDir;       // empty: no capture
  std::vector<std::uint64_t> captureFrames = {0, 1};
};

using ProgramEntry = int (*)(int argc, char** argv);

// Builds a fresh machine: every simulated component forgets its state.
void MachineInstall(const Scenario& scenario, const MachineOptions& options);
const MachineOptions& CurrentMachineOptions();

// Runs entry with args (args[0] is the program name) and returns its exit
// code. Then accounts for what the program still holds (held events).
int MachineRun(ProgramEntry entry, const std::vector<std::string>& args);

// Validation errors recorded by the platform, in order.
void RecordValidation(const std::string& message);
const std::vector<std::string>& ValidationErrors();

// Emits the held events of every component (called by MachineRun at exit).
void MachineReportHeld();

}  // namespace sim
