// The fault matrix: one run of dmsim per way a run can fail, each made to
// fail at exactly one call by its scenario. Every row checks the whole
// output, the exit code, the program's Release calls in the trace against
// the release chain (newest object first), what the program still holds at
// exit, and whether the display was left acquired. Every row is run a second
// time with --strict, which must change nothing.
//
// Also here: scenario files that dmsim must refuse before anything runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// ---------------------------------------------------------------------------
// Running dmsim

struct RunResult {
  std::string out;
  std::string err;
  int exitCode = -1;
  std::string failure;  // set when dmsim did not exit normally
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dmcheck-fault-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Runs dmsim with the arguments in the source root (so that fixture paths
// given to --image are relative to it), standard streams into files.
RunResult RunDmsim(const std::vector<std::string>& args, const fs::path& dir) {
  RunResult result;
  const fs::path outPath = dir / "stdout.txt";
  const fs::path errPath = dir / "stderr.txt";
  std::vector<std::string> words = {DMSIM_PATH};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) {
    result.failure = "fork failed";
    return result;
  }
  if (child == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || chdir(SOURCE_ROOT) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) {
    result.failure = "waitpid failed";
    return result;
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.failure = "dmsim was killed by signal " + std::to_string(WTERMSIG(status));
  }
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

std::vector<json> ReadTrace(const fs::path& path, std::string* error) {
  std::vector<json> events;
  std::ifstream in(path);
  if (!in) {
    *error = "no trace written at " + path.string();
    return events;
  }
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    json event = json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) {
      *error = "trace line is not a JSON object: " + line;
      return {};
    }
    events.push_back(std::move(event));
  }
  return events;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += "  " + item + "\n";
  return text.empty() ? "  (none)\n" : text;
}

// ---------------------------------------------------------------------------
// The machine of every row: one display whose only mode is 66x4 at 75 Hz
// (the size of the image fixtures; 75 Hz so that it scores best). DSC is not
// forced (4 slices do not divide 66), the run lasts 50 ms and --power-off is
// given, so that a power-off after a failure would show in the trace.

const char kBaseScenario[] = R"({
  "driver": {"displays": [{"modes": [
    {"width": 66, "height": 4, "refresh": [75000, 1000], "format": 22}]}]}
})";

const char kImage[] = "tests/system/fixtures/pattern-66x4.raw";
const char kImageLong[] = "tests/system/fixtures/pattern-66x4-long.raw";
const char kImageShort[] = "tests/system/fixtures/pattern-66x4-short.raw";
const char kImageMissing[] = "tests/system/fixtures/no-such-image.raw";

std::vector<std::string> ProgramArgs() { return {"--no-force-dsc", "0.05", "--power-off"}; }
std::vector<std::string> ProgramArgsWithImage(const char* path) {
  std::vector<std::string> args = ProgramArgs();
  args.push_back("--image");
  args.push_back(path);
  return args;
}

// Standard output up to each step of a run on the base machine.
const std::string kDisplayFound =
    "EnableDirectMode(0x2709) = 0x0\n"
    "EnumerateDirectModeDisplays count = 1 (status 0x0)\n"
    "using displayId 0x80061001\n";
const std::string kModeListed =
    "mode[0]: 66x4 @ 75.000 Hz format=22 dscMode=0 dscVer=0 slices=0 bppx16=0\n";
const std::string kModeChosen = kDisplayFound + kModeListed + "using mode[0]: 66x4 @ 75.000 Hz\n";
const std::string kAcquired = kModeChosen + "AcquireDirectModeDisplay = 0x0\n";
const std::string kViews = "surface: 66x4 format=90\nrtv format: 87\n";
const std::string kSurfaces = kAcquired + kViews;
const std::string kPresenting =
    "SetDisplayMode = 0x0\n"
    "DisplayControl(POWER_ON) = 0x0\n"
    "GetPresentWaitableObject = 0x0\n";
const std::string kLoopStarted = kSurfaces + kPresenting;
const std::string kCompleted =
    "PRESENT RESULT: 4 frames in 0.1s = 75.00 fps avg, presentErrors 0, waitTimeouts 0\n"
    "display released\n"
    "VERDICT: PASS\n";

std::string ImageLoaded(const char* path) {
  return std::string("static image ") + path + " loaded into 2 surfaces\n";
}

