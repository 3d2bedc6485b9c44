// The i686 DLL that hosts load, checked as a file with our own PE reader, so that every machine
// checks it, including those that cannot run it: format, exports, imports, dialog 103 and the
// translator record in its data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/dialog_template.h"
#include "support/files.h"
#include "support/pe_image.h"

namespace pngtrans::test {
namespace {

Bytes Win32Dll() {
  Bytes bytes;
  EXPECT_TRUE(ReadFileBytes(PNGTRANS_WIN32_DLL, &bytes))
      << PNGTRANS_WIN32_DLL << " is missing: build the win32 preset first";
  return bytes;
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string Joined(std::vector<std::string> names, bool upper) {
  if (upper)
    for (std::string& n : names) std::transform(n.begin(), n.end(), n.begin(), ::toupper);
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& n : names) out += n + " ";
  return out;
}

TEST(Win32DllFile, IsTheModuleHostsLoad) {
  const PeImage pe(Win32Dll());
  ASSERT_TRUE(pe.ok()) << pe.error();
  const std::string imports = Joined(pe.importNames(), true);
  const struct {
    const char* what;
    bool holds;
  } checks[] = {
      {"machine i386 (0x14c)", pe.machine() == 0x14c},
      {"PE32 optional header (0x10b)", pe.optionalMagic() == 0x10b},
      {"a DLL", (pe.characteristics() & 0x2000) != 0},
      {"a 32-bit machine image", (pe.characteristics() & 0x0100) != 0},
      {"exports exactly _CountXTND and _GetXTNDInfo",
       Joined(pe.exportNames(), false) == "_CountXTND _GetXTNDInfo "},
      {"imports only KERNEL32, msvcrt and USER32",
       imports == "KERNEL32.DLL MSVCRT.DLL USER32.DLL "},
  };
  for (const auto& check : checks)
    EXPECT_TRUE(check.holds) << check.what << " (imports: " << imports << ")";

  std::vector<uint8_t> dialog;
  ASSERT_TRUE(pe.Resource(5, 103, 1041, &dialog)) << "no dialog 103 in language 1041";
  ExpectDialog103Template(dialog.data(), dialog.size());

  // The record: the code page 932 name "PNG ﾌｧｲﾙ", NUL-padded to 64 bytes, then the type.
  std::vector<uint8_t> head(68, 0);
  const uint8_t name[] = {0x50, 0x4E, 0x47, 0x20, 0xCC, 0xA7, 0xB2, 0xD9};
  std::memcpy(head.data(), name, sizeof name);
  std::memcpy(head.data() + 64, "PNG", 4);
  const std::vector<uint32_t> found = pe.FindInSections(head);
  ASSERT_EQ(found.size(), 1u) << "the translator record occurs once in the data";
  const uint8_t* record = pe.AtRva(found[0], 128);
  ASSERT_NE(record, nullptr);
  const uint64_t procedure = Le32(record + 68);
  const PeSection* code = procedure >= pe.imageBase()
                              ? pe.SectionOf(static_cast<uint32_t>(procedure - pe.imageBase()))
                              : nullptr;
  ASSERT_NE(code, nullptr) << "the procedure address lies in no section";
  EXPECT_NE(code->characteristics & 0x20000000u, 0u) << "the procedure lies in " << code->name;
  EXPECT_EQ(Le32(record + 72), 1u);
  EXPECT_EQ(Le32(record + 76), 1u);
  const uint8_t bytes80[] = {0x06, 0x00, 0x01, 0x01};
  EXPECT_EQ(std::memcmp(record + 80, bytes80, 4), 0);
  EXPECT_TRUE(std::all_of(record + 84, record + 128, [](uint8_t b) { return b == 0; }));
}

// The version resource of the DLL and of the reference host: the build's one version, in the
// dialog's language block (1041, code page 932) and the US English one.
TEST(Win32DllFile, VersionResourceHoldsTheBuildsVersion) {
  const struct {
    const char* path;
    const char* file;
    const char* internal;
  } files[] = {
      {PNGTRANS_WIN32_DLL, "pngtrans.dll", "pngtrans"},
      {PNGTRANS_WIN32_EXE, "xtnd-host.exe", "xtnd-host"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.file);
    Bytes bytes;
    ASSERT_TRUE(ReadFileBytes(f.path, &bytes)) << f.path;
    const PeImage pe(bytes);
    ASSERT_TRUE(pe.ok()) << pe.error();
    std::vector<uint8_t> data;
    ASSERT_TRUE(pe.Resource(16, 1, 0, &data)) << "no neutral version resource 1";
    PeVersion version;
    ASSERT_TRUE(ParseVersionResource(data, &version));
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(PNGTRANS_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
    const std::vector<uint16_t> numbers = {static_cast<uint16_t>(major),
                                           static_cast<uint16_t>(minor),
                                           static_cast<uint16_t>(patch), 0};
    EXPECT_EQ(std::vector<uint16_t>(version.file, version.file + 4), numbers);
    EXPECT_EQ(std::vector<uint16_t>(version.product, version.product + 4), numbers);
    EXPECT_EQ(version.translations, (std::vector<uint16_t>{0x0411, 932, 0x0409, 1200}));
    for (const char* block : {"041103A4", "040904B0"}) {
      const std::string b = std::string(block) + "/";
      const std::pair<std::string, std::string> rows[] = {
          {"FileVersion", PNGTRANS_VERSION}, {"ProductVersion", PNGTRANS_VERSION},
          {"ProductName", "pngtrans"},       {"OriginalFilename", f.file},
          {"InternalName", f.internal},
          {"LegalCopyright", "Copyright (c) 2026 the pngtrans developers; MIT licence"},
      };
      for (const auto& row : rows)
        EXPECT_EQ(version.strings[b + row.first], row.second) << b + row.first;
      EXPECT_FALSE(version.strings[b + "FileDescription"].empty()) << b;
    }
  }
}

// A damaged copy gives a clear error from the reader, never a crash or a read outside the file
// (this suite also runs under AddressSanitizer).
TEST(Win32DllFile, DamagedCopiesFailCleanly) {
  const Bytes good = Win32Dll();
  ASSERT_GT(good.size(), 4096u);
  const uint32_t pe = Le32(&good[0x3C]);
  auto put32 = [](Bytes& b, size_t at, uint32_t v) {
    if (at + 4 <= b.size()) std::memcpy(&b[at], &v, 4);
  };
  const uint32_t optional = pe + 24;
  const uint32_t table = optional + (good[pe + 20] | good[pe + 21] << 8);
  const struct {
    const char* damage;
    std::function<void(Bytes&)> apply;
  } cases[] = {
      {"empty", [](Bytes& b) { b.clear(); }},
      {"cut inside the DOS header", [](Bytes& b) { b.resize(40); }},
      {"cut inside the PE header", [&](Bytes& b) { b.resize(pe + 10); }},
      {"cut inside the section table", [&](Bytes& b) { b.resize(table + 20); }},
      {"cut in half", [](Bytes& b) { b.resize(b.size() / 2); }},
      {"PE offset past the end", [&](Bytes& b) { put32(b, 0x3C, 0xFFFFFFF0u); }},
      {"no PE signature", [&](Bytes& b) { b[pe] = 'X'; }},
      {"section count 65535", [&](Bytes& b) { b[pe + 6] = b[pe + 7] = 0xFF; }},
      {"optional header larger than the file", [&](Bytes& b) { b[pe + 20] = b[pe + 21] = 0xFF; }},
      {"a section's raw data past the end", [&](Bytes& b) { put32(b, table + 20, 0xFFFFFF00u); }},
      {"export directory at a wild address",
       [&](Bytes& b) { put32(b, optional + 96, 0x7FFFFFF0u); }},
      {"import directory at a wild address",
       [&](Bytes& b) { put32(b, optional + 104, 0xFFFFFFFFu); }},
      {"resource directory at a wild address",
       [&](Bytes& b) { put32(b, optional + 112, 0xFFFFFFF8u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    Bytes bad = good;
    c.apply(bad);
    const PeImage image(bad);
    std::vector<uint8_t> dialog;
    EXPECT_FALSE(image.ok() && image.Resource(5, 103, 1041, &dialog)) << "accepted";
    if (!image.ok()) {
      EXPECT_FALSE(image.error().empty());
    }
  }
  // Every header byte set to 0xFF in turn: whatever the reader answers, it stays in the file.
  for (size_t at = 0; at < std::min<size_t>(table + 40 * 8, good.size()); at += 3) {
    Bytes bad = good;
    bad[at] = 0xFF;
    const PeImage image(bad);
    std::vector<uint8_t> dialog;
    if (image.ok()) (void)image.Resource(5, 103, 1041, &dialog);
  }
}

}  // namespace
}  // namespace pngtrans::test
