#include <windows.h>

#include "platform/workers.h"

// The kernel's own threads: the module imports nothing beyond KERNEL32, msvcrt and USER32.
namespace pngtrans::workers {

namespace {

DWORD WINAPI RunShare(LPVOID argument) {
  const Share& share = *static_cast<Share*>(argument);
  share.work(share.context, share.index);
  return 0;
}

}  // namespace

unsigned AvailableProcessors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  unsigned count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process != 0; process &= process - 1) ++count;
  }
  return count > 0 ? count : 1;
}

void RunAll(void (*work)(void*, unsigned), void* context, unsigned count) {
  if (count > kMaxThreads) count = kMaxThreads;
  Share shares[kMaxThreads];
  HANDLE threads[kMaxThreads] = {};
  for (unsigned i = 1; i < count; ++i) {
    shares[i] = {work, context, i};
    threads[i] = CreateThread(nullptr, 0, RunShare, &shares[i], 0, nullptr);
  }
  if (count > 0) work(context, 0);
  for (unsigned i = 1; i < count; ++i) {
    if (threads[i] != nullptr) {
      WaitForSingleObject(threads[i], INFINITE);
      CloseHandle(threads[i]);
    } else {
      work(context, i);
    }
  }
}

}  // namespace pngtrans::workers
