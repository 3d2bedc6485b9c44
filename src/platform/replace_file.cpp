// The replacement file: the steps every target takes, over the pieces of replace_parts.h.
#include <atomic>
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

}  // namespace

int BeginReplace(const char* path, ReplacementFile* file) {
  file->fd = -1;
  file->inPlace = false;
  file->temporary[0] = '\0';
  if (path == nullptr) return -1;
  const replace::Target target = replace::Resolve(path, file);
  if (target == replace::Target::Refused) return -1;
  // A file the caller may not write is not replaced either, though its directory would take
  // the new one: a user who marked it read-only keeps it.
  if (target == replace::Target::Regular && !replace::CanWrite(file->target)) return -1;
  if (target == replace::Target::InPlace) return OpenInPlace(path, file);

  const int directoryLength = replace::DirectoryLength(file->target);
  const char* base = file->target + directoryLength;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int n = std::snprintf(
        file->temporary, sizeof file->temporary, "%.*s%c%.100s.pngtrans-%lu-%u", directoryLength,
        file->target, replace::kMark, base, replace::ProcessId(), replaceCount.fetch_add(1));
    if (n < 0 || n >= static_cast<int>(sizeof file->temporary)) {
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
  bool ok = replace::Flush(file->fd);
  ok = Close(file->fd) == 0 && ok;
  file->fd = -1;
  if (file->inPlace) return ok;
  ok = ok && replace::PutInPlace(file->temporary, file->target);
  if (!ok) replace::Remove(file->temporary);
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
