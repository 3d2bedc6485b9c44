// The row reader: unfiltering (golden rows per filter and pixel size), the row-buffer limits,
// and the stream handling across IDAT chunks (splits, drains, broken and over-long streams).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include <zlib.h>

#include "import/png_reader.h"
#include "support/row_harness.h"

namespace pngtrans::test {
namespace {

Status Unfilter(uint8_t pixelDepth, Bytes* current, const Bytes& previous, int filter) {
  RowInfo row{};
  row.rowBytes = static_cast<uint32_t>(current->size());
  row.pixelDepth = pixelDepth;
  row.width = row.rowBytes * 8 / pixelDepth;
  return PngReader::UnfilterRow(row, current->data(), previous.data(), filter);
}

Bytes Unfiltered(uint8_t pixelDepth, Bytes current, const Bytes& previous, int filter) {
  EXPECT_EQ(Unfilter(pixelDepth, &current, previous, filter), StatusOk);
  return current;
}

// Golden rows, worked out by hand once. One byte per pixel:
TEST(UnfilterRow, GoldenRowsOneBytePerPixel) {
  const Bytes above = {10, 20, 200, 250};
  const Bytes row = {1, 2, 3, 4};
  EXPECT_EQ(Unfiltered(8, row, above, 0), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Unfiltered(8, row, above, 1), (Bytes{1, 3, 6, 10}));
  EXPECT_EQ(Unfiltered(8, row, above, 2), (Bytes{11, 22, 203, 254}));
  // Average takes (250 + 110) / 2 = 180 in full width; an 8-bit sum would give 52.
  EXPECT_EQ(Unfiltered(8, row, above, 3), (Bytes{6, 15, 110, 184}));
  // Paeth picks b, a, then c (a = 150, b = 55, c = 100: p = 105, pc = 5 is smallest).
  EXPECT_EQ(Unfiltered(8, Bytes{5, 6, 39, 8}, Bytes{100, 100, 100, 55}, 4),
            (Bytes{105, 111, 150, 108}));
}

TEST(UnfilterRow, SumsWrapModulo256) {
  EXPECT_EQ(Unfiltered(8, Bytes{200, 100}, Bytes{0, 0}, 1), (Bytes{200, 44}));
  EXPECT_EQ(Unfiltered(8, Bytes{250, 7}, Bytes{10, 255}, 2), (Bytes{4, 6}));
}

// Three bytes per pixel: the first pixel has no left neighbour, so Average adds only half the
// byte above and Paeth takes the byte above.
TEST(UnfilterRow, GoldenRowsThreeBytesPerPixel) {
  const Bytes above = {10, 20, 30, 40, 50, 60};
  const Bytes row = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Unfiltered(24, row, above, 1), (Bytes{1, 2, 3, 5, 7, 9}));
  EXPECT_EQ(Unfiltered(24, row, above, 2), (Bytes{11, 22, 33, 44, 55, 66}));
  EXPECT_EQ(Unfiltered(24, row, above, 3), (Bytes{6, 12, 18, 27, 36, 45}));
  EXPECT_EQ(Unfiltered(24, Bytes{5, 6, 7, 20, 30, 40}, Bytes{100, 0, 9, 100, 0, 9}, 4),
            (Bytes{105, 6, 16, 125, 36, 56}));
}

TEST(UnfilterRow, PaethBreaksTiesTowardsAThenB) {
  // a = 80, b = 110, c = 100: pa = pc = 10 < pb = 20, so a (80), not c (100).
  EXPECT_EQ(Unfiltered(8, Bytes{236, 1}, Bytes{100, 110}, 4), (Bytes{80, 81}));
  // a = 110, b = 80, c = 100: pb = pc = 10 < pa = 20, so b (80), not c (100).
  EXPECT_EQ(Unfiltered(8, Bytes{10, 1}, Bytes{100, 80}, 4), (Bytes{110, 81}));
}

TEST(UnfilterRow, FilterTypesAboveFourFail) {
  for (int type : {5, 6, 128, 255}) {
    Bytes row = {1, 2, 3};
    EXPECT_EQ(Unfilter(8, &row, Bytes{0, 0, 0}, type), StatusError) << type;
  }
}

// Independent filter for the round trip below.
Bytes FilterReference(const Bytes& raw, const Bytes& above, uint32_t bpp, int type) {
  Bytes out(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const int a = i >= bpp ? raw[i - bpp] : 0;
    const int b = above[i];
    const int c = i >= bpp ? above[i - bpp] : 0;
    int predictor = 0;
    if (type == 1) predictor = a;
    if (type == 2) predictor = b;
    if (type == 3) predictor = (a + b) / 2;
    if (type == 4) {
      const int p = a + b - c;
      const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      predictor = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
    }
    out[i] = static_cast<uint8_t>(raw[i] - predictor);
  }
  return out;
}

TEST(UnfilterRow, UndoesEveryFilterForEveryPixelSize) {
  std::mt19937 rng(7);
  for (uint8_t depth : {1, 2, 4, 8, 16, 24, 32, 48, 64}) {
    const uint32_t bpp = (depth + 7u) / 8u;
    for (uint32_t n : {1u, 2u, 7u, 8u, 9u, 33u, 481u}) {
      Bytes raw(n), above(n);
      for (auto& b : raw) b = static_cast<uint8_t>(rng());
      for (auto& b : above) b = static_cast<uint8_t>(rng());
      for (int type = 0; type <= 4; ++type) {
        EXPECT_EQ(Unfiltered(depth, FilterReference(raw, above, bpp, type), above, type), raw)
            << "depth " << int(depth) << " bytes " << n << " filter " << type;
      }
    }
  }
}

// Every Paeth triple (left a, above b, upper left c): for each pair b, c the row above repeats
// the pixels c, b and the row's even pixels take every value, so its odd pixels see each a
// against (b, c), and its even ones against (c, b). One byte per pixel takes the scalar
// kernel, two and three the shared set-ups of four and two pixels.
TEST(UnfilterRow, PaethForEveryTriple) {
  for (uint32_t bpp : {1u, 2u, 3u}) {
    Bytes raw(513 * bpp), above(513 * bpp);
    for (uint32_t pixel = 0; pixel < 513; ++pixel)
      for (uint32_t k = 0; k < bpp; ++k) raw[pixel * bpp + k] = static_cast<uint8_t>(pixel / 2);
    for (uint32_t pair = 0; pair < 65536; ++pair) {
      for (uint32_t i = 0; i < above.size(); ++i)
        above[i] = static_cast<uint8_t>((i / bpp) % 2 ? pair : pair >> 8);
      const Bytes filtered = FilterReference(raw, above, bpp, 4);
      ASSERT_EQ(Unfiltered(static_cast<uint8_t>(8 * bpp), filtered, above, 4), raw)
          << "bpp " << bpp << " b " << (pair & 255) << " c " << (pair >> 8);
    }
  }
}

// A reader with a header set by hand, for the row-buffer limits.
struct HeaderOnly {
  HeaderOnly(uint32_t width, uint8_t bitDepth, uint8_t colorType, uint8_t interlaced = 0) {
    EXPECT_EQ(reader.InitReader(), StatusOk);
    ReaderState& s = reader.state();
    s.width = width;
    s.height = 3;
    s.bitDepth = bitDepth;
    s.colorType = colorType;
    s.interlaced = interlaced;
    s.channels = static_cast<uint8_t>(ChannelsOf(colorType));
    s.pixelDepth = static_cast<uint8_t>(s.channels * bitDepth);
    s.rowBytes = RowBytesFor(width, s.pixelDepth);
  }
  PngReader reader;
};

// The widest rows of the 64 KiB row buffer of 1.1.0 and before, and a pixel more, which it
// refused: every row the 32-bit sizes allow is read now.
TEST(StartRows, AcceptsRowsWiderThanSixtyFourKilobytes) {
  struct Limit {
    uint32_t width;
    uint8_t depth, type;
  };
  for (const Limit& l : {Limit{524272, 1, 0}, Limit{262136, 2, 0}, Limit{131064, 4, 3},
                         Limit{65528, 8, 0}, Limit{32760, 8, 4}, Limit{21840, 8, 2},
                         Limit{16376, 8, 6}, Limit{10920, 16, 2}, Limit{8184, 16, 6}}) {
    for (uint8_t interlaced : {0, 1}) {
      HeaderOnly ok(l.width, l.depth, l.type, interlaced);
      EXPECT_EQ(ok.reader.StartRows(), StatusOk) << l.width;
      EXPECT_NE(ok.reader.state().flags & FlagRowInit, 0u);
      HeaderOnly over(l.width + 1, l.depth, l.type, interlaced);
      EXPECT_EQ(over.reader.StartRows(), StatusOk) << l.width + 1;
      EXPECT_GE(over.reader.state().windowSize, 2 * over.reader.state().passRowBytes);
    }
  }
}

TEST(StartRows, HugeWidthsDoNotWrapPastTheLimit) {
  // 0x20000000 pixels of 64 bits: the row size wraps to 0 in 32 bits.
  HeaderOnly wide(0x20000000, 16, 6);
  EXPECT_EQ(wide.reader.StartRows(), StatusError);
  HeaderOnly widest(0x7FFFFFFF, 16, 6, 1);
  EXPECT_EQ(widest.reader.StartRows(), StatusError);
}

TEST(StartRows, SetsTheGeometryOfTheFirstPassAndAZeroPreviousRow) {
  HeaderOnly plain(10, 8, 2);
  ASSERT_EQ(plain.reader.StartRows(), StatusOk);
  EXPECT_EQ(plain.reader.state().numRows, 3u);
  EXPECT_EQ(plain.reader.state().passWidth, 10u);
  EXPECT_EQ(plain.reader.state().passRowBytes, 31u);
  for (uint32_t i = 0; i <= 30; ++i) ASSERT_EQ(plain.reader.state().previousRow[i], 0);

  HeaderOnly interlaced(10, 4, 0, 1);
  ASSERT_EQ(interlaced.reader.StartRows(), StatusOk);
  EXPECT_EQ(interlaced.reader.state().passWidth, 2u);     // columns 0 and 8
  EXPECT_EQ(interlaced.reader.state().passRowBytes, 2u);  // one byte of pixels + filter byte
  EXPECT_EQ(interlaced.reader.state().numRows, 1u);       // (3 + 7) / 8 without handling
  // Running again (as ReadRow does after UpdateInfo) replaces the buffers without a leak.
  ASSERT_EQ(interlaced.reader.StartRows(), StatusOk);
}

TEST(StartRows, ReportsRowBuffersThatCannotBeAllocated) {
  {
    HeaderOnly header(100, 8, 2);
    ScopedReaderAllocator allocator(1);
    EXPECT_EQ(header.reader.StartRows(), StatusNoMemory);
    EXPECT_EQ(header.reader.state().flags & FlagRowInit, 0u);
  }
}

TEST(UpdateInfo, DescribesTheOutputRowsInTheImageInformation) {
  HeaderOnly header(3, 16, 6);
  header.reader.UpdateInfo();
  EXPECT_EQ(header.reader.info().channels, 4);
  EXPECT_EQ(header.reader.info().pixelDepth, 64);
  EXPECT_EQ(header.reader.info().rowBytes, 24u);
  EXPECT_NE(header.reader.state().flags & FlagRowInit, 0u);
  HeaderOnly palette(10, 4, 3);
  palette.reader.UpdateInfo();
  EXPECT_EQ(palette.reader.info().channels, 1);
  EXPECT_EQ(palette.reader.info().rowBytes, 5u);
}

// --- rows from files: the stream across IDAT chunks ---------------------------------------

// Decodes every row of a non-interlaced file with ReadRow; returns the first failure.
Status ReadAllRows(const Bytes& file, uint32_t height, uint32_t rowBytes,
                   std::vector<Bytes>* rows) {
  ReaderOnFile on(file);
  if (on.signatureStatus() != StatusOk) return on.signatureStatus();
  const Status positioned = SkipToImageData(on.reader());
  if (positioned != StatusOk) return positioned;
  on->UpdateInfo();
  Bytes row(rowBytes);
  for (uint32_t y = 0; y < height; ++y) {
    const Status status = on->ReadRow(row.data());
    if (status != StatusOk) return status;
    if (rows != nullptr) rows->push_back(row);
  }
  EXPECT_NE(on->state().mode & ModeAfterIDAT, 0u);
  return StatusOk;
}

class RowStream : public ::testing::Test {
 protected:
  RawImage image_ = RandomImage(13, 6, 8, 2, 99);
  Bytes Stream(int filter = -1) {
    EncodeOptions o;
    o.filter = filter;
    return ZlibCompress(FilteredStream(image_, o));
  }
  Bytes File(const Bytes& stream, EncodeOptions o = EncodeOptions()) {
    return EncodePngFromStream(image_, stream, o);
  }
  Status Read(const Bytes& file, std::vector<Bytes>* rows = nullptr) {
    return ReadAllRows(file, image_.height, image_.RowBytes(), rows);
  }
};

// The view of a row is the row ReadRow would copy out, for every filter, and stays put until
// the next row is read; with interlace handling on there is no row to view.
TEST_F(RowStream, ViewsShowTheRowsReadRowWouldCopy) {
  for (int filter = -1; filter <= 4; ++filter) {
    ReaderOnFile on(File(Stream(filter)));
    ASSERT_EQ(on.signatureStatus(), StatusOk);
    ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
    on->UpdateInfo();
    for (uint32_t y = 0; y < image_.height; ++y) {
      const uint8_t* view = nullptr;
      ASSERT_EQ(on->ReadRowView(&view), StatusOk);
      ASSERT_NE(view, nullptr);
      EXPECT_TRUE(std::equal(image_.rows[y].begin(), image_.rows[y].end(), view))
          << "filter " << filter << " row " << y;
    }
    EXPECT_NE(on->state().mode & ModeAfterIDAT, 0u);
  }
  EncodeOptions interlaced;
  interlaced.interlace = true;
  ReaderOnFile on(EncodePng(image_, interlaced));
  ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
  ASSERT_EQ(on->InterlacePassCount(), 7);
  on->UpdateInfo();
  const uint8_t* view = nullptr;
  EXPECT_EQ(on->ReadRowView(&view), StatusError);
  EXPECT_EQ(view, nullptr);
}

// The zlib wrapper around the image data (header, Adler-32 trailer) is checked by the reader
// itself; zlib's own inflate of the same stream is the judge of what must succeed. Each case
// changes the stream and, where the header's check bits would give it away, mends them.
TEST_F(RowStream, ZlibWrapperIsJudgedAsZlibJudgesIt) {
  struct Case {
    const char* what;
    uint8_t cmf;  // 0: keep
    uint8_t flgBits;
    bool flipTrailer;
  };
  const Case cases[] = {
      {"as compressed", 0, 0, false},
      {"trailer off by a bit", 0, 0, true},
      {"declared window of 256 bytes", 0x08, 0, false},
      {"declared window of 16 KiB", 0x68, 0, false},
      {"window above 32 KiB", 0x88, 0, false},
      {"method 7", 0x77, 0, false},
      {"preset dictionary", 0, 0x20, false},
      {"compression level bits", 0, 0xC0, false},
  };
  const Bytes filtered = FilteredStream(image_, EncodeOptions());
  for (const Case& c : cases) {
    Bytes stream = Stream();
    if (c.cmf != 0) stream[0] = c.cmf;
    if (c.cmf != 0 || c.flgBits != 0) {
      // Level and dictionary bits as asked, then the check bits that make the pair a
      // multiple of 31.
      const uint32_t high = (stream[1] & 0xE0u) | c.flgBits;
      stream[1] = static_cast<uint8_t>(high | (31 - (stream[0] * 256u + high) % 31) % 31);
    }
    if (c.flipTrailer) stream.back() ^= 0x01;
    Bytes judged(filtered.size() + 1);
    uLongf judgedSize = static_cast<uLongf>(judged.size());
    const bool zlibAccepts = uncompress(judged.data(), &judgedSize, stream.data(),
                                        static_cast<uLong>(stream.size())) == Z_OK &&
                             judgedSize == filtered.size();
    for (const std::vector<uint32_t>& sizes :
         {std::vector<uint32_t>{}, std::vector<uint32_t>{1}, std::vector<uint32_t>{3, 5}}) {
      EncodeOptions o;
      o.idatSizes = sizes;
      std::vector<Bytes> rows;
      const Status status = Read(File(stream, o), &rows);
      EXPECT_EQ(status, zlibAccepts ? StatusOk : StatusError) << c.what;
      if (zlibAccepts) {
        EXPECT_EQ(rows, image_.rows) << c.what;
      }
    }
  }
}

// The image data is inflated without zlib's wrapper handling; afterwards the shared stream
// must decode zlib streams again, for compressed text after the image.
TEST_F(RowStream, CompressedTextAfterTheImageIsDecoded) {
  Bytes text = {'k', 0, 0};
  const std::string words = "after the image";
  Append(&text, ZlibCompress(Bytes(words.begin(), words.end())));
  EncodeOptions o;
  o.chunksAfterIdat.push_back(MakeChunk("zTXt", text));
  ReaderOnFile on(File(Stream(), o));
  ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
  on->UpdateInfo();
  Bytes row(image_.RowBytes());
  for (uint32_t y = 0; y < image_.height; ++y) ASSERT_EQ(on->ReadRow(row.data()), StatusOk);
  HostImage host{};
  char title[64] = {};
  ASSERT_EQ(on->ReadTailChunks(&host, title), StatusOk);
  ASSERT_EQ(on->info().textCount, 1);
  EXPECT_STREQ(on->info().texts[0].text, "after the image");
}

TEST_F(RowStream, OneManyAndOneByteIdatChunksGiveTheSameRows) {
  for (const std::vector<uint32_t>& sizes :
       {std::vector<uint32_t>{}, std::vector<uint32_t>{7, 100, 3}, std::vector<uint32_t>{1}}) {
    for (bool zeroLength : {false, true}) {
      EncodeOptions o;
      o.idatSizes = sizes;
      o.zeroLengthIdats = zeroLength;
      std::vector<Bytes> rows;
      ASSERT_EQ(Read(EncodePng(image_, o), &rows), StatusOk);
      EXPECT_EQ(rows, image_.rows);
    }
  }
}

TEST_F(RowStream, EveryFilterTypeForcedOnEveryRow) {
  for (int filter = 0; filter <= 4; ++filter) {
    std::vector<Bytes> rows;
    ASSERT_EQ(Read(File(Stream(filter)), &rows), StatusOk) << filter;
    EXPECT_EQ(rows, image_.rows) << filter;
  }
}

TEST_F(RowStream, WrongIdatCrcIsNotActedOn) {
  const Bytes stream = Stream();
  Bytes file = PngSignature();
  Append(&file, MakeChunk("IHDR", IhdrData(13, 6, 8, 2)));
  Append(&file, MakeChunkBadCrc("IDAT", Bytes(stream.begin(), stream.begin() + 10)));
  Append(&file, MakeChunkBadCrc("IDAT", Bytes(stream.begin() + 10, stream.end())));
  Append(&file, MakeChunk("IEND", {}));
  std::vector<Bytes> rows;
  ASSERT_EQ(Read(file, &rows), StatusOk);
  EXPECT_EQ(rows, image_.rows);
}

TEST_F(RowStream, TrailerAloneInTheLastIdatIsDrainedAfterTheLastRow) {
  const Bytes stream = Stream();
  EncodeOptions o;
  o.idatSizes = {static_cast<uint32_t>(stream.size() - 4), 4};
  ASSERT_EQ(Read(File(stream, o)), StatusOk);
  // Also cut inside the trailer, and right after the zlib header.
  o.idatSizes = {static_cast<uint32_t>(stream.size() - 2), 2};
  ASSERT_EQ(Read(File(stream, o)), StatusOk);
  o.idatSizes = {2};
  ASSERT_EQ(Read(File(stream, o)), StatusOk);
}

TEST_F(RowStream, StreamEndReportedWithTheLastRowSucceeds) {
  // Z_FINISH output ends exactly with the last row: the end is reported inside ReadRow when
  // inflate sees the whole stream at once.
  ReaderOnFile on(File(Stream()));
  ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
  on->UpdateInfo();
  Bytes row(image_.RowBytes());
  for (uint32_t y = 0; y < image_.height; ++y) ASSERT_EQ(on->ReadRow(row.data()), StatusOk);
  EXPECT_NE(on->state().flags & FlagZlibFinished, 0u);
  EXPECT_EQ(on->state().idatRemaining, 0u);
}

TEST_F(RowStream, StreamEndingOneRowEarlyFails) {
  RawImage shorter = image_;
  shorter.rows.pop_back();
  shorter.height -= 1;
  EXPECT_EQ(Read(File(ZlibCompress(FilteredStream(shorter, EncodeOptions())))), StatusError);
}

TEST_F(RowStream, MoreDataThanTheImageFails) {
  RawImage longer = image_;
  longer.rows.push_back(image_.rows[0]);
  longer.height += 1;
  EXPECT_EQ(Read(File(ZlibCompress(FilteredStream(longer, EncodeOptions())))), StatusError);
  // One decompressed byte too many is enough.
  Bytes filtered = FilteredStream(image_, EncodeOptions());
  filtered.push_back(0);
  EXPECT_EQ(Read(File(ZlibCompress(filtered))), StatusError);
}

TEST_F(RowStream, GarbageAfterTheStreamInTheLastIdatFails) {
  Bytes stream = Stream();
  stream.push_back(0x00);
  EXPECT_EQ(Read(File(stream)), StatusError);
  // Also when the end is only seen while draining (garbage in a chunk of its own after a cut).
  EncodeOptions o;
  o.idatSizes = {static_cast<uint32_t>(stream.size() - 5), 5};
  EXPECT_EQ(Read(File(stream, o)), StatusError);
}

TEST_F(RowStream, ChunkOfAnotherTypeBetweenIdatsFails) {
  const Bytes stream = Stream();
  Bytes file = PngSignature();
  Append(&file, MakeChunk("IHDR", IhdrData(13, 6, 8, 2)));
  Append(&file, MakeChunk("IDAT", Bytes(stream.begin(), stream.begin() + 20)));
  Append(&file, MakeChunk("tEXt", Bytes{'a', 0, 'b'}));
  Append(&file, MakeChunk("IDAT", Bytes(stream.begin() + 20, stream.end())));
  Append(&file, MakeChunk("IEND", {}));
  EXPECT_EQ(Read(file), StatusError);
}

TEST_F(RowStream, FilterTypeFiveFails) {
  Bytes filtered = FilteredStream(image_, EncodeOptions());
  filtered[3 * (image_.RowBytes() + 1)] = 5;  // the fourth row's filter byte
  std::vector<Bytes> rows;
  EXPECT_EQ(Read(File(ZlibCompress(filtered)), &rows), StatusError);
  EXPECT_EQ(rows.size(), 3u);
}

TEST_F(RowStream, CorruptDeflateDataFails) {
  Bytes stream = Stream();
  stream[0] ^= 0x0F;  // the zlib header check fails
  EXPECT_EQ(Read(File(stream)), StatusError);
}

TEST_F(RowStream, FileEndingInsideTheImageDataFails) {
  const Bytes file = File(Stream());
  // Up to the last data byte: the last IDAT's CRC is read by the tail, not by the rows.
  for (size_t cut = 60; cut < file.size() - 16; cut += 7) {
    EXPECT_EQ(Read(Bytes(file.begin(), file.begin() + static_cast<long>(cut))), StatusError) << cut;
  }
}

TEST(ReadRow, WithoutImageDataFailsAsBadFormat) {
  HeaderOnly header(4, 8, 0);
  header.reader.UpdateInfo();
  uint8_t row[4];
  EXPECT_EQ(header.reader.ReadRow(row), StatusBadFormat);
}

}  // namespace
}  // namespace pngtrans::test
