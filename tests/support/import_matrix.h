// The import conformance matrix: every colour type and bit depth, with and without Adam7,
// over many sizes, with the filter types and the IDAT splits rotating through the cases; and
// the judge that turns libpng's decoding of a file into the host bytes an import must give.
#pragma once

#include <string>
#include <vector>

#include "support/import_host.h"
#include "support/png_build.h"

namespace pngtrans::test {

struct MatrixCase {
  std::string name;
  RawImage raw;
  EncodeOptions options;  // palette (and sometimes tRNS) set for palette images
};

// Every colour type × bit depth × interlace × widths 1-17 × heights 1-9; the filter choice
// (cycling per row, or one of the five forced) and the IDAT split (one chunk; many chunks with
// zero-length chunks between; one-byte chunks) rotate with the case number.
std::vector<MatrixCase> SmallImageMatrix();

// Every forced filter type × colour type and depth × interlace × split on a few sizes.
std::vector<MatrixCase> FilterSplitMatrix();

// The widest rows of 1.1.0 (a 64 KiB row buffer) per pixel size, rows 3 and 10 times as
// wide, and a few larger images.
std::vector<MatrixCase> LargeImageCases();


// The option word an import of the case must leave.
uint32_t ExpectedOptions(const MatrixCase& c);

#if PNGTRANS_HAVE_LIBPNG
// Decodes file with libpng and derives the host bytes from its rows (16-bit samples by their
// high byte, low depths spread as the host conversion does, blue-green-red, alpha into the
// mask). False with error set when libpng rejects the file.
bool JudgeWithLibpng(const Bytes& file, ExpectedHost* expected, std::string* error);
#endif

}  // namespace pngtrans::test
