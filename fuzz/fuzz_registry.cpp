// The loader's registry read and build-number parse against adversarial
// values. Each input is a simulated machine whose CurrentBuildNumber has any
// type and any bytes (and sometimes a missing key, a missing value, a value
// that grows between the two queries, or a failing LocalAlloc).
//
// ReadRegistryValue keeps nothing between calls but the resolved functions, so
// it is judged on every input. IsWindowsBuildAtLeast caches the first build
// number it parses for the rest of the process; inputs that would fill the
// cache are judged in a forked child, so that the parent's cache stays empty
// and every later input still reaches the parse.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"
#include "sim/windows/sim_windows_state.h"
#include "sysload/system_library.h"

namespace {

constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegMultiSz = 7;
constexpr DWORD kTypeUntouched = 0xFEEDu;
constexpr const char16_t* kVersionKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// The default machine without a build number in the registry.
sim::Scenario Base() {
  sim::Scenario s = sim::DefaultScenario();
  s.windows.currentBuildNumber.reset();
  return s;
}

struct Case {
  sim::Scenario scenario = Base();
  std::u16string valueName = u"CurrentBuildNumber";
  DWORD build = 14308;
  bool allocFails = false;
};

Case Draw(FuzzedDataProvider& in) {
  Case c;
  sim::WindowsScenario& w = c.scenario.windows;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      w.versionQueryBuild = 9200;
      break;
    case 1:
      w.versionQueryBuild = 7601;
      break;
    case 2:
      w.versionQueryBuild = 14308;
      break;
    default:
      w.versionQueryBuild = in.ConsumeIntegral<std::uint32_t>();
      break;
  }
  c.build = in.ConsumeBool() ? 14308 : in.ConsumeIntegral<std::uint32_t>();
  const auto flags = in.ConsumeIntegral<std::uint8_t>();
  w.registryKeyPresent = (flags & 0x0F) != 0;
  const bool valuePresent = (flags & 0x30) != 0;
  w.registryGrowsBetweenQueries = (flags & 0xC0) == 0xC0;
  const auto more = in.ConsumeIntegral<std::uint8_t>();
  c.allocFails = (more & 0x1F) == 0;
  if ((more & 0xE0) == 0) c.valueName = (more & 1) != 0 ? u"currentbuildnumber" : u"BuildNumber";
  if (c.allocFails) w.failures.push_back({"LocalAlloc", {1, 1}});
  if (valuePresent) {
    sim::RegistryValue v;
    const auto kind = in.ConsumeIntegral<std::uint8_t>();
    if (kind < 160) {
      v.type = kRegSz;
    } else if (kind < 176) {
      v.type = kRegExpandSz;
    } else if (kind < 192) {
      v.type = kRegMultiSz;
    } else if (kind < 208) {
      v.type = 0;
    } else if (kind < 224) {
      v.type = 4;  // REG_DWORD
    } else {
      v.type = in.ConsumeIntegral<std::uint32_t>();
    }
    v.bytes = in.ConsumeRemainingBytes<std::uint8_t>();
    w.currentBuildNumber = v;
  }
  return c;
}

void Install(const Case& c) {
  sim::MachineOptions options;
  options.time = sim::TimeMode::Virtual;
  options.traceInMemory = true;
  sim::MachineInstall(c.scenario, options);
}

std::size_t Calls(const char* call) {
  std::size_t n = 0;
  for (const nlohmann::json& e : sim::TraceEvents()) {
    if (e.value("call", "") == call) ++n;
  }
  return n;
}

DWORD ExtraZeroBytes(DWORD type) {
  if (type == kRegSz || type == kRegExpandSz) return 2;
  if (type == kRegMultiSz) return 4;
  return 0;
}

bool NameMatches(const std::u16string& name) {
  // The simulated registry, like Windows, ignores case in value names.
  const std::u16string want = u"currentbuildnumber";
  if (name.size() != want.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t ch = name[i];
    if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
    if (ch != want[i]) return false;
  }
  return true;
}

// ReadRegistryValue, straight on the machine's key.
void CheckRead(const Case& c) {
  const sim::WindowsScenario& w = c.scenario.windows;
  HKEY key = nullptr;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVersionKey, 0, 1, &key);
  FUZZ_CHECK((opened == 0) == w.registryKeyPresent);

  std::uint8_t untouched = 0;
  DWORD type = kTypeUntouched;
  BYTE* data = &untouched;
  const LSTATUS status = ReadRegistryValue(key, c.valueName.c_str(), &type, &data);

  if (opened != 0) {
    FUZZ_CHECK(status == ERROR_INVALID_HANDLE);
    FUZZ_CHECK(data == &untouched && type == kTypeUntouched);
  } else if (!w.currentBuildNumber || !NameMatches(c.valueName)) {
    FUZZ_CHECK(status == ERROR_FILE_NOT_FOUND);
    FUZZ_CHECK(data == &untouched && type == kTypeUntouched);
  } else if (w.currentBuildNumber->bytes.empty()) {
    // Nothing to read: nothing allocated, nothing written.
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(data == &untouched && type == kTypeUntouched);
  } else if (c.allocFails) {
    FUZZ_CHECK(status == ERROR_NOT_ENOUGH_MEMORY);
    FUZZ_CHECK(data == nullptr);
  } else if (w.registryGrowsBetweenQueries) {
    FUZZ_CHECK(status == ERROR_MORE_DATA);
    FUZZ_CHECK(data == nullptr);
  } else {
    const sim::RegistryValue& v = *w.currentBuildNumber;
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(type == v.type);
    FUZZ_CHECK(data != nullptr && data != &untouched);
    FUZZ_CHECK(std::memcmp(data, v.bytes.data(), v.bytes.size()) == 0);
    // The block holds at least the value and its extra zero bytes; a shorter
    // block shows as an ASan report here.
    for (DWORD i = 0; i < ExtraZeroBytes(v.type); ++i) FUZZ_CHECK(data[v.bytes.size() + i] == 0);
    if (v.type == kRegSz || v.type == kRegExpandSz || v.type == kRegMultiSz) {
      // A whole zero character ends the text inside the block.
      const std::size_t chars = (v.bytes.size() + 1) / 2 + 1;
      bool terminated = false;
      for (std::size_t i = 0; i < chars && !terminated; ++i) {
        terminated = data[2 * i] == 0 && data[2 * i + 1] == 0;
      }
      FUZZ_CHECK(terminated);
    }
  }
  if (data != nullptr && data != &untouched) FUZZ_CHECK(LocalFree(data) == nullptr);
  if (opened == 0) RegCloseKey(key);
  FUZZ_CHECK(sim::windows::OutstandingLocalAllocs() == 0);
}

