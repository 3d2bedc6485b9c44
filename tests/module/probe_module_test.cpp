// Commands 9 (attributes) and 5 (preview, probe step) as a host calls them: through the loaded
// module's procedure only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/files.h"
#include "support/module_fixture.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

class ProbeCommands : public ModuleTest {
 protected:
  void TearDown() override {
    ModuleTest::TearDown();
    for (const std::string& path : paths_) RemoveFile(path);
  }
  std::string File(const Bytes& bytes) {
    paths_.push_back(TempPath("probe-module.png"));
    EXPECT_TRUE(WriteFileBytes(paths_.back(), bytes));
    return paths_.back();
  }
  std::string File(const RawImage& raw, const EncodeOptions& options = EncodeOptions()) {
    return File(EncodePng(raw, options));
  }
  // Command 9: the return value, with the attribute word and the result it left.
  int Attributes(const std::string& path, uint32_t* word, uint16_t* result) {
    CommandHeader header = {0xCAFEF00D, 9, 0x7777};
    const int ret = module_.Procedure()(&header, path.c_str(), word);
    EXPECT_EQ(header.hostData, 0xCAFEF00Du);
    *result = header.result;
    return ret;
  }
  int Preview(const std::string& path, char* title, HostImage* info, uint16_t* result) {
    CommandHeader header = {0, 5, 0x7777};
    const int ret =
        module_.Procedure()(&header, path.c_str(), title, info, static_cast<HostImage*>(nullptr));
    *result = header.result;
    return ret;
  }

  std::vector<std::string> paths_;
};

TEST_F(ProbeCommands, AttributeWordPerFormat) {
  EncodeOptions palette;
  palette.palette = Bytes(3 * 16, 40);
  palette.trns = {0, 0, 255};
  EncodeOptions rgbKey;
  rgbKey.trns = {0, 1, 0, 2, 0, 3};
  const struct {
    const char* what;
    std::string path;
    uint32_t word;
  } cases[] = {
      {"palette with tRNS", File(RandomImage(5, 4, 8, 3, 1, 16), palette), 0x01050004},
      {"colour with alpha", File(RandomImage(5, 4, 8, 6, 2)), 0x01030010},
      {"16-bit colour with alpha", File(RandomImage(5, 4, 16, 6, 2)), 0x01030010},
      {"grey 8", File(RandomImage(5, 4, 8, 0, 3)), 0x01010008},
      {"grey 2", File(RandomImage(5, 4, 2, 0, 3)), 0x01010008},
      {"grey 16", File(RandomImage(5, 4, 16, 0, 3)), 0x01010010},
      {"grey with alpha", File(RandomImage(5, 4, 8, 4, 3)), 0x01030008},
      {"colour with key", File(RandomImage(5, 4, 8, 2, 3), rgbKey), 0x01050010},
      {"interlaced colour",
       File(RandomImage(9, 9, 8, 2, 4),
            [] {
              EncodeOptions o;
              o.interlace = true;
              return o;
            }()),
       0x01010010},
  };
  for (const auto& c : cases) {
    uint32_t word = 0xDEADBEEF;
    uint16_t result = 0;
    EXPECT_EQ(Attributes(c.path, &word, &result), 1) << c.what;
    EXPECT_EQ(result, 0) << c.what;
    EXPECT_EQ(word, c.word) << c.what;
  }
}

TEST_F(ProbeCommands, AttributeFailuresLeaveTheWordAlone) {
  const Bytes good = EncodePng(RandomImage(5, 4, 8, 2, 1));
  const std::string paths[] = {
      TempPath("does-not-exist.png"),
      File(Bytes(good.begin(), good.begin() + 40)),  // cut inside IDAT
      File(EncodePng(RandomImage(5, 4, 8, 3, 1, 4),
                     [] {  // 16-bit palette
                       EncodeOptions o;
                       o.palette = Bytes(12, 1);
                       return o;
                     }())),
      File(Bytes()),
  };
  Bytes sixteenBitPalette;
  ReadFileBytes(paths[2], &sixteenBitPalette);
  sixteenBitPalette[8 + 8 + 8] = 16;
  WriteFileBytes(paths[2], sixteenBitPalette);
  for (const std::string& path : paths) {
    uint32_t word = 0xDEADBEEF;
    uint16_t result = 0;
    EXPECT_EQ(Attributes(path, &word, &result), 0) << path;
    EXPECT_EQ(result, 1) << path;
    EXPECT_EQ(word, 0xDEADBEEFu) << path;
  }
}

TEST_F(ProbeCommands, PreviewFillsTheDescriptionAndTitle) {
  EncodeOptions options;
  Bytes phys = Be32(2835);
  Append(&phys, Be32(2835));
  phys.push_back(1);
  options.chunksBeforeIdat = {MakeChunk("pHYs", phys), TextChunk("Title", std::string(70, 'T'))};
  const std::string path = File(RandomImage(11, 6, 8, 6, 9), options);
  HostImage info;
  std::memset(&info, 0xEE, sizeof info);
  info.allocate = nullptr;  // no callback may be called
  info.release = nullptr;
  char title[64];
  std::memset(title, 'x', sizeof title);
  uint16_t result = 0;
  ASSERT_EQ(Preview(path, title, &info, &result), 1);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(info.width, 11u);
  EXPECT_EQ(info.height, 6u);
  EXPECT_EQ(info.resolutionX, 2835u);
  EXPECT_EQ(info.resolutionY, 2835u);
  EXPECT_EQ(info.colorKind, 3);
  EXPECT_EQ(info.bitsPerPixel, 24);
  EXPECT_EQ(info.paletteCount, 0xEEEEEEEEu);  // untouched for a 24-bit result
  EXPECT_EQ(info.rowBytes, 33u);
  EXPECT_EQ(info.maskKind, 0u);
  EXPECT_EQ(info.maskBits, 0);
  EXPECT_EQ(info.maskRowBytes, 0);
  // Nothing outside the description fields is written.
  HostImage untouched;
  std::memset(&untouched, 0xEE, sizeof untouched);
  EXPECT_EQ(info.pixels, untouched.pixels);
  EXPECT_EQ(info.backgroundColor, 0xEEEEEEEEu);
  EXPECT_EQ(std::string(title), std::string(63, 'T'));
}

TEST_F(ProbeCommands, PreviewWithTitleOnlyOrNothing) {
  EncodeOptions options;
  options.chunksAfterIdat = {TextChunk("Title", "at the end")};
  const std::string path = File(RandomImage(3, 3, 8, 0, 9), options);
  char title[64] = "old";
  uint16_t result = 0;
  ASSERT_EQ(Preview(path, title, nullptr, &result), 1);
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(title, "at the end");
  // Neither an information image nor a title: no probe, result untouched.
  ASSERT_EQ(Preview(TempPath("absent.png"), nullptr, nullptr, &result), 1);
  EXPECT_EQ(result, 0x7777);
}

TEST_F(ProbeCommands, PreviewFailureIsReported) {
  HostImage info = {};
  char title[64] = "old";
  uint16_t result = 0;
  EXPECT_EQ(Preview(TempPath("absent.png"), title, &info, &result), 0);
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(title, "");  // cleared before the probe
  const Bytes good = EncodePng(RandomImage(5, 4, 8, 2, 1));
  EXPECT_EQ(Preview(File(Bytes(good.begin(), good.begin() + 30)), title, &info, &result), 0);
  EXPECT_EQ(result, 1);
}

}  // namespace
}  // namespace pngtrans::test
