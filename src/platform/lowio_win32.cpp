#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

// windows.h names CreateFile as a macro; the file layer has a function of that name.
#undef CreateFile
#include "platform/lowio.h"

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

namespace pngtrans::lowio {

namespace {

// Tells the temporary files of one process apart (threads may save at once).
std::atomic<uint32_t> replaceCount{0};

int OpenInPlace(const char* path, ReplacementFile* file) {
  file->inPlace = true;
  file->fd = CreateFile(path);
  return file->fd;
}

}  // namespace

int BeginReplace(const char* path, ReplacementFile* file) {
  file->fd = -1;
  file->inPlace = false;
  file->temporary[0] = '\0';
  if (path == nullptr) return -1;
  const size_t length = std::strlen(path);
  if (length >= sizeof file->target) return OpenInPlace(path, file);
  std::memcpy(file->target, path, length + 1);
  const DWORD attributes = GetFileAttributesA(path);
  const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
  if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;

  const char* slash = std::strrchr(file->target, '\\');
  const char* other = std::strrchr(file->target, '/');
  if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
  if (slash == nullptr) slash = std::strchr(file->target, ':');  // "C:name"
  const int directoryLength = slash != nullptr ? static_cast<int>(slash - file->target + 1) : 0;
  const char* base = file->target + directoryLength;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int n = std::snprintf(file->temporary, sizeof file->temporary,
                                "%.*s~%.100s.pngtrans-%lu-%u", directoryLength, file->target, base,
                                static_cast<unsigned long>(GetCurrentProcessId()),
                                replaceCount.fetch_add(1));
    if (n < 0 || n >= static_cast<int>(sizeof file->temporary)) return OpenInPlace(path, file);
    file->fd = ::_open(file->temporary, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY,
                       _S_IREAD | _S_IWRITE);
    if (file->fd >= 0) break;
    if (errno == EEXIST) continue;
    // A directory that takes no new file: the target is written in place when it may be.
    file->temporary[0] = '\0';
    if (existed && ::_access(path, 2) == 0) return OpenInPlace(path, file);
    return -1;
  }
  if (file->fd < 0) file->temporary[0] = '\0';
  return file->fd;
}

bool CommitReplace(ReplacementFile* file) {
  if (file->fd < 0) return false;
  bool ok = ::_commit(file->fd) == 0;  // FlushFileBuffers
  ok = ::_close(file->fd) == 0 && ok;
  file->fd = -1;
  if (file->inPlace) return ok;
  if (ok) {
    if (GetFileAttributesA(file->target) != INVALID_FILE_ATTRIBUTES) {
      // ReplaceFileA keeps the original's attributes, security and creation time.
      ok = ReplaceFileA(file->target, file->temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                        nullptr, nullptr) != 0;
      // Without a backup name this failure can mean the old file is already gone: then the
      // new one takes its place rather than leaving no file at all.
      if (!ok && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
          GetFileAttributesA(file->target) == INVALID_FILE_ATTRIBUTES) {
        ok = MoveFileExA(file->temporary, file->target, MOVEFILE_WRITE_THROUGH) != 0;
      }
    } else {
      ok = MoveFileExA(file->temporary, file->target,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
  }
  if (!ok) DeleteFileA(file->temporary);
  file->temporary[0] = '\0';
  return ok;
}

void AbortReplace(ReplacementFile* file) {
  if (file->fd >= 0) ::_close(file->fd);
  file->fd = -1;
  if (!file->inPlace && file->temporary[0] != '\0') DeleteFileA(file->temporary);
  file->temporary[0] = '\0';
}

}  // namespace pngtrans::lowio
