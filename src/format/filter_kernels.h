// The five PNG row filters, both ways, shared by the reader (undoing them) and the writer
// (trying them). Each has a plain scalar version, which is the reference, and a fast version
// (specialised per bytes per pixel, SSE2 where the work allows it) that must give the same
// bytes and sums; the golden-row tests compare the two.
#pragma once

#include <cstdint>

namespace pngtrans {

enum FilterType : uint8_t {
  FilterTypeNone = 0,
  FilterTypeSub = 1,
  FilterTypeUp = 2,
  FilterTypeAverage = 3,
  FilterTypePaeth = 4,
};

// Undoes filter type 1-4 in place on n bytes of current, against previous (the unfiltered row
// above, all zeros for the first row of an image or pass); bpp = whole bytes per pixel, 1 for
// depths below 8. Type 0 leaves the row as it is; other types are the caller's to refuse.
void UnfilterScalar(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t n,
                    uint32_t bpp);
void Unfilter(uint8_t type, uint8_t* current, const uint8_t* previous, uint32_t n, uint32_t bpp);
// Undoes Paeth on top against above and, unless bottom is null, on bottom against top, both of
// n bytes: what Unfilter does for each in turn, with the two rows' serial work overlapped.
void UnfilterPaethPair(uint8_t* top, const uint8_t* above, uint8_t* bottom, uint32_t n,
                       uint32_t bpp);

// Sum of the magnitudes (a byte b counts b below 128, 256 - b from 128 on) of n unfiltered
// bytes, capped at kFilterNoSum.
inline constexpr uint32_t kFilterNoSum = 0x7FFFFFFF;
uint32_t RawSumScalar(const uint8_t* row, uint32_t n);
uint32_t RawSum(const uint8_t* row, uint32_t n);

// Filters n bytes of row with type 1-4 into out (prior = the row above; may be null only for
// Sub) and returns the sum of the output magnitudes. Gives up, returning kFilterNoSum + 1,
// once the sum has reached best at one of the checks made every kFilterSumBlock bytes after
// the first bpp: a candidate must be strictly smaller to win, so one that gave up never does.
// out then holds a partial row.
inline constexpr uint32_t kFilterSumBlock = 256;
uint32_t FilterScalar(uint8_t type, uint8_t* out, const uint8_t* row, const uint8_t* prior,
                      uint32_t n, uint32_t bpp, uint32_t best);
uint32_t Filter(uint8_t type, uint8_t* out, const uint8_t* row, const uint8_t* prior, uint32_t n,
                uint32_t bpp, uint32_t best);

}  // namespace pngtrans
