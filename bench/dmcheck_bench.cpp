// dmcheck's performance figures on the simulated machine: driver dispatch
// through the program's entry cache, the present loop's pass, its heap
// allocations, a full-size virtual run against the memory bandwidth bound, and
// real-time pacing accuracy. Google Benchmark measures the per-call figures;
// whole runs are timed by hand and summed up in the table at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "bench/alloc_count.h"
#include "driver/binding.h"
#include "driver/entries.h"
#include "sim/driver/sim_driver.h"
#include "sim/machine.h"
#include "sim/scenario.h"

namespace {

// ---- helpers ----

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

sim::Scenario ScenarioFrom(const std::string& json) {
  sim::Scenario s;
  std::string error;
  if (!sim::ParseScenario(json, &s, &error)) {
    std::fprintf(stderr, "bench: bad scenario: %s\n", error.c_str());
    std::exit(1);
  }
  return s;
}

struct RunResult {
  int exitCode = -1;
  std::uint64_t frames = 0;
  double fps = 0;
  std::uint64_t presentErrors = 0;
  double wall = 0;  // seconds, the program's run only
  double cpu = 0;
  std::uint64_t allocations = 0;
  std::string verdict;
};

// One run of the program on a fresh machine, with the trace off. Standard
// output goes to a file so that the result line can be read back.
RunResult RunProgram(const sim::Scenario& scenario, sim::TimeMode mode,
                     const std::vector<std::string>& args) {
  sim::MachineOptions options;
  options.time = mode;
  sim::MachineInstall(scenario, options);
  // The program's binding is process-wide; this machine's driver starts
  // uninitialised, so the run must load and bind it afresh.
  driverBinding = {nullptr, nullptr, nullptr, nullptr};

  char path[] = "/tmp/dmcheck-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    std::perror("bench: mkstemp");
    std::exit(1);
  }
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);

  RunResult r;
  const std::uint64_t allocs0 = bench::AllocationCount();
  const double wall0 = WallSeconds();
  const double cpu0 = CpuSeconds();
  r.exitCode = sim::MachineRun(&DmcheckMain, args);
  r.cpu = CpuSeconds() - cpu0;
  r.wall = WallSeconds() - wall0;
  r.allocations = bench::AllocationCount() - allocs0;

  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::string line;
  std::string all;
  bool seen = false;
  while (std::getline(in, line)) {
    all += line + "\n";
    unsigned long long frames = 0, errors = 0, timeouts = 0;
    double seconds = 0, fps = 0;
    if (std::sscanf(line.c_str(),
                    "PRESENT RESULT: %llu frames in %lfs = %lf fps avg, presentErrors %llu, "
                    "waitTimeouts %llu",
                    &frames, &seconds, &fps, &errors, &timeouts) == 5) {
      r.frames = frames;
      r.fps = fps;
      r.presentErrors = errors;
      seen = true;
    }
    if (line.rfind("VERDICT: ", 0) == 0) r.verdict = line.substr(9);
  }
  std::remove(path);
  if (r.exitCode != 0 || !seen || r.frames == 0) {
    std::fprintf(stderr, "bench: the run did not complete (exit %d):\n%s", r.exitCode, all.c_str());
    std::exit(1);
  }
  return r;
}

