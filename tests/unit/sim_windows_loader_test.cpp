// The simulated loader: search rules, refusals, planted files, reference
// counts, the exports of the built-in modules and the trace of each call.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/driver/sim_driver.h"
#include "sim/windows/sim_windows_state.h"
#include "sim_core_fixture.h"

namespace {

using simtest::Install;
using simtest::Wide;

HMODULE Load(const std::string& name, DWORD flags) {
  const std::u16string wide = Wide(name);
  return LoadLibraryExW(wide.c_str(), nullptr, flags);
}

struct LoadCase {
  const char* what;
  const char* scenario;  // "" for the default machine
  const char* name;
  DWORD flags;
  const char* path;  // the file loaded; null when the load fails
  DWORD error;
  const char* validation;  // expected validation error, or null for none
};

TEST(SimWindowsLoader, SearchRulesAndRefusals) {
  const char* planted = R"({"windows": {"files": {"C:\\Tools\\nvapi64.dll": "planted"}}})";
  const char* noSearchFlags = R"({"windows": {"searchFlagsSupported": false}})";
  const char* elsewhere = R"({"windows": {"path": ["D:\\bin"], "files": {
      "C:\\Users\\tester\\cwd.dll": "present", "D:\\bin\\onpath.dll": "present",
      "C:\\Windows\\windir.dll": "present", "C:\\Tools\\beside.dll": "present"}}})";
  const std::vector<LoadCase> cases = {
      {"system directory", "", "nvapi64.dll", 0x800, "C:\\Windows\\system32\\nvapi64.dll", 0,
       nullptr},
      {"names ignore case", "", "NVAPI64.DLL", 0x800, "C:\\Windows\\system32\\nvapi64.dll", 0,
       nullptr},
      {".dll is appended", "", "nvapi64", 0x800, "C:\\Windows\\system32\\nvapi64.dll", 0, nullptr},
      {"standard order from the system directory", "", "d3d12.dll", 0,
       "C:\\Windows\\system32\\d3d12.dll", 0, nullptr},
      {"planted copy beside the program wins the standard order", planted, "nvapi64.dll", 0,
       "C:\\Tools\\nvapi64.dll", 0, "planted library loaded: C:\\Tools\\nvapi64.dll"},
      {"SEARCH_SYSTEM32 skips the planted copy", planted, "nvapi64.dll", 0x800,
       "C:\\Windows\\system32\\nvapi64.dll", 0, nullptr},
      {"SEARCH_DEFAULT_DIRS includes the program's directory", planted, "nvapi64.dll", 0x1000,
       "C:\\Tools\\nvapi64.dll", 0, "planted library loaded: C:\\Tools\\nvapi64.dll"},
      {"a path is loaded from exactly there", planted, "C:\\Tools\\nvapi64.dll", 0,
       "C:\\Tools\\nvapi64.dll", 0, "planted library loaded: C:\\Tools\\nvapi64.dll"},
      {"a full system path", "", "c:\\windows\\SYSTEM32\\msasn1.dll", 0,
       "C:\\Windows\\system32\\msasn1.dll", 0, nullptr},
      {"forward slashes make a path too", "", "C:/Windows/system32/msasn1.dll", 0,
       "C:\\Windows\\system32\\msasn1.dll", 0, nullptr},
      {"a path that does not exist", "", "C:\\Tools\\msasn1.dll", 0, nullptr, 126, nullptr},
      {"current directory in the standard order", elsewhere, "cwd.dll", 0,
       "C:\\Users\\tester\\cwd.dll", 0, nullptr},
      {"current directory not with SEARCH_SYSTEM32", elsewhere, "cwd.dll", 0x800, nullptr, 126,
       nullptr},
      {"PATH in the standard order", elsewhere, "onpath.dll", 0, "D:\\bin\\onpath.dll", 0, nullptr},
      {"Windows directory in the standard order", elsewhere, "windir.dll", 0,
       "C:\\Windows\\windir.dll", 0, nullptr},
      {"SEARCH_APPLICATION_DIR", elsewhere, "beside.dll", 0x200, "C:\\Tools\\beside.dll", 0,
       nullptr},
      {"relative path from the current directory", elsewhere, ".\\cwd.dll", 0,
       "C:\\Users\\tester\\cwd.dll", 0, nullptr},
      {"not found", "", "missing.dll", 0x800, nullptr, 126, nullptr},
      {"absent driver library", R"({"driver": {"library": "absent"}})", "nvapi64.dll", 0x800,
       nullptr, 126, nullptr},
      {"absent default file",
       R"({"windows": {"files": {"C:\\Windows\\system32\\wldp.dll": "absent"}}})", "wldp.dll",
       0x800, nullptr, 126, nullptr},
      {"load error",
       R"({"windows": {"files": {"C:\\Windows\\system32\\cryptnet.dll": {"loadError": 5}}}})",
       "cryptnet.dll", 0x800, nullptr, 5, nullptr},
      {"ALTERED_SEARCH_PATH with SEARCH_SYSTEM32", "", "nvapi64.dll", 0x808, nullptr, 87, nullptr},
      {"ALTERED_SEARCH_PATH with SEARCH_DLL_LOAD_DIR", "", "C:\\Windows\\system32\\nvapi64.dll",
       0x108, nullptr, 87, nullptr},
      {"ALTERED_SEARCH_PATH alone", "", "C:\\Windows\\system32\\nvapi64.dll", 0x8,
       "C:\\Windows\\system32\\nvapi64.dll", 0, nullptr},
      {"no search flags before the loader update: 0x800", noSearchFlags, "nvapi64.dll", 0x800,
       nullptr, 87, nullptr},
      {"no search flags before the loader update: 0x100", noSearchFlags,
       "C:\\Windows\\system32\\nvapi64.dll", 0x100, nullptr, 87, nullptr},
      {"no search flags before the loader update: flags 0 work", noSearchFlags,
       "C:\\Windows\\system32\\nvapi64.dll", 0, "C:\\Windows\\system32\\nvapi64.dll", 0, nullptr},
      {"empty name", "", "", 0x800, nullptr, 87, nullptr},
      {"SEARCH_DLL_LOAD_DIR needs a full path", "", "nvapi64.dll", 0x900, nullptr, 87, nullptr},
      {"SEARCH_DLL_LOAD_DIR with a full path", "", "C:\\Windows\\system32\\nvapi64.dll", 0x900,
       "C:\\Windows\\system32\\nvapi64.dll", 0, nullptr},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    Install(c.scenario);
    SetLastError(0x1234);
    HMODULE module = Load(c.name, c.flags);
    const auto events = simtest::EventsOf("LoadLibraryExW");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["name"], c.name);
    EXPECT_EQ(events[0]["flags"], c.flags);
    if (c.path != nullptr) {
      EXPECT_NE(module, nullptr);
      EXPECT_EQ(events[0]["path"], c.path);
      EXPECT_EQ(events[0]["error"], 0);
      EXPECT_EQ(GetLastError(), 0x1234u) << "a successful load leaves the last error alone";
    } else {
      EXPECT_EQ(module, nullptr);
      EXPECT_TRUE(events[0]["path"].is_null());
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(events[0]["error"], c.error);
    }
    const auto& validations = sim::ValidationErrors();
    if (c.validation != nullptr) {
      ASSERT_EQ(validations.size(), 1u);
      EXPECT_EQ(validations[0], c.validation);
      ASSERT_EQ(simtest::EventsOf("validation").size(), 1u);
    } else {
      EXPECT_TRUE(validations.empty());
    }
  }
}

