// The chunk writers: header validation and geometry, the optional chunks' layouts, keyword
// cleaning, text lengths beyond 16 bits, and the file head and end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "export/png_writer.h"
#include "platform/lowio.h"
#include "support/writer_driver.h"
#include "support/png_build.h"

namespace pngtrans {
namespace {

using test::Bytes;
using test::ChunkRecord;
using test::WriterOnFile;

std::vector<ChunkRecord> ChunksAfter(const Bytes& file, size_t skip) {
  Bytes withSignature = test::PngSignature();
  withSignature.insert(withSignature.end(), file.begin() + static_cast<std::ptrdiff_t>(skip),
                       file.end());
  std::vector<ChunkRecord> chunks;
  EXPECT_TRUE(test::SplitChunks(withSignature, &chunks));
  for (const ChunkRecord& chunk : chunks) EXPECT_TRUE(chunk.crcOk) << chunk.type;
  return chunks;
}

// One chunk writer's output, framing checked.
std::vector<ChunkRecord> ChunksOf(WriterOnFile& out) {
  return ChunksAfter(out.Finish(), 0);
}

std::string Cleaned(const char* keyword, int32_t* length) {
  char* cleaned = CheckKeyword(keyword, length);
  std::string result = cleaned != nullptr ? cleaned : "<null>";
  std::free(cleaned);
  return result;
}

TEST(HeaderWriter, RefusesEachInvalidPairWithItsStatusBeforeWritingAnything) {
  const uint8_t depths[] = {0, 1, 2, 3, 4, 8, 16, 32};
  const uint8_t types[] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (uint8_t type : types) {
    for (uint8_t depth : depths) {
      bool allowed = false;
      Status refusal = StatusWriteError;
      switch (type) {
        case 0:
          allowed = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
          break;
        case 2:
          allowed = depth == 8 || depth == 16;
          break;
        case 3:
          allowed = depth == 1 || depth == 2 || depth == 4 || depth == 8;
          break;
        case 4:
        case 6:
          allowed = depth == 8 || depth == 16;
          refusal = StatusBadFormat;
          break;
        default:
          break;
      }
      WriterOnFile out("ihdr_table.png");
      ASSERT_TRUE(out.ok());
      ASSERT_EQ(out.writer().StartWriter(), StatusOk);
      const Status status = out.writer().WriteIHDR(3, 2, depth, type, 0);
      SCOPED_TRACE(testing::Message() << "type " << int(type) << " depth " << int(depth));
      if (allowed) {
        EXPECT_EQ(status, StatusOk);
        EXPECT_EQ(out.Finish().size(), 25u);
      } else {
        EXPECT_EQ(status, refusal);
        EXPECT_TRUE(out.Finish().empty());
        EXPECT_EQ(out.writer().state().mode, 0u);
      }
    }
  }
}

TEST(HeaderWriter, WritesThirteenBytesAndSetsGeometryFiltersAndStream) {
  WriterOnFile out("ihdr_rgba16.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  // Any non-zero interlace method is written as Adam7.
  ASSERT_EQ(out.writer().WriteIHDR(5, 0x01020304, 16, 6, 9), StatusOk);
  const WriterState& s = out.writer().state();
  EXPECT_EQ(s.channels, 4);
  EXPECT_EQ(s.pixelDepth, 64);
  EXPECT_EQ(s.rowBytes, 40u);
  EXPECT_EQ(s.usrChannels, 4);
  EXPECT_EQ(s.usrBitDepth, 16);
  EXPECT_EQ(s.interlaced, 1);
  EXPECT_EQ(s.filterMask, FilterAll);
  EXPECT_EQ(s.strategy, 1);
  EXPECT_EQ(s.compressionLevel, -1);
  EXPECT_EQ(s.windowBits, 15);
  EXPECT_EQ(s.memoryLevel, 8);
  EXPECT_EQ(s.compressionMethod, 8);
  EXPECT_TRUE(s.zstreamReady);
  EXPECT_EQ(s.zstream.avail_out, 8192u);
  EXPECT_EQ(s.mode, static_cast<uint32_t>(WroteIHDR));
  const auto chunks = ChunksOf(out);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].data, test::IhdrData(5, 0x01020304, 16, 6, 1));
}

TEST(HeaderWriter, PaletteAndSubByteImagesAreNeverFiltered) {
  struct Case {
    uint8_t depth, type, mask;
    int16_t strategy;
  };
  const Case cases[] = {{8, 3, FilterNone, 0}, {4, 3, FilterNone, 0}, {4, 0, FilterNone, 0},
                        {1, 0, FilterNone, 0}, {8, 0, FilterAll, 1},  {16, 2, FilterAll, 1}};
  for (const Case& c : cases) {
    WriterOnFile out("ihdr_filters.png");
    ASSERT_EQ(out.writer().StartWriter(), StatusOk);
    ASSERT_EQ(out.writer().WriteIHDR(7, 1, c.depth, c.type, 0), StatusOk);
    EXPECT_EQ(out.writer().state().filterMask, c.mask) << int(c.type) << "/" << int(c.depth);
    EXPECT_EQ(out.writer().state().strategy, c.strategy);
  }
}

TEST(HeaderWriter, RefusesDimensionsAndRowsBeyondWhatCanBeWritten) {
  WriterOnFile out("ihdr_huge.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  EXPECT_EQ(out.writer().WriteIHDR(0x80000000u, 1, 8, 0, 0), StatusWriteError);
  EXPECT_EQ(out.writer().WriteIHDR(1, 0x80000000u, 8, 0, 0), StatusWriteError);
  // 8 bytes per pixel: the row alone would pass 4 GiB.
  EXPECT_EQ(out.writer().WriteIHDR(0x7FFFFFFF, 1, 16, 6, 0), StatusNoMemory);
  EXPECT_TRUE(out.Finish().empty());
}

TEST(HeaderWriter, ASecondHeaderRestartsTheStreamWithoutLeaking) {
  WriterOnFile out("ihdr_twice.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  ASSERT_EQ(out.writer().WriteIHDR(4, 4, 8, 0, 0), StatusOk);
  ASSERT_EQ(out.writer().WriteIHDR(4, 4, 8, 3, 0), StatusOk);
  EXPECT_TRUE(out.writer().state().zstreamReady);
  EXPECT_EQ(out.writer().state().filterMask, FilterNone);
}

TEST(HeaderWriter, DestructionWithoutTeardownReleasesTheStream) {
  // Under the leak checker: nothing of the started stream may outlive the writer.
  WriterOnFile out("ihdr_no_teardown.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  ASSERT_EQ(out.writer().WriteIHDR(4, 4, 8, 2, 0), StatusOk);
  ASSERT_TRUE(out.writer().state().zstreamReady);
}

TEST(PaletteWriter, RefusesEmptyOversizedAndUnaddressablePalettes) {
  uint8_t palette[257 * 3] = {};
  WriterOnFile out("plte_refused.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  EXPECT_EQ(out.writer().WritePLTE(palette, 0), StatusWriteError);
  EXPECT_EQ(out.writer().WritePLTE(palette, 257), StatusWriteError);
  EXPECT_EQ(out.writer().WritePLTE(nullptr, 3), StatusWriteError);
  const size_t headerEnd = 25;
  ASSERT_EQ(out.writer().WriteIHDR(2, 2, 4, 3, 0), StatusOk);
  // Four bits address 16 entries; a 17th could never be used and is invalid.
  EXPECT_EQ(out.writer().WritePLTE(palette, 17), StatusWriteError);
  EXPECT_EQ(out.writer().WritePLTE(palette, 16), StatusOk);
  EXPECT_EQ(out.writer().state().paletteCount, 16);
  EXPECT_NE(out.writer().state().mode & WrotePLTE, 0u);
  const auto chunks = ChunksAfter(out.Finish(), headerEnd);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].type, "PLTE");
  EXPECT_EQ(chunks[0].data.size(), 48u);
}

TEST(PaletteWriter, WritesEntriesInOrder) {
  const uint8_t palette[6] = {1, 2, 3, 250, 251, 252};
  WriterOnFile out("plte_two.png");
  ASSERT_EQ(out.writer().WritePLTE(palette, 2), StatusOk);
  const auto chunks = ChunksOf(out);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].data, Bytes(palette, palette + 6));
}

TEST(Keyword, SpacesAreTrimmedAndFoldedAndUnprintablesBecomeSpaces) {
  int32_t length = -5;
  EXPECT_EQ(Cleaned("  A   B  ", &length), "A B");
  EXPECT_EQ(length, 3);
  EXPECT_EQ(Cleaned("\tTi\x7Ftle\x80\xA0 x\n", &length), "Ti tle x");
  EXPECT_EQ(length, 8);
  // Latin-1 letters from 161 up are kept.
  EXPECT_EQ(Cleaned("\xA1\xE9\xFF", &length), "\xA1\xE9\xFF");
  EXPECT_EQ(length, 3);
  EXPECT_EQ(Cleaned("    ", &length), "");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(Cleaned("", &length), "<null>");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(Cleaned(nullptr, &length), "<null>");
  EXPECT_EQ(length, 0);
}

TEST(Keyword, LongKeywordsKeepSeventyNineCharactersAndNoTrailingSpace) {
  int32_t length = 0;
  const std::string hundred(100, 'k');
  EXPECT_EQ(Cleaned(hundred.c_str(), &length), std::string(79, 'k'));
  EXPECT_EQ(length, 79);
  // The cut lands just after an inner space, which must not end the keyword.
  const std::string cutAtSpace = std::string(78, 'a') + " bcd";
  EXPECT_EQ(Cleaned(cutAtSpace.c_str(), &length), std::string(78, 'a'));
  EXPECT_EQ(length, 78);
  // Folding happens before the cut: 79 survives from a longer raw keyword.
  const std::string spaced = "  " + std::string(40, 'x') + "      " + std::string(38, 'y');
  EXPECT_EQ(Cleaned(spaced.c_str(), &length), std::string(40, 'x') + " " + std::string(38, 'y'));
  EXPECT_EQ(length, 79);
}

TEST(TextWriter, ShortTitleIsKeywordNulText) {
  WriterOnFile out("text_short.png");
  ASSERT_EQ(out.writer().WritetEXt("Title", "abc", 3), StatusOk);
  const auto chunks = ChunksOf(out);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].type, "tEXt");
  const char expected[] = "Title\0abc";
  EXPECT_EQ(chunks[0].data, Bytes(expected, expected + 9));
}

