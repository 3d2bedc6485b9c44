#include <climits>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

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
