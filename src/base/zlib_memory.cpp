#include "base/zlib_memory.h"

#include <cstdlib>

#include "base/checked_size.h"

namespace pngtrans {

voidpf zlibAllocate(voidpf /*opaque*/, uInt count, uInt size) {
  // The full product of count and size: truncating either factor would hand zlib a block
  // smaller than it asked for.
  size_t bytes = 0;
  if (!MulFitsSize(count, size, &bytes)) return Z_NULL;
  return std::calloc(bytes == 0 ? 1 : bytes, 1);
}

void zlibFree(voidpf /*opaque*/, voidpf block) {
  std::free(block);
}

void freeIfPresent(void* block) {
  if (block != nullptr) std::free(block);
}

}  // namespace pngtrans
