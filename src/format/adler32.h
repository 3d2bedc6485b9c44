// Adler-32, the check value of a zlib stream, with SSE2 where the target has it. The same
// values as zlib's adler32() for every input, in a fraction of its time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pngtrans {

// The running check value after data (start with 1, as zlib does).
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length);

}  // namespace pngtrans
