#include "support/module_heap.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <stdio.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace pngtrans::test {

namespace {

struct Counters {
  uint64_t allocations = 0;
  uint64_t failAt = 0;
  int64_t live = 0;
  uint64_t peak = 0;
  // Blocks taken since Reset and their sizes; blocks from before are freed without counting.
  std::map<void*, size_t> blocks;
};

Counters& State() {
  static Counters counters;
  return counters;
}

bool Admit() {
  Counters& c = State();
  ++c.allocations;
  return c.failAt == 0 || c.allocations != c.failAt;
}

void Track(void* block, size_t size) {
  if (block == nullptr) return;
  Counters& c = State();
  c.blocks[block] = size;
  c.live += static_cast<int64_t>(size);
  if (c.live > 0 && static_cast<uint64_t>(c.live) > c.peak) c.peak = static_cast<uint64_t>(c.live);
}

void Untrack(void* block) {
  Counters& c = State();
  auto it = c.blocks.find(block);
  if (it == c.blocks.end()) return;
  c.live -= static_cast<int64_t>(it->second);
  c.blocks.erase(it);
}

// The module's calling convention for the C heap is the C runtime's own: cdecl on both targets.
void* HookMalloc(size_t size) {
  if (!Admit()) return nullptr;
  void* block = std::malloc(size);
  Track(block, size);
  return block;
}

void* HookCalloc(size_t count, size_t size) {
  if (!Admit()) return nullptr;
  void* block = std::calloc(count, size);
  Track(block, count * size);
  return block;
}

void* HookRealloc(void* old, size_t size) {
  if (!Admit()) return nullptr;
  // The old block is forgotten first and remembered again if the C heap keeps it.
  const auto it = State().blocks.find(old);
  const bool tracked = it != State().blocks.end();
  const size_t oldSize = tracked ? it->second : 0;
  Untrack(old);
  void* block = std::realloc(old, size);
  if (block == nullptr && size != 0 && tracked) Track(old, oldSize);
  Track(block, size);
  return block;
}

void HookFree(void* block) {
  Untrack(block);
  std::free(block);
}

// The module's file calls: counted, and the armed one fails.
struct FileFaults {
  uint64_t writes = 0;
  uint64_t reads = 0;
  uint64_t failWrite = 0;
  uint64_t failRead = 0;
  bool shortRead = false;
  bool failFlush = false;
  bool failRename = false;
};

FileFaults& Files() {
  static FileFaults faults;
  return faults;
}

#if defined(_WIN32)
int __cdecl HookWrite(int fd, const void* buffer, unsigned count) {
  if (++Files().writes == Files().failWrite) {
    errno = ENOSPC;
    return -1;
  }
  return _write(fd, buffer, count);
}
int __cdecl HookRead(int fd, void* buffer, unsigned count) {
  if (++Files().reads == Files().failRead)
    return Files().shortRead ? _read(fd, buffer, count / 2) : -1;
  return _read(fd, buffer, count);
}
int __cdecl HookCommit(int fd) {
  return Files().failFlush ? -1 : _commit(fd);
}
// The rename that puts a finished file in place fails as a broken disk would (not as a busy
// target, which the module tries again).
BOOL WINAPI HookMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (Files().failRename) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return MoveFileExA(from, to, flags);
}
#else
ssize_t HookWrite(int fd, const void* buffer, size_t count) {
  if (++Files().writes == Files().failWrite) {
    errno = ENOSPC;
    return -1;
  }
  return write(fd, buffer, count);
}
ssize_t HookRead(int fd, void* buffer, size_t count) {
  if (++Files().reads == Files().failRead) {
    if (!Files().shortRead) {
      errno = EIO;
      return -1;
    }
    return read(fd, buffer, count / 2);
  }
  return read(fd, buffer, count);
}
int HookFsync(int fd) {
  if (Files().failFlush) {
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}
int HookRename(const char* from, const char* to) {
  if (Files().failRename) {
    errno = EXDEV;
    return -1;
  }
  return rename(from, to);
}
#endif

struct Replacement {
  const char* name;
  void* function;
};

const Replacement kReplacements[] = {
    {"malloc", reinterpret_cast<void*>(HookMalloc)},
    {"calloc", reinterpret_cast<void*>(HookCalloc)},
    {"realloc", reinterpret_cast<void*>(HookRealloc)},
    {"free", reinterpret_cast<void*>(HookFree)},
#if defined(_WIN32)
    {"_write", reinterpret_cast<void*>(HookWrite)},
    {"_read", reinterpret_cast<void*>(HookRead)},
    {"_commit", reinterpret_cast<void*>(HookCommit)},
    {"MoveFileExA", reinterpret_cast<void*>(HookMoveFileExA)},
#else
    {"write", reinterpret_cast<void*>(HookWrite)},
    {"read", reinterpret_cast<void*>(HookRead)},
    {"fsync", reinterpret_cast<void*>(HookFsync)},
    {"rename", reinterpret_cast<void*>(HookRename)},
#endif
};

const Replacement* ReplacementFor(const char* name) {
  for (const Replacement& r : kReplacements) {
    if (std::strcmp(r.name, name) == 0) return &r;
  }
  return nullptr;
}

#if defined(_WIN32)

// The DLL takes the C heap from msvcrt.dll through its import table: each slot of the table
// that names a heap function gets the counting one.
bool Redirect(const void* symbol, std::string* error) {
  HMODULE handle = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(symbol), &handle)) {
    *error = "no module holds the export";
    return false;
  }
  auto* base = reinterpret_cast<uint8_t*>(handle);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int replaced = 0;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       imports.VirtualAddress != 0 && d->Name != 0; ++d) {
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
        base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const Replacement* r = ReplacementFor(reinterpret_cast<const char*>(byName->Name));
      if (r == nullptr) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) {
        *error = "import table not writable";
        return false;
      }
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(r->function);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      ++replaced;
    }
  }
  if (replaced == 0) {
    *error = "the module imports no heap function";
    return false;
  }
  return true;
}

