// Command 3 on a file made from the input, into a host whose buffers are exactly the size the
// module asks for, each flush against a guard page.
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
  static const std::string path = test::TempPath("fuzz-import.png");
  if (!test::WriteFileBytes(path, test::Bytes(data, data + size))) return 0;
  const int descriptors = fuzz::OpenDescriptors();
  test::GuardedHost host;
  // Hosts have limits: larger images are refused at allocate, like a host out of memory.
  host.LimitBytes(8u * 1024 * 1024);
  char title[64];
  std::memset(title, 'x', sizeof title);
  uint32_t options = 0xFFFFFFFF;
  CommandHeader header = {0, 3, 0x7777};
  fuzz::ResetProgress();
  const int ret = TranslatorProc(&header, path.c_str(), title, host.image(), &options, XtndArg{0},
                                 XtndArg{0}, fuzz::CheckProgress);
  fuzz::RequireNoFaults(test::ImportOutcomeFaults(ret, header.result, host.releaseCalls()),
                        "import");
  fuzz::Require(std::memchr(title, 0, sizeof title) != nullptr, "title not terminated");
  fuzz::Require(ret == 0 || host.allocateCalls() == 1, "success without one allocate");
  fuzz::Require(ret == 0 || fuzz::progressSeen.done == fuzz::progressSeen.total,
                "success before the last row");
  fuzz::Require(fuzz::OpenDescriptors() == descriptors, "descriptor left open");
  return 0;
}
