// Kernel objects of the simulated Windows: events (the fence event, the
// driver's present-waitable) and shared-resource handles. A handle stays valid
// until the machine is reset; the program never closes these.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace sim {

// what: a short description for the end-of-run accounting ("fence event").
HANDLE KernelCreateEvent(bool manualReset, bool initiallySignalled, const std::string& what);
bool KernelIsEvent(HANDLE handle);
void KernelSetEvent(HANDLE handle);
// The event becomes signalled at tNs (or now, if tNs has passed). An earlier
// pending schedule is kept when it comes first.
void KernelScheduleEvent(HANDLE handle, std::int64_t tNs);

// A handle that names a simulator object (a shared surface).
HANDLE KernelCreateObjectHandle(void* object, const std::string& what);
void* KernelHandleObject(HANDLE handle);

// Emits a held event for every handle still open.
void KernelReportHeld();
void KernelReset();

}  // namespace sim
