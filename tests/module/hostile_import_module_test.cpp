// Hostile files through the loaded module, as a host meets them: every truncation and a few
// thousand seeded mutations of valid files of every colour type, depth and interlace, each
// imported (command 3) and probed (commands 5 and 9) into guard-paged host buffers. Whatever
// the file, the outcome is clean: a known status that agrees with the return value, release
// at most once and only after a failure, no descriptor left open, nothing written outside the
// host's buffers (the guard pages would stop the test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/files.h"
#include "support/hostile_png.h"
#include "support/import_host.h"
#include "support/module_fixture.h"

namespace pngtrans::test {
namespace {

// Under Wine every file operation costs more: every other truncation and fewer mutations
// keep the suite short there.
#if defined(_WIN32)
constexpr size_t kTruncationStep = 2;
constexpr uint32_t kMutationsPerKindAndFile = 10;
#else
constexpr size_t kTruncationStep = 1;
constexpr uint32_t kMutationsPerKindAndFile = 16;
#endif

class HostileImport : public ModuleTest {
 protected:
  // Command 3 on the bytes, then (unless only the import is asked for) 9 and 5 with both
  // images; returns the faults seen.
  std::string Examine(const Bytes& file, bool probes = true) {
    if (!WriteFileBytes(path_, file)) return "cannot write the test file";
    std::string faults;
    TranslatorProcFn proc = module_.Procedure();
    {
      GuardedHost host;
      char title[64];
      uint32_t options = 0;
      CommandHeader header = {0, 3, 0x7777};
      const int ret = proc(&header, path_.c_str(), title, host.image(), &options, XtndArg{0},
                           XtndArg{0}, XtndArg{0});
      faults += ImportOutcomeFaults(ret, header.result, host.releaseCalls());
      if (std::memchr(title, 0, sizeof title) == nullptr) faults += "title not terminated; ";
      if (ret == 1 && host.allocateCalls() != 1) faults += "success without one allocate; ";
      ++imports_;
      successes_ += ret == 1 ? 1 : 0;
    }
    if (probes) {
      uint32_t attributes = 0;
      CommandHeader header = {0, 9, 0x7777};
      const int ret = proc(&header, path_.c_str(), &attributes);
      faults += ProbeOutcomeFaults(ret, header.result);
    }
    if (probes) {
      GuardedHost full;
      HostImage info = {};
      char title[64];
      CommandHeader header = {0, 5, 0x7777};
      const int ret = proc(&header, path_.c_str(), title, &info, full.image());
      faults += ProbeOutcomeFaults(ret, header.result);
      if (full.releaseCalls() > 1) faults += "preview released twice; ";
    }
    const int open = OpenCrtDescriptorCount();
    if (open != descriptors_) faults += "descriptor left open; ";
    return faults;
  }

  void TearDown() override {
    RemoveFile(path_);
    ModuleTest::TearDown();
  }

  std::string path_ = TempPath("hostile.png");
  int imports_ = 0;
  int successes_ = 0;
};

TEST_F(HostileImport, SeedFilesImportCleanly) {
  for (const SeedFile& seed : SeedPngFiles()) {
    GuardedHost host;
    ASSERT_TRUE(WriteFileBytes(path_, seed.bytes));
    char title[64];
    uint32_t options = 0;
    CommandHeader header = {0, 3, 0x7777};
    EXPECT_EQ(module_.Procedure()(&header, path_.c_str(), title, host.image(), &options, XtndArg{0},
                                  XtndArg{0}, XtndArg{0}),
              1)
        << seed.name;
    EXPECT_EQ(header.result, 0) << seed.name;
    EXPECT_EQ(std::string(title).rfind("hostile ", 0), 0u) << seed.name << ": " << title;
  }
}

TEST_F(HostileImport, EveryTruncationFailsOrSucceedsCleanly) {
  for (const SeedFile& seed : SeedPngFiles()) {
    for (size_t size = 0; size < seed.bytes.size(); size += kTruncationStep) {
      const Bytes cut(seed.bytes.begin(), seed.bytes.begin() + static_cast<std::ptrdiff_t>(size));
      // The probes read only the head of the file: every third size is enough for them.
      const std::string faults = Examine(cut, size % 3 == 0);
      ASSERT_TRUE(faults.empty()) << seed.name << " cut to " << size << ": " << faults;
    }
  }
  // Files cut after complete image data (in the tail chunks) still import.
  EXPECT_GT(successes_, 0);
}

TEST_F(HostileImport, SeededMutationsFailOrSucceedCleanly) {
  const std::vector<SeedFile> seeds = SeedPngFiles();
  for (const MutationKind& kind : MutationKinds()) {
    for (size_t f = 0; f < seeds.size(); ++f) {
      for (uint32_t n = 0; n < kMutationsPerKindAndFile; ++n) {
        const uint32_t seed = static_cast<uint32_t>(f * 7919 + n * 104729 + 1);
        const std::string faults = Examine(kind.apply(seeds[f].bytes, seed));
        ASSERT_TRUE(faults.empty())
            << kind.name << " on " << seeds[f].name << ", seed " << seed << ": " << faults;
      }
    }
  }
  // The mutations must leave some files readable (CRC-repaired ancillary edits, say) and
  // break others, or they test nothing.
  EXPECT_GT(successes_, imports_ / 20);
  EXPECT_LT(successes_, imports_);
}

}  // namespace
}  // namespace pngtrans::test
