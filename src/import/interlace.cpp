// Adam7 on the read side: pass geometry, the pass advance, and the two steps that place a
// decoded pass row into the caller's full-size row (widen, then merge under a column mask).
#include <cstring>

#include "format/adam7.h"
#include "import/png_reader.h"

namespace pngtrans {

namespace {

// Sub-byte pixels are packed from the most significant bit down: pixel x of a depth-d row sits
// at bit offset x * d, counted from the top bit of byte 0.
inline uint32_t GetPackedPixel(const uint8_t* data, uint32_t x, uint32_t depth) {
  const uint64_t bit = static_cast<uint64_t>(x) * depth;  // past 32 bits on the widest rows
  const uint32_t shift = 8 - depth - static_cast<uint32_t>(bit & 7);
  return (data[bit >> 3] >> shift) & ((1u << depth) - 1);
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
  BeginPassWindow();
  return true;
}

namespace {

// Widens whole pixels of Bytes bytes; a fixed size lets each copy compile to plain moves.
template <uint32_t Bytes>
void ExpandWholePixels(uint8_t* data, uint32_t width, uint32_t step) {
  uint8_t* to = data + static_cast<size_t>(width) * step * Bytes;
  for (uint32_t from = width; from-- > 0;) {
    uint8_t pixel[Bytes];
    std::memcpy(pixel, data + static_cast<size_t>(from) * Bytes, Bytes);
    for (uint32_t k = 0; k < step; ++k) {
      to -= Bytes;
      std::memcpy(to, pixel, Bytes);
    }
  }
}

}  // namespace

void PngReader::ExpandPassRow(RowInfo* row, uint8_t* data, int pass) {
  const uint32_t step = PassColumnStep[pass];
  const uint32_t width = row->width;
  const uint32_t depth = row->pixelDepth;
  const uint32_t wide = width * step;
  // From the last pixel to the first: every destination index is at least its source index,
  // so the widening can be done in place without overwriting a pixel still to be read.
  if (step > 1 && width > 0) {
    if (depth < 8) {
      // One destination byte at a time, built completely before it is stored: its source
      // pixels lie in bytes at or before it, which are not yet overwritten. Bits past the last
      // widened pixel keep their value.
      const uint32_t perByte = 8 / depth;
      const uint32_t pixelMask = (1u << depth) - 1;
      const uint32_t bytes = RowBytesFor(wide, depth);
      for (uint32_t j = bytes; j-- > 0;) {
        const uint64_t first = static_cast<uint64_t>(j) * perByte;
        uint32_t value = 0;
        uint32_t keep = 0;
        for (uint32_t k = 0; k < perByte; ++k) {
          const uint32_t shift = 8 - depth * (k + 1);
          const uint64_t x = first + k;
          if (x < wide) {
            value |= GetPackedPixel(data, static_cast<uint32_t>(x / step), depth) << shift;
          } else {
            keep |= pixelMask << shift;
          }
        }
        data[j] = static_cast<uint8_t>((data[j] & keep) | value);
      }
    } else {
      switch (depth / 8) {
        case 1:
          ExpandWholePixels<1>(data, width, step);
          break;
        case 2:
          ExpandWholePixels<2>(data, width, step);
          break;
        case 3:
          ExpandWholePixels<3>(data, width, step);
          break;
        case 4:
          ExpandWholePixels<4>(data, width, step);
          break;
        case 6:
          ExpandWholePixels<6>(data, width, step);
          break;
        default:
          ExpandWholePixels<8>(data, width, step);
          break;
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
  const uint32_t depth = s.pixelDepth;
  if (mask == 0xFF) {
    std::memcpy(row, source, RowBytesFor(width, depth));
    return;
  }
  if (depth < 8) {
    // The 8-column mask covers depth bytes; spread it into one byte mask per byte of that
    // group, then merge whole bytes. The last byte is limited to the columns of the image.
    const uint32_t perByte = 8 / depth;
    const uint32_t pixelMask = (1u << depth) - 1;
    uint8_t byteMasks[4] = {0, 0, 0, 0};
    for (uint32_t column = 0; column < 8; ++column) {
      if (mask & (0x80u >> column)) {
        const uint32_t shift = 8 - depth * (column % perByte + 1);
        byteMasks[column / perByte] =
            static_cast<uint8_t>(byteMasks[column / perByte] | (pixelMask << shift));
      }
    }
    const uint32_t wholeBytes = width / perByte;
    for (uint32_t i = 0; i < wholeBytes; ++i) {
      const uint8_t m = byteMasks[i % depth];
      row[i] = static_cast<uint8_t>((row[i] & ~m) | (source[i] & m));
    }
    const uint32_t rest = width % perByte;
    if (rest != 0) {
      const uint8_t inImage = static_cast<uint8_t>(0xFF << (8 - rest * depth));
      const uint8_t m = static_cast<uint8_t>(byteMasks[wholeBytes % depth] & inImage);
      row[wholeBytes] = static_cast<uint8_t>((row[wholeBytes] & ~m) | (source[wholeBytes] & m));
    }
    return;
  }
  // Whole pixels: the columns the mask selects within a group of 8, then group after group.
  const uint32_t bytes = depth / 8;
  uint32_t columns[8];
  uint32_t count = 0;
  for (uint32_t column = 0; column < 8; ++column) {
    if (mask & (0x80u >> column)) columns[count++] = column;
  }
  for (uint32_t group = 0; group < width; group += 8) {
    for (uint32_t c = 0; c < count; ++c) {
      const uint32_t x = group + columns[c];
      if (x >= width) break;
      const size_t at = static_cast<size_t>(x) * bytes;
      for (uint32_t b = 0; b < bytes; ++b) row[at + b] = source[at + b];
    }
  }
}

namespace {

template <uint32_t Bytes>
void PlacePixels(uint8_t* to, const uint8_t* from, uint32_t count, uint32_t step) {
  const size_t stride = static_cast<size_t>(step) * Bytes;
  for (uint32_t k = 0; k < count; ++k, from += Bytes, to += stride) std::memcpy(to, from, Bytes);
}

// Sub-byte pixels: each pass pixel replaces only its own bits of the destination byte. The
// source is walked a byte at a time, so its pixels come out by fixed shifts.
template <uint32_t Depth>
void PlacePackedPixels(uint8_t* row, const uint8_t* from, uint32_t count, uint32_t first,
                       uint32_t step) {
  constexpr uint32_t kPerByte = 8 / Depth;
  constexpr uint32_t kPixelMask = (1u << Depth) - 1;
  // Bit offsets in 64 bits: a 4-bit row of over 2^30 pixels has more bits than 32 bits count.
  const uint64_t bitStep = static_cast<uint64_t>(step) * Depth;
  uint64_t bit = static_cast<uint64_t>(first) * Depth;
  auto place = [&](uint32_t pixel) {
    const uint32_t shift = 8 - Depth - static_cast<uint32_t>(bit & 7);
    uint8_t& to = row[bit >> 3];
    to = static_cast<uint8_t>((to & ~(kPixelMask << shift)) | pixel << shift);
    bit += bitStep;
  };
  const uint32_t whole = count / kPerByte;
  for (uint32_t i = 0; i < whole; ++i) {
    const uint32_t source = from[i];
    for (uint32_t j = 0; j < kPerByte; ++j) place((source >> (8 - Depth * (j + 1))) & kPixelMask);
  }
  const uint32_t rest = count % kPerByte;
  for (uint32_t j = 0; j < rest; ++j) place((from[whole] >> (8 - Depth * (j + 1))) & kPixelMask);
}

}  // namespace

void PngReader::PlacePassPixels(uint8_t* row) const {
  const ReaderState& s = *state_;
  const uint8_t* from = s.rowBuffer + 1;
  const uint32_t bytes = s.pixelDepth / 8;
  const uint32_t step = PassColumnStep[s.pass];
  const uint32_t count = s.passWidth;
  if (s.pixelDepth < 8) {
    if (step == 1) {
      std::memcpy(row, from, RowBytesFor(count, s.pixelDepth));
    } else {
      const uint32_t first = PassStartColumn[s.pass];
      if (s.pixelDepth == 1) {
        PlacePackedPixels<1>(row, from, count, first, step);
      } else if (s.pixelDepth == 2) {
        PlacePackedPixels<2>(row, from, count, first, step);
      } else {
        PlacePackedPixels<4>(row, from, count, first, step);
      }
    }
    return;
  }
  // Pass pixel k belongs at column first + k * step, below the width for every k < passWidth.
  uint8_t* to = row + static_cast<size_t>(PassStartColumn[s.pass]) * bytes;
  if (step == 1) {
    std::memcpy(to, from, static_cast<size_t>(count) * bytes);
    return;
  }
  switch (bytes) {
    case 1:
      PlacePixels<1>(to, from, count, step);
      break;
    case 2:
      PlacePixels<2>(to, from, count, step);
      break;
    case 3:
      PlacePixels<3>(to, from, count, step);
      break;
    case 4:
      PlacePixels<4>(to, from, count, step);
      break;
    case 6:
      PlacePixels<6>(to, from, count, step);
      break;
    default:
      PlacePixels<8>(to, from, count, step);
      break;
  }
}

}  // namespace pngtrans
