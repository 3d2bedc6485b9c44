#include "support/export_judge.h"

#include <algorithm>
#include <cstring>

#include "support/export_host.h"
#include "support/png_readback.h"
#include "support/png_build.h"
#include "support/png_judge.h"

namespace pngtrans::test {

namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

struct Rgb8 {
  uint8_t r, g, b;
};

Rgb8 FromColorValue(ColorValue c) {
  return {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16)};
}

// The palette the file must carry for palette output, per colorKind (full colour: any).
int PaletteEntries(const HostImage& image) {
  switch (image.colorKind) {
    case ColorKindBilevel:
      return 2;
    case ColorKindIndexed:
      return image.paletteCount == 16 ? 16 : 256;
    default:
      return 256;
  }
}

// The colour the palette set-up gives index i for colour output of a non-full-colour image.
Rgb8 WriterPaletteEntry(const HostImage& image, uint8_t i) {
  switch (image.colorKind) {
    case ColorKindBilevel:
      return i == 1 ? Rgb8{255, 255, 255} : Rgb8{0, 0, 0};
    case ColorKindGrey:
      return {i, i, i};
    default:
      if (i >= PaletteEntries(image)) return {0, 0, 0};
      return FromColorValue(image.palette[i]);
  }
}

// The byte that stands for backgroundColor in grey or palette output (full colour into a
// palette excepted: the quantizer picks that index).
uint8_t ExpectedTransparentValue(const HostImage& image, uint8_t colorType) {
  const uint8_t index = static_cast<uint8_t>(image.backgroundColor);
  if (colorType == 3) return index;
  switch (image.colorKind) {
    case ColorKindIndexed:
      return ReferenceLuminance(image.palette[index]);
    case ColorKindFullColor:
      return ReferenceLuminance(image.backgroundColor);
    case ColorKindBilevel:
      if (image.palette != nullptr) return ReferenceLuminance(image.palette[index]);
      return image.backgroundColor != 0 ? 255 : 0;
    default:
      return index;
  }
}

Bytes Rgb16(Rgb8 c) {
  Bytes out = Be16(c.r);
  Append(&out, Be16(c.g));
  Append(&out, Be16(c.b));
  return out;
}

}  // namespace

uint32_t OptionWord(uint8_t colorType, bool interlace, bool transparency, bool saveMask) {
  return (interlace ? 1u : 0u) | (transparency ? 1u : 0u) << 4 | (saveMask ? 1u : 0u) << 8 |
         static_cast<uint32_t>(colorType) << 12 | 8u << 16;
}

uint32_t ExpectedOptionWord(uint32_t given, const ExportExpectation& expect, bool maskSaved) {
  return (given & 0xFFF00000u) |
         OptionWord(expect.colorType, expect.interlace == 1, expect.transparency == 1, maskSaved);
}

