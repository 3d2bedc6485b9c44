// Unbuffered descriptor file I/O: the C runtime's low-level functions on Windows, POSIX on
// Linux. Nothing is read ahead; the file position is always just after the last byte consumed.
#pragma once

#include <cstdint>

namespace pngtrans::lowio {

// True when the file exists and may be read (the run-time access test for read permission).
bool CanRead(const char* path);

// Opens read-only in binary mode; -1 on failure.
int OpenRead(const char* path);

// Creates (or truncates) for reading and writing in binary mode, permission read and write
// (0666 under the umask on POSIX); -1 on failure.
int CreateFile(const char* path);

// Reads up to count bytes; returns the number read (fewer only at end of file) or -1.
int32_t Read(int fd, void* buffer, uint32_t count);

// Writes count bytes; returns the number written or -1.
int32_t Write(int fd, const void* buffer, uint32_t count);

// Moves the position by offset bytes from where it is; returns the new position or -1.
int32_t SeekRelative(int fd, int32_t offset);

// Bytes from the position to the end of the file, the position left where it was; -1 when
// unknown.
int64_t BytesLeft(int fd);

// Closes the descriptor; 0 on success.
int Close(int fd);

}  // namespace pngtrans::lowio
