// The chunk loops and handlers on real files: what reaches the host and PngInfo, the order,
// duplicate, length and CRC rules with their exact statuses, the option word, texts and titles,
// and out-of-memory paths.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <zlib.h>

#include "format/chunk_format.h"
#include "import/png_reader.h"
#include "support/import_host.h"
#include "support/reader_harness.h"

namespace pngtrans::test {
namespace {

const Bytes kImageData = {0x78, 0x9C, 1, 2, 3};

Bytes Ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType,
           uint8_t interlace = 0) {
  return MakeChunk("IHDR", IhdrData(width, height, depth, colorType, interlace));
}
Bytes Idat() {
  return MakeChunk("IDAT", kImageData);
}
Bytes Iend() {
  return MakeChunk("IEND", {});
}
Bytes PaletteData(int entries) {
  Bytes data;
  for (int i = 0; i < entries; ++i) {
    data.push_back(static_cast<uint8_t>(i));
    data.push_back(static_cast<uint8_t>(2 * i));
    data.push_back(static_cast<uint8_t>(255 - i));
  }
  return data;
}
Bytes Plte(int entries) {
  return MakeChunk("PLTE", PaletteData(entries));
}
Bytes Phys(uint32_t x, uint32_t y, uint8_t unit = 1) {
  Bytes data = Be32(x);
  Append(&data, Be32(y));
  data.push_back(unit);
  return MakeChunk("pHYs", data);
}
Bytes Gama(uint32_t value) {
  return MakeChunk("gAMA", Be32(value));
}
Bytes Ztxt(const std::string& key, uint8_t method, const Bytes& payload) {
  Bytes data = Text(key);
  data.push_back(0);
  data.push_back(method);
  Append(&data, payload);
  return MakeChunk("zTXt", data);
}
Bytes ChrmData(const uint32_t (&v)[8]) {
  Bytes data;
  for (uint32_t x : v) Append(&data, Be32(x));
  return data;
}
Bytes Chrm(const uint32_t (&v)[8]) {
  return MakeChunk("cHRM", ChrmData(v));
}
const uint32_t kGoodChrm[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};

class HeadChunks : public ::testing::Test {
 protected:
  Status Run(const Bytes& file, uint32_t optionsPreset = 0) {
    file_ = std::make_unique<ReaderOnFile>(file);
    EXPECT_EQ(file_->signatureStatus(), StatusOk);
    options_ = optionsPreset;
    return reader().ReadHeadChunks(host_.image(), &options_, title_);
  }
  Status Run(std::initializer_list<Bytes> chunks, uint32_t optionsPreset = 0) {
    return Run(PngOf(chunks), optionsPreset);
  }
  PngReader& reader() { return file_->reader(); }
  ReaderState& state() { return reader().state(); }
  PngInfo& info() { return reader().info(); }

  GuardedHost host_;
  uint32_t options_ = 0;
  char title_[64] = {};
  std::unique_ptr<ReaderOnFile> file_;
};

// ---------------------------------------------------------------------------------------------
// A whole head

TEST_F(HeadChunks, PaletteFileDeliversEverythingAndStopsAtImageData) {
  ASSERT_EQ(Run({Ihdr(5, 3, 8, 3), Plte(4), MakeChunk("tRNS", {0, 128, 255}), Phys(2835, 2835),
                 TextChunk("Title", "A palette"), Idat()}),
            StatusOk);
  EXPECT_EQ(host_.allocateCalls(), 1);
  const HostImage& image = *host_.image();
  EXPECT_EQ(image.width, 5u);
  EXPECT_EQ(image.height, 3u);
  EXPECT_EQ(image.colorKind, ColorKindIndexed);
  EXPECT_EQ(image.bitsPerPixel, 8);
  EXPECT_EQ(image.paletteCount, 256u);
  EXPECT_EQ(image.rowBytes, 5u);
  // The palette alpha gives a mask, and its first transparent entry is the transparent colour.
  EXPECT_EQ(image.maskKind, 2u);
  EXPECT_EQ(image.maskRowBytes, 5);
  EXPECT_EQ(image.backgroundColor, 0u);
  EXPECT_EQ(image.resolutionX, 2835u);
  EXPECT_EQ(image.resolutionY, 2835u);
  for (uint32_t i = 0; i < 256; ++i) {
    const ColorValue expected = i < 4 ? i + 256 * (2 * i) + 65536 * (255 - i) : 0;
    ASSERT_EQ(image.palette[i], expected) << i;
  }
  EXPECT_EQ(reader().transparentColor(), 0u);
  EXPECT_EQ(options_, 0x00083010u);
  EXPECT_EQ(info().valid, 0x0098u);
  EXPECT_STREQ(title_, "A palette");
  // Positioned at the first IDAT's data with its type already in the CRC.
  EXPECT_TRUE((state().mode & ModeSawIDAT) != 0);
  ASSERT_EQ(state().idatRemaining, kImageData.size());
  Bytes data(kImageData.size());
  ASSERT_EQ(reader().ReadChunkData(data.data(), static_cast<uint32_t>(data.size())), StatusOk);
  EXPECT_EQ(data, kImageData);
  EXPECT_EQ(reader().FinishChunk(0), 0);
}

TEST_F(HeadChunks, OptionWordDescribesTheFileNibbleByNibble) {
  ASSERT_EQ(Run({Ihdr(4, 4, 8, 6), Idat()}), StatusOk);
  EXPECT_EQ(options_, 0x00086100u);
  // Reserved bits survive; interlace and a palette tRNS show.
  ASSERT_EQ(Run({Ihdr(4, 4, 8, 3, 1), Plte(2), MakeChunk("tRNS", {0}), Idat()}, 0xAB000000u),
            StatusOk);
  EXPECT_EQ(options_, 0xAB083011u);
  // Without alpha the mask nibble is left as the caller had it.
  ASSERT_EQ(Run({Ihdr(4, 4, 16, 2), Idat()}, 0x00000F00u), StatusOk);
  EXPECT_EQ(options_, 0x00082F00u);
  // A failure in the chunks still describes what was read.
  EXPECT_EQ(Run({Ihdr(4, 4, 8, 4), Gama(0), Idat()}), StatusError);
  EXPECT_EQ(options_, 0x00084100u);
}

// ---------------------------------------------------------------------------------------------
// CRC policy

TEST_F(HeadChunks, CrcMismatchToleratedWhereTheChunkIsEssentialOrHarmless) {
  EXPECT_EQ(Run({MakeChunkBadCrc("IHDR", IhdrData(2, 2, 8, 0)), Idat()}), StatusOk);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), MakeChunkBadCrc("PLTE", PaletteData(2)), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->palette[1], 1u + 256 * 2 + 65536 * 254);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunkBadCrc("prVt", Text("private")), Idat()}), StatusOk);
  // A damaged cHRM is dropped silently and the next chunk is read from the right place.
  EXPECT_EQ(
      Run({Ihdr(2, 2, 8, 2), MakeChunkBadCrc("cHRM", ChrmData(kGoodChrm)), Gama(45455), Idat()}),
      StatusOk);
  EXPECT_EQ(info().valid, static_cast<uint32_t>(ValidgAMA));
}

