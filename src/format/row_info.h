// Description of the row in a codec's row buffer; the same record on both sides.
#pragma once

#include <cstdint>

namespace pngtrans {

struct RowInfo {
  uint32_t width;     // pixels
  uint32_t rowBytes;  // bytes, without the filter byte
  uint8_t colorType;
  uint8_t bitDepth;
  uint8_t channels;
  uint8_t pixelDepth;  // bits per pixel
};

// A reader's row slot: a row widened to a multiple of 8 pixels (an interlaced pass row is
// widened in place), its filter byte and one spare pixel; in 64 bits, for any width.
inline uint64_t RowSlotBytes(uint32_t width, uint32_t pixelDepth) {
  const uint64_t rounded = (static_cast<uint64_t>(width) + 7) & ~static_cast<uint64_t>(7);
  return (rounded * pixelDepth + 7) / 8 + 1 + (pixelDepth + 7) / 8;
}

// Rows of any width are read, as long as the reader's rows (two slots and a row, the least
// its window holds) can be sized in 32 bits: a row of up to about 1.4 GB.
inline bool ReaderRowsFit32(uint32_t width, uint32_t pixelDepth) {
  const uint64_t row = (static_cast<uint64_t>(width) * pixelDepth + 7) / 8;
  return 2 * RowSlotBytes(width, pixelDepth) + row + 1 <= 0xFFFFFFFFull;
}

// Bytes of a row of width pixels at pixelDepth bits, computed without 32-bit overflow.
inline uint32_t RowBytesFor(uint32_t width, uint32_t pixelDepth) {
  return static_cast<uint32_t>((static_cast<uint64_t>(width) * pixelDepth + 7) / 8);
}

}  // namespace pngtrans
