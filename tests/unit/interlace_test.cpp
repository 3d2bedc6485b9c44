// Adam7 on the read side: pass count and geometry, widening and merging of pass rows, which
// rows of which pass carry data, and whole interlaced images against the same images stored
// without interlacing.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "format/adam7.h"
#include "import/png_reader.h"
#include "support/row_harness.h"

namespace pngtrans::test {
namespace {

// Pixel x of a row at any depth, as a 64-bit value (whole bytes for depths of 8 and more).
uint64_t PixelAt(const uint8_t* row, uint32_t x, uint32_t depth) {
  if (depth < 8) {
    const uint32_t bit = x * depth;
    return (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
  }
  uint64_t v = 0;
  for (uint32_t i = 0; i < depth / 8; ++i) v = v << 8 | row[x * (depth / 8) + i];
  return v;
}

TEST(InterlacePassCount, SevenPassesOnlyForInterlacedImages) {
  PngReader reader;
  ASSERT_EQ(reader.InitReader(), StatusOk);
  EXPECT_EQ(reader.InterlacePassCount(), 1);
  EXPECT_EQ(reader.state().transformations & TransformInterlace, 0u);
  reader.state().interlaced = 1;
  EXPECT_EQ(reader.InterlacePassCount(), 7);
  EXPECT_NE(reader.state().transformations & TransformInterlace, 0u);
}

TEST(PassGeometry, MatchesThePassGridForEveryWidthAndPass) {
  PngReader reader;
  ASSERT_EQ(reader.InitReader(), StatusOk);
  ReaderState& s = reader.state();
  s.pixelDepth = 2;
  for (uint32_t width = 1; width <= 17; ++width) {
    s.width = width;
    for (int pass = 0; pass < 7; ++pass) {
      s.pass = static_cast<uint8_t>(pass);
      reader.SetPassGeometry();
      EXPECT_EQ(s.passWidth, PassWidth(width, pass)) << width << " pass " << pass;
      EXPECT_EQ(s.passRowBytes, (PassWidth(width, pass) * 2 + 7) / 8 + 1);
    }
  }
  // Narrow images have passes without columns.
  EXPECT_EQ(PassPixelWidth(4, 1), 0u);
  EXPECT_EQ(PassPixelWidth(2, 3), 0u);
  EXPECT_EQ(PassPixelWidth(1, 5), 0u);
  EXPECT_EQ(PassPixelWidth(5, 1), 1u);
}

TEST(ExpandPassRow, EveryWidenedPixelRepeatsItsPassPixel) {
  std::mt19937 rng(3);
  for (uint8_t depth : {1, 2, 4, 8, 16, 24, 32, 48, 64}) {
    for (int pass = 0; pass < 6; ++pass) {
      for (uint32_t width : {1u, 2u, 3u, 5u}) {
        const uint32_t step = PassColumnStep[pass];
        Bytes row((width * step * depth + 7) / 8 + 16);
        for (auto& b : row) b = static_cast<uint8_t>(rng());
        const Bytes original = row;
        RowInfo info{};
        info.width = width;
        info.pixelDepth = depth;
        info.rowBytes = (width * depth + 7) / 8;
        PngReader::ExpandPassRow(&info, row.data(), pass);
        EXPECT_EQ(info.width, width * step);
        EXPECT_EQ(info.rowBytes, (width * step * depth + 7) / 8);
        for (uint32_t x = 0; x < width * step; ++x) {
          ASSERT_EQ(PixelAt(row.data(), x, depth), PixelAt(original.data(), x / step, depth))
              << "depth " << int(depth) << " pass " << pass << " width " << width << " x " << x;
        }
        // Bits after the widened pixels stay as they were.
        const uint32_t usedBits = width * step * depth;
        if (usedBits % 8 != 0) {
          const uint8_t keep = static_cast<uint8_t>(0xFF >> (usedBits % 8));
          EXPECT_EQ(row[usedBits / 8] & keep, original[usedBits / 8] & keep);
        }
        for (size_t i = (usedBits + 7) / 8; i < row.size(); ++i) ASSERT_EQ(row[i], original[i]);
      }
    }
  }
}

TEST(ExpandPassRow, LastPassIsAlreadyFullWidth) {
  Bytes row = {1, 2, 3};
  RowInfo info{};
  info.width = 3;
  info.pixelDepth = 8;
  info.rowBytes = 3;
  PngReader::ExpandPassRow(&info, row.data(), 6);
  EXPECT_EQ(row, (Bytes{1, 2, 3}));
  EXPECT_EQ(info.width, 3u);
}

class CombineRowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(reader_.InitReader(), StatusOk); }
  // A reader whose row buffer holds source (after the filter byte).
  void Prepare(uint32_t width, uint8_t depth, const Bytes& source) {
    ReaderState& s = reader_.state();
    s.width = width;
    s.height = 1;
    s.pixelDepth = depth;
    s.bitDepth = depth < 8 ? depth : 8;
    s.channels = depth < 8 ? 1 : depth / 8;
    s.rowBytes = (width * depth + 7) / 8;
    ASSERT_EQ(reader_.StartRows(), StatusOk);
    std::memcpy(s.rowBuffer + 1, source.data(), source.size());
  }
  PngReader reader_;
};

TEST_F(CombineRowTest, MergesOnlyTheColumnsOfTheMask) {
  // 2-bit pixels, 10 columns: the source is all 3s, the destination all 0s.
  Prepare(10, 2, Bytes{0xFF, 0xFF, 0xFF});
  Bytes row = {0x00, 0x00, 0x00};
  reader_.CombineRow(row.data(), 0x88);  // columns 0 and 4 of each group of 8: 0, 4, 8
  for (uint32_t x = 0; x < 10; ++x) {
    EXPECT_EQ(PixelAt(row.data(), x, 2), (x % 4 == 0) ? 3u : 0u) << x;
  }
  EXPECT_EQ(row[2] & 0x0F, 0);  // bits past the last column untouched
  // Whole bytes: 3-byte pixels in columns 1, 3, 5, 7 (mask 0x55).
  Prepare(8, 24, Bytes(24, 0xAB));
  Bytes wide(24, 0x11);
  reader_.CombineRow(wide.data(), 0x55);
  for (uint32_t x = 0; x < 8; ++x) {
    EXPECT_EQ(PixelAt(wide.data(), x, 24), (x % 2 == 1) ? 0xABABABu : 0x111111u) << x;
  }
}

TEST_F(CombineRowTest, AgreesWithAPixelByPixelMergeForEveryDepthMaskAndWidth) {
  std::mt19937 rng(12);
  for (uint8_t depth : {1, 2, 4, 8, 16, 24, 32, 48, 64}) {
    for (uint8_t mask : PassColumnMask) {
      for (uint32_t width = 1; width <= 17; ++width) {
        const size_t bytes = (width * depth + 7) / 8;
        Bytes source(bytes), row(bytes + 2);
        for (auto& b : source) b = static_cast<uint8_t>(rng());
        for (auto& b : row) b = static_cast<uint8_t>(rng());
        Prepare(width, depth, source);
        const Bytes before = row;
        reader_.CombineRow(row.data(), mask);
        for (uint32_t x = 0; x < width; ++x) {
          const bool selected = (mask & (0x80 >> (x % 8))) != 0;
          ASSERT_EQ(PixelAt(row.data(), x, depth),
                    PixelAt(selected ? source.data() : before.data(), x, depth))
              << "depth " << int(depth) << " mask " << int(mask) << " width " << width << " x "
              << x;
        }
        // Padding bits of the last byte are kept (the full mask copies whole bytes).
        const uint32_t usedBits = width * depth;
        if (usedBits % 8 != 0 && mask != 0xFF) {
          const uint8_t keep = static_cast<uint8_t>(0xFF >> (usedBits % 8));
          EXPECT_EQ(row[usedBits / 8] & keep, before[usedBits / 8] & keep);
        }
        EXPECT_EQ(row[bytes], before[bytes]);
      }
    }
  }
}

// The reader skips the widening: each pass pixel goes straight to its column (its bits, below
// 8 bits). The row must come out exactly as the widen-then-merge steps leave it, padding bits
// included, for every depth, pass and width.
TEST_F(CombineRowTest, PlacingPassPixelsEqualsWideningThenMerging) {
  std::mt19937 rng(21);
  for (uint8_t depth : {1, 2, 4, 8, 16, 24, 32, 48, 64}) {
    for (uint8_t pass = 0; pass < 7; ++pass) {
      for (uint32_t width = 1; width <= 19; ++width) {
        const uint32_t passWidth = PassPixelWidth(width, pass);
        if (passWidth == 0) continue;
        const size_t bytes = (static_cast<size_t>(width) * depth + 7) / 8;
        Bytes source((static_cast<size_t>(passWidth) * depth + 7) / 8), row(bytes + 2);
        for (auto& b : source) b = static_cast<uint8_t>(rng());
        for (auto& b : row) b = static_cast<uint8_t>(rng());
        Bytes expected = row;
        Prepare(width, depth, source);
        ReaderState& s = reader_.state();
        s.pass = pass;
        s.passWidth = passWidth;
        reader_.PlacePassPixels(row.data());
        // The same pass row through the widening and the merge.
        RowInfo info{};
        info.width = passWidth;
        info.pixelDepth = depth;
        info.rowBytes = static_cast<uint32_t>(source.size());
        if (pass < 6) PngReader::ExpandPassRow(&info, s.rowBuffer + 1, pass);
        reader_.CombineRow(expected.data(), PassColumnMask[pass]);
        ASSERT_EQ(row, expected) << "depth " << int(depth) << " pass " << int(pass) << " width "
                                 << width;
      }
    }
  }
}

TEST_F(CombineRowTest, FullMaskCopiesTheWholeRow) {
  Prepare(5, 4, Bytes{0x12, 0x34, 0x56});
  Bytes row(3, 0);
  reader_.CombineRow(row.data(), 0xFF);
  EXPECT_EQ(row, (Bytes{0x12, 0x34, 0x56}));
}

TEST(InterlacedImages, WithoutInterlaceHandlingTheRowsOfEachPassComeOutInOrder) {
  // A 4 × 3 image: pass 1 has no columns and pass 2 no rows; they are stepped over, and every
  // other pass delivers its own reduced rows.
  const RawImage raw = RandomImage(4, 3, 4, 0, 21);
  EncodeOptions options;
  options.interlace = true;
  ReaderOnFile on(EncodePng(raw, options));
  ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
  on->UpdateInfo();
  std::vector<Bytes> expected;
  for (int pass = 0; pass < 7; ++pass) {
    const uint32_t width = PassWidth(4, pass);
    if (width == 0) continue;
    for (uint32_t y = PassStartRow[pass]; y < 3; y += PassRowStep[pass]) {
      Bytes row((width * 4 + 7) / 8, 0);
      for (uint32_t i = 0; i < width; ++i) {
        SetSample(&row, i, 4,
                  GetSample(raw.rows[y], PassStartColumn[pass] + i * PassColumnStep[pass], 4));
      }
      expected.push_back(row);
    }
  }
  for (const Bytes& want : expected) {
    Bytes row(3, 0);
    ASSERT_EQ(on->ReadRow(row.data()), StatusOk);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), row.begin()));
  }
  EXPECT_NE(on->state().mode & ModeAfterIDAT, 0u);
}

