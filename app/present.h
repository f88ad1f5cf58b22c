// The measuring phase: set the mode, present for the duration, judge the rate.
#pragma once

#include <cstdint>

#include "app/graphics.h"
#include "app/surfaces.h"
#include "driver/driver_api.h"

struct RunStats {
  std::uint64_t frames = 0;
  std::uint64_t presentErrors = 0;
  std::uint64_t waitTimeouts = 0;
};

// Distance of the grey bars from the left edge of each half.
std::int32_t BarOffset(double elapsedSeconds, std::int32_t half);

// Records the test pattern into rtv of resource: two halves and two bars,
// between barriers from and back to the common state.
void RecordTestPattern(ID3D12GraphicsCommandList* list, ID3D12Resource* resource,
                       D3D12_CPU_DESCRIPTOR_HANDLE rtv, std::int32_t width, std::int32_t height,
                       double elapsedSeconds);

// Frames per second over elapsed seconds; 0 when no time elapsed.
double FramesPerSecond(std::uint64_t frames, double elapsedSeconds);
// PASS, MARGINAL or FAIL.
const char* Verdict(const RunStats& stats, double fps, double chosenRefreshHz);

struct PresentInputs {
  double duration;
  bool powerOff;
  bool staticImage;
  double chosenRefreshHz;
};

// Sets the mode, powers on, presents until the duration, prints the result,
// releases the display and prints the verdict. Returns kExitCompleted or the
// exit code of a failure.
int RunPresentPhase(GraphicsContext& g, SurfacePair& s, DirectModeDisplay& display,
                    DirectModeDisplayMode& chosenMode, const PresentInputs& in);
