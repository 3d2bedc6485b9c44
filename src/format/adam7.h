// The Adam7 pass tables, passes numbered 0 to 6; shared by the reader and the writer.
#pragma once

#include <cstdint>

#include "format/row_info.h"

namespace pngtrans {

inline constexpr uint16_t PassStartColumn[7] = {0, 4, 0, 2, 0, 1, 0};
inline constexpr uint16_t PassColumnStep[7] = {8, 8, 4, 4, 2, 2, 1};
inline constexpr uint16_t PassStartRow[7] = {0, 0, 4, 0, 2, 0, 1};
inline constexpr uint16_t PassRowStep[7] = {8, 8, 8, 4, 4, 2, 2};
// Within each group of 8 columns, the columns a pass covers (bit 7 = first column).
inline constexpr uint8_t PassColumnMask[7] = {0x80, 0x08, 0x88, 0x22, 0xAA, 0x55, 0xFF};

// Pixels in a row of pass p (0 when the image is too narrow for the pass).
inline uint32_t PassPixelWidth(uint32_t width, int pass) {
  const uint32_t step = PassColumnStep[pass];
  const uint32_t start = PassStartColumn[pass];
  return width > start ? (width - start + step - 1) / step : 0;
}

// Rows of pass p in an image of the given height (0 when the image is too short for it).
inline uint32_t PassRowCount(uint32_t height, int pass) {
  const uint32_t start = PassStartRow[pass];
  const uint32_t step = PassRowStep[pass];
  return height > start ? (height - start + step - 1) / step : 0;
}

// Bytes of an image's data before compression: every row of every pass (a pass without
// columns has none), each with its filter byte.
inline uint64_t ImageDataBytes(uint32_t width, uint32_t height, uint32_t pixelDepth,
                               bool interlaced) {
  if (!interlaced) return static_cast<uint64_t>(height) * (RowBytesFor(width, pixelDepth) + 1ull);
  uint64_t bytes = 0;
  for (int pass = 0; pass < 7; ++pass) {
    const uint32_t columns = PassPixelWidth(width, pass);
    if (columns == 0) continue;
    bytes += static_cast<uint64_t>(PassRowCount(height, pass)) *
             (RowBytesFor(columns, pixelDepth) + 1ull);
  }
  return bytes;
}

// Whether image row r carries data for pass p in an image of the given width.
inline bool PassHasRow(int pass, uint32_t row, uint32_t width) {
  switch (pass) {
    case 0:
      return (row & 7) == 0;
    case 1:
      return (row & 7) == 0 && width >= 5;
    case 2:
      return (row & 7) == 4;
    case 3:
      return (row & 3) == 0 && width >= 3;
    case 4:
      return (row & 3) == 2;
    case 5:
      return (row & 1) == 0 && width >= 2;
    default:
      return (row & 1) == 1;
  }
}

}  // namespace pngtrans
