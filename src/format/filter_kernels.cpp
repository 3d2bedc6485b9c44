#include "format/filter_kernels.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pngtrans {

namespace {

inline uint32_t Magnitude(uint8_t b) {
  return b < 128 ? b : 256u - b;
}

// p = a + b - c; the neighbour nearest to p wins, ties in the order a, b, c. |p - a| = |b - c|,
// |p - b| = |a - c| and |p - c| = |a + b - 2c|.
inline uint8_t PaethPredictor(uint8_t a, uint8_t b, uint8_t c) {
  const int pa = std::abs(static_cast<int>(b) - c);
  const int pb = std::abs(static_cast<int>(a) - c);
  const int pc = std::abs(static_cast<int>(a) + b - 2 * c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// The same choice, arranged for unfiltering, where a is the byte just made and b and c come
// from the row above, known in advance. With d = b - c, a is its own prediction unless it lies
// strictly between b and c - 2d; there the prediction is b on b's side of a threshold near
// c - d / 2, and c on the other. Everything but two comparisons with a and two selections is
// computed from b and c, off the serial chain from one byte to the next (and without branches:
// photo rows make them unpredictable).
struct PaethAbove {
  int start;  // a - start below span (unsigned): a lies strictly between the ends
  unsigned span;
  int threshold;  // from there up: upper, else lower
  int upper, lower;
};

inline PaethAbove PaethFromAbove(int b, int c) {
  const int d = b - c;
  const int far = c - 2 * d;
  const int low = b < far ? b : far;
  const int high = b < far ? far : b;
  // Arithmetic rather than conditions on d, which the compiler would turn into a branch.
  const int rising = -static_cast<int>(d > 0);
  PaethAbove p;
  p.start = low + 1;
  p.span = high > low ? static_cast<unsigned>(high - low - 1) : 0u;
  // c + ceil(-d / 2) for a rising d; c + floor(-d / 2) + 1 otherwise.
  p.threshold = c - (d >> 1) + (static_cast<int>(d <= 0) & ~d & 1);
  p.upper = c + (d & rising);
  p.lower = b - (d & rising);
  return p;
}

// (Used by the scalar kernels, which builds with SSE2 do not take.)
[[maybe_unused]] inline int PaethWithLeft(const PaethAbove& p, int a) {
  const int inner = a >= p.threshold ? p.upper : p.lower;
  return static_cast<unsigned>(a - p.start) < p.span ? inner : a;
}

// --- scalar reference bodies of the writer: bytes [begin, end), all at or after bpp ----------

using Body = uint32_t (*)(uint8_t*, const uint8_t*, const uint8_t*, uint32_t, uint32_t, uint32_t);

uint32_t SubBody(uint8_t* out, const uint8_t* row, const uint8_t*, uint32_t bpp, uint32_t begin,
                 uint32_t end) {
  uint32_t sum = 0;
  for (uint32_t i = begin; i < end; ++i) {
    const uint8_t v = static_cast<uint8_t>(row[i] - row[i - bpp]);
    out[i] = v;
    sum += Magnitude(v);
  }
  return sum;
}

uint32_t UpBody(uint8_t* out, const uint8_t* row, const uint8_t* prior, uint32_t, uint32_t begin,
                uint32_t end) {
  uint32_t sum = 0;
  for (uint32_t i = begin; i < end; ++i) {
    const uint8_t v = static_cast<uint8_t>(row[i] - prior[i]);
    out[i] = v;
    sum += Magnitude(v);
  }
  return sum;
}

uint32_t AverageBody(uint8_t* out, const uint8_t* row, const uint8_t* prior, uint32_t bpp,
                     uint32_t begin, uint32_t end) {
  uint32_t sum = 0;
  for (uint32_t i = begin; i < end; ++i) {
    // The sum is taken before halving: nine bits, not an 8-bit wrap.
    const uint8_t v = static_cast<uint8_t>(row[i] - ((prior[i] + row[i - bpp]) >> 1));
    out[i] = v;
    sum += Magnitude(v);
  }
  return sum;
}

uint32_t PaethBody(uint8_t* out, const uint8_t* row, const uint8_t* prior, uint32_t bpp,
                   uint32_t begin, uint32_t end) {
  uint32_t sum = 0;
  for (uint32_t i = begin; i < end; ++i) {
    const uint8_t v =
        static_cast<uint8_t>(row[i] - PaethPredictor(row[i - bpp], prior[i], prior[i - bpp]));
    out[i] = v;
    sum += Magnitude(v);
  }
  return sum;
}

// The bytes before bpp have no left neighbour: each filter takes its left (and upper-left)
// neighbour as 0 there, so Sub copies the raw byte, Average halves the upper byte alone and
// Paeth's predictor reduces to the upper byte.
uint32_t LeadBytes(uint8_t type, uint8_t* out, const uint8_t* row, const uint8_t* prior,
                   uint32_t count) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t v = row[i];
    if (type == FilterTypeUp || type == FilterTypePaeth)
      v = static_cast<uint8_t>(row[i] - prior[i]);
    if (type == FilterTypeAverage) v = static_cast<uint8_t>(row[i] - (prior[i] >> 1));
    out[i] = v;
    sum += Magnitude(v);
  }
  return sum;
}

uint32_t TryFilter(uint8_t type, Body body, uint8_t* out, const uint8_t* row, const uint8_t* prior,
                   uint32_t n, uint32_t bpp, uint32_t best) {
  const uint32_t leadCount = n < bpp ? n : bpp;
  uint32_t sum = LeadBytes(type, out, row, prior, leadCount);
  for (uint32_t i = leadCount; i < n;) {
    const uint32_t end = n - i > kFilterSumBlock ? i + kFilterSumBlock : n;
    sum += body(out, row, prior, bpp, i, end);
    if (sum >= best) return kFilterNoSum + 1;
    i = end;
  }
  return sum;
}

Body ScalarBody(uint8_t type) {
  switch (type) {
    case FilterTypeSub:
      return SubBody;
    case FilterTypeUp:
      return UpBody;
    case FilterTypeAverage:
      return AverageBody;
    default:
      return PaethBody;
  }
}

// --- fast unfiltering ------------------------------------------------------------------------

// One byte per pixel: the left neighbour is the byte just made, so it is carried in a register
// rather than read back from memory (a store-to-load round trip on every byte of the chain).
template <uint32_t Bpp>
void UnfilterSubBytes(uint8_t* current, uint32_t n) {
  if constexpr (Bpp == 1) {
    uint8_t left = current[0];
    for (uint32_t i = 1; i < n; ++i) current[i] = left = static_cast<uint8_t>(current[i] + left);
  } else {
    for (uint32_t i = Bpp; i < n; ++i)
      current[i] = static_cast<uint8_t>(current[i] + current[i - Bpp]);
  }
}

template <uint32_t Bpp>
void UnfilterAverageBytes(uint8_t* current, const uint8_t* previous, uint32_t n) {
  if constexpr (Bpp == 1) {
    uint32_t left = current[0];
    for (uint32_t i = 1; i < n; ++i) {
      left = static_cast<uint8_t>(current[i] + ((previous[i] + left) >> 1));
      current[i] = static_cast<uint8_t>(left);
    }
  } else {
    for (uint32_t i = Bpp; i < n; ++i) {
      current[i] = static_cast<uint8_t>(current[i] + ((previous[i] + current[i - Bpp]) >> 1));
    }
  }
}

template <uint32_t Bpp>
void UnfilterPaethBytes(uint8_t* current, const uint8_t* previous, uint32_t n) {
  if constexpr (Bpp == 1) {
    int left = current[0];
    for (uint32_t i = 1; i < n; ++i) {
      const PaethAbove above = PaethFromAbove(previous[i], previous[i - 1]);
      left = static_cast<uint8_t>(current[i] + PaethWithLeft(above, left));
      current[i] = static_cast<uint8_t>(left);
    }
  } else {
    for (uint32_t i = Bpp; i < n; ++i) {
      const PaethAbove above = PaethFromAbove(previous[i], previous[i - Bpp]);
      current[i] = static_cast<uint8_t>(current[i] + PaethWithLeft(above, current[i - Bpp]));
    }
  }
}

// The first bpp bytes: Average adds half the byte above, Paeth the byte above.
void UnfilterHead(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t head) {
  for (uint32_t i = 0; i < head; ++i) {
    const uint8_t above = type == FilterTypeAverage ? previous[i] >> 1 : previous[i];
    current[i] = static_cast<uint8_t>(current[i] + above);
  }
}

// Paeth on bytes [from, n), after the vector kernels' whole pixels: a partial last pixel (not
// from a real row, but the length is the caller's).
void UnfilterPaethTail(uint8_t* current, const uint8_t* previous, uint32_t from, uint32_t n,
                       uint32_t bpp) {
  for (uint32_t i = from; i < n; ++i) {
    current[i] = static_cast<uint8_t>(
        current[i] + PaethPredictor(current[i - bpp], previous[i], previous[i - bpp]));
  }
}

void UnfilterUp(uint8_t* current, const uint8_t* previous, uint32_t n) {
  uint32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(current + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(current + i), _mm_add_epi8(x, b));
  }
#endif
  for (; i < n; ++i) current[i] = static_cast<uint8_t>(current[i] + previous[i]);
}

