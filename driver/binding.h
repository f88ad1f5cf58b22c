// Loading, binding and initialising the driver's API library.
#pragma once

#include <cstdint>

#include "driver/driver_api.h"

using QueryInterfaceFn = void* (*)(std::uint32_t functionId);
using EnterHookFn = void (*)(std::uint32_t functionId, std::uint64_t* context);
using LeaveHookFn = void (*)(std::uint32_t functionId, std::uint64_t context, DriverStatus status);

// The one process-wide binding; all null until a load and bind succeeded.
struct DriverBinding {
  HMODULE module;
  QueryInterfaceFn queryInterface;
  EnterHookFn enterHook;
  LeaveHookFn leaveHook;
};
extern DriverBinding driverBinding;

DriverStatus NvAPI_Initialize();
DriverStatus LoadDriverLibrary();
// Inline: every driver operation runs it first, so a bound library costs one
// test.
inline DriverStatus EnsureDriverLoaded() {
  if (driverBinding.module != nullptr) return kDriverOk;
  return LoadDriverLibrary();
}
DriverStatus BindDriverLibrary(HMODULE module);

// The initialisation lock: a critical section, never deleted.
class CSingletonCriticalSection {
 public:
  CSingletonCriticalSection();
  virtual ~CSingletonCriticalSection();
  CSingletonCriticalSection(const CSingletonCriticalSection&) = delete;
  CSingletonCriticalSection& operator=(const CSingletonCriticalSection&) = delete;
  void Enter();
  void Leave();

 private:
  CRITICAL_SECTION section_;
};
