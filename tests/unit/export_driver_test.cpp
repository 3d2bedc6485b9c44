// The export driver end to end through ExportImage: option settling, the dialog, file
// creation, palette set-up, every host kind into every colour type, progress, the title, and
// failure paths. Host buffers end at guard pages; files are judged by our own reader and, on
// Linux, by libpng and pngcheck.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "export/export_driver.h"
#include "export/png_writer.h"
#include "ui/save_options_dialog.h"
#include "quantize/median_cut.h"
#include "support/export_judge.h"
#include "support/export_host.h"
#include "support/png_readback.h"
#include "support/files.h"
#include "support/png_build.h"

namespace pngtrans {
namespace {

using test::Bytes;
using test::ExportExpectation;
using test::GuardedHostImage;
using test::HostSpec;
using test::OptionWord;
using test::ReadPng;

// The scripted user at the dialog: what it was shown, what it answers, what it changes.
int dialogAnswer = 1;
int dialogCalls = 0;
SaveOptionValues dialogShown;
SaveOptionValues dialogSets;
bool dialogChanges = false;
int ScriptedDialog(SaveOptionValues* values, HostWindow) {
  ++dialogCalls;
  dialogShown = *values;
  if (dialogChanges) *values = dialogSets;
  return dialogAnswer;
}

std::vector<std::pair<int32_t, int32_t>> progressCalls;
void PT_CDECL RecordProgress(int32_t done, int32_t total) {
  progressCalls.emplace_back(done, total);
}

struct Outcome {
  int ret = -1;
  uint16_t result = 0x7777;
  uint32_t options = 0;
  bool exists = false;
  Bytes file;
  std::string path;
};

class ExportDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetSaveDialogRunnerForTesting(ScriptedDialog);
    dialogAnswer = 1;
    dialogCalls = 0;
    dialogChanges = false;
    progressCalls.clear();
  }
  void TearDown() override {
    SetSaveDialogRunnerForTesting(previous_);
    EXPECT_EQ(ActiveQuantizer(), nullptr) << "the quantizer outlived the export";
  }

  static Outcome Run(HostImage* image, uint32_t options, const char* title = nullptr,
                     int showDialog = 0, const std::string& where = "") {
    Outcome out;
    out.path = where.empty() ? test::TempPath("export.png") : where;
    out.options = options;
    out.ret = ExportImage(out.path.c_str(), title, image, RecordProgress, &out.options, nullptr,
                          showDialog, &out.result);
    out.exists = test::ReadFileBytes(out.path, &out.file);
    return out;
  }

  static ReadPng Chunks(const Outcome& out) {
    ReadPng png;
    std::string error;
    EXPECT_TRUE(test::ReadChunks(out.file, &png, &error)) << error;
    return png;
  }

  SaveDialogRunner previous_ = nullptr;
};

// --- every host kind into every colour type --------------------------------------------------

struct KindCase {
  const char* name;
  int32_t kind;
  int32_t bits;
  uint32_t paletteCount;
};

const KindCase kKinds[] = {
    {"bilevel", ColorKindBilevel, 1, 0},
    {"grey8", ColorKindGrey, 8, 256},
    {"grey4", ColorKindGrey, 4, 16},
    {"indexed8", ColorKindIndexed, 8, 256},
    {"indexed8of16", ColorKindIndexed, 8, 16},
    {"indexed4", ColorKindIndexed, 4, 16},
    {"indexed4of256", ColorKindIndexed, 4, 256},
    {"full", ColorKindFullColor, 24, 0},
};