#if defined(__SSE2__)

// One pixel of Bytes bytes in the low lanes of a register (the other lanes 0), and back. The
// bytes move through general registers in pieces of 4, 2 and 1: a narrow store followed by a
// wider load of the same bytes would stall on store forwarding once per pixel.
template <uint32_t Bytes>
inline __m128i LoadPixel(const uint8_t* p) {
  if constexpr (Bytes == 8) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  } else if constexpr (Bytes == 4) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(static_cast<int>(v));
  } else if constexpr (Bytes == 6) {
    uint32_t low;
    uint16_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 2);
    return _mm_insert_epi16(_mm_cvtsi32_si128(static_cast<int>(low)), high, 2);
  } else if constexpr (Bytes == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return _mm_cvtsi32_si128(v);
  } else {
    static_assert(Bytes == 3, "pixels of 2, 3, 4, 6 or 8 bytes");
    uint16_t low;
    std::memcpy(&low, p, 2);
    return _mm_cvtsi32_si128(static_cast<int>(low | static_cast<uint32_t>(p[2]) << 16));
  }
}

template <uint32_t Bytes>
inline void StorePixel(uint8_t* p, __m128i v) {
  if constexpr (Bytes == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
  } else if constexpr (Bytes == 4) {
    const uint32_t t = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &t, 4);
  } else if constexpr (Bytes == 6) {
    const uint32_t t = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    const uint16_t high = static_cast<uint16_t>(_mm_extract_epi16(v, 2));
    std::memcpy(p, &t, 4);
    std::memcpy(p + 4, &high, 2);
  } else if constexpr (Bytes == 2) {
    const uint16_t t = static_cast<uint16_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &t, 2);
  } else {
    const uint32_t t = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    const uint16_t low = static_cast<uint16_t>(t);
    std::memcpy(p, &low, 2);
    p[2] = static_cast<uint8_t>(t >> 16);
  }
}

