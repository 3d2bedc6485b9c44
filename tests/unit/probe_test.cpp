// The file probe on generated files: the host description per colour type and depth, flags,
// resolution, titles, where the scan stops, and that every failure closes the file.
#include <gtest/gtest.h>

#include <string>

#include "import/probe.h"
#include "support/files.h"
#include "support/reader_harness.h"
#include "support/png_build.h"
#if PNGTRANS_HAVE_LIBPNG
#include "support/png_judge.h"
#endif

namespace pngtrans::test {
namespace {

Bytes Phys(uint32_t x, uint32_t y) {
  Bytes data = Be32(x);
  Append(&data, Be32(y));
  data.push_back(1);
  return MakeChunk("pHYs", data);
}

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = OpenCrtDescriptorCount();
    std::memset(&image_, 0, sizeof image_);
    image_.paletteCount = 777;
  }
  void TearDown() override {
    EXPECT_EQ(OpenCrtDescriptorCount(), descriptors_) << "a descriptor was left open";
    for (const std::string& path : paths_) RemoveFile(path);
  }
  Status ProbeBytes(const Bytes& file, bool withTitle = true) {
    paths_.push_back(TempPath("probe.png"));
    EXPECT_TRUE(WriteFileBytes(paths_.back(), file));
    return ProbeFile(paths_.back().c_str(), withTitle ? title_ : nullptr, &image_, &flags_);
  }
  Status ProbeChunks(std::initializer_list<Bytes> chunks) { return ProbeBytes(PngOf(chunks)); }

  HostImage image_;
  uint32_t flags_ = 0;
  char title_[64] = {};
  int descriptors_ = 0;
  std::vector<std::string> paths_;
};

Bytes Ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType) {
  return MakeChunk("IHDR", IhdrData(w, h, depth, colorType));
}
Bytes Iend() {
  return MakeChunk("IEND", {});
}

TEST_F(Probe, DescribesEachColourTypeAndDepth) {
  struct Case {
    uint8_t colorType, depth;
    int32_t kind, bits;
    uint32_t rowBytes, paletteCount, flags;
  };
  const Case cases[] = {
      {0, 1, 1, 8, 7, 256, 0},
      {0, 8, 1, 8, 7, 256, 0},
      {0, 16, 3, 24, 21, 777, 0},
      {3, 2, 2, 8, 7, 256, 0},
      {3, 8, 2, 8, 7, 256, 0},
      {2, 8, 3, 24, 21, 777, 0},
      {2, 16, 3, 24, 21, 777, 0},
      {4, 8, 1, 8, 7, 256, 0x10},
      {4, 16, 3, 24, 21, 777, 0x10},
      {6, 8, 3, 24, 21, 777, 0x10},
      {6, 16, 3, 24, 21, 777, 0x10},
      // Types outside the standard count as carrying alpha.
      {9, 8, 3, 24, 21, 777, 0x10},
  };
  for (const Case& c : cases) {
    image_.paletteCount = 777;
    image_.maskKind = 5;
    flags_ = 0;
    RawImage raw = RandomImage(7, 3, c.depth, c.colorType == 9 ? 2 : c.colorType, 1, 4);
    EncodeOptions options;
    if (c.colorType == 3) options.palette = Bytes(12, 9);
    Bytes file = EncodePng(raw, options);
    file[8 + 8 + 9] = c.colorType;  // the probe reads the header as it stands
    const std::string label = std::to_string(c.colorType) + "/" + std::to_string(c.depth);
    ASSERT_EQ(ProbeBytes(file), StatusOk) << label;
    EXPECT_EQ(image_.width, 7u) << label;
    EXPECT_EQ(image_.height, 3u) << label;
    EXPECT_EQ(image_.colorKind, c.kind) << label;
    EXPECT_EQ(image_.bitsPerPixel, c.bits) << label;
    EXPECT_EQ(image_.rowBytes, c.rowBytes) << label;
    EXPECT_EQ(image_.paletteCount, c.paletteCount) << label;
    EXPECT_EQ(image_.maskKind, 0u) << label;
    EXPECT_EQ(flags_, c.flags) << label;
    EXPECT_EQ(image_.resolutionX, 180u) << label;
    EXPECT_EQ(image_.resolutionY, 180u) << label;
  }
}

