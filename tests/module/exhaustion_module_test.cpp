// Exhaustion limits of the import, through the loaded module: a file of at most 1 KB never
// makes the module hold more than 16 MiB of its own heap (the host's buffers not counted) nor
// take longer than a second, whatever it declares. One case per class of attack; each prints
// the peak it measured.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/files.h"
#include "support/hostile_png.h"
#include "support/import_host.h"
#include "support/module_fixture.h"
#include "support/module_heap.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

constexpr uint64_t kHeapLimit = 16u * 1024 * 1024;
constexpr size_t kFileLimit = 1024;

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Head(uint32_t width, uint32_t height, uint8_t depth, uint8_t type, uint8_t interlace = 0) {
  Bytes file = PngSignature();
  Append(&file, MakeChunk("IHDR", IhdrData(width, height, depth, type, interlace)));
  return file;
}

// Compressed text that inflates to about a thousand times its size: as many zTXt chunks of
// zeros as fit, after the image or before it.
Bytes TextBomb(bool beforeImage, int chunks) {
  Bytes file = Head(4, 4, 8, 0);
  Bytes tail;
  const size_t budget = (kFileLimit - 140) / static_cast<size_t>(chunks);
  for (int i = 0; i < chunks; ++i) {
    Bytes ztxt = Text("Comment");
    ztxt.push_back(0);
    ztxt.push_back(0);
    // Zeros compress at about 1030:1; the stream is cut to what the budget allows.
    Bytes zeros(budget * 1000, 0);
    Bytes stream = ZlibCompress(zeros, 9);
    while (stream.size() > budget - 21) {
      zeros.resize(zeros.size() * 9 / 10);
      stream = ZlibCompress(zeros, 9);
    }
    Append(&ztxt, stream);
    Append(&tail, MakeChunk("zTXt", ztxt));
  }
  if (beforeImage) Append(&file, tail);
  Append(&file, MakeChunk("IDAT", ZlibCompress(Bytes(4 * 5, 0))));
  if (!beforeImage) Append(&file, tail);
  Append(&file, MakeChunk("IEND", {}));
  return file;
}

// A chunk that declares length bytes and holds a few: the reader must not allocate for it.
Bytes DeclaredLength(const std::string& type, uint32_t length, bool afterImage) {
  Bytes file = Head(4, 4, 8, 2);
  Bytes lie = Be32(length);
  Append(&lie, Text(type));
  Append(&lie, Bytes(200, 'x'));
  if (!afterImage) {
    Append(&file, lie);
    return file;
  }
  Append(&file, MakeChunk("IDAT", ZlibCompress(Bytes(4 * 13, 0))));
  Append(&file, lie);
  return file;
}

// A header with huge dimensions over image data of a few hundred bytes.
Bytes HugeImage(uint32_t width, uint32_t height, uint8_t depth, uint8_t type, uint8_t interlace) {
  Bytes file = Head(width, height, depth, type, interlace);
  if (type == 3) Append(&file, MakeChunk("PLTE", TestPalette(256)));
  Bytes zeros(type == 3 ? 64 * 1024 : 512 * 1024, 0);
  Append(&file, MakeChunk("IDAT", ZlibCompress(zeros, 9)));
  Append(&file, MakeChunk("IEND", {}));
  return file;
}

// As many empty IDAT chunks as fit, with or without a stream ever starting.
Bytes EmptyIdats(bool streamStart) {
  Bytes file = Head(3000, 3000, 8, 0);
  if (streamStart) Append(&file, MakeChunk("IDAT", Bytes{0x78, 0x9C}));
  while (file.size() + 12 <= kFileLimit) Append(&file, MakeChunk("IDAT", {}));
  return file;
}

// Many small chunks the reader keeps: texts, and unknown ancillary chunks.
Bytes ManyChunks(const std::string& type) {
  Bytes file = Head(4, 4, 8, 0);
  for (int i = 0; file.size() + 60 <= kFileLimit; ++i) {
    if (type == "tEXt") {
      Append(&file, TextChunk("k" + std::to_string(i), "v"));
    } else {
      Append(&file, MakeChunk(type, Bytes{1}));
    }
  }
  Append(&file, MakeChunk("IDAT", ZlibCompress(Bytes(4 * 5, 0))));
  Append(&file, MakeChunk("IEND", {}));
  return file;
}

struct Attack {
  const char* name;
  Bytes (*file)();
};

