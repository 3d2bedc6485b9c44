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

// Bytes of a row of width pixels at pixelDepth bits, computed without 32-bit overflow.
inline uint32_t RowBytesFor(uint32_t width, uint32_t pixelDepth) {
  return static_cast<uint32_t>((static_cast<uint64_t>(width) * pixelDepth + 7) / 8);
}

}  // namespace pngtrans
