// Hostile input for the import: a set of valid files of every colour type, depth and
// interlace carrying every chunk the reader knows (the seeds of the mutation suite and of the
// fuzzers), the table of mutation kinds applied to them, and the invariants every import and
// probe must keep whatever the file holds. No gtest here: the fuzzers use it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"

namespace pngtrans::test {

struct SeedFile {
  std::string name;
  Bytes bytes;
};

// Every colour type × bit depth × interlace, small images with the ancillary chunks in their
// places (gAMA, cHRM and sBIT before PLTE; tRNS, bKGD, hIST, pHYs, oFFs, pCAL, tIME, tEXt,
// zTXt after it), the image data over several IDAT chunks and a title after the image.
std::vector<SeedFile> SeedPngFiles();

// One way of damaging a file; seed picks where and how.
struct MutationKind {
  const char* name;
  Bytes (*apply)(const Bytes& file, uint32_t seed);
};
const std::vector<MutationKind>& MutationKinds();

// The failures the outcome of a command shows, or an empty string. ret is the procedure's
// return value, result the header's result after the call.
// Command 3: return value and result agree, the status is one of the five, release is called
// at most once and only after a failure (never for a wrong signature or a missing file).
std::string ImportOutcomeFaults(int ret, uint16_t result, int releaseCalls);
// Commands 5 (with an information image) and 9: the probe's status is the result, and the
// return value agrees with it; the status is one of the five.
std::string ProbeOutcomeFaults(int ret, uint16_t result);

bool IsKnownStatus(uint16_t status);

}  // namespace pngtrans::test