AssertionResult JudgeExport(const HostImage& image, const ExportExpectation& expect,
                            const Bytes& file, const std::string& path) {
  ReadPng png;
  std::string error;
  if (!ReadPngFile(file, &png, &error)) return AssertionFailure() << "unreadable: " << error;
  const uint8_t type = expect.colorType;
  if (png.width != image.width || png.height != image.height) {
    return AssertionFailure() << "size " << png.width << "x" << png.height;
  }
  if (png.colorType != type) return AssertionFailure() << "colour type " << int(png.colorType);
  const int depth =
      type == 3 && image.colorKind == ColorKindIndexed && image.paletteCount == 16 ? 4 : 8;
  if (png.bitDepth != depth) return AssertionFailure() << "bit depth " << int(png.bitDepth);
  if (png.interlace != expect.interlace) return AssertionFailure() << "interlace";

  const ReadChunk* plte = png.Find("PLTE");
  const int entries = plte != nullptr ? static_cast<int>(plte->data.size() / 3) : 0;
  Rgb8 background = {0, 0, 0};
  if (image.colorKind == ColorKindFullColor) {
    background = FromColorValue(image.backgroundColor);
  } else {
    background = WriterPaletteEntry(image, static_cast<uint8_t>(image.backgroundColor));
  }
  int transparent = type == 0 || type == 4 ? ExpectedTransparentValue(image, type) : -1;

  // Palette checks, and for palette output the index standing for the background.
  if (type == 3) {
    if (entries != PaletteEntries(image)) return AssertionFailure() << "PLTE entries " << entries;
    for (int i = 0; i < entries && image.colorKind != ColorKindFullColor; ++i) {
      const Rgb8 want = WriterPaletteEntry(image, static_cast<uint8_t>(i));
      if (std::memcmp(&plte->data[3 * i], &want, 3) != 0) {
        return AssertionFailure() << "PLTE entry " << i;
      }
    }
    if (image.colorKind == ColorKindFullColor) {
      // The quantizer gave the background an entry of its own colour (few colours: exact).
      transparent = -1;
      for (int i = 0; i < entries && transparent < 0; ++i) {
        if (std::memcmp(&plte->data[3 * i], &background, 3) == 0) transparent = i;
      }
      if (transparent < 0) return AssertionFailure() << "background colour not in PLTE";
    } else {
      transparent = ExpectedTransparentValue(image, type);
    }
  } else if (plte != nullptr) {
    return AssertionFailure() << "PLTE without palette output";
  }

  // The chunk sequence.
  const bool hasTrns = expect.transparency == 1 && (type == 0 || type == 2 || type == 3);
  const bool hasBkgd = type == 0 || type == 2 || (type == 3 && transparent < entries);
  const bool hasText = expect.title != nullptr && expect.title[0] != '\0';
  std::string sequence = "IHDR";
  if (type == 3) sequence += " PLTE";
  if (hasTrns) sequence += " tRNS";
  if (hasBkgd) sequence += " bKGD";
  sequence += " pHYs IDAT";
  if (hasText) sequence += " tEXt";
  sequence += " IEND";
  if (png.Sequence() != sequence) return AssertionFailure() << "chunks " << png.Sequence();

  const Bytes phys = png.Find("pHYs")->data;
  Bytes wantPhys = Be32(image.resolutionX);
  Append(&wantPhys, Be32(image.resolutionY));
  wantPhys.push_back(0);
  if (phys != wantPhys) return AssertionFailure() << "pHYs";

  if (hasTrns) {
    Bytes want;
    if (type == 0) want = Be16(static_cast<uint16_t>(transparent));
    if (type == 2) want = Rgb16(background);
    if (type == 3) {
      want.assign(static_cast<size_t>(std::min(transparent + 1, entries)), 255);
      if (transparent < entries) want[transparent] = 0;
    }
    if (png.Find("tRNS")->data != want) return AssertionFailure() << "tRNS bytes";
  }
  if (hasBkgd) {
    Bytes want;
    if (type == 0) want = Be16(static_cast<uint16_t>(transparent));
    if (type == 2) want = Rgb16(background);
    if (type == 3) want = {static_cast<uint8_t>(transparent)};
    if (png.Find("bKGD")->data != want) return AssertionFailure() << "bKGD bytes";
  }
  if (hasText) {
    Bytes want = {'T', 'i', 't', 'l', 'e', 0};
    want.insert(want.end(), expect.title, expect.title + std::strlen(expect.title));
    if (png.Find("tEXt")->data != want) return AssertionFailure() << "tEXt bytes";
  }

  // IDAT chunks of 8192 bytes but the last.
  std::vector<size_t> idats;
  for (const ReadChunk& c : png.chunks) {
    if (c.type == "IDAT") idats.push_back(c.data.size());
  }
  for (size_t i = 0; i + 1 < idats.size(); ++i) {
    if (idats[i] != 8192) return AssertionFailure() << "IDAT " << i << " of " << idats[i];
  }
  if (type == 3 || depth < 8) {
    for (uint8_t f : png.filters) {
      if (f != 0) return AssertionFailure() << "palette row filtered";
    }
  }

  // Every pixel.
  for (uint32_t y = 0; y < image.height; ++y) {
    const Bytes want = ExpectedPngRow(image, type, y);
    Bytes got = png.rows[y];
    if (type == 3 && image.colorKind == ColorKindFullColor) {
      Bytes colours;
      for (uint8_t index : got) {
        colours.insert(colours.end(), &plte->data[3 * index], &plte->data[3 * index] + 3);
      }
      got = colours;
    }
    if (got != want) {
      for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) {
          return AssertionFailure() << "row " << y << " byte " << i << ": " << int(got[i])
                                    << " instead of " << int(want[i]);
        }
      }
      return AssertionFailure() << "row " << y;
    }
  }

#if PNGTRANS_HAVE_LIBPNG
  DecodedPng decoded;
  if (!DecodeWithLibpng(file, &decoded)) return AssertionFailure() << "libpng: " << decoded.error;
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t i = 0; i < png.rows[y].size(); ++i) {
      if (GetSample(decoded.rows[y], i, static_cast<uint8_t>(depth)) != png.rows[y][i]) {
        return AssertionFailure() << "libpng sees row " << y << " differently";
      }
    }
  }
  std::string output;
  if (!RunPngcheck(path, &output)) return AssertionFailure() << "pngcheck: " << output;
#else
  (void)path;
#endif
  return AssertionSuccess();
}

}  // namespace pngtrans::test