// (a + b) >> 1 in nine bits: the rounding-up average less the dropped low bit.
inline __m128i FloorAverage(__m128i a, __m128i b) {
  const __m128i one = _mm_set1_epi8(1);
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
}

inline __m128i Abs16(__m128i x) {
  return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

inline __m128i Select(__m128i mask, __m128i ifSet, __m128i ifClear) {
  return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
}

// The Paeth predictor of eight neighbour triples held as 16-bit lanes.
inline __m128i PaethPredictor16(__m128i a, __m128i b, __m128i c) {
  const __m128i bc = _mm_sub_epi16(b, c);
  const __m128i ac = _mm_sub_epi16(a, c);
  const __m128i pa = Abs16(bc);
  const __m128i pb = Abs16(ac);
  const __m128i pc = Abs16(_mm_add_epi16(bc, ac));
  const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  const __m128i bOrC = Select(_mm_cmpgt_epi16(pb, pc), c, b);
  return Select(notA, bOrC, a);
}

// Sub, Average and Paeth are serial from pixel to pixel but parallel across a pixel's bytes:
// one pixel per step, its bytes in the lanes of one register.
template <uint32_t Bpp>
uint32_t UnfilterSubPixels(uint8_t* current, uint32_t n) {
  __m128i a = LoadPixel<Bpp>(current);
  uint32_t i = Bpp;
  for (; i + Bpp <= n; i += Bpp) {
    a = _mm_add_epi8(LoadPixel<Bpp>(current + i), a);
    StorePixel<Bpp>(current + i, a);
  }
  return i;
}

// Average runs on complemented bytes: ~floor((a + b) / 2) = avg(~a, ~b), the rounding-up
// average the processor has, so ~(x + floor((a + b) / 2)) = avg(~a, ~b) - x. That leaves two
// operations per pixel on the serial chain instead of four.
template <uint32_t Bpp>
uint32_t UnfilterAveragePixels(uint8_t* current, const uint8_t* previous, uint32_t n) {
  const __m128i ones = _mm_set1_epi8(-1);
  __m128i notA = _mm_xor_si128(LoadPixel<Bpp>(current), ones);
  uint32_t i = Bpp;
  for (; i + Bpp <= n; i += Bpp) {
    const __m128i notB = _mm_xor_si128(LoadPixel<Bpp>(previous + i), ones);
    notA = _mm_sub_epi8(_mm_avg_epu8(notA, notB), LoadPixel<Bpp>(current + i));
    StorePixel<Bpp>(current + i, _mm_xor_si128(notA, ones));
  }
  return i;
}

// PaethFromAbove in 16-bit lanes, for as many lanes as b and c hold.
struct PaethLanes {
  __m128i low, high, threshold, upper, lower;
};

inline PaethLanes PaethLanesFromAbove(__m128i b, __m128i c) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1);
  const __m128i d = _mm_sub_epi16(b, c);
  const __m128i far = _mm_sub_epi16(_mm_sub_epi16(c, d), d);
  const __m128i rising = _mm_cmpgt_epi16(d, zero);
  const __m128i evenFalling = _mm_andnot_si128(rising, _mm_andnot_si128(d, one));
  const __m128i risingD = _mm_and_si128(d, rising);
  PaethLanes p;
  p.low = _mm_min_epi16(b, far);
  p.high = _mm_max_epi16(b, far);
  p.threshold = _mm_add_epi16(_mm_sub_epi16(c, _mm_srai_epi16(d, 1)), evenFalling);
  p.upper = _mm_add_epi16(c, risingD);
  p.lower = _mm_sub_epi16(b, risingD);
  return p;
}

