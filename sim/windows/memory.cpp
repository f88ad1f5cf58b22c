// LocalAlloc and LocalFree, counted so that the end of a run shows what the
// program did not free, and the critical sections' bookkeeping.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/platform.h"
#include "sim/machine.h"
#include "sim/trace.h"
#include "sim/windows/sim_windows_state.h"
#include "sim/windows/windows_internal.h"

namespace sim::windows {
namespace {

// Fresh blocks without LMEM_ZEROINIT are filled with this, so that a program
// that relies on zeroed memory it did not ask for shows it.
constexpr unsigned char kUninitialisedFill = 0xCD;

struct Block {
  std::uint64_t serial = 0;
  std::size_t size = 0;
};

struct MemoryState {
  std::unordered_map<void*, Block> blocks;
  std::uint64_t nextSerial = 0;
};

MemoryState& Memory() {
  static MemoryState state;
  return state;
}

struct CriticalSectionState {
  bool initialised = false;
  std::uint32_t depth = 0;
};

std::unordered_map<const CRITICAL_SECTION*, CriticalSectionState>& Sections() {
  static std::unordered_map<const CRITICAL_SECTION*, CriticalSectionState> sections;
  return sections;
}

// The state of an initialised critical section; null, with the fault recorded
// against call, for one that is not.
CriticalSectionState* Initialised(const CRITICAL_SECTION* section, const char* call) {
  auto it = Sections().find(section);
  if (it == Sections().end() || !it->second.initialised) {
    sim::RecordValidation(std::string(call) + " of a critical section that is not initialised");
    return nullptr;
  }
  return &it->second;
}

}  // namespace

std::uint64_t OutstandingLocalAllocs() { return Memory().blocks.size(); }

void MemoryReportHeld() {
  if (!TraceEnabled()) return;
  std::map<std::uint64_t, std::size_t> bySerial;
  for (const auto& [pointer, block] : Memory().blocks) bySerial[block.serial] = block.size;
  for (const auto& [serial, size] : bySerial) {
    TraceEmit("held", {{"kind", "localAlloc"},
                       {"what", "LocalAlloc block #" + std::to_string(serial + 1) + " of " +
                                    std::to_string(size) + " bytes"}});
  }
}

void MemoryReset() {
  for (auto& [pointer, block] : Memory().blocks) std::free(pointer);
  Memory().blocks.clear();
  Memory().nextSerial = 0;
  // Critical sections live in the program's memory, not the machine's: a lock
  // the program initialised stays initialised across machines.
}

}  // namespace sim::windows

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  using namespace sim::windows;
  if (ForcedFailure("LocalAlloc")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = std::malloc(uBytes == 0 ? 1 : uBytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(block, (uFlags & LMEM_ZEROINIT) != 0 ? 0 : kUninitialisedFill,
              uBytes == 0 ? 1 : uBytes);
  Memory().blocks[block] = Block{Memory().nextSerial++, uBytes};
  return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
  using namespace sim::windows;
  if (hMem == nullptr) return nullptr;
  auto it = Memory().blocks.find(hMem);
  if (it == Memory().blocks.end()) {
    // A block that is not ours, or one freed already: Windows fails the call;
    // the real heap may corrupt itself first.
    sim::RecordValidation(
        "LocalFree of a block that LocalAlloc did not hand out or that was freed");
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  std::free(hMem);
  Memory().blocks.erase(it);
  return nullptr;
}

void InitializeCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  if (lpCriticalSection == nullptr) {
    sim::RecordValidation("InitializeCriticalSection of a null critical section");
    return;
  }
  *lpCriticalSection = CRITICAL_SECTION{nullptr, -1, 0, nullptr, nullptr, 0};
  sim::windows::Sections()[lpCriticalSection] = sim::windows::CriticalSectionState{true, 0};
}

void EnterCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  auto* state = sim::windows::Initialised(lpCriticalSection, "EnterCriticalSection");
  if (state == nullptr) return;
  ++state->depth;
  lpCriticalSection->recursionCount = static_cast<LONG>(state->depth);
}

void LeaveCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  auto* state = sim::windows::Initialised(lpCriticalSection, "LeaveCriticalSection");
  if (state == nullptr) return;
  if (state->depth == 0) {
    sim::RecordValidation("LeaveCriticalSection without a matching EnterCriticalSection");
    return;
  }
  --state->depth;
  lpCriticalSection->recursionCount = static_cast<LONG>(state->depth);
}

void DeleteCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  auto* state = sim::windows::Initialised(lpCriticalSection, "DeleteCriticalSection");
  if (state == nullptr) return;
  if (state->depth != 0) {
    sim::RecordValidation("DeleteCriticalSection of a critical section that is still entered");
  }
  sim::windows::Sections().erase(lpCriticalSection);
}
