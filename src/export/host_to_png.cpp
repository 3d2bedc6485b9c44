#include "export/host_to_png.h"

#include "quantize/median_cut.h"

namespace pngtrans {

namespace {

enum class Output { Grey, Index, Rgb, None };

Output OutputFor(uint8_t colorType) {
  switch (colorType) {
    case 0:
    case 4:
      return Output::Grey;
    case 3:
      return Output::Index;
    case 2:
    case 6:
      return Output::Rgb;
    default:
      return Output::None;
  }
}

// One host sample per pixel, for the layouts that carry one: 1 bit (bilevel), 4 bits (grey or
// indexed, high nibble first) and 8 bits.
struct Bit1 {
  static uint8_t At(const uint8_t* row, uint32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }
};
struct Bit4 {
  static uint8_t At(const uint8_t* row, uint32_t x) {
    return (x & 1) != 0 ? row[x >> 1] & 0x0F : row[x >> 1] >> 4;
  }
};
struct Bit8 {
  static uint8_t At(const uint8_t* row, uint32_t x) { return row[x]; }
};

template <typename Sample>
void ConvertSamples(const uint8_t* in, uint8_t* out, uint32_t width, Output output,
                    const uint8_t* grey, const uint8_t* index, const uint8_t (*rgb)[3]) {
  switch (output) {
    case Output::Grey:
      for (uint32_t x = 0; x < width; ++x) out[x] = grey[Sample::At(in, x)];
      break;
    case Output::Index:
      for (uint32_t x = 0; x < width; ++x) out[x] = index[Sample::At(in, x)];
      break;
    case Output::Rgb:
      for (uint32_t x = 0; x < width; ++x, out += 3) {
        const uint8_t* c = rgb[Sample::At(in, x)];
        out[0] = c[0];
        out[1] = c[1];
        out[2] = c[2];
      }
      break;
    case Output::None:
      break;
  }
}

// Host full-colour pixels are blue, green, red.
void ConvertFullColor(const uint8_t* in, uint8_t* out, uint32_t width, Output output) {
  switch (output) {
    case Output::Grey:
      for (uint32_t x = 0; x < width; ++x, in += 3) {
        out[x] =
            ColorLuminance(static_cast<ColorValue>(in[2]) | static_cast<ColorValue>(in[1]) << 8 |
                           static_cast<ColorValue>(in[0]) << 16);
      }
      break;
    case Output::Index:
      for (uint32_t x = 0; x < width; ++x, in += 3) out[x] = PaletteIndexOf(in);
      break;
    case Output::Rgb:
      for (uint32_t x = 0; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
      break;
    case Output::None:
      break;
  }
}

uint8_t MaskAlpha(uint32_t maskKind, const uint8_t* mask, uint32_t x) {
  if (mask == nullptr) return 255;
  switch (maskKind) {
    case MaskEightBit:
      return mask[x];
    case MaskOneBit:
      return (mask[x >> 3] & (0x80 >> (x & 7))) != 0 ? 255 : 0;
    default:
      return 255;
  }
}

}  // namespace

uint8_t ColorLuminance(ColorValue color) {
  if ((color & 0x00FFFFFF) == 0x00FFFFFF) return 255;
  const double red = color & 0xFF;
  const double green = (color >> 8) & 0xFF;
  const double blue = (color >> 16) & 0xFF;
  // The weights sum to 0.99996: the result never exceeds 255, but white would come out as
  // 254, which is why it is taken out above.
  return static_cast<uint8_t>(0.289659 * red + 0.605636 * green + 0.104665 * blue);
}

uint32_t HostRowBytesUsed(const HostImage& image) {
  const uint32_t w = image.width;
  switch (image.colorKind) {
    case ColorKindBilevel:
      return w / 8 + ((w & 7) != 0 ? 1 : 0);
    case ColorKindGrey:
    case ColorKindIndexed:
      return image.bitsPerPixel == 4 ? w / 2 + (w & 1) : w;
    case ColorKindFullColor:
      return 3 * w;
    default:
      return 0;
  }
}

uint32_t MaskRowBytesUsed(const HostImage& image) {
  switch (image.maskKind) {
    case MaskOneBit:
      return image.width / 8 + ((image.width & 7) != 0 ? 1 : 0);
    case MaskEightBit:
      return image.width;
    default:
      return 0;
  }
}

bool HostHasMask(const HostImage& image) {
  return (image.maskKind == MaskOneBit || image.maskKind == MaskEightBit) && image.mask != nullptr;
}

void RowConverter::Prepare(const HostImage& image, uint8_t colorType) {
  width_ = image.width;
  colorKind_ = image.colorKind;
  colorType_ = colorType;
  fourBit_ =
      (colorKind_ == ColorKindGrey || colorKind_ == ColorKindIndexed) && image.bitsPerPixel == 4;
  for (int v = 0; v < 256; ++v) {
    uint8_t r = 0, g = 0, b = 0;
    switch (colorKind_) {
      case ColorKindBilevel:
        // Black and white whatever the host palette says.
        r = g = b = v != 0 ? 255 : 0;
        break;
      case ColorKindGrey:
        // A 4-bit level n stands for n x 17.
        r = g = b = static_cast<uint8_t>(fourBit_ ? (v & 0x0F) * 17 : v);
        break;
      case ColorKindIndexed:
        if (image.palette != nullptr) {
          const ColorValue c = image.palette[v];
          r = static_cast<uint8_t>(c);
          g = static_cast<uint8_t>(c >> 8);
          b = static_cast<uint8_t>(c >> 16);
        }
        break;
      default:
        break;
    }
    rgb_[v][0] = r;
    rgb_[v][1] = g;
    rgb_[v][2] = b;
    // Bilevel and indexed samples are palette indices already; a grey level indexes the grey
    // ramp, so a 4-bit grey nibble n becomes index n x 17 like its level.
    index_[v] = colorKind_ == ColorKindGrey ? r : static_cast<uint8_t>(v);
    // Grey pixels keep their level; palette colours become their luminance.
    grey_[v] = colorKind_ == ColorKindIndexed && image.palette != nullptr
                   ? ColorLuminance(image.palette[v])
                   : r;
  }
}

void RowConverter::Convert(const uint8_t* hostRow, uint8_t* pngRow) const {
  const Output output = OutputFor(colorType_);
  switch (colorKind_) {
    case ColorKindBilevel:
      ConvertSamples<Bit1>(hostRow, pngRow, width_, output, grey_, index_, rgb_);
      break;
    case ColorKindGrey:
    case ColorKindIndexed:
      if (fourBit_) {
        ConvertSamples<Bit4>(hostRow, pngRow, width_, output, grey_, index_, rgb_);
      } else {
        ConvertSamples<Bit8>(hostRow, pngRow, width_, output, grey_, index_, rgb_);
      }
      break;
    case ColorKindFullColor:
      ConvertFullColor(hostRow, pngRow, width_, output);
      break;
    default:
      break;
  }
}

void ConvertRow(const HostImage& image, const uint8_t* hostRow, uint8_t* pngRow,
                uint8_t colorType) {
  RowConverter converter;
  converter.Prepare(image, colorType);
  converter.Convert(hostRow, pngRow);
}

void MergeAlpha(const HostImage& image, uint8_t* pngRow, const uint8_t* maskRow,
                uint8_t colorType) {
  const uint32_t width = image.width;
  // Backwards, so that each pixel's samples are read before the wider layout overwrites them:
  // pixel x moves from x (3x) to 2x (4x), never below where pixels still unread lie.
  if (colorType == 4) {
    for (uint32_t x = width; x-- > 0;) {
      const uint8_t grey = pngRow[x];
      pngRow[2 * x] = grey;
      pngRow[2 * x + 1] = MaskAlpha(image.maskKind, maskRow, x);
    }
  } else if (colorType == 6) {
    for (uint32_t x = width; x-- > 0;) {
      const uint8_t r = pngRow[3 * x], g = pngRow[3 * x + 1], b = pngRow[3 * x + 2];
      pngRow[4 * x] = r;
      pngRow[4 * x + 1] = g;
      pngRow[4 * x + 2] = b;
      pngRow[4 * x + 3] = MaskAlpha(image.maskKind, maskRow, x);
    }
  }
}

}  // namespace pngtrans