// The serial part: the new left neighbour from the filtered bytes x and the old one, a. A
// byte-wise add keeps each sum in the low byte of its lane.
inline __m128i PaethLanesStep(const PaethLanes& p, __m128i a, __m128i x) {
  const __m128i inner = Select(_mm_cmpgt_epi16(p.threshold, a), p.lower, p.upper);
  const __m128i between = _mm_and_si128(_mm_cmpgt_epi16(a, p.low), _mm_cmpgt_epi16(p.high, a));
  return _mm_add_epi8(x, Select(between, inner, a));
}

// With sixteen vector registers (x86-64) a single Paeth row of pixels of two to four bytes
// is fastest with the set-up kept in registers, shared and shifted as below; with eight
// (i386) that spills, and UnfilterPaethRows's block form is faster. Two rows at once take the
// block form everywhere.
#if defined(__x86_64__)
constexpr bool kSharedPaethSetUp = true;
#else
constexpr bool kSharedPaethSetUp = false;
#endif

// Paeth for pixels of six and eight bytes, and, where kSharedPaethSetUp, a single row of pixels
// of two to four.
template <uint32_t Bpp>
uint32_t UnfilterPaethPixels(uint8_t* current, const uint8_t* previous, uint32_t n) {
  const __m128i zero = _mm_setzero_si128();
  // The bytes stay in 16-bit lanes, so that the next pixel's left neighbour is ready without a
  // pack and an unpack on the serial path; the store packs on the side.
  __m128i a = _mm_unpacklo_epi8(LoadPixel<Bpp>(current), zero);
  uint32_t i = Bpp;
  if constexpr (Bpp <= 4) {
    // Pixels of up to four bytes share one set-up: eight bytes of the row above fill the eight
    // lanes, then each pixel's lanes are shifted down in turn.
    constexpr uint32_t kShared = 8 / Bpp;
    for (; i + kShared * Bpp <= n && i + 8 <= n; i += kShared * Bpp) {
      const __m128i b =
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(previous + i)), zero);
      const __m128i c = _mm_unpacklo_epi8(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(previous + i - Bpp)), zero);
      PaethLanes p = PaethLanesFromAbove(b, c);
      for (uint32_t k = 0; k < kShared; ++k) {
        if (k != 0) {
          p.low = _mm_srli_si128(p.low, 2 * Bpp);
          p.high = _mm_srli_si128(p.high, 2 * Bpp);
          p.threshold = _mm_srli_si128(p.threshold, 2 * Bpp);
          p.upper = _mm_srli_si128(p.upper, 2 * Bpp);
          p.lower = _mm_srli_si128(p.lower, 2 * Bpp);
        }
        uint8_t* pixel = current + i + k * Bpp;
        a = PaethLanesStep(p, a, _mm_unpacklo_epi8(LoadPixel<Bpp>(pixel), zero));
        StorePixel<Bpp>(pixel, _mm_packus_epi16(a, a));
      }
    }
  }
  for (; i + Bpp <= n; i += Bpp) {
    const __m128i b = _mm_unpacklo_epi8(LoadPixel<Bpp>(previous + i), zero);
    const __m128i c = _mm_unpacklo_epi8(LoadPixel<Bpp>(previous + i - Bpp), zero);
    a = PaethLanesStep(PaethLanesFromAbove(b, c), a,
                       _mm_unpacklo_epi8(LoadPixel<Bpp>(current + i), zero));
    StorePixel<Bpp>(current + i, _mm_packus_epi16(a, a));
  }
  return i;
}

// A block's worth of PaethLanesFromAbove, a 16-bit lane per byte; a pixel's step loads four
// lanes, so the last one reads past the block.
constexpr uint32_t PaethBlockBytes(uint32_t bpp) {
  return bpp == 3 ? 384 : 256;  // whole pixels, and whole steps of eight bytes
}