std::string StatusFatal(const std::string& text, const std::string& hex, int site) {
  return "FATAL " + text + " = 0x" + hex + " (line " + std::to_string(site) + ")\n";
}
// Forced GPU failures return E_FAIL unless the row says otherwise.
std::string ResultFatal(const std::string& text, int site, const std::string& hex = "80004005") {
  return StatusFatal(text, hex, site);
}

// Scenario patches (merged into the base scenario).
std::string DriverStatus(const std::string& op, int status, int first) {
  return json{
      {"driver", {{"statuses", {{op, {{"status", status}, {"first", first}, {"count", 1}}}}}}}}
      .dump();
}
std::string GpuFails(const std::string& method, int first, const std::string& hresult = "") {
  json failure = {{"method", method}, {"first", first}, {"count", 1}};
  if (!hresult.empty()) failure["hresult"] = hresult;
  return json{{"gpu", {{"failures", json::array({failure})}}}}.dump();
}

// The release chain, newest first, as the trace names the objects: the
// resources are numbered in the order the program got them (res[0], res[1],
// then upload).
const std::vector<std::string> kChain = {
    "ID3D12Resource#3",             // upload
    "ID3D12DescriptorHeap#1",       // rtvHeap
    "ID3D12Resource#2",             // res[1]
    "ID3D12Resource#1",             // res[0]
    "ID3D12Fence#1",                // fence
    "ID3D12GraphicsCommandList#1",  // list
    "ID3D12CommandAllocator#1",     // alloc
    "ID3D12CommandQueue#1",         // queue
    "ID3D12Device#1",               // dev
    "IDXGIAdapter#1",               // adapter
};

// The chain entered at `newest`; "" releases nothing.
std::vector<std::string> ChainFrom(const std::string& newest) {
  if (newest.empty()) return {};
  const auto at = std::find(kChain.begin(), kChain.end(), newest);
  EXPECT_NE(at, kChain.end()) << "not in the chain: " << newest;
  return {at, kChain.end()};
}

enum class Display { NotAcquired, LeftAcquired, Released };

// What the program keeps by design: handles are never closed; the display
// stays acquired after any failure past the acquire.
struct Held {
  bool fenceEvent = false;
  int sharedSurfaces = 0;
  bool waitable = false;
};

struct FaultRow {
  std::string name;
  std::string patch;  // merged into kBaseScenario
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int exitCode = 0;
  std::string chainFrom;
  Held held;
  Display display = Display::NotAcquired;
};

std::vector<std::string> ExpectedHeld(const FaultRow& row) {
  std::vector<std::string> held;
  if (row.display == Display::LeftAcquired) held.push_back("display 0x80061001");
  if (row.held.fenceEvent) held.push_back("handle event from CreateEventA");
  for (int i = 0; i < row.held.sharedSurfaces; ++i) held.push_back("handle shared surface");
  if (row.held.waitable) held.push_back("handle present waitable");
  std::sort(held.begin(), held.end());
  return held;
}

constexpr Held kNothingHeld = {};
constexpr Held kEventHeld = {true, 0, false};
constexpr Held kOneSurfaceHeld = {true, 1, false};
constexpr Held kSurfacesHeld = {true, 2, false};
constexpr Held kAllHeld = {true, 2, true};

const std::string kEnumerateFill =
    "NvAPI_DISP_EnumerateDirectModeDisplays(VENDOR_ID, &numDisplays, displays.data(), "
    "NV_ENUM_DIRECTMODE_DISPLAY_ENABLED)";
const std::string kModesCount =
    "NvAPI_D3D_DirectModeGetDisplayModes(&display, &modeCount, nullptr, "
    "NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED)";
const std::string kModesFill =
    "NvAPI_D3D_DirectModeGetDisplayModes(&display, &modeCount, modes.data(), "
    "NV_DIRECTMODE_GETMODES_FLAG_SUPPORTED)";
const std::string kCreateDevice =
    "D3D12CreateDevice(adapter.Get(), D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&dev))";
const std::string kCreateQueue = "dev->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue))";
const std::string kCreateAllocator =
    "dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&alloc))";
const std::string kCreateList =
    "dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, alloc.Get(), nullptr, "
    "IID_PPV_ARGS(&list))";
