// Overflow-checked size arithmetic for sizes that come from files and hosts. On the 32-bit
// targets a wrapped product is a real hazard: every allocation whose size derives from
// untrusted input goes through these helpers first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pngtrans {

// a * b into *out when it fits in 32 bits.
inline bool MulFits32(uint32_t a, uint32_t b, uint32_t* out) {
  const uint64_t product = static_cast<uint64_t>(a) * b;
  if (product > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(product);
  return true;
}

// a + b into *out when it fits in 32 bits.
inline bool AddFits32(uint32_t a, uint32_t b, uint32_t* out) {
  const uint64_t sum = static_cast<uint64_t>(a) + b;
  if (sum > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(sum);
  return true;
}

// The same for size_t, which is 32 bits on both targets.
inline bool MulFitsSize(size_t a, size_t b, size_t* out) {
  if (a != 0 && b > SIZE_MAX / a) return false;
  *out = a * b;
  return true;
}

}  // namespace pngtrans
