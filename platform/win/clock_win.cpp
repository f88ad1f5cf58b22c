#include "platform/platform.h"

std::int64_t MonotonicNowNs() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Split the conversion so that large counter values do not overflow.
  const LONGLONG seconds = now.QuadPart / frequency;
  const LONGLONG rest = now.QuadPart % frequency;
  return static_cast<std::int64_t>(seconds) * 1000000000LL +
         static_cast<std::int64_t>(rest * 1000000000LL / frequency);
}
