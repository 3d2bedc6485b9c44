// Temporary files for tests, and whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pngtrans::test {

using Bytes = std::vector<uint8_t>;

// A fresh path in this process's scratch directory (created on first use); name is a hint.
std::string TempPath(const std::string& name);

// A fresh, empty directory in the scratch directory (created here).
std::string TempDirectory(const std::string& name);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& directory);

bool WriteFileBytes(const std::string& path, const Bytes& bytes);
bool ReadFileBytes(const std::string& path, Bytes* bytes);
void RemoveFile(const std::string& path);

// Number of descriptors this process has open (Linux: /proc/self/fd; -1 where unknown).
// Tests compare it before and after a call to catch descriptors left open.
int OpenDescriptorCount();

// Descriptors 0..limit that are open (works on both targets via the C runtime).
int OpenCrtDescriptorCount(int limit = 256);

}  // namespace pngtrans::test
