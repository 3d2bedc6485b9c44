// Adam7 on the read side: pass geometry, the pass advance, and the two steps that place a
// decoded pass row into the caller's full-size row (widen, then merge under a column mask).
#include <cstring>

#include "import/adam7.h"
#include "import/png_reader.h"

namespace pngtrans {

namespace {

// Rows of pass p in an image of the given height (0 when the image is too short for it).
uint32_t PassRowCount(uint32_t height, int pass) {
  const uint32_t start = PassStartRow[pass];
  const uint32_t step = PassRowStep[pass];
  return height > start ? (height - start + step - 1) / step : 0;
}

// Sub-byte pixels are packed from the most significant bit down: pixel x of a depth-d row sits
// at bit offset x * d, counted from the top bit of byte 0.
inline uint32_t GetPackedPixel(const uint8_t* data, uint32_t x, uint32_t depth) {
  const uint32_t bit = x * depth;
  const uint32_t shift = 8 - depth - (bit & 7);
  return (data[bit >> 3] >> shift) & ((1u << depth) - 1);
}

inline void SetPackedPixel(uint8_t* data, uint32_t x, uint32_t depth, uint32_t value) {
  const uint32_t bit = x * depth;
  const uint32_t shift = 8 - depth - (bit & 7);
  const uint32_t mask = ((1u << depth) - 1) << shift;
  uint8_t& byte = data[bit >> 3];
  byte = static_cast<uint8_t>((byte & ~mask) | ((value << shift) & mask));
}

}  // namespace

int PngReader::InterlacePassCount() {
  ReaderState& s = *state_;
  if (s.interlaced == 0) return 1;
  s.transformations |= TransformInterlace;
  return 7;
}

void PngReader::SetPassGeometry() {
  ReaderState& s = *state_;
  s.passWidth = PassPixelWidth(s.width, s.pass);
  s.passRowBytes = RowBytesFor(s.passWidth, s.pixelDepth) + 1;
}

bool PngReader::AdvancePass() {
  ReaderState& s = *state_;
  s.rowNumber = 0;
  // The first row of every pass is unfiltered against a zero row, whatever the last pass left.
  std::memset(s.previousRow, 0, static_cast<size_t>(s.rowBytes) + 1);
  ++s.pass;
  if (s.pass >= 7) return false;
  SetPassGeometry();
  if ((s.transformations & TransformInterlace) == 0) {
    // Without interlace handling the caller asks for the pass rows themselves, so a pass that
    // has no rows or no columns holds no data and is stepped over here.
    while (s.pass < 7 && (PassRowCount(s.height, s.pass) == 0 || s.passWidth == 0)) {
      ++s.pass;
      if (s.pass < 7) SetPassGeometry();
    }
    if (s.pass >= 7) return false;
    s.numRows = PassRowCount(s.height, s.pass);
  }
  return true;
}

void PngReader::ExpandPassRow(RowInfo* row, uint8_t* data, int pass) {
  const uint32_t step = PassColumnStep[pass];
  const uint32_t width = row->width;
  const uint32_t depth = row->pixelDepth;
  const uint32_t wide = width * step;
  if (step > 1 && width > 0) {
    // From the last pixel to the first: every destination index is at least its source index,
    // so the widening can be done in place without overwriting a pixel still to be read.
    if (depth < 8) {
      uint32_t to = wide;
      for (uint32_t from = width; from-- > 0;) {
        const uint32_t value = GetPackedPixel(data, from, depth);
        for (uint32_t k = 0; k < step; ++k) SetPackedPixel(data, --to, depth, value);
      }
    } else {
      const uint32_t bytes = depth / 8;
      uint8_t pixel[8];
      uint8_t* to = data + static_cast<size_t>(wide) * bytes;
      for (uint32_t from = width; from-- > 0;) {
        std::memcpy(pixel, data + static_cast<size_t>(from) * bytes, bytes);
        for (uint32_t k = 0; k < step; ++k) {
          to -= bytes;
          std::memcpy(to, pixel, bytes);
        }
      }
    }
  }
  row->width = wide;
  row->rowBytes = RowBytesFor(wide, depth);
}

void PngReader::CombineRow(uint8_t* row, uint8_t mask) {
  const ReaderState& s = *state_;
  const uint8_t* source = s.rowBuffer + 1;
  const uint32_t width = s.width;
  const uint32_t depth = s.rowInfo.pixelDepth;
  if (mask == 0xFF) {
    std::memcpy(row, source, RowBytesFor(width, depth));
    return;
  }
  if (depth < 8) {
    for (uint32_t x = 0; x < width; ++x) {
      if (mask & (0x80u >> (x & 7)))
        SetPackedPixel(row, x, depth, GetPackedPixel(source, x, depth));
    }
    return;
  }
  const uint32_t bytes = depth / 8;
  for (uint32_t x = 0; x < width; ++x) {
    if (mask & (0x80u >> (x & 7))) {
      const size_t at = static_cast<size_t>(x) * bytes;
      std::memcpy(row + at, source + at, bytes);
    }
  }
}

}  // namespace pngtrans
