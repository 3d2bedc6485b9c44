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

// A file written in place of another without risking it: the bytes go to a new temporary file
// in the target's own directory, which takes the target's place in one step (rename; on
// Windows MoveFileExA) only once it is complete and flushed to the disk. Until
// then, and after any failure, the target is exactly as it was, or still absent.
// The paths live in the record itself: nothing is allocated.
struct ReplacementFile {
  static constexpr int kPathBytes = 4096 + 64;
  int fd = -1;
  bool inPlace = false;     // the target opened with create + truncate, as a last resort
  bool device = false;      // the target is a device (NUL, /dev/null): nothing to flush
  char target[kPathBytes];  // the file replaced (a symbolic link's target, not the link)
  char temporary[kPathBytes];
};

// Creates the temporary file beside the target (exclusively, read and write, 0666 under the
// umask; an existing target's permission bits carried over). Where the directory takes no new
// file but the target itself is writable, or the target is no regular file, it opens the
// target in place instead. Returns the descriptor, -1 when no file could be opened.
int BeginReplace(const char* path, ReplacementFile* file);

// Flushes the file to the disk, closes it and puts it in the target's place. False when any
// step fails: the temporary file is then removed and the target left as it was.
bool CommitReplace(ReplacementFile* file);

// Closes and removes the temporary file after a failed write; the target stays as it was.
void AbortReplace(ReplacementFile* file);

}  // namespace pngtrans::lowio
