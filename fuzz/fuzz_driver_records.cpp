// Display discovery and mode choice against a driver that answers with
// whatever the input says: any status, any count, any record bytes. The driver
// lives in this file and stands behind the program's binding, so every call
// goes through the program's own dispatch. It writes no more records than the
// capacity it is given, as the contract allows; a wrong capacity or a walk past
// the array shows as an ASan report. What the program chose is judged against
// a model of the choice rules, and from the lines it printed.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/check.h"
#include "app/discovery.h"
#include "driver/binding.h"
#include "driver/entries.h"
#include "fuzz/fuzz_check.h"

namespace {

// Large enough to matter, small enough that the arrays stay cheap.
constexpr std::uint32_t kMaxDisplays = 4096;
constexpr std::uint32_t kMaxModes = 256;
constexpr std::size_t kModeBytes = sizeof(DirectModeDisplayMode);

struct CallAnswer {
  DriverStatus status = 0;
  std::uint32_t written = 0;   // records the filling call writes
  std::uint32_t reported = 0;  // the count it leaves behind
};

// What the driver answers, drawn from the input before the run.
struct Script {
  DriverStatus enableStatus = 0;
  DriverStatus countDisplaysStatus = 0;
  std::uint32_t displayCount = 0;
  CallAnswer fillDisplays;
  std::vector<std::uint32_t> displayIds;
  DriverStatus countModesStatus = 0;
  std::uint32_t modeCount = 0;
  CallAnswer fillModes;
  std::vector<std::uint8_t> modeBytes;  // bytes 4..47 of each written record
};

// What the driver saw.
struct Seen {
  int enumerateCalls = 0;
  int modeCalls = 0;
  std::uint32_t modeQueryDisplayId = 0;
};

Script script;
Seen seen;

DriverStatus DrawStatus(FuzzedDataProvider& in) {
  const auto pick = in.ConsumeIntegral<std::uint8_t>();
  if (pick < 200) return 0;
  if (pick < 228) return kDriverHdcpDisabled;
  return in.ConsumeIntegral<std::int32_t>();
}

std::uint32_t DrawCount(FuzzedDataProvider& in, std::uint32_t max) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8)
                          : in.ConsumeIntegralInRange<std::uint32_t>(0, max);
}

// A filling call's answer for an array of capacity records.
CallAnswer DrawFill(FuzzedDataProvider& in, std::uint32_t capacity) {
  CallAnswer a;
  a.status = DrawStatus(in);
  a.written = in.ConsumeIntegralInRange<std::uint32_t>(0, capacity);
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      a.reported = a.written;
      break;
    case 1:  // more than the array holds
      a.reported = capacity + in.ConsumeIntegralInRange<std::uint32_t>(1, 16);
      break;
    case 2:
      a.reported = in.ConsumeIntegral<std::uint32_t>();
      break;
    default:
      a.reported = capacity;
      break;
  }
  return a;
}

// --- the driver ----------------------------------------------------------

DriverStatus DriverEnableDirectMode(std::uint32_t vendor, std::uint32_t flags) {
  FUZZ_CHECK(vendor == VENDOR_ID && flags == 0);
  return script.enableStatus;
}

DriverStatus DriverEnumerate(std::uint32_t vendor, std::uint32_t* count,
                             DirectModeDisplay* displays, std::uint32_t kind) {
  FUZZ_CHECK(vendor == VENDOR_ID && kind == NV_ENUM_DIRECTMODE_DISPLAY_ENABLED);
  FUZZ_CHECK(count != nullptr);
  ++seen.enumerateCalls;
  if (seen.enumerateCalls == 1) {
    FUZZ_CHECK(displays == nullptr && *count == 0);
    *count = script.displayCount;
    return script.countDisplaysStatus;
  }
  FUZZ_CHECK(seen.enumerateCalls == 2);
  FUZZ_CHECK(displays != nullptr && *count == script.displayCount);
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&displays[i]);
    for (std::size_t b = 0; b < sizeof(DirectModeDisplay); ++b) FUZZ_CHECK(bytes[b] == 0);
  }
  for (std::uint32_t i = 0; i < script.fillDisplays.written; ++i) {
    std::memset(&displays[i], 0xA5, sizeof displays[i]);
    displays[i].displayId = script.displayIds[i];
  }
  *count = script.fillDisplays.reported;
  return script.fillDisplays.status;
}