const Attack kAttacks[] = {
    {"one zTXt bomb before the image", [] { return TextBomb(true, 1); }},
    {"zTXt bombs after the image", [] { return TextBomb(false, 6); }},
    {"tEXt declaring 2^31 - 1 bytes", [] { return DeclaredLength("tEXt", 0x7FFFFFFF, false); }},
    {"zTXt declaring 2^31 - 1 bytes", [] { return DeclaredLength("zTXt", 0x7FFFFFFF, true); }},
    {"pCAL declaring 2^31 - 1 bytes", [] { return DeclaredLength("pCAL", 0x7FFFFFFF, false); }},
    {"unknown chunk declaring 2^31 - 1 bytes",
     [] { return DeclaredLength("quUx", 0x7FFFFFFF, false); }},
    {"IDAT declaring 2^31 - 1 bytes", [] { return DeclaredLength("IDAT", 0x7FFFFFFF, false); }},
    {"chunk declaring 2^32 - 1 bytes", [] { return DeclaredLength("tEXt", 0xFFFFFFFF, false); }},
    {"widest grey rows, tall", [] { return HugeImage(65528, 2000, 8, 0, 0); }},
    {"widest colour + alpha rows, interlaced", [] { return HugeImage(16376, 2000, 8, 6, 1); }},
    {"widest 16-bit colour rows, interlaced", [] { return HugeImage(8184, 2000, 16, 6, 1); }},
    {"2^31 - 1 by 2^31 - 1 palette", [] { return HugeImage(0x7FFFFFFF, 0x7FFFFFFF, 8, 3, 0); }},
    {"one column, 2^31 - 1 rows", [] { return HugeImage(1, 0x7FFFFFFF, 1, 0, 1); }},
    {"empty IDAT chunks without a stream", [] { return EmptyIdats(false); }},
    {"empty IDAT chunks after a stream header", [] { return EmptyIdats(true); }},
    {"many small texts", [] { return ManyChunks("tEXt"); }},
    {"many unknown chunks", [] { return ManyChunks("zzZz"); }},
};

class Exhaustion : public ModuleHeapTest {
 protected:
  Exhaustion() : ModuleHeapTest("exhaustion.png") {}
};

TEST_F(Exhaustion, SmallFilesStayWithinTheHeapAndTimeLimits) {
  for (const Attack& attack : kAttacks) {
    const Bytes file = attack.file();
    ASSERT_LE(file.size(), kFileLimit) << attack.name;
    ASSERT_TRUE(WriteFileBytes(path_, file));
    GuardedHost host;
    char title[64];
    uint32_t options = 0;
    CommandHeader header = {0, 3, 0x7777};
    ModuleHeap::Reset();
    const auto start = std::chrono::steady_clock::now();
    const int ret = module_.Procedure()(&header, path_.c_str(), title, host.image(), &options,
                                        XtndArg{0}, XtndArg{0}, XtndArg{0});
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const uint64_t peak = ModuleHeap::peakBytes();
    std::printf("exhaustion: %-45s %4zu bytes: status %u, module peak %8llu bytes, %7.1f ms\n",
                attack.name, file.size(), header.result, static_cast<unsigned long long>(peak), ms);
    EXPECT_EQ(ImportOutcomeFaults(ret, header.result, host.releaseCalls()), "") << attack.name;
    EXPECT_LE(peak, kHeapLimit) << attack.name;
    EXPECT_EQ(ModuleHeap::liveBlocks(), 0u) << attack.name;
    // The host's buffers (up to hundreds of MiB here) are the host's cost, not the module's;
    // the limit covers the module's own work.
    EXPECT_LT(ms, 1000.0) << attack.name;
  }
}

// The other side of the limit on interlaced images: image data compressed as far as deflate
// goes still fills its image.
TEST_F(Exhaustion, InterlacedImagesAtTheBestCompressionStillImport) {
  for (uint8_t type : {0, 6}) {
    RawImage raw;
    raw.width = type == 0 ? 2000 : 700;
    raw.height = 1500;
    raw.bitDepth = 8;
    raw.colorType = type;
    raw.rows.assign(raw.height, Bytes(raw.RowBytes(), 0));
    EncodeOptions o;
    o.interlace = true;
    o.filter = 0;
    o.level = 9;
    ASSERT_TRUE(WriteFileBytes(path_, EncodePng(raw, o)));
    GuardedHost host;
    uint32_t options = 0;
    CommandHeader header = {0, 3, 0x7777};
    EXPECT_EQ(module_.Procedure()(&header, path_.c_str(), nullptr, host.image(), &options,
                                  XtndArg{0}, XtndArg{0}, XtndArg{0}),
              1)
        << "type " << int{type};
    EXPECT_EQ(header.result, 0);
  }
}

}  // namespace
}  // namespace pngtrans::test
