#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/lowio.h"
#include "platform/replace_parts.h"

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

namespace pngtrans::lowio::replace {

namespace {

bool CopyPath(char* out, const char* path) {
  const size_t length = std::strlen(path);
  if (length >= ReplacementFile::kPathBytes) return false;
  std::memcpy(out, path, length + 1);
  return true;
}

}  // namespace

const char kMark = '.';

const int kMaxPathLength = ReplacementFile::kPathBytes - 1;

Target Resolve(const char* path, ReplacementFile* file) {
  // A symbolic link stays a link: the file it points to is the one replaced. A dangling link
  // is written through, as opening it for writing always did.
  struct stat link;
  if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr || !CopyPath(file->target, resolved))
      return Target::InPlace;
  } else if (!CopyPath(file->target, path)) {
    return Target::InPlace;
  }
  struct stat old;
  if (::stat(file->target, &old) != 0) return Target::Missing;
  // Devices, pipes and the like are written as they always were.
  if (S_ISDIR(old.st_mode)) return Target::InPlace;  // fails to open, as it always did
  return S_ISREG(old.st_mode) ? Target::Regular : Target::Device;
}

int DirectoryLength(const char* target) {
  const char* slash = std::strrchr(target, '/');
  return slash != nullptr ? static_cast<int>(slash - target + 1) : 0;
}

uint64_t UnforeseeableNumber() {
  uint64_t number = 0;
  if (::getrandom(&number, sizeof number, 0) == static_cast<ssize_t>(sizeof number)) return number;
  // Without the kernel's generator, its device; the process and the clock only as a last
  // resort (the exclusive creation still refuses any file or link planted there).
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t n = ::read(fd, &number, sizeof number);
    ::close(fd);
    if (n == static_cast<ssize_t>(sizeof number)) return number;
  }
  struct timespec now = {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<uint64_t>(::getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
         (static_cast<uint64_t>(now.tv_sec) << 20);
}

int CreateNew(const char* path) {
  return ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int OpenExisting(const char* path) {
  return ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
}

bool NameTaken() {
  return errno == EEXIST || errno == EINTR;
}

bool CanWrite(const char* path) {
  return ::access(path, W_OK) == 0;
}

void KeepAttributes(int fd, const char* target) {
  struct stat old;
  if (::stat(target, &old) != 0) return;
  (void)::fchmod(fd, old.st_mode & 07777);
  // The owner stays where the process may keep it (as root); otherwise it becomes the saver.
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
    (void)::fchown(fd, old.st_uid, old.st_gid);
}

bool Flush(int fd) {
  return ::fsync(fd) == 0;
}

bool PutInPlace(const char* temporary, const char* target) {
  if (::rename(temporary, target) != 0) return false;
  // The rename itself reaches the disk with the directory.
  char directory[ReplacementFile::kPathBytes] = ".";
  const int length = DirectoryLength(target);
  if (length > 0) {
    std::memcpy(directory, target, length);
    directory[length] = '\0';
  }
  const int dir = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

// rename replaces whatever holds the target open.
bool TargetBusy() {
  return false;
}

void Pause(unsigned milliseconds) {
  struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000};
  ::nanosleep(&wait, nullptr);
}

bool ReplaceRefused() {
  return errno == EPERM || errno == EACCES;
}

void Remove(const char* path) {
  ::unlink(path);
}

}  // namespace pngtrans::lowio::replace
