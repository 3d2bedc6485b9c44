// The per-target pieces of the replacement file (lowio.h): replace_file.cpp holds the steps
// every target takes, lowio_posix.cpp and lowio_win32.cpp these.
#pragma once

#include <cstdint>

#include "platform/lowio.h"

namespace pngtrans::lowio::replace {

enum class Target {
  Missing,  // no file yet: the temporary file is moved into place
  Regular,  // a file to replace
  InPlace,  // to be written in place (a dangling link, a path too long to copy)
  Device,   // a device or pipe: written in place, with nothing to flush to a disk
  Refused,  // nothing can be written there (a directory)
};

// Fills file->target with the file to replace (a link's target, a full path) and says what is
// there.
Target Resolve(const char* path, ReplacementFile* file);

// Bytes of target up to and including its last separator.
int DirectoryLength(const char* target);

// The character that starts a temporary file's name: hidden on POSIX, marked on Windows.
extern const char kMark;

// The longest full path the file functions take (MAX_PATH - 1 on Windows).
extern const int kMaxPathLength;

// A number no other process can foresee, for the temporary file's name: a user who may
// write into the target's directory cannot plant a file or link there in advance.
uint64_t UnforeseeableNumber();

// Creates a file exclusively (read and write, 0666 under the umask), never through a link;
// -1 when it cannot.
int CreateNew(const char* path);

// Opens an existing file to be rewritten (truncated), without creating one; -1 when it cannot.
int OpenExisting(const char* path);

// After a failed CreateNew: the name was taken, so another may do.
bool NameTaken();

// The caller may write the existing file: access(W_OK) on POSIX (so root may), the read-only
// attribute on Windows.
bool CanWrite(const char* path);

// Carries the replaced file's permission bits (and owner, where it may) over to fd.
void KeepAttributes(int fd, const char* target);

// Flushes fd to the disk; true on success.
bool Flush(int fd);

// Puts the complete temporary file in the target's place in one step.
bool PutInPlace(const char* temporary, const char* target);

// After a failed PutInPlace: another handle holds the target for now (a sharing violation), so
// that a later try may succeed.
bool TargetBusy();

// Waits the given milliseconds.
void Pause(unsigned milliseconds);

// After a failed PutInPlace: the directory forbids this caller to replace the target (a sticky
// directory, a file of another owner), though the caller may write the file itself.
bool ReplaceRefused();

void Remove(const char* path);

}  // namespace pngtrans::lowio::replace
