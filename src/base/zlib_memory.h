// The memory functions the codec hands to zlib, and the teardown helper.
#pragma once

#include <zlib.h>

namespace pngtrans {

// count * size bytes from the C heap, zero-filled; null when the product overflows or the heap
// has no room. The opaque pointer (the codec state) is not used.
voidpf zlibAllocate(voidpf opaque, uInt count, uInt size);
void zlibFree(voidpf opaque, voidpf block);

// Frees a block only when the pointer is not null.
void freeIfPresent(void* block);

}  // namespace pngtrans
