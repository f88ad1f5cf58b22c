// The system library loader against the simulated Windows: every test runs in
// its own process, so the loader's process-wide caches start empty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/windows/sim_windows_state.h"
#include "sim_fixture.h"
#include "sysload/system_library.h"

namespace {

using fixture::Load;
using fixture::Loads;

std::vector<Load> BareLoads(std::vector<std::string> names, unsigned flags) {
  std::vector<Load> out;
  for (const std::string& n : names) out.push_back({n, flags});
  return out;
}

const std::vector<std::string> kSix = {"msasn1.dll", "cryptnet.dll", "drvstore.dll",
                                       "devobj.dll", "wldp.dll",     "cryptbase.dll"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SystemLibrary, NameWithSeparatorIsRefusedBeforeAnythingRuns) {
  fixture::Install("{}");
  for (const char16_t* name : {u"sub\\nvapi64.dll", u"sub/nvapi64.dll", u"C:\\x.dll"}) {
    SetLastError(0);
    EXPECT_EQ(LoadSystemLibraryW(name, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
    EXPECT_EQ(GetLastError(), 160u);
  }
  EXPECT_TRUE(fixture::Loads().empty());
  EXPECT_TRUE(fixture::Events("VerifyVersionInfoW").empty());
}

TEST(SystemLibrary, NullOrEmptyNameFailsWithInvalidParameter) {
  fixture::Install("{}");
  EXPECT_EQ(LoadSystemLibraryW(nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(LoadSystemLibraryW(u"", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_TRUE(fixture::Loads().empty());
}

TEST(SystemLibrary, Build9200ReadsTheRegistryAndLoadsBareNames) {
  fixture::Install("{}");  // confirms 9200, not 14308
  ASSERT_NE(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads(), BareLoads(With(With(kSix, {"Advapi32.dll"}), {"nvapi64.dll"}), 0x800));
  const auto queries = fixture::Events("RegQueryValueExW");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0]["value"], "CurrentBuildNumber");
  EXPECT_EQ(queries[0]["buffer"], false);
  EXPECT_EQ(queries[1]["buffer"], true);
  EXPECT_EQ(queries[1]["result"], 0);
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 0u);

  // The cached build answers the next gate; the dependencies are held.
  const size_t versionQueries = fixture::Events("VerifyVersionInfoW").size();
  ASSERT_NE(LoadSystemLibraryW(u"d3d12.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(fixture::Events("VerifyVersionInfoW").size(), versionQueries);
  EXPECT_EQ(Loads().back(), (Load{"d3d12.dll", 0x800}));
  EXPECT_EQ(Loads().size(), 9u);
}

TEST(SystemLibrary, Build14308NeedsNoRegistry) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 14308}})");
  ASSERT_NE(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads(), BareLoads(With(kSix, {"nvapi64.dll"}), 0x800));
  EXPECT_TRUE(fixture::Events("RegOpenKeyExW").empty());
}

TEST(SystemLibrary, BelowBuild9200EveryLoadPassesTheFullPathWithoutSearchFlags) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 7601, "searchFlagsSupported": false,
                       "registry": {"CurrentBuildNumber": "7601"}}})");
  ASSERT_NE(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  std::vector<Load> expected;
  for (const std::string& n : With(With(kSix, {"Advapi32.dll"}), {"nvapi64.dll"})) {
    expected.push_back({"C:\\Windows\\system32\\" + n, 0});
  }
  EXPECT_EQ(Loads(), expected);
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 0u);
}

TEST(SystemLibrary, SystemDirectoryEndingInBackslashGetsNoSecondOne) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 7601, "systemDirectory": "D:\\sys\\",
                       "files": {"D:\\sys\\nvapi64.dll": "present"}}})");
  LPWSTR path = MakeSystemDirectoryPath(u"nvapi64.dll");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::u16string(path), u"D:\\sys\\nvapi64.dll");
  LocalFree(path);
  EXPECT_EQ(MakeSystemDirectoryPath(nullptr), nullptr);
}

