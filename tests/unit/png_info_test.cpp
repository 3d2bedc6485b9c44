// PngInfo through the reader's setters: derived header values, the text list and its growth,
// pCAL copies, and release.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "import/png_reader.h"
#include "support/reader_harness.h"

namespace pngtrans::test {
namespace {

char* OwnedText(const std::string& key, const std::string& text) {
  auto* block = static_cast<char*>(std::malloc(key.size() + text.size() + 2));
  std::memcpy(block, key.c_str(), key.size() + 1);
  std::memcpy(block + key.size() + 1, text.c_str(), text.size() + 1);
  return block;
}

TextEntry Entry(const std::string& key, const std::string& text, int16_t compression = -1) {
  char* block = OwnedText(key, text);
  return TextEntry{compression, block, block + key.size() + 1, 0};
}

TEST(PngInfoSetters, HeaderDerivesChannelsDepthAndRowBytes) {
  PngReader reader;
  SetIHDR(reader.info(), 10, 2, 4, 3, 0, 0, 0);
  EXPECT_EQ(reader.info().channels, 1);
  EXPECT_EQ(reader.info().pixelDepth, 4);
  EXPECT_EQ(reader.info().rowBytes, 5u);
  SetIHDR(reader.info(), 3, 1, 16, 6, 1, 0, 0);
  EXPECT_EQ(reader.info().channels, 4);
  EXPECT_EQ(reader.info().pixelDepth, 64);
  EXPECT_EQ(reader.info().rowBytes, 24u);
  EXPECT_EQ(reader.info().interlaceMethod, 1);
  SetIHDR(reader.info(), 7, 1, 8, 4, 0, 0, 0);
  EXPECT_EQ(reader.info().channels, 2);
  // A row of the widest image does not wrap in 32 bits.
  SetIHDR(reader.info(), 0x7FFFFFFF, 1, 16, 6, 0, 0, 0);
  EXPECT_EQ(reader.info().rowBytes, 0xFFFFFFF8u);
  // The header has no valid bit.
  EXPECT_EQ(reader.info().valid, 0u);
}

TEST(PngInfoSetters, EachSetterSetsItsBitAndBorrowsArrays) {
  PngReader reader;
  uint8_t palette[6] = {1, 2, 3, 4, 5, 6};
  uint8_t alpha[2] = {0, 128};
  uint16_t hist[2] = {7, 9};
  SetPLTE(reader.info(), palette, 2);
  Color16 key = {0, 1, 2, 3, 4};
  SettRNS(reader.info(), alpha, 2, &key);
  SetpHYs(reader.info(), 2835, 2836, 1);
  EXPECT_EQ(reader.info().valid, 0x0098u);
  // Neither pointer given: the earlier array and values stay, only the count changes.
  SettRNS(reader.info(), nullptr, 1, nullptr);
  EXPECT_EQ(reader.info().trans, alpha);
  EXPECT_EQ(reader.info().transValues.blue, 3);
  EXPECT_EQ(reader.info().transCount, 1);
  SethIST(reader.info(), hist);
  SetgAMA(reader.info(), 0.45455);
  SetsBIT(reader.info(), SignificantBits{5, 6, 7, 0, 0});
  SetcHRM(reader.info(), 0.3127, 0.329, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06);
  SetbKGD(reader.info(), Color16{3, 0, 0, 0, 0});
  SetoFFs(reader.info(), -5, 7, 1);
  SettIME(reader.info(), TimeStamp{2024, 2, 29, 23, 59, 60});
  EXPECT_EQ(reader.info().valid, 0x03FFu);
  EXPECT_FLOAT_EQ(reader.info().gamma, 0.45455f);
  EXPECT_FLOAT_EQ(reader.info().blueY, 0.06f);
  EXPECT_EQ(reader.info().offsetX, -5);
  EXPECT_EQ(reader.info().modTime.second, 60);
  // Release leaves borrowed arrays alone and zeroes the record.
  ReleaseInfo(&reader.info());
  const auto* bytes = reinterpret_cast<const uint8_t*>(&reader.info());
  for (size_t i = 0; i < sizeof(PngInfo); ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(palette[5], 6);
  EXPECT_EQ(hist[1], 9);
}

TEST(PngInfoTexts, EmptyOrMissingTextIsUncompressedWithLengthZero) {
  PngReader reader;
  TextEntry entries[2] = {Entry("Comment", "", 0), Entry("Author", "x", 5)};
  entries[1].text = nullptr;
  ASSERT_EQ(AddTexts(reader.info(), ReaderAllocate, entries, 2), StatusOk);
  const PngInfo& info = reader.info();
  ASSERT_EQ(info.textCount, 2);
  EXPECT_EQ(info.textCapacity, 10);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(info.texts[i].compression, -1);
    EXPECT_EQ(info.texts[i].textLength, 0u);
    ASSERT_NE(info.texts[i].text, nullptr);
    EXPECT_STREQ(info.texts[i].text, "");
  }
  EXPECT_STREQ(info.texts[1].key, "Author");
}

TEST(PngInfoTexts, GrowsLeavingEightFreeEntries) {
  PngReader reader;
  std::vector<int> capacities;
  for (int i = 0; i < 10; ++i) {
    const TextEntry entry = Entry("k" + std::to_string(i), "text " + std::to_string(i), 0);
    ASSERT_EQ(AddTexts(reader.info(), ReaderAllocate, &entry, 1), StatusOk);
    capacities.push_back(reader.info().textCapacity);
  }
  EXPECT_EQ(capacities, std::vector<int>({9, 9, 9, 9, 9, 9, 9, 9, 9, 18}));
  EXPECT_EQ(reader.info().textCount, 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_STREQ(reader.info().texts[i].key, ("k" + std::to_string(i)).c_str());
    EXPECT_EQ(reader.info().texts[i].compression, 0);
    EXPECT_EQ(reader.info().texts[i].textLength, 6u);
  }
  EXPECT_EQ(AddTexts(reader.info(), ReaderAllocate, nullptr, 0), StatusOk);
  EXPECT_EQ(reader.info().textCount, 10);
}

TEST(PngInfoTexts, OutOfMemoryCountsNothingThatWasNotStored) {
  PngReader reader;
  for (int i = 0; i < 9; ++i) {
    const TextEntry entry = Entry("k", "v");
    ASSERT_EQ(AddTexts(reader.info(), ReaderAllocate, &entry, 1), StatusOk);
  }
  TextEntry tenth = Entry("tenth", "t");
  {
    ScopedReaderAllocator allocator(1);
    EXPECT_EQ(AddTexts(reader.info(), ReaderAllocate, &tenth, 1), StatusNoMemory);
  }
  EXPECT_EQ(reader.info().textCount, 9);
  EXPECT_EQ(reader.info().textCapacity, 9);
  EXPECT_STREQ(reader.info().texts[8].text, "v");
  std::free(tenth.key);  // not stored, so still the caller's
}

TEST(PngInfoTexts, SixteenBitCountIsNeverWrapped) {
  PngReader reader;
  const int many = SHRT_MAX - 8;
  std::vector<TextEntry> entries(many);
  for (TextEntry& e : entries) e = TextEntry{-1, static_cast<char*>(std::calloc(1, 1)), nullptr, 0};
  ASSERT_EQ(AddTexts(reader.info(), ReaderAllocate, entries.data(), many), StatusOk);
  EXPECT_EQ(reader.info().textCount, many);
  EXPECT_EQ(reader.info().textCapacity, SHRT_MAX);
  TextEntry one = Entry("k", "v");
  EXPECT_EQ(AddTexts(reader.info(), ReaderAllocate, &one, 1), StatusError);
  EXPECT_EQ(reader.info().textCount, many);
  std::free(one.key);
}

TEST(PngInfoCalibration, CopiesEveryStringAndReleasesThem) {
  PngReader reader;
  char p0[] = "0.5";
  char p1[] = "1e3";
  char p2[] = "";
  char* params[4] = {p0, p1, p2, nullptr};
  char purpose[] = "depth";
  char units[] = "m";
  ASSERT_EQ(SetpCAL(reader.info(), ReaderAllocate, purpose, -10, 300, 1, 3, units, params),
            StatusOk);
  purpose[0] = units[0] = p0[0] = 'X';
  const PngInfo& info = reader.info();
  EXPECT_STREQ(info.calPurpose, "depth");
  EXPECT_STREQ(info.calUnits, "m");
  EXPECT_EQ(info.calX0, -10);
  EXPECT_EQ(info.calX1, 300);
  EXPECT_EQ(info.calType, 1);
  ASSERT_EQ(info.calParamCount, 3);
  EXPECT_STREQ(info.calParams[0], "0.5");
  EXPECT_STREQ(info.calParams[2], "");
  EXPECT_EQ(info.calParams[3], nullptr);
  EXPECT_EQ(info.valid, static_cast<uint32_t>(ValidpCAL));
}

TEST(PngInfoCalibration, OutOfMemoryAtAnyCopyLeavesRecordUnchanged) {
  char a[] = "a";
  char b[] = "b";
  char* params[3] = {a, b, nullptr};
  // purpose, units, array, two parameters: five allocations.
  for (int failAt = 1; failAt <= 5; ++failAt) {
    PngReader reader;
    ScopedReaderAllocator allocator(failAt);
    EXPECT_EQ(SetpCAL(reader.info(), ReaderAllocate, "purpose", 0, 1, 0, 2, "units", params),
              StatusNoMemory)
        << failAt;
    EXPECT_EQ(reader.info().valid, 0u);
    EXPECT_EQ(reader.info().calPurpose, nullptr);
    EXPECT_EQ(reader.info().calParams, nullptr);
  }
}

}  // namespace
}  // namespace pngtrans::test