TEST_F(ExportDriver, EveryKindIntoEveryColourTypeMaskInterlaceAndTransparency) {
  int files = 0;
  for (const KindCase& kind : kKinds) {
    for (uint8_t type : {0, 2, 3, 4, 6}) {
      for (uint32_t maskKind : {MaskNone, MaskOneBit, MaskEightBit}) {
        for (uint8_t interlace : {0, 1}) {
          for (uint8_t transparency : {0, 1}) {
            HostSpec shape;
            shape.kind = kind.kind;
            shape.bits = kind.bits;
            shape.paletteCount = kind.paletteCount;
            shape.width = 9 + 2 * static_cast<uint32_t>(files % 5);  // odd widths
            shape.height = 7 + static_cast<uint32_t>(files % 4);
            shape.stridePad = static_cast<uint32_t>(files % 3) * 3;
            shape.maskKind = maskKind;
            shape.maskPad = static_cast<uint32_t>(files % 2);
            shape.seed = static_cast<uint32_t>(files + 1);
            shape.background = kind.kind == ColorKindFullColor ? 0x00336699u
                               : kind.kind == ColorKindBilevel ? 1u
                                                               : 5u;
            GuardedHostImage host(shape);
            const bool alpha = type == 4 || type == 6;
            const uint32_t given = 0xA5500000u | OptionWord(type, interlace, transparency, alpha);
            const char* title = files % 2 != 0 ? "A title" : nullptr;
            const Outcome out = Run(host.get(), given, title);
            ++files;
            ExportExpectation expect;
            expect.colorType = maskKind == MaskNone ? static_cast<uint8_t>(type & ~4) : type;
            expect.interlace = interlace;
            expect.transparency = transparency;
            expect.title = title;
            const std::string label = std::string(kind.name) + " type " + std::to_string(type) +
                                      " mask " + std::to_string(maskKind) + " interlace " +
                                      std::to_string(interlace) + " transparency " +
                                      std::to_string(transparency);
            ASSERT_EQ(out.ret, 1) << label;
            EXPECT_EQ(out.result, 0x7777) << label;
            EXPECT_EQ(out.options,
                      test::ExpectedOptionWord(given, expect, alpha && maskKind != MaskNone))
                << label;
            EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path)) << label;
            test::RemoveFile(out.path);
          }
        }
      }
    }
  }
  EXPECT_EQ(files, 8 * 5 * 3 * 2 * 2);
}

TEST_F(ExportDriver, ZeroWordTakesDefaultsFromTheKind) {
  const std::pair<int32_t, uint8_t> cases[] = {
      {ColorKindFullColor, 2}, {ColorKindGrey, 0}, {ColorKindIndexed, 3}, {ColorKindBilevel, 3}};
  for (const auto& [kind, type] : cases) {
    HostSpec shape;
    shape.kind = kind;
    shape.maskKind = MaskEightBit;  // a mask alone does not ask for alpha
    GuardedHostImage host(shape);
    const Outcome out = Run(host.get(), 0);
    ASSERT_EQ(out.ret, 1) << kind;
    ExportExpectation expect;
    expect.colorType = type;
    EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path)) << kind;
    EXPECT_EQ(out.options, OptionWord(type, false, false, false)) << kind;
  }
}

TEST_F(ExportDriver, AlphaWithoutAMaskIsDroppedAndStoredSo) {
  HostSpec shape;
  GuardedHostImage colour(shape);
  Outcome out = Run(colour.get(), 0xF0086111);  // colour + alpha, mask, interlace
  ASSERT_EQ(out.ret, 1);
  EXPECT_EQ(out.options, 0xF0082011u);
  EXPECT_EQ(Chunks(out).chunks[0].data[9], 2);

  shape.kind = ColorKindGrey;
  GuardedHostImage grey(shape);
  out = Run(grey.get(), 0x00084100);
  ASSERT_EQ(out.ret, 1);
  EXPECT_EQ(Chunks(out).chunks[0].data[9], 0);
  EXPECT_EQ(out.options, 0x00080000u);
}

TEST_F(ExportDriver, UnknownMaskKindCountsAsNoMask) {
  HostSpec shape;
  shape.maskKind = 3;  // with a one-byte buffer the export must not read
  GuardedHostImage host(shape);
  const Outcome out = Run(host.get(), 0x00086100);
  ASSERT_EQ(out.ret, 1);
  ExportExpectation expect;
  expect.colorType = 2;
  EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path));
  EXPECT_EQ(out.options, 0x00082000u);
}

TEST_F(ExportDriver, AlphaIsWrittenOnlyWhenTheMaskIsAskedFor) {
  // Colour type 6 with saveMask 0 is what command 13 makes of a bilevel image's word.
  HostSpec shape;
  shape.kind = ColorKindBilevel;
  shape.maskKind = MaskOneBit;
  GuardedHostImage host(shape);
  Outcome out = Run(host.get(), 0x00086000);
  ASSERT_EQ(out.ret, 1);
  ExportExpectation expect;
  expect.colorType = 2;
  EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path));
  EXPECT_EQ(out.options, 0x00082000u);
  out = Run(host.get(), 0x00086100);
  expect.colorType = 6;
  EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path));
}

// --- palettes and transparency -----------------------------------------------------------------