TEST_F(HeadChunks, CrcMismatchFailsOtherKnownChunks) {
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunkBadCrc("PLTE", PaletteData(2)), Idat()}),
            StatusBadFormat);
  struct Case {
    std::string type;
    Bytes data;
  };
  const Case cases[] = {
      {"gAMA", Be32(45455)},
      {"sBIT", {8, 8, 8}},
      {"tRNS", {0, 1, 0, 2, 0, 3}},
      {"bKGD", {0, 1, 0, 2, 0, 3}},
      {"hIST", {0, 1, 0, 2}},
      {"pHYs", {0, 0, 0, 1, 0, 0, 0, 1, 0}},
      {"oFFs", {0, 0, 0, 1, 0, 0, 0, 1, 0}},
      {"tIME", {7, 232, 1, 1, 0, 0, 0}},
      {"tEXt", {'C', 0, 'x'}},
      {"zTXt", {'k', 0, 1, 'x'}},
      {"pCAL", {'p', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 'u', 0, '1', 0, '2'}},
  };
  for (const Case& c : cases) {
    // A colour image; only the histogram needs the (suggested) palette before it.
    const bool afterPalette = c.type == "hIST";
    for (bool goodCrc : {false, true}) {
      Bytes file = PngOf({Ihdr(2, 2, 8, 2)});
      if (afterPalette) Append(&file, Plte(2));
      Append(&file, goodCrc ? MakeChunk(c.type, c.data) : MakeChunkBadCrc(c.type, c.data));
      if (!afterPalette) Append(&file, Plte(2));
      Append(&file, Idat());
      // With a good CRC the chunk is accepted, so the CRC alone makes the difference.
      EXPECT_EQ(Run(file), goodCrc ? StatusOk : StatusError) << c.type;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Order, duplicates, lengths

TEST_F(HeadChunks, HeaderMustComeFirstAndOnce) {
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), Ihdr(2, 2, 8, 0), Idat()}), StatusBadFormat);
  EXPECT_EQ(Run({MakeChunk("prVt", {1}), Ihdr(2, 2, 8, 0), Idat()}), StatusOk);
  EXPECT_EQ(host_.allocateCalls(), 1);  // the host is asked at the first IDAT
  EXPECT_EQ(Run({MakeChunk("IHDR", Bytes(12, 1)), Idat()}), StatusBadFormat);
  EXPECT_EQ(Run({MakeChunk("IHDR", Bytes(14, 1)), Idat()}), StatusBadFormat);
}

TEST_F(HeadChunks, ImageDataOutOfPlaceLeavesOptionWordUntouched) {
  EXPECT_EQ(Run({Idat(), Ihdr(2, 2, 8, 0)}, 0x12345678u), StatusBadFormat);
  EXPECT_EQ(options_, 0x12345678u);
  EXPECT_EQ(host_.allocateCalls(), 0);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), Idat(), Plte(2)}, 0x12345678u), StatusBadFormat);
  EXPECT_EQ(options_, 0x12345678u);
  // Other images need no palette before their data.
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), Idat()}), StatusOk);
}

TEST_F(HeadChunks, EndBeforeImageDataAndUnknownCriticalChunksFail) {
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), Iend()}), StatusError);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("QUIZ", {1, 2}), Idat()}), StatusError);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("quIZ", {1, 2}), Idat()}), StatusOk);
  // Cut off before any image data: the next chunk header cannot be read.
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0)}), StatusError);
}

TEST_F(HeadChunks, PositionRulesPerChunk) {
  struct Case {
    const char* what;
    Bytes before;  // chunks between IHDR and the chunk under test
    Bytes chunk;
    uint8_t colorType;
    Status expected;
  };
  Bytes plte = Plte(3);
  Bytes gamaTwice = Gama(45455);
  const Case cases[] = {
      {"gAMA after PLTE", plte, Gama(45455), 3, StatusError},
      {"sBIT after PLTE", plte, MakeChunk("sBIT", {8, 8, 8}), 3, StatusError},
      {"cHRM after PLTE", plte, Chrm(kGoodChrm), 3, StatusError},
      {"gAMA twice", gamaTwice, Gama(45455), 2, StatusError},
      {"PLTE twice", plte, Plte(3), 3, StatusError},
      {"tRNS before PLTE", {}, MakeChunk("tRNS", {1}), 3, StatusBadFormat},
      {"bKGD before PLTE", {}, MakeChunk("bKGD", {1}), 3, StatusBadFormat},
      {"hIST before PLTE", {}, MakeChunk("hIST", {0, 1}), 3, StatusError},
      {"tRNS with alpha", {}, MakeChunk("tRNS", {0, 1}), 4, StatusBadFormat},
      {"tRNS with RGBA", {}, MakeChunk("tRNS", {0, 1, 0, 1, 0, 1}), 6, StatusBadFormat},
      {"pHYs twice", Phys(1, 1), Phys(1, 1), 2, StatusError},
      {"oFFs twice", MakeChunk("oFFs", Bytes(9, 0)), MakeChunk("oFFs", Bytes(9, 0)), 2,
       StatusError},
      {"tIME twice", MakeChunk("tIME", Bytes(7, 1)), MakeChunk("tIME", Bytes(7, 1)), 2,
       StatusError},
      {"bKGD twice", MakeChunk("bKGD", Bytes(6, 0)), MakeChunk("bKGD", Bytes(6, 0)), 2,
       StatusBadFormat},
      {"tRNS twice", MakeChunk("tRNS", Bytes(6, 0)), MakeChunk("tRNS", Bytes(6, 0)), 2,
       StatusBadFormat},
      {"two texts", TextChunk("a", "b"), TextChunk("a", "b"), 2, StatusOk},
      {"gAMA before PLTE", {}, Gama(45455), 3, StatusOk},
  };
  for (const Case& c : cases) {
    Bytes file = PngSignature();
    Append(&file, Ihdr(2, 2, 8, c.colorType));
    Append(&file, c.before);
    Append(&file, c.chunk);
    if (c.colorType == 3 && c.expected == StatusOk && c.before.empty()) Append(&file, plte);
    Append(&file, Idat());
    EXPECT_EQ(Run(file), c.expected) << c.what;
  }
  EXPECT_FLOAT_EQ(info().gamma, 0.45455f);
}

