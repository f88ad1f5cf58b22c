// The driver library's export: nvapi_QueryInterface hands out the entry points
// of the display model by function ID.
#include "sim/driver/sim_driver.h"

#include <cstdint>

namespace sim::driver {
namespace {

void* QueryInterface(std::uint32_t /*id*/) { return nullptr; }

}  // namespace

// Through void(*)(), the one function type a cast to any other is sanctioned
// from, as GetProcAddress's callers cast back.
FARPROC QueryInterfaceExport() {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&QueryInterface));
}

void ReportHeld() {}

void Reset() {}

}  // namespace sim::driver
