// dmsim: builds the simulated machine from a scenario and runs dmcheck on it,
// in this process. It prints nothing of its own unless an option asks for it
// or its own input is bad; its exit code is the program's.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "sim/machine.h"
#include "sim/scenario.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitValidation = 70;

const char kUsage[] =
    "usage: dmsim [--scenario FILE] [--virtual-time | --real-time] [--trace FILE]\n"
    "             [--capture DIR] [--capture-frames LIST] [--strict]\n"
    "             [--print-scenario] [--help] [--] [PROGRAM ARGS...]\n"
    "\n"
    "Runs dmcheck on a simulated machine (Windows, GPU driver, Direct3D 12).\n"
    "\n"
    "  --scenario FILE       the machine, as JSON (// comments allowed);\n"
    "                        default: the built-in scenario\n"
    "  --virtual-time        the clock moves only with the simulation: deterministic\n"
    "  --real-time           the host's clock; waits really wait (default)\n"
    "  --trace FILE          write every platform call as JSON Lines\n"
    "  --capture DIR         write the listed presented frames as DIR/frame-N.png\n"
    "  --capture-frames LIST comma-separated present numbers from 0 (default: 0,1)\n"
    "  --strict              exit 70 if the platform recorded a validation error,\n"
    "                        printing each on standard error\n"
    "  --print-scenario      print the effective scenario as JSON and exit\n"
    "  --help                print this text and exit\n"
    "  --                    everything after it goes to the program\n"
    "\n"
    "The first argument that is not a dmsim option starts the program's arguments.\n";

struct Invocation {
  std::string scenarioFile;
  sim::MachineOptions options;
  bool strict = false;
  bool printScenario = false;
  bool help = false;
  std::vector<std::string> programArgs;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "dmsim: %s\n", message.c_str());
  return kExitUsage;
}

bool ParseFrameList(const std::string& text, std::vector<std::uint64_t>* frames) {
  frames->clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty() || item.size() > 19 ||
        item.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    frames->push_back(std::stoull(item));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// Returns -1 to go on, or the exit code when the command line is refused.
int ParseCommandLine(int argc, char** argv, Invocation* out) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.rfind("--", 0) != 0) break;
    std::string value;
    bool hasValue = false;
    const std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      hasValue = true;
    }
    const bool takesValue =
        arg == "--scenario" || arg == "--trace" || arg == "--capture" || arg == "--capture-frames";
    if (takesValue && !hasValue) {
      if (i + 1 >= argc) return Fail(arg + " needs a value");
      value = argv[++i];
    } else if (!takesValue && hasValue) {
      if (arg == "--virtual-time" || arg == "--real-time" || arg == "--strict" ||
          arg == "--print-scenario" || arg == "--help") {
        return Fail(arg + " takes no value");
      }
    }
    if (arg == "--scenario") {
      out->scenarioFile = value;
    } else if (arg == "--trace") {
      out->options.tracePath = value;
    } else if (arg == "--capture") {
      out->options.captureDir = value;
    } else if (arg == "--capture-frames") {
      if (!ParseFrameList(value, &out->options.captureFrames)) {
        return Fail("--capture-frames: expected present numbers separated by commas, got \"" +
                    value + "\"");
      }
    } else if (arg == "--virtual-time") {
      out->options.time = sim::TimeMode::Virtual;
    } else if (arg == "--real-time") {
      out->options.time = sim::TimeMode::Real;
    } else if (arg == "--strict") {
      out->strict = true;
    } else if (arg == "--print-scenario") {
      out->printScenario = true;
    } else if (arg == "--help") {
      // Help wins over whatever else the command line holds.
      out->help = true;
      return -1;
    } else {
      return Fail("unknown option " + arg + " (dmsim --help lists them)");
    }
  }
  out->programArgs.push_back("dmcheck");
  for (; i < argc; ++i) out->programArgs.push_back(argv[i]);
  return -1;
}

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  *text = buffer.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Invocation invocation;
  const int refused = ParseCommandLine(argc, argv, &invocation);
  if (refused >= 0) return refused;
  if (invocation.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  sim::Scenario scenario = sim::DefaultScenario();
  if (!invocation.scenarioFile.empty()) {
    std::string text;
    std::string error;
    if (!ReadFile(invocation.scenarioFile, &text, &error)) {
      return Fail(invocation.scenarioFile + ": cannot read: " + error);
    }
    if (!sim::ParseScenario(text, &scenario, &error)) {
      return Fail(invocation.scenarioFile + ": " + error);
    }
  }
  if (invocation.printScenario) {
    std::fputs((sim::ScenarioToJson(scenario) + "\n").c_str(), stdout);
    return 0;
  }

  const sim::MachineOptions& options = invocation.options;
  if (!options.tracePath.empty()) {
    std::FILE* probe = std::fopen(options.tracePath.c_str(), "w");
    if (probe == nullptr) {
      return Fail(options.tracePath + ": cannot write the trace: " + std::strerror(errno));
    }
    std::fclose(probe);
  }
  if (!options.captureDir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(options.captureDir, error);
    if (error || !std::filesystem::is_directory(options.captureDir)) {
      return Fail(options.captureDir + ": cannot create the capture directory" +
                  (error ? ": " + error.message() : std::string()));
    }
  }

  sim::MachineInstall(scenario, options);
  const int code = sim::MachineRun(&DmcheckMain, invocation.programArgs);
  std::fflush(stdout);
  if (invocation.strict && !sim::ValidationErrors().empty()) {
    for (const std::string& message : sim::ValidationErrors()) {
      std::fprintf(stderr, "dmsim: validation: %s\n", message.c_str());
    }
    return kExitValidation;
  }
  return code;
}
