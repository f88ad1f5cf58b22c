// The simulated GPU driver library (nvapi64.dll): its export and its display
// model. The loader hands the export out through GetProcAddress.
#pragma once

#include <string>

#include "platform/platform.h"

namespace sim::driver {

// The module's query-interface export, as GetProcAddress returns it.
FARPROC QueryInterfaceExport();

// Whether name is one of the driver's twelve operations (the names that
// driver.statuses takes; the initialise entry is not one of them).
bool IsKnownOperation(const std::string& name);

// Held event for a display still acquired at exit.
void ReportHeld();
void Reset();

}  // namespace sim::driver
