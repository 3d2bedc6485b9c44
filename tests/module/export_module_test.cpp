// Saving images as a host does: commands 4 and 13 through the loaded module, host buffers
// flush against guard pages, every file judged pixel by pixel.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/export_judge.h"
#include "support/export_host.h"
#include "support/png_readback.h"
#include "support/files.h"
#include "support/import_host.h"
#include "support/module_loader.h"

namespace pngtrans::test {
namespace {

std::vector<std::pair<int32_t, int32_t>> progressCalls;
void PNGTRANS_CDECL RecordProgress(int32_t done, int32_t total) {
  progressCalls.emplace_back(done, total);
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
      HostSpec shape;
      shape.kind = kind.kind;
      shape.bits = kind.bits;
      shape.paletteCount = kind.paletteCount;
      shape.width = 17 + 2 * static_cast<uint32_t>(n % 3);
      shape.height = 9;
      shape.stridePad = static_cast<uint32_t>(n % 4);
      shape.maskKind = n % 2 == 0 ? MaskEightBit : MaskOneBit;
      shape.maskPad = 2;
      shape.seed = static_cast<uint32_t>(100 + n);
      shape.background = kind.kind == ColorKindFullColor ? 0x00C08040u : 1u;
      GuardedHostImage host(shape);
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
    HostSpec shape;
    shape.kind = kind.kind;
    shape.bits = kind.bits;
    shape.paletteCount = kind.paletteCount;
    shape.width = 21;
    shape.height = 10;
    shape.maskKind = MaskEightBit;
    shape.stridePad = 4;
    GuardedHostImage host(shape);
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
  HostSpec shape;
  shape.kind = ColorKindBilevel;
  shape.maskKind = MaskOneBit;
  shape.width = 30;
  GuardedHostImage host(shape);
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
  HostSpec shape;
  GuardedHostImage host(shape);
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
  HostSpec shape;
  shape.height = 0;
  GuardedHostImage host(shape);
  uint32_t options = 0x00082000;
  CommandHeader header = {0, 4, 0x4242};
  const std::string path = TempPath("empty.png");
  EXPECT_EQ(Save(host.get(), &options, path, "Empty", &header), 0);
  EXPECT_EQ(header.result, 0x4242);
  Bytes file;
  EXPECT_FALSE(ReadFileBytes(path, &file)) << "a failed save left a file";
}

TEST_F(ExportModule, ProgressReachesSevenTimesTheHeightWhenInterlaced) {
  HostSpec shape;
  shape.height = 12;
  GuardedHostImage host(shape);
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
  HostSpec shape;
  shape.colours = 300;
  GuardedHostImage host(shape);
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

// --- round trips through the module's own import ---------------------------------------------

// Host sample x of row y as the export reads it: bit, nibble or byte.
uint32_t HostSample(const HostImage& image, uint32_t x, uint32_t y) {
  const uint8_t* row = image.pixels + static_cast<size_t>(y) * image.rowBytes;
  if (image.colorKind == ColorKindBilevel) return (row[x / 8] >> (7 - x % 8)) & 1;
  if (image.bitsPerPixel == 4) return x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15;
  return row[x];
}

struct RoundTrip {
  const char* name;
  int32_t kind;
  int32_t bits;
  uint32_t paletteCount;
  uint32_t maskKind;
  uint8_t colorType;
  uint32_t width = 0;  // 0: 23 to 25 pixels
};

struct LockedSave {
  LoadedModule* module;
  HostImage* image;
  const std::string* target;
};

// Command 13 into a read-only target; the return value and result as ret * 16 + result.
int SaveOverLockedFile(void* context) {
  const LockedSave& c = *static_cast<LockedSave*>(context);
  CommandHeader header = {0, 13, 0x7};
  const int ret = c.module->Procedure()(&header, Arg(c.target->c_str()), Arg("Locked"),
                                        Arg(c.image), XtndArg{0x00082000}, XtndArg{0});
  return ret * 16 + (header.result & 0xF);
}

// A target the saver may not write (mode 0444, or the read-only attribute) is refused with
// StatusWriteError and stays as it was, though its folder would take the new file; root,
// whom the mode does not stop, still writes it.
TEST_F(ExportModule, ReadOnlyTargetIsLeftAsItWas) {
  GuardedHostImage host(HostSpec{});
  const std::string folder = SharedDirectory("locked");
  const std::string target = folder + "/locked.png";
  const Bytes old = {'o', 'l', 'd'};
  ASSERT_TRUE(WriteFileBytes(target, old));
  ASSERT_TRUE(MakeReadOnly(target));
  LockedSave save = {&module_, host.get(), &target};
  std::string why;
  const int outcome = AsUnprivilegedUser(SaveOverLockedFile, &save, &why);
  if (outcome < 0) GTEST_SKIP() << why;
  EXPECT_EQ(outcome, 0 * 16 + StatusWriteError);
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(target, &now));
  EXPECT_EQ(now, old);
  EXPECT_TRUE(IsReadOnly(target));
  EXPECT_EQ(ListDirectory(folder), std::vector<std::string>{"locked.png"});
#if !defined(_WIN32)
  if (geteuid() == 0) {
    EXPECT_EQ(SaveOverLockedFile(&save), 1 * 16 + 0x7);
    EXPECT_TRUE(IsReadOnly(target));  // the replacement keeps the mode
  }
#endif
}

#if !defined(_WIN32)
// The temporary file's name cannot be foreseen and is never opened through a link: links
// planted at the names the replacement once used (.NAME.pngtrans-PID-N) stay as they were, and
// so does the file they name. A target that is a link stays one, the file it names replaced.
// In a sticky folder, a file of root's that nobody may write but not rename over is rewritten
// in place, owner and mode kept.
TEST_F(ExportModule, ReplacementFollowsNoPlantedLinkAndKeepsLinksOwnersAndStickyFolders) {
  GuardedHostImage host(HostSpec{});
  const std::string folder = TempDirectory("planted");
  const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
  const std::string victim = folder + "/victim";
  ASSERT_TRUE(WriteFileBytes(victim, secret));
  std::vector<std::string> names = {"saved.png", "victim"};
  for (int n = 0; n < 256; ++n) {
    const std::string name =
        ".saved.png.pngtrans-" + std::to_string(getpid()) + "-" + std::to_string(n);
    ASSERT_EQ(symlink(victim.c_str(), (folder + "/" + name).c_str()), 0);
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  LockedSave save = {&module_, host.get(), nullptr};
  const std::string saved = folder + "/saved.png";
  save.target = &saved;
  for (int again = 0; again < 2; ++again) EXPECT_EQ(SaveOverLockedFile(&save), 1 * 16 + 0x7);
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(victim, &now));
  EXPECT_EQ(now, secret);
  EXPECT_EQ(ListDirectory(folder), names);

  const std::string real = folder + "/real.png";
  const std::string link = folder + "/link.png";
  ASSERT_TRUE(WriteFileBytes(real, {'o', 'l', 'd'}));
  ASSERT_EQ(symlink("real.png", link.c_str()), 0);
  save.target = &link;
  EXPECT_EQ(SaveOverLockedFile(&save), 1 * 16 + 0x7);
  struct stat st = {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_TRUE(ReadFileBytes(real, &now));
  EXPECT_TRUE(now.size() > 8 && now[1] == 'P');

  if (geteuid() != 0) GTEST_SKIP() << "a sticky folder of root's needs root";
  const std::string sticky = SharedDirectory("sticky");
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  const std::string target = sticky + "/shared.png";
  ASSERT_TRUE(WriteFileBytes(target, {'o', 'l', 'd'}));
  ASSERT_EQ(chmod(target.c_str(), 0666), 0);
  save.target = &target;
  std::string why;
  const int outcome = AsUnprivilegedUser(SaveOverLockedFile, &save, &why);
  if (outcome < 0) GTEST_SKIP() << why;
  EXPECT_EQ(outcome, 1 * 16 + 0x7);
  ASSERT_TRUE(ReadFileBytes(target, &now));
  EXPECT_TRUE(now.size() > 8 && now[1] == 'P');
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(ListDirectory(sticky), std::vector<std::string>{"shared.png"});
}
#endif

// Modes that lose nothing: the import gives back the host's pixels (full-colour pixels as
// palette entries when saved as 256 colours), its palette and its mask.
TEST_F(ExportModule, LosslessModesComeBackThroughImport) {
  const RoundTrip cases[] = {
      {"grey", ColorKindGrey, 8, 256, MaskNone, 0},
      {"grey+mask", ColorKindGrey, 8, 256, MaskEightBit, 4},
      {"grey4", ColorKindGrey, 4, 16, MaskNone, 0},
      {"indexed", ColorKindIndexed, 8, 256, MaskNone, 3},
      {"indexed4", ColorKindIndexed, 4, 16, MaskNone, 3},
      {"bilevel", ColorKindBilevel, 1, 0, MaskNone, 3},
      {"full", ColorKindFullColor, 24, 0, MaskNone, 2},
      {"full+mask", ColorKindFullColor, 24, 0, MaskEightBit, 6},
      {"full+1bit", ColorKindFullColor, 24, 0, MaskOneBit, 6},
      {"full as palette", ColorKindFullColor, 24, 0, MaskNone, 3},
      // Panoramas: rows far beyond 64 KiB, many thousand colours.
      {"full, 30000 wide", ColorKindFullColor, 24, 0, MaskNone, 2, 30000},
      {"full+mask, 30000 wide", ColorKindFullColor, 24, 0, MaskEightBit, 6, 30000},
      {"grey, 70000 wide", ColorKindGrey, 8, 256, MaskNone, 0, 70000},
  };
  int n = 0;
  for (const RoundTrip& c : cases) {
    for (bool interlace : {false, true}) {
      HostSpec shape;
      shape.kind = c.kind;
      shape.bits = c.bits;
      shape.paletteCount = c.paletteCount;
      shape.maskKind = c.maskKind;
      shape.width = c.width != 0 ? c.width : 23 + static_cast<uint32_t>(n % 3);
      if (c.width != 0) shape.colours = 100000;
      shape.height = 14;
      shape.stridePad = 3;
      shape.seed = static_cast<uint32_t>(500 + n);
      shape.resolution = 300;
      ++n;
      GuardedHostImage saved(shape);
      const HostImage& out = saved.image;
      const bool alpha = c.colorType == 4 || c.colorType == 6;
      uint32_t options = OptionWord(c.colorType, interlace, false, alpha);
      CommandHeader header = {0, 4, 0};
      const std::string path = TempPath("roundtrip.png");
      const std::string label = std::string(c.name) + (interlace ? " interlaced" : "");
      ASSERT_EQ(Save(saved.get(), &options, path, "Round trip", &header), 1) << label;

      GuardedHost host;
      char title[64] = "stale";
      uint32_t imported = 0xFFFFFFFF;
      header = {0, 3, 0x4242};
      ASSERT_EQ(module_.Procedure()(&header, Arg(path.c_str()), Arg(title), Arg(host.image()),
                                    Arg(&imported), XtndArg{0}, XtndArg{0}, XtndArg{0}),
                1)
          << label;
      EXPECT_EQ(header.result, 0) << label;
      EXPECT_STREQ(title, "Round trip") << label;
      EXPECT_EQ(imported, OptionWord(c.colorType, interlace, false, alpha)) << label;
      const HostImage& in = host.described();
      EXPECT_EQ(in.width, out.width);
      EXPECT_EQ(in.height, out.height);
      EXPECT_EQ(in.resolutionX, 300u);
      EXPECT_EQ(in.resolutionY, 301u);
      const Bytes pixels = host.Pixels();
      const std::vector<uint32_t> palette = host.Palette();
      const Bytes mask = host.Mask();
      ASSERT_EQ(pixels.size(), static_cast<size_t>(in.height) * in.rowBytes) << label;
      for (uint32_t y = 0; y < out.height; ++y) {
        for (uint32_t x = 0; x < out.width; ++x) {
          const uint8_t* got = &pixels[static_cast<size_t>(y) * in.rowBytes];
          if (c.kind == ColorKindFullColor) {
            const uint8_t* want = out.pixels + static_cast<size_t>(y) * out.rowBytes + 3 * x;
            if (c.colorType == 3) {
              // Few colours: every pixel's entry is its exact colour.
              const ColorValue entry = palette[got[x]];
              ASSERT_EQ(entry & 0xFFFFFF,
                        static_cast<ColorValue>(want[2] | want[1] << 8 | want[0] << 16))
                  << label << " at " << x << "," << y;
            } else {
              ASSERT_EQ(Bytes(got + 3 * x, got + 3 * x + 3), Bytes(want, want + 3))
                  << label << " at " << x << "," << y;
            }
          } else {
            const uint32_t sample = HostSample(out, x, y);
            const uint32_t level = c.kind == ColorKindGrey && c.bits == 4 ? sample * 17 : sample;
            ASSERT_EQ(got[x], level) << label << " at " << x << "," << y;
          }
          if (c.maskKind != MaskNone) {
            const uint8_t* m = out.mask + static_cast<size_t>(y) * out.maskRowBytes;
            const uint8_t want =
                c.maskKind == MaskEightBit ? m[x] : ((m[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0);
            ASSERT_EQ(mask[static_cast<size_t>(y) * in.maskRowBytes + x], want)
                << label << " mask at " << x << "," << y;
          }
        }
      }
      if (c.kind == ColorKindIndexed) {
        for (uint32_t i = 0; i < c.paletteCount; ++i) {
          EXPECT_EQ(palette[i] & 0xFFFFFF, out.palette[i] & 0xFFFFFF) << label << " entry " << i;
        }
      }
      if (c.kind == ColorKindBilevel) {
        EXPECT_EQ(palette[0] & 0xFFFFFF, 0u);
        EXPECT_EQ(palette[1] & 0xFFFFFF, 0xFFFFFFu);
      }
      RemoveFile(path);
    }
  }
}

}  // namespace
}  // namespace pngtrans::test
