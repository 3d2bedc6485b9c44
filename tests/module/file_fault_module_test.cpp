// File faults inside the loaded module, as the allocation-failure suite does for the heap: the
// module's own write, read, flush and rename calls are counted, and run after run one of them
// fails. A failed export returns 0 with result StatusWriteError and leaves the target exactly
// as it was (the old bytes, or no file), with no temporary file, descriptor or block left
// behind. A failed or short read fails the import cleanly, with release called exactly once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/export_host.h"
#include "support/files.h"
#include "support/import_host.h"
#include "support/module_fixture.h"
#include "support/module_heap.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

class FileFaults : public ModuleHeapTest {
 protected:
  FileFaults() : ModuleHeapTest("faults.png") {}
  void SetUp() override {
    ModuleHeapTest::SetUp();
    directory_ = TempDirectory("fault-dir");
  }
  void TearDown() override {
    ModuleFiles::Reset();
    ModuleHeapTest::TearDown();
  }

  // One export of the image into directory_/target.png; the returned text names what went
  // wrong (empty when the outcome is the one a failed save must have).
  std::string FailedExport(HostImage* image, uint32_t options, const Bytes* old) {
    const std::string target = directory_ + "/target.png";
    RemoveFile(target);
    if (old != nullptr) WriteFileBytes(target, *old);
    const int descriptors = OpenCrtDescriptorCount();
    ModuleHeap::Reset();
    CommandHeader header = {0, 13, 0x7777};
    const int ret =
        module_.Procedure()(&header, target.c_str(), "Title", image, XtndArg{options}, XtndArg{0});
    std::string faults;
    if (ret != 0) faults += "returned " + std::to_string(ret) + "; ";
    if (header.result != StatusWriteError)
      faults += "result " + std::to_string(header.result) + "; ";
    Bytes now;
    const bool exists = ReadFileBytes(target, &now);
    if (old == nullptr && exists) faults += "a file where there was none; ";
    if (old != nullptr && (!exists || now != *old)) faults += "the old file changed; ";
    const std::vector<std::string> expected =
        old != nullptr ? std::vector<std::string>{"target.png"} : std::vector<std::string>{};
    if (ListDirectory(directory_) != expected) faults += "debris left in the directory; ";
    if (OpenCrtDescriptorCount() != descriptors) faults += "a descriptor left open; ";
    if (ModuleHeap::liveBytes() != 0) faults += "memory left allocated; ";
    RemoveFile(target);
    return faults;
  }

  std::string directory_;
};

TEST_F(FileFaults, EveryFailedWriteFlushOrRenameLeavesTheTargetAsItWas) {
  struct Case {
    const char* name;
    HostSpec shape;
    uint32_t options;
    uint64_t step;  // every write of a small export, a sample of a large one
  };
  HostSpec small;
  HostSpec large;
  large.width = 600;
  large.height = 400;
  large.colours = 5000;
  const Case cases[] = {
      {"small full colour", small, 0x00082000, 1},
      {"large 256 colours, interlaced", large, 0x00083001, 7},
  };
  const Bytes old = EncodePng(RandomImage(20, 10, 8, 2, 99));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedHostImage image(c.shape);
    // An undisturbed run counts the writes.
    ModuleFiles::Reset();
    CommandHeader header = {0, 13, 0x7777};
    const std::string probe = directory_ + "/count.png";
    ASSERT_EQ(module_.Procedure()(&header, probe.c_str(), "Title", image.get(), XtndArg{c.options},
                                  XtndArg{0}),
              1);
    RemoveFile(probe);
    const uint64_t writes = ModuleFiles::writes();
    ASSERT_GT(writes, 2u);
    for (const Bytes* before : {&old, static_cast<const Bytes*>(nullptr)}) {
      SCOPED_TRACE(before != nullptr ? "over an existing file" : "no file before");
      for (uint64_t n = 1; n <= writes; n += (n == writes - 1 ? 1 : c.step)) {
        ModuleFiles::Reset();
        ModuleFiles::FailWrite(n);
        EXPECT_EQ(FailedExport(image.get(), c.options, before), "") << "write " << n;
      }
      ModuleFiles::Reset();
      ModuleFiles::FailFlush(true);
      EXPECT_EQ(FailedExport(image.get(), c.options, before), "") << "flush";
      ModuleFiles::Reset();
      ModuleFiles::FailRename(true);
      EXPECT_EQ(FailedExport(image.get(), c.options, before), "") << "rename";
    }
  }
}

TEST_F(FileFaults, FailedOrShortReadsFailTheImportCleanly) {
  RawImage raw = RandomImage(150, 90, 8, 6, 7);
  EncodeOptions options;
  options.idatSizes = {1000};
  options.chunksAfterIdat.push_back(TextChunk("Title", "after the image"));
  ASSERT_TRUE(WriteFileBytes(path_, EncodePng(raw, options)));
  auto import = [&](GuardedHost* host, CommandHeader* header) {
    char title[64];
    uint32_t word = 0;
    ModuleHeap::Reset();
    return module_.Procedure()(header, path_.c_str(), title, host->image(), &word, XtndArg{0},
                               XtndArg{0}, XtndArg{0});
  };
  ModuleFiles::Reset();
  GuardedHost clean;
  CommandHeader header = {0, 3, 0x7777};
  ASSERT_EQ(import(&clean, &header), 1);
  const uint64_t reads = ModuleFiles::reads();
  ASSERT_GT(reads, 3u);
  for (bool shortRead : {false, true}) {
    for (uint64_t n = 1; n <= reads; ++n) {
      SCOPED_TRACE((shortRead ? "short read " : "failed read ") + std::to_string(n));
      ModuleFiles::Reset();
      ModuleFiles::FailRead(n, shortRead);
      GuardedHost host;
      header = {0, 3, 0x7777};
      const int ret = import(&host, &header);
      EXPECT_EQ(ModuleHeap::liveBytes(), 0);
      if (ret == 1) {
        // A read the outcome does not depend on (the title after the image may be lost).
        EXPECT_EQ(host.Pixels(), clean.Pixels());
        EXPECT_EQ(host.Mask(), clean.Mask());
        continue;
      }
      // The signature read fails before anything is described; every later one after it.
      EXPECT_TRUE(header.result == 1 || (n == 1 && header.result == 6)) << header.result;
      EXPECT_EQ(host.releaseCalls(), n == 1 ? 0 : 1);
    }
  }
}

}  // namespace
}  // namespace pngtrans::test