TEST(TextWriter, KeywordIsCleanedAndEmptyTextWritesTheKeywordAlone) {
  WriterOnFile out("text_clean.png");
  ASSERT_EQ(out.writer().WritetEXt("  My   key ", nullptr, 10), StatusOk);
  ASSERT_EQ(out.writer().WritetEXt("k", "", 0), StatusOk);
  const auto chunks = ChunksOf(out);
  ASSERT_EQ(chunks.size(), 2u);
  const char first[] = "My key";
  EXPECT_EQ(chunks[0].data, Bytes(first, first + 7));
  EXPECT_EQ(chunks[1].data, (Bytes{'k', 0}));
}

TEST(TextWriter, RefusesAKeywordThatCleansToNothing) {
  WriterOnFile out("text_refused.png");
  EXPECT_EQ(out.writer().WritetEXt("   ", "text", 4), StatusWriteError);
  EXPECT_EQ(out.writer().WritetEXt("\x01\x02", "text", 4), StatusWriteError);
  EXPECT_EQ(out.writer().WritetEXt(nullptr, "text", 4), StatusWriteError);
  EXPECT_TRUE(out.Finish().empty());
}

TEST(TextWriter, TextsBeyondSixtyFourKilobytesAreWrittenInFull) {
  std::string text(70000, 'q');
  for (size_t i = 0; i < text.size(); i += 97) text[i] = static_cast<char>('a' + i % 26);
  WriterOnFile out("text_long.png");
  ASSERT_EQ(out.writer().WritetEXt("Title", text.data(), static_cast<uint32_t>(text.size())),
            StatusOk);
  const auto chunks = ChunksOf(out);
  ASSERT_EQ(chunks.size(), 1u);
  ASSERT_EQ(chunks[0].data.size(), 6u + 70000u);
  EXPECT_EQ(std::string(chunks[0].data.begin() + 6, chunks[0].data.end()), text);
}

