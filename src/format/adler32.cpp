#include "format/adler32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pngtrans {

namespace {

constexpr uint32_t kBase = 65521;
// The most bytes whose sums cannot overflow 32 bits before the modulo, a multiple of 16.
constexpr size_t kBlock = 5552;

#if defined(__SSE2__)
inline uint32_t SumLanes(__m128i v) {
  v = _mm_add_epi32(v, _mm_srli_si128(v, 8));
  v = _mm_add_epi32(v, _mm_srli_si128(v, 4));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}
#endif

}  // namespace

uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t length) {
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
#if defined(__SSE2__)
  // Per block of n = 16k bytes: b grows by n * a, plus every byte times the number of bytes
  // from it to the block's end. Within a 16-byte group that count is 16 - i (the weights);
  // each earlier group adds 16 times its byte sum once more per later group (the prefix sums).
  const __m128i zero = _mm_setzero_si128();
  const __m128i lowWeights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i highWeights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (length >= 16) {
    const size_t block = (length < kBlock ? length : kBlock) & ~static_cast<size_t>(15);
    length -= block;
    __m128i sums = zero;      // byte sums (in the low halves of two 64-bit lanes)
    __m128i prefixes = zero;  // the byte sums before each group, added up
    __m128i weighted = zero;
    for (size_t i = 0; i < block; i += 16, data += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
      prefixes = _mm_add_epi32(prefixes, sums);
      sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), lowWeights));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), highWeights));
    }
    const uint64_t grownB =
        b + static_cast<uint64_t>(a) * block + 16ull * SumLanes(prefixes) + SumLanes(weighted);
    a = (a + SumLanes(sums)) % kBase;
    b = static_cast<uint32_t>(grownB % kBase);
  }
#endif
  while (length > 0) {
    const size_t block = length < kBlock ? length : kBlock;
    length -= block;
    for (size_t i = 0; i < block; ++i) {
      a += *data++;
      b += a;
    }
    a %= kBase;
    b %= kBase;
  }
  return b << 16 | a;
}

}  // namespace pngtrans