#else

struct Search {
  const void* symbol;
  const dl_phdr_info* found;
  dl_phdr_info copy;
};

int FindObject(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  const auto address = reinterpret_cast<ElfW(Addr)>(search->symbol);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& p = info->dlpi_phdr[i];
    const ElfW(Addr) start = info->dlpi_addr + p.p_vaddr;
    if (p.p_type == PT_LOAD && address >= start && address < start + p.p_memsz) {
      search->copy = *info;
      search->found = &search->copy;
      return 1;
    }
  }
  return 0;
}

// The relocation records of the target: i386 has Rel records, x86-64 Rela ones (both for the
// procedure linkage table and the rest).
#if defined(__x86_64__)
using Relocation = ElfW(Rela);
constexpr ElfW(Sxword) kDynamicRelocations = DT_RELA;
constexpr ElfW(Sxword) kDynamicRelocationBytes = DT_RELASZ;
constexpr uint32_t kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr uint32_t kGlobalData = R_X86_64_GLOB_DAT;
uint32_t RelocationType(ElfW(Xword) info) {
  return ELF64_R_TYPE(info);
}
uint32_t RelocationSymbol(ElfW(Xword) info) {
  return ELF64_R_SYM(info);
}
#else
using Relocation = ElfW(Rel);
constexpr ElfW(Sword) kDynamicRelocations = DT_REL;
constexpr ElfW(Sword) kDynamicRelocationBytes = DT_RELSZ;
constexpr uint32_t kJumpSlot = R_386_JMP_SLOT;
constexpr uint32_t kGlobalData = R_386_GLOB_DAT;
uint32_t RelocationType(ElfW(Word) info) {
  return ELF32_R_TYPE(info);
}
uint32_t RelocationSymbol(ElfW(Word) info) {
  return ELF32_R_SYM(info);
}
#endif

