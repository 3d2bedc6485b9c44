// Import conformance: every colour type, bit depth, interlace method, size, filter type and
// IDAT split of the matrix imports into exactly the host bytes the judge derives (libpng's
// decoding on Linux, where libpng also vouches for the expected bytes; the test image itself on
// both targets). The widest accepted rows import too, and one pixel more fails cleanly.
#include <gtest/gtest.h>

#include <cstring>

#include "import/import_driver.h"
#include "support/import_matrix.h"
#include "support/png_judge.h"

namespace pngtrans::test {
namespace {

// Imports file into a fresh guarded host and compares everything the host receives.
void ExpectImportMatches(const MatrixCase& c, const Bytes& file, const ExpectedHost& e) {
  const std::string path = TempPath("conform.png");
  ASSERT_TRUE(WriteFileBytes(path, file));
  GuardedHost host;
  uint32_t options = 0;
  const Status status = ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options);
  RemoveFile(path);
  ASSERT_EQ(status, StatusOk) << c.name;
  const HostImage& image = host.described();
  EXPECT_EQ(image.width, c.raw.width) << c.name;
  EXPECT_EQ(image.height, c.raw.height) << c.name;
  EXPECT_EQ(image.colorKind, e.colorKind) << c.name;
  EXPECT_EQ(image.bitsPerPixel, e.bitsPerPixel) << c.name;
  EXPECT_EQ(image.rowBytes, e.rowBytes) << c.name;
  EXPECT_EQ(image.maskKind, e.maskKind) << c.name;
  EXPECT_EQ(image.maskRowBytes, e.maskRowBytes) << c.name;
  EXPECT_EQ(options, ExpectedOptions(c)) << c.name;
  EXPECT_TRUE(host.Pixels() == e.pixels) << c.name;
  EXPECT_TRUE(host.Mask() == e.mask) << c.name;
  if (!e.palette.empty()) {
    EXPECT_EQ(host.Palette(), e.palette) << c.name;
  }
  EXPECT_EQ(host.allocateCalls(), 1) << c.name;
  EXPECT_EQ(host.releaseCalls(), 0) << c.name;
}

void RunCase(const MatrixCase& c) {
  const Bytes file = EncodePng(c.raw, c.options);
  const ExpectedHost expected = ExpectHost(c.raw, c.options.palette, c.options.trns);
#if PNGTRANS_HAVE_LIBPNG
  ExpectedHost judged;
  std::string error;
  ASSERT_TRUE(JudgeWithLibpng(file, &judged, &error)) << c.name << ": " << error;
  ASSERT_TRUE(judged.pixels == expected.pixels && judged.mask == expected.mask &&
              judged.palette == expected.palette)
      << "the judge and the test image disagree: " << c.name;
  ExpectImportMatches(c, file, judged);
#else
  ExpectImportMatches(c, file, expected);
#endif
}

TEST(ImportConformance, SmallImagesOfEveryFormatSizeFilterAndSplit) {
  const std::vector<MatrixCase> cases = SmallImageMatrix();
  ASSERT_EQ(cases.size(), 15u * 2 * 17 * 9);
  for (const MatrixCase& c : cases) {
    RunCase(c);
    if (HasFatalFailure() || HasFailure()) return;  // one clear report, not thousands
  }
}

TEST(ImportConformance, EveryForcedFilterWithEverySplit) {
  for (const MatrixCase& c : FilterSplitMatrix()) {
    RunCase(c);
    if (HasFatalFailure() || HasFailure()) return;
  }
}

TEST(ImportConformance, WidestAcceptedRowsAndLargerImages) {
  for (const MatrixCase& c : LargeImageCases()) {
    RunCase(c);
    if (HasFatalFailure() || HasFailure()) return;
  }
}

TEST(ImportConformance, OnePixelWiderThanTheRowBufferFailsWithOneRelease) {
  for (const MatrixCase& c : OverWideCases()) {
    const std::string path = TempPath("overwide.png");
    ASSERT_TRUE(WriteFileBytes(path, EncodePng(c.raw, c.options)));
    GuardedHost host;
    uint32_t options = 0;
    EXPECT_EQ(ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options), StatusError)
        << c.name;
    RemoveFile(path);
    EXPECT_EQ(host.allocateCalls(), 1) << c.name;
    EXPECT_EQ(host.releaseCalls(), 1) << c.name;
  }
}

#if PNGTRANS_HAVE_LIBPNG
// Files written by libpng's own encoder (its filter choices and IDAT sizes, not ours).
TEST(ImportConformance, FilesEncodedByTheJudge) {
  uint32_t seed = 1;
  for (uint8_t type : {0, 2, 3, 4, 6}) {
    for (uint8_t depth : {1, 2, 4, 8, 16}) {
      if ((type == 3 && depth == 16) || ((type == 2 || type == 4 || type == 6) && depth < 8)) {
        continue;
      }
      for (bool interlace : {false, true}) {
        MatrixCase c;
        const uint32_t entries = type == 3 ? (1u << depth) : 256;
        c.raw = RandomImage(37, 23, depth, type, ++seed, entries);
        c.options.interlace = interlace;
        if (type == 3) c.options.palette = TestPalette(entries);
        c.name = "libpng-encoded type " + std::to_string(type) + " depth " + std::to_string(depth);
        Bytes file;
        ASSERT_TRUE(EncodeWithLibpng(c.raw, interlace, c.options.palette, Bytes(), &file));
        ExpectImportMatches(c, file, ExpectHost(c.raw, c.options.palette, c.options.trns));
      }
    }
  }
}
#endif

}  // namespace
}  // namespace pngtrans::test
