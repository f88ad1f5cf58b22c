#include "app/present.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/check.h"
#include "driver/entries.h"

namespace {

constexpr ResetSites kLoopResetSites = {312, 313};
constexpr SubmitSites kLoopSubmitSites = {346, 349};
constexpr DWORD kFrameWaitMs = 1000;
constexpr std::uint64_t kPresentErrorLimit = 10;
constexpr std::uint64_t kProgressEvery = 300;
constexpr std::int32_t kBarWidth = 64;

const FLOAT kLeftColour[4] = {0.0f, 0.25f, 0.08f, 1.0f};
const FLOAT kRightColour[4] = {0.25f, 0.0f, 0.08f, 1.0f};
const FLOAT kBarColour[4] = {0.4f, 0.4f, 0.4f, 1.0f};

double SecondsSince(std::int64_t startNs) {
  return static_cast<double>(MonotonicNowNs() - startNs) / 1e9;
}

}  // namespace

std::int32_t BarOffset(double elapsedSeconds, std::int32_t half) {
  return static_cast<std::int32_t>(std::fmod(elapsedSeconds * 0.25, 1.0) *
                                   static_cast<double>(half - kBarWidth));
}

void RecordTestPattern(ID3D12GraphicsCommandList* list, ID3D12Resource* resource,
                       D3D12_CPU_DESCRIPTOR_HANDLE rtv, std::int32_t width, std::int32_t height,
                       double elapsedSeconds) {
  const D3D12_RESOURCE_BARRIER toTarget =
      TransitionBarrier(resource, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_RENDER_TARGET);
  list->ResourceBarrier(1, &toTarget);

  const std::int32_t half = width / 2;
  const std::int32_t off = BarOffset(elapsedSeconds, half);
  const D3D12_RECT left = {0, 0, half, height};
  list->ClearRenderTargetView(rtv, kLeftColour, 1, &left);
  const D3D12_RECT right = {half, 0, width, height};
  list->ClearRenderTargetView(rtv, kRightColour, 1, &right);
  const D3D12_RECT bars[2] = {{off, 0, off + kBarWidth, height},
                              {half + off, 0, half + off + kBarWidth, height}};
  list->ClearRenderTargetView(rtv, kBarColour, 2, bars);

  const D3D12_RESOURCE_BARRIER back =
      TransitionBarrier(resource, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COMMON);
  list->ResourceBarrier(1, &back);
}

double FramesPerSecond(std::uint64_t frames, double elapsedSeconds) {
  // Two equal clock reads must not turn into NaN or infinity.
  if (!(elapsedSeconds > 0.0)) return 0.0;
  return static_cast<double>(frames) / elapsedSeconds;
}

const char* Verdict(const RunStats& stats, double fps, double chosenRefreshHz) {
  const double target = chosenRefreshHz > 1.0 ? chosenRefreshHz : 75.0;
  if (stats.frames == 0) return "FAIL";
  if (stats.presentErrors == 0 && fps > target * 0.93) return "PASS";
  return "MARGINAL";
}

int RunPresentPhase(GraphicsContext& g, SurfacePair& s, DirectModeDisplay& display,
                    DirectModeDisplayMode& chosenMode, const PresentInputs& in) {
  DriverStatus modeStatus = SetDisplayMode(&display, &chosenMode);
  if (modeStatus == kDriverHdcpDisabled) {
    std::printf("SetDisplayMode: HDCP disabled, ok\n");
    modeStatus = kDriverOk;
  }
  std::printf("SetDisplayMode = 0x%x\n", static_cast<unsigned>(modeStatus));
  if (modeStatus != kDriverOk) return kExitRefused;

  const DriverStatus powerStatus = DisplayControl(&display, kDisplayPowerOn);
  std::printf("DisplayControl(POWER_ON) = 0x%x\n", static_cast<unsigned>(powerStatus));

  HANDLE waitable = nullptr;  // never closed
  const DriverStatus waitableStatus = GetPresentWaitableObject(&display, &waitable);
  std::printf("GetPresentWaitableObject = 0x%x\n", static_cast<unsigned>(waitableStatus));

  const auto width = static_cast<std::int32_t>(static_cast<std::uint32_t>(s.surfaceDesc.Width));
  const auto height = static_cast<std::int32_t>(s.surfaceDesc.Height);
  RunStats stats;
  const std::int64_t start = MonotonicNowNs();
  for (;;) {
    const double elapsed = SecondsSince(start);
    if (elapsed >= in.duration) break;
    if (!ResetCommands(g, kLoopResetSites)) return kExitFatal;
    const std::uint64_t k = stats.frames & 1;
    if (!in.staticImage)
      RecordTestPattern(g.list.Get(), s.res[k].Get(), s.rtv[k], width, height, elapsed);
    if (!SubmitAndWait(g, kLoopSubmitSites, kFrameWaitMs)) return kExitFatal;
    const DriverStatus presented =
        Present12(&display, s.surfaceId[k], 1, g.queue.Get(), g.list.Get());
    if (presented != kDriverOk) {
      ++stats.presentErrors;
      std::fprintf(stderr, "Present12 = 0x%x at frame %llu\n", static_cast<unsigned>(presented),
                   static_cast<unsigned long long>(stats.frames));
      if (stats.presentErrors > kPresentErrorLimit) break;
    }
    if (waitableStatus == kDriverOk &&
        WaitForSingleObject(waitable, kFrameWaitMs) == WAIT_TIMEOUT) {
      ++stats.waitTimeouts;
    }
    ++stats.frames;
    if (stats.frames % kProgressEvery == 0) {
      std::printf("  t=%6.1fs frames=%llu avg=%.2f fps\n", elapsed,
                  static_cast<unsigned long long>(stats.frames),
                  FramesPerSecond(stats.frames, elapsed));
    }
  }
  const double total = SecondsSince(start);
  const double fps = FramesPerSecond(stats.frames, total);
  std::printf(
      "PRESENT RESULT: %llu frames in %.1fs = %.2f fps avg, presentErrors %llu, waitTimeouts "
      "%llu\n",
      static_cast<unsigned long long>(stats.frames), total, fps,
      static_cast<unsigned long long>(stats.presentErrors),
      static_cast<unsigned long long>(stats.waitTimeouts));
  if (in.powerOff) (void)DisplayControl(&display, kDisplayPowerOff);
  (void)ReleaseDirectModeDisplay(VENDOR_ID, &display);
  std::printf("display released\n");
  std::printf("VERDICT: %s\n", Verdict(stats, fps, in.chosenRefreshHz));
  return kExitCompleted;
}