TEST_F(ExportDriver, PaletteSizesAndDepthsFollowTheKind) {
  struct Case {
    int32_t kind;
    int32_t bits;
    uint32_t paletteCount;
    uint8_t depth;
    size_t plteBytes;
  };
  const Case cases[] = {
      {ColorKindIndexed, 4, 16, 4, 48},
      {ColorKindIndexed, 8, 256, 8, 768},
      {ColorKindBilevel, 1, 0, 8, 6},
      {ColorKindBilevel, 1, 16, 8, 6},
      // A grey image claiming 16 palette entries still needs its 256-entry ramp.
      {ColorKindGrey, 8, 16, 8, 768},
      {ColorKindFullColor, 24, 16, 8, 768},
  };
  for (const Case& c : cases) {
    HostSpec shape;
    shape.kind = c.kind;
    shape.bits = c.bits;
    shape.paletteCount = c.paletteCount;
    GuardedHostImage host(shape);
    const Outcome out = Run(host.get(), 0x00083000);
    ASSERT_EQ(out.ret, 1) << c.kind;
    const ReadPng png = Chunks(out);
    EXPECT_EQ(png.chunks[0].data[8], c.depth) << c.kind;
    ASSERT_NE(png.Find("PLTE"), nullptr);
    EXPECT_EQ(png.Find("PLTE")->data.size(), c.plteBytes) << c.kind;
    ExportExpectation expect;
    expect.colorType = 3;
    EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path)) << c.kind;
  }
}

TEST_F(ExportDriver, TransparentIndexFiveListsFiveOpaqueEntriesThenZero) {
  HostSpec shape;
  shape.kind = ColorKindIndexed;
  shape.background = 5;
  GuardedHostImage host(shape);
  const Outcome out = Run(host.get(), 0x00083010);
  ASSERT_EQ(out.ret, 1);
  const ReadPng png = Chunks(out);
  ASSERT_NE(png.Find("tRNS"), nullptr);
  EXPECT_EQ(png.Find("tRNS")->data, Bytes({255, 255, 255, 255, 255, 0}));
  EXPECT_EQ(png.Find("bKGD")->data, Bytes({5}));
  EXPECT_EQ(png.Sequence(), "IHDR PLTE tRNS bKGD pHYs IDAT IEND");
}

TEST_F(ExportDriver, AlphaTypesWriteNoTransparencyChunk) {
  for (uint32_t options : {0x00084110u, 0x00086110u}) {
    HostSpec shape;
    shape.maskKind = MaskEightBit;
    GuardedHostImage host(shape);
    const Outcome out = Run(host.get(), options);
    ASSERT_EQ(out.ret, 1);
    const ReadPng png = Chunks(out);
    EXPECT_EQ(png.Sequence(), "IHDR pHYs IDAT IEND");
    EXPECT_EQ(out.options, options);
  }
}

TEST_F(ExportDriver, BackgroundAsIndexTakesItsLowByte) {
  // 0x105 names index 5: nothing outside the 256 entries is read.
  HostSpec shape;
  shape.kind = ColorKindIndexed;
  shape.background = 0x105;
  GuardedHostImage host(shape);
  for (uint32_t options : {0x00080010u, 0x00082010u, 0x00083010u}) {
    const Outcome out = Run(host.get(), options);
    ASSERT_EQ(out.ret, 1);
    const ReadPng png = Chunks(out);
    const ColorValue c = host.image.palette[5];
    if (options == 0x00083010u) {
      EXPECT_EQ(png.Find("bKGD")->data, Bytes({5}));
    }
    if (options == 0x00082010u) {
      Bytes want = test::Be16(c & 255);
      test::Append(&want, test::Be16((c >> 8) & 255));
      test::Append(&want, test::Be16((c >> 16) & 255));
      EXPECT_EQ(png.Find("bKGD")->data, want);
      EXPECT_EQ(png.Find("tRNS")->data, want);
    }
    if (options == 0x00080010u) {
      EXPECT_EQ(png.Find("tRNS")->data, test::Be16(test::ReferenceLuminance(c)));
    }
  }
}

TEST_F(ExportDriver, FullColourBackgroundIsItsOwnTransparentPaletteEntry) {
  HostSpec shape;
  shape.background = 0x00102030;  // red 0x30, green 0x20, blue 0x10: not among the pixels
  shape.colours = 60;
  GuardedHostImage host(shape);
  const Outcome out = Run(host.get(), 0x00083010);
  ASSERT_EQ(out.ret, 1);
  ExportExpectation expect;
  expect.colorType = 3;
  expect.transparency = 1;
  EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path));
  // Grey output weighs the ColorValue with red in its low byte.
  const Outcome grey = Run(host.get(), 0x00080010);
  ASSERT_EQ(grey.ret, 1);
  EXPECT_EQ(Chunks(grey).Find("tRNS")->data,
            test::Be16(static_cast<uint16_t>(0.289659 * 0x30 + 0.605636 * 0x20 + 0.104665 * 0x10)));
}

