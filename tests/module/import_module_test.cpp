// Commands 3 (import) and 5 (preview with a full image) as a host calls them: through the
// loaded module's procedure only, into a host whose buffers sit flush against guard pages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/files.h"
#include "support/import_host.h"
#include "support/import_matrix.h"
#include "support/module_fixture.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

class ImportCommand : public ModuleTest {
 protected:
  // Command 3 on the bytes; returns the procedure's result, with the header's result.
  int Import(const Bytes& file, GuardedHost* host, uint16_t* result, uint32_t* options,
             char* title = nullptr, ProgressCallback progress = nullptr) {
    const std::string path = TempPath("import-module.png");
    EXPECT_TRUE(WriteFileBytes(path, file));
    CommandHeader header = {0xCAFEF00D, 3, 0x7777};
    const int ret = module_.Procedure()(&header, path.c_str(), title, host->image(), options,
                                        XtndArg{0}, XtndArg{0}, progress);
    RemoveFile(path);
    EXPECT_EQ(header.hostData, 0xCAFEF00Du);
    *result = header.result;
    return ret;
  }
  void ExpectMatrixCase(const MatrixCase& c) {
    GuardedHost host;
    uint16_t result = 0x7777;
    uint32_t options = 0xFFFFFFFF;
    ASSERT_EQ(Import(EncodePng(c.raw, c.options), &host, &result, &options), 1) << c.name;
    ASSERT_EQ(result, 0) << c.name;
    const ExpectedHost e = ExpectHost(c.raw, c.options.palette);
    EXPECT_EQ(host.described().rowBytes, e.rowBytes) << c.name;
    EXPECT_EQ(host.described().colorKind, e.colorKind) << c.name;
    EXPECT_TRUE(host.Pixels() == e.pixels) << c.name;
    EXPECT_TRUE(host.Mask() == e.mask) << c.name;
    if (!e.palette.empty()) {
      EXPECT_TRUE(host.Palette() == e.palette) << c.name;
    }
    EXPECT_EQ(options, ExpectedOptions(c)) << c.name;
    EXPECT_EQ(host.releaseCalls(), 0) << c.name;
  }
};

TEST_F(ImportCommand, EveryFormatOfTheMatrixImportsExactly) {
  for (const MatrixCase& c : SmallImageMatrix()) {
    ExpectMatrixCase(c);
    if (HasFailure()) return;
  }
}

TEST_F(ImportCommand, WidestRowsImportExactly) {
  for (const MatrixCase& c : LargeImageCases()) {
    ExpectMatrixCase(c);
    if (HasFailure()) return;
  }
}

TEST_F(ImportCommand, TitleBufferIsClearedThenFilledFromTheFile) {
  const RawImage raw = RandomImage(4, 3, 8, 2, 1);
  EncodeOptions withTitle;
  withTitle.chunksAfterIdat = {TextChunk("Title", std::string(70, 'q'))};
  char title[64];
  std::memset(title, 'x', sizeof title);
  GuardedHost host;
  uint16_t result = 0;
  uint32_t options = 0;
  ASSERT_EQ(Import(EncodePng(raw, withTitle), &host, &result, &options, title), 1);
  EXPECT_EQ(std::string(title), std::string(63, 'q'));
  std::memset(title, 'x', sizeof title);
  GuardedHost other;
  ASSERT_EQ(Import(EncodePng(raw), &other, &result, &options, title), 1);
  EXPECT_EQ(title[0], 0);
}

TEST_F(ImportCommand, ProgressReachesTheHostsCallback) {
  const RawImage raw = RandomImage(7, 6, 1, 0, 2);
  EncodeOptions interlaced;
  interlaced.interlace = true;
  GuardedHost host;
  uint16_t result = 0;
  uint32_t options = 0;
  ProgressRecorder recorder;
  ASSERT_EQ(Import(EncodePng(raw, interlaced), &host, &result, &options, nullptr,
                   ProgressRecorder::Callback),
            1);
  ASSERT_EQ(recorder.calls().size(), 43u);
  for (int32_t i = 0; i <= 42; ++i) EXPECT_EQ(recorder.calls()[i], std::make_pair(i, 42));
  EXPECT_EQ(options, 0x00080001u);
}

TEST_F(ImportCommand, FailuresReportTheirStatusAndReleaseOnlyAfterTheSignature) {
  uint32_t options = 0;
  uint16_t result = 0;
  {
    GuardedHost host;
    Bytes notPng = EncodePng(RandomImage(3, 3, 8, 0, 3));
    notPng[7] = 0x0B;
    EXPECT_EQ(Import(notPng, &host, &result, &options), 0);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(host.releaseCalls(), 0);
  }
  {
    GuardedHost host;
    host.FailAllocate(true);
    EXPECT_EQ(Import(EncodePng(RandomImage(3, 3, 8, 0, 3)), &host, &result, &options), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(host.releaseCalls(), 1);
  }
  {
    GuardedHost host;
    const Bytes file = EncodePng(RandomImage(30, 30, 8, 2, 3));
    EXPECT_EQ(Import(Bytes(file.begin(), file.begin() + 100), &host, &result, &options), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(host.allocateCalls(), 1);
    EXPECT_EQ(host.releaseCalls(), 1);
  }
  {
    GuardedHost host;
    CommandHeader header = {0, 3, 0x7777};
    const std::string missing = TempPath("missing.png");
    EXPECT_EQ(module_.Procedure()(&header, missing.c_str(), nullptr, host.image(), &options,
                                  XtndArg{0}, XtndArg{0}, XtndArg{0}),
              0);
    EXPECT_EQ(header.result, 1);
    EXPECT_EQ(host.allocateCalls(), 0);
    EXPECT_EQ(host.releaseCalls(), 0);
  }
}

TEST_F(ImportCommand, PreviewWithAFullImageImportsIt) {
  const RawImage raw = RandomImage(6, 5, 16, 4, 4);
  const std::string path = TempPath("preview.png");
  ASSERT_TRUE(WriteFileBytes(path, EncodePng(raw)));
  GuardedHost full;
  CommandHeader header = {0, 5, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), nullptr, nullptr, full.image()), 1);
  EXPECT_EQ(header.result, 0);
  const ExpectedHost e = ExpectHost(raw);
  EXPECT_EQ(full.Pixels(), e.pixels);
  EXPECT_EQ(full.Mask(), e.mask);

  // With an information image as well, the probe runs after the import and its status wins.
  GuardedHost both;
  HostImage info = {};
  char title[64] = "stale";
  header = {0, 5, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), title, &info, both.image()), 1);
  EXPECT_EQ(header.result, 0);
  EXPECT_EQ(title[0], 0);
  EXPECT_EQ(info.width, 6u);
  EXPECT_EQ(both.Pixels(), e.pixels);
  RemoveFile(path);
}

TEST_F(ImportCommand, PreviewImportFailureIsReportedButDoesNotFailTheCommand) {
  const Bytes file = EncodePng(RandomImage(20, 20, 8, 0, 5));
  const std::string path = TempPath("preview-cut.png");
  ASSERT_TRUE(WriteFileBytes(path, Bytes(file.begin(), file.end() - 30)));
  GuardedHost full;
  CommandHeader header = {0, 5, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), nullptr, nullptr, full.image()), 1);
  EXPECT_EQ(header.result, 1);
  EXPECT_EQ(full.releaseCalls(), 1);
  RemoveFile(path);
}

}  // namespace
}  // namespace pngtrans::test
