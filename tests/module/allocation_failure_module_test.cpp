// Allocation failures inside the loaded module, for import and export: the module's own C
// heap calls (its blocks, buffers, texts, the quantizer, the writer's rows and zlib's blocks
// through zlibAllocate) are counted, and run after run the n-th of them fails, for every n up
// to the count of an undisturbed run. Each run either fails cleanly (import: StatusNoMemory
// before the signature, StatusError after it, with one release; export: return 0 and the
// result left alone) or, where the failed block was not needed for the outcome (a text after
// the image, say), delivers exactly what the undisturbed run delivered. Nothing the module
// took is left behind, and nothing crashes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/export_host.h"
#include "support/files.h"
#include "support/hostile_png.h"
#include "support/import_host.h"
#include "support/module_fixture.h"
#include "support/module_heap.h"
#include "support/png_readback.h"

namespace pngtrans::test {
namespace {

// The statuses a host sees, as numbers (the module tests know only the host boundary).
constexpr uint16_t kStatusError = 1;
constexpr uint16_t kStatusNoMemory = 4;

class AllocationFailure : public ModuleHeapTest {
 protected:
  AllocationFailure() : ModuleHeapTest("allocation.png") {}

  struct Imported {
    int ret = 0;
    uint16_t result = 0;
    int releases = 0;
    Bytes pixels, mask;
    std::string title;
  };
  Imported Import(uint64_t failAt) {
    ModuleHeap::Reset();
    ModuleHeap::FailAllocation(failAt);
    GuardedHost host;
    char title[64];
    uint32_t options = 0;
    CommandHeader header = {0, 3, 0x7777};
    Imported out;
    out.ret = module_.Procedure()(&header, path_.c_str(), title, host.image(), &options, XtndArg{0},
                                  XtndArg{0}, XtndArg{0});
    out.result = header.result;
    out.releases = host.releaseCalls();
    out.pixels = host.Pixels();
    out.mask = host.Mask();
    out.title = title;
    return out;
  }
};

TEST_F(AllocationFailure, EveryImportAllocationFailsCleanly) {
  const std::vector<SeedFile> seeds = SeedPngFiles();
  int failures = 0, runs = 0;
  // Every format; each file carries every chunk the reader stores.
  for (size_t f = 0; f < seeds.size(); ++f) {
    ASSERT_TRUE(WriteFileBytes(path_, seeds[f].bytes));
    const Imported normal = Import(0);
    ASSERT_EQ(normal.ret, 1) << seeds[f].name;
    const uint64_t count = ModuleHeap::allocations();
    ASSERT_GT(count, 3u) << seeds[f].name;
    EXPECT_EQ(ModuleHeap::liveBytes(), 0) << seeds[f].name;
    for (uint64_t n = 1; n <= count; ++n) {
      const Imported run = Import(n);
      const std::string at = seeds[f].name + ", allocation " + std::to_string(n);
      ++runs;
      EXPECT_EQ(ModuleHeap::liveBlocks(), 0u) << at << ": the module kept blocks";
      EXPECT_EQ(OpenCrtDescriptorCount(), descriptors_) << at;
      if (run.ret == 1) {
        EXPECT_EQ(run.result, 0) << at;
        EXPECT_TRUE(run.pixels == normal.pixels && run.mask == normal.mask) << at;
        EXPECT_EQ(run.releases, 0) << at;
        continue;
      }
      ++failures;
      EXPECT_TRUE(run.result == kStatusNoMemory || run.result == kStatusError)
          << at << ": " << run.result;
      // Only the reader's set-up comes before the signature, and it reports no memory.
      EXPECT_EQ(run.releases, run.result == kStatusError ? 1 : 0) << at;
    }
  }
  EXPECT_GT(failures, runs / 2);
}

struct ExportShape {
  const char* name;
  int32_t kind;
  int32_t bits;
  uint32_t paletteCount;
  uint32_t maskKind;
  uint32_t options;
  const char* title;
  uint32_t width = 37;  // 600 x 600 full colour: two segments of data, deflated in parallel
  uint32_t height = 23;
};

// The quantizer (full colour into a palette), the packing of 4-bit rows, the filter choice
// of grey and colour rows, Adam7, alpha from a mask, the title chunk.
const ExportShape kExportShapes[] = {
    {"full colour into a palette, interlaced", ColorKindFullColor, 24, 0, MaskNone, 0x00083011,
     "Title text"},
    {"full colour with alpha", ColorKindFullColor, 24, 0, MaskEightBit, 0x00086100, nullptr},
    {"grey with a one-bit mask as alpha, interlaced", ColorKindGrey, 8, 256, MaskOneBit, 0x00084101,
     "t"},
    {"16-colour indexed", ColorKindIndexed, 4, 16, MaskNone, 0x00083010, "sixteen"},
    {"bilevel", ColorKindBilevel, 1, 0, MaskNone, 0, nullptr},
    {"full colour in two segments", ColorKindFullColor, 24, 0, MaskNone, 0x00082000, nullptr, 600,
     600},
};

// The chunk types and data of a file, its text chunks left out.
std::vector<std::pair<std::string, Bytes>> ChunksWithoutText(const Bytes& file) {
  std::vector<std::pair<std::string, Bytes>> chunks;
  ReadPng png;
  std::string error;
  if (!ReadChunks(file, &png, &error)) return chunks;
  for (const ReadChunk& c : png.chunks) {
    if (c.type != "tEXt") chunks.emplace_back(c.type, c.data);
  }
  return chunks;
}

// The segments of a large image are compressed on one thread here, so that the allocations
// come in the same order in every run.
TEST_F(AllocationFailure, EveryExportAllocationFailsCleanly) {
#if defined(_WIN32)
  _putenv_s("PNGTRANS_THREADS", "1");
#else
  setenv("PNGTRANS_THREADS", "1", 1);
#endif
  for (const ExportShape& s : kExportShapes) {
    HostSpec shape;
    shape.kind = s.kind;
    shape.bits = s.bits;
    shape.paletteCount = s.paletteCount;
    shape.maskKind = s.maskKind;
    shape.width = s.width;
    shape.height = s.height;
    shape.colours = 300;
    GuardedHostImage host(shape);
    auto save = [&](uint64_t failAt, Bytes* file) {
      ModuleHeap::Reset();
      ModuleHeap::FailAllocation(failAt);
      RemoveFile(path_);
      CommandHeader header = {0, 13, 0x7777};
      const int ret = module_.Procedure()(&header, Arg(path_.c_str()), Arg(s.title),
                                          Arg(host.get()), s.options, XtndArg{0});
      EXPECT_EQ(header.result, 0x7777) << s.name << ", allocation " << failAt;
      if (!ReadFileBytes(path_, file)) file->clear();
      return ret;
    };
    Bytes normal;
    ASSERT_EQ(save(0, &normal), 1) << s.name;
    const uint64_t count = ModuleHeap::allocations();
    ASSERT_GT(count, 3u) << s.name;
    int failures = 0;
    for (uint64_t n = 1; n <= count; ++n) {
      Bytes file;
      const int ret = save(n, &file);
      const std::string at = std::string(s.name) + ", allocation " + std::to_string(n);
      EXPECT_EQ(ModuleHeap::liveBlocks(), 0u) << at << ": the module kept blocks";
      EXPECT_EQ(OpenCrtDescriptorCount(), descriptors_) << at;
      if (ret == 1) {
        // The title chunk's status is not examined: without its block the file has no title.
        EXPECT_TRUE(file == normal || ChunksWithoutText(file) == ChunksWithoutText(normal))
            << at << ": a different file";
      } else {
        EXPECT_EQ(ret, 0) << at;
        ++failures;
      }
    }
    EXPECT_GT(failures, static_cast<int>(count) / 2) << s.name;
  }
#if defined(_WIN32)
  _putenv_s("PNGTRANS_THREADS", "");
#else
  unsetenv("PNGTRANS_THREADS");
#endif
}

}  // namespace
}  // namespace pngtrans::test