TEST_F(ExportDriver, ManyColoursIntoAPaletteMapEveryPixelToAnEntry) {
  HostSpec shape;
  shape.width = 91;
  shape.height = 67;
  shape.colours = 5000;
  GuardedHostImage host(shape);
  const Outcome out = Run(host.get(), 0x00083000);
  ASSERT_EQ(out.ret, 1);
  ReadPng png;
  std::string error;
  ASSERT_TRUE(test::ReadPngFile(out.file, &png, &error)) << error;
  const Bytes& plte = png.Find("PLTE")->data;
  ASSERT_EQ(plte.size(), 768u);
  // Every pixel lands on an entry near its colour (the boxes are small at 256 of them).
  long worst = 0;
  for (uint32_t y = 0; y < shape.height; ++y) {
    const Bytes want = test::ExpectedPngRow(host.image, 3, y);
    for (uint32_t x = 0; x < shape.width; ++x) {
      const uint8_t index = png.rows[y][x];
      long distance = 0;
      for (int k = 0; k < 3; ++k) distance += std::abs(plte[3 * index + k] - want[3 * x + k]);
      worst = std::max(worst, distance);
    }
  }
  EXPECT_LT(worst, 3 * 128);
}

TEST(NearestPaletteIndex, ExactThenCoarserLowestIndexWins) {
  WriterPalette palette = {};
  for (int i = 0; i < 256; ++i) std::memset(palette.rgb[i], i, 3);
  EXPECT_EQ(NearestPaletteIndex(palette, 256, 77, 77, 77), 77);
  EXPECT_EQ(NearestPaletteIndex(palette, 0, 77, 77, 77), 0);
  WriterPalette few = {};
  const uint8_t colours[3][3] = {{200, 0, 0}, {10, 10, 10}, {11, 9, 10}};
  std::memcpy(few.rgb, colours, sizeof colours);
  EXPECT_EQ(NearestPaletteIndex(few, 3, 11, 9, 10), 2);      // exact beats an earlier near one
  EXPECT_EQ(NearestPaletteIndex(few, 3, 9, 11, 10), 1);      // one bit dropped: 1 and 2 match
  EXPECT_EQ(NearestPaletteIndex(few, 3, 128, 128, 128), 0);  // nothing until all are 127
  EXPECT_EQ(NearestPaletteIndex(few, 2, 11, 9, 10), 1);
}

// --- dialog ------------------------------------------------------------------------------------

TEST_F(ExportDriver, CancelledDialogCreatesNoFileAndClearsResult) {
  HostSpec shape;
  GuardedHostImage host(shape);
  dialogAnswer = 0;
  const Outcome out = Run(host.get(), 0x00082000, nullptr, 1);
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.result, 0);
  EXPECT_FALSE(out.exists);
  EXPECT_EQ(out.options, 0x00082000u);
  EXPECT_EQ(dialogCalls, 1);
}

TEST_F(ExportDriver, DialogSeesSettledValuesAndItsChoiceIsUsed) {
  HostSpec shape;
  shape.kind = ColorKindGrey;
  GuardedHostImage host(shape);
  dialogChanges = true;
  dialogSets = SaveOptionValues{1, 1, 0, 3, 8};
  Outcome out = Run(host.get(), 0x00084100, nullptr, 1);
  ASSERT_EQ(out.ret, 1);
  // No mask: the dialog is told so (255) and sees grey without alpha.
  EXPECT_EQ(dialogShown.saveMask, 255);
  EXPECT_EQ(dialogShown.colorType, 0);
  EXPECT_EQ(out.options, 0x00083011u);
  ExportExpectation expect;
  expect.colorType = 3;
  expect.interlace = 1;
  expect.transparency = 1;
  EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path));

  // Without the show flag the dialog stays closed.
  dialogCalls = 0;
  out = Run(host.get(), 0x00080000, nullptr, 0);
  EXPECT_EQ(dialogCalls, 0);
  EXPECT_EQ(out.ret, 1);
}

