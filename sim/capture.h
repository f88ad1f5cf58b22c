// Frame capture: writes a surface as an 8-bit RGBA PNG.
#pragma once

#include <string>

#include "sim/d3d12/sim_gpu.h"

namespace sim {

// Returns false (and sets error) when the format is not one it can convert or
// the file cannot be written.
bool CapturePng(const std::string& path, const gpu::SurfaceView& surface, std::string* error);

}  // namespace sim