TEST_F(HeadChunks, ChunksBeforeTheHeaderAreRefusedWithTheirStatus) {
  const std::pair<Bytes, Status> cases[] = {
      {Gama(45455), StatusError},
      {Plte(2), StatusError},
      {MakeChunk("tRNS", {0}), StatusBadFormat},
      {MakeChunk("bKGD", {0}), StatusBadFormat},
      {TextChunk("Title", "x"), StatusError},
      {Phys(1, 1), StatusError},
      {MakeChunk("tIME", Bytes(7, 1)), StatusError},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run({c.first, Ihdr(2, 2, 8, 3), Plte(2), Idat()}), c.second);
    EXPECT_EQ(host_.allocateCalls(), 0);
  }
}

TEST_F(HeadChunks, HeaderFieldsOutsideTheFormatFail) {
  const Bytes bad[] = {
      IhdrData(0, 1, 8, 0),           IhdrData(1, 0, 8, 0), IhdrData(0x80000000u, 1, 8, 0),
      IhdrData(1, 0x80000000u, 8, 0), IhdrData(1, 1, 3, 0), IhdrData(1, 1, 8, 1),
      IhdrData(1, 1, 8, 5),           IhdrData(1, 1, 8, 7), IhdrData(1, 1, 16, 3),
      IhdrData(1, 1, 4, 2),           IhdrData(1, 1, 4, 6), IhdrData(1, 1, 2, 4),
      IhdrData(1, 1, 8, 0, 2),
  };
  for (const Bytes& data : bad) {
    EXPECT_EQ(Run({MakeChunk("IHDR", data), Idat()}), StatusError);
    EXPECT_EQ(host_.allocateCalls(), 0);
  }
  for (int byte : {10, 11}) {
    Bytes data = IhdrData(1, 1, 8, 0);
    data[byte] = 1;
    EXPECT_EQ(Run({MakeChunk("IHDR", data), Idat()}), StatusError) << byte;
  }
}

TEST_F(HeadChunks, PaletteLengthsAndSizes) {
  const Bytes tenBytes(10, 7);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("PLTE", tenBytes), Idat()}), StatusBadFormat);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), MakeChunk("PLTE", tenBytes), Idat()}), StatusError);
  // More than 256 entries never reach past the 256-entry buffer.
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(257), Idat()}), StatusError);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), Plte(300), Idat()}), StatusBadFormat);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(256), Idat()}), StatusOk);
  EXPECT_EQ(state().paletteCount, 256);
  EXPECT_EQ(info().paletteCount, 256);
  EXPECT_EQ(info().palette, reader().paletteBuffer());
  EXPECT_EQ(host_.image()->palette[255], 255u + 256 * 254 + 65536 * 0);
  // A suggested palette in a colour image also reaches the host's palette.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Plte(2), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->palette[1], 1u + 256 * 2 + 65536 * 254);
  EXPECT_EQ(host_.image()->palette[2], 0u);
}

// ---------------------------------------------------------------------------------------------
// Header into the host

TEST_F(HeadChunks, HeaderMapsToHostLayouts) {
  struct Case {
    uint8_t colorType, depth;
    int32_t kind, bits;
    uint32_t rowBytes, maskKind;
  };
  const Case cases[] = {
      {0, 1, 1, 8, 5, 0},    {0, 2, 1, 8, 5, 0}, {0, 4, 1, 8, 5, 0},    {0, 8, 1, 8, 5, 0},
      {0, 16, 3, 24, 15, 0}, {3, 1, 2, 8, 5, 0}, {3, 8, 2, 8, 5, 0},    {2, 8, 3, 24, 15, 0},
      {2, 16, 3, 24, 15, 0}, {4, 8, 1, 8, 5, 2}, {4, 16, 3, 24, 15, 2}, {6, 8, 3, 24, 15, 2},
      {6, 16, 3, 24, 15, 2},
  };
  for (const Case& c : cases) {
    host_.image()->paletteCount = 777;
    host_.image()->maskKind = 9;
    host_.image()->maskBits = 9;
    host_.image()->maskRowBytes = 9;
    ASSERT_EQ(Run({Ihdr(5, 2, c.depth, c.colorType), Plte(2), Idat()}), StatusOk);
    const HostImage& image = *host_.image();
    const std::string label = std::to_string(c.colorType) + "/" + std::to_string(c.depth);
    EXPECT_EQ(image.colorKind, c.kind) << label;
    EXPECT_EQ(image.bitsPerPixel, c.bits) << label;
    EXPECT_EQ(image.rowBytes, c.rowBytes) << label;
    EXPECT_EQ(image.paletteCount, c.bits == 8 ? 256u : 777u) << label;
    EXPECT_EQ(image.maskKind, c.maskKind) << label;
    EXPECT_EQ(image.maskBits, c.maskKind != 0 ? 8 : 0) << label;
    EXPECT_EQ(image.maskRowBytes, c.maskKind != 0 ? 5 : 0) << label;
  }
}

