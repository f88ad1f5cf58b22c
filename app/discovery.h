// Finding the direct-mode display, its modes and its GPU's adapter.
#pragma once

#include <cstdint>
#include <vector>

#include "app/owned.h"
#include "driver/driver_api.h"

struct Discovery {
  std::vector<DirectModeDisplay> displays;
  std::vector<DirectModeDisplayMode> modes;
  DirectModeDisplay display = {};
  DirectModeDisplayMode chosenMode = {};
  double chosenRefreshHz = 0.0;
  Owned<IDXGIAdapter> adapter;
};

// Numerator over denominator as doubles; 0.0 for a zero denominator.
double RefreshRateHz(const DirectModeDisplayMode& mode);
// Pixels, less 10000 per hertz away from 75 Hz, plus one for format 22.
double ModeScore(const DirectModeDisplayMode& mode);
// The index the run uses: requested when it names one of count records,
// else the first best-scoring mode; -1 when no mode scores above -1.0.
int ChooseModeIndex(const DirectModeDisplayMode* modes, std::uint32_t count,
                    std::int32_t requested);
// Writes the forced DSC values into a chosen mode.
void ForceDsc(DirectModeDisplayMode& mode);

// Enables direct mode and copies the first enabled display. Returns kContinue
// or the run's exit code.
int FindDisplay(Discovery& d);
// Lists the modes, chooses one and forces DSC when asked.
int ChooseMode(Discovery& d, std::int32_t requestedMode, bool forceDsc);
// The display's GPU and its adapter.
int FindAdapter(Discovery& d);
