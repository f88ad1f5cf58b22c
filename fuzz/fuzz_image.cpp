// The static image through a whole run of the program on the simulated
// machine: the input chooses the display mode's size and the surface format,
// and its tail is the image file. The run is judged by its exit code, its
// messages, the machine's validation errors and the pixels both surfaces hold.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/run.h"
#include "driver/binding.h"
#include "driver/entries.h"
#include "fuzz/fuzz_check.h"
#include "sim/d3d12/sim_gpu.h"
#include "sim/driver/driver_state.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace {

// Small surfaces keep a run cheap; the file can then cover them.
constexpr std::uint32_t kMaxSide = 40;

// Formats whose surfaces the machine makes, and what the views use.
struct KnownFormat {
  std::uint32_t surface;
  std::uint32_t typed;
};
constexpr KnownFormat kKnown[] = {{87, 87}, {88, 88}, {28, 28}, {90, 87}, {92, 88},
                                  {27, 28}, {24, 24}, {23, 24}, {10, 10}, {9, 10}};

bool TakesImage(std::uint32_t typed) { return typed == 87 || typed == 88 || typed == 28; }

std::string ReadAll(int fd) {
  const off_t size = lseek(fd, 0, SEEK_END);
  std::string text(static_cast<std::size_t>(size), '\0');
  FUZZ_CHECK(pread(fd, text.data(), text.size(), 0) == size);
  return text;
}

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// The program's two streams, kept in files for the length of one run.
class Streams {
 public:
  Streams() {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = dup(STDOUT_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    out_ = Temp();
    err_ = Temp();
    dup2(out_, STDOUT_FILENO);
    dup2(err_, STDERR_FILENO);
  }
  ~Streams() {
    Restore();
    close(out_);
    close(err_);
  }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  void Restore() {
    if (savedOut_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, STDOUT_FILENO);
    dup2(savedErr_, STDERR_FILENO);
    close(savedOut_);
    close(savedErr_);
    savedOut_ = savedErr_ = -1;
  }
  std::string Out() const { return ReadAll(out_); }
  std::string Err() const { return ReadAll(err_); }

 private:
  static int Temp() {
    char name[] = "/tmp/fuzz_image_stream.XXXXXX";
    const int fd = mkstemp(name);
    FUZZ_CHECK(fd >= 0);
    if (std::getenv("FUZZ_KEEP") == nullptr) unlink(name);
    return fd;
  }
  int savedOut_ = -1;
  int savedErr_ = -1;
  int out_ = -1;
  int err_ = -1;
};

std::string ImagePath() { return "/tmp/fuzz_image." + std::to_string(getpid()) + ".raw"; }

// The image file lives for one input.
struct RemoveOnExit {
  std::string path;
  ~RemoveOnExit() { unlink(path.c_str()); }
};

void CheckSurfaces(const std::vector<std::uint8_t>& file, std::uint32_t width, std::uint32_t height,
                   bool swizzled) {
  const sim::driver::DriverState& driver = sim::driver::State();
  FUZZ_CHECK(driver.surfaces.size() == 2);
  for (const sim::driver::SurfaceState& surface : driver.surfaces) {
    sim::gpu::SurfaceView view;
    FUZZ_CHECK(sim::gpu::LookUpSurface(surface.shared, &view));
    FUZZ_CHECK(view.width == width && view.height == height);
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t* in = &file[(std::size_t{y} * width + x) * 4];
        const std::uint8_t* px = view.pixels + std::size_t{y} * view.rowPitch + std::size_t{x} * 4;
        FUZZ_CHECK(px[0] == (swizzled ? in[2] : in[0]));
        FUZZ_CHECK(px[1] == in[1]);
        FUZZ_CHECK(px[2] == (swizzled ? in[0] : in[2]));
        FUZZ_CHECK(px[3] == in[3]);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto width = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaxSide);
  const auto height = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaxSide);
  const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKnown));
  const bool known = pick < std::size(kKnown);
  const std::uint32_t surfaceFormat =
      known ? kKnown[pick].surface : in.ConsumeIntegralInRange<std::uint32_t>(0, 200);
  const bool missingFile = in.ConsumeIntegralInRange(0, 15) == 0;
  const std::vector<std::uint8_t> file = in.ConsumeRemainingBytes<std::uint8_t>();

  std::uint32_t typed = surfaceFormat;
  for (const KnownFormat& k : kKnown) {
    if (k.surface == surfaceFormat) typed = k.typed;
  }

  sim::Scenario scenario = sim::DefaultScenario();
  sim::DisplaySpec& display = scenario.driver.displays.at(0);
  display.surfaceFormat = surfaceFormat;
  sim::ModeSpec mode;
  mode.width = width;
  mode.height = height;
  mode.refreshNumerator = 75;  // no refresh penalty: the one mode is always usable
  mode.refreshDenominator = 1;
  mode.format = surfaceFormat;
  display.modes = {mode};
  // The display's surfaces would go with its release; a refused release keeps
  // them to be looked at after the run (the program ignores that status).
  scenario.driver.statuses["ReleaseDirectModeDisplay"] = sim::ForcedStatus{-1, {}};

  const std::string path = ImagePath();
  const RemoveOnExit removal{path};
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(file.empty() || std::fwrite(file.data(), 1, file.size(), f) == file.size());
  FUZZ_CHECK(std::fclose(f) == 0);
  const std::string given = missingFile ? path + ".missing" : path;

  sim::MachineOptions options;
  options.time = sim::TimeMode::Virtual;
  options.traceInMemory = true;  // for the held accounting at the end
  sim::MachineInstall(scenario, options);
  // A fresh process would find the driver unbound; so must this run.
  driverBinding = {nullptr, nullptr, nullptr, nullptr};
  ClearDriverEntryCache();

  int code = 0;
  std::string out;
  std::string err;
  {
    Streams streams;
    // The path as the second argument makes the duration 0: no frame is drawn.
    code = sim::MachineRun(&DmcheckMain, {"dmcheck", "--image", given, "--no-force-dsc"});
    streams.Restore();
    out = streams.Out();
    err = streams.Err();
  }

  // For reproducing a finding: FUZZ_VERBOSE=1 shows what the run printed.
  if (std::getenv("FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "exit %d\n--- stdout\n%s--- stderr\n%s---\n", code, out.c_str(),
                 err.c_str());
    for (const nlohmann::json& e : sim::TraceEvents()) {
      if (e.value("call", "") == "held") std::fprintf(stderr, "held: %s\n", e.dump().c_str());
    }
  }
  for (const std::string& v : sim::ValidationErrors()) {
    std::fprintf(stderr, "validation: %s\n", v.c_str());
  }
  FUZZ_CHECK(sim::ValidationErrors().empty());
  // Every path walks the release chain: no interface and no LocalAlloc block
  // may be left (the display, events and shared handles may, by design).
  for (const nlohmann::json& e : sim::TraceEvents()) {
    if (e.value("call", "") != "held") continue;
    const std::string kind = e.value("kind", "");
    if (kind == "interface" || kind == "localAlloc") {
      std::fprintf(stderr, "held: %s\n", e.dump().c_str());
      FUZZ_CHECK(false);
    }
  }

  if (code == 3) {
    // Only the machine's refusal of the surface may stop the run before the
    // image: a size or format that it cannot make.
    FUZZ_CHECK(width == 0 || height == 0 || !known);
    FUZZ_CHECK(Has(err, "CreateSurface[0] = "));
    FUZZ_CHECK(!Has(out, "static image"));
    return 0;
  }
  if (!TakesImage(typed)) {
    FUZZ_CHECK(code == 10);
    FUZZ_CHECK(
        Has(err, "FATAL: --image only supports 8-bit BGRX/BGRA/RGBA surfaces, got rtv format " +
                     std::to_string(typed) + "\n"));
    FUZZ_CHECK(!Has(err, "cannot open"));
    return 0;
  }
  if (missingFile) {
    FUZZ_CHECK(code == 10);
    FUZZ_CHECK(Has(err, "FATAL: cannot open " + given + "\n"));
    return 0;
  }
  const std::size_t wanted = std::size_t{width} * height * 4;
  if (file.size() < wanted) {
    FUZZ_CHECK(code == 10);
    char line[512];
    std::snprintf(line, sizeof line, "FATAL: %s is %zu bytes, mode wants %zu (%ux%u*4)\n",
                  given.c_str(), file.size(), wanted, width, height);
    FUZZ_CHECK(Has(err, line));
    FUZZ_CHECK(!Has(out, "static image"));
    return 0;
  }
  FUZZ_CHECK(code == 0);
  FUZZ_CHECK(Has(out, "static image " + given + " loaded into 2 surfaces\n"));
  FUZZ_CHECK(Has(out, "image swizzled BGRX -> RGBA for surface format\n") == (typed == 28));
  FUZZ_CHECK(Has(out, "VERDICT: "));
  CheckSurfaces(file, width, height, typed == 28);
  return 0;
}