const std::string kClose = "list->Close()";
const std::string kCreateFence = "dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence))";
const std::string kOpenShared = "dev->OpenSharedHandle(shared[i], IID_PPV_ARGS(&res[i]))";
const std::string kCreateHeap = "dev->CreateDescriptorHeap(&hd, IID_PPV_ARGS(&rtvHeap))";
const std::string kCreateUpload =
    "dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &bd, "
    "D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, IID_PPV_ARGS(&upload))";
const std::string kMap = "upload->Map(0, &noRead, (void**)&dst)";
const std::string kAllocReset = "alloc->Reset()";
const std::string kListReset = "list->Reset(alloc.Get(), nullptr)";
const std::string kSignal = "queue->Signal(fence.Get(), ++fenceVal)";

const char kAllocResetMethod[] = "ID3D12CommandAllocator::Reset";
const char kListResetMethod[] = "ID3D12GraphicsCommandList::Reset";
const char kCloseMethod[] = "ID3D12GraphicsCommandList::Close";
const char kSignalMethod[] = "ID3D12CommandQueue::Signal";

// Call counts behind the windows below: Close is called once at creation
// (140), then once per submission; with an image the two uploads close and
// signal first (277, 280 on calls 2-3 and 1-2), so the loop's first Close is
// call 4 with an image and call 2 without; Reset and Signal are first called
// by the uploads, else by the loop.
std::vector<FaultRow> FaultRows() {
  const std::vector<std::string> args = ProgramArgs();
  const std::vector<std::string> image = ProgramArgsWithImage(kImage);
  std::vector<FaultRow> rows = {
      // Check sites.
      {"site68_initialize", R"({"driver": {"initializeStatus": -5}})", args, "",
       StatusFatal("NvAPI_Initialize()", "fffffffb", 68), 10, "", kNothingHeld,
       Display::NotAcquired},
      {"site68_library_absent", R"({"driver": {"library": "absent"}})", args, "",
       StatusFatal("NvAPI_Initialize()", "fffffffe", 68), 10, "", kNothingHeld,
       Display::NotAcquired},
      // Below build 9200 the loader forms full paths itself; without the
      // system directory it has none and loads nothing.
      {"site68_no_system_directory",
       R"({"windows": {"versionQueryBuild": 7601,
                       "failures": [{"function": "GetSystemDirectoryW", "first": 1}]}})",
       args, "", StatusFatal("NvAPI_Initialize()", "fffffffe", 68), 10, "", kNothingHeld,
       Display::NotAcquired},
      {"site81_enumerate_fill", DriverStatus("NvAPI_DISP_EnumerateDirectModeDisplays", -1, 2), args,
       "EnableDirectMode(0x2709) = 0x0\nEnumerateDirectModeDisplays count = 1 (status 0x0)\n",
       StatusFatal(kEnumerateFill, "ffffffff", 81), 10, "", kNothingHeld, Display::NotAcquired},
      {"site88_modes_count", DriverStatus("NvAPI_D3D_DirectModeGetDisplayModes", -1, 1), args,
       kDisplayFound, StatusFatal(kModesCount, "ffffffff", 88), 10, "", kNothingHeld,
       Display::NotAcquired},
      {"site92_modes_fill", DriverStatus("NvAPI_D3D_DirectModeGetDisplayModes", -4, 2), args,
       kDisplayFound, StatusFatal(kModesFill, "fffffffc", 92), 10, "", kNothingHeld,
       Display::NotAcquired},
      {"site124_gpu", DriverStatus("NvAPI_SYS_GetPhysicalGpuFromDisplayId", -6, 1), args,
       kModeChosen,
       StatusFatal("NvAPI_SYS_GetPhysicalGpuFromDisplayId(display.displayId, &gpu)", "fffffffa",
                   124),
       10, "", kNothingHeld, Display::NotAcquired},
      {"site126_adapter", DriverStatus("NvAPI_D3D_GetIDXGIAdapter", -1, 1), args, kModeChosen,
       StatusFatal("NvAPI_D3D_GetIDXGIAdapter(gpu, adapter.GetAddressOf())", "ffffffff", 126), 10,
       "", kNothingHeld, Display::NotAcquired},
      {"site129_device", GpuFails("D3D12CreateDevice", 1, "0x887A0004"), args, kModeChosen,
       ResultFatal(kCreateDevice, 129, "887a0004"), 10, "IDXGIAdapter#1", kNothingHeld,
       Display::NotAcquired},
      {"site133_queue", GpuFails("ID3D12Device::CreateCommandQueue", 1), args, kModeChosen,
       ResultFatal(kCreateQueue, 133), 10, "ID3D12Device#1", kNothingHeld, Display::NotAcquired},
      {"site136_allocator", GpuFails("ID3D12Device::CreateCommandAllocator", 1, "0x8007000E"), args,
       kModeChosen, ResultFatal(kCreateAllocator, 136, "8007000e"), 10, "ID3D12CommandQueue#1",
       kNothingHeld, Display::NotAcquired},
      {"site139_list", GpuFails("ID3D12Device::CreateCommandList", 1), args, kModeChosen,
       ResultFatal(kCreateList, 139), 10, "ID3D12CommandAllocator#1", kNothingHeld,
       Display::NotAcquired},
      {"site140_first_close", GpuFails(kCloseMethod, 1), args, kModeChosen,
       ResultFatal(kClose, 140), 10, "ID3D12GraphicsCommandList#1", kNothingHeld,
       Display::NotAcquired},
      {"site142_fence", GpuFails("ID3D12Device::CreateFence", 1), args, kModeChosen,
       ResultFatal(kCreateFence, 142), 10, "ID3D12GraphicsCommandList#1", kNothingHeld,
       Display::NotAcquired},
      {"site160_open_surface0", GpuFails("ID3D12Device::OpenSharedHandle", 1, "0x80070057"), args,
       kAcquired, ResultFatal(kOpenShared, 160, "80070057"), 10, "ID3D12Fence#1", kOneSurfaceHeld,
       Display::LeftAcquired},
      {"site160_open_surface1", GpuFails("ID3D12Device::OpenSharedHandle", 2), args, kAcquired,
       ResultFatal(kOpenShared, 160), 10, "ID3D12Resource#1", kSurfacesHeld, Display::LeftAcquired},
      {"site187_heap", GpuFails("ID3D12Device::CreateDescriptorHeap", 1), args, kSurfaces,
       ResultFatal(kCreateHeap, 187), 10, "ID3D12Resource#2", kSurfacesHeld, Display::LeftAcquired},
      {"site244_upload", GpuFails("ID3D12Device::CreateCommittedResource", 1, "0x8007000E"), image,
       kSurfaces, ResultFatal(kCreateUpload, 244, "8007000e"), 10, "ID3D12DescriptorHeap#1",
       kSurfacesHeld, Display::LeftAcquired},
      {"site247_map", GpuFails("ID3D12Resource::Map", 1), image, kSurfaces, ResultFatal(kMap, 247),
       10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site253_upload_alloc_reset", GpuFails(kAllocResetMethod, 1), image, kSurfaces,
       ResultFatal(kAllocReset, 253), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site253_upload_alloc_reset_surface1", GpuFails(kAllocResetMethod, 2), image, kSurfaces,
       ResultFatal(kAllocReset, 253), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site254_upload_list_reset", GpuFails(kListResetMethod, 1), image, kSurfaces,
       ResultFatal(kListReset, 254), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site277_upload_close", GpuFails(kCloseMethod, 2), image, kSurfaces,
       ResultFatal(kClose, 277), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site277_upload_close_surface1", GpuFails(kCloseMethod, 3), image, kSurfaces,
       ResultFatal(kClose, 277), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site280_upload_signal", GpuFails(kSignalMethod, 1), image, kSurfaces,
       ResultFatal(kSignal, 280), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site280_upload_signal_surface1", GpuFails(kSignalMethod, 2), image, kSurfaces,
       ResultFatal(kSignal, 280), 10, "ID3D12Resource#3", kSurfacesHeld, Display::LeftAcquired},
      {"site312_loop_alloc_reset", GpuFails(kAllocResetMethod, 1), args, kLoopStarted,
       ResultFatal(kAllocReset, 312), 10, "ID3D12DescriptorHeap#1", kAllHeld,
       Display::LeftAcquired},
      {"site312_loop_alloc_reset_after_image", GpuFails(kAllocResetMethod, 3), image,
       kSurfaces + ImageLoaded(kImage) + kPresenting, ResultFatal(kAllocReset, 312), 10,
       "ID3D12Resource#3", kAllHeld, Display::LeftAcquired},
      {"site313_loop_list_reset_frame1", GpuFails(kListResetMethod, 2), args, kLoopStarted,
       ResultFatal(kListReset, 313), 10, "ID3D12DescriptorHeap#1", kAllHeld, Display::LeftAcquired},
      {"site346_loop_close", GpuFails(kCloseMethod, 2), args, kLoopStarted,
       ResultFatal(kClose, 346), 10, "ID3D12DescriptorHeap#1", kAllHeld, Display::LeftAcquired},
      {"site346_loop_close_after_image", GpuFails(kCloseMethod, 4), image,
       kSurfaces + ImageLoaded(kImage) + kPresenting, ResultFatal(kClose, 346), 10,
       "ID3D12Resource#3", kAllHeld, Display::LeftAcquired},
      {"site349_loop_signal_frame2", GpuFails(kSignalMethod, 3, "0x887A0005"), args, kLoopStarted,
       ResultFatal(kSignal, 349, "887a0005"), 10, "ID3D12DescriptorHeap#1", kAllHeld,
       Display::LeftAcquired},

      // The device is removed after the second submission: the signal that
      // follows it is the first call to fail.
      {"site349_device_removed", R"({"gpu": {"deviceRemovedAfter": 2}})", args, kLoopStarted,
       ResultFatal(kSignal, 349, "887a0005"), 10, "ID3D12DescriptorHeap#1", kAllHeld,
       Display::LeftAcquired},

      // Failures that are not check sites.
      {"no_display", R"({"driver": {"displays": []}})", args,
       "EnableDirectMode(0x2709) = 0x0\nEnumerateDirectModeDisplays count = 0 (status 0x0)\n"
       "RESULT: no DM display\n",
       "", 2, "", kNothingHeld, Display::NotAcquired},
      {"no_mode_at_all", R"({"driver": {"displays": [{"modes": []}]}})", args,
       kDisplayFound + "RESULT: no usable mode\n", "", 2, "", kNothingHeld, Display::NotAcquired},
      // 800x600 without a refresh rate scores -270000; 26x24 at 75.0625 Hz
      // scores 624 - 625 = -1.0 exactly, which does not beat the start value.
      {"no_mode_scores_above_minus_one",
       R"({"driver": {"displays": [{"modes": [
           {"width": 800, "height": 600, "refresh": [0, 0], "format": 22},
           {"width": 26, "height": 24, "refresh": [1201, 16], "format": 0}]}]}})",
       args,
       kDisplayFound +
           "mode[0]: 800x600 @ 0.000 Hz format=22 dscMode=0 dscVer=0 slices=0 bppx16=0\n"
           "mode[1]: 26x24 @ 75.062 Hz format=0 dscMode=0 dscVer=0 slices=0 bppx16=0\n"
           "RESULT: no usable mode\n",
       "", 2, "", kNothingHeld, Display::NotAcquired},
      {"acquire_refused", DriverStatus("AcquireDirectModeDisplay", -1, 1), args,
       kModeChosen + "AcquireDirectModeDisplay = 0xffffffff\n", "", 3, "ID3D12Fence#1", kEventHeld,
       Display::NotAcquired},
      {"create_surface0_refused", DriverStatus("CreateSurface", -1, 1), args, kAcquired,
       "CreateSurface[0] = 0xffffffff\n", 3, "ID3D12Fence#1", kEventHeld, Display::LeftAcquired},
      {"create_surface1_refused", DriverStatus("CreateSurface", -3, 2), args, kAcquired,
       "CreateSurface[1] = 0xfffffffd\n", 3, "ID3D12Resource#1", kOneSurfaceHeld,
       Display::LeftAcquired},
      {"set_mode_refused", DriverStatus("SetDisplayMode", -1, 1), args,
       kSurfaces + "SetDisplayMode = 0xffffffff\n", "", 3, "ID3D12DescriptorHeap#1", kSurfacesHeld,
       Display::LeftAcquired},
      {"set_mode_refused_after_image", DriverStatus("SetDisplayMode", -1, 1), image,
       kSurfaces + ImageLoaded(kImage) + "SetDisplayMode = 0xffffffff\n", "", 3, "ID3D12Resource#3",
       kSurfacesHeld, Display::LeftAcquired},
      {"image_gate", R"({"driver": {"displays": [{"surfaceFormat": 23, "modes": [
           {"width": 66, "height": 4, "refresh": [75000, 1000], "format": 22}]}]}})",
       image, kAcquired + "surface: 66x4 format=23\nrtv format: 24\n",
       "FATAL: --image only supports 8-bit BGRX/BGRA/RGBA surfaces, got rtv format 24\n", 10,
       "ID3D12DescriptorHeap#1", kSurfacesHeld, Display::LeftAcquired},
      {"image_cannot_open", "{}", ProgramArgsWithImage(kImageMissing), kSurfaces,
       std::string("FATAL: cannot open ") + kImageMissing + "\n", 10, "ID3D12DescriptorHeap#1",
       kSurfacesHeld, Display::LeftAcquired},
      {"image_short_file", "{}", ProgramArgsWithImage(kImageShort), kSurfaces,
       std::string("FATAL: ") + kImageShort + " is 1055 bytes, mode wants 1056 (66x4*4)\n", 10,
       "ID3D12DescriptorHeap#1", kSurfacesHeld, Display::LeftAcquired},

      // Unusual results that do not end the run, and completed runs.
      // Without a fence event the fence waits fail at once; the waitable
      // still paces the loop.
      {"fence_event_not_created_goes_on",
       R"({"windows": {"failures": [{"function": "CreateEventA", "first": 1}]}})",
       args,
       kLoopStarted + kCompleted,
       "",
       0,
       "ID3D12DescriptorHeap#1",
       {false, 2, true},
       Display::Released},
      // The first path allocation of the dependency pre-load fails: that load
      // returns nothing, the next one runs the pre-load again, and no
      // allocation is left behind.
      {"path_allocation_refused_goes_on",
       R"({"windows": {"versionQueryBuild": 7601,
                       "failures": [{"function": "LocalAlloc", "first": 1, "count": 1}]}})",
       args, kLoopStarted + kCompleted, "", 0, "ID3D12DescriptorHeap#1", kAllHeld,
       Display::Released},
      {"acquire_hdcp_disabled_continues", DriverStatus("AcquireDirectModeDisplay", -208, 1), args,
       kModeChosen + "AcquireDirectModeDisplay = 0xffffff30 (HDCP disabled, continuing)\n" +
           kViews + kPresenting + kCompleted,
       "", 0, "ID3D12DescriptorHeap#1", kAllHeld, Display::Released},
      {"set_mode_hdcp_disabled_continues", DriverStatus("SetDisplayMode", -208, 1), args,
       kSurfaces +
           "SetDisplayMode: HDCP disabled, ok\n"
           "SetDisplayMode = 0x0\n"
           "DisplayControl(POWER_ON) = 0x0\n"
           "GetPresentWaitableObject = 0x0\n" +
           kCompleted,
       "", 0, "ID3D12DescriptorHeap#1", kAllHeld, Display::Released},
      {"completed_without_image", "{}", args, kLoopStarted + kCompleted, "", 0,
       "ID3D12DescriptorHeap#1", kAllHeld, Display::Released},
      {"completed_with_long_image", "{}", ProgramArgsWithImage(kImageLong),
       kSurfaces + ImageLoaded(kImageLong) + kPresenting + kCompleted, "", 0, "ID3D12Resource#3",
       kAllHeld, Display::Released},
  };
  return rows;
}

