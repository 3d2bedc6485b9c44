// Builds PNG files for tests without the module's code: chunks with real CRCs (zlib's crc32),
// and a small encoder with a chosen filter per row, Adam7 and chosen IDAT splits. Works on
// both targets; libpng (Linux only) is the independent judge in png_judge.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"

namespace pngtrans::test {

Bytes Be32(uint32_t value);
Bytes Be16(uint16_t value);
void Append(Bytes* to, const Bytes& from);

Bytes PngSignature();
// length, type, data, CRC over type and data.
Bytes MakeChunk(const std::string& type, const Bytes& data);
// The same with the stored CRC changed.
Bytes MakeChunkBadCrc(const std::string& type, const Bytes& data);
Bytes IhdrData(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
               uint8_t interlace = 0);
Bytes ZlibCompress(const Bytes& raw, int level = 6);
// A tEXt chunk: keyword, NUL, text.
Bytes TextChunk(const std::string& keyword, const std::string& text);

// Channels of a PNG colour type (0 for an invalid type).
int ChannelsOf(uint8_t colorType);

// Every bit depth and colour type pair PNG allows.
struct PngFormat {
  uint8_t depth;
  uint8_t type;
};
inline constexpr PngFormat kPngFormats[] = {{1, 0},  {2, 0}, {4, 0},  {8, 0}, {16, 0},
                                            {1, 3},  {2, 3}, {4, 3},  {8, 3}, {8, 2},
                                            {16, 2}, {8, 4}, {16, 4}, {8, 6}, {16, 6}};

// An image as PNG rows: each row packed as in the file (samples MSB first, 16-bit big-endian),
// without filter bytes.
struct RawImage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bitDepth = 8;
  uint8_t colorType = 0;
  std::vector<Bytes> rows;

  uint32_t PixelBits() const { return static_cast<uint32_t>(ChannelsOf(colorType)) * bitDepth; }
  uint32_t RowBytes() const { return (width * PixelBits() + 7) / 8; }
};

// Random samples (seeded); palette images use indices below paletteSize.
RawImage RandomImage(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                     uint32_t seed, uint32_t paletteSize = 256);

struct EncodeOptions {
  bool interlace = false;
  // Filter type per row: -1 cycles 0,1,2,3,4 row by row; 0-4 fixed; 5+ writes that invalid byte.
  int filter = -1;
  // Sizes of the IDAT chunks the compressed stream is cut into; the last size repeats, and
  // what is left goes into a final chunk. Empty: one chunk.
  std::vector<uint32_t> idatSizes;
  // A zero-length IDAT between every two IDAT chunks.
  bool zeroLengthIdats = false;
  Bytes palette;                        // PLTE data (RGB triples); written when not empty
  Bytes trns;                           // tRNS data; written when not empty
  std::vector<Bytes> chunksBeforeIdat;  // complete chunks (MakeChunk) after PLTE/tRNS
  std::vector<Bytes> chunksAfterIdat;   // complete chunks before IEND
  bool writeIend = true;
  int level = 6;
};

// The filtered (and for Adam7, pass-ordered) byte stream before compression.
Bytes FilteredStream(const RawImage& image, const EncodeOptions& options);

// A whole file. The filtered stream may be given instead of being built (for broken streams).
Bytes EncodePng(const RawImage& image, const EncodeOptions& options = EncodeOptions());
Bytes EncodePngFromStream(const RawImage& image, const Bytes& zlibStream,
                          const EncodeOptions& options);

// Adam7 pass geometry.
uint32_t PassWidth(uint32_t width, int pass);
uint32_t PassHeight(uint32_t height, int pass);

// A sample of a packed row (any depth), and setting one.
uint32_t GetSample(const Bytes& row, uint32_t index, uint8_t bitDepth);
void SetSample(Bytes* row, uint32_t index, uint8_t bitDepth, uint32_t value);

}  // namespace pngtrans::test