TEST_F(HeadChunks, ResolutionDefaultsOnlyWhenBothAreZero) {
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->resolutionX, 180u);
  EXPECT_EQ(host_.image()->resolutionY, 180u);
  host_.image()->resolutionX = 0;
  host_.image()->resolutionY = 96;
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->resolutionX, 0u);
  EXPECT_EQ(host_.image()->resolutionY, 96u);
  // pHYs overrides whatever its unit.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Phys(3000, 1500, 0), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->resolutionX, 3000u);
  EXPECT_EQ(host_.image()->resolutionY, 1500u);
  EXPECT_EQ(info().physUnit, 0);
  // A file that fails before its image data leaves the descriptor as the host set it, the
  // resolution and background its chunks named included.
  HostImage* image = host_.image();
  image->resolutionX = image->resolutionY = 0;
  image->backgroundColor = 0xDEAD;
  const Bytes before(reinterpret_cast<const uint8_t*>(image),
                     reinterpret_cast<const uint8_t*>(image + 1));
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), Phys(3000, 1500), MakeChunk("bKGD", {0, 1, 0, 2, 0, 3}),
                 MakeChunk("tRNS", {0, 1, 0, 2, 0, 3}), Phys(1, 1), Idat()}),
            StatusError);
  EXPECT_TRUE(Bytes(reinterpret_cast<const uint8_t*>(image),
                    reinterpret_cast<const uint8_t*>(image + 1)) == before);
}

TEST_F(HeadChunks, HostThatCannotAllocateFailsTheHeader) {
  host_.FailAllocate(true);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), Idat()}), StatusError);
  EXPECT_EQ(host_.allocateCalls(), 1);
  EXPECT_EQ(host_.releaseCalls(), 0);  // release is the driver's call
}

TEST_F(HeadChunks, BuffersBeyond32BitsAreRefusedBeforeAllocate) {
  EXPECT_EQ(Run({Ihdr(0x7FFFFFFF, 1, 8, 2), Idat()}), StatusError);  // 3 x width wraps
  EXPECT_EQ(Run({Ihdr(65536, 65536, 8, 0), Idat()}), StatusError);   // height x rowBytes
  EXPECT_EQ(Run({Ihdr(40000, 40000, 8, 6), Idat()}), StatusError);
  // Seven progress passes over the rows of an interlaced image overflow the host's counts.
  EXPECT_EQ(Run({Ihdr(1, 306783379, 8, 0, 1), Idat()}), StatusError);
  EXPECT_EQ(host_.allocateCalls(), 0);
  // Just inside 32 bits the host is asked (and here declines), once the file holds enough
  // bytes to inflate to the image: 8.3 MB and 594 KiB of them.
  host_.FailAllocate(true);
  Bytes file = PngOf({Ihdr(65535, 65537, 8, 4), Idat()});
  file.resize(file.size() + 8325000);
  EXPECT_EQ(Run(file), StatusError);
  EXPECT_EQ(host_.allocateCalls(), 1);
  file = PngOf({Ihdr(1, 306783378, 8, 0, 1), Idat()});
  file.resize(file.size() + 594600);
  EXPECT_EQ(Run(file), StatusError);
  EXPECT_EQ(host_.allocateCalls(), 2);
}

// ---------------------------------------------------------------------------------------------
// Transparency and background

// A key is masked to the bit depth as it is read; only a palette entry of alpha 0 is a
// transparent colour (the word's nibble and backgroundColor), though every entry gives the mask.
TEST_F(HeadChunks, TransparentColourPerColourTypeAndDepth) {
  const struct {
    uint8_t colorType, depth;
    Bytes trns;
    bool transparentColor;
    uint32_t background;  // 0xDEAD: the host's own value kept
    uint16_t maskedKey;   // grey, or red of a colour key
  } cases[] = {
      {3, 8, {0, 0, 0}, true, 0, 0},
      {3, 8, {255, 0, 128}, true, 1, 0},
      {3, 8, {255, 255}, false, 0xDEAD, 0},
      {3, 8, {200, 100, 50}, false, 0xDEAD, 0},
      {2, 8, {0, 255, 0, 0, 0, 0}, true, 0x0000FF, 255},
      {2, 8, {0xFF, 0xFF, 0, 0xFF, 0, 0xFF}, true, 0xFFFFFF, 255},
      {2, 8, {0x01, 0x0A, 0, 20, 0, 30}, true, 0x1E140A, 10},
      {2, 16, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, true, 0x9A5612, 0x1234},
      {0, 1, {0, 1}, true, 255, 1},
      {0, 1, {0xFE, 0x01}, true, 255, 1},
      {0, 2, {0x01, 0x06}, true, 170, 2},
      {0, 4, {0, 0xF3}, true, 51, 3},
      {0, 8, {0x01, 0xC8}, true, 200, 200},
      {0, 16, {0x7F, 0xFF}, true, 0x7F7F7F, 0x7FFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.colorType) << "/" << int(c.depth));
    host_.image()->backgroundColor = 0xDEAD;
    const Bytes plte = c.colorType == 3 ? Plte(4) : Bytes{};
    ASSERT_EQ(Run({Ihdr(2, 2, c.depth, c.colorType), plte, MakeChunk("tRNS", c.trns), Idat()}),
              StatusOk);
    EXPECT_TRUE(reader().HasTransparency());
    EXPECT_EQ(host_.image()->maskKind, 2u);
    EXPECT_EQ(reader().HasTransparentColor(), c.transparentColor);
    EXPECT_EQ(options_ & 0xF0, c.transparentColor ? 0x10u : 0u);
    EXPECT_EQ(host_.image()->backgroundColor, c.background);
    if (c.colorType != 3) {
      EXPECT_EQ(c.colorType == 0 ? info().transValues.gray : info().transValues.red, c.maskedKey);
    }
  }
  EXPECT_EQ(state().transCount, 1);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(4), MakeChunk("tRNS", {0, 0, 0}), Idat()}), StatusOk);
  EXPECT_EQ(state().transCount, 3);
  EXPECT_EQ(info().trans, state().trans);
  EXPECT_TRUE((state().flags & FlagFreeTrns) != 0);
  // A palette bKGD yields to the transparent entry, not to partial alpha.
  ASSERT_EQ(
      Run({Ihdr(2, 2, 8, 3), Plte(4), MakeChunk("tRNS", {9, 0}), MakeChunk("bKGD", {3}), Idat()}),
      StatusOk);
  EXPECT_EQ(host_.image()->backgroundColor, 1u);
  ASSERT_EQ(
      Run({Ihdr(2, 2, 8, 3), Plte(4), MakeChunk("tRNS", {9, 9}), MakeChunk("bKGD", {3}), Idat()}),
      StatusOk);
  EXPECT_EQ(host_.image()->backgroundColor, 3u);

  ASSERT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(4), MakeChunk("tRNS", {}), Idat()}), StatusOk);
  EXPECT_FALSE(reader().HasTransparency());
  EXPECT_EQ(host_.image()->maskKind, 0u);
  EXPECT_EQ(options_ & 0xF0, 0u);

  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(2), MakeChunk("tRNS", {0, 0, 0}), Idat()}),
            StatusBadFormat);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("tRNS", {0, 1, 2}), Idat()}), StatusBadFormat);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("tRNS", {0, 1}), Idat()}), StatusBadFormat);
}