struct TraceFacts {
  std::vector<std::string> releases;  // object names, in order
  std::vector<std::string> nonZeroRefs;
  std::vector<std::string> held;  // "kind what", sorted
  std::vector<std::string> validations;
  std::map<std::string, int> driverOps;
};

TraceFacts Summarise(const std::vector<json>& events) {
  TraceFacts facts;
  for (const json& event : events) {
    const std::string call = event.value("call", "");
    if (call == "Release") {
      const std::string object = event.value("object", "?");
      facts.releases.push_back(object);
      if (event.value("refs", -1) != 0) facts.nonZeroRefs.push_back(event.dump());
    } else if (call == "held") {
      facts.held.push_back(event.value("kind", "?") + " " + event.value("what", "?"));
    } else if (call == "validation") {
      facts.validations.push_back(event.value("message", "?"));
    } else if (call == "driver") {
      ++facts.driverOps[event.value("op", "?")];
    }
  }
  std::sort(facts.held.begin(), facts.held.end());
  return facts;
}

std::vector<std::string> WithScenario(const fs::path& scenario, std::vector<std::string> dmsimArgs,
                                      const std::vector<std::string>& programArgs) {
  dmsimArgs.push_back("--scenario");
  dmsimArgs.push_back(scenario.string());
  dmsimArgs.push_back("--");
  dmsimArgs.insert(dmsimArgs.end(), programArgs.begin(), programArgs.end());
  return dmsimArgs;
}

