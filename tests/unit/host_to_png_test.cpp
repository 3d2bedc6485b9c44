// Host rows into PNG rows: every colorKind into every colour type, 4-bit unpacking, the mask
// as alpha. Host rows sit flush against a guard page, so reading one byte too far crashes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "export/host_to_png.h"
#include "quantize/median_cut.h"
#include "support/guarded_memory.h"

namespace pngtrans {
namespace {

using test::GuardedAlloc;
using test::GuardedFree;
using Row = std::vector<uint8_t>;

// A host row holding exactly the given bytes, ending at a guard page.
class GuardedRow {
 public:
  explicit GuardedRow(const Row& bytes) : data_(static_cast<uint8_t*>(GuardedAlloc(bytes.size()))) {
    std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~GuardedRow() { GuardedFree(data_); }
  const uint8_t* data() const { return data_; }

 private:
  uint8_t* data_;
};

HostImage Image(int32_t kind, uint32_t width, int32_t bits = 8) {
  HostImage image = {};
  image.width = width;
  image.height = 1;
  image.colorKind = kind;
  image.bitsPerPixel = bits;
  return image;
}

// Converts through a guarded host row of exactly HostRowBytesUsed bytes; the output buffer
// carries sentinels past the samples the conversion may write.
Row Convert(const HostImage& image, const Row& hostRow, uint8_t colorType) {
  EXPECT_EQ(hostRow.size(), HostRowBytesUsed(image));
  const GuardedRow in(hostRow);
  const uint32_t samples = image.width * (colorType == 2 || colorType == 6 ? 3 : 1);
  Row out(samples + 8, 0xEE);
  ConvertRow(image, in.data(), out.data(), colorType);
  for (uint32_t i = samples; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past " << i;
  out.resize(samples);
  return out;
}

Row Repeat3(const Row& grey) {
  Row rgb;
  for (uint8_t v : grey) rgb.insert(rgb.end(), {v, v, v});
  return rgb;
}

TEST(ColorLuminance, WeightsTruncateAndWhiteIsExact) {
  // Bytes 10, 20, 30 as blue, green, red: 0.289659 x 30 + 0.605636 x 20 + 0.104665 x 10.
  EXPECT_EQ(ColorLuminance(30 | 20 << 8 | 10 << 16), 21);
  EXPECT_EQ(ColorLuminance(0x00FFFFFF), 255);
  EXPECT_EQ(ColorLuminance(0), 0);
  EXPECT_EQ(ColorLuminance(0x0000FF), 73);
  EXPECT_EQ(ColorLuminance(0x00FF00), 154);
  EXPECT_EQ(ColorLuminance(0xFF0000), 26);
  EXPECT_EQ(ColorLuminance(0x00FEFFFF), 254);
  // The top byte is no part of the colour.
  EXPECT_EQ(ColorLuminance(0xFFFFFFFF), 255);
  EXPECT_EQ(ColorLuminance(0xAB000000 | 30 | 20 << 8 | 10 << 16), 21);
}

TEST(HostRowSizes, CountOnlyTheBytesWidthPixelsOccupy) {
  EXPECT_EQ(HostRowBytesUsed(Image(ColorKindBilevel, 9, 1)), 2u);
  EXPECT_EQ(HostRowBytesUsed(Image(ColorKindBilevel, 16, 1)), 2u);
  EXPECT_EQ(HostRowBytesUsed(Image(ColorKindGrey, 7, 4)), 4u);
  EXPECT_EQ(HostRowBytesUsed(Image(ColorKindIndexed, 8, 4)), 4u);
  EXPECT_EQ(HostRowBytesUsed(Image(ColorKindIndexed, 7, 8)), 7u);
  EXPECT_EQ(HostRowBytesUsed(Image(ColorKindFullColor, 7, 24)), 21u);
  EXPECT_EQ(HostRowBytesUsed(Image(7, 7, 24)), 0u);
  HostImage image = Image(ColorKindGrey, 9);
  image.maskKind = MaskOneBit;
  EXPECT_EQ(MaskRowBytesUsed(image), 2u);
  image.maskKind = MaskEightBit;
  EXPECT_EQ(MaskRowBytesUsed(image), 9u);
  image.maskKind = 3;
  EXPECT_EQ(MaskRowBytesUsed(image), 0u);
}

TEST(HostRowSizes, MaskCountsOnlyForKnownKindsWithABuffer) {
  uint8_t mask[4] = {};
  HostImage image = Image(ColorKindGrey, 4);
  image.mask = mask;
  image.maskKind = MaskNone;
  EXPECT_FALSE(HostHasMask(image));
  image.maskKind = 3;
  EXPECT_FALSE(HostHasMask(image));
  image.maskKind = MaskEightBit;
  EXPECT_TRUE(HostHasMask(image));
  image.maskKind = MaskOneBit;
  EXPECT_TRUE(HostHasMask(image));
  image.mask = nullptr;
  EXPECT_FALSE(HostHasMask(image));
}

TEST(ConvertRow, BilevelIsBlackAndWhiteWhateverThePalette) {
  // Width 11: bits 1011 0010 110 (the five low bits of the last byte are padding).
  HostImage image = Image(ColorKindBilevel, 11, 1);
  ColorValue palette[256];
  for (ColorValue& c : palette) c = 0x123456;
  image.palette = palette;
  const Row row = {0xB2, 0xDF};
  const Row bits = {1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0};
  Row grey;
  for (uint8_t b : bits) grey.push_back(b ? 255 : 0);
  EXPECT_EQ(Convert(image, row, 0), grey);
  EXPECT_EQ(Convert(image, row, 4), grey);
  EXPECT_EQ(Convert(image, row, 3), bits);
  EXPECT_EQ(Convert(image, row, 2), Repeat3(grey));
  EXPECT_EQ(Convert(image, row, 6), Repeat3(grey));
}

TEST(ConvertRow, GreyLevelsPassThroughEveryType) {
  HostImage image = Image(ColorKindGrey, 5);
  const Row row = {0, 1, 127, 200, 255};
  EXPECT_EQ(Convert(image, row, 0), row);
  EXPECT_EQ(Convert(image, row, 3), row);  // an index into the grey ramp
  EXPECT_EQ(Convert(image, row, 2), Repeat3(row));
  EXPECT_EQ(Convert(image, row, 6), Repeat3(row));
}

TEST(ConvertRow, FourBitGreyIsUnpackedToNibbleTimes17) {
  HostImage image = Image(ColorKindGrey, 5, 4);
  const Row row = {0x3C, 0xF0, 0x7A};  // the last low nibble is padding
  const Row levels = {51, 204, 255, 0, 119};
  EXPECT_EQ(Convert(image, row, 0), levels);
  EXPECT_EQ(Convert(image, row, 3), levels);
  EXPECT_EQ(Convert(image, row, 2), Repeat3(levels));
}

class IndexedRows : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 256; ++i) {
      palette_[i] = static_cast<ColorValue>(i | (255 - i) << 8 | (i * 7 & 255) << 16);
    }
    palette_[3] = 0x00FFFFFF;
  }
  Row Rgb(const Row& indices) const {
    Row out;
    for (uint8_t i : indices) {
      out.insert(out.end(),
                 {static_cast<uint8_t>(palette_[i]), static_cast<uint8_t>(palette_[i] >> 8),
                  static_cast<uint8_t>(palette_[i] >> 16)});
    }
    return out;
  }
  Row Grey(const Row& indices) const {
    Row out;
    for (uint8_t i : indices) out.push_back(ColorLuminance(palette_[i]));
    return out;
  }
  ColorValue palette_[256];
};

TEST_F(IndexedRows, EightBitIndicesGoThroughThePalette) {
  HostImage image = Image(ColorKindIndexed, 7);
  image.palette = palette_;
  const Row row = {0, 3, 9, 255, 128, 3, 17};
  EXPECT_EQ(Convert(image, row, 3), row);
  EXPECT_EQ(Convert(image, row, 2), Rgb(row));
  EXPECT_EQ(Convert(image, row, 6), Rgb(row));
  const Row grey = Convert(image, row, 0);
  EXPECT_EQ(grey, Grey(row));
  EXPECT_EQ(grey[1], 255);
  EXPECT_EQ(Convert(image, row, 4), grey);
}

TEST_F(IndexedRows, FourBitIndicesAreUnpackedNotScaled) {
  HostImage image = Image(ColorKindIndexed, 3, 4);
  image.palette = palette_;
  image.paletteCount = 16;
  const Row row = {0x3C, 0x90};
  const Row indices = {3, 12, 9};
  EXPECT_EQ(Convert(image, row, 3), indices);
  EXPECT_EQ(Convert(image, row, 2), Rgb(indices));
  EXPECT_EQ(Convert(image, row, 0), Grey(indices));
}

TEST(ConvertRow, FullColourReordersAndWeighs) {
  HostImage image = Image(ColorKindFullColor, 3, 24);
  const Row row = {10, 20, 30, 255, 255, 255, 0, 0, 255};  // blue, green, red
  EXPECT_EQ(Convert(image, row, 2), Row({30, 20, 10, 255, 255, 255, 255, 0, 0}));
  EXPECT_EQ(Convert(image, row, 6), Row({30, 20, 10, 255, 255, 255, 255, 0, 0}));
  EXPECT_EQ(Convert(image, row, 0), Row({21, 255, 73}));
  EXPECT_EQ(Convert(image, row, 4), Row({21, 255, 73}));
}

TEST(ConvertRow, FullColourToPaletteAsksTheQuantizer) {
  HostImage image = Image(ColorKindFullColor, 5, 24);
  const Row row = {10, 20, 30, 1, 2, 3, 10, 20, 30, 10, 20, 30, 200, 100, 50};
  ASSERT_EQ(CreateQuantizer(), 1);
  for (size_t i = 0; i < row.size(); i += 3) AddPixel(&row[i]);
  uint8_t palette[1024];
  BuildPalette(palette);
  const Row indices = Convert(image, row, 3);
  DestroyQuantizer();
  // The most frequent colour is entry 0, and each index names that pixel's exact colour.
  EXPECT_EQ(indices[0], 0);
  for (size_t x = 0; x < indices.size(); ++x) {
    const uint8_t* entry = &palette[4 * indices[x]];
    EXPECT_EQ(Row(entry, entry + 3), Row(&row[3 * x], &row[3 * x] + 3)) << x;
  }
  EXPECT_NE(indices[1], indices[4]);
}

TEST(ConvertRow, UnknownKindsAndTypesWriteNothing) {
  const Row row = {1, 2, 3};
  Row out(4, 0xEE);
  ConvertRow(Image(9, 3), row.data(), out.data(), 0);
  ConvertRow(Image(ColorKindGrey, 3), row.data(), out.data(), 5);
  EXPECT_EQ(out, Row(4, 0xEE));
}

// The row converter prepared once keeps giving the same rows, and a second Prepare for
// another image leaves nothing of the first behind.
TEST_F(IndexedRows, PreparedConverterIsReusable) {
  HostImage indexed = Image(ColorKindIndexed, 2);
  indexed.palette = palette_;
  HostImage unpaletted = indexed;
  unpaletted.palette = nullptr;
  RowConverter converter;
  const uint8_t row[2] = {3, 4};
  uint8_t out[2];
  converter.Prepare(indexed, 0);
  converter.Convert(row, out);
  EXPECT_EQ(out[0], 255);
  converter.Prepare(unpaletted, 0);
  converter.Convert(row, out);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
}

Row Merge(const HostImage& image, Row pngRow, const Row* mask, uint8_t colorType) {
  const size_t wide = image.width * (colorType == 6 ? 4 : 2);
  pngRow.resize(wide, 0x77);
  if (mask == nullptr) {
    MergeAlpha(image, pngRow.data(), nullptr, colorType);
  } else {
    const GuardedRow guarded(*mask);
    MergeAlpha(image, pngRow.data(), guarded.data(), colorType);
  }
  return pngRow;
}

TEST(MergeAlpha, OneBitMaskIsMostSignificantBitFirst) {
  HostImage image = Image(ColorKindGrey, 8);
  image.maskKind = MaskOneBit;
  const Row mask = {0xA0};
  const Row merged = Merge(image, {1, 2, 3, 4, 5, 6, 7, 8}, &mask, 4);
  EXPECT_EQ(merged, Row({1, 255, 2, 0, 3, 255, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0}));
}

TEST(MergeAlpha, GreyAndColourRowsInterleaveTheMaskBytes) {
  HostImage image = Image(ColorKindGrey, 3);
  image.maskKind = MaskEightBit;
  const Row mask = {9, 128, 250};
  EXPECT_EQ(Merge(image, {10, 20, 30}, &mask, 4), Row({10, 9, 20, 128, 30, 250}));
  EXPECT_EQ(Merge(image, {1, 2, 3, 4, 5, 6, 7, 8, 9}, &mask, 6),
            Row({1, 2, 3, 9, 4, 5, 6, 128, 7, 8, 9, 250}));
}

TEST(MergeAlpha, OddWidthOneBitMaskReadsOnlyItsBytes) {
  HostImage image = Image(ColorKindGrey, 11);
  image.maskKind = MaskOneBit;
  const Row mask = {0xFF, 0x40};  // guarded: two bytes, no more
  const Row merged = Merge(image, Row(33, 5), &mask, 6);
  for (uint32_t x = 0; x < 11; ++x) {
    EXPECT_EQ(merged[4 * x + 3], x < 8 || x == 9 ? 255 : 0) << x;
    EXPECT_EQ(merged[4 * x], 5);
  }
}

TEST(MergeAlpha, UnknownMaskKindOrNoMaskIsOpaque) {
  HostImage image = Image(ColorKindGrey, 2);
  image.maskKind = 3;
  const Row mask = {0, 0};
  EXPECT_EQ(Merge(image, {7, 8}, &mask, 4), Row({7, 255, 8, 255}));
  image.maskKind = MaskEightBit;
  EXPECT_EQ(Merge(image, {7, 8}, nullptr, 4), Row({7, 255, 8, 255}));
}

TEST(MergeAlpha, RowsWiderThanAFixedScratchStayIntact) {
  // 3000 RGBA pixels are 12000 bytes: the whole row is spread in place.
  const uint32_t width = 3000;
  HostImage image = Image(ColorKindFullColor, width, 24);
  image.maskKind = MaskEightBit;
  Row rgb(3 * width), mask(width);
  for (uint32_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 13);
  for (uint32_t x = 0; x < width; ++x) mask[x] = static_cast<uint8_t>(x * 5);
  const Row merged = Merge(image, rgb, &mask, 6);
  for (uint32_t x = 0; x < width; ++x) {
    ASSERT_EQ(merged[4 * x], rgb[3 * x]) << x;
    ASSERT_EQ(merged[4 * x + 1], rgb[3 * x + 1]) << x;
    ASSERT_EQ(merged[4 * x + 2], rgb[3 * x + 2]) << x;
    ASSERT_EQ(merged[4 * x + 3], mask[x]) << x;
  }
}

TEST(MergeAlpha, OtherColourTypesAreLeftAlone) {
  HostImage image = Image(ColorKindGrey, 2);
  image.maskKind = MaskEightBit;
  const Row mask = {0, 0};
  for (uint8_t type : {0, 2, 3}) {
    EXPECT_EQ(Merge(image, {7, 8}, &mask, type), Row({7, 8, 0x77, 0x77}));
  }
}

}  // namespace
}  // namespace pngtrans
