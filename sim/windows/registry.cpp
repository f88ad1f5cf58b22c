// The one registry key the program reads, with the size rules of
// RegQueryValueExW.
#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "sim/scenario.h"
#include "sim/trace.h"
#include "sim/windows/wide_text.h"
#include "sim/windows/windows_internal.h"

struct SimRegistryKey {
  std::string path;
  bool open = false;
};

namespace sim::windows {
namespace {

constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kBuildValue = "CurrentBuildNumber";

struct RegistryState {
  // Records are kept for the machine's life so that a closed key's handle
  // never names a new key.
  std::vector<std::unique_ptr<SimRegistryKey>> keys;
  // The value as it is now: it can grow between queries.
  std::optional<RegistryValue> buildNumber;
  bool loaded = false;
};

RegistryState& State() {
  static RegistryState state;
  return state;
}

std::optional<RegistryValue>& BuildNumber() {
  RegistryState& s = State();
  if (!s.loaded) {
    s.buildNumber = CurrentScenario().windows.currentBuildNumber;
    s.loaded = true;
  }
  return s.buildNumber;
}

SimRegistryKey* OpenKey(HKEY key) {
  for (const auto& record : State().keys) {
    if (record.get() == key && record->open) return record.get();
  }
  return nullptr;
}

bool IsPredefined(HKEY key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  return value >= 0x80000000u && value <= 0x80000006u;
}

// Makes the stored value one character longer, as a writer updating it
// between a reader's two queries would.
void Grow(RegistryValue& value) {
  const bool terminated = value.bytes.size() >= 2 && value.bytes[value.bytes.size() - 1] == 0 &&
                          value.bytes[value.bytes.size() - 2] == 0;
  const std::uint8_t digit[2] = {'0', 0};
  value.bytes.insert(terminated ? value.bytes.end() - 2 : value.bytes.end(), digit, digit + 2);
}

LSTATUS QueryValue(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData, nlohmann::json* size) {
  if (OpenKey(hKey) == nullptr) return ERROR_INVALID_HANDLE;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::optional<RegistryValue>& stored = BuildNumber();
  if (!EqualsNoCase(Utf16ToUtf8(WideView(lpValueName)), kBuildValue) || !stored) {
    return ERROR_FILE_NOT_FOUND;
  }
  const auto needed = static_cast<DWORD>(stored->bytes.size());
  if (lpType != nullptr) *lpType = stored->type;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = needed;
    *size = needed;
    if (CurrentScenario().windows.registryGrowsBetweenQueries) Grow(*stored);
    return ERROR_SUCCESS;
  }
  const DWORD given = *lpcbData;
  *lpcbData = needed;
  *size = needed;
  if (given < needed) return ERROR_MORE_DATA;
  if (needed != 0) std::memcpy(lpData, stored->bytes.data(), needed);
  return ERROR_SUCCESS;
}

}  // namespace

void RegistryReset() { State() = RegistryState{}; }

void RegistryReportHeld() {
  if (!TraceEnabled()) return;
  for (const auto& key : State().keys) {
    if (key->open) {
      TraceEmit("held", {{"kind", "handle"}, {"what", "registry key HKLM\\" + key->path}});
    }
  }
}

}  // namespace sim::windows

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  using namespace sim::windows;
  const std::string subKey = Utf16ToUtf8(WideView(lpSubKey));
  LSTATUS result = ERROR_SUCCESS;
  if (phkResult == nullptr) {
    result = ERROR_INVALID_PARAMETER;
  } else if (hKey != HKEY_LOCAL_MACHINE) {
    result = IsPredefined(hKey) || OpenKey(hKey) != nullptr ? ERROR_FILE_NOT_FOUND
                                                            : ERROR_INVALID_HANDLE;
  } else if (!EqualsNoCase(subKey, kVersionKey) ||
             !sim::CurrentScenario().windows.registryKeyPresent) {
    result = ERROR_FILE_NOT_FOUND;
  }
  if (result == ERROR_SUCCESS) {
    auto key = std::make_unique<SimRegistryKey>();
    key->path = subKey;
    key->open = true;
    *phkResult = key.get();
    State().keys.push_back(std::move(key));
  } else if (phkResult != nullptr) {
    *phkResult = nullptr;
  }
  if (sim::TraceEnabled()) {
    sim::TraceEmit("RegOpenKeyExW", {{"key", subKey}, {"result", result}});
  }
  return result;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  using namespace sim::windows;
  nlohmann::json size = nullptr;
  const LSTATUS result = QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData, &size);
  if (sim::TraceEnabled()) {
    sim::TraceEmit("RegQueryValueExW", {{"value", Utf16ToUtf8(WideView(lpValueName))},
                                        {"buffer", lpData != nullptr},
                                        {"size", size},
                                        {"result", result}});
  }
  return result;
}

LSTATUS RegCloseKey(HKEY hKey) {
  using namespace sim::windows;
  LSTATUS result = ERROR_SUCCESS;
  if (SimRegistryKey* key = OpenKey(hKey)) {
    key->open = false;
  } else if (!IsPredefined(hKey)) {
    result = ERROR_INVALID_HANDLE;
  }
  if (sim::TraceEnabled()) sim::TraceEmit("RegCloseKey", {{"result", result}});
  return result;
}
