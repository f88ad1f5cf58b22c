#include "app/options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The leading decimal integer of text, 0 when it has none. Out-of-range
// values are clamped rather than left undefined, as atoi would.
std::int32_t LeadingInteger(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

RunOptions ScanOptions(int count, char* const* args) {
  RunOptions options;
  // The second argument is the duration, and is scanned as an option too.
  // strtod rather than atof: the same conversion, but Windows' C run-time atof
  // does not read inf and nan.
  options.duration = count >= 2 ? std::strtod(args[1], nullptr) : 15.0;
  for (int i = 0; i < count; ++i) {
    const char* arg = args[i];
    const bool hasNext = i + 1 < count;
    if (std::strcmp(arg, "--force-dsc") == 0) options.forceDsc = true;
    if (std::strcmp(arg, "--no-force-dsc") == 0) options.forceDsc = false;
    if (std::strcmp(arg, "--power-off") == 0) options.powerOff = true;
    // The value is read but not consumed: it is tested as an option as well.
    if (std::strcmp(arg, "--mode") == 0 && hasNext) options.mode = LeadingInteger(args[i + 1]);
    if (std::strcmp(arg, "--image") == 0 && hasNext) {
      options.image = args[i + 1];
      ++i;
    }
  }
  return options;
}