TEST_F(HeadChunks, BackgroundPerColourTypeAndDepth) {
  const struct {
    uint8_t colorType, depth;
    Bytes data;
    uint32_t expected;
  } cases[] = {
      {2, 8, {0, 255, 0, 0, 0, 0}, 0x000000FF},
      {2, 16, {0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF}, 0x000000FF},
      {6, 8, {0, 1, 0, 2, 0, 3}, 0x00030201},
      {0, 4, {0, 3}, 51},
      {0, 1, {0, 1}, 255},
      {0, 2, {0, 1}, 85},
      {0, 16, {0x12, 0x34}, 0x121212},
      {4, 8, {0, 77}, 77},
      // Samples above the bit depth are masked off, as tRNS keys are.
      {0, 1, {0xFE, 0x01}, 255},
      {2, 8, {0x01, 0x0A, 0, 20, 0, 30}, 0x1E140A},
  };
  for (const auto& c : cases) {
    host_.image()->backgroundColor = 0xDEAD;
    ASSERT_EQ(Run({Ihdr(2, 2, c.depth, c.colorType), MakeChunk("bKGD", c.data), Idat()}), StatusOk);
    EXPECT_EQ(host_.image()->backgroundColor, c.expected)
        << int(c.colorType) << "/" << int(c.depth);
    EXPECT_EQ(info().valid & ValidbKGD, static_cast<uint32_t>(ValidbKGD));
  }
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(4), MakeChunk("bKGD", {3}), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->backgroundColor, 3u);
  EXPECT_EQ(state().background.red, 3);
  EXPECT_EQ(state().background.blue, 252);
  // An index past the palette reads as black.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(4), MakeChunk("bKGD", {200}), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->backgroundColor, 200u);
  EXPECT_EQ(state().background.red, 0);
  EXPECT_EQ(state().background.blue, 0);
  // Without bKGD the host's value stays.
  host_.image()->backgroundColor = 0xDEAD;
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Idat()}), StatusOk);
  EXPECT_EQ(host_.image()->backgroundColor, 0xDEADu);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("bKGD", {0, 1}), Idat()}), StatusBadFormat);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(2), MakeChunk("bKGD", {0, 1}), Idat()}), StatusBadFormat);
}

// ---------------------------------------------------------------------------------------------
// Other ancillary chunks

TEST_F(HeadChunks, ChromaticitiesJudgedAsStoredFloats) {
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Chrm(kGoodChrm), Idat()}), StatusOk);
  EXPECT_EQ(info().valid, static_cast<uint32_t>(ValidcHRM));
  EXPECT_FLOAT_EQ(info().whiteX, 0.3127f);
  EXPECT_FLOAT_EQ(info().blueY, 0.06f);
  uint32_t values[8];
  // 80000 is stored as a float just above 0.8 and refused; 79999 passes. Refusals drop the
  // chunk and go on at the next chunk, whichever pair was refused.
  for (int pair = 0; pair < 4; ++pair) {
    std::copy(std::begin(kGoodChrm), std::end(kGoodChrm), values);
    values[2 * pair] = 80000;
    values[2 * pair + 1] = 20000;
    ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Chrm(values), Gama(100000), Idat()}), StatusOk) << pair;
    EXPECT_EQ(info().valid, static_cast<uint32_t>(ValidgAMA)) << pair;
    values[2 * pair] = 79999;
    ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Chrm(values), Idat()}), StatusOk) << pair;
    EXPECT_EQ(info().valid, static_cast<uint32_t>(ValidcHRM)) << pair;
  }
  std::copy(std::begin(kGoodChrm), std::end(kGoodChrm), values);
  values[2] = 85000;  // red x 0.85
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Chrm(values), Idat()}), StatusOk);
  EXPECT_EQ(info().valid, 0u);
  values[2] = 60000;
  values[3] = 40001;  // x + y above 1
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Chrm(values), Idat()}), StatusOk);
  EXPECT_EQ(info().valid, 0u);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("cHRM", Bytes(31, 0)), Idat()}), StatusError);
}

