// The library loader of the simulated Windows: LoadLibraryExW's search rules
// over the scenario's files, modules with reference counts, and the exports
// of the built-in modules.
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "sim/driver/sim_driver.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"
#include "sim/windows/sim_windows_state.h"
#include "sim/windows/wide_text.h"
#include "sim/windows/windows_internal.h"

// A loaded file. Records are never freed, so that a handle the program kept
// from an earlier machine can never name a new module by accident.
struct SimModule {
  std::string path;      // as the scenario spells it
  std::string fileName;  // its last component
  sim::LibraryFile::Kind kind = sim::LibraryFile::Kind::Present;
  std::uint32_t refs = 0;
  bool live = false;
};

namespace sim::windows {
namespace {

constexpr DWORD kSearchBits = 0x1F00;

std::vector<std::unique_ptr<SimModule>>& Modules() {
  static std::vector<std::unique_ptr<SimModule>> modules;
  return modules;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Directory(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsAbsolute(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) return true;
  return !path.empty() && IsSeparator(path[0]);
}

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (IsSeparator(directory.back())) return directory + name;
  return directory + "\\" + name;
}

// One spelling per file: backslashes, no "." or ".." or doubled separators.
std::string Canonical(const std::string& path) {
  std::string prefix;
  std::size_t start = 0;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    prefix = "\\\\";
    start = 2;
  } else if (!path.empty() && IsSeparator(path[0])) {
    prefix = "\\";
    start = 1;
  }
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      // Never above the drive or share.
      if (parts.size() > 1 || (parts.size() == 1 && !prefix.empty())) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (std::size_t i = start; i < path.size(); ++i) {
    if (IsSeparator(path[i])) {
      flush();
    } else {
      part += path[i];
    }
  }
  flush();
  std::string out = prefix;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += '\\';
    out += parts[i];
  }
  return out;
}

bool SamePath(const std::string& a, const std::string& b) {
  return EqualsNoCase(Canonical(a), Canonical(b));
}

// The scenario's entry for a file, or null when the file does not exist.
const std::pair<const std::string, LibraryFile>* FindFile(const std::string& path) {
  for (const auto& entry : CurrentScenario().windows.files) {
    if (entry.second.kind != LibraryFile::Kind::Absent && SamePath(entry.first, path)) {
      return &entry;
    }
  }
  return nullptr;
}

SimModule* LiveModule(HMODULE handle) {
  for (const auto& module : Modules()) {
    if (module.get() == handle && module->live) return module.get();
  }
  return nullptr;
}

// The directories a bare name is looked for in, in order.
std::vector<std::string> SearchOrder(DWORD flags) {
  const WindowsScenario& w = CurrentScenario().windows;
  const std::string imageDirectory = Directory(w.imagePath);
  std::vector<std::string> directories;
  if ((flags & kSearchBits) == 0) {
    directories = {imageDirectory, w.systemDirectory, Directory(Canonical(w.systemDirectory)),
                   w.currentDirectory};
    directories.insert(directories.end(), w.path.begin(), w.path.end());
  } else {
    // No directories are added with AddDllDirectory on this machine, so
    // LOAD_LIBRARY_SEARCH_USER_DIRS adds nothing; LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
    // applies to paths only.
    if ((flags & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) != 0) {
      directories.push_back(imageDirectory);
    }
    if ((flags & (LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) != 0) {
      directories.push_back(w.systemDirectory);
    }
  }
  std::vector<std::string> usable;
  for (const std::string& directory : directories) {
    if (!directory.empty()) usable.push_back(directory);
  }
  return usable;
}

// Windows appends ".dll" to a last component without an extension; a
// trailing dot says "no extension" and is dropped.
std::string WithExtension(std::string name) {
  const std::string last = FileName(name);
  if (!last.empty() && last.back() == '.') {
    name.pop_back();
  } else if (last.find('.') == std::string::npos) {
    name += ".dll";
  }
  return name;
}

HMODULE Reference(SimModule* module) {
  ++module->refs;
  return module;
}

HMODULE Load(const std::string& path, LibraryFile::Kind kind) {
  auto module = std::make_unique<SimModule>();
  module->path = path;
  module->fileName = FileName(path);
  module->kind = kind;
  module->refs = 1;
  module->live = true;
  Modules().push_back(std::move(module));
  if (kind == LibraryFile::Kind::Planted) RecordValidation("planted library loaded: " + path);
  return Modules().back().get();
}

template <typename Function>
FARPROC AsExport(Function* function) {
  // Through void(*)(), the one function type every other converts to without
  // a cast-function-type warning.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC FindExport(const SimModule& module, const std::string& name) {
  if (module.kind != LibraryFile::Kind::Present) return nullptr;
  if (EqualsNoCase(module.fileName, "advapi32.dll")) {
    if (name == "RegOpenKeyExW") return AsExport(&RegOpenKeyExW);
    if (name == "RegQueryValueExW") return AsExport(&RegQueryValueExW);
    if (name == "RegCloseKey") return AsExport(&RegCloseKey);
  }
  if (EqualsNoCase(module.fileName, "nvapi64.dll") && name == "nvapi_QueryInterface" &&
      CurrentScenario().driver.library != DriverScenario::Library::NoQueryInterface) {
    return sim::driver::QueryInterfaceExport();
  }
  return nullptr;
}

HMODULE LoadLibraryImpl(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags, std::string* loaded) {
  auto fail = [](DWORD error) -> HMODULE {
    SetLastError(error);
    return nullptr;
  };
  if (hFile != nullptr) return fail(ERROR_INVALID_PARAMETER);
  const std::u16string_view wide = WideView(lpLibFileName);
  if (wide.empty()) return fail(ERROR_INVALID_PARAMETER);
  const DWORD searchBits = dwFlags & kSearchBits;
  if (searchBits != 0 && !CurrentScenario().windows.searchFlagsSupported) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & LOAD_WITH_ALTERED_SEARCH_PATH) != 0 && searchBits != 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const std::string name = WithExtension(Utf16ToUtf8(wide));
  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR searches the file's own directory, so it
  // needs a fully qualified path.
  if ((dwFlags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) != 0 && !IsAbsolute(name)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::string> candidates;
  if (name.find_first_of("\\/") != std::string::npos) {
    const std::string full =
        IsAbsolute(name) ? name : Join(CurrentScenario().windows.currentDirectory, name);
    for (const auto& module : Modules()) {
      if (module->live && SamePath(module->path, full)) {
        *loaded = module->path;
        return Reference(module.get());
      }
    }
    candidates.push_back(full);
  } else {
    // A module of that name already in the process is used, wherever it
    // came from.
    for (const auto& module : Modules()) {
      if (module->live && EqualsNoCase(module->fileName, name)) {
        *loaded = module->path;
        return Reference(module.get());
      }
    }
    for (const std::string& directory : SearchOrder(dwFlags)) {
      candidates.push_back(Join(directory, name));
    }
  }
  for (const std::string& candidate : candidates) {
    const auto* file = FindFile(candidate);
    if (file == nullptr) continue;
    if (file->second.kind == LibraryFile::Kind::LoadError) return fail(file->second.loadError);
    for (const auto& module : Modules()) {
      if (module->live && SamePath(module->path, file->first)) {
        *loaded = module->path;
        return Reference(module.get());
      }
    }
    *loaded = file->first;
    return Load(file->first, file->second.kind);
  }
  return fail(ERROR_MOD_NOT_FOUND);
}

}  // namespace

