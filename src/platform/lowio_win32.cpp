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

const int kMaxPathLength = MAX_PATH - 1;

Target Resolve(const char* path, ReplacementFile* file) {
  // The full path: the temporary file goes beside the target whatever the current directory
  // is.
  const DWORD length = GetFullPathNameA(path, sizeof file->target, file->target, nullptr);
  if (length == 0 || length >= sizeof file->target) return Target::InPlace;
  // Devices (NUL, CON, \\.\ names) are written as they always were, like a POSIX device.
  if (std::strncmp(file->target, "\\\\.\\", 4) == 0) return Target::Device;
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

// The old file's creation time goes to the new one; its attributes follow in PutInPlace.
void KeepAttributes(int fd, const char* target) {
  HANDLE old = ::CreateFileA(target, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (old == INVALID_HANDLE_VALUE) return;
  FILETIME created;
  if (GetFileTime(old, &created, nullptr, nullptr)) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle != INVALID_HANDLE_VALUE) (void)SetFileTime(handle, &created, nullptr, nullptr);
  }
  CloseHandle(old);
}

bool Flush(int fd) {
  return ::_commit(fd) == 0;  // FlushFileBuffers
}

// One rename over the target: it is never missing in between (the system's ReplaceFile moves
// the old file aside first, and leaves files of its own behind when it fails). The old file's
// attributes go over first; its creation time went with KeepAttributes.
bool PutInPlace(const char* temporary, const char* target) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD attributes = GetFileAttributesA(target);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kKept) != 0) {
    (void)SetFileAttributesA(temporary, attributes & kKept);
  }
  return MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool TargetBusy() {
  switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:  // a file open without FILE_SHARE_DELETE, or being deleted
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return true;
    default:
      return false;
  }
}

void Pause(unsigned milliseconds) {
  Sleep(milliseconds);
}

// A folder whose security refuses the rename refuses writing in it too.
bool ReplaceRefused() {
  return false;
}

void Remove(const char* path) {
  DeleteFileA(path);
}

}  // namespace pngtrans::lowio::replace
