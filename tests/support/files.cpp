#include "support/files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace pngtrans::test {

namespace {

// A directory no earlier run has used: process ids repeat (under Wine soon), and a file an
// earlier run left at the same name would pass for one this run wrote.
const std::string& ScratchDir() {
  static const std::string dir = [] {
#if defined(_WIN32)
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    const std::string stem = std::string(base) + "pngtrans-" + std::to_string(_getpid()) + "-" +
                             std::to_string(GetTickCount()) + "-";
    std::string d;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      d = stem + std::to_string(attempt);
      if (CreateDirectoryA(d.c_str(), nullptr)) break;
    }
    return d + "\\";
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pngtrans-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
#endif
  }();
  return dir;
}

}  // namespace

std::string TempPath(const std::string& name) {
  static int counter = 0;
  return ScratchDir() + std::to_string(++counter) + "-" + name;
}

std::string TempDirectory(const std::string& name) {
  const std::string path = TempPath(name);
#if defined(_WIN32)
  CreateDirectoryA(path.c_str(), nullptr);
#else
  mkdir(path.c_str(), 0755);
#endif
  return path;
}

std::string SharedDirectory(const std::string& name) {
  const std::string path = TempPath(name);
#if defined(_WIN32)
  CreateDirectoryA(path.c_str(), nullptr);
#else
  const std::string scratch = ScratchDir();
  chmod(scratch.substr(0, scratch.size() - 1).c_str(), 0711);
  mkdir(path.c_str(), 0777);
  chmod(path.c_str(), 0777);
#endif
  return path;
}

bool MakeReadOnly(const std::string& path) {
#if defined(_WIN32)
  return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
#else
  return chmod(path.c_str(), 0444) == 0;
#endif
}

bool IsReadOnly(const std::string& path) {
#if defined(_WIN32)
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
#else
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0444;
#endif
}

int AsUnprivilegedUser(int (*run)(void*), void* context, std::string* why) {
#if defined(_WIN32)
  (void)why;
  return run(context);
#else
  if (geteuid() != 0) return run(context);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    *why = "fork failed";
    return -1;
  }
  if (child == 0) {
    // nobody and nogroup on Debian.
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
    _exit(run(context) & 0xFF);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    *why = "the unprivileged child did not finish";
    return -1;
  }
  if (WEXITSTATUS(status) == 255) {
    *why = "cannot become the user nobody";
    return -1;
  }
  return WEXITSTATUS(status);
#endif
}

std::vector<std::string> ListDirectory(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* d = opendir(directory.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool ReadFileBytes(const std::string& path, Bytes* bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes->insert(bytes->end(), buffer, buffer + n);
  std::fclose(f);
  return true;
}

void RemoveFile(const std::string& path) {
  std::remove(path.c_str());
}

int OpenDescriptorCount() {
#if defined(_WIN32)
  return OpenCrtDescriptorCount();
#else
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
#endif
}

int OpenCrtDescriptorCount(int limit) {
  int count = 0;
  for (int fd = 0; fd < limit; ++fd) {
#if defined(_WIN32)
    if (_get_osfhandle(fd) != -1) ++count;
#else
    if (fcntl(fd, F_GETFD) != -1) ++count;
#endif
  }
  return count;
}

}  // namespace pngtrans::test
