// Saving images as a host does: commands 4 and 13 through the loaded module, host buffers
// flush against guard pages, every file judged pixel by pixel.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/exp2_export_judge.h"
#include "support/exp2_host_image.h"
#include "support/exp2_png_read.h"
#include "support/files.h"
#include "support/module_loader.h"

namespace pngtrans::test {
namespace {

std::vector<std::pair<int32_t, int32_t>> progressCalls;
void PT_CDECL RecordProgress(int32_t done, int32_t total) {
  progressCalls.emplace_back(done, total);
}

uint32_t Arg(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

class ExportModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.ok()) << module_.error();
    progressCalls.clear();
  }

  // Command 4 without the dialog.
  int Save(HostImage* image, uint32_t* options, const std::string& path, const char* title,
           CommandHeader* header) {
    header->command = 4;
    return module_.Procedure()(header, Arg(path.c_str()), Arg(title), Arg(image), Arg(options), 0u,
                               0u, Arg(reinterpret_cast<void*>(RecordProgress)));
  }

  // Command 13: the option word by value.
  int SaveWithOptions(HostImage* image, uint32_t options, const std::string& path,
                      const char* title, CommandHeader* header) {
    header->command = 13;
    return module_.Procedure()(header, Arg(path.c_str()), Arg(title), Arg(image), options,
                               Arg(reinterpret_cast<void*>(RecordProgress)));
  }

  LoadedModule module_;
};

struct KindCase {
  const char* name;
  int32_t kind;
  int32_t bits;
  uint32_t paletteCount;
};

const KindCase kKinds[] = {
    {"bilevel", ColorKindBilevel, 1, 0},   {"grey8", ColorKindGrey, 8, 256},
    {"grey4", ColorKindGrey, 4, 16},       {"indexed8", ColorKindIndexed, 8, 256},
    {"indexed4", ColorKindIndexed, 4, 16}, {"full", ColorKindFullColor, 24, 0},
};

TEST_F(ExportModule, CommandFourSavesEveryKindAndRewritesTheOptions) {
  int n = 0;
  for (const KindCase& kind : kKinds) {
    for (uint8_t type : {0, 2, 3, 4, 6}) {
      HostSpec spec;
      spec.kind = kind.kind;
      spec.bits = kind.bits;
      spec.paletteCount = kind.paletteCount;
      spec.width = 17 + 2 * static_cast<uint32_t>(n % 3);
      spec.height = 9;
      spec.stridePad = static_cast<uint32_t>(n % 4);
      spec.maskKind = n % 2 == 0 ? MaskEightBit : MaskOneBit;
      spec.maskPad = 2;
      spec.seed = static_cast<uint32_t>(100 + n);
      spec.background = kind.kind == ColorKindFullColor ? 0x00C08040u : 1u;
      GuardedHostImage host(spec);
      const bool alpha = type == 4 || type == 6;
      const bool interlace = n % 3 == 1;
      const uint32_t given = 0x12300000u | OptionWord(type, interlace, true, alpha);
      uint32_t options = given;
      CommandHeader header = {0, 4, 0x4242};
      const std::string path = TempPath("cmd4.png");
      const std::string label = std::string(kind.name) + " type " + std::to_string(type);
      ASSERT_EQ(Save(host.get(), &options, path, "Module", &header), 1) << label;
      EXPECT_EQ(header.result, 0x4242) << label;
      ExportExpectation expect;
      expect.colorType = type;
      expect.interlace = interlace ? 1 : 0;
      expect.transparency = 1;
      expect.title = "Module";
      EXPECT_EQ(options, ExpectedOptionWord(given, expect, alpha)) << label;
      Bytes file;
      ASSERT_TRUE(ReadFileBytes(path, &file)) << label;
      EXPECT_TRUE(JudgeExport(host.image, expect, file, path)) << label;
      RemoveFile(path);
      ++n;
    }
  }
}

TEST_F(ExportModule, CommandThirteenSavesWithTheGivenWordAndKeepsTheHostsCopy) {
  for (const KindCase& kind : kKinds) {
    HostSpec spec;
    spec.kind = kind.kind;
    spec.bits = kind.bits;
    spec.paletteCount = kind.paletteCount;
    spec.width = 21;
    spec.height = 10;
    spec.maskKind = MaskEightBit;
    spec.stridePad = 4;
    GuardedHostImage host(spec);
    CommandHeader header = {0, 13, 0x4242};
    const std::string path = TempPath("cmd13.png");
    const uint32_t word = OptionWord(kind.kind == ColorKindGrey ? 4 : 6, true, false, true);
    ASSERT_EQ(SaveWithOptions(host.get(), word, path, nullptr, &header), 1) << kind.name;
    EXPECT_EQ(header.result, 0x4242);
    ExportExpectation expect;
    expect.colorType = kind.kind == ColorKindGrey ? 4 : 6;
    expect.interlace = 1;
    // Bilevel images never save their mask through this command.
    if (kind.kind == ColorKindBilevel) expect.colorType = 2;
    Bytes file;
    ASSERT_TRUE(ReadFileBytes(path, &file));
    EXPECT_TRUE(JudgeExport(host.image, expect, file, path)) << kind.name;
    RemoveFile(path);
  }
}

