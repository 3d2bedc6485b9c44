#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/lowio.h"

namespace pngtrans::lowio {

namespace {
// POSIX may split a transfer (signals, pipes); the callers want exact counts, so the transfer
// goes on until it is complete, the file ends, or an error occurs.
template <typename Op>
int32_t TransferAll(Op op, uint32_t count) {
  if (count > static_cast<uint32_t>(INT32_MAX)) return -1;
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = op(done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(done);
}
}  // namespace

bool CanRead(const char* path) {
  return path != nullptr && ::access(path, R_OK) == 0;
}

int OpenRead(const char* path) {
  if (path == nullptr) return -1;
  return ::open(path, O_RDONLY | O_CLOEXEC);
}

int CreateFile(const char* path) {
  if (path == nullptr) return -1;
  return ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int32_t Read(int fd, void* buffer, uint32_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return TransferAll([&](uint32_t at, uint32_t n) { return ::read(fd, bytes + at, n); }, count);
}

int32_t Write(int fd, const void* buffer, uint32_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return TransferAll([&](uint32_t at, uint32_t n) { return ::write(fd, bytes + at, n); }, count);
}

int32_t SeekRelative(int fd, int32_t offset) {
  const off_t position = ::lseek(fd, offset, SEEK_CUR);
  if (position < 0 || position > INT32_MAX) return -1;
  return static_cast<int32_t>(position);
}

int64_t BytesLeft(int fd) {
  const off_t here = ::lseek(fd, 0, SEEK_CUR);
  const off_t end = here < 0 ? -1 : ::lseek(fd, 0, SEEK_END);
  if (end < 0 || ::lseek(fd, here, SEEK_SET) != here) return -1;
  return static_cast<int64_t>(end - here);
}

int Close(int fd) {
  return ::close(fd);
}

}  // namespace pngtrans::lowio

namespace pngtrans::lowio {

namespace {

// Tells the temporary files of one process apart (threads may save at once).
std::atomic<uint32_t> replaceCount{0};

bool CopyPath(char* out, const char* path) {
  const size_t length = std::strlen(path);
  if (length >= ReplacementFile::kPathBytes) return false;
  std::memcpy(out, path, length + 1);
  return true;
}

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
  // A symbolic link stays a link: the file it points to is the one replaced. A dangling link
  // is written through, as opening it for writing always did.
  struct stat link;
  if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr || !CopyPath(file->target, resolved))
      return OpenInPlace(path, file);
  } else if (!CopyPath(file->target, path)) {
    return OpenInPlace(path, file);
  }
  struct stat old;
  const bool existed = ::stat(file->target, &old) == 0;
  // Devices, pipes and the like are written as they always were.
  if (existed && !S_ISREG(old.st_mode)) return OpenInPlace(file->target, file);

  const char* slash = std::strrchr(file->target, '/');
  const int directoryLength = slash != nullptr ? static_cast<int>(slash - file->target + 1) : 0;
  const char* base = file->target + directoryLength;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int n = std::snprintf(file->temporary, sizeof file->temporary, "%.*s.%.100s.pngtrans-%ld-%u",
                                directoryLength, file->target, base, static_cast<long>(::getpid()),
                                replaceCount.fetch_add(1));
    if (n < 0 || n >= static_cast<int>(sizeof file->temporary)) return OpenInPlace(file->target, file);
    file->fd = ::open(file->temporary, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file->fd >= 0) break;
    if (errno == EEXIST || errno == EINTR) continue;
    // A directory that takes no new file: the target is written in place when it may be.
    file->temporary[0] = '\0';
    if (existed && ::access(file->target, W_OK) == 0) return OpenInPlace(file->target, file);
    return -1;
  }
  if (file->fd < 0) {
    file->temporary[0] = '\0';
    return -1;
  }
  if (existed) {
    (void)::fchmod(file->fd, old.st_mode & 07777);
    // The owner stays where the process may keep it (as root); otherwise it becomes the saver.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
      (void)::fchown(file->fd, old.st_uid, old.st_gid);
  }
  return file->fd;
}

bool CommitReplace(ReplacementFile* file) {
  if (file->fd < 0) return false;
  bool ok = ::fsync(file->fd) == 0;
  ok = ::close(file->fd) == 0 && ok;
  file->fd = -1;
  if (file->inPlace) return ok;
  if (ok) ok = ::rename(file->temporary, file->target) == 0;
  if (!ok) {
    ::unlink(file->temporary);
  } else {
    // The rename itself reaches the disk with the directory.
    char directory[ReplacementFile::kPathBytes];
    std::memcpy(directory, file->target, sizeof directory);
    char* slash = std::strrchr(directory, '/');
    if (slash != nullptr) {
      slash[1] = '\0';
    } else {
      std::strcpy(directory, ".");
    }
    const int dir = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      (void)::fsync(dir);
      ::close(dir);
    }
  }
  file->temporary[0] = '\0';
  return ok;
}

void AbortReplace(ReplacementFile* file) {
  if (file->fd >= 0) ::close(file->fd);
  file->fd = -1;
  if (!file->inPlace && file->temporary[0] != '\0') ::unlink(file->temporary);
  file->temporary[0] = '\0';
}

}  // namespace pngtrans::lowio