TEST(SimWindowsLoader, NullNameAndFileHandleAreInvalidParameters) {
  Install();
  EXPECT_EQ(LoadLibraryExW(nullptr, nullptr, 0x800), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  const std::u16string name = u"nvapi64.dll";
  int dummy = 0;
  EXPECT_EQ(LoadLibraryExW(name.c_str(), &dummy, 0x800), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  const auto events = simtest::EventsOf("LoadLibraryExW");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0]["name"].is_null());
}

TEST(SimWindowsLoader, LoadedModuleIsSharedAndCountsReferences) {
  Install();
  HMODULE first = Load("advapi32.dll", 0x800);
  HMODULE second = Load("ADVAPI32", 0);
  HMODULE byPath = Load("C:\\Windows\\System32\\advapi32.dll", 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first);
  EXPECT_EQ(byPath, first);
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_NE(GetProcAddress(first, "RegOpenKeyExW"), nullptr) << "one reference is left";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(sim::ValidationErrors().empty());
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(first, "RegOpenKeyExW"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  EXPECT_FALSE(FreeLibrary(first));
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_EQ(sim::ValidationErrors()[0], "FreeLibrary of a module that is not loaded");
  const auto frees = simtest::EventsOf("FreeLibrary");
  ASSERT_EQ(frees.size(), 4u);
  EXPECT_EQ(frees[0]["module"], "advapi32.dll");
  EXPECT_TRUE(frees[3]["module"].is_null());
}

TEST(SimWindowsLoader, ModuleOfTheSameNameIsUsedWhereverItCameFrom) {
  Install(R"({"windows": {"files": {"D:\\copy\\d3d12.dll": "present"}}})");
  HMODULE copy = Load("D:\\copy\\d3d12.dll", 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(Load("d3d12.dll", 0x800), copy);
  EXPECT_EQ(simtest::EventsOf("LoadLibraryExW")[1]["path"], "D:\\copy\\d3d12.dll");
}

TEST(SimWindowsLoader, ExportsOfTheBuiltInModules) {
  Install();
  HMODULE advapi = Load("advapi32.dll", 0x800);
  HMODULE nvapi = Load("nvapi64.dll", 0x800);
  HMODULE kernel = Load("kernel32.dll", 0x800);
  ASSERT_NE(advapi, nullptr);
  ASSERT_NE(nvapi, nullptr);
  ASSERT_NE(kernel, nullptr);
  using OpenFn = LSTATUS (*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
  EXPECT_EQ(reinterpret_cast<OpenFn>(
                reinterpret_cast<void (*)()>(GetProcAddress(advapi, "RegOpenKeyExW"))),
            &RegOpenKeyExW);
  EXPECT_NE(GetProcAddress(advapi, "RegQueryValueExW"), nullptr);
  EXPECT_NE(GetProcAddress(advapi, "RegCloseKey"), nullptr);
  EXPECT_EQ(GetProcAddress(nvapi, "nvapi_QueryInterface"), sim::driver::QueryInterfaceExport());
  struct Missing {
    HMODULE module;
    const char* name;
  };
  for (const Missing& m : {Missing{advapi, "regopenkeyexw"}, Missing{advapi, "RegOpenKeyExA"},
                           Missing{nvapi, "NvAPI_Initialize"}, Missing{kernel, "LoadLibraryExW"}}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(m.module, m.name), nullptr) << m.name;
    EXPECT_EQ(GetLastError(), 127u) << m.name;
  }
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(advapi, reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(3))),
            nullptr);
  EXPECT_EQ(GetLastError(), 127u);
  const int notAModule = 0;
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(const_cast<int*>(&notAModule)),
                           "nvapi_QueryInterface"),
            nullptr);
  EXPECT_EQ(GetLastError(), 126u);

  const auto events = simtest::EventsOf("GetProcAddress");
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[0]["module"], "advapi32.dll");
  EXPECT_EQ(events[0]["name"], "RegOpenKeyExW");
  EXPECT_EQ(events[0]["found"], true);
  EXPECT_EQ(events[3]["module"], "nvapi64.dll");
  EXPECT_EQ(events[4]["found"], false);
  EXPECT_EQ(events.back()["found"], false);
  EXPECT_TRUE(events.back()["module"].is_null());
}

