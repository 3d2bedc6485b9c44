// Host images for export tests: seeded pixels, palettes and masks in buffers that end flush
// against a guard page (the last row has no padding after its pixels), so any read past the
// bytes the pixels occupy crashes the test. Also the PNG rows the conversion rules promise
// for them, computed plainly pixel by pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "pngtrans_host.h"
#include "support/files.h"

namespace pngtrans::test {

struct HostSpec {
  int32_t kind = ColorKindFullColor;
  int32_t bits = 0;  // 0: the kind's usual depth (1, 8, 8, 24); 4 for packed grey/indexed
  uint32_t width = 13;
  uint32_t height = 11;
  uint32_t paletteCount = 256;
  uint32_t stridePad = 0;  // bytes of padding after each row's pixels (not after the last)
  uint32_t maskKind = MaskNone;
  uint32_t maskPad = 0;
  uint32_t seed = 1;
  uint32_t background = 0;
  uint32_t colours = 40;     // distinct full-colour pixel values to draw from (kind 3)
  bool hostPalette = false;  // a palette buffer for kinds other than indexed
  uint32_t resolution = 72;
};

class GuardedHostImage {
 public:
  explicit GuardedHostImage(const HostSpec& shape);
  ~GuardedHostImage();
  GuardedHostImage(const GuardedHostImage&) = delete;
  GuardedHostImage& operator=(const GuardedHostImage&) = delete;

  HostImage image = {};
  HostImage* get() { return &image; }

 private:
  void* pixels_ = nullptr;
  void* mask_ = nullptr;
  std::vector<ColorValue> palette_;
};

// Bytes width pixels occupy in a row of this kind and depth.
uint32_t UsedRowBytes(int32_t kind, int32_t bits, uint32_t width);

// The grey level a ColorValue gives, written out from the weights.
uint8_t ReferenceLuminance(ColorValue color);

// What a PNG row of the colour type holds for host row y, one byte per sample (alpha included
// for types 4 and 6, 255 where the host has no mask). For palette output the index, except
// for full-colour images, where the quantizer picks the index: there the row holds the red,
// green and blue the pixel has, three bytes per pixel, to compare with the PLTE entry.
Bytes ExpectedPngRow(const HostImage& image, uint8_t colorType, uint32_t y);

}  // namespace pngtrans::test
