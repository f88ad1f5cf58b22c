#include "app/check.h"

#include <cstdint>
#include <cstdio>

bool StatusOk(DriverStatus status, const char* text, int site) {
  if (status == 0) return true;
  std::fprintf(stderr, "FATAL %s = 0x%x (line %d)\n", text, static_cast<unsigned>(status), site);
  return false;
}

bool ResultOk(HRESULT result, const char* text, int site) {
  if (result >= 0) return true;
  // The 32 bits of the result, whatever the width of long on the target.
  std::fprintf(stderr, "FATAL %s = 0x%lx (line %d)\n", text,
               static_cast<unsigned long>(static_cast<std::uint32_t>(result)), site);
  return false;
}
