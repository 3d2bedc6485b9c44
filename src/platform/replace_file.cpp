// The replacement file: the steps every target takes, over the pieces of replace_parts.h.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/lowio.h"
#include "platform/replace_parts.h"

namespace pngtrans::lowio {

namespace {

// Tells the temporary files of one process apart (threads may save at once).
std::atomic<uint32_t> replaceCount{0};

int OpenInPlace(const char* path, ReplacementFile* file) {
  file->inPlace = true;
  file->fd = CreateFile(path);
  return file->fd;
}

// The finished temporary file copied over the target's own bytes, for a directory that will
// not let the caller replace the target: only here can a failure leave a partial file.
bool CopyInPlace(const char* temporary, const char* target) {
  const int from = OpenRead(temporary);
  if (from < 0) return false;
  const int to = replace::OpenExisting(target);
  bool ok = to >= 0;
  uint8_t buffer[16384];
  while (ok) {
    const int32_t n = Read(from, buffer, sizeof buffer);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = Write(to, buffer, static_cast<uint32_t>(n)) == n;
  }
  if (to >= 0) {
    ok = ok && replace::Flush(to);
    ok = Close(to) == 0 && ok;
  }
  Close(from);
  return ok;
}

}  // namespace

int BeginReplace(const char* path, ReplacementFile* file) {
  file->fd = -1;
  file->inPlace = false;
  file->device = false;
  file->temporary[0] = '\0';
  if (path == nullptr) return -1;
  const replace::Target target = replace::Resolve(path, file);
  if (target == replace::Target::Refused) return -1;
  // A file the caller may not write is not replaced either, though its directory would take
  // the new one: a user who marked it read-only keeps it.
  if (target == replace::Target::Regular && !replace::CanWrite(file->target)) {
    errno = EACCES;  // what the caller is told, whichever test said no
    return -1;
  }
  if (target == replace::Target::InPlace) return OpenInPlace(path, file);
  if (target == replace::Target::Device) {
    file->device = true;
    return OpenInPlace(path, file);
  }

  const int directoryLength = replace::DirectoryLength(file->target);
  const char* base = file->target + directoryLength;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Twelve hexadecimal digits nobody can foresee: the count keeps the names of one process's
    // threads apart should two numbers ever meet.
    const uint64_t tag =
        (replace::UnforeseeableNumber() + replaceCount.fetch_add(1)) & 0xFFFFFFFFFFFFull;
    int n = std::snprintf(file->temporary, sizeof file->temporary, "%.*s%c%.100s.pngtrans-%04x%08x",
                          directoryLength, file->target, replace::kMark, base,
                          static_cast<unsigned>(tag >> 32), static_cast<unsigned>(tag));
    // A name the system's path limit cannot take becomes a short one in the same directory;
    // where even that does not fit, the target is written in place.
    if (n < 0 || n > replace::kMaxPathLength) {
      n = std::snprintf(file->temporary, sizeof file->temporary, "%.*s%cpt%08x.tmp",
                        directoryLength, file->target, replace::kMark, static_cast<unsigned>(tag));
    }
    if (n < 0 || n > replace::kMaxPathLength) {
      file->temporary[0] = '\0';
      return OpenInPlace(file->target, file);
    }
    file->fd = replace::CreateNew(file->temporary);
    if (file->fd >= 0) {
      if (target == replace::Target::Regular) replace::KeepAttributes(file->fd, file->target);
      return file->fd;
    }
    if (!replace::NameTaken()) break;
  }
  // A directory that takes no new file: the target (which may be written) is written in place.
  file->temporary[0] = '\0';
  if (target == replace::Target::Regular) return OpenInPlace(file->target, file);
  return -1;
}

bool CommitReplace(ReplacementFile* file) {
  if (file->fd < 0) return false;
  // A device has no disk to flush to (and says so with an error on Windows).
  bool ok = file->device || replace::Flush(file->fd);
  ok = Close(file->fd) == 0 && ok;
  file->fd = -1;
  if (file->inPlace) return ok;
  // Another handle on the target (an import running beside, another program) can hold the
  // replacement off for a moment: a few more tries, within half a second, before giving up.
  bool moved = ok && replace::PutInPlace(file->temporary, file->target);
  for (int retry = 0; ok && !moved && retry < 10 && replace::TargetBusy(); ++retry) {
    replace::Pause(50);
    moved = replace::PutInPlace(file->temporary, file->target);
  }
  // A directory that lets the caller create files but not replace this one: the target, which
  // the caller may write, takes the finished bytes in place.
  if (ok && !moved) ok = replace::ReplaceRefused() && CopyInPlace(file->temporary, file->target);
  if (!moved) replace::Remove(file->temporary);
  file->temporary[0] = '\0';
  return ok;
}

void AbortReplace(ReplacementFile* file) {
  if (file->fd >= 0) Close(file->fd);
  file->fd = -1;
  if (!file->inPlace && file->temporary[0] != '\0') replace::Remove(file->temporary);
  file->temporary[0] = '\0';
}

}  // namespace pngtrans::lowio
