// Saving a large image on several threads: the image data is deflated in 1 MiB segments of the
// filtered stream (the previous segment's last 32 KiB as dictionary, a sync flush between them,
// the Adler-32 combined), so the file is the same on any number of threads; an image whose
// data fits one segment is one stream, as before.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/export_host.h"
#include "support/files.h"
#include "support/module_fixture.h"
#include "support/png_parts.h"

namespace pngtrans::test {
namespace {

constexpr size_t kSegment = 1u << 20;

void SetThreads(const char* value) {
#if defined(_WIN32)
  _putenv_s("PNGTRANS_THREADS", value);
#else
  setenv("PNGTRANS_THREADS", value, 1);
#endif
}

// The stream the export must write for filtered data, deflated as the segments say (one stream
// when it fits one segment), by the test's own zlib.
Bytes ExpectedStream(const Bytes& filtered, int strategy) {
  Bytes out;
  uLong adler = 1;
  const size_t segments = filtered.empty() ? 1 : (filtered.size() + kSegment - 1) / kSegment;
  for (size_t i = 0; i < segments; ++i) {
    const size_t start = i * kSegment;
    const size_t n = std::min(kSegment, filtered.size() - start);
    const bool last = i + 1 == segments;
    z_stream z = {};
    EXPECT_EQ(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, i == 0 ? 15 : -15, 8, strategy),
              Z_OK);
    if (i > 0) deflateSetDictionary(&z, &filtered[start - 32768], 32768);
    Bytes piece(deflateBound(&z, n) + 64);
    z.next_in = const_cast<Bytef*>(&filtered[start]);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = piece.data();
    z.avail_out = static_cast<uInt>(piece.size());
    EXPECT_EQ(deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
    piece.resize(piece.size() - z.avail_out);
    deflateEnd(&z);
    out.insert(out.end(), piece.begin(), piece.end());
    adler = adler32_combine(adler, adler32(1, &filtered[start], static_cast<uInt>(n)),
                            static_cast<z_off_t>(n));
  }
  if (segments > 1) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(adler >> shift));
  }
  return out;
}

class ParallelExport : public ModuleTest {
 protected:
  void TearDown() override {
    SetThreads("");
    ModuleTest::TearDown();
  }
  Bytes Save(HostImage* image, uint32_t word) {
    const std::string path = TempPath("parallel.png");
    CommandHeader header = {0, 13, 0x7777};
    EXPECT_EQ(module_.Procedure()(&header, Arg(path.c_str()), Arg("Parallel"), Arg(image),
                                  XtndArg{word}, XtndArg{0}),
              1);
    Bytes file;
    EXPECT_TRUE(ReadFileBytes(path, &file));
    RemoveFile(path);
    return file;
  }
};

// Images from just under one segment of data to several, plain and interlaced, colour (filtered
// rows) and palette: one thread, two and eight write the same bytes, which are the segments'
// stream (or the one stream) of the file's own filtered data, in IDAT chunks of 8192 bytes.
TEST_F(ParallelExport, OneThreadAndEightWriteTheSameSegmentedStream) {
  const struct {
    uint32_t width, height;
    int32_t kind;
    uint32_t word;
  } cases[] = {
      {600, 582, ColorKindFullColor, 0x00082000},  // 1,048,182 bytes: one stream
      {600, 583, ColorKindFullColor, 0x00082000},  // 1,049,983: two segments
      {1500, 1000, ColorKindFullColor, 0x00086101},
      {3000, 800, ColorKindIndexed, 0x00083000},
  };
  for (const auto& c : cases) {
    const std::string label = std::to_string(c.width) + " x " + std::to_string(c.height);
    HostSpec shape;
    shape.kind = c.kind;
    shape.width = c.width;
    shape.height = c.height;
    shape.colours = 3000;
    shape.maskKind = (c.word & 0x100) != 0 ? MaskEightBit : MaskNone;
    GuardedHostImage image(shape);
    SetThreads("1");
    const Bytes one = Save(image.get(), c.word);
    for (const char* threads : {"2", "8"}) {
      SetThreads(threads);
      EXPECT_TRUE(Save(image.get(), c.word) == one) << label << " on " << threads << " threads";
    }
    SplitPng split;
    std::string error;
    ASSERT_TRUE(TakeApart(one, &split, &error)) << label << ": " << error;
    Bytes idat;
    size_t chunks = 0;
    for (const ChunkRecord& chunk : split.chunks) {
      if (chunk.type != "IDAT") continue;
      idat.insert(idat.end(), chunk.data.begin(), chunk.data.end());
      ++chunks;
    }
    EXPECT_EQ(chunks, (idat.size() + 8191) / 8192) << label;
    const int strategy = c.kind == ColorKindIndexed ? Z_DEFAULT_STRATEGY : Z_FILTERED;
    EXPECT_TRUE(ExpectedStream(split.stream, strategy) == idat) << label;
  }
}

}  // namespace
}  // namespace pngtrans::test