TEST(TextWriter, RefusesATextTooLongForOneChunk) {
  WriterOnFile out("text_too_long.png");
  // The length alone decides; the text is never read.
  const char text[1] = {'x'};
  EXPECT_EQ(out.writer().WritetEXt("Title", text, 0x7FFFFFFF), StatusWriteError);
  EXPECT_EQ(out.writer().WritetEXt("Title", text, 0xFFFFFFFF), StatusWriteError);
  EXPECT_TRUE(out.Finish().empty());
}

// The transparency and background chunks for one colour type, after its header.
std::vector<ChunkRecord> TransparencyAndBackground(uint8_t type, uint8_t depth,
                                                   uint32_t paletteCount, PngInfo setup) {
  WriterOnFile out("trns_bkgd.png");
  EXPECT_EQ(out.writer().StartWriter(), StatusOk);
  EXPECT_EQ(out.writer().WriteIHDR(4, 4, depth, type, 0), StatusOk);
  const uint8_t palette[256 * 3] = {};
  if (paletteCount != 0) {
    EXPECT_EQ(out.writer().WritePLTE(palette, paletteCount), StatusOk);
  }
  PngInfo& info = out.writer().info();
  info.trans = setup.trans;
  info.transCount = setup.transCount;
  info.transValues = setup.transValues;
  info.background = setup.background;
  EXPECT_EQ(out.writer().WritetRNS(), StatusOk);
  EXPECT_EQ(out.writer().WritebKGD(), StatusOk);
  const size_t skip = paletteCount != 0 ? 25 + 12 + 3 * paletteCount : 25;
  return ChunksAfter(out.Finish(), skip);
}

