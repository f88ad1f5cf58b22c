// Loads Windows libraries by bare name from the system directory only, never
// from the program's directory, the current directory or PATH, where a planted
// copy could win.
#pragma once

#include "platform/platform.h"

// The loader's one entry. name is a bare file name; flags are LoadLibraryExW
// flags. Returns the module (now the caller's) or null with the thread's last
// error set.
HMODULE LoadSystemLibraryW(LPCWSTR name, DWORD flags);

// The steps behind the entry, exposed for tests.
HMODULE LoadFromSystemDirectory(LPCWSTR name, DWORD flags);
bool PreloadSystemDependencies(bool useFullPath);
// A LocalAlloc'd path: the system directory, a backslash and name; null when
// it cannot be formed. The caller frees it with LocalFree.
LPWSTR MakeSystemDirectoryPath(LPCWSTR name);
bool IsWindowsBuildAtLeast(DWORD build);
// Reads a registry value into a LocalAlloc'd block (the caller frees it);
// returns a Win32 error code, 0 on success.
LSTATUS ReadRegistryValue(HKEY key, LPCWSTR valueName, DWORD* type, BYTE** data);
