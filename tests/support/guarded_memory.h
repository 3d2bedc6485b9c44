// Buffers placed flush against an inaccessible guard page, so that any access one byte past
// the end crashes the test at once (mmap/mprotect on Linux, VirtualAlloc/VirtualProtect on
// Windows).
#pragma once

#include <cstddef>

namespace pngtrans::test {

// size bytes ending exactly at a guard page; contents unspecified (filled with 0xCD).
void* GuardedAlloc(size_t size);
void GuardedFree(void* block);

}  // namespace pngtrans::test