// Whole interlaced images through the row reader and ReadImageIntoHost.
Bytes HostPixelsOf(const RawImage& raw, const EncodeOptions& options, Status* status) {
  RowsIntoHost run(EncodePng(raw, options), raw);
  *status = run.Run();
  return run.host().Pixels();
}

TEST(InterlacedImages, SmallSizesReadOnlyThePassesThatHaveData) {
  // Widths 1-9 and heights 1-9 cover every pass with no columns or no rows; a pass that read
  // anything it should not would desynchronise the stream and fail.
  for (uint32_t width = 1; width <= 9; ++width) {
    for (uint32_t height = 1; height <= 9; ++height) {
      const RawImage raw = RandomImage(width, height, 8, 0, width * 16 + height);
      EncodeOptions options;
      options.interlace = true;
      Status status = StatusError;
      const Bytes pixels = HostPixelsOf(raw, options, &status);
      ASSERT_EQ(status, StatusOk) << width << "x" << height;
      EXPECT_EQ(pixels, ExpectHost(raw).pixels) << width << "x" << height;
    }
  }
}

// Images with more rows than the rows' window holds go round it many times (narrow rows, many
// slots) or every row (wide rows, two slots), with every filter, plain and interlaced.
TEST(InterlacedImages, ImagesLargerThanTheRowsWindowGoRoundIt) {
  struct Size {
    uint32_t width, height;
    uint8_t depth, type;
  };
  for (const Size z : {Size{300, 200, 8, 0}, Size{120, 150, 8, 2}, Size{2100, 6, 16, 6}}) {
    for (bool interlace : {false, true}) {
      const RawImage raw = RandomImage(z.width, z.height, z.depth, z.type, z.width + interlace);
      EncodeOptions options;
      options.interlace = interlace;
      Status status = StatusError;
      const Bytes pixels = HostPixelsOf(raw, options, &status);
      ASSERT_EQ(status, StatusOk) << z.width << (interlace ? " interlaced" : "");
      EXPECT_EQ(pixels, ExpectHost(raw).pixels) << z.width << (interlace ? " interlaced" : "");
    }
  }
}