TEST(SimWindowsLoader, DriverLibraryWithoutItsExportAndPlantedCopiesExportNothing) {
  Install(R"({"driver": {"library": "noQueryInterface"}})");
  HMODULE nvapi = Load("nvapi64.dll", 0x800);
  ASSERT_NE(nvapi, nullptr);
  EXPECT_EQ(GetProcAddress(nvapi, "nvapi_QueryInterface"), nullptr);
  EXPECT_EQ(GetLastError(), 127u);

  Install(R"({"windows": {"files": {"C:\\Tools\\advapi32.dll": "planted"}}})");
  HMODULE planted = Load("advapi32.dll", 0);
  ASSERT_NE(planted, nullptr);
  EXPECT_EQ(GetProcAddress(planted, "RegOpenKeyExW"), nullptr);
  EXPECT_EQ(GetLastError(), 127u);
}

TEST(SimWindowsLoader, NewMachineForgetsLoadedModules) {
  Install();
  HMODULE old = Load("nvapi64.dll", 0x800);
  ASSERT_NE(old, nullptr);
  Install();
  EXPECT_EQ(GetProcAddress(old, "nvapi_QueryInterface"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  HMODULE fresh = Load("nvapi64.dll", 0x800);
  EXPECT_NE(fresh, nullptr);
  EXPECT_NE(fresh, old);
}

TEST(SimWindowsPaths, SystemDirectorySizesAsWindowsReportsThem) {
  Install();
  const std::u16string expected = u"C:\\Windows\\system32";
  const UINT needed = static_cast<UINT>(expected.size()) + 1;
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), needed);
  std::vector<WCHAR> buffer(64, u'#');
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), needed - 1), needed);
  EXPECT_EQ(buffer[0], u'#') << "a buffer too small is not written";
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), needed), needed - 1);
  EXPECT_EQ(std::u16string(buffer.data()), expected);
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), 64), needed - 1);
}

