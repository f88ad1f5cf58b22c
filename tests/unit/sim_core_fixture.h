// Shared set-up for the tests of the machine's core and its Windows: a
// virtual-time machine built from scenario text, with the trace in memory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace simtest {

// Builds the machine from scenario text (empty: the default machine).
inline void Install(const std::string& scenarioText = "",
                    sim::TimeMode time = sim::TimeMode::Virtual) {
  sim::Scenario scenario = sim::DefaultScenario();
  if (!scenarioText.empty()) {
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(scenarioText, &scenario, &error)) << error;
  }
  sim::MachineOptions options;
  options.time = time;
  options.traceInMemory = true;
  sim::MachineInstall(scenario, options);
}

// The events of one call, in order.
inline std::vector<nlohmann::json> EventsOf(const std::string& call) {
  std::vector<nlohmann::json> events;
  for (const nlohmann::json& event : sim::TraceEvents()) {
    if (event.value("call", "") == call) events.push_back(event);
  }
  return events;
}

inline std::u16string Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace simtest
