#include "support/export_host.h"

#include <cstring>

#include "support/guarded_memory.h"

namespace pngtrans::test {

namespace {

uint32_t NextRandom(uint32_t* state) {
  *state = *state * 1103515245u + 12345u;
  return *state >> 8;
}

int32_t UsualBits(int32_t kind) {
  switch (kind) {
    case ColorKindBilevel:
      return 1;
    case ColorKindFullColor:
      return 24;
    default:
      return 8;
  }
}

// Host sample x of a row: the bit, nibble or byte the kind and depth give.
uint32_t Sample(const HostImage& image, const uint8_t* row, uint32_t x) {
  if (image.colorKind == ColorKindBilevel) return (row[x / 8] >> (7 - x % 8)) & 1;
  if (image.bitsPerPixel == 4) return x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15;
  return row[x];
}

void PushRgb(Bytes* out, uint8_t r, uint8_t g, uint8_t b) {
  out->push_back(r);
  out->push_back(g);
  out->push_back(b);
}

}  // namespace

uint32_t UsedRowBytes(int32_t kind, int32_t bits, uint32_t width) {
  if (kind == ColorKindBilevel) return (width + 7) / 8;
  if (kind == ColorKindFullColor) return 3 * width;
  return bits == 4 ? (width + 1) / 2 : width;
}

uint8_t ReferenceLuminance(ColorValue color) {
  if ((color & 0xFFFFFF) == 0xFFFFFF) return 255;
  const int r = color & 255, g = (color >> 8) & 255, b = (color >> 16) & 255;
  return static_cast<uint8_t>(0.289659 * r + 0.605636 * g + 0.104665 * b);
}

GuardedHostImage::GuardedHostImage(const HostSpec& shape) {
  uint32_t state = shape.seed * 2654435761u + 1;
  const int32_t bits = shape.bits != 0 ? shape.bits : UsualBits(shape.kind);
  const uint32_t used = UsedRowBytes(shape.kind, bits, shape.width);
  image.width = shape.width;
  image.height = shape.height;
  image.resolutionX = shape.resolution;
  image.resolutionY = shape.resolution + 1;
  image.colorKind = shape.kind;
  image.bitsPerPixel = bits;
  image.paletteCount = shape.paletteCount;
  image.rowBytes = used + shape.stridePad;
  image.backgroundColor = shape.background;

  if (shape.kind == ColorKindIndexed || shape.hostPalette) {
    palette_.resize(256);
    for (ColorValue& c : palette_) c = NextRandom(&state) & 0xFFFFFF;
    image.palette = palette_.data();
  }
  std::vector<ColorValue> colours;
  for (uint32_t i = 0; i < shape.colours; ++i) colours.push_back(NextRandom(&state) & 0xFFFFFF);

  const size_t pixelBytes =
      shape.height == 0 ? 1 : static_cast<size_t>(shape.height - 1) * image.rowBytes + used;
  pixels_ = GuardedAlloc(pixelBytes == 0 ? 1 : pixelBytes);
  auto* pixels = static_cast<uint8_t*>(pixels_);
  // Padding bytes are random too: a conversion that reads them changes its output.
  for (size_t i = 0; i < pixelBytes; ++i) pixels[i] = static_cast<uint8_t>(NextRandom(&state));
  if (shape.kind == ColorKindFullColor && !colours.empty()) {
    for (uint32_t y = 0; y < shape.height; ++y) {
      uint8_t* row = pixels + static_cast<size_t>(y) * image.rowBytes;
      for (uint32_t x = 0; x < shape.width; ++x) {
        const ColorValue c = colours[NextRandom(&state) % colours.size()];
        row[3 * x] = static_cast<uint8_t>(c >> 16);
        row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(c);
      }
    }
  }
  if (shape.kind == ColorKindIndexed && shape.paletteCount == 16 && bits == 8) {
    // An 8-bit indexed image with 16 colours uses indices below 16 only.
    for (size_t i = 0; i < pixelBytes; ++i) pixels[i] &= 15;
  }
  image.pixels = pixels;

  if (shape.maskKind == MaskOneBit || shape.maskKind == MaskEightBit) {
    const uint32_t maskUsed = shape.maskKind == MaskOneBit ? (shape.width + 7) / 8 : shape.width;
    image.maskKind = shape.maskKind;
    image.maskBits = shape.maskKind == MaskOneBit ? 1 : 8;
    image.maskRowBytes = static_cast<int32_t>(maskUsed + shape.maskPad);
    const size_t maskBytes =
        shape.height == 0 ? 1
                          : static_cast<size_t>(shape.height - 1) * image.maskRowBytes + maskUsed;
    mask_ = GuardedAlloc(maskBytes == 0 ? 1 : maskBytes);
    auto* mask = static_cast<uint8_t*>(mask_);
    for (size_t i = 0; i < maskBytes; ++i) mask[i] = static_cast<uint8_t>(NextRandom(&state));
    image.mask = mask;
  } else if (shape.maskKind != MaskNone) {
    // A mask kind the export does not know, with a buffer it must not read.
    image.maskKind = shape.maskKind;
    mask_ = GuardedAlloc(1);
    image.mask = static_cast<uint8_t*>(mask_);
  }
}

GuardedHostImage::~GuardedHostImage() {
  if (pixels_ != nullptr) GuardedFree(pixels_);
  if (mask_ != nullptr) GuardedFree(mask_);
}

Bytes ExpectedPngRow(const HostImage& image, uint8_t colorType, uint32_t y) {
  const uint8_t* row = image.pixels + static_cast<size_t>(y) * image.rowBytes;
  // The mask is read only for the colour types that carry alpha, like the export does.
  const bool hasMask = (image.maskKind == 1 || image.maskKind == 2) && image.mask != nullptr &&
                       (colorType == 4 || colorType == 6);
  const uint8_t* mask =
      hasMask ? image.mask + static_cast<size_t>(y) * image.maskRowBytes : nullptr;
  Bytes out;
  for (uint32_t x = 0; x < image.width; ++x) {
    uint8_t r = 0, g = 0, b = 0, index = 0;
    if (image.colorKind == ColorKindFullColor) {
      b = row[3 * x];
      g = row[3 * x + 1];
      r = row[3 * x + 2];
    } else {
      const uint32_t s = Sample(image, row, x);
      if (image.colorKind == ColorKindBilevel) {
        r = g = b = s != 0 ? 255 : 0;
        index = static_cast<uint8_t>(s);
      } else if (image.colorKind == ColorKindGrey) {
        r = g = b = static_cast<uint8_t>(image.bitsPerPixel == 4 ? s * 17 : s);
        index = r;
      } else {
        const ColorValue c = image.palette[s];
        r = c & 255;
        g = (c >> 8) & 255;
        b = (c >> 16) & 255;
        index = static_cast<uint8_t>(s);
      }
    }
    const ColorValue colour = r | g << 8 | static_cast<ColorValue>(b) << 16;
    const uint8_t grey = image.colorKind == ColorKindBilevel || image.colorKind == ColorKindGrey
                             ? r
                             : ReferenceLuminance(colour);
    uint8_t alpha = 255;
    if (hasMask && image.maskKind == 1) alpha = (mask[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
    if (hasMask && image.maskKind == 2) alpha = mask[x];
    switch (colorType) {
      case 0:
        out.push_back(grey);
        break;
      case 4:
        out.push_back(grey);
        out.push_back(alpha);
        break;
      case 3:
        if (image.colorKind == ColorKindFullColor) {
          PushRgb(&out, r, g, b);
        } else {
          out.push_back(index);
        }
        break;
      case 2:
        PushRgb(&out, r, g, b);
        break;
      case 6:
        PushRgb(&out, r, g, b);
        out.push_back(alpha);
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace pngtrans::test
