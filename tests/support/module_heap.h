// Watches the C heap of the loaded module only: the module's own references to malloc,
// calloc, realloc and free (its GOT entries on Linux, its msvcrt imports in the DLL) are
// pointed at counting functions, so a test can fail the n-th allocation the module makes and
// see the bytes the module holds and the peak it reached. zlib's blocks come through the
// module's zlibAllocate and are seen too; the host's buffers and the test's own allocations
// are not. The product is unchanged: only the loaded copy in the test's address space is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/module_loader.h"

namespace pngtrans::test {

class ModuleHeap {
 public:
  // Redirects the module's heap functions (again after every load); false with error set when
  // the module's tables cannot be found or changed.
  static bool Install(const LoadedModule& module, std::string* error);

  // Counters to zero and no failure armed.
  static void Reset();
  // Allocation number n (counting from 1 after Reset) returns null; 0 disarms.
  static void FailAllocation(uint64_t n);

  static uint64_t allocations();  // allocation calls since Reset, failed ones included
  static int64_t liveBytes();     // bytes the module holds that it took since Reset
  static uint64_t peakBytes();    // the most it held at once since Reset
  static uint64_t liveBlocks();
};

// The module's file calls, redirected by the same Install: write and read counted (from 1 after
// Reset), the armed one failing (a full disk) or, for reads, coming back half as long; the
// flush to the disk and the replacing rename (MoveFileExA on Windows) failing on request.
class ModuleFiles {
 public:
  static void Reset();
  static void FailWrite(uint64_t n);
  static void FailRead(uint64_t n, bool shortRead);
  static void FailFlush(bool fail);
  static void FailRename(bool fail);
  static uint64_t writes();
  static uint64_t reads();
};

}  // namespace pngtrans::test
