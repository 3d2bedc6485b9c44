// What every fuzz target checks after each command: a broken invariant prints what broke and
// aborts, so libFuzzer keeps the input as a crasher.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/host_image.h"
#include "support/files.h"

namespace pngtrans::fuzz {

inline void Require(bool holds, const std::string& what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}

inline void RequireNoFaults(const std::string& faults, const char* command) {
  Require(faults.empty(), std::string(command) + ": " + faults);
}

// Descriptors the process has open; the commands must leave the count as they found it.
inline int OpenDescriptors() {
  return test::OpenCrtDescriptorCount(64);
}

// The progress of one command: never beyond its total, the total fixed, never going back.
// ResetProgress before each command; CheckProgress is the command's progress callback.
struct ProgressSeen {
  int32_t total = -1;
  int32_t done = -1;
};
inline ProgressSeen progressSeen;

inline void ResetProgress() {
  progressSeen = ProgressSeen();
}

inline void PT_CDECL CheckProgress(int32_t done, int32_t total) {
  Require(total >= 0 && done >= 0 && done <= total, "progress beyond its total");
  Require(progressSeen.total < 0 || total == progressSeen.total, "progress total changed");
  Require(done >= progressSeen.done, "progress went back");
  progressSeen.total = total;
  progressSeen.done = done;
}

}  // namespace pngtrans::fuzz