struct PaethBlock {
  static constexpr uint32_t kLanes = PaethBlockBytes(3) + 8;
  alignas(16) int16_t low[kLanes];   // one byte per pixel: the unsigned range's start
  alignas(16) int16_t high[kLanes];  // one byte per pixel: its span
  alignas(16) int16_t threshold[kLanes];
  alignas(16) int16_t upper[kLanes];
  alignas(16) int16_t lower[kLanes];

  // Bytes [from, from + count) of a row whose row above is above (from >= bpp).
  void Prepare(const uint8_t* above, uint32_t bpp, uint32_t from, uint32_t count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi16(1);
    uint32_t j = 0;
    for (; j + 8 <= count; j += 8) {
      const uint8_t* b = above + from + j;
      const PaethLanes p = PaethLanesFromAbove(
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)), zero),
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b - bpp)), zero));
      __m128i from16 = p.low;
      __m128i to16 = p.high;
      if (bpp == 1) {
        from16 = _mm_add_epi16(p.low, one);
        to16 = _mm_max_epi16(_mm_sub_epi16(_mm_sub_epi16(p.high, p.low), one), zero);
      }
      _mm_store_si128(reinterpret_cast<__m128i*>(low + j), from16);
      _mm_store_si128(reinterpret_cast<__m128i*>(high + j), to16);
      _mm_store_si128(reinterpret_cast<__m128i*>(threshold + j), p.threshold);
      _mm_store_si128(reinterpret_cast<__m128i*>(upper + j), p.upper);
      _mm_store_si128(reinterpret_cast<__m128i*>(lower + j), p.lower);
    }
    for (; j < count; ++j) {
      const PaethAbove p = PaethFromAbove(above[from + j], above[from + j - bpp]);
      low[j] = static_cast<int16_t>(bpp == 1 ? p.start : p.start - 1);
      high[j] = static_cast<int16_t>(bpp == 1 ? static_cast<int>(p.span) : p.start + p.span);
      threshold[j] = static_cast<int16_t>(p.threshold);
      upper[j] = static_cast<int16_t>(p.upper);
      lower[j] = static_cast<int16_t>(p.lower);
    }
    // The lanes read past the last pixel: defined values, never stored.
    for (; j < count + 8; ++j) low[j] = high[j] = threshold[j] = upper[j] = lower[j] = 0;
  }
};

// The left neighbour: one byte in an int, or a pixel's bytes in the low 16-bit lanes.
template <uint32_t Bpp>
struct PaethLeftOf {
  using Type = __m128i;
};
template <>
struct PaethLeftOf<1> {
  using Type = int;
};
template <uint32_t Bpp>
using PaethLeft = typename PaethLeftOf<Bpp>::Type;

template <uint32_t Bpp>
inline PaethLeft<Bpp> PaethLoadLeft(const uint8_t* pixel) {
  if constexpr (Bpp == 1) {
    return pixel[0];
  } else {
    return _mm_unpacklo_epi8(LoadPixel<Bpp>(pixel), _mm_setzero_si128());
  }
}

// Unfilters the pixel at byte j of the block, at out + j, from its left neighbour.
template <uint32_t Bpp>
inline PaethLeft<Bpp> PaethStep(const PaethBlock& s, uint32_t j, uint8_t* out,
                                PaethLeft<Bpp> left) {
  if constexpr (Bpp == 1) {
    // Both choices are coin tosses on photo rows: the compiler is told so, and selects
    // without branching.
    const int up = s.upper[j];
    const int down = s.lower[j];
    const int inner = __builtin_expect_with_probability(left >= s.threshold[j], 1, 0.5) ? up : down;
    const bool between = static_cast<unsigned>(left - s.low[j]) < static_cast<unsigned>(s.high[j]);
    const int predicted = __builtin_expect_with_probability(between, 1, 0.5) ? inner : left;
    left = static_cast<uint8_t>(out[j] + predicted);
    out[j] = static_cast<uint8_t>(left);
    return left;
  } else {
    const auto lanes = [&](const int16_t* v) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + j));
    };
    const PaethLanes p{lanes(s.low), lanes(s.high), lanes(s.threshold), lanes(s.upper),
                       lanes(s.lower)};
    left = PaethLanesStep(p, left, _mm_unpacklo_epi8(LoadPixel<Bpp>(out + j), _mm_setzero_si128()));
    StorePixel<Bpp>(out + j, _mm_packus_epi16(left, left));
    return left;
  }
}

// Bytes [j, count) of a block, alone.
template <uint32_t Bpp>
__attribute__((noinline)) PaethLeft<Bpp> PaethChain(const PaethBlock& s, uint32_t j, uint32_t count,
                                                    uint8_t* out, PaethLeft<Bpp> left) {
  for (; j < count; j += Bpp) left = PaethStep<Bpp>(s, j, out, left);
  return left;
}