TEST_F(HeadChunks, GammaSignificantBitsTimeOffsetsHistogram) {
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), Gama(0), Idat()}), StatusError);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("gAMA", {0, 1, 2}), Idat()}), StatusError);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), Gama(220000), Idat()}), StatusOk);
  EXPECT_FLOAT_EQ(state().gamma, 2.2f);

  ASSERT_EQ(Run({Ihdr(2, 2, 8, 6), MakeChunk("sBIT", {5, 6, 7, 8}), Idat()}), StatusOk);
  EXPECT_EQ(info().sigBit.red, 5);
  EXPECT_EQ(info().sigBit.alpha, 8);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 3), MakeChunk("sBIT", {5, 6, 7}), Plte(2), Idat()}), StatusOk);
  EXPECT_EQ(info().sigBit.blue, 7);
  EXPECT_EQ(info().sigBit.alpha, 0);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 4), MakeChunk("sBIT", {3, 4}), Idat()}), StatusOk);
  EXPECT_EQ(state().sigBit.gray, 3);
  EXPECT_EQ(state().sigBit.alpha, 4);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 4), MakeChunk("sBIT", {3, 4, 5}), Idat()}), StatusError);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), MakeChunk("sBIT", {3}), Idat()}), StatusError);

  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("tIME", {0x07, 0xE8, 13, 40, 25, 61, 99}), Idat()}),
            StatusOk);  // no range checks
  EXPECT_EQ(info().modTime.year, 2024);
  EXPECT_EQ(info().modTime.month, 13);
  EXPECT_EQ(info().modTime.second, 99);

  Bytes offsets = Be32(0xFFFFFFFE);
  Append(&offsets, Be32(7));
  offsets.push_back(1);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 2), MakeChunk("oFFs", offsets), Idat()}), StatusOk);
  EXPECT_EQ(info().offsetX, -2);
  EXPECT_EQ(info().offsetY, 7);
  EXPECT_EQ(info().offsetUnit, 1);

  ASSERT_EQ(
      Run({Ihdr(2, 2, 8, 3), Plte(3), MakeChunk("hIST", {0, 1, 0x12, 0x34, 0xFF, 0xFF}), Idat()}),
      StatusOk);
  ASSERT_NE(info().hist, nullptr);
  EXPECT_EQ(info().hist[1], 0x1234);
  EXPECT_EQ(info().hist[2], 0xFFFF);
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 3), Plte(3), MakeChunk("hIST", {0, 1}), Idat()}), StatusError);
}

Bytes PcalData(const std::string& purpose, int32_t x0, int32_t x1, uint8_t type, uint8_t count,
               const std::string& units, const std::string& params) {
  Bytes data = Text(purpose);
  data.push_back(0);
  Append(&data, Be32(static_cast<uint32_t>(x0)));
  Append(&data, Be32(static_cast<uint32_t>(x1)));
  data.push_back(type);
  data.push_back(count);
  Append(&data, Text(units));
  data.push_back(0);
  Append(&data, Bytes(params.begin(), params.end()));
  return data;
}

TEST_F(HeadChunks, CalibrationParsesStringsAndRefusesMalformedOnes) {
  using namespace std::string_literals;
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0),
                 MakeChunk("pCAL", PcalData("height", -100, 200, 3, 4, "m",
                                            "1\0"
                                            "2.5\0"
                                            "3e1\0"
                                            "-4"s)),
                 Idat()}),
            StatusOk);
  EXPECT_STREQ(info().calPurpose, "height");
  EXPECT_EQ(info().calX0, -100);
  EXPECT_EQ(info().calX1, 200);
  EXPECT_EQ(info().calType, 3);
  EXPECT_STREQ(info().calUnits, "m");
  ASSERT_EQ(info().calParamCount, 4);
  EXPECT_STREQ(info().calParams[3], "-4");
  // An empty last parameter right at the end of the data is still inside it.
  EXPECT_EQ(
      Run({Ihdr(2, 2, 8, 0), MakeChunk("pCAL", PcalData("p", 0, 1, 0, 2, "u", "1\0"s)), Idat()}),
      StatusOk);
  EXPECT_STREQ(info().calParams[1], "");

  const Bytes bad[] = {
      PcalData("p", 0, 1, 0, 3, "u",
               "1\0"
               "2"s),  // type 0 takes two parameters
      PcalData("p", 0, 1, 4, 2, "u",
               "1\0"
               "2"s),  // no type 4
      PcalData("p", 0, 1, 1, 3, "u",
               "1\0"
               "2"s),                                 // third parameter missing
      PcalData("p", 0, 1, 0, 2, "u", ""),             // both missing
      Text("purpose-without-terminator-and-more"),    // no room for the fixed fields
      Bytes({'p', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}),  // one byte short of the units
  };
  for (const Bytes& data : bad) {
    EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("pCAL", data), Idat()}), StatusError);
    EXPECT_EQ(info().valid & ValidpCAL, 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// Texts and titles

TEST_F(HeadChunks, TitleIsCutAtSixtyThreeAndTheLastOneWins) {
  const std::string seventy(70, 'x');
  const std::string sixtyThree(63, 'y');
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), TextChunk("Title", seventy), Idat()}), StatusOk);
  EXPECT_EQ(std::string(title_), std::string(63, 'x'));
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), TextChunk("Title", seventy), TextChunk("Title", sixtyThree),
                 TextChunk("Author", "not a title"), Idat()}),
            StatusOk);
  EXPECT_EQ(std::string(title_), sixtyThree);
  EXPECT_EQ(info().textCount, 3);
  EXPECT_EQ(info().texts[0].textLength, 70u);
  EXPECT_EQ(info().texts[2].compression, -1);
  // Only the first five bytes of the keyword are compared.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), TextChunk("Titles", "plural"), Idat()}), StatusOk);
  EXPECT_STREQ(title_, "plural");
  title_[0] = 'Q';
  title_[1] = 0;
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), TextChunk("Titl", "short"), Idat()}), StatusOk);
  EXPECT_STREQ(title_, "Q");
}

TEST_F(HeadChunks, ShortAndUnterminatedTextsAreReadInsideTheirData) {
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("tEXt", Text("Tit")), Idat()}), StatusOk);
  title_[0] = 'Q';
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("tEXt", Text("Title")), Idat()}), StatusOk);
  EXPECT_STREQ(title_, "");
  ASSERT_EQ(info().textCount, 1);
  EXPECT_STREQ(info().texts[0].key, "Title");
  EXPECT_EQ(info().texts[0].textLength, 0u);
  EXPECT_EQ(info().texts[0].compression, -1);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("tEXt", {}), Idat()}), StatusOk);
  // No title buffer: the text is still kept.
  file_ =
      std::make_unique<ReaderOnFile>(PngOf({Ihdr(2, 2, 8, 0), TextChunk("Title", "t"), Idat()}));
  ASSERT_EQ(reader().ReadHeadChunks(host_.image(), &options_, nullptr), StatusOk);
  EXPECT_EQ(info().textCount, 1);
}

Bytes Deflate(const Bytes& raw) {
  return ZlibCompress(raw, 9);
}