// Failures name the row, not its bytes.
void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

template <class Row>
std::string RowName(const ::testing::TestParamInfo<Row>& param) {
  return param.param.name;
}

class FaultMatrix : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultMatrix, FailsAtItsCallAndReleasesInChainOrder) {
  const FaultRow& row = GetParam();
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  json scenario = json::parse(kBaseScenario);
  const json patch = json::parse(row.patch, nullptr, false);
  ASSERT_FALSE(patch.is_discarded()) << "bad patch in the row: " << row.patch;
  scenario.merge_patch(patch);
  const fs::path scenarioPath = dir.path() / "scenario.json";
  WriteFile(scenarioPath, scenario.dump(2));
  const fs::path tracePath = dir.path() / "trace.jsonl";

  const RunResult run = RunDmsim(
      WithScenario(scenarioPath, {"--virtual-time", "--trace", tracePath.string()}, row.args),
      dir.path());
  ASSERT_EQ(run.failure, "");
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.err, row.err);
  EXPECT_EQ(run.exitCode, row.exitCode);

  std::string traceError;
  const TraceFacts facts = Summarise(ReadTrace(tracePath, &traceError));
  ASSERT_EQ(traceError, "");
  const std::vector<std::string> chain = ChainFrom(row.chainFrom);
  EXPECT_EQ(facts.releases, chain) << "released:\n"
                                   << Joined(facts.releases) << "expected:\n"
                                   << Joined(chain);
  EXPECT_EQ(facts.nonZeroRefs, std::vector<std::string>{}) << "a Release left references";
  const std::vector<std::string> held = ExpectedHeld(row);
  EXPECT_EQ(facts.held, held) << "held at exit:\n"
                              << Joined(facts.held) << "expected:\n"
                              << Joined(held);
  EXPECT_EQ(facts.validations, std::vector<std::string>{});

  // --power-off is given: only a completed run powers the display off and
  // releases it. A failed run leaves it as it was (on, if it got that far).
  const auto ops = [&](const char* op) {
    const auto it = facts.driverOps.find(op);
    return it == facts.driverOps.end() ? 0 : it->second;
  };
  const bool released = row.display == Display::Released;
  const bool poweredOn = row.out.find("DisplayControl(POWER_ON)") != std::string::npos;
  EXPECT_EQ(ops("ReleaseDirectModeDisplay"), released ? 1 : 0);
  EXPECT_EQ(ops("DisplayControl"), (poweredOn ? 1 : 0) + (released ? 1 : 0));

  // The same run under --strict: the platform recorded nothing to object to.
  const RunResult strict =
      RunDmsim(WithScenario(scenarioPath, {"--virtual-time", "--strict"}, row.args), dir.path());
  ASSERT_EQ(strict.failure, "");
  EXPECT_EQ(strict.out, row.out);
  EXPECT_EQ(strict.err, row.err);
  EXPECT_EQ(strict.exitCode, row.exitCode);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(FaultRows()), RowName<FaultRow>);