DriverStatus DriverGetModes(DirectModeDisplay* display, std::uint32_t* count,
                            DirectModeDisplayMode* modes, std::uint32_t flags) {
  FUZZ_CHECK(display != nullptr && count != nullptr);
  FUZZ_CHECK(flags == NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED);
  ++seen.modeCalls;
  if (seen.modeCalls == 1) {
    FUZZ_CHECK(modes == nullptr && *count == 0);
    seen.modeQueryDisplayId = display->displayId;
    *count = script.modeCount;
    return script.countModesStatus;
  }
  FUZZ_CHECK(seen.modeCalls == 2);
  FUZZ_CHECK(display->displayId == seen.modeQueryDisplayId);
  FUZZ_CHECK(*count == script.modeCount);
  FUZZ_CHECK(modes != nullptr || *count == 0);
  for (std::uint32_t i = 0; i < *count; ++i) {
    // Each record blank but for its version.
    DirectModeDisplayMode blank = {};
    blank.version = kDisplayModeVersion;
    FUZZ_CHECK(std::memcmp(&modes[i], &blank, kModeBytes) == 0);
  }
  for (std::uint32_t i = 0; i < script.fillModes.written; ++i) {
    std::memcpy(reinterpret_cast<std::uint8_t*>(&modes[i]) + 4, &script.modeBytes[i * 44], 44);
  }
  *count = script.fillModes.reported;
  return script.fillModes.status;
}

void* QueryInterface(std::uint32_t id) {
  switch (id) {
    case driver_ids::kEnableDirectMode:
      return reinterpret_cast<void*>(&DriverEnableDirectMode);
    case driver_ids::kEnumerateDirectModeDisplays:
      return reinterpret_cast<void*>(&DriverEnumerate);
    case driver_ids::kDirectModeGetDisplayModes:
      return reinterpret_cast<void*>(&DriverGetModes);
    default:
      // Discovery calls nothing else.
      FUZZ_CHECK(false);
      return nullptr;
  }
}

// --- the model of the choice -------------------------------------------

double ModelRefresh(const DirectModeDisplayMode& m) {
  if (m.refreshDenominator == 0) return 0.0;
  return static_cast<double>(m.refreshNumerator) / static_cast<double>(m.refreshDenominator);
}

int ModelChoice(const std::vector<DirectModeDisplayMode>& modes, std::uint32_t walked,
                std::int32_t requested) {
  if (requested >= 0 && static_cast<std::uint32_t>(requested) < walked) return requested;
  double best = -1.0;
  int index = -1;
  for (std::uint32_t i = 0; i < walked; ++i) {
    const DirectModeDisplayMode& m = modes[i];
    double score = static_cast<double>(m.height) * static_cast<double>(m.width) -
                   std::fabs(ModelRefresh(m) - 75.0) * 10000.0;
    if (m.format == 22) score += 1.0;
    if (score > best) {
      best = score;
      index = static_cast<int>(i);
    }
  }
  return index;
}

// --- the program's two streams, kept in files ----------------------------

int NewStreamFile() {
  char name[] = "/tmp/fuzz_driver_records.XXXXXX";
  const int fd = mkstemp(name);
  FUZZ_CHECK(fd >= 0);
  unlink(name);
  return fd;
}

std::string ReadStreamFile(int fd) {
  const off_t size = lseek(fd, 0, SEEK_END);
  std::string text(static_cast<std::size_t>(size), '\0');
  FUZZ_CHECK(pread(fd, text.data(), text.size(), 0) == size);
  return text;
}