TEST_F(ExportDriver, DialogThatCannotOpenLeavesTheOptionsAndSucceeds) {
  HostSpec shape;
  GuardedHostImage host(shape);
  dialogAnswer = -1;
  const Outcome out = Run(host.get(), 0x00082001, nullptr, 1);
  EXPECT_EQ(out.ret, 1);
  EXPECT_EQ(out.result, 0x7777);
  EXPECT_EQ(out.options, 0x00082001u);
  ExportExpectation expect;
  expect.interlace = 1;
  EXPECT_TRUE(test::JudgeExport(host.image, expect, out.file, out.path));
}

// --- progress and title ------------------------------------------------------------------------

TEST_F(ExportDriver, ProgressCountsRowsOverAllPasses) {
  HostSpec shape;
  shape.height = 5;
  GuardedHostImage host(shape);
  ASSERT_EQ(Run(host.get(), 0x00082000).ret, 1);
  ASSERT_EQ(progressCalls.size(), 6u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(progressCalls[i], std::make_pair(i, 5));
  progressCalls.clear();
  ASSERT_EQ(Run(host.get(), 0x00082001).ret, 1);
  ASSERT_EQ(progressCalls.size(), 36u);
  for (int i = 0; i <= 35; ++i) EXPECT_EQ(progressCalls[i], std::make_pair(i, 35));
  // No callback, no calls (and no crash).
  uint32_t options = 0x00082001;
  uint16_t result = 0;
  const std::string path = test::TempPath("quiet.png");
  EXPECT_EQ(ExportImage(path.c_str(), nullptr, host.get(), nullptr, &options, nullptr, 0, &result),
            1);
}

TEST_F(ExportDriver, TitleIsOneTextChunkJustBeforeTheEnd) {
  HostSpec shape;
  GuardedHostImage host(shape);
  Outcome out = Run(host.get(), 0x00082000, "");
  EXPECT_EQ(Chunks(out).Count("tEXt"), 0);
  out = Run(host.get(), 0x00082000, "Sunset");
  const ReadPng png = Chunks(out);
  ASSERT_EQ(png.Count("tEXt"), 1);
  EXPECT_EQ(png.chunks[png.chunks.size() - 2].type, "tEXt");
  EXPECT_EQ(png.Find("tEXt")->data,
            Bytes({'T', 'i', 't', 'l', 'e', 0, 'S', 'u', 'n', 's', 'e', 't'}));
}

TEST_F(ExportDriver, LongTitleIsWrittenWhole) {
  // Beyond 65535 bytes a 16-bit count would cut it (70000 would keep 4464 bytes).
  HostSpec shape;
  GuardedHostImage host(shape);
  const std::string title(70000, 'x');
  const Outcome out = Run(host.get(), 0x00082000, title.c_str());
  ASSERT_EQ(out.ret, 1);
  EXPECT_EQ(Chunks(out).Find("tEXt")->data.size(), 6u + 70000u);
}

// --- failures -----------------------------------------------------------------------------------

// A failed save leaves no partial file: the head and title written before the failure went
// to a temporary file that is removed.
TEST_F(ExportDriver, ZeroRowsFailAndLeaveNoFile) {
  HostSpec shape;
  shape.height = 0;
  GuardedHostImage host(shape);
  const Outcome out = Run(host.get(), 0xC0083000, "T");
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.result, 0x7777);
  EXPECT_FALSE(out.exists);
  // The header step succeeded, so the options used were stored.
  EXPECT_EQ(out.options, 0xC0083000u);
}

TEST_F(ExportDriver, ZeroColumnsFailWithoutTouchingPixels) {
  HostSpec shape;
  GuardedHostImage host(shape);
  HostImage image = host.image;
  image.width = 0;
  image.rowBytes = 0;
  image.pixels = nullptr;
  const Outcome out = Run(&image, 0x00082000);
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.result, 0x7777);
  EXPECT_FALSE(out.exists);
}

TEST_F(ExportDriver, FileThatCannotBeCreatedReportsWriteError) {
  HostSpec shape;
  GuardedHostImage host(shape);
  const int before = test::OpenCrtDescriptorCount();
  const Outcome out =
      Run(host.get(), 0x00082000, nullptr, 0, test::TempPath("missing") + "/dir/out.png");
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.result, StatusWriteError);
  EXPECT_EQ(out.options, 0x00082000u);
  EXPECT_EQ(test::OpenCrtDescriptorCount(), before);
}

