// Builds a simulated machine for an in-process test of the program's code and
// reads back what the platform recorded.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace fixture {

// Installs the scenario (JSON text, "{}" for the default machine) with
// virtual time and an in-memory trace.
inline void Install(const std::string& json) {
  sim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(sim::ParseScenario(json, &scenario, &error)) << error;
  sim::MachineOptions options;
  options.time = sim::TimeMode::Virtual;
  options.traceInMemory = true;
  sim::MachineInstall(scenario, options);
}

// The trace events of one call, in order.
inline std::vector<nlohmann::json> Events(const std::string& call) {
  std::vector<nlohmann::json> out;
  for (const nlohmann::json& e : sim::TraceEvents()) {
    if (e.value("call", "") == call) out.push_back(e);
  }
  return out;
}

// The names passed to LoadLibraryExW, with their flags.
struct Load {
  std::string name;
  unsigned flags;
  bool operator==(const Load&) const = default;
};
inline void PrintTo(const Load& l, std::ostream* os) {
  *os << l.name << "/0x" << std::hex << l.flags;
}

inline std::vector<Load> Loads() {
  std::vector<Load> out;
  for (const nlohmann::json& e : Events("LoadLibraryExW")) {
    out.push_back({e["name"].get<std::string>(), e["flags"].get<unsigned>()});
  }
  return out;
}

}  // namespace fixture
