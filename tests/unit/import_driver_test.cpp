// The import driver end to end: what the host receives on success, the status and the release
// count on every kind of failure, files cut or damaged anywhere, the reader's memory running
// out at any allocation, and the limits on host buffer sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "import/import_driver.h"
#include "support/reader_harness.h"
#include "support/import_host.h"

namespace pngtrans::test {
namespace {

struct Outcome {
  Status status = StatusError;
  uint32_t options = 0xDEADBEEF;
  std::string title;
};

class ImportDriver : public ::testing::Test {
 protected:
  Outcome Import(const Bytes& file, ProgressCallback progress = nullptr, bool withTitle = true) {
    const std::string path = TempPath("import.png");
    EXPECT_TRUE(WriteFileBytes(path, file));
    Outcome out;
    char title[64];
    std::memset(title, 'x', sizeof title);
    title[0] = 0;
    const int descriptors = OpenCrtDescriptorCount();
    out.status = ImportImage(path.c_str(), withTitle ? title : nullptr, host_.image(), progress,
                             &out.options);
    EXPECT_EQ(OpenCrtDescriptorCount(), descriptors) << "a descriptor was left open";
    out.title = title;
    RemoveFile(path);
    return out;
  }
  GuardedHost host_;
};

TEST_F(ImportDriver, MissingFileFailsWithoutTouchingTheImage) {
  uint32_t options = 0x12345678;
  const HostImage before = *host_.image();
  EXPECT_EQ(ImportImage(TempPath("absent.png").c_str(), nullptr, host_.image(), nullptr, &options),
            StatusError);
  EXPECT_EQ(options, 0u);
  EXPECT_EQ(std::memcmp(&before, host_.image(), sizeof before), 0);
  EXPECT_EQ(host_.allocateCalls(), 0);
  EXPECT_EQ(host_.releaseCalls(), 0);
}

TEST_F(ImportDriver, OtherFormatsAndShortFilesFailBeforeAnyCallback) {
  const Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(Import(gif).status, StatusBadFormat);
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0};
  EXPECT_EQ(Import(jpeg).status, StatusBadFormat);
  EXPECT_EQ(Import(Bytes{0x89, 'P', 'N', 'G'}).status, StatusError);
  EXPECT_EQ(Import(Bytes()).status, StatusError);
  EXPECT_EQ(host_.allocateCalls(), 0);
  EXPECT_EQ(host_.releaseCalls(), 0);
}

TEST_F(ImportDriver, ColourWithAlphaDeliversPixelsMaskAndOptions) {
  const RawImage raw = RandomImage(5, 4, 8, 6, 1);
  const Outcome out = Import(EncodePng(raw));
  ASSERT_EQ(out.status, StatusOk);
  EXPECT_EQ(out.options, 0x00086100u);
  const HostImage& image = host_.described();
  EXPECT_EQ(image.rowBytes, 15u);
  EXPECT_EQ(image.maskKind, 2u);
  EXPECT_EQ(image.maskRowBytes, 5);
  const ExpectedHost e = ExpectHost(raw);
  EXPECT_EQ(host_.Pixels(), e.pixels);
  EXPECT_EQ(host_.Mask(), e.mask);
  EXPECT_EQ(host_.allocateCalls(), 1);
  EXPECT_EQ(host_.releaseCalls(), 0);
}

TEST_F(ImportDriver, PaletteWithTransparencyHasAMaskAndReportsIt) {
  const RawImage raw = RandomImage(7, 3, 8, 3, 2, 20);
  EncodeOptions options;
  options.palette = TestPalette(20);
  options.trns = Bytes{0, 128, 255};
  const Outcome out = Import(EncodePng(raw, options));
  ASSERT_EQ(out.status, StatusOk);
  EXPECT_EQ(out.options, 0x00083010u);
  EXPECT_EQ(host_.described().maskKind, 2u);
  const ExpectedHost e = ExpectHost(raw, options.palette, options.trns);
  EXPECT_EQ(host_.Pixels(), e.pixels);
  EXPECT_EQ(host_.Mask(), e.mask);
  EXPECT_EQ(host_.Palette(), e.palette);
}

TEST_F(ImportDriver, OneBitPaletteOfWhiteThenBlackIsShownAsStored) {
  RawImage raw;
  raw.width = 9;
  raw.height = 1;
  raw.bitDepth = 1;
  raw.colorType = 3;
  raw.rows = {Bytes{0xC1, 0x80}};  // 1 1 0 0 0 0 0 1 | 1
  EncodeOptions options;
  options.palette = Bytes{255, 255, 255, 0, 0, 0};
  ASSERT_EQ(Import(EncodePng(raw, options)).status, StatusOk);
  EXPECT_EQ(host_.Pixels(), (Bytes{1, 1, 0, 0, 0, 0, 0, 1, 1}));
  EXPECT_EQ(host_.Palette()[0], 0xFFFFFFu);
  EXPECT_EQ(host_.Palette()[1], 0u);
}

TEST_F(ImportDriver, TitleAfterTheImageReachesTheTitleBuffer) {
  const RawImage raw = RandomImage(3, 3, 8, 0, 3);
  EncodeOptions options;
  Bytes text = {'T', 'i', 't', 'l', 'e', 0};
  const std::string title = "Sunset over the bay";
  text.insert(text.end(), title.begin(), title.end());
  options.chunksAfterIdat = {MakeChunk("tEXt", text)};
  EXPECT_EQ(Import(EncodePng(raw, options)).title, title);
  // Without a title buffer the import still succeeds and writes nothing for it.
  EXPECT_EQ(Import(EncodePng(raw, options), nullptr, false).status, StatusOk);
}

TEST_F(ImportDriver, DamagedOrMissingEndAfterCompleteImageDataSucceeds) {
  const RawImage raw = RandomImage(6, 4, 16, 2, 4);
  EncodeOptions noEnd;
  noEnd.writeIend = false;
  EXPECT_EQ(Import(EncodePng(raw, noEnd)).status, StatusOk);
  EXPECT_EQ(host_.Pixels(), ExpectHost(raw).pixels);
  EncodeOptions badTail;
  badTail.chunksAfterIdat = {MakeChunkBadCrc("tEXt", Bytes{'a', 0, 'b'})};
  EXPECT_EQ(Import(EncodePng(raw, badTail)).status, StatusOk);
  EXPECT_EQ(host_.Pixels(), ExpectHost(raw).pixels);
  EXPECT_EQ(host_.releaseCalls(), 0);
}

TEST_F(ImportDriver, HostThatCannotAllocateGetsOneRelease) {
  host_.FailAllocate(true);
  EXPECT_EQ(Import(EncodePng(RandomImage(4, 4, 8, 2, 5))).status, StatusError);
  EXPECT_EQ(host_.allocateCalls(), 1);
  EXPECT_EQ(host_.releaseCalls(), 1);
}

TEST_F(ImportDriver, HostBuffersBeyond32BitsAreRefusedBeforeAllocate) {
  // 65536 × 65536 grey: exactly 4 GiB of pixels; 40000 × 40000 colour: 4.8 GB. The header is
  // all the import reads.
  for (const Bytes& ihdr : {IhdrData(65536, 65536, 8, 0), IhdrData(40000, 40000, 8, 2),
                            IhdrData(30000, 50000, 16, 4)}) {
    Bytes file = PngSignature();
    Append(&file, MakeChunk("IHDR", ihdr));
    Append(&file, MakeChunk("IDAT", ZlibCompress(Bytes(100, 0))));
    Append(&file, MakeChunk("IEND", {}));
    GuardedHost host;
    const std::string path = TempPath("huge.png");
    ASSERT_TRUE(WriteFileBytes(path, file));
    uint32_t options = 0;
    EXPECT_EQ(ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options), StatusError);
    EXPECT_EQ(host.allocateCalls(), 0);
    EXPECT_EQ(host.releaseCalls(), 1);
  }
}