// ---------------------------------------------------------------------------
// Scenario files dmsim refuses: one line "dmsim: FILE: KEYPATH: PROBLEM" on
// standard error, exit 64, nothing on standard output, and the program never
// starts (no trace is written).

struct RefusalRow {
  std::string name;
  std::string text;
  std::string keyPath;
  std::string problem;  // a part of the problem text
};

std::vector<RefusalRow> RefusalRows() {
  return {
      {"bad_json", R"({"driver": {"displays": [)", "(root)", "invalid JSON"},
      {"trailing_text", R"({"gpu": {}} and more)", "(root)", "invalid JSON"},
      {"not_an_object", "[1, 2]", "(root)", "expected an object"},
      {"unknown_top_key", R"({"display": {}})", "display", "unknown key"},
      {"unknown_nested_key",
       R"({"driver": {"displays": [{"modes": [{"width": 1}, {"width": 1, "depth": 8}]}]}})",
       "driver.displays[0].modes[1].depth", "unknown key"},
      {"wrong_type", R"({"gpu": {"submitCostUs": "fast"}})", "gpu.submitCostUs", "got a string"},
      {"wrong_type_bool", R"({"windows": {"searchFlagsSupported": 1}})",
       "windows.searchFlagsSupported", "expected"},
      {"negative_unsigned", R"({"gpu": {"submitCostUs": -1}})", "gpu.submitCostUs", "out of range"},
      {"width_too_large", R"({"driver": {"displays": [{"modes": [{"width": 4294967296}]}]}})",
       "driver.displays[0].modes[0].width", "out of range"},
      {"status_too_large", R"({"driver": {"statuses": {"Present12": 2147483648}}})",
       "driver.statuses.Present12", "out of range"},
      {"fractional_status", R"({"driver": {"statuses": {"Present12": 1.5}}})",
       "driver.statuses.Present12", "fractional"},
      {"window_from_zero", R"({"driver": {"statuses": {"Present12": {"status": -1, "first": 0}}}})",
       "driver.statuses.Present12.first", "counted from 1"},
      {"unknown_operation", R"({"driver": {"statuses": {"Present13": -1}}})",
       "driver.statuses.Present13", "unknown operation"},
      {"unknown_method",
       R"({"gpu": {"failures": [{"method": "ID3D12Device::CreateFence"}, {"method": "ID3D12Device::CreateFences"}]}})",
       "gpu.failures[1].method", "unknown method"},
      {"method_without_interface", R"({"gpu": {"failures": [{"method": "Close"}]}})",
       "gpu.failures[0].method", "unknown method"},
      {"hresult_too_long",
       R"({"gpu": {"failures": [{"method": "ID3D12Device::CreateFence", "hresult": "0x123456789"}]}})",
       "gpu.failures[0].hresult", "hex string"},
      {"display_id_not_hex", R"({"driver": {"displays": [{"displayId": 12}]}})",
       "driver.displays[0].displayId", "hex string"},
      {"unknown_windows_function", R"({"windows": {"failures": [{"function": "CreateEventW"}]}})",
       "windows.failures[0].function", "unknown function"},
      {"unknown_library_kind", R"({"driver": {"library": "missing"}})", "driver.library",
       "expected one of"},
      {"refresh_not_a_pair", R"({"driver": {"displays": [{"modes": [{"refresh": [1, 2, 3]}]}]}})",
       "driver.displays[0].modes[0].refresh", "numerator"},
  };
}