TEST(OptionalChunks, TransparencyAndBackgroundFollowTheColourType) {
  uint8_t alphas[6] = {255, 255, 255, 255, 255, 0};
  PngInfo setup = {};
  setup.trans = alphas;
  setup.transCount = 1;
  setup.transValues = Color16{0, 0x1234, 0x5678, 0x9ABC, 0x00FE};
  setup.background = Color16{2, 0x0102, 0x0304, 0x0506, 0x0708};

  // Palette, transparent index 0: one byte 0; background index 2.
  alphas[0] = 0;
  auto chunks = TransparencyAndBackground(3, 8, 4, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "tRNS bKGD");
  EXPECT_EQ(chunks[0].data, Bytes{0});
  EXPECT_EQ(chunks[1].data, Bytes{2});
  alphas[0] = 255;

  chunks = TransparencyAndBackground(0, 8, 0, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "tRNS bKGD");
  EXPECT_EQ(chunks[0].data, (Bytes{0x00, 0xFE}));
  EXPECT_EQ(chunks[1].data, (Bytes{0x07, 0x08}));

  chunks = TransparencyAndBackground(2, 8, 0, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "tRNS bKGD");
  EXPECT_EQ(chunks[0].data, (Bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
  EXPECT_EQ(chunks[1].data, (Bytes{1, 2, 3, 4, 5, 6}));

  // Alpha channels: no tRNS; grey + alpha takes the grey background, RGBA the colour.
  chunks = TransparencyAndBackground(4, 8, 0, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "bKGD");
  EXPECT_EQ(chunks[0].data, (Bytes{0x07, 0x08}));
  chunks = TransparencyAndBackground(6, 16, 0, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "bKGD");
  EXPECT_EQ(chunks[0].data, (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(OptionalChunks, PaletteTransparencyNeverReachesPastThePalette) {
  uint8_t alphas[21];
  std::memset(alphas, 255, sizeof(alphas));
  alphas[20] = 0;
  PngInfo setup = {};
  setup.trans = alphas;
  setup.transCount = 21;
  // A 16-entry palette: the table stops at 16 entries, and a background index of 20 names no
  // colour, so no bKGD is written.
  setup.background.index = 20;
  auto chunks = TransparencyAndBackground(3, 4, 16, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "tRNS");
  EXPECT_EQ(chunks[0].data, Bytes(16, 255));
  // Within the palette the table is written as given.
  setup.transCount = 6;
  alphas[5] = 0;
  setup.background.index = 15;
  chunks = TransparencyAndBackground(3, 8, 256, setup);
  ASSERT_EQ(test::ChunkLayout(chunks), "tRNS bKGD");
  EXPECT_EQ(chunks[0].data, (Bytes{255, 255, 255, 255, 255, 0}));
  EXPECT_EQ(chunks[1].data, Bytes{15});
}

TEST(OptionalChunks, PhysicalSizeIsNineBytes) {
  WriterOnFile out("phys.png");
  ASSERT_EQ(out.writer().WritepHYs(0x00000B13, 0x01020304, 0), StatusOk);
  const auto chunks = ChunksOf(out);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0x0B, 0x13, 1, 2, 3, 4, 0}));
}

TEST(FileHead, SignatureHeaderThenValidChunksInFixedOrder) {
  WriterOnFile out("head.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  uint8_t palette[6] = {0, 0, 0, 255, 255, 255};
  uint8_t alphas[1] = {0};
  PngInfo& info = out.writer().info();
  info.width = 9;
  info.height = 3;
  info.bitDepth = 8;
  info.colorType = 3;
  info.palette = palette;
  info.paletteCount = 2;
  info.trans = alphas;
  info.transCount = 1;
  info.background.index = 1;
  info.pixelsPerUnitX = 72;
  info.pixelsPerUnitY = 96;
  info.valid = ValidpHYs | ValidbKGD | ValidtRNS | ValidPLTE | ValidgAMA;
  ASSERT_EQ(out.writer().WriteFileHead(), StatusOk);
  std::vector<ChunkRecord> chunks;
  ASSERT_TRUE(test::SplitChunks(out.Finish(), &chunks));
  EXPECT_EQ(test::ChunkLayout(chunks), "IHDR PLTE tRNS bKGD pHYs");
  EXPECT_EQ(chunks[0].data, test::IhdrData(9, 3, 8, 3, 0));
}

TEST(FileHead, StopsAtTheFirstRefusal) {
  WriterOnFile out("head_refused.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  PngInfo& info = out.writer().info();
  info.width = 2;
  info.height = 2;
  info.bitDepth = 8;
  info.colorType = 3;
  info.valid = ValidPLTE | ValidpHYs;  // a palette marked valid but with no entries
  EXPECT_EQ(out.writer().WriteFileHead(), StatusWriteError);
  std::vector<ChunkRecord> chunks;
  ASSERT_TRUE(test::SplitChunks(out.Finish(), &chunks));
  EXPECT_EQ(test::ChunkLayout(chunks), "IHDR");
}

TEST(FileEnd, WithoutImageDataFailsWithBadFormatAndWritesNoEnd) {
  WriterOnFile out("end_no_idat.png");
  ASSERT_EQ(out.writer().StartWriter(), StatusOk);
  ASSERT_EQ(out.writer().WriteIHDR(1, 1, 8, 0, 0), StatusOk);
  EXPECT_EQ(out.writer().WriteFileEnd(), StatusBadFormat);
  EXPECT_EQ(out.writer().state().mode & (WroteEndBegun | WroteIEND), 0u);
  EXPECT_EQ(out.Finish().size(), 25u);
}

TEST(FileEnd, AfterImageDataWritesIendAndMarksProgress) {
  WriterOnFile out("end_after_idat.png");
  const uint8_t data[3] = {1, 2, 3};
  ASSERT_EQ(out.writer().WriteIDAT(data, 3), StatusOk);
  ASSERT_EQ(out.writer().WriteFileEnd(), StatusOk);
  EXPECT_EQ(out.writer().state().mode,
            static_cast<uint32_t>(WroteIDAT | WroteEndBegun | WroteIEND));
  const auto chunks = ChunksOf(out);
  EXPECT_EQ(test::ChunkLayout(chunks), "IDAT IEND");
}

TEST(FileEnd, AFailedImageDataWriteStillCountsAsImageData) {
  // The mark comes first, so the end step then fails on its own write rather than with 6.
  PngWriter writer;
  writer.SetFile(-1);
  const uint8_t data[1] = {0};
  EXPECT_EQ(writer.WriteIDAT(data, 1), StatusWriteError);
  EXPECT_NE(writer.state().mode & WroteIDAT, 0u);
  EXPECT_EQ(writer.WriteFileEnd(), StatusWriteError);
}

}  // namespace
}  // namespace pngtrans