void LoaderReset() {
  for (const auto& module : Modules()) module->live = false;
}

}  // namespace sim::windows

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  using namespace sim::windows;
  std::string loaded;
  HMODULE module = LoadLibraryImpl(lpLibFileName, hFile, dwFlags, &loaded);
  if (sim::TraceEnabled()) {
    nlohmann::json name = nullptr;
    if (lpLibFileName != nullptr) name = Utf16ToUtf8(WideView(lpLibFileName));
    nlohmann::json path = nullptr;
    if (module != nullptr) path = loaded;
    sim::TraceEmit("LoadLibraryExW", {{"name", name},
                                      {"flags", dwFlags},
                                      {"path", path},
                                      {"error", module != nullptr ? 0u : GetLastError()}});
  }
  return module;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  using namespace sim::windows;
  SimModule* module = LiveModule(hModule);
  // Names below 0x10000 are ordinals; the built-in modules export by name.
  const bool ordinal = reinterpret_cast<std::uintptr_t>(lpProcName) < 0x10000;
  const std::string name = ordinal
                               ? "#" + std::to_string(reinterpret_cast<std::uintptr_t>(lpProcName))
                               : std::string(lpProcName);
  FARPROC found = nullptr;
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
  } else {
    if (!ordinal) found = FindExport(*module, name);
    if (found == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  }
  if (sim::TraceEnabled()) {
    nlohmann::json moduleName = nullptr;
    if (module != nullptr) moduleName = module->fileName;
    sim::TraceEmit("GetProcAddress",
                   {{"module", moduleName}, {"name", name}, {"found", found != nullptr}});
  }
  return found;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  using namespace sim::windows;
  SimModule* module = LiveModule(hLibModule);
  if (sim::TraceEnabled()) {
    nlohmann::json moduleName = nullptr;
    if (module != nullptr) moduleName = module->fileName;
    sim::TraceEmit("FreeLibrary", {{"module", moduleName}});
  }
  if (module == nullptr) {
    sim::RecordValidation("FreeLibrary of a module that is not loaded");
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (--module->refs == 0) module->live = false;
  return TRUE;
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  using namespace sim::windows;
  if (ForcedFailure("GetSystemDirectoryW")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  const std::u16string directory = Utf8ToUtf16(sim::CurrentScenario().windows.systemDirectory);
  const auto length = static_cast<UINT>(directory.size());
  // Too small (or no buffer): the size needed, terminator included.
  if (lpBuffer == nullptr || uSize <= length) return length + 1;
  directory.copy(lpBuffer, length);
  lpBuffer[length] = u'\0';
  return length;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  using namespace sim::windows;
  std::string path;
  if (hModule == nullptr) {
    path = sim::CurrentScenario().windows.imagePath;
  } else if (const SimModule* module = LiveModule(hModule)) {
    path = module->path;
  } else {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize == 0) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  if (lpFilename == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (path.size() < nSize) {
    path.copy(lpFilename, path.size());
    lpFilename[path.size()] = '\0';
    return static_cast<DWORD>(path.size());
  }
  // Truncated: nSize - 1 characters and the terminator; the result is nSize.
  path.copy(lpFilename, nSize - 1);
  lpFilename[nSize - 1] = '\0';
  SetLastError(kErrorInsufficientBuffer);
  return nSize;
}
