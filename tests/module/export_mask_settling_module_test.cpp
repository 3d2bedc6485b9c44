// How the export settles the alpha bit of the colour type against the host's mask, through
// command 4 without the dialog: without a mask the bit goes whatever the nibble holds (7
// becomes a palette file, 5 becomes 1, which no file can have); with a mask alpha is written
// only when the mask is asked for.
#include <gtest/gtest.h>

#include <string>

#include "support/export_host.h"
#include "support/files.h"
#include "support/module_fixture.h"
#include "support/png_readback.h"

namespace pngtrans::test {
namespace {

struct SettlingCase {
  const char* name;
  int32_t kind;
  uint32_t maskKind;
  uint32_t word;
  int ret;
  int fileColorType;   // -1: no readable file
  uint32_t wordAfter;  // what the host's word holds afterwards
};

const SettlingCase kCases[] = {
    {"full colour, type 7, no mask", ColorKindFullColor, MaskNone, 0x00087000, 1, 3, 0x00083000},
    {"indexed, type 7 + mask flag, no mask", ColorKindIndexed, MaskNone, 0x00087100, 1, 3,
     0x00083000},
    {"grey, type 7, no mask", ColorKindGrey, MaskNone, 0x00087011, 1, 3, 0x00083011},
    {"full colour, type 6, no mask", ColorKindFullColor, MaskNone, 0x00086100, 1, 2, 0x00082000},
    {"grey, type 4, no mask", ColorKindGrey, MaskNone, 0x00084000, 1, 0, 0x00080000},
    // 5 becomes 1, which the header writer refuses: the word is not written back.
    {"grey, type 5, no mask", ColorKindGrey, MaskNone, 0x00085000, 0, -1, 0x00085000},
    {"full colour, type 15, no mask", ColorKindFullColor, MaskNone, 0x0008F000, 0, -1, 0x0008F000},
    // With a mask, alpha follows the mask flag; 7 is no alpha type and stays refused.
    {"full colour, type 6, mask not asked", ColorKindFullColor, MaskEightBit, 0x00086000, 1, 2,
     0x00082000},
    {"full colour, type 6, mask asked", ColorKindFullColor, MaskEightBit, 0x00086100, 1, 6,
     0x00086100},
    {"full colour, type 7, mask asked", ColorKindFullColor, MaskEightBit, 0x00087100, 0, -1,
     0x00087100},
};

using ExportMaskSettling = ModuleTest;

TEST_F(ExportMaskSettling, AlphaBitFollowsTheMaskWhateverTheColourType) {
  for (const SettlingCase& c : kCases) {
    HostSpec shape;
    shape.kind = c.kind;
    shape.maskKind = c.maskKind;
    GuardedHostImage host(shape);
    const std::string path = TempPath("settling.png");
    uint32_t word = c.word;
    CommandHeader header = {0, 4, 0x7777};
    const int ret = module_.Procedure()(&header, Arg(path.c_str()), Arg(nullptr), Arg(host.get()),
                                        Arg(&word), XtndArg{0}, XtndArg{0}, XtndArg{0});
    EXPECT_EQ(ret, c.ret) << c.name;
    EXPECT_EQ(header.result, 0x7777) << c.name;
    EXPECT_EQ(word, c.wordAfter) << c.name;
    Bytes file;
    ReadPng png;
    std::string error;
    const bool readable = ReadFileBytes(path, &file) && ReadPngFile(file, &png, &error);
    if (c.fileColorType < 0) {
      EXPECT_FALSE(readable) << c.name;
    } else {
      ASSERT_TRUE(readable) << c.name << ": " << error;
      EXPECT_EQ(png.colorType, c.fileColorType) << c.name;
    }
    RemoveFile(path);
  }
}

}  // namespace
}  // namespace pngtrans::test