// Paeth for pixels of one to four bytes, one row or two consecutive rows at once: rows of n bytes
// (n >= Bpp; whole pixels), top against above and, when bottom is given, bottom against top;
// the first pixel of each has been unfiltered already. The row above is turned into
// PaethLanesFromAbove's terms a block at a time, eight bytes per step, so that each pixel's
// serial step is left with two comparisons and two selections per byte. Two rows run as two
// independent chains in one loop, the lower one block behind: its row above is the upper row,
// which is done by then. The processor overlaps the two chains, each bound by its latency.
template <uint32_t Bpp>
void UnfilterPaethRows(uint8_t* top, const uint8_t* above, uint8_t* bottom, uint32_t n) {
  constexpr uint32_t kBytes = PaethBlockBytes(Bpp);
  PaethBlock topBlock, bottomBlock;
  PaethLeft<Bpp> topLeft = PaethLoadLeft<Bpp>(top);
  PaethLeft<Bpp> bottomLeft = bottom != nullptr ? PaethLoadLeft<Bpp>(bottom) : topLeft;
  const uint32_t blocks = (n - Bpp + kBytes - 1) / kBytes;
  // Round t: the top row's block t and the bottom row's block t - 1.
  for (uint32_t t = 0; t <= blocks; ++t) {
    uint32_t topCount = 0, bottomCount = 0;
    const uint32_t topFrom = Bpp + t * kBytes;
    if (t < blocks) {
      topCount = n - topFrom < kBytes ? n - topFrom : kBytes;
      topBlock.Prepare(above, Bpp, topFrom, topCount);
    }
    if (t > 0 && bottom != nullptr) {
      bottomCount = kBytes < n - (topFrom - kBytes) ? kBytes : n - (topFrom - kBytes);
      bottomBlock.Prepare(top, Bpp, topFrom - kBytes, bottomCount);
    }
    uint8_t* const topOut = top + topFrom;
    uint8_t* const bottomOut = bottom != nullptr ? bottom + topFrom - kBytes : nullptr;
    const uint32_t both = topCount < bottomCount ? topCount : bottomCount;
    uint32_t j = 0;
    for (; j < both; j += Bpp) {
      topLeft = PaethStep<Bpp>(topBlock, j, topOut, topLeft);
      bottomLeft = PaethStep<Bpp>(bottomBlock, j, bottomOut, bottomLeft);
    }
    topLeft = PaethChain<Bpp>(topBlock, j, topCount, topOut, topLeft);
    bottomLeft = PaethChain<Bpp>(bottomBlock, j, bottomCount, bottomOut, bottomLeft);
  }
}

template <uint32_t Bpp>
void UnfilterPixels(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t n) {
  uint32_t done = 0;
  switch (type) {
    case FilterTypeSub:
      done = UnfilterSubPixels<Bpp>(current, n);
      break;
    case FilterTypeAverage:
      done = UnfilterAveragePixels<Bpp>(current, previous, n);
      break;
    default:
      if constexpr (Bpp > 4 || kSharedPaethSetUp)
        done = UnfilterPaethPixels<Bpp>(current, previous, n);
      break;
  }
  // A partial last pixel (not produced by whole-byte pixels, but the length is the caller's).
  for (uint32_t i = done; i < n; ++i) {
    uint8_t left = current[i - Bpp];
    if (type == FilterTypeAverage) left = static_cast<uint8_t>((previous[i] + left) >> 1);
    if (type == FilterTypePaeth) left = PaethPredictor(left, previous[i], previous[i - Bpp]);
    current[i] = static_cast<uint8_t>(current[i] + left);
  }
}

#endif  // __SSE2__

template <uint32_t Bpp>
void UnfilterBytes(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t n) {
  switch (type) {
    case FilterTypeSub:
      UnfilterSubBytes<Bpp>(current, n);
      break;
    case FilterTypeAverage:
      UnfilterAverageBytes<Bpp>(current, previous, n);
      break;
    default:  // Paeth: with SSE2, Unfilter gives it to the vector kernels before this
#if !defined(__SSE2__)
      UnfilterPaethBytes<Bpp>(current, previous, n);
#endif
      break;
  }
}

// --- fast filtering with sums ----------------------------------------------------------------

#if defined(__SSE2__)

// Magnitudes of 16 filtered bytes, summed into the two 64-bit lanes of the accumulator.
inline __m128i AddMagnitudes(__m128i sums, __m128i v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i magnitude = _mm_min_epu8(v, _mm_sub_epi8(zero, v));
  return _mm_add_epi64(sums, _mm_sad_epu8(magnitude, zero));
}

