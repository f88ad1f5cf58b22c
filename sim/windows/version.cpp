// The version query: the machine confirms builds up to versionQueryBuild, and
// only the build number is modelled.
#include "platform/platform.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace {

constexpr DWORD kVerEqual = 1;
constexpr DWORD kVerGreater = 2;
constexpr DWORD kVerGreaterEqual = 3;
constexpr DWORD kVerLess = 4;
constexpr DWORD kVerLessEqual = 5;
constexpr unsigned kBuildNumberBit = 2;  // VER_BUILDNUMBER is 1 << 2

// Each type bit owns three bits of the condition mask, in bit order.
DWORD ConditionFor(ULONGLONG mask, unsigned typeBit) {
  return static_cast<DWORD>((mask >> (3 * typeBit)) & 7);
}

}  // namespace

ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition) {
  if (TypeMask == 0) return ConditionMask;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if ((TypeMask & (1u << bit)) == 0) continue;
    ConditionMask &= ~(ULONGLONG{7} << (3 * bit));
    ConditionMask |= static_cast<ULONGLONG>(Condition & 7) << (3 * bit);
  }
  return ConditionMask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                        DWORDLONG dwlConditionMask) {
  BOOL result = FALSE;
  DWORD error = ERROR_SUCCESS;
  DWORD build = 0;
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
    error = ERROR_INVALID_PARAMETER;
  } else if (dwTypeMask == 0 || dwlConditionMask == 0) {
    error = ERROR_BAD_ARGUMENTS;
  } else if (dwTypeMask != VER_BUILDNUMBER) {
    sim::RecordValidation("VerifyVersionInfoW: only VER_BUILDNUMBER is modelled on this machine");
    error = ERROR_BAD_ARGUMENTS;
  } else {
    build = lpVersionInformation->dwBuildNumber;
    const std::uint32_t actual = sim::CurrentScenario().windows.versionQueryBuild;
    bool confirmed = false;
    switch (ConditionFor(dwlConditionMask, kBuildNumberBit)) {
      case kVerEqual:
        confirmed = actual == build;
        break;
      case kVerGreater:
        confirmed = actual > build;
        break;
      case kVerGreaterEqual:
        confirmed = actual >= build;
        break;
      case kVerLess:
        confirmed = actual < build;
        break;
      case kVerLessEqual:
        confirmed = actual <= build;
        break;
      default:
        error = ERROR_BAD_ARGUMENTS;
        break;
    }
    if (error == ERROR_SUCCESS) {
      result = confirmed ? TRUE : FALSE;
      if (!confirmed) error = ERROR_OLD_WIN_VERSION;
    }
  }
  if (error != ERROR_SUCCESS) SetLastError(error);
  if (sim::TraceEnabled()) {
    sim::TraceEmit("VerifyVersionInfoW", {{"build", build}, {"result", result != FALSE}});
  }
  return result;
}