TEST_F(HeadChunks, CompressedTextDecodesAcrossManyWindows) {
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += "line " + std::to_string(i) + "\n";
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("Comment", 0, Deflate(Text(text))),
                 Ztxt("Title", 0, Deflate(Text("compressed title"))), Idat()}),
            StatusOk);
  ASSERT_EQ(info().textCount, 2);
  EXPECT_EQ(info().texts[0].compression, 0);
  EXPECT_STREQ(info().texts[0].key, "Comment");
  EXPECT_EQ(info().texts[0].textLength, text.size());
  EXPECT_EQ(std::string(info().texts[0].text), text);
  // The stream was reset between the chunks: the second decodes as well.
  EXPECT_STREQ(info().texts[1].text, "compressed title");
  // Compressed titles do not reach the title buffer.
  EXPECT_STREQ(title_, "");
}

TEST_F(HeadChunks, CompressedTextOddities) {
  // Method 1 is kept as stored, from the method byte on.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("k", 1, Text("raw")), Idat()}), StatusOk);
  ASSERT_EQ(info().textCount, 1);
  EXPECT_EQ(info().texts[0].compression, 1);
  EXPECT_STREQ(info().texts[0].text, "\x01raw");
  // No keyword terminator.
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("zTXt", Text("keyword")), Idat()}), StatusError);
  // Keyword and terminator only: method 0 with no data gives an empty text.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), MakeChunk("zTXt", {'k', 0}), Idat()}), StatusOk);
  EXPECT_EQ(info().texts[0].textLength, 0u);
  // Data zlib rejects with a message fails the chunk.
  EXPECT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("k", 0, {0x78, 0x9C, 0xFF, 0xFF, 0xFF}), Idat()}),
            StatusError);
  // A stream asking for a preset dictionary cannot be decoded; zlib gives no message, so the
  // entry says so instead.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("k", 0, {0x78, 0xBB, 0, 0, 0, 1, 3, 0}), Idat()}),
            StatusOk);
  EXPECT_STREQ(info().texts[0].text, "Error decoding zTXt chunk");
  EXPECT_STREQ(info().texts[0].key, "k");
}

TEST_F(HeadChunks, CompressedTextCutShortKeepsWhatWasDecoded) {
  // Longer than one 8192-byte window, in a stored block, so the cut position is exact: the
  // checksum and the last 16 text bytes go, and the rest arrives, window leftovers included.
  const std::string text = std::string(20000, 'q') + "0123456789abcdefghijklmnopqrstuvwxyz";
  Bytes stream = ZlibCompress(Text(text), 0);
  stream.resize(stream.size() - 20);
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("k", 0, stream), Idat()}), StatusOk);
  ASSERT_EQ(info().textCount, 1);
  EXPECT_EQ(std::string(info().texts[0].text), text.substr(0, text.size() - 16));
}

TEST_F(HeadChunks, CompressedTextBeyondEightMebibytesIsDroppedNotAllocated) {
  const Bytes bomb = Deflate(Bytes((8u << 20) + 1, 'z'));
  ASSERT_LT(bomb.size(), 20000u);
  ScopedReaderAllocator allocator;
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("k", 0, bomb), TextChunk("Title", "after"), Idat()}),
            StatusOk);
  EXPECT_LE(allocator.largest(), (8u << 20) + 64);
  ASSERT_EQ(info().textCount, 1);
  EXPECT_STREQ(info().texts[0].key, "Title");
  EXPECT_STREQ(title_, "after");
  // Exactly 8 MiB is still kept.
  ASSERT_EQ(Run({Ihdr(2, 2, 8, 0), Ztxt("k", 0, Deflate(Bytes(8u << 20, 'z'))), Idat()}), StatusOk);
  ASSERT_EQ(info().textCount, 1);
  EXPECT_EQ(info().texts[0].textLength, 8u << 20);
}

// ---------------------------------------------------------------------------------------------
// Out of memory

TEST_F(HeadChunks, OutOfMemoryInHandlersIsNoMemoryAndKeepsInfoConsistent) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    Bytes chunk;
    uint8_t colorType;
    int allocations;  // allocations the handler makes
  };
  const Case cases[] = {
      {"tEXt", TextChunk("Comment", "text"), 0, 2},
      {"zTXt", Ztxt("k", 0, Deflate(Text("some text"))), 0, 3},
      {"zTXt method 1", Ztxt("k", 1, Text("raw")), 0, 2},
      {"pCAL",
       MakeChunk("pCAL", PcalData("p", 0, 1, 0, 2, "u",
                                  "1\0"
                                  "2"s)),
       0, 6},
      {"tRNS", MakeChunk("tRNS", {1, 2}), 3, 1},
      {"hIST", MakeChunk("hIST", {0, 1, 0, 2}), 3, 1},
  };
  for (const Case& c : cases) {
    for (int failAt = 1; failAt <= c.allocations; ++failAt) {
      file_ = std::make_unique<ReaderOnFile>(
          PngOf({Ihdr(2, 2, 8, c.colorType), Plte(2), c.chunk, Idat()}));
      ScopedReaderAllocator allocator(failAt);
      EXPECT_EQ(reader().ReadHeadChunks(host_.image(), &options_, title_), StatusNoMemory)
          << c.what << " " << failAt;
      EXPECT_EQ(info().textCount, 0) << c.what;
      EXPECT_EQ(info().valid & (ValidpCAL | ValidtRNS | ValidhIST), 0u) << c.what;
    }
    // One more allocation than the handler needs: success, so the count above is exact.
    file_ = std::make_unique<ReaderOnFile>(
        PngOf({Ihdr(2, 2, 8, c.colorType), Plte(2), c.chunk, Idat()}));
    ScopedReaderAllocator allocator(c.allocations + 1);
    EXPECT_EQ(reader().ReadHeadChunks(host_.image(), &options_, title_), StatusOk) << c.what;
  }
}

// ---------------------------------------------------------------------------------------------
// Damaged files