void PrintTo(const RefusalRow& row, std::ostream* os) { *os << row.name; }

class FaultMatrixScenario : public ::testing::TestWithParam<RefusalRow> {};

TEST_P(FaultMatrixScenario, RefusedBeforeAnythingRuns) {
  const RefusalRow& row = GetParam();
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const fs::path scenarioPath = dir.path() / "malformed.json";
  WriteFile(scenarioPath, row.text);
  const fs::path tracePath = dir.path() / "trace.jsonl";
  const RunResult run = RunDmsim({"--virtual-time", "--trace", tracePath.string(), "--scenario",
                                  scenarioPath.string(), "--", "--no-force-dsc", "0.05"},
                                 dir.path());
  ASSERT_EQ(run.failure, "");
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_EQ(run.out, "");
  const std::string prefix = "dmsim: " + scenarioPath.string() + ": " + row.keyPath + ": ";
  EXPECT_EQ(run.err.rfind(prefix, 0), 0u)
      << "expected a line starting with\n  " << prefix << "\ngot\n  " << run.err;
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.back(), '\n');
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_GT(run.err.size(), prefix.size() + 1) << "no problem named";
  EXPECT_NE(run.err.find(row.problem, prefix.size()), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(tracePath)) << "the program ran";
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrixScenario, ::testing::ValuesIn(RefusalRows()),
                         RowName<RefusalRow>);

}  // namespace
