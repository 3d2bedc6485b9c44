#include <cerrno>
#include <climits>

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
