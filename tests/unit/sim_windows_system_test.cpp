// The rest of the simulated Windows: the version query, the registry's size
// rules, LocalAlloc accounting, critical sections and forced failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/windows/sim_windows_state.h"
#include "sim_core_fixture.h"

namespace {

using simtest::Install;

BOOL AskBuild(DWORD build) {
  OSVERSIONINFOEXW info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  info.dwBuildNumber = build;
  const ULONGLONG mask = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, VER_BUILDNUMBER, mask);
}

TEST(SimWindowsVersion, ConfirmsBuildsUpToTheScenariosBuild) {
  struct Case {
    std::uint32_t machine;
    DWORD asked;
    bool confirmed;
  };
  for (const Case& c :
       {Case{9200, 9200, true}, Case{9200, 7600, true}, Case{9200, 9201, false},
        Case{9200, 14308, false}, Case{7601, 9200, false}, Case{19045, 14308, true}}) {
    Install(R"({"windows": {"versionQueryBuild": )" + std::to_string(c.machine) + "}}");
    SetLastError(0);
    EXPECT_EQ(AskBuild(c.asked) != FALSE, c.confirmed) << c.machine << " " << c.asked;
    EXPECT_EQ(GetLastError(), c.confirmed ? 0u : 1150u);
    const auto events = simtest::EventsOf("VerifyVersionInfoW");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["build"], c.asked);
    EXPECT_EQ(events[0]["result"], c.confirmed);
  }
}

TEST(SimWindowsVersion, ConditionMaskPlacesThreeBitsPerType) {
  EXPECT_EQ(VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL), ULONGLONG{3} << 6);
  EXPECT_EQ(VerSetConditionMask(ULONGLONG{3} << 6, 2, 1),
            (ULONGLONG{3} << 6) | (ULONGLONG{1} << 3));
  EXPECT_EQ(VerSetConditionMask(ULONGLONG{3} << 6, VER_BUILDNUMBER, 1), ULONGLONG{1} << 6);
}

TEST(SimWindowsVersion, MalformedQueriesFail) {
  Install();
  OSVERSIONINFOEXW info;
  std::memset(&info, 0, sizeof info);
  info.dwBuildNumber = 7600;
  const ULONGLONG mask = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_BUILDNUMBER, mask)) << "record size not set";
  EXPECT_EQ(GetLastError(), 87u);
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_BUILDNUMBER, 0));
  EXPECT_EQ(GetLastError(), 160u);
  EXPECT_TRUE(VerifyVersionInfoW(&info, VER_BUILDNUMBER, mask));
}

struct Registry {
  HMODULE advapi = nullptr;
  HKEY key = nullptr;
  LSTATUS openResult = 0;
};

Registry OpenVersionKey(
    const std::u16string& subKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion") {
  Registry r;
  r.openResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, &r.key);
  return r;
}

TEST(SimWindowsRegistry, SizeQueryThenRead) {
  Install();
  Registry r = OpenVersionKey();
  ASSERT_EQ(r.openResult, 0);
  DWORD type = 99;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(type, REG_SZ);
  std::vector<BYTE> data(size, 0xAA);
  EXPECT_EQ(RegQueryValueExW(r.key, u"currentbuildnumber", nullptr, &type, data.data(), &size), 0);
  EXPECT_EQ(size, 12u);
  const std::u16string text(u"19045\0", 6);
  EXPECT_EQ(std::memcmp(data.data(), text.data(), 12), 0);
  EXPECT_EQ(RegCloseKey(r.key), 0);
  EXPECT_EQ(RegCloseKey(r.key), ERROR_INVALID_HANDLE);

  const auto queries = simtest::EventsOf("RegQueryValueExW");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0]["value"], "CurrentBuildNumber");
  EXPECT_EQ(queries[0]["buffer"], false);
  EXPECT_EQ(queries[0]["size"], 12);
  EXPECT_EQ(queries[0]["result"], 0);
  EXPECT_EQ(queries[1]["buffer"], true);
  const auto opens = simtest::EventsOf("RegOpenKeyExW");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0]["key"], "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  EXPECT_EQ(opens[0]["result"], 0);
  const auto closes = simtest::EventsOf("RegCloseKey");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[1]["result"], ERROR_INVALID_HANDLE);
}

TEST(SimWindowsRegistry, BufferTooSmallFailsWithMoreDataAndReportsTheSize) {
  Install(
      R"({"windows": {"registry": {"CurrentBuildNumber": {"type": 3, "bytes": "0102030405"}}}})");
  Registry r = OpenVersionKey();
  DWORD type = 0;
  DWORD size = 4;
  std::vector<BYTE> data(8, 0);
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, &type, data.data(), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, 3u);
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, &type, data.data(), &size), 0);
  EXPECT_EQ(data[4], 5);
  EXPECT_EQ(data[5], 0) << "nothing past the value's size";
}

TEST(SimWindowsRegistry, MissingKeyOrValue) {
  Install(R"({"windows": {"registry": {"keyPresent": false}}})");
  Registry closed = OpenVersionKey();
  EXPECT_EQ(closed.openResult, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(closed.key, nullptr);

  Install(R"({"windows": {"registry": {"CurrentBuildNumber": null}}})");
  Registry r = OpenVersionKey(u"software\\microsoft\\WINDOWS NT\\currentversion");
  ASSERT_EQ(r.openResult, 0);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(r.key, u"ProductName", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenVersionKey(u"SOFTWARE\\Microsoft\\Windows").openResult, ERROR_FILE_NOT_FOUND);
}

TEST(SimWindowsRegistry, ValueThatGrowsBetweenQueriesFailsTheRead) {
  Install(R"({"windows": {"registry": {"growsBetweenQueries": true}}})");
  Registry r = OpenVersionKey();
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(size, 12u);
  std::vector<BYTE> data(size + 2, 0);  // room for the terminator a reader adds
  DWORD given = size;
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, &type, data.data(), &given),
            ERROR_MORE_DATA);
  EXPECT_EQ(given, 14u);
  const auto queries = simtest::EventsOf("RegQueryValueExW");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[1]["size"], 14);
  EXPECT_EQ(queries[1]["result"], ERROR_MORE_DATA);
}