TEST(SystemLibrary, CallersSearchBitsAreMasked) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 14308}})");
  // 0x8 and 0x1000 never reach the loader; 0x2 passes through.
  ASSERT_NE(LoadSystemLibraryW(u"d3d12.dll", 0x800 | 0x8 | 0x1000 | 0x2), nullptr);
  EXPECT_EQ(Loads().back(), (Load{"d3d12.dll", 0x802}));
}

TEST(SystemLibrary, CallersSearchBitsAreClearedBelow9200) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 7601}})");
  ASSERT_NE(LoadSystemLibraryW(u"d3d12.dll", 0x800 | 0x8 | 0x100 | 0x2), nullptr);
  EXPECT_EQ(Loads().back(), (Load{"C:\\Windows\\system32\\d3d12.dll", 0x2}));
}

struct MfpmpCase {
  const char* image;
  bool exempt;
};

void PrintTo(const MfpmpCase& c, std::ostream* os) { *os << c.image; }

class Mfpmp : public ::testing::TestWithParam<MfpmpCase> {};

TEST_P(Mfpmp, ExemptImagesSkipThePreload) {
  fixture::Install(std::string(R"({"windows": {"versionQueryBuild": 14308, "imagePath": )") +
                   nlohmann::json(GetParam().image).dump() + "}}");
  ASSERT_NE(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  const size_t loads = Loads().size();
  EXPECT_EQ(loads, GetParam().exempt ? 1u : 7u) << GetParam().image;
}

INSTANTIATE_TEST_SUITE_P(Images, Mfpmp,
                         ::testing::Values(MfpmpCase{"C:\\Windows\\System32\\mfpmp.exe", true},
                                           MfpmpCase{"D:\\any\\mfpmp.dll", true},
                                           MfpmpCase{"C:\\Windows\\System32\\MFPMP.EXE", false},
                                           MfpmpCase{"C:\\Tools\\dmcheck.exe", false},
                                           MfpmpCase{"mfpmp.exe", false}));

TEST(SystemLibrary, AbsentDependencyIsSteppedOver) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 14308,
                       "files": {"C:\\Windows\\system32\\msasn1.dll": "absent"}}})");
  ASSERT_NE(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads(), BareLoads(With(kSix, {"nvapi64.dll"}), 0x800));
}

TEST(SystemLibrary, FailedPreloadWithNothingHeldIsRetried) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 14308,
                       "files": {"C:\\Windows\\system32\\msasn1.dll": "absent",
                                 "C:\\Windows\\system32\\cryptnet.dll": {"loadError": 5}}}})");
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(Loads(), BareLoads({"msasn1.dll", "cryptnet.dll"}, 0x800));
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads().size(), 4u);  // the pre-load ran again
}

TEST(SystemLibrary, FailedPreloadWithADependencyHeldRefusesEveryLaterLoad) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 14308,
                       "files": {"C:\\Windows\\system32\\drvstore.dll": {"loadError": 5}}}})");
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads(), BareLoads({"msasn1.dll", "cryptnet.dll", "drvstore.dll"}, 0x800));
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads().size(), 3u);  // no attempt at all
}

TEST(SystemLibrary, AllDependenciesAbsentRunsThePreloadAgain) {
  std::string files;
  for (const std::string& n : kSix) {
    files += (files.empty() ? "" : ",") + nlohmann::json("C:\\Windows\\system32\\" + n).dump() +
             ": \"absent\"";
  }
  fixture::Install(R"({"windows": {"versionQueryBuild": 14308, "files": {)" + files + "}}}");
  ASSERT_NE(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  ASSERT_NE(LoadSystemLibraryW(u"d3d12.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(Loads().size(), 14u);
}

TEST(SystemLibrary, NoPathBelow9200FailsInsteadOfSearchingTheBareName) {
  // GetSystemDirectoryW fails from its first call: no path can be formed.
  fixture::Install(R"({"windows": {"versionQueryBuild": 7601,
                       "failures": [{"function": "GetSystemDirectoryW", "first": 1}]}})");
  EXPECT_EQ(MakeSystemDirectoryPath(u"nvapi64.dll"), nullptr);
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  for (const Load& l : Loads()) EXPECT_NE(l.name, "nvapi64.dll") << "bare name searched";
  EXPECT_TRUE(Loads().empty());
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 0u);
}

