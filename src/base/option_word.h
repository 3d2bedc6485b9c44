// The SaveOptions word: five 4-bit fields the host keeps between exports.
//   byte 0: interlace (bits 0-3), transparency (bits 4-7)
//   byte 1: saveMask (bits 8-11), colorType (bits 12-15)
//   byte 2: depth (bits 16-19); bits 20-31 reserved and preserved.
#pragma once

#include <cstdint>

#include "base/host_image.h"

namespace pngtrans {

struct SaveOptionValues {
  uint8_t interlace;     // 1 = Adam7
  uint8_t transparency;  // 1 = background colour written as transparent
  uint8_t saveMask;      // 1 = mask as alpha; 255 = the image has no mask
  uint8_t colorType;     // PNG colour type 0, 2, 3, 4 or 6
  uint16_t depth;        // carried through unchanged
};

// Decodes a word: the three flags are 1 only when their nibble is exactly 1.
SaveOptionValues DecodeSaveOptions(uint32_t word);

// Writes the five nibbles back (flags as 0 or 1, so a saveMask of 255 becomes 0) and keeps
// every other bit of the word.
uint32_t EncodeSaveOptions(uint32_t word, const SaveOptionValues& values);

// The values a zero word stands for in the options command.
SaveOptionValues DefaultEditOptions();

// Command 13: the word unchanged, except that a bilevel image never saves a mask.
uint32_t AdjustOptionsForImage(const HostImage* image, uint32_t options);

}  // namespace pngtrans
