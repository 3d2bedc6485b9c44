#include "support/guarded_memory.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace pngtrans::test {

namespace {

struct Mapping {
  void* base;
  size_t length;
};

// Hosts on several threads take and free buffers at once.
std::mutex& MappingsLock() {
  static std::mutex lock;
  return lock;
}

std::map<void*, Mapping>& Mappings() {
  static std::map<void*, Mapping> mappings;
  return mappings;
}

size_t PageSize() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

void* GuardedAlloc(size_t size) {
  const size_t page = PageSize();
  // Sizes near the top of the address space would wrap the page arithmetic below.
  if (size > SIZE_MAX - 2 * page) return nullptr;
  const size_t dataPages = (size + page - 1) / page;
  const size_t length = (dataPages + 1) * page;
#if defined(_WIN32)
  auto* base = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base == nullptr) return nullptr;
  DWORD old = 0;
  VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &old);
#else
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto* base = static_cast<uint8_t*>(mapped);
  mprotect(base + dataPages * page, page, PROT_NONE);
#endif
  uint8_t* block = base + dataPages * page - size;
  std::memset(block, 0xCD, size);
  const std::lock_guard<std::mutex> hold(MappingsLock());
  Mappings()[block] = Mapping{base, length};
  return block;
}

void GuardedFree(void* block) {
  const std::lock_guard<std::mutex> hold(MappingsLock());
  auto it = Mappings().find(block);
  if (it == Mappings().end()) return;
#if defined(_WIN32)
  VirtualFree(it->second.base, 0, MEM_RELEASE);
#else
  munmap(it->second.base, it->second.length);
#endif
  Mappings().erase(it);
}

}  // namespace pngtrans::test