inline uint32_t Total(__m128i sums) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Every candidate byte depends only on the raw row and the row above, so 16 go at a time.
template <uint8_t Type>
uint32_t FastBody(uint8_t* out, const uint8_t* row, const uint8_t* prior, uint32_t bpp,
                  uint32_t begin, uint32_t end) {
  const __m128i zero = _mm_setzero_si128();
  __m128i sums = zero;
  uint32_t i = begin;
  for (; i + 16 <= end; i += 16) {
    const __m128i x = Load16(row + i);
    __m128i predictor;
    if constexpr (Type == FilterTypeSub) {
      predictor = Load16(row + i - bpp);
    } else if constexpr (Type == FilterTypeUp) {
      predictor = Load16(prior + i);
    } else if constexpr (Type == FilterTypeAverage) {
      predictor = FloorAverage(Load16(prior + i), Load16(row + i - bpp));
    } else {
      const __m128i a = Load16(row + i - bpp);
      const __m128i b = Load16(prior + i);
      const __m128i c = Load16(prior + i - bpp);
      const __m128i low = PaethPredictor16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                           _mm_unpacklo_epi8(c, zero));
      const __m128i high = PaethPredictor16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                            _mm_unpackhi_epi8(c, zero));
      predictor = _mm_packus_epi16(low, high);
    }
    const __m128i v = _mm_sub_epi8(x, predictor);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    sums = AddMagnitudes(sums, v);
  }
  uint32_t sum = Total(sums);
  if (i < end) sum += ScalarBody(Type)(out, row, prior, bpp, i, end);
  return sum;
}

Body FastBodyFor(uint8_t type) {
  switch (type) {
    case FilterTypeSub:
      return FastBody<FilterTypeSub>;
    case FilterTypeUp:
      return FastBody<FilterTypeUp>;
    case FilterTypeAverage:
      return FastBody<FilterTypeAverage>;
    default:
      return FastBody<FilterTypePaeth>;
  }
}

#else

Body FastBodyFor(uint8_t type) {
  return ScalarBody(type);
}

#endif  // __SSE2__

}  // namespace

void UnfilterScalar(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t n,
                    uint32_t bpp) {
  const uint32_t head = bpp < n ? bpp : n;  // bytes without a left neighbour
  switch (type) {
    case FilterTypeSub:
      for (uint32_t i = bpp; i < n; ++i)
        current[i] = static_cast<uint8_t>(current[i] + current[i - bpp]);
      break;
    case FilterTypeUp:
      for (uint32_t i = 0; i < n; ++i) current[i] = static_cast<uint8_t>(current[i] + previous[i]);
      break;
    case FilterTypeAverage:  // the sum taken in full width before halving
      for (uint32_t i = 0; i < head; ++i)
        current[i] = static_cast<uint8_t>(current[i] + (previous[i] >> 1));
      for (uint32_t i = bpp; i < n; ++i) {
        current[i] = static_cast<uint8_t>(current[i] + ((previous[i] + current[i - bpp]) >> 1));
      }
      break;
    case FilterTypePaeth:  // without a left neighbour the predictor is the byte above
      for (uint32_t i = 0; i < head; ++i)
        current[i] = static_cast<uint8_t>(current[i] + previous[i]);
      for (uint32_t i = bpp; i < n; ++i) {
        current[i] = static_cast<uint8_t>(
            current[i] + PaethPredictor(current[i - bpp], previous[i], previous[i - bpp]));
      }
      break;
    default:
      break;
  }
}

