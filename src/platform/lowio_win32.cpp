#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

// windows.h names CreateFile as a macro; the file layer has a function of that name.
#undef CreateFile
#include "platform/lowio.h"
#include "platform/replace_parts.h"

namespace pngtrans::lowio {

bool CanRead(const char* path) {
  return path != nullptr && ::_access(path, 4) == 0;
}

int OpenRead(const char* path) {
  if (path == nullptr) return -1;
  return ::_open(path, _O_RDONLY | _O_BINARY);
}

int CreateFile(const char* path) {
  if (path == nullptr) return -1;
  // 0x8302: read-write, create, truncate, binary; 0x180: read and write permission.
  return ::_open(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int32_t Read(int fd, void* buffer, uint32_t count) {
  if (count > static_cast<uint32_t>(INT32_MAX)) return -1;
  return ::_read(fd, buffer, count);
}

int32_t Write(int fd, const void* buffer, uint32_t count) {
  if (count > static_cast<uint32_t>(INT32_MAX)) return -1;
  return ::_write(fd, buffer, count);
}

int32_t SeekRelative(int fd, int32_t offset) {
  return ::_lseek(fd, offset, SEEK_CUR);
}

int64_t BytesLeft(int fd) {
  const int64_t here = ::_lseeki64(fd, 0, SEEK_CUR);
  const int64_t end = here < 0 ? -1 : ::_lseeki64(fd, 0, SEEK_END);
  if (end < 0 || ::_lseeki64(fd, here, SEEK_SET) != here) return -1;
  return end - here;
}

int Close(int fd) {
  return ::_close(fd);
}

}  // namespace pngtrans::lowio

namespace pngtrans::lowio::replace {

const char kMark = '~';

Target Resolve(const char* path, ReplacementFile* file) {
  // The full path: the temporary file goes beside the target whatever the current directory
  // is, and ReplaceFileA (as Wine has it) refuses relative names.
  const DWORD length = GetFullPathNameA(path, sizeof file->target, file->target, nullptr);
  if (length == 0 || length >= sizeof file->target) return Target::InPlace;
  const DWORD attributes = GetFileAttributesA(file->target);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Target::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Target::Refused : Target::Regular;
}

int DirectoryLength(const char* target) {
  const char* slash = std::strrchr(target, '\\');
  const char* other = std::strrchr(target, '/');
  if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
  if (slash == nullptr) slash = std::strchr(target, ':');  // "C:name"
  return slash != nullptr ? static_cast<int>(slash - target + 1) : 0;
}

// The process, the thread, the clock and where the system placed this stack, stirred: the
// kernel's own generators need libraries the module does not import.
uint64_t UnforeseeableNumber() {
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  uint64_t x = static_cast<uint64_t>(counter.QuadPart) ^
               (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
               (static_cast<uint64_t>(GetCurrentThreadId()) << 16) ^ GetTickCount() ^
               reinterpret_cast<uintptr_t>(&counter);
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int CreateNew(const char* path) {
  return ::_open(path, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int OpenExisting(const char* path) {
  return ::_open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
}

bool NameTaken() {
  return errno == EEXIST;
}

// The read-only attribute decides, as Windows' own file dialogs take it.
bool CanWrite(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

// ReplaceFileA carries the attributes and security over itself.
void KeepAttributes(int, const char*) {}

bool Flush(int fd) {
  return ::_commit(fd) == 0;  // FlushFileBuffers
}

bool PutInPlace(const char* temporary, const char* target) {
  if (GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES) {
    return MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  // ReplaceFileA keeps the original's attributes, security and creation time.
  if (ReplaceFileA(target, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) !=
      0) {
    return true;
  }
  // Without a backup name this failure can mean the old file is already gone: then the new
  // one takes its place rather than leaving no file at all.
  return GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
         GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES &&
         MoveFileExA(temporary, target, MOVEFILE_WRITE_THROUGH) != 0;
}

// ReplaceFileA keeps what the folder's security allows; a refusal there is a failure.
bool ReplaceRefused() {
  return false;
}

void Remove(const char* path) {
  DeleteFileA(path);
}

}  // namespace pngtrans::lowio::replace