TEST_F(Probe, FlagsForTransparencyAndAlpha) {
  flags_ = 0x100;  // the caller's bits stay, except that alpha assigns the whole word
  EncodeOptions options;
  options.palette = Bytes(12, 9);
  options.trns = {0, 128};
  ASSERT_EQ(ProbeBytes(EncodePng(RandomImage(4, 4, 8, 3, 2, 4), options)), StatusOk);
  EXPECT_EQ(flags_, 0x101u);
  EXPECT_EQ(image_.colorKind, ColorKindIndexed);
  flags_ = 0x100;
  options = EncodeOptions();
  options.trns = {0, 1, 0, 2, 0, 3};
  ASSERT_EQ(ProbeBytes(EncodePng(RandomImage(4, 4, 8, 6, 2), options)), StatusOk);
  EXPECT_EQ(flags_, 0x11u);
}

TEST_F(Probe, ResolutionFromPhysUnconverted) {
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), Phys(2835, 2835), Iend()}), StatusOk);
  EXPECT_EQ(image_.resolutionX, 2835u);
  EXPECT_EQ(image_.resolutionY, 2835u);
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), Phys(72, 96), Iend()}), StatusOk);
  EXPECT_EQ(image_.resolutionX, 72u);
  EXPECT_EQ(image_.resolutionY, 96u);
}

TEST_F(Probe, TitlesAreCutAndTheLastOneWins) {
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), TextChunk("Title", std::string(63, 'a')), Iend()}),
            StatusOk);
  EXPECT_EQ(std::string(title_), std::string(63, 'a'));
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), TextChunk("Title", std::string(64, 'b')), Iend()}),
            StatusOk);
  EXPECT_EQ(std::string(title_), std::string(63, 'b'));
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), TextChunk("Title", "first"),
                         TextChunk("Author", "someone"), TextChunk("Titles", "second"), Iend()}),
            StatusOk);
  EXPECT_STREQ(title_, "second");
  // The text ends at its own NUL; a keyword without a NUL has no text.
  Bytes data = Text("Title");
  data.push_back(0);
  Append(&data, Text("one"));
  data.push_back(0);
  Append(&data, Text("two"));
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), MakeChunk("tEXt", data), Iend()}), StatusOk);
  EXPECT_STREQ(title_, "one");
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), MakeChunk("tEXt", Text("Title")), Iend()}), StatusOk);
  EXPECT_STREQ(title_, "");
  // Too short to compare, and no title buffer at all: both fine.
  std::strcpy(title_, "kept");
  ASSERT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), MakeChunk("tEXt", Text("Tit")), Iend()}), StatusOk);
  EXPECT_STREQ(title_, "kept");
  ASSERT_EQ(ProbeBytes(PngOf({Ihdr(2, 2, 8, 0), TextChunk("Title", "x"), Iend()}), false),
            StatusOk);
  EXPECT_STREQ(title_, "kept");
}

TEST_F(Probe, SignatureIsNotLookedAt) {
  Bytes file = PngOf({Ihdr(9, 4, 8, 2), Iend()});
  file[7] = 0x0B;
  ASSERT_EQ(ProbeBytes(file), StatusOk);
  EXPECT_EQ(image_.width, 9u);
}

TEST_F(Probe, FirstEmptyChunkEndsTheScan) {
  // What follows an empty chunk is never read, not even a broken header.
  ASSERT_EQ(ProbeChunks({Ihdr(5, 5, 8, 0), MakeChunk("tEXt", {}), TextChunk("Title", "unseen"),
                         Text("garbage")}),
            StatusOk);
  EXPECT_STREQ(title_, "");
  EXPECT_EQ(flags_, 0u);
}