// value with the given number of decimals.
std::string Format(int decimals, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Figures for the summary, in the order they were measured.
struct Row {
  std::string name;
  std::string value;
  std::string target;
  std::string verdict;  // "ok", "MISSED" or empty (no target)
};
std::vector<Row>& Rows() {
  static std::vector<Row> rows;
  return rows;
}
void AddRow(std::string name, std::string value, std::string target = {}, int ok = -1) {
  Rows().push_back({std::move(name), std::move(value), std::move(target),
                    ok < 0 ? std::string() : (ok != 0 ? "ok" : "MISSED")});
}

// ---- 1. driver dispatch ----

constexpr std::uint32_t kVendor = 9993;

void InstallDriver(sim::DriverScenario::Hooks hooks) {
  sim::Scenario s = sim::DefaultScenario();
  s.driver.hooks = hooks;
  sim::MachineOptions options;
  options.time = sim::TimeMode::Virtual;
  sim::MachineInstall(s, options);
  // The program's state is process-wide: binding again clears the cache.
  driverBinding = {nullptr, nullptr, nullptr, nullptr};
  if (NvAPI_Initialize() != kDriverOk) {
    std::fprintf(stderr, "bench: the driver did not initialise\n");
    std::exit(1);
  }
}

void CachedDispatch(benchmark::State& state, sim::DriverScenario::Hooks hooks) {
  InstallDriver(hooks);
  (void)EnableDirectMode(kVendor, 0);  // the first call resolves the entry
  for (auto _ : state) {
    benchmark::DoNotOptimize(EnableDirectMode(kVendor, 0));
  }
}

void PlainDispatch(benchmark::State& state, sim::DriverScenario::Hooks hooks) {
  InstallDriver(hooks);
  using QueryFn = void* (*)(std::uint32_t);
  using EnableFn = DriverStatus (*)(std::uint32_t, std::uint32_t);
  auto query =
      reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(sim::driver::QueryInterfaceExport()));
  auto enable = reinterpret_cast<EnableFn>(query(driver_ids::kEnableDirectMode));
  for (auto _ : state) {
    benchmark::DoNotOptimize(enable);
    benchmark::DoNotOptimize(enable(kVendor, 0));
  }
}

// The same calls the cache makes with both hooks bound, through plain
// pointers: what the cache itself adds shows against this.
void PlainDispatchWithHooks(benchmark::State& state) {
  InstallDriver(sim::DriverScenario::Hooks::Both);
  using QueryFn = void* (*)(std::uint32_t);
  using EnableFn = DriverStatus (*)(std::uint32_t, std::uint32_t);
  auto query =
      reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(sim::driver::QueryInterfaceExport()));
  auto enable = reinterpret_cast<EnableFn>(query(driver_ids::kEnableDirectMode));
  auto enter = reinterpret_cast<EnterHookFn>(query(driver_ids::kEnterHook));
  auto leave = reinterpret_cast<LeaveHookFn>(query(driver_ids::kLeaveHook));
  for (auto _ : state) {
    benchmark::DoNotOptimize(enable);
    std::uint64_t context = 0;
    enter(driver_ids::kEnableDirectMode, &context);
    const DriverStatus status = enable(kVendor, 0);
    leave(driver_ids::kEnableDirectMode, context, status);
    benchmark::DoNotOptimize(status);
  }
}

BENCHMARK_CAPTURE(PlainDispatch, hooks_none, sim::DriverScenario::Hooks::None);
BENCHMARK_CAPTURE(CachedDispatch, hooks_none, sim::DriverScenario::Hooks::None);
BENCHMARK_CAPTURE(PlainDispatch, hooks_both, sim::DriverScenario::Hooks::Both);
BENCHMARK_CAPTURE(CachedDispatch, hooks_both, sim::DriverScenario::Hooks::Both);
BENCHMARK(PlainDispatchWithHooks);

// Keeps the CPU time per iteration of each benchmark for the summary: the
// median of the repetitions when there are several, as load from other work
// on the machine only ever adds time.
class Collector : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal.
  Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration && medians.count(name) == 0) {
        cpuNs[name] = run.GetAdjustedCPUTime();
      } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        cpuNs[name] = run.GetAdjustedCPUTime();
        medians[name] = true;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpuNs;

 private:
  std::map<std::string, bool> medians;
};