TEST_F(HeadChunks, EveryTruncationFailsCleanlyUntilTheImageData) {
  using namespace std::string_literals;
  const Bytes file =
      PngOf({Ihdr(3, 2, 8, 3), Gama(45455), Chrm(kGoodChrm), Plte(3), MakeChunk("tRNS", {0, 9}),
             MakeChunk("bKGD", {1}), MakeChunk("hIST", Bytes(6, 1)), Phys(72, 72),
             MakeChunk("pCAL", PcalData("p", 0, 1, 0, 2, "u",
                                        "1\0"
                                        "2"s)),
             TextChunk("Title", "cut"), Ztxt("k", 0, Deflate(Text("zzz"))), Idat()});
  const size_t dataStart = file.size() - 4 - kImageData.size();
  for (size_t cut = 8; cut < file.size(); ++cut) {
    const Status status = Run(Bytes(file.begin(), file.begin() + cut));
    if (cut < dataStart) {
      ASSERT_EQ(status, StatusError) << cut;
    } else {
      ASSERT_EQ(status, StatusOk) << cut;
    }
  }
}

TEST_F(HeadChunks, BitFlipsGiveKnownStatuses) {
  const Bytes file =
      PngOf({Ihdr(3, 2, 4, 0), Gama(45455), MakeChunk("tRNS", {0, 9}), MakeChunk("bKGD", {0, 1}),
             TextChunk("Title", "flip"), Ztxt("k", 0, Deflate(Text("zzz"))), Idat()});
  for (size_t byte = 8; byte < file.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes flipped = file;
      flipped[byte] ^= static_cast<uint8_t>(1 << bit);
      const int allocationsBefore = host_.allocateCalls();
      const Status status = Run(flipped);
      ASSERT_TRUE(status == StatusOk || status == StatusError || status == StatusBadFormat ||
                  status == StatusNoMemory)
          << byte << ":" << bit << " gave " << status;
      ASSERT_LE(host_.allocateCalls() - allocationsBefore, 1) << byte << ":" << bit;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// After the image data

class TailChunks : public HeadChunks {
 protected:
  // Reads the head, then stands in for the row reader: consumes the IDAT data and marks the
  // image data finished.
  Status RunTail(std::initializer_list<Bytes> tail, const Bytes& head = {}) {
    Bytes file = PngOf({Ihdr(2, 2, 8, 2)});
    Append(&file, head);
    Append(&file, Idat());
    for (const Bytes& chunk : tail) Append(&file, chunk);
    EXPECT_EQ(Run(file), StatusOk);
    Bytes data(state().idatRemaining);
    EXPECT_EQ(reader().ReadChunkData(data.data(), state().idatRemaining), StatusOk);
    state().idatRemaining = 0;
    state().mode |= ModeAfterIDAT;
    return reader().ReadTailChunks(host_.image(), title_);
  }
};

TEST_F(TailChunks, TextsAfterTheImageAndTheEnd) {
  ASSERT_EQ(RunTail({TextChunk("Title", "late"), MakeChunk("tIME", Bytes(7, 1)),
                     MakeChunk("prVt", {1}), Iend(), Text("junk after the end")}),
            StatusOk);
  EXPECT_STREQ(title_, "late");
  EXPECT_EQ(info().valid & ValidtIME, static_cast<uint32_t>(ValidtIME));
  EXPECT_TRUE((state().mode & ModeSawIEND) != 0);
  EXPECT_EQ(file_->Rest(), Text("junk after the end"));
}

TEST_F(TailChunks, DamagedImageDataCrcIsNotActedOn) {
  Bytes file = PngOf({Ihdr(2, 2, 8, 2), MakeChunkBadCrc("IDAT", kImageData), Iend()});
  ASSERT_EQ(Run(file), StatusOk);
  Bytes data(state().idatRemaining);
  ASSERT_EQ(reader().ReadChunkData(data.data(), state().idatRemaining), StatusOk);
  state().mode |= ModeAfterIDAT;
  EXPECT_EQ(reader().ReadTailChunks(host_.image(), title_), StatusOk);
}

TEST_F(TailChunks, ChunksThatBelongBeforeTheImageFail) {
  EXPECT_EQ(RunTail({Idat(), Iend()}), StatusError);
  EXPECT_EQ(RunTail({MakeChunk("IDAT", {}), Iend()}), StatusError);
  EXPECT_EQ(RunTail({Gama(45455), Iend()}), StatusError);
  EXPECT_EQ(RunTail({MakeChunk("tRNS", Bytes(6, 0)), Iend()}), StatusBadFormat);
  EXPECT_EQ(RunTail({MakeChunk("bKGD", Bytes(6, 0)), Iend()}), StatusBadFormat);
  EXPECT_EQ(RunTail({Plte(2), Iend()}), StatusBadFormat);
  EXPECT_EQ(RunTail({Ihdr(2, 2, 8, 0), Iend()}), StatusBadFormat);
  const uint32_t before = host_.image()->resolutionX;
  EXPECT_EQ(RunTail({Phys(1, 2), Iend()}), StatusError);
  EXPECT_EQ(host_.image()->resolutionX, before);
  EXPECT_EQ(RunTail({MakeChunk("IEND", {0}), Iend()}), StatusError);
  EXPECT_EQ(RunTail({MakeChunkBadCrc("IEND", {})}), StatusError);
  EXPECT_EQ(RunTail({}), StatusError);  // no IEND at all
}

TEST_F(TailChunks, CompressedTextAfterAnEndedImageStreamDecodes) {
  Bytes file = PngOf({Ihdr(2, 2, 8, 2), Idat(), Ztxt("k", 0, Deflate(Text("after"))), Iend()});
  ASSERT_EQ(Run(file), StatusOk);
  Bytes data(state().idatRemaining);
  ASSERT_EQ(reader().ReadChunkData(data.data(), state().idatRemaining), StatusOk);
  state().mode |= ModeAfterIDAT;
  // Leave the shared stream as the image data would: at its end.
  const Bytes image = Deflate(Bytes(10, 0));
  Bytes out(64);
  z_stream& z = state().zstream;
  z.next_in = const_cast<uint8_t*>(image.data());
  z.avail_in = static_cast<uInt>(image.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  ASSERT_EQ(inflate(&z, Z_PARTIAL_FLUSH), Z_STREAM_END);
  ASSERT_EQ(reader().ReadTailChunks(host_.image(), title_), StatusOk);
  ASSERT_EQ(info().textCount, 1);
  EXPECT_STREQ(info().texts[0].text, "after");
}

}  // namespace
}  // namespace pngtrans::test
