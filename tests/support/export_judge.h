// Judges an exported PNG file against the host image it came from: chunk sequence, header,
// palette, transparency, background, resolution and every pixel, by the conversion rules.
// On Linux libpng and pngcheck give their verdict too.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pngtrans_host.h"
#include "support/files.h"

namespace pngtrans::test {

struct ExportExpectation {
  uint8_t colorType = 2;  // the colour type the file must have (after mask settling)
  uint8_t interlace = 0;
  uint8_t transparency = 0;
  const char* title = nullptr;
};

// The file at path (already read into file) against the image and the expectation.
::testing::AssertionResult JudgeExport(const HostImage& image, const ExportExpectation& expect,
                                       const Bytes& file, const std::string& path);

// The option word the export must write back: the five fields over the word it was given.
uint32_t ExpectedOptionWord(uint32_t given, const ExportExpectation& expect, bool maskSaved);

// Option word from its fields (depth 8).
uint32_t OptionWord(uint8_t colorType, bool interlace, bool transparency, bool saveMask);

}  // namespace pngtrans::test