// The module reaches the C heap through its global offset table: every relocated slot whose
// symbol is a heap function gets the counting one. The table is read-only after loading (full
// RELRO), so its page is opened for writing first.
bool Redirect(const void* symbol, std::string* error) {
  Search search{symbol, nullptr, {}};
  dl_iterate_phdr(FindObject, &search);
  if (search.found == nullptr) {
    *error = "no loaded object holds the export";
    return false;
  }
  const ElfW(Addr) base = search.found->dlpi_addr;
  const ElfW(Dyn)* dynamic = nullptr;
  for (int i = 0; i < search.found->dlpi_phnum; ++i) {
    const ElfW(Phdr)& p = search.found->dlpi_phdr[i];
    if (p.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + p.p_vaddr);
  }
  if (dynamic == nullptr) {
    *error = "the module has no dynamic section";
    return false;
  }
  // The loader may or may not have relocated the addresses in the dynamic section.
  auto address = [base](ElfW(Addr) a) { return a < base ? a + base : a; };
  const ElfW(Sym)* symbols = nullptr;
  const char* strings = nullptr;
  struct Table {
    ElfW(Addr) start = 0;
    size_t bytes = 0;
  } tables[2];
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB:
        symbols = reinterpret_cast<const ElfW(Sym)*>(address(d->d_un.d_ptr));
        break;
      case DT_STRTAB:
        strings = reinterpret_cast<const char*>(address(d->d_un.d_ptr));
        break;
      case DT_JMPREL:
        tables[0].start = address(d->d_un.d_ptr);
        break;
      case DT_PLTRELSZ:
        tables[0].bytes = d->d_un.d_val;
        break;
      case kDynamicRelocations:
        tables[1].start = address(d->d_un.d_ptr);
        break;
      case kDynamicRelocationBytes:
        tables[1].bytes = d->d_un.d_val;
        break;
      default:
        break;
    }
  }
  if (symbols == nullptr || strings == nullptr) {
    *error = "the module has no symbol table";
    return false;
  }
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  int replaced = 0;
  for (const Table& t : tables) {
    const auto* rel = reinterpret_cast<const Relocation*>(t.start);
    for (size_t i = 0; t.start != 0 && i < t.bytes / sizeof(Relocation); ++i) {
      const uint32_t type = RelocationType(rel[i].r_info);
      if (type != kJumpSlot && type != kGlobalData) continue;
      const Replacement* r =
          ReplacementFor(strings + symbols[RelocationSymbol(rel[i].r_info)].st_name);
      if (r == nullptr) continue;
      auto* slot = reinterpret_cast<void**>(base + rel[i].r_offset);
      const uintptr_t start = reinterpret_cast<uintptr_t>(slot) & ~(page - 1);
      if (mprotect(reinterpret_cast<void*>(start), page, PROT_READ | PROT_WRITE) != 0) {
        *error = "cannot open the offset table for writing";
        return false;
      }
      *slot = r->function;
      ++replaced;
    }
  }
  if (replaced == 0) {
    *error = "the module references no heap function";
    return false;
  }
  return true;
}

#endif

}  // namespace

bool ModuleHeap::Install(const LoadedModule& module, std::string* error) {
#if defined(_WIN32)
  const void* symbol = module.Symbol("_CountXTND");
#else
  const void* symbol = module.Symbol("CountXTND");
#endif
  if (symbol == nullptr) {
    *error = "the module is not loaded";
    return false;
  }
  return Redirect(symbol, error);
}

void ModuleHeap::Reset() {
  Counters& c = State();
  c.allocations = 0;
  c.failAt = 0;
  c.live = 0;
  c.peak = 0;
  c.blocks.clear();
}

void ModuleHeap::FailAllocation(uint64_t n) {
  State().failAt = n;
}

uint64_t ModuleHeap::allocations() {
  return State().allocations;
}

int64_t ModuleHeap::liveBytes() {
  return State().live;
}

uint64_t ModuleHeap::peakBytes() {
  return State().peak;
}

uint64_t ModuleHeap::liveBlocks() {
  return State().blocks.size();
}

}  // namespace pngtrans::test

namespace pngtrans::test {

void ModuleFiles::Reset() {
  Files() = FileFaults{};
}
void ModuleFiles::FailWrite(uint64_t n) {
  Files().failWrite = n;
}
void ModuleFiles::FailRead(uint64_t n, bool shortRead) {
  Files().failRead = n;
  Files().shortRead = shortRead;
}
void ModuleFiles::FailFlush(bool fail) {
  Files().failFlush = fail;
}
void ModuleFiles::FailRename(bool fail) {
  Files().failRename = fail;
}
uint64_t ModuleFiles::writes() {
  return Files().writes;
}
uint64_t ModuleFiles::reads() {
  return Files().reads;
}

}  // namespace pngtrans::test