TEST(InterlacedImages, SameRowsAsTheImageStoredWithoutInterlacing) {
  struct Format {
    uint8_t depth, type;
  };
  for (const Format f : {Format{1, 0}, Format{2, 0}, Format{4, 0}, Format{1, 3}, Format{2, 3},
                         Format{4, 3}, Format{16, 6}, Format{16, 2}, Format{8, 4}}) {
    const RawImage raw = RandomImage(19, 11, f.depth, f.type, f.depth * 10u + f.type, 16);
    EncodeOptions plain;
    EncodeOptions interlaced;
    interlaced.interlace = true;
    Status a = StatusError, b = StatusError;
    const Bytes fromPlain = HostPixelsOf(raw, plain, &a);
    const Bytes fromInterlaced = HostPixelsOf(raw, interlaced, &b);
    ASSERT_EQ(a, StatusOk);
    ASSERT_EQ(b, StatusOk);
    EXPECT_EQ(fromInterlaced, fromPlain) << int(f.depth) << "/" << int(f.type);
    EXPECT_EQ(fromInterlaced, ExpectHost(raw).pixels);
  }
}

TEST(InterlacedImages, FirstRowOfEveryPassIsUnfilteredAgainstZeros) {
  // Up, Average and Paeth on every row: the first row of each pass only decodes right when the
  // row above it counts as zeros, whatever the previous pass ended with.
  const RawImage raw = RandomImage(12, 10, 8, 2, 5);
  for (int filter : {2, 3, 4}) {
    EncodeOptions options;
    options.interlace = true;
    options.filter = filter;
    Status status = StatusError;
    EXPECT_EQ(HostPixelsOf(raw, options, &status), ExpectHost(raw).pixels) << filter;
    EXPECT_EQ(status, StatusOk);
  }
}

