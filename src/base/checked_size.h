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

// The largest block the module asks for: what a 32-bit module can address, on every target, so
// that a 64-bit build refuses exactly the sizes the shipped 32-bit one must refuse.
constexpr uint64_t kMaxBlockBytes = UINT32_MAX;

// a * b into *out when the product is at most kMaxBlockBytes.
inline bool MulFitsSize(size_t a, size_t b, size_t* out) {
  const uint64_t wideA = a;
  const uint64_t wideB = b;
  if (wideA > kMaxBlockBytes || wideB > kMaxBlockBytes) return false;
  if (wideA * wideB > kMaxBlockBytes) return false;
  *out = static_cast<size_t>(wideA * wideB);
  return true;
}

}  // namespace pngtrans
