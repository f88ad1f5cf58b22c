#include "driver/binding.h"

#include <cstdlib>
#include <new>

#include "driver/entries.h"
#include "sysload/system_library.h"

DriverBinding driverBinding = {nullptr, nullptr, nullptr, nullptr};

namespace {

CSingletonCriticalSection* initializationLock = nullptr;

void DestroyInitializationLock() {
  delete initializationLock;
  initializationLock = nullptr;
}

CSingletonCriticalSection& InitializationLock() {
  if (initializationLock == nullptr) {
    initializationLock = new CSingletonCriticalSection();
    std::atexit(DestroyInitializationLock);
  }
  return *initializationLock;
}

}  // namespace

CSingletonCriticalSection::CSingletonCriticalSection() { InitializeCriticalSection(&section_); }

// The critical section is deliberately not deleted: the process is ending.
CSingletonCriticalSection::~CSingletonCriticalSection() = default;

void CSingletonCriticalSection::Enter() { EnterCriticalSection(&section_); }

void CSingletonCriticalSection::Leave() { LeaveCriticalSection(&section_); }

DriverStatus NvAPI_Initialize() {
  CSingletonCriticalSection& lock = InitializationLock();
  lock.Enter();
  const DriverStatus status = EnsureDriverLoaded();
  lock.Leave();
  return status;
}

DriverStatus LoadDriverLibrary() {
  HMODULE module = LoadSystemLibraryW(DM_WIDE("nvapi64.dll"), LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return kDriverNotLoaded;
  const DriverStatus status = BindDriverLibrary(module);
  if (status != kDriverOk) {
    FreeLibrary(module);
    return status;
  }
  // Last, so that a set handle always comes with a finished bind.
  driverBinding.module = module;
  return kDriverOk;
}

DriverStatus BindDriverLibrary(HMODULE module) {
  auto queryInterface = reinterpret_cast<QueryInterfaceFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "nvapi_QueryInterface")));
  if (queryInterface == nullptr) return kDriverEntryMissing;
  using InitializeFn = DriverStatus (*)();
  auto initialize = reinterpret_cast<InitializeFn>(queryInterface(driver_ids::kInitialize));
  if (initialize == nullptr) return kDriverEntryMissing;
  const DriverStatus status = initialize();
  if (status != kDriverOk) return status;
  auto enter = reinterpret_cast<EnterHookFn>(queryInterface(driver_ids::kEnterHook));
  auto leave = reinterpret_cast<LeaveHookFn>(queryInterface(driver_ids::kLeaveHook));
  // Hooks come as a pair or not at all.
  if (enter != nullptr && leave != nullptr) {
    driverBinding.enterHook = enter;
    driverBinding.leaveHook = leave;
  } else {
    driverBinding.enterHook = nullptr;
    driverBinding.leaveHook = nullptr;
  }
  driverBinding.queryInterface = queryInterface;
  ClearDriverEntryCache();
  return kDriverOk;
}