void SummariseDispatch(const Collector& c) {
  for (const char* hooks : {"hooks_none", "hooks_both"}) {
    auto plain = c.cpuNs.find(std::string("PlainDispatch/") + hooks);
    auto cached = c.cpuNs.find(std::string("CachedDispatch/") + hooks);
    if (plain == c.cpuNs.end() || cached == c.cpuNs.end()) continue;
    const double ratio = cached->second / plain->second;
    AddRow(std::string("dispatch, ") + hooks + ": plain pointer, ns/call",
           Format(2, plain->second));
    AddRow(std::string("dispatch, ") + hooks + ": entry cache, ns/call", Format(2, cached->second));
    // With hooks bound the cached call also runs both hooks; the fair plain
    // call is the one with the hooks too (below), so this ratio has no target.
    const bool fair = std::string(hooks) == "hooks_none";
    AddRow(std::string("dispatch, ") + hooks +
               (fair ? ": cache / plain" : ": cache / plain entry alone"),
           Format(2, ratio) + "x", fair ? "<= 1.5x" : "", fair ? (ratio <= 1.5 ? 1 : 0) : -1);
  }
  auto withHooks = c.cpuNs.find("PlainDispatchWithHooks");
  auto cached = c.cpuNs.find("CachedDispatch/hooks_both");
  if (withHooks != c.cpuNs.end() && cached != c.cpuNs.end()) {
    const double ratio = cached->second / withHooks->second;
    AddRow("dispatch, hooks_both: plain pointers to entry and hooks, ns/call",
           Format(2, withHooks->second));
    AddRow("dispatch, hooks_both: cache / plain with hooks", Format(2, ratio) + "x", "<= 1.5x",
           ratio <= 1.5 ? 1 : 0);
  }
}

// ---- 2, 3. the present loop's pass ----

// A small surface with immediate pacing: a pass costs only its own work.
const char* const kSmallImageScenario = R"({"driver": {"refreshPacing": "immediate",
  "displays": [{"displayId": "0x80061001", "surfaceFormat": 92,
  "modes": [{"width": 66, "height": 4, "refresh": [90, 1], "format": 22}]}]}})";
const char* const kSmallPatternScenario = R"({"driver": {"refreshPacing": "immediate",
  "displays": [{"displayId": "0x80061001", "surfaceFormat": 92,
  "modes": [{"width": 256, "height": 16, "refresh": [90, 1], "format": 22}]}]}})";

struct PassFigures {
  double nsPerPass = 0;
  double allocationsPerPass = 0;
  std::uint64_t frames = 0;
};

// Two runs of different virtual durations: their difference is the passes
// alone, the setup and teardown cancel out. The best of a few pairs, as other
// work on the machine only ever adds time.
PassFigures MeasurePasses(const sim::Scenario& scenario, const std::vector<std::string>& extra) {
  auto args = [&](const char* duration) {
    std::vector<std::string> a = {"dmcheck", "--no-force-dsc", duration, "--mode", "0"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  RunProgram(scenario, sim::TimeMode::Virtual, args("0.1"));  // one-time process setup
  PassFigures best;
  best.nsPerPass = 1e300;
  for (int i = 0; i < 5; ++i) {
    const RunResult shortRun = RunProgram(scenario, sim::TimeMode::Virtual, args("1"));
    const RunResult longRun = RunProgram(scenario, sim::TimeMode::Virtual, args("11"));
    const double passes = static_cast<double>(longRun.frames - shortRun.frames);
    const double ns = (longRun.cpu - shortRun.cpu) * 1e9 / passes;
    const double allocs =
        (static_cast<double>(longRun.allocations) - static_cast<double>(shortRun.allocations)) /
        passes;
    if (ns < best.nsPerPass) {
      best.nsPerPass = ns;
      best.frames = longRun.frames - shortRun.frames;
    }
    best.allocationsPerPass = std::max(best.allocationsPerPass, allocs);
  }
  return best;
}

void MeasureLoop() {
  const std::string image = std::string(SOURCE_ROOT) + "/tests/system/fixtures/pattern-66x4.raw";
  const PassFigures still = MeasurePasses(ScenarioFrom(kSmallImageScenario), {"--image", image});
  AddRow("pass, static image, 66x4, ns/pass (CPU)", Format(0, still.nsPerPass));
  AddRow("pass, static image, heap allocations/pass", Format(4, still.allocationsPerPass), "0",
         still.allocationsPerPass == 0 ? 1 : 0);
  const PassFigures drawn = MeasurePasses(ScenarioFrom(kSmallPatternScenario), {});
  AddRow("pass, test pattern, 256x16, ns/pass (CPU)", Format(0, drawn.nsPerPass));
  AddRow("pass, test pattern, heap allocations/pass", Format(4, drawn.allocationsPerPass), "0",
         drawn.allocationsPerPass == 0 ? 1 : 0);
}

// ---- 4. a full-size virtual run against the bandwidth bound ----

// Bytes per second that memset writes into two buffers of the surface's size
// in turn, the working set of the run's two surfaces.
double MemsetBandwidth(std::size_t bytes) {
  std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(bytes, 1),
                                          std::vector<std::uint8_t>(bytes, 1)};
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const int count = 40;
    const double t0 = CpuSeconds();
    for (int i = 0; i < count; ++i) {
      std::memset(buffers[i & 1].data(), i & 0xFF, bytes);
      benchmark::ClobberMemory();
    }
    best = std::min(best, (CpuSeconds() - t0) / count);
  }
  benchmark::DoNotOptimize(buffers[0].data());
  benchmark::DoNotOptimize(buffers[1].data());
  return static_cast<double>(bytes) / best;
}

