#include <algorithm>
#include "support/import_matrix.h"

#include "support/png_build.h"
#include "support/png_judge.h"

namespace pngtrans::test {

namespace {

std::string Describe(const RawImage& raw, const EncodeOptions& o) {
  std::string split = o.idatSizes.empty() ? "one" : o.idatSizes[0] == 1 ? "bytes" : "many";
  return "type " + std::to_string(raw.colorType) + " depth " + std::to_string(raw.bitDepth) + " " +
         std::to_string(raw.width) + "x" + std::to_string(raw.height) +
         (o.interlace ? " adam7" : " plain") + " filter " + std::to_string(o.filter) + " idat " +
         split + (o.zeroLengthIdats ? "+empty" : "");
}

// split 0: one chunk; 1: chunks of 7, 64, 3, 3, ... with empty chunks between; 2: one-byte
// chunks (with empty ones between every other time).
void ApplySplit(int split, bool empties, EncodeOptions* o) {
  if (split == 1) {
    o->idatSizes = {7, 64, 3};
    o->zeroLengthIdats = true;
  } else if (split == 2) {
    o->idatSizes = {1};
    o->zeroLengthIdats = empties;
  }
}

MatrixCase MakeCase(const PngFormat& f, uint32_t width, uint32_t height, bool interlace, int filter,
                    int split, uint32_t seed) {
  MatrixCase c;
  const uint32_t entries = f.type == 3 ? (1u << f.depth) : 0;
  c.raw = RandomImage(width, height, f.depth, f.type, seed, entries == 0 ? 256 : entries);
  c.options.interlace = interlace;
  c.options.filter = filter;
  ApplySplit(split, seed % 2 == 0, &c.options);
  if (f.type == 3) {
    c.options.palette = TestPalette(entries);
    if (seed % 3 == 0) c.options.trns = Bytes{0, 77};
  }
  c.name = Describe(c.raw, c.options);
  return c;
}

}  // namespace

std::vector<MatrixCase> SmallImageMatrix() {
  std::vector<MatrixCase> cases;
  uint32_t n = 0;
  for (const PngFormat& f : kPngFormats) {
    for (bool interlace : {false, true}) {
      for (uint32_t width = 1; width <= 17; ++width) {
        for (uint32_t height = 1; height <= 9; ++height, ++n) {
          const int filter = static_cast<int>(n % 6) - 1;  // -1 cycles per row
          cases.push_back(MakeCase(f, width, height, interlace, filter, (n / 6) % 3, n));
        }
      }
    }
  }
  return cases;
}

std::vector<MatrixCase> FilterSplitMatrix() {
  std::vector<MatrixCase> cases;
  uint32_t n = 0;
  for (const PngFormat& f : kPngFormats) {
    for (bool interlace : {false, true}) {
      for (int filter = 0; filter <= 4; ++filter) {
        for (int split = 0; split < 3; ++split) {
          for (uint32_t width : {3u, 16u, 33u}) {
            cases.push_back(
                MakeCase(f, width, width == 33 ? 12 : 5, interlace, filter, split, ++n));
          }
        }
      }
    }
  }
  return cases;
}

std::vector<MatrixCase> LargeImageCases() {
  struct Wide {
    uint32_t width;
    PngFormat format;
  };
  std::vector<MatrixCase> cases;
  uint32_t n = 1000;
  for (const Wide& w :
       {Wide{65528, {8, 0}}, Wide{65528, {8, 3}}, Wide{16376, {8, 6}}, Wide{524272, {1, 0}},
        Wide{262136, {2, 3}}, Wide{131064, {4, 0}}, Wide{32760, {16, 0}}, Wide{32760, {8, 4}},
        Wide{21840, {8, 2}}, Wide{10920, {16, 2}}, Wide{8184, {16, 6}}, Wide{16376, {16, 4}}}) {
    for (bool interlace : {false, true}) {
      cases.push_back(MakeCase(w.format, w.width, 3, interlace, -1, 0, ++n));
    }
  }
  for (const PngFormat& f : kPngFormats) {
    cases.push_back(MakeCase(f, 300, 257, true, -1, 0, ++n));
    cases.push_back(MakeCase(f, 1000, 40, false, -1, 0, ++n));
    // Rows of 3 and 10 times the widest that fitted the 64 KiB row buffer of 1.1.0 and before.
    const uint32_t pixelBits = static_cast<uint32_t>(ChannelsOf(f.type)) * f.depth;
    const uint32_t old = (65536 - 1 - (pixelBits + 7) / 8) * 8 / pixelBits / 8 * 8;
    for (uint32_t times : {3u, 10u}) {
      for (bool interlace : {false, true}) {
        cases.push_back(MakeCase(f, old * times, 2, interlace, -1, 0, ++n));
      }
    }
  }
  // One row of a million pixels, and a million rows of one.
  cases.push_back(MakeCase({1, 0}, 1000000, 1, false, -1, 0, ++n));
  cases.push_back(MakeCase({1, 0}, 1, 1000000, false, -1, 0, ++n));
  // Chunk sizes around the 8192-byte input buffer, with empty chunks between.
  for (MatrixCase& c : cases) {
    if (c.raw.height == 3 || n % 2 == 0) {
      c.options.idatSizes = {8191, 8192, 8193, 100000};
      c.options.zeroLengthIdats = true;
    }
    ++n;
    c.name += c.options.idatSizes.empty() ? "" : " (large chunks)";
  }
  return cases;
}

uint32_t ExpectedOptions(const MatrixCase& c) {
  const uint8_t type = c.raw.colorType;
  uint32_t word = c.options.interlace ? 1 : 0;
  // A palette has a transparent colour only in an entry of alpha 0.
  const Bytes& trns = c.options.trns;
  if (type == 3 ? std::find(trns.begin(), trns.end(), 0) != trns.end() : !trns.empty()) {
    word |= 0x10;
  }
  if (type == 4 || type == 6) word |= 0x100;
  word |= static_cast<uint32_t>(type) << 12;
  word |= 8u << 16;
  return word;
}

#if PNGTRANS_HAVE_LIBPNG
bool JudgeWithLibpng(const Bytes& file, ExpectedHost* expected, std::string* error) {
  DecodedPng decoded;
  if (!DecodeWithLibpng(file, &decoded)) {
    *error = decoded.error;
    return false;
  }
  RawImage raw;
  raw.width = decoded.width;
  raw.height = decoded.height;
  raw.bitDepth = static_cast<uint8_t>(decoded.bitDepth);
  raw.colorType = static_cast<uint8_t>(decoded.colorType);
  raw.rows = decoded.rows;
  *expected = ExpectHost(raw, decoded.palette);
  // The mask of a tRNS image is libpng's own alpha, not derived here.
  if (!decoded.alpha.empty()) {
    expected->maskKind = 2;
    expected->maskRowBytes = static_cast<int32_t>(raw.width);
    expected->mask = decoded.alpha;
  }
  return true;
}
#endif

}  // namespace pngtrans::test
