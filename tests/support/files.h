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
// A fresh directory that an unprivileged user may create files in (POSIX: mode 0777 under a
// scratch directory others may pass through).
std::string SharedDirectory(const std::string& name);
// Marks a file read-only: mode 0444 on POSIX, the read-only attribute on Windows; and whether
// it still is.
bool MakeReadOnly(const std::string& path);
bool IsReadOnly(const std::string& path);
// Runs run as a user without privileges and returns what it returned (0-255): in a child
// process as nobody where this process is root (a root's writes pass every permission check),
// else here. -1 with *why set when no such user can be had.
int AsUnprivilegedUser(int (*run)(void*), void* context, std::string* why);
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
