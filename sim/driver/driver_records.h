// The driver's view of the two records it exchanges with its callers. It reads
// and writes them by byte offset only, never through a caller's declaration,
// so that a caller whose layout is wrong sees the consequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sim::driver {

inline constexpr std::size_t kDisplayRecordSize = 16;
inline constexpr std::size_t kDisplayIdOffset = 0;

inline constexpr std::size_t kModeRecordSize = 48;
inline constexpr std::uint32_t kModeRecordVersion = 0x00020030u;  // size 48, version 2
inline constexpr std::size_t kModeVersionOffset = 0;
inline constexpr std::size_t kModeWidthOffset = 4;
inline constexpr std::size_t kModeHeightOffset = 8;
inline constexpr std::size_t kModeRefreshNumeratorOffset = 12;
inline constexpr std::size_t kModeRefreshDenominatorOffset = 16;
inline constexpr std::size_t kModeFormatOffset = 20;
inline constexpr std::size_t kModeDscModeOffset = 32;
inline constexpr std::size_t kModeDscVerOffset = 36;
inline constexpr std::size_t kModeSlicesOffset = 40;
inline constexpr std::size_t kModeBppx16Offset = 44;

inline std::uint32_t LoadU32(const void* record, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
  return value;
}

inline void StoreU32(void* record, std::size_t offset, std::uint32_t value) {
  std::memcpy(static_cast<unsigned char*>(record) + offset, &value, sizeof value);
}

}  // namespace sim::driver