TEST(SimWindowsPaths, SystemDirectoryForcedFailure) {
  Install(
      R"({"windows": {"failures": [{"function": "GetSystemDirectoryW", "first": 2, "count": 1}]}})");
  std::vector<WCHAR> buffer(64);
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), 20u);
  SetLastError(0);
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), 64), 0u);
  EXPECT_EQ(GetLastError(), 8u);
  EXPECT_EQ(GetSystemDirectoryW(buffer.data(), 64), 19u);
}

TEST(SimWindowsPaths, ModuleFileNameTruncatesAsWindowsDoes) {
  Install();
  const std::string image = "C:\\Tools\\dmcheck.exe";  // 20 characters
  struct Case {
    DWORD size;
    DWORD result;
    const char* text;
    bool insufficient;
  };
  for (const Case& c :
       {Case{260, 20, "C:\\Tools\\dmcheck.exe", false},
        Case{21, 20, "C:\\Tools\\dmcheck.exe", false}, Case{20, 20, "C:\\Tools\\dmcheck.ex", true},
        Case{5, 5, "C:\\T", true}, Case{1, 1, "", true}}) {
    std::vector<char> buffer(300, '#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), c.size), c.result) << c.size;
    EXPECT_STREQ(buffer.data(), c.text) << c.size;
    EXPECT_EQ(buffer[c.size], '#') << "nothing past the buffer, size " << c.size;
    EXPECT_EQ(GetLastError(), c.insufficient ? 122u : 0u) << c.size;
  }
  char one = '#';
  EXPECT_EQ(GetModuleFileNameA(nullptr, &one, 0), 0u);
  EXPECT_EQ(one, '#');
  HMODULE nvapi = Load("nvapi64.dll", 0x800);
  std::vector<char> buffer(260);
  EXPECT_EQ(GetModuleFileNameA(nvapi, buffer.data(), 260), 31u);
  EXPECT_STREQ(buffer.data(), "C:\\Windows\\system32\\nvapi64.dll");
}

}  // namespace
