// Decoded PNG rows into the host's layouts: one converter per colour type and bit depth, each
// turning one row of PNG samples into host pixel bytes (8-bit grey levels or palette indices, or
// 24-bit blue, green, red) and, for colour types with alpha, 8-bit mask bytes.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace pngtrans {

// Converts one decoded row of width pixels. pixels receives HostPixelBytes × width bytes; mask
// receives width alpha bytes for colour types 4 and 6 and is not touched otherwise. Every pixel
// is converted, whatever the width (counts are 32-bit).
using RowConverter = void (*)(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t* mask);

// The converter for a colour type and bit depth: StatusBadFormat for a colour type outside
// 0, 2, 3, 4, 6; StatusError for a bit depth the colour type does not allow.
Status SelectRowConverter(uint8_t colorType, uint8_t bitDepth, RowConverter* converter);

// Bytes of one host pixel for a PNG colour type and bit depth: 3 for 24-bit host images
// (colour, and 16-bit grey with or without alpha), else 1.
uint32_t HostPixelBytes(uint8_t colorType, uint8_t bitDepth);

}  // namespace pngtrans