TEST_F(ImportDriver, BrokenImageDataFailsWithOneRelease) {
  const RawImage raw = RandomImage(9, 5, 8, 0, 7);
  const Bytes stream = ZlibCompress(FilteredStream(raw, EncodeOptions()));
  Bytes file = PngSignature();
  Append(&file, MakeChunk("IHDR", IhdrData(9, 5, 8, 0)));
  Append(&file, MakeChunk("IDAT", Bytes(stream.begin(), stream.begin() + 10)));
  Append(&file, MakeChunk("tEXt", Bytes{'k', 0, 'v'}));
  Append(&file, MakeChunk("IDAT", Bytes(stream.begin() + 10, stream.end())));
  Append(&file, MakeChunk("IEND", {}));
  EXPECT_EQ(Import(file).status, StatusError);
  EXPECT_EQ(host_.releaseCalls(), 1);
}

TEST_F(ImportDriver, ProgressCoversEveryRowOfEveryPass) {
  const RawImage raw = RandomImage(5, 4, 8, 0, 8);
  {
    ProgressRecorder recorder;
    ASSERT_EQ(Import(EncodePng(raw), ProgressRecorder::Callback).status, StatusOk);
    ASSERT_EQ(recorder.calls().size(), 5u);
    EXPECT_EQ(recorder.calls().front(), std::make_pair(0, 4));
    EXPECT_EQ(recorder.calls().back(), std::make_pair(4, 4));
  }
  EncodeOptions interlaced;
  interlaced.interlace = true;
  ProgressRecorder recorder;
  ASSERT_EQ(Import(EncodePng(raw, interlaced), ProgressRecorder::Callback).status, StatusOk);
  ASSERT_EQ(recorder.calls().size(), 29u);
  EXPECT_EQ(recorder.calls().front(), std::make_pair(0, 28));
  EXPECT_EQ(recorder.calls().back(), std::make_pair(28, 28));
  EXPECT_EQ(host_.Pixels(), ExpectHost(raw).pixels);
}

