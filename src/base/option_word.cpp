#include "base/option_word.h"

namespace pngtrans {

namespace {

constexpr uint32_t kFieldsMask = 0x000FFFFF;

uint32_t Nibble(uint32_t word, int shift) {
  return (word >> shift) & 0xF;
}

}  // namespace

SaveOptionValues DecodeSaveOptions(uint32_t word) {
  SaveOptionValues values;
  values.interlace = Nibble(word, 0) == 1 ? 1 : 0;
  values.transparency = Nibble(word, 4) == 1 ? 1 : 0;
  values.saveMask = Nibble(word, 8) == 1 ? 1 : 0;
  values.colorType = static_cast<uint8_t>(Nibble(word, 12));
  values.depth = static_cast<uint16_t>(Nibble(word, 16));
  return values;
}

uint32_t EncodeSaveOptions(uint32_t word, const SaveOptionValues& values) {
  const uint32_t fields = (values.interlace == 1 ? 1u : 0u) |
                          (values.transparency == 1 ? 1u : 0u) << 4 |
                          (values.saveMask == 1 ? 1u : 0u) << 8 |
                          (static_cast<uint32_t>(values.colorType) & 0xF) << 12 |
                          (static_cast<uint32_t>(values.depth) & 0xF) << 16;
  return (word & ~kFieldsMask) | fields;
}

SaveOptionValues DefaultEditOptions() {
  return SaveOptionValues{0, 0, 0, 2, 8};
}

uint32_t AdjustOptionsForImage(const HostImage* image, uint32_t options) {
  if (image != nullptr && image->colorKind == ColorKindBilevel) options &= ~0x00000F00u;
  return options;
}

}  // namespace pngtrans
