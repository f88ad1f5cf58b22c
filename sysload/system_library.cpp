#include "sysload/system_library.h"

#include <cstring>

namespace {

constexpr DWORD kEntryBuildGate = 14308;
constexpr DWORD kSearchFlagBuild = 9200;
constexpr DWORD kOlderSystemMarker = 7600;
constexpr DWORD kMaskWithoutSystem32 = 0x1708;
constexpr DWORD kFullSearchMask = 0x1F08;
constexpr DWORD kSearchSystem32 = 0x800;
constexpr DWORD kBadArguments = 160;
constexpr DWORD kModNotFound = 126;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegMultiSz = 7;
constexpr DWORD kKeyQueryValue = 1;

constexpr int kDependencyCount = 6;
const WCHAR* const kDependencies[kDependencyCount] = {
    DM_WIDE("msasn1.dll"), DM_WIDE("cryptnet.dll"), DM_WIDE("drvstore.dll"),
    DM_WIDE("devobj.dll"), DM_WIDE("wldp.dll"),     DM_WIDE("cryptbase.dll"),
};

using RegOpenKeyExWFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
using RegQueryValueExWFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using RegCloseKeyFn = LSTATUS(WINAPI*)(HKEY);

// Process-wide caches: filled on first need, never released.
DWORD cachedBuildNumber = 0;
DWORD systemLoadBuild = 0;
BOOL preloadResult = TRUE;
HMODULE dependencyModules[kDependencyCount] = {};
HMODULE advapiModule = nullptr;
RegOpenKeyExWFn regOpenKeyExW = nullptr;
RegQueryValueExWFn regQueryValueExW = nullptr;
RegCloseKeyFn regCloseKey = nullptr;

template <class Fn>
Fn ResolveExport(HMODULE module, const char* name) {
  // GetProcAddress hands out a generic function pointer; the export's real
  // type is known by name.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool VersionQueryConfirms(DWORD build) {
  const ULONGLONG mask = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  OSVERSIONINFOEXW info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  info.dwBuildNumber = build;
  return VerifyVersionInfoW(&info, VER_BUILDNUMBER, mask) != 0;
}

bool EnsureAdvapi() {
  if (advapiModule == nullptr) advapiModule = LoadFromSystemDirectory(DM_WIDE("Advapi32.dll"), 0);
  return advapiModule != nullptr;
}

size_t WideLength(LPCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool ImageIsMfpmp() {
  char image[MAX_PATH];
  std::memset(image, 0, sizeof image);
  const DWORD length = GetModuleFileNameA(nullptr, image, MAX_PATH);
  // 10 is the length of "\mfpmp.exe".
  if (length == 0 || length < 10) return false;
  const char* last = std::strrchr(image, '\\');
  const char* from = last != nullptr ? last : image;
  return std::strncmp(from, "\\mfpmp.exe", 7) == 0;
}

}  // namespace

HMODULE LoadSystemLibraryW(LPCWSTR name, DWORD flags) {
  SetLastError(0);
  if (name == nullptr || name[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (LPCWSTR p = name; *p != 0; ++p) {
    if (*p == u'\\' || *p == u'/') {
      SetLastError(kBadArguments);
      return nullptr;
    }
  }
  // Evaluated for its effect: it reads and caches the build number. With
  // LOAD_LIBRARY_SEARCH_SYSTEM32 in flags the answer changes nothing below.
  (void)IsWindowsBuildAtLeast(kEntryBuildGate);
  return LoadFromSystemDirectory(name, flags);
}

HMODULE LoadFromSystemDirectory(LPCWSTR name, DWORD flags) {
  flags &= ~kMaskWithoutSystem32;
  if (systemLoadBuild == 0) {
    systemLoadBuild =
        VersionQueryConfirms(kSearchFlagBuild) ? kSearchFlagBuild : kOlderSystemMarker;
  }
  const bool useFullPath = systemLoadBuild < kSearchFlagBuild;
  if (!PreloadSystemDependencies(useFullPath)) return nullptr;

  if (!useFullPath) return LoadLibraryExW(name, nullptr, flags | kSearchSystem32);

  // Below 9200 the search flags may not exist: form the path ourselves. When
  // no path can be formed the load fails rather than fall back to the bare
  // name, whose default search would find a copy beside the program first.
  flags &= ~kFullSearchMask;
  LPWSTR path = MakeSystemDirectoryPath(name);
  if (path == nullptr) return nullptr;
  HMODULE module = LoadLibraryExW(path, nullptr, flags);
  const DWORD error = GetLastError();
  LocalFree(path);
  SetLastError(error);
  return module;
}

bool PreloadSystemDependencies(bool useFullPath) {
  if (ImageIsMfpmp()) return preloadResult != 0;
  for (HMODULE held : dependencyModules) {
    if (held != nullptr) return preloadResult != 0;
  }
  preloadResult = FALSE;
  LPWSTR paths[kDependencyCount] = {};
  bool allPassed = true;
  for (int i = 0; i < kDependencyCount; ++i) {
    LPCWSTR target = kDependencies[i];
    DWORD flags = kSearchSystem32;
    if (useFullPath) {
      paths[i] = MakeSystemDirectoryPath(kDependencies[i]);
      if (paths[i] == nullptr) {
        // No path to pass: counts as failed, like a refused load.
        allPassed = false;
        break;
      }
      target = paths[i];
      flags = 0;
    }
    dependencyModules[i] = LoadLibraryExW(target, nullptr, flags);
    if (dependencyModules[i] == nullptr && GetLastError() != kModNotFound) {
      allPassed = false;
      break;
    }
  }
  if (allPassed) preloadResult = TRUE;
  if (useFullPath) {
    const DWORD error = GetLastError();
    for (LPWSTR path : paths) {
      if (path != nullptr) LocalFree(path);
    }
    SetLastError(error);
  }
  return preloadResult != 0;
}

LPWSTR MakeSystemDirectoryPath(LPCWSTR name) {
  if (name == nullptr) return nullptr;
  const UINT needed = GetSystemDirectoryW(nullptr, 0);
  if (needed == 0) return nullptr;
  const size_t nameLength = WideLength(name);
  auto* buffer =
      static_cast<LPWSTR>(LocalAlloc(LMEM_ZEROINIT, (nameLength + needed + 1) * sizeof(WCHAR)));
  if (buffer == nullptr) return nullptr;
  UINT length = GetSystemDirectoryW(buffer, needed);
  // A failed or grown second answer leaves no directory to build on.
  if (length == 0 || length >= needed) {
    LocalFree(buffer);
    if (length != 0) SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return nullptr;
  }
  if (buffer[length - 1] != u'\\') buffer[length++] = u'\\';
  std::memcpy(buffer + length, name, nameLength * sizeof(WCHAR));
  return buffer;
}

bool IsWindowsBuildAtLeast(DWORD build) {
  if (cachedBuildNumber != 0) return cachedBuildNumber >= build;
  if (VersionQueryConfirms(build)) return true;

  LSTATUS status = 0;
  DWORD type = 0;
  BYTE* data = nullptr;
  if (!EnsureAdvapi()) {
    status = static_cast<LSTATUS>(GetLastError());
  } else {
    if (regOpenKeyExW == nullptr) {
      regOpenKeyExW = ResolveExport<RegOpenKeyExWFn>(advapiModule, "RegOpenKeyExW");
    }
    if (regCloseKey == nullptr) {
      regCloseKey = ResolveExport<RegCloseKeyFn>(advapiModule, "RegCloseKey");
    }
    if (regOpenKeyExW == nullptr || regCloseKey == nullptr) {
      status = static_cast<LSTATUS>(GetLastError());
    } else {
      HKEY key = nullptr;
      status = regOpenKeyExW(HKEY_LOCAL_MACHINE,
                             DM_WIDE("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"), 0,
                             kKeyQueryValue, &key);
      if (status == 0) {
        status = ReadRegistryValue(key, DM_WIDE("CurrentBuildNumber"), &type, &data);
        regCloseKey(key);
      }
    }
  }
  if (status == 0 && type == kRegSz && data != nullptr) {
    const auto* text = reinterpret_cast<const WCHAR*>(data);
    for (size_t i = 0; text[i] != 0; ++i) {
      if (text[i] < u'0' || text[i] > u'9') {
        cachedBuildNumber = 0;
        break;
      }
      cachedBuildNumber = cachedBuildNumber * 10 + static_cast<DWORD>(text[i] - u'0');
    }
  }
  if (data != nullptr) LocalFree(data);
  return cachedBuildNumber >= build;
}

LSTATUS ReadRegistryValue(HKEY key, LPCWSTR valueName, DWORD* type, BYTE** data) {
  if (!EnsureAdvapi()) return static_cast<LSTATUS>(GetLastError());
  if (regQueryValueExW == nullptr) {
    regQueryValueExW = ResolveExport<RegQueryValueExWFn>(advapiModule, "RegQueryValueExW");
    if (regQueryValueExW == nullptr) return static_cast<LSTATUS>(GetLastError());
  }
  DWORD valueType = 0;
  DWORD size = 0;
  LSTATUS status = regQueryValueExW(key, valueName, nullptr, &valueType, nullptr, &size);
  if (status != 0) return status;
  if (size == 0) return 0;
  DWORD extra = 0;
  if (valueType == kRegSz || valueType == kRegExpandSz) extra = 2;
  if (valueType == kRegMultiSz) extra = 4;
  // Whole UTF-16 characters, so odd-length string data still ends in a whole
  // zero character inside the block.
  const SIZE_T rounded = (static_cast<SIZE_T>(size) + 1) & ~static_cast<SIZE_T>(1);
  *data = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, rounded + extra));
  if (*data == nullptr) return static_cast<LSTATUS>(GetLastError());
  status = regQueryValueExW(key, valueName, nullptr, type, *data, &size);
  if (status != 0) {
    LocalFree(*data);
    *data = nullptr;
    return status;
  }
  return 0;
}