// Progress of an interlaced image, with a snapshot of the host pixels at every report.
const GuardedHost* watchedHost = nullptr;
std::vector<Bytes> snapshots;
std::vector<std::pair<int32_t, int32_t>> reports;
void PT_CDECL Watch(int32_t done, int32_t total) {
  reports.emplace_back(done, total);
  snapshots.push_back(watchedHost->Pixels());
}

TEST(InterlacedImages, ProgressCountsSevenPassesAndHostRowsArriveInTheLast) {
  const RawImage raw = RandomImage(6, 3, 8, 0, 11);
  EncodeOptions options;
  options.interlace = true;
  RowsIntoHost run(EncodePng(raw, options), raw);
  watchedHost = &run.host();
  snapshots.clear();
  reports.clear();
  const Bytes before = run.host().Pixels();
  ASSERT_EQ(run.Run(Watch), StatusOk);
  ASSERT_EQ(reports.size(), 22u);
  for (int32_t i = 0; i <= 21; ++i) EXPECT_EQ(reports[i], std::make_pair(i, 21));
  // Nothing reaches the host before the seventh pass; then one row per report.
  for (int i = 0; i <= 18; ++i) EXPECT_EQ(snapshots[i], before) << i;
  const Bytes expected = ExpectHost(raw).pixels;
  for (int row = 1; row <= 3; ++row) {
    const Bytes& seen = snapshots[18 + row];
    EXPECT_TRUE(std::equal(seen.begin(), seen.begin() + row * 6, expected.begin())) << row;
    EXPECT_TRUE(std::equal(seen.begin() + row * 6, seen.end(), before.begin() + row * 6)) << row;
  }
  watchedHost = nullptr;
}

TEST(InterlacedImages, RowStoreThatDoesNotFitIn32BitsIsRefused) {
  // 16-bit RGBA, 8184 pixels (65472 bytes) per decoded row, 140000 rows: the host's 24-bit rows
  // and mask fit in 32 bits, the interlaced row store (its 70000 even rows, 4.6 GB) does not.
  // Refused before a byte is read or written.
  PngReader reader;
  ASSERT_EQ(reader.InitReader(), StatusOk);
  ReaderState& s = reader.state();
  s.width = 8184;
  s.height = 140000;
  s.bitDepth = 16;
  s.colorType = 6;
  s.channels = 4;
  s.pixelDepth = 64;
  s.rowBytes = 65472;
  s.interlaced = 1;
  uint8_t pixels[4] = {1, 2, 3, 4};
  ColorValue palette[256] = {};
  HostImage image = {};
  image.width = 8184;
  image.height = 140000;
  image.rowBytes = 3 * 8184;
  image.maskKind = MaskEightBit;
  image.maskRowBytes = 8184;
  image.pixels = pixels;
  image.mask = pixels;
  image.palette = palette;
  reader.UpdateInfo();
  EXPECT_EQ(reader.ReadImageIntoHost(&image, nullptr), StatusNoMemory);
  EXPECT_EQ(pixels[0], 1);
  EXPECT_EQ(s.pass, 0);
}

}  // namespace
}  // namespace pngtrans::test