TEST_F(ExportModule, CommandThirteenOnABilevelImageWithSaveMaskExportsWithoutAMask) {
  HostSpec spec;
  spec.kind = ColorKindBilevel;
  spec.maskKind = MaskOneBit;
  spec.width = 30;
  GuardedHostImage host(spec);
  for (uint32_t word : {0x00086100u, 0x00084100u, 0x00083100u}) {
    CommandHeader header = {0, 13, 0x4242};
    const std::string path = TempPath("bilevel.png");
    ASSERT_EQ(SaveWithOptions(host.get(), word, path, nullptr, &header), 1);
    Bytes file;
    ASSERT_TRUE(ReadFileBytes(path, &file));
    ExportExpectation expect;
    expect.colorType = static_cast<uint8_t>(((word >> 12) & 15) & ~4u);
    EXPECT_TRUE(JudgeExport(host.image, expect, file, path)) << std::hex << word;
    ReadPng png;
    std::string error;
    ASSERT_TRUE(ReadChunks(file, &png, &error));
    EXPECT_NE(png.chunks[0].data[9] & 4, 4) << "alpha written";
  }
}

TEST_F(ExportModule, PathThatCannotBeCreatedGivesResultTwo) {
  HostSpec spec;
  GuardedHostImage host(spec);
  const std::string path = TempPath("absent") + "/sub/out.png";
  uint32_t options = 0x00082000;
  CommandHeader header = {0, 4, 0x4242};
  EXPECT_EQ(Save(host.get(), &options, path, nullptr, &header), 0);
  EXPECT_EQ(header.result, 2);
  EXPECT_EQ(options, 0x00082000u);
  header = {0, 13, 0x4242};
  EXPECT_EQ(SaveWithOptions(host.get(), 0x00082000, path, nullptr, &header), 0);
  EXPECT_EQ(header.result, 2);
}

TEST_F(ExportModule, EncoderFailureReturnsZeroAndLeavesResult) {
  // No rows: the head is written, the file end finds no image data.
  HostSpec spec;
  spec.height = 0;
  GuardedHostImage host(spec);
  uint32_t options = 0x00082000;
  CommandHeader header = {0, 4, 0x4242};
  const std::string path = TempPath("empty.png");
  EXPECT_EQ(Save(host.get(), &options, path, "Empty", &header), 0);
  EXPECT_EQ(header.result, 0x4242);
  Bytes file;
  ASSERT_TRUE(ReadFileBytes(path, &file));
  ReadPng png;
  std::string error;
  ASSERT_TRUE(ReadChunks(file, &png, &error)) << error;
  EXPECT_EQ(png.Sequence(), "IHDR bKGD pHYs tEXt");
}

TEST_F(ExportModule, ProgressReachesSevenTimesTheHeightWhenInterlaced) {
  HostSpec spec;
  spec.height = 12;
  GuardedHostImage host(spec);
  uint32_t options = 0x00082001;
  CommandHeader header = {0, 4, 0};
  ASSERT_EQ(Save(host.get(), &options, TempPath("progress.png"), nullptr, &header), 1);
  ASSERT_FALSE(progressCalls.empty());
  EXPECT_EQ(progressCalls.front(), std::make_pair(0, 84));
  EXPECT_EQ(progressCalls.back(), std::make_pair(84, 84));
  EXPECT_EQ(progressCalls.size(), 85u);
}

TEST_F(ExportModule, RepeatedExportsLeaveNothingBehind) {
  // The module-wide quantizer is released after every export: palette exports keep working.
  HostSpec spec;
  spec.colours = 300;
  GuardedHostImage host(spec);
  const int before = OpenCrtDescriptorCount();
  for (int i = 0; i < 5; ++i) {
    uint32_t options = 0x00083000;
    CommandHeader header = {0, 4, 0};
    const std::string path = TempPath("again.png");
    ASSERT_EQ(Save(host.get(), &options, path, nullptr, &header), 1) << i;
    RemoveFile(path);
  }
  EXPECT_EQ(OpenCrtDescriptorCount(), before);
}

}  // namespace
}  // namespace pngtrans::test