// The build number the registry read yields, 0 when it yields none.
DWORD ModelBuildNumber(const Case& c) {
  const sim::WindowsScenario& w = c.scenario.windows;
  if (!w.registryKeyPresent || !w.currentBuildNumber) return 0;
  const sim::RegistryValue& v = *w.currentBuildNumber;
  if (v.bytes.empty() || c.allocFails || w.registryGrowsBetweenQueries) return 0;
  if (v.type != kRegSz) return 0;
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < v.bytes.size(); i += 2) {
    const unsigned ch = v.bytes[i] | (i + 1 < v.bytes.size() ? v.bytes[i + 1] << 8 : 0u);
    if (ch == 0) break;
    if (ch < '0' || ch > '9') return 0;
    number = number * 10 + (ch - '0');  // wraps, as the loader's 32-bit arithmetic does
  }
  return number;
}

// In the child: the build test fills the cache with parsed, and from then on
// the cache answers alone.
bool JudgeCacheFill(const Case& c, DWORD parsed) {
  bool ok = IsWindowsBuildAtLeast(c.build) == (parsed >= c.build);
  ok = ok && sim::windows::OutstandingLocalAllocs() == 0;
  const std::size_t queries = Calls("VerifyVersionInfoW");
  const std::size_t reads = Calls("RegQueryValueExW");
  ok = ok && IsWindowsBuildAtLeast(parsed);
  if (parsed != 0xFFFFFFFFu) ok = ok && !IsWindowsBuildAtLeast(parsed + 1);
  ok = ok && Calls("VerifyVersionInfoW") == queries && Calls("RegQueryValueExW") == reads;
  if (!ok) std::fprintf(stderr, "fuzz_registry: the cache-filling build test broke its rules\n");
  return ok;
}

void CheckBuildTest(const Case& c) {
  const std::uint32_t actual = c.scenario.windows.versionQueryBuild;
  if (actual >= c.build) {
    // The version query answers; nothing is read or cached.
    FUZZ_CHECK(IsWindowsBuildAtLeast(c.build));
    FUZZ_CHECK(Calls("RegQueryValueExW") == 0);
    return;
  }
  const DWORD parsed = ModelBuildNumber(c);
  if (parsed == 0) {
    FUZZ_CHECK(!IsWindowsBuildAtLeast(c.build));
    FUZZ_CHECK(sim::windows::OutstandingLocalAllocs() == 0);
    // The forced failure covers one allocation only: a second test would
    // read the value and cache it.
    if (c.allocFails) return;
    // Nothing cached: the next test asks the version query again.
    const std::size_t queries = Calls("VerifyVersionInfoW");
    FUZZ_CHECK(!IsWindowsBuildAtLeast(c.build));
    FUZZ_CHECK(Calls("VerifyVersionInfoW") == queries + 1);
    FUZZ_CHECK(sim::windows::OutstandingLocalAllocs() == 0);
    return;
  }
  // This input fills the process-wide cache: judge it in a child. A broken
  // invariant ends the child with exit code 1; anything else that ends it is
  // not this input's doing (the machine is shared), so the child is retried.
  for (int attempt = 0;; ++attempt) {
    const pid_t child = fork();
    FUZZ_CHECK(child >= 0);
    if (child == 0) _exit(JudgeCacheFill(c, parsed) ? 0 : 1);
    int status = 0;
    // libFuzzer's timeout alarm interrupts the wait.
    pid_t waited = -1;
    do {
      waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    FUZZ_CHECK(waited == child);
    if (WIFEXITED(status)) {
      FUZZ_CHECK(WEXITSTATUS(status) == 0);
      return;
    }
    std::fprintf(stderr, "fuzz_registry: child ended by signal %d\n",
                 WIFSIGNALED(status) ? WTERMSIG(status) : -1);
    FUZZ_CHECK(attempt < 2);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Resolve Advapi32.dll and its functions once, on a machine whose build
  // number is missing, so that nothing is cached and no later input's forced
  // LocalAlloc failure meets the loader's own first loads.
  Case c;
  Install(c);
  FUZZ_CHECK(!IsWindowsBuildAtLeast(14308));
  FUZZ_CHECK(Calls("RegQueryValueExW") == 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Case c = Draw(in);
  Install(c);
  CheckRead(c);
  // A fresh machine: the value may have grown, the forced failure was used.
  Install(c);
  CheckBuildTest(c);
  // The parent's cache must still be empty, or every later input is judged
  // wrongly: the next test on a machine without a value asks the version query.
  Install(Case{});
  FUZZ_CHECK(!IsWindowsBuildAtLeast(0xFFFFFFFFu));
  FUZZ_CHECK(Calls("VerifyVersionInfoW") == 1);
  return 0;
}