// Standard output and standard error of one run, the originals put back after.
class Streams {
 public:
  Streams() {
    static const int outFd = NewStreamFile();
    static const int errFd = NewStreamFile();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::fflush(stdout);
    std::fflush(stderr);
    out_ = outFd;
    err_ = errFd;
    for (const int fd : {out_, err_}) {
      FUZZ_CHECK(ftruncate(fd, 0) == 0);
      FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    }
    savedOut_ = dup(STDOUT_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    dup2(out_, STDOUT_FILENO);
    dup2(err_, STDERR_FILENO);
  }
  ~Streams() { Restore(); }
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
  std::string Out() const { return ReadStreamFile(out_); }
  std::string Err() const { return ReadStreamFile(err_); }

 private:
  int out_ = -1;
  int err_ = -1;
  int savedOut_ = -1;
  int savedErr_ = -1;
};

std::string FatalLine(const char* text, DriverStatus status, int site) {
  char line[512];
  std::snprintf(line, sizeof line, "FATAL %s = 0x%x (line %d)\n", text,
                static_cast<unsigned>(status), site);
  return line;
}

std::size_t CountOf(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// ChooseModeIndex on its own, over an arbitrary array and count.
void CheckChooseModeIndex(FuzzedDataProvider& in) {
  const std::uint32_t n = in.ConsumeIntegralInRange<std::uint32_t>(0, 16);
  std::vector<DirectModeDisplayMode> modes(n);
  for (DirectModeDisplayMode& m : modes) {
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(kModeBytes);
    if (!bytes.empty()) std::memcpy(&m, bytes.data(), bytes.size());
  }
  const auto requested = in.ConsumeIntegral<std::int32_t>();
  // An exact-size copy, so a read past the count is a read past the block.
  std::vector<DirectModeDisplayMode> exact(modes);
  const int got = ChooseModeIndex(exact.data(), n, requested);
  FUZZ_CHECK(got >= -1 && got < static_cast<int>(n));
  FUZZ_CHECK(got == ModelChoice(modes, n, requested));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);

  script = Script{};
  seen = Seen{};
  script.enableStatus = DrawStatus(in);
  script.countDisplaysStatus = DrawStatus(in);
  script.displayCount = DrawCount(in, kMaxDisplays);
  script.fillDisplays = DrawFill(in, script.displayCount);
  for (std::uint32_t i = 0; i < script.fillDisplays.written; ++i) {
    script.displayIds.push_back(in.ConsumeIntegral<std::uint32_t>());
  }
  script.countModesStatus = DrawStatus(in);
  script.modeCount = DrawCount(in, kMaxModes);
  script.fillModes = DrawFill(in, script.modeCount);
  const std::int32_t requested = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(-2, 20)
                                                  : in.ConsumeIntegral<std::int32_t>();
  const bool forceDsc = in.ConsumeBool();
  script.modeBytes = in.ConsumeBytes<std::uint8_t>(std::size_t{script.fillModes.written} * 44);
  script.modeBytes.resize(std::size_t{script.fillModes.written} * 44, 0);

  // The driver stands behind the program's binding for the whole process.
  static const unsigned char moduleToken = 0;
  driverBinding = {reinterpret_cast<HMODULE>(const_cast<unsigned char*>(&moduleToken)),
                   &QueryInterface, nullptr, nullptr};
  ClearDriverEntryCache();

  Discovery d;
  int found = kContinue;
  int chosen = kContinue;
  std::string out;
  std::string err;
  {
    Streams streams;
    found = FindDisplay(d);
    if (found == kContinue) chosen = ChooseMode(d, requested, forceDsc);
    streams.Restore();
    out = streams.Out();
    err = streams.Err();
  }

  // Discovery.
  if (script.displayCount == 0) {
    FUZZ_CHECK(found == kExitNoDisplay);
    FUZZ_CHECK(seen.enumerateCalls == 1 && seen.modeCalls == 0);
    FUZZ_CHECK(EndsWith(out, "RESULT: no DM display\n") && err.empty());
    CheckChooseModeIndex(in);
    return 0;
  }
  FUZZ_CHECK(seen.enumerateCalls == 2);
  if (script.fillDisplays.status != 0) {
    FUZZ_CHECK(found == kExitFatal && seen.modeCalls == 0);
    FUZZ_CHECK(err == FatalLine("NvAPI_DISP_EnumerateDirectModeDisplays(VENDOR_ID, &numDisplays, "
                                "displays.data(), NV_ENUM_DIRECTMODE_DISPLAY_ENABLED)",
                                script.fillDisplays.status, 81));
    CheckChooseModeIndex(in);
    return 0;
  }
  FUZZ_CHECK(found == kContinue);
  const std::uint32_t firstId =
      script.fillDisplays.written > 0 ? script.displayIds[0] : 0;  // the zeroed record
  FUZZ_CHECK(d.display.displayId == firstId);
  FUZZ_CHECK(seen.modeQueryDisplayId == firstId);
  FUZZ_CHECK(d.displays.size() == script.displayCount);

  // Mode list.
  if (script.countModesStatus != 0) {
    FUZZ_CHECK(chosen == kExitFatal && seen.modeCalls == 1);
    FUZZ_CHECK(err ==
               FatalLine("NvAPI_D3D_DirectModeGetDisplayModes(&display, &modeCount, nullptr, "
                         "NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED)",
                         script.countModesStatus, 88));
    CheckChooseModeIndex(in);
    return 0;
  }
  FUZZ_CHECK(seen.modeCalls == 2);
  if (script.fillModes.status != 0) {
    FUZZ_CHECK(chosen == kExitFatal);
    FUZZ_CHECK(err == FatalLine("NvAPI_D3D_DirectModeGetDisplayModes(&display, &modeCount, "
                                "modes.data(), NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED)",
                                script.fillModes.status, 92));
    CheckChooseModeIndex(in);
    return 0;
  }

  // The array as the driver left it: written records, then blank ones.
  std::vector<DirectModeDisplayMode> want(script.modeCount);
  for (std::uint32_t i = 0; i < script.modeCount; ++i) {
    want[i] = {};
    want[i].version = kDisplayModeVersion;
    if (i < script.fillModes.written) {
      std::memcpy(reinterpret_cast<std::uint8_t*>(&want[i]) + 4, &script.modeBytes[i * 44], 44);
    }
  }
  FUZZ_CHECK(err.empty());
  FUZZ_CHECK(d.modes.size() == want.size());
  // The forced DSC values go into the copy only.
  FUZZ_CHECK(want.empty() ||
             std::memcmp(d.modes.data(), want.data(), want.size() * kModeBytes) == 0);
  const std::uint32_t walked =
      script.fillModes.reported < script.modeCount ? script.fillModes.reported : script.modeCount;
  FUZZ_CHECK(CountOf(out, "\nmode[") == walked);

  const int index = ModelChoice(want, walked, requested);
  if (index < 0) {
    FUZZ_CHECK(chosen != kContinue);
    FUZZ_CHECK(EndsWith(out, "RESULT: no usable mode\n"));
    FUZZ_CHECK(CountOf(out, "using mode[") == 0);
    CheckChooseModeIndex(in);
    return 0;
  }
  FUZZ_CHECK(chosen == kContinue);
  DirectModeDisplayMode expected = want[static_cast<std::size_t>(index)];
  const double refresh = ModelRefresh(expected);
  if (forceDsc) {
    expected.dscMode = 1;
    expected.dscVer = 17;
    expected.slices = 4;
    expected.bppx16 = 128;
  }
  FUZZ_CHECK(std::memcmp(&d.chosenMode, &expected, kModeBytes) == 0);
  FUZZ_CHECK(std::memcmp(&d.chosenRefreshHz, &refresh, sizeof refresh) == 0);
  char line[160];
  std::snprintf(line, sizeof line, "using mode[%d]: %ux%u @ %.3f Hz\n", index, expected.width,
                expected.height, refresh);
  FUZZ_CHECK(CountOf(out, line) == 1);
  FUZZ_CHECK(EndsWith(out, forceDsc ? std::string(line) + "forcing DSC 1.1, 4 slices, 8 bpp\n"
                                    : std::string(line)));
  CheckChooseModeIndex(in);
  return 0;
}
