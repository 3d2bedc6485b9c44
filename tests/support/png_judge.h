// libpng and pngcheck as independent judges (Linux only: Debian has no libpng for mingw).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/png_build.h"

#if PNGTRANS_HAVE_LIBPNG

namespace pngtrans::test {

struct DecodedPng {
  uint32_t width = 0;
  uint32_t height = 0;
  int bitDepth = 0;
  int colorType = 0;
  int interlace = 0;
  // Rows as stored in the file (packed samples, 16-bit big-endian), de-interlaced, unfiltered.
  std::vector<Bytes> rows;
  Bytes palette;  // RGB triples
  Bytes trns;     // raw tRNS data as libpng reports it (alpha bytes, or 2/6 sample bytes)
  // With tRNS on a grey, colour or palette image: libpng's own alpha from it (its tRNS-to-alpha
  // expansion), one byte per pixel (the high byte at 16 bits), rows top-down.
  Bytes alpha;
  bool hasBackground = false;
  std::vector<std::pair<std::string, std::string>> texts;
  uint32_t resX = 0, resY = 0;
  int resUnit = -1;  // -1 when no pHYs
  std::string error;
};

// Decodes the whole file; false (with error set) when libpng rejects it.
bool DecodeWithLibpng(const Bytes& file, DecodedPng* out);

// Encodes with libpng (for files made by another encoder than ours).
bool EncodeWithLibpng(const RawImage& image, bool interlace, const Bytes& palette,
                      const Bytes& trns, Bytes* out);

// Runs pngcheck on a file; true when it reports no errors. output receives its text.
bool RunPngcheck(const std::string& path, std::string* output = nullptr);

}  // namespace pngtrans::test

#endif
