#include "sim/driver/pacing.h"

#include <limits>

namespace sim::driver {
namespace {

// Products of a 64-bit time and a 32-bit rate need more than 64 bits.
__extension__ using U128 = unsigned __int128;

constexpr std::uint64_t kNsPerSecond = 1000000000u;

}  // namespace

std::int64_t FirstVblankAfterNs(std::int64_t originNs, std::int64_t tNs, std::uint32_t numerator,
                                std::uint32_t denominator) {
  if (numerator == 0 || denominator == 0) {
    numerator = 60;
    denominator = 1;
  }
  // Vblank 0 is the mode set itself.
  if (tNs < originNs) return originNs;
  const U128 sinceOrigin = static_cast<U128>(static_cast<std::uint64_t>(tNs - originNs));
  const U128 periodNumerator = static_cast<U128>(kNsPerSecond) * denominator;  // per numerator
  // Smallest n with floor(n * P / num) > d, i.e. n * P >= (d + 1) * num.
  const U128 needed = (sinceOrigin + 1) * numerator;
  const U128 n = (needed + periodNumerator - 1) / periodNumerator;
  const U128 offset = n * periodNumerator / numerator;
  const U128 limit = static_cast<U128>(std::numeric_limits<std::int64_t>::max() - originNs);
  if (offset > limit) return std::numeric_limits<std::int64_t>::max();
  return originNs + static_cast<std::int64_t>(offset);
}

}  // namespace sim::driver