// A small file with head and tail chunks around three IDAT chunks.
Bytes SmallFile(bool interlace) {
  const RawImage raw = RandomImage(6, 5, 4, 3, 9, 16);
  EncodeOptions options;
  options.interlace = interlace;
  options.palette = TestPalette(16);
  options.trns = Bytes{0, 10};
  options.idatSizes = {20, 30};
  Bytes phys = Be32(2835);
  Append(&phys, Be32(2835));
  phys.push_back(1);
  options.chunksBeforeIdat = {MakeChunk("pHYs", phys), MakeChunk("prVt", Bytes{1, 2, 3})};
  options.chunksAfterIdat = {MakeChunk("tEXt", Bytes{'T', 'i', 't', 'l', 'e', 0, 'x'})};
  return EncodePng(raw, options);
}

uint32_t ReadBe32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// Offset just past the last IDAT chunk's data (the image is complete from there on).
size_t EndOfImageData(const Bytes& file) {
  size_t at = 8, end = 0;
  while (at + 8 <= file.size()) {
    const uint32_t length = ReadBe32(file, at);
    if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) end = at + 8 + length;
    at += 12 + length;
  }
  return end;
}

TEST_F(ImportDriver, EveryTruncationFailsCleanlyOrKeepsTheCompleteImage) {
  for (bool interlace : {false, true}) {
    const Bytes file = SmallFile(interlace);
    const size_t complete = EndOfImageData(file);
    for (size_t cut = 0; cut < file.size(); ++cut) {
      GuardedHost host;
      const std::string path = TempPath("cut.png");
      ASSERT_TRUE(WriteFileBytes(path, Bytes(file.begin(), file.begin() + static_cast<long>(cut))));
      uint32_t options = 0;
      const Status status = ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options);
      RemoveFile(path);
      if (cut < 8) {
        EXPECT_EQ(status, StatusError) << cut;
        EXPECT_EQ(host.releaseCalls(), 0) << cut;
      } else if (cut < complete) {
        EXPECT_EQ(status, StatusError) << cut;
        EXPECT_EQ(host.releaseCalls(), 1) << cut;
      } else {
        EXPECT_EQ(status, StatusOk) << cut;
        EXPECT_EQ(host.releaseCalls(), 0) << cut;
      }
    }
  }
}

TEST_F(ImportDriver, BitFlipsGiveKnownStatusesAndAtMostOneRelease) {
  const Bytes file = SmallFile(true);
  for (size_t at = 0; at < file.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80}) {
      Bytes damaged = file;
      damaged[at] ^= flip;
      GuardedHost host;
      const std::string path = TempPath("flip.png");
      ASSERT_TRUE(WriteFileBytes(path, damaged));
      uint32_t options = 0;
      const Status status = ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options);
      RemoveFile(path);
      if (at < 8) {
        EXPECT_EQ(status, StatusBadFormat) << at;
        EXPECT_EQ(host.releaseCalls(), 0);
      } else {
        ASSERT_TRUE(status == StatusOk || status == StatusError) << at << " " << status;
        EXPECT_EQ(host.releaseCalls(), status == StatusOk ? 0 : 1) << at;
        EXPECT_LE(host.allocateCalls(), 1);
      }
    }
  }
}

TEST_F(ImportDriver, ReaderMemoryRunningOutAnywhereFailsCleanly) {
  const Bytes file = SmallFile(true);
  int allocations = 0;
  {
    ScopedReaderAllocator counting;
    ASSERT_EQ(Import(file).status, StatusOk);
    allocations = counting.calls();
  }
  ASSERT_GT(allocations, 5);
  for (int failAt = 1; failAt <= allocations; ++failAt) {
    GuardedHost host;
    const std::string path = TempPath("oom.png");
    ASSERT_TRUE(WriteFileBytes(path, file));
    ScopedReaderAllocator allocator(failAt);
    uint32_t options = 0;
    const Status status = ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options);
    RemoveFile(path);
    // Before the signature: the reader's own status; after it: an error and one release.
    if (host.releaseCalls() == 0) {
      EXPECT_TRUE(status == StatusNoMemory || status == StatusOk) << failAt << " " << status;
    } else {
      EXPECT_EQ(status, StatusError) << failAt;
      EXPECT_EQ(host.releaseCalls(), 1);
    }
  }
}

}  // namespace
}  // namespace pngtrans::test