TEST_F(ExportDriver, DescriptorsAreClosedOnSuccessAndFailure) {
  HostSpec shape;
  GuardedHostImage host(shape);
  const int before = test::OpenCrtDescriptorCount();
  EXPECT_EQ(Run(host.get(), 0x00083000).ret, 1);
  shape.height = 0;
  GuardedHostImage empty(shape);
  EXPECT_EQ(Run(empty.get(), 0x00083000).ret, 0);
  EXPECT_EQ(test::OpenCrtDescriptorCount(), before);
}

#if !defined(_WIN32)
TEST_F(ExportDriver, WriteFailureInsideTheEncoderReportsWriteError) {
  HostSpec shape;
  GuardedHostImage host(shape);
  uint32_t options = 0x00083000;
  uint16_t result = 0x7777;
  EXPECT_EQ(ExportImage("/dev/full", nullptr, host.get(), nullptr, &options, nullptr, 0, &result),
            0);
  EXPECT_EQ(result, StatusWriteError);
  // The head failed, so the options were not rewritten.
  EXPECT_EQ(options, 0x00083000u);
}
#endif

TEST_F(ExportDriver, ImagesTheExportCannotReadAreRefusedBeforeWriting) {
  HostSpec shape;
  GuardedHostImage host(shape);
  HostImage image = host.image;
  image.width = 0x40000000;  // 4 bytes per pixel no longer fit 32 bits
  image.rowBytes = 0;
  Outcome out = Run(&image, 0x00082000);
  EXPECT_EQ(out.ret, 0);
  EXPECT_EQ(out.result, 0x7777);
  EXPECT_TRUE(!out.exists || out.file.empty());

  image = host.image;
  image.rowBytes = 0x10000000;  // the last row would lie beyond 4 GiB
  image.height = 100;
  out = Run(&image, 0x00082000);
  EXPECT_EQ(out.ret, 0);
  EXPECT_TRUE(!out.exists || out.file.empty());

  image = host.image;
  image.colorKind = 7;
  EXPECT_EQ(Run(&image, 0x00082000).ret, 0);
  image = host.image;
  image.colorKind = ColorKindIndexed;
  image.palette = nullptr;
  EXPECT_EQ(Run(&image, 0x00082000).ret, 0);
  image = host.image;
  image.pixels = nullptr;
  EXPECT_EQ(Run(&image, 0x00082000).ret, 0);
}

TEST_F(ExportDriver, HeaderStepRefusesOverflowingSizesWithNoMemory) {
  HostSpec shape;
  GuardedHostImage host(shape);
  HostImage image = host.image;
  image.width = 0x20000000;
  PngWriter writer;
  ASSERT_TRUE(writer.Constructed());
  EXPECT_EQ(PrepareHeader(writer, image, 0, 0, 2, 0), StatusNoMemory);
  EXPECT_EQ(writer.state().mode, 0u);
}

TEST_F(ExportDriver, ShortHostStrideLeavesMissingPixelsBlack) {
  // A stride shorter than the pixels: the copy takes only the stride, the rest reads as 0.
  HostSpec shape;
  shape.kind = ColorKindGrey;
  shape.width = 8;
  shape.height = 3;
  GuardedHostImage host(shape);
  HostImage image = host.image;
  image.rowBytes = 5;
  image.height = 2;
  const Outcome out = Run(&image, 0x00080000);
  ASSERT_EQ(out.ret, 1);
  ReadPng png;
  std::string error;
  ASSERT_TRUE(test::ReadPngFile(out.file, &png, &error)) << error;
  EXPECT_EQ(Bytes(png.rows[1].begin(), png.rows[1].begin() + 5),
            Bytes(image.pixels + 5, image.pixels + 10));
  EXPECT_EQ(Bytes(png.rows[1].begin() + 5, png.rows[1].end()), Bytes(3, 0));
}

TEST_F(ExportDriver, FullColourSavedAsRgbDoesNotUseTheQuantizer) {
  // A quantizer already in place would make palette set-up fail; RGB and grey never ask.
  HostSpec shape;
  GuardedHostImage host(shape);
  ASSERT_EQ(CreateQuantizer(), 1);
  EXPECT_EQ(Run(host.get(), 0x00082000).ret, 1);
  ASSERT_EQ(CreateQuantizer(), 1) << "every export releases the quantizer";
  EXPECT_EQ(Run(host.get(), 0x00083000).ret, 0);
  EXPECT_EQ(ActiveQuantizer(), nullptr);
}

}  // namespace
}  // namespace pngtrans
