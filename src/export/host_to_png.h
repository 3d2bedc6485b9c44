// Host pixel rows into PNG rows: every colorKind into every PNG colour type at 8 bits per
// sample, one sample per byte, and the host mask merged in as the alpha channel.
#pragma once

#include <cstdint>

#include "base/host_image.h"

namespace pngtrans {

// Grey level of a ColorValue (red in the low byte): 255 for white, otherwise
// 0.289659 red + 0.605636 green + 0.104665 blue in IEEE double, truncated toward zero.
// Bits 24-31 carry no colour and are ignored.
uint8_t ColorLuminance(ColorValue color);

// Bytes that width pixels occupy in a host pixel row (kinds 0-3, 4-bit rows for kinds 1 and
// 2) and in a host mask row (maskKind 1 or 2; 0 for any other kind). Hosts may pad their rows
// beyond this; nothing past it is ever read. The width must have passed the export's size
// check (these products then fit in 32 bits).
uint32_t HostRowBytesUsed(const HostImage& image);
uint32_t MaskRowBytesUsed(const HostImage& image);

// The export treats a mask as present only for the two mask layouts it knows and a buffer.
bool HostHasMask(const HostImage& image);

// Converts host rows of one image into PNG rows of one colour type. Per-image work (palette
// luminances and colours) is done once in Prepare, so the per-row loop is a table look-up.
// Full colour into palette output asks the module's quantizer, which must have been fed the
// whole image and built its palette.
class RowConverter {
 public:
  void Prepare(const HostImage& image, uint8_t colorType);

  // Writes width samples (3 x width for colour types 2 and 6) into pngRow from the host row,
  // which must hold HostRowBytesUsed bytes. Unknown colour types or kinds write nothing.
  void Convert(const uint8_t* hostRow, uint8_t* pngRow) const;

 private:
  uint32_t width_ = 0;
  int32_t colorKind_ = 0;
  bool fourBit_ = false;
  uint8_t colorType_ = 0;
  // Per host sample value: the grey level, the palette index and the red, green, blue the
  // sample stands for.
  uint8_t grey_[256] = {};
  uint8_t index_[256] = {};
  uint8_t rgb_[256][3] = {};
};

// One row at a time, preparing the tables each call: for callers converting a single row.
void ConvertRow(const HostImage& image, const uint8_t* hostRow, uint8_t* pngRow, uint8_t colorType);

// Adds the alpha channel for colour types 4 and 6 in place: the grey (or red, green, blue)
// samples of width pixels are spread out backwards to two (four) bytes per pixel, so pngRow
// must have room for 2 x width (4 x width) bytes. The alpha of pixel x is mask byte x for
// maskKind 2, 255 or 0 from bit x (most significant first) for maskKind 1, and 255 (opaque)
// when there is no mask row or the maskKind is one the export does not know. Other colour
// types are left as they are.
void MergeAlpha(const HostImage& image, uint8_t* pngRow, const uint8_t* maskRow, uint8_t colorType);

}  // namespace pngtrans