TEST(SystemLibrary, FailedPathAllocationBelow9200FailsTheLoad) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 7601,
                       "failures": [{"function": "LocalAlloc", "first": 1}]}})");
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(GetLastError(), 8u);
  EXPECT_TRUE(Loads().empty());
}

struct BuildCase {
  const char* name;
  const char* value;  // the registry value's JSON
  bool cached;        // a second gate needs no version query
  bool answer;        // IsWindowsBuildAtLeast(14308)
};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

class RegistryParse : public ::testing::TestWithParam<BuildCase> {};

TEST_P(RegistryParse, CachesOnlyAllDigitStrings) {
  const BuildCase& c = GetParam();
  fixture::Install(std::string(R"({"windows": {"registry": {"CurrentBuildNumber": )") + c.value +
                   "}}}");
  EXPECT_EQ(IsWindowsBuildAtLeast(14308), c.answer);
  const size_t queries = fixture::Events("VerifyVersionInfoW").size();
  (void)IsWindowsBuildAtLeast(14308);
  EXPECT_EQ(fixture::Events("VerifyVersionInfoW").size() == queries, c.cached);
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegistryParse,
    ::testing::Values(
        BuildCase{"digits", R"("19045")", true, true}, BuildCase{"old", R"("10586")", true, false},
        BuildCase{"trailing_blank", R"("19045 ")", false, false},
        BuildCase{"empty", R"("")", false, false}, BuildCase{"missing", "null", false, false},
        BuildCase{"expand_sz", R"({"type": 2, "data": "19045"})", false, false},
        BuildCase{"dword", R"({"type": 4, "bytes": "4D4A0000"})", false, false},
        BuildCase{"no_terminator", R"({"type": 1, "bytes": "31003900300034003500"})", true, true},
        // Odd length: the last character is half there; the
        // block must still end in a whole zero character.
        BuildCase{"odd_length", R"({"type": 1, "bytes": "310039003000340035"})", true, true},
        BuildCase{"zero_length", R"({"type": 1, "bytes": ""})", false, false}),
    [](const ::testing::TestParamInfo<BuildCase>& p) { return std::string(p.param.name); });

TEST(SystemLibrary, RegistryKeyMissingIsNotCached) {
  fixture::Install(R"({"windows": {"registry": {"keyPresent": false}}})");
  EXPECT_FALSE(IsWindowsBuildAtLeast(14308));
  EXPECT_FALSE(IsWindowsBuildAtLeast(14308));
  EXPECT_EQ(fixture::Events("RegOpenKeyExW").size(), 2u);
}

TEST(SystemLibrary, ValueGrowingBetweenQueriesLeavesNoAllocation) {
  fixture::Install(R"({"windows": {"registry": {"growsBetweenQueries": true}}})");
  EXPECT_FALSE(IsWindowsBuildAtLeast(14308));
  const auto queries = fixture::Events("RegQueryValueExW");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[1]["result"], 234);
  EXPECT_EQ(sim::windows::OutstandingLocalAllocs(), 0u);
}

TEST(SystemLibrary, PlantedCopiesBesideTheProgramAreNeverLoaded) {
  fixture::Install(R"({"windows": {"versionQueryBuild": 7601, "searchFlagsSupported": false,
                       "files": {"C:\\Tools\\nvapi64.dll": "planted",
                                 "C:\\Users\\tester\\nvapi64.dll": "planted"}},
                       "driver": {"library": "absent"}})");
  EXPECT_EQ(LoadSystemLibraryW(u"nvapi64.dll", LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  EXPECT_TRUE(sim::ValidationErrors().empty());
}

}  // namespace
