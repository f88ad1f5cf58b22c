// Scan-out timing of a direct-mode display.
#pragma once

#include <cstdint>

namespace sim::driver {

// Vblank n of a display whose mode was set at originNs falls at
// originNs + floor(n * 1e9 * denominator / numerator) ns, computed exactly.
// Returns the first vblank strictly after tNs. A rate with a zero numerator or
// denominator scans out at 60 Hz.
std::int64_t FirstVblankAfterNs(std::int64_t originNs, std::int64_t tNs, std::uint32_t numerator,
                                std::uint32_t denominator);

}  // namespace sim::driver