TEST(SimWindowsRegistry, BadArgumentsAreRefused) {
  Install();
  Registry r = OpenVersionKey();
  DWORD size = 0;
  DWORD reserved = 0;
  BYTE data[16];
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(r.key, u"CurrentBuildNumber", nullptr, nullptr, data, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(nullptr, u"CurrentBuildNumber", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                          KEY_QUERY_VALUE, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST(SimWindowsRegistry, OpenKeyAtExitIsHeld) {
  Install();
  Registry r = OpenVersionKey();
  ASSERT_EQ(r.openResult, 0);
  sim::MachineReportHeld();
  bool found = false;
  for (const auto& event : simtest::EventsOf("held")) {
    found = found || (event["kind"] == "handle" &&
                      event["what"].get<std::string>().find("registry key") != std::string::npos);
  }
  EXPECT_TRUE(found);
}

TEST(SimWindowsMemory, LocalAllocZeroesCountsAndReportsWhatIsLeft) {
  Install();
  auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 64));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(zeroed[i], 0) << i;
  auto* raw = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, 16));
  ASSERT_NE(raw, nullptr);
  EXPECT_NE(raw[0], 0) << "only LMEM_ZEROINIT promises zeroes";
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 2u);
  EXPECT_EQ(LocalFree(zeroed), nullptr);
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 1u);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_TRUE(sim::ValidationErrors().empty());
  sim::MachineReportHeld();
  const auto held = simtest::EventsOf("held");
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]["kind"], "localAlloc");
  EXPECT_NE(held[0]["what"].get<std::string>().find("16 bytes"), std::string::npos);
  LocalFree(raw);
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 0u);
}

TEST(SimWindowsMemory, DoubleFreeIsCaughtNotPerformed) {
  Install();
  void* block = LocalAlloc(LPTR, 8);
  ASSERT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(block), block);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
}

TEST(SimWindowsMemory, ForcedFailuresFollowTheirCallWindow) {
  Install(R"({"windows": {"failures": [{"function": "LocalAlloc", "first": 2, "count": 2},
                                       {"function": "CreateEventA", "first": 2}]}})");
  std::vector<void*> blocks;
  std::vector<bool> failed;
  for (int i = 0; i < 5; ++i) {
    SetLastError(0);
    void* block = LocalAlloc(LPTR, 4);
    failed.push_back(block == nullptr);
    if (block == nullptr) {
      EXPECT_EQ(GetLastError(), 8u);
    } else {
      blocks.push_back(block);
    }
  }
  EXPECT_EQ(failed, (std::vector<bool>{false, true, true, false, false}));
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 3u);
  for (void* block : blocks) LocalFree(block);
  EXPECT_NE(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
}

TEST(SimWindowsLocks, LeaveWithoutEnterIsAValidationError) {
  Install();
  CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  EnterCriticalSection(&lock);
  EnterCriticalSection(&lock);
  LeaveCriticalSection(&lock);
  LeaveCriticalSection(&lock);
  EXPECT_TRUE(sim::ValidationErrors().empty());
  LeaveCriticalSection(&lock);
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_EQ(sim::ValidationErrors()[0],
            "LeaveCriticalSection without a matching EnterCriticalSection");
  CRITICAL_SECTION never;
  std::memset(&never, 0, sizeof never);
  EnterCriticalSection(&never);
  EXPECT_EQ(sim::ValidationErrors().size(), 2u);
}

TEST(SimWindowsLocks, EachCallNamesItselfOnALockThatIsNotInitialised) {
  const struct {
    void (*call)(CRITICAL_SECTION*);
    const char* message;
  } cases[] = {
      {EnterCriticalSection, "EnterCriticalSection of a critical section that is not initialised"},
      {LeaveCriticalSection, "LeaveCriticalSection of a critical section that is not initialised"},
      {DeleteCriticalSection,
       "DeleteCriticalSection of a critical section that is not initialised"},
  };
  for (const auto& c : cases) {
    Install();
    CRITICAL_SECTION never;
    std::memset(&never, 0, sizeof never);
    c.call(&never);
    ASSERT_EQ(sim::ValidationErrors().size(), 1u) << c.message;
    EXPECT_EQ(sim::ValidationErrors()[0], c.message);
  }
}

TEST(SimWindowsLocks, DeletingAnEnteredLockIsAnErrorAndStillDeletesIt) {
  Install();
  CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  EnterCriticalSection(&lock);
  DeleteCriticalSection(&lock);
  ASSERT_EQ(sim::ValidationErrors().size(), 1u);
  EXPECT_EQ(sim::ValidationErrors()[0],
            "DeleteCriticalSection of a critical section that is still entered");
  LeaveCriticalSection(&lock);
  ASSERT_EQ(sim::ValidationErrors().size(), 2u);
  EXPECT_EQ(sim::ValidationErrors()[1],
            "LeaveCriticalSection of a critical section that is not initialised");
}

TEST(SimWindowsLocks, LockSurvivesANewMachine) {
  // The lock lives in the program's memory; a new machine must not forget it.
  Install();
  CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  Install();
  EnterCriticalSection(&lock);
  LeaveCriticalSection(&lock);
  EXPECT_TRUE(sim::ValidationErrors().empty());
}

}  // namespace
