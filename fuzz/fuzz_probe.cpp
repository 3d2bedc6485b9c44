// Commands 9 and 5 on a file made from the input: the cheap probe alone, and the preview,
// which on every other input also imports the whole image into a guard-paged host first.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_checks.h"
#include "plugin/translator.h"
#include "support/files.h"
#include "support/hostile_png.h"
#include "support/import_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pngtrans;
  static const std::string path = test::TempPath("fuzz-probe.png");
  if (!test::WriteFileBytes(path, test::Bytes(data, data + size))) return 0;
  const int descriptors = fuzz::OpenDescriptors();

  uint32_t attributes = 0xDEADBEEF;
  CommandHeader header = {0, 9, 0x7777};
  int ret = TranslatorProc(&header, path.c_str(), &attributes);
  fuzz::RequireNoFaults(test::ProbeOutcomeFaults(ret, header.result), "attributes");
  // Bits 16 and 24 always, the pixel format and flag bits as found, nothing else.
  fuzz::Require(ret == 1 ? (attributes & ~0x0006001Cu) == 0x01010000u : attributes == 0xDEADBEEF,
                "attribute word");

  // The information image has no callbacks: the probe must call none.
  HostImage info = {};
  char title[64];
  std::memset(title, 'x', sizeof title);
  test::GuardedHost full;
  full.LimitBytes(8u * 1024 * 1024);
  header = {0, 5, 0x7777};
  ret = TranslatorProc(&header, path.c_str(), title, &info, size % 2 == 0 ? full.image() : nullptr);
  fuzz::RequireNoFaults(test::ProbeOutcomeFaults(ret, header.result), "preview");
  fuzz::Require(std::memchr(title, 0, sizeof title) != nullptr, "title not terminated");
  fuzz::Require(full.releaseCalls() <= 1 && full.allocateCalls() <= 1, "preview callbacks");
  fuzz::Require(info.pixels == nullptr && info.palette == nullptr && info.mask == nullptr,
                "the probe wrote a buffer pointer");
  fuzz::Require(fuzz::OpenDescriptors() == descriptors, "descriptor left open");
  return 0;
}
