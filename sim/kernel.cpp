// Kernel objects: events and object handles, and the waits on them. Waits
// follow the machine's clock: in virtual time a wait jumps to the moment its
// event is signalled (or its time-out), in real time it sleeps until then.
#include "sim/kernel.h"

#include <optional>
#include <vector>

#include "sim/clock.h"
#include "sim/machine.h"
#include "sim/trace.h"
#include "sim/windows/sim_windows_state.h"

namespace sim {
namespace {

struct KernelObject {
  bool open = true;
  bool isEvent = false;
  bool manualReset = false;
  bool signalled = false;
  std::optional<std::int64_t> scheduledNs;
  void* object = nullptr;
  std::string what;
};

// Handle values look like Windows' (small multiples of 4) and are never
// dereferenced; they index this table.
constexpr std::uintptr_t kHandleBase = 0x100;
constexpr std::uintptr_t kHandleStep = 4;

std::vector<KernelObject>& Objects() {
  static std::vector<KernelObject> objects;
  return objects;
}

HANDLE MakeHandle(std::size_t index) {
  return reinterpret_cast<HANDLE>(kHandleBase + kHandleStep * (index + 1));
}

KernelObject* Find(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value <= kHandleBase || (value - kHandleBase) % kHandleStep != 0) return nullptr;
  const std::size_t index = (value - kHandleBase) / kHandleStep - 1;
  auto& objects = Objects();
  if (index >= objects.size() || !objects[index].open) return nullptr;
  return &objects[index];
}

// Applies a scheduled signal whose time has come.
void Settle(KernelObject& event) {
  if (event.scheduledNs && *event.scheduledNs <= ClockPeekNs()) {
    event.signalled = true;
    event.scheduledNs.reset();
  }
}

HANDLE Add(KernelObject object) {
  auto& objects = Objects();
  objects.push_back(std::move(object));
  return MakeHandle(objects.size() - 1);
}

}  // namespace

HANDLE KernelCreateEvent(bool manualReset, bool initiallySignalled, const std::string& what) {
  KernelObject event;
  event.isEvent = true;
  event.manualReset = manualReset;
  event.signalled = initiallySignalled;
  event.what = what;
  return Add(std::move(event));
}

bool KernelIsEvent(HANDLE handle) {
  const KernelObject* object = Find(handle);
  return object != nullptr && object->isEvent;
}

void KernelSetEvent(HANDLE handle) {
  KernelObject* object = Find(handle);
  if (object != nullptr && object->isEvent) object->signalled = true;
}

void KernelScheduleEvent(HANDLE handle, std::int64_t tNs) {
  KernelObject* object = Find(handle);
  if (object == nullptr || !object->isEvent) return;
  if (tNs <= ClockPeekNs()) {
    object->signalled = true;
    return;
  }
  if (!object->scheduledNs || tNs < *object->scheduledNs) object->scheduledNs = tNs;
}

HANDLE KernelCreateObjectHandle(void* object, const std::string& what) {
  KernelObject entry;
  entry.object = object;
  entry.what = what;
  return Add(std::move(entry));
}

void* KernelHandleObject(HANDLE handle) {
  const KernelObject* object = Find(handle);
  return object != nullptr && !object->isEvent ? object->object : nullptr;
}

void KernelReportHeld() {
  if (!TraceEnabled()) return;
  for (const KernelObject& object : Objects()) {
    if (object.open) TraceEmit("held", {{"kind", "handle"}, {"what", object.what}});
  }
}

void KernelReset() { Objects().clear(); }

}  // namespace sim

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (sim::windows::ForcedFailure("CreateEventA")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::string what = "event from CreateEventA";
  if (lpName != nullptr) what += std::string(" \"") + lpName + "\"";
  return sim::KernelCreateEvent(bManualReset != FALSE, bInitialState != FALSE, what);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  sim::KernelObject* event = sim::Find(hHandle);
  if (event == nullptr || !event->isEvent) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  sim::Settle(*event);
  if (!event->signalled) {
    const std::int64_t now = sim::ClockPeekNs();
    const bool infinite = dwMilliseconds == INFINITE;
    const std::int64_t deadline = now + static_cast<std::int64_t>(dwMilliseconds) * 1'000'000;
    if (event->scheduledNs && (infinite || *event->scheduledNs <= deadline)) {
      sim::ClockAdvanceTo(*event->scheduledNs);
      event = sim::Find(hHandle);
      sim::Settle(*event);
      // Real time can wake a little early; the signal is due regardless.
      event->signalled = true;
      event->scheduledNs.reset();
    } else if (infinite) {
      // Nothing can signal it on this single-threaded machine: a real wait
      // would hang forever.
      sim::RecordValidation("WaitForSingleObject(INFINITE) on " + event->what +
                            " that is never signalled");
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    } else {
      sim::ClockAdvanceTo(deadline);
      return WAIT_TIMEOUT;
    }
  }
  if (!event->manualReset) event->signalled = false;
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
  sim::KernelObject* object = sim::Find(hObject);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->open = false;
  return TRUE;
}
