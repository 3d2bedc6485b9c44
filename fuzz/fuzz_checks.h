// What every fuzz target checks after each command: a broken invariant prints what broke and
// aborts, so libFuzzer keeps the input as a crasher.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace pngtrans::fuzz