TEST_F(Probe, FailuresCloseTheFile) {
  // Each failure is checked for a descriptor left open in TearDown.
  EXPECT_EQ(ProbeChunks({Ihdr(2, 2, 16, 3), Iend()}), StatusError);
  EXPECT_EQ(ProbeChunks({Ihdr(2, 2, 3, 0), Iend()}), StatusError);
  // An empty chunk before any header describes nothing.
  EXPECT_EQ(ProbeChunks({MakeChunk("tEXt", {}), Ihdr(2, 2, 8, 0), Iend()}), StatusError);
  EXPECT_EQ(ProbeChunks({Iend()}), StatusError);
  // Header or pHYs of another length would put the scan out of step.
  EXPECT_EQ(ProbeChunks({MakeChunk("IHDR", Bytes(12, 1)), Iend()}), StatusError);
  EXPECT_EQ(ProbeChunks({MakeChunk("IHDR", Bytes(14, 1)), Iend()}), StatusError);
  EXPECT_EQ(ProbeChunks({Ihdr(2, 2, 8, 0), MakeChunk("pHYs", Bytes(8, 1)), Iend()}), StatusError);
  // A length beyond the PNG limit, and a huge text in a tiny file.
  Bytes huge = PngOf({Ihdr(2, 2, 8, 0)});
  Append(&huge, Be32(0x80000000u));
  Append(&huge, Text("prVt"));
  EXPECT_EQ(ProbeBytes(huge), StatusError);
  Bytes bigText = PngOf({Ihdr(2, 2, 8, 0)});
  Append(&bigText, Be32(0x7FFFFFF0u));
  Append(&bigText, Text("tEXtTitle"));
  EXPECT_EQ(ProbeBytes(bigText), StatusError);
  // Missing file, and a row size that does not fit in 32 bits.
  EXPECT_EQ(ProbeFile(TempPath("absent.png").c_str(), title_, &image_, &flags_), StatusError);
  EXPECT_EQ(ProbeFile(nullptr, title_, &image_, &flags_), StatusError);
  EXPECT_EQ(ProbeChunks({MakeChunk("IHDR", IhdrData(0x60000000u, 1, 8, 2)), Iend()}), StatusError);
}

TEST_F(Probe, EveryTruncationBeforeTheEndFails) {
  EncodeOptions options;
  options.palette = Bytes(12, 9);
  options.trns = {0};
  options.chunksBeforeIdat = {Phys(100, 100), TextChunk("Title", "truncate me")};
  options.chunksAfterIdat = {TextChunk("Comment", "after")};
  const Bytes file = EncodePng(RandomImage(6, 5, 4, 3, 3, 4), options);
  // The probe needs everything up to IEND's length field.
  for (size_t cut = 0; cut + 8 < file.size(); ++cut) {
    ASSERT_EQ(ProbeBytes(Bytes(file.begin(), file.begin() + cut)), StatusError) << cut;
  }
  ASSERT_EQ(ProbeBytes(Bytes(file.begin(), file.end() - 8)), StatusOk);
  EXPECT_EQ(flags_, ProbeFoundTrns);
  EXPECT_STREQ(title_, "truncate me");
}

TEST_F(Probe, NullImageAndFlagsAreAllowed) {
  const std::string path = TempPath("probe-null.png");
  paths_.push_back(path);
  ASSERT_TRUE(WriteFileBytes(path, PngOf({Ihdr(2, 2, 16, 3), TextChunk("Title", "only"), Iend()})));
  // Without an image the header is not judged; the title still arrives.
  EXPECT_EQ(ProbeFile(path.c_str(), title_, nullptr, nullptr), StatusOk);
  EXPECT_STREQ(title_, "only");
  EXPECT_EQ(ProbeFile(path.c_str(), nullptr, &image_, nullptr), StatusError);
}

#if PNGTRANS_HAVE_LIBPNG
TEST_F(Probe, FileFromAnotherEncoder) {
  Bytes file;
  ASSERT_TRUE(
      EncodeWithLibpng(RandomImage(33, 17, 4, 3, 5, 16), true, Bytes(48, 7), {0, 0}, &file));
  ASSERT_EQ(ProbeBytes(file), StatusOk);
  EXPECT_EQ(image_.width, 33u);
  EXPECT_EQ(image_.height, 17u);
  EXPECT_EQ(image_.colorKind, ColorKindIndexed);
  EXPECT_EQ(image_.rowBytes, 33u);
  EXPECT_EQ(flags_, ProbeFoundTrns);
}
#endif

}  // namespace
}  // namespace pngtrans::test
