// Counts every heap allocation of the process (malloc, calloc, realloc and
// the aligned forms; operator new reaches them too).
#pragma once

#include <cstdint>

namespace bench {

std::uint64_t AllocationCount();

}  // namespace bench