void MeasureFullRun() {
  constexpr std::uint64_t kWidth = 2160, kHeight = 1200, kBytesPerPixel = 4;
  const RunResult run = RunProgram(sim::DefaultScenario(), sim::TimeMode::Virtual,
                                   {"dmcheck", "--force-dsc", "15", "--mode", "0"});
  // The two halves cover the surface once; the two bars add 2 x 64 x H.
  const double bytesPerFrame =
      static_cast<double>((kWidth * kHeight + 2 * 64 * kHeight) * kBytesPerPixel);
  const double bandwidth = MemsetBandwidth(kWidth * kHeight * kBytesPerPixel);
  const double bound = bytesPerFrame * static_cast<double>(run.frames) / bandwidth;
  AddRow("15 s virtual run, 90 Hz, 2160x1200: frames", Format(0, double(run.frames)), "1350",
         run.frames == 1350 ? 1 : 0);
  AddRow("15 s virtual run: wall s", Format(3, run.wall));
  AddRow("15 s virtual run: CPU s", Format(3, run.cpu));
  AddRow("memset bandwidth, GB/s", Format(2, bandwidth / 1e9));
  AddRow("memset bound for the run's clears, s", Format(3, bound));
  AddRow("15 s virtual run: CPU / bound", Format(2, run.cpu / bound) + "x", "<= 3x",
         run.cpu <= 3 * bound ? 1 : 0);
  AddRow("15 s virtual run: wall / bound", Format(2, run.wall / bound) + "x");
}

// ---- 5. real-time pacing ----

void MeasureRealTime() {
  const RunResult run = RunProgram(sim::DefaultScenario(), sim::TimeMode::Real,
                                   {"dmcheck", "--force-dsc", "10", "--mode", "0"});
  const double error = std::fabs(run.fps - 90.0) / 90.0;
  AddRow("10 s real-time run, 90 Hz: fps", Format(2, run.fps));
  AddRow("10 s real-time run: |fps - 90| / 90", Format(3, error * 100) + " %", "<= 0.5 %",
         error <= 0.005 ? 1 : 0);
}

void PrintRows() {
  std::size_t w0 = 6, w1 = 5, w2 = 6;
  for (const Row& r : Rows()) {
    w0 = std::max(w0, r.name.size());
    w1 = std::max(w1, r.value.size());
    w2 = std::max(w2, r.target.size());
  }
  std::printf("\n%-*s  %*s  %-*s  %s\n", int(w0), "figure", int(w1), "value", int(w2), "target",
              "");
  for (const Row& r : Rows()) {
    std::printf("%-*s  %*s  %-*s  %s\n", int(w0), r.name.c_str(), int(w1), r.value.c_str(), int(w2),
                r.target.c_str(), r.verdict.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The counter must see operator new, or the allocation figures mean nothing.
  const std::uint64_t before = bench::AllocationCount();
  void* probe = ::operator new(16);
  benchmark::DoNotOptimize(probe);
  ::operator delete(probe);
  if (bench::AllocationCount() == before) {
    std::fprintf(stderr, "bench: the allocation counter does not see operator new\n");
    return 1;
  }
  bool realTime = true;
  bool runs = true;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-real-time") == 0) {
      realTime = false;
    } else if (std::strcmp(argv[i], "--dispatch-only") == 0) {
      runs = false;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  SummariseDispatch(collector);
  if (runs) {
    MeasureLoop();
    MeasureFullRun();
    if (realTime) MeasureRealTime();
  }
  PrintRows();
  return 0;
}