void Unfilter(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t n, uint32_t bpp) {
  if (type == FilterTypeNone || type > FilterTypePaeth || n == 0) return;
  if (type == FilterTypeUp) {
    UnfilterUp(current, previous, n);
    return;
  }
#if defined(__SSE2__)
  if (type == FilterTypePaeth && (bpp == 1 || (bpp <= 4 && !kSharedPaethSetUp))) {
    UnfilterPaethPair(current, previous, nullptr, n, bpp);
    return;
  }
#endif
  if (type != FilterTypeSub) UnfilterHead(type, current, previous, bpp < n ? bpp : n);
  switch (bpp) {
    case 1:
      UnfilterBytes<1>(type, current, previous, n);
      return;
    case 2:
      // Sub and Average gain too little from two lanes to pay for the moves into a register;
      // Paeth's set-up, shared by four pixels, does.
#if defined(__SSE2__)
      if (kSharedPaethSetUp && type == FilterTypePaeth) {
        if (n >= 2)
          UnfilterPaethTail(current, previous, UnfilterPaethPixels<2>(current, previous, n), n, 2);
        return;
      }
#endif
      UnfilterBytes<2>(type, current, previous, n);
      return;
#if defined(__SSE2__)
    case 3:
      if (n >= 3) UnfilterPixels<3>(type, current, previous, n);
      return;
    case 4:
      if (n >= 4) UnfilterPixels<4>(type, current, previous, n);
      return;
    case 6:
      if (n >= 6) UnfilterPixels<6>(type, current, previous, n);
      return;
    case 8:
      if (n >= 8) UnfilterPixels<8>(type, current, previous, n);
      return;
#else
    case 3:
      UnfilterBytes<3>(type, current, previous, n);
      return;
    case 4:
      UnfilterBytes<4>(type, current, previous, n);
      return;
    case 6:
      UnfilterBytes<6>(type, current, previous, n);
      return;
    case 8:
      UnfilterBytes<8>(type, current, previous, n);
      return;
#endif
    default:
      break;
  }
  // Any other pixel size: the reference, less the head already done.
  if (type == FilterTypeSub) {
    UnfilterScalar(type, current, previous, n, bpp);
    return;
  }
  for (uint32_t i = bpp; i < n; ++i) {
    uint8_t left = current[i - bpp];
    if (type == FilterTypeAverage) left = static_cast<uint8_t>((previous[i] + left) >> 1);
    if (type == FilterTypePaeth) left = PaethPredictor(left, previous[i], previous[i - bpp]);
    current[i] = static_cast<uint8_t>(current[i] + left);
  }
}

void UnfilterPaethPair(uint8_t* top, const uint8_t* above, uint8_t* bottom, uint32_t n,
                       uint32_t bpp) {
#if defined(__SSE2__)
  if (bpp >= 1 && bpp <= 4 && n > bpp) {
    UnfilterHead(FilterTypePaeth, top, above, bpp);
    if (bottom != nullptr) UnfilterHead(FilterTypePaeth, bottom, top, bpp);
    const uint32_t whole = n / bpp * bpp;
    switch (bpp) {
      case 1:
        UnfilterPaethRows<1>(top, above, bottom, whole);
        break;
      case 2:
        UnfilterPaethRows<2>(top, above, bottom, whole);
        break;
      case 3:
        UnfilterPaethRows<3>(top, above, bottom, whole);
        break;
      default:
        UnfilterPaethRows<4>(top, above, bottom, whole);
        break;
    }
    UnfilterPaethTail(top, above, whole, n, bpp);
    if (bottom != nullptr) UnfilterPaethTail(bottom, top, whole, n, bpp);
    return;
  }
#endif
  if (bottom == nullptr) {
    UnfilterScalar(FilterTypePaeth, top, above, n, bpp);
    return;
  }
  Unfilter(FilterTypePaeth, top, above, n, bpp);
  Unfilter(FilterTypePaeth, bottom, top, n, bpp);
}

uint32_t RawSumScalar(const uint8_t* row, uint32_t n) {
  // Summed in blocks whose totals cannot overflow 32 bits, since rows may be longer than 2^25
  // bytes.
  uint64_t total = 0;
  while (n > 0) {
    const uint32_t block = n < (1u << 24) ? n : (1u << 24);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < block; ++i) sum += Magnitude(row[i]);
    total += sum;
    row += block;
    n -= block;
  }
  return total > kFilterNoSum ? kFilterNoSum : static_cast<uint32_t>(total);
}

uint32_t RawSum(const uint8_t* row, uint32_t n) {
#if defined(__SSE2__)
  uint64_t total = 0;
  uint32_t i = 0;
  while (n - i >= 16) {
    // Each 64-bit lane gains at most 8 x 128 per step: no block can overflow.
    __m128i sums = _mm_setzero_si128();
    const uint32_t stop = n - i > (1u << 24) ? i + (1u << 24) : n;
    for (; i + 16 <= stop; i += 16) sums = AddMagnitudes(sums, Load16(row + i));
    total += Total(sums);
  }
  for (; i < n; ++i) total += Magnitude(row[i]);
  return total > kFilterNoSum ? kFilterNoSum : static_cast<uint32_t>(total);
#else
  return RawSumScalar(row, n);
#endif
}

uint32_t FilterScalar(uint8_t type, uint8_t* out, const uint8_t* row, const uint8_t* prior,
                      uint32_t n, uint32_t bpp, uint32_t best) {
  return TryFilter(type, ScalarBody(type), out, row, prior, n, bpp, best);
}

uint32_t Filter(uint8_t type, uint8_t* out, const uint8_t* row, const uint8_t* prior, uint32_t n,
                uint32_t bpp, uint32_t best) {
  return TryFilter(type, FastBodyFor(type), out, row, prior, n, bpp, best);
}

}  // namespace pngtrans
