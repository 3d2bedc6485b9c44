#include <windows.h>

#include "platform/thread_slot.h"

namespace pngtrans::threadslot {

namespace {

// The TLS index, taken on first use by whichever thread comes first, and given back when the
// module is unloaded (hosts and tests load and unload it many times).
volatile LONG slot = static_cast<LONG>(TLS_OUT_OF_INDEXES);

DWORD Index() {
  const LONG known = slot;
  if (known != static_cast<LONG>(TLS_OUT_OF_INDEXES)) return static_cast<DWORD>(known);
  const DWORD fresh = TlsAlloc();
  if (fresh == TLS_OUT_OF_INDEXES) return fresh;
  const LONG before = InterlockedCompareExchange(&slot, static_cast<LONG>(fresh),
                                                 static_cast<LONG>(TLS_OUT_OF_INDEXES));
  if (before == static_cast<LONG>(TLS_OUT_OF_INDEXES)) return fresh;
  TlsFree(fresh);  // another thread was first
  return static_cast<DWORD>(before);
}

struct SlotRelease {
  ~SlotRelease() {
    if (slot != static_cast<LONG>(TLS_OUT_OF_INDEXES)) TlsFree(static_cast<DWORD>(slot));
  }
} slotRelease;

}  // namespace

void* Get() {
  const LONG known = slot;
  if (known == static_cast<LONG>(TLS_OUT_OF_INDEXES)) return nullptr;
  return TlsGetValue(static_cast<DWORD>(known));
}

bool Set(void* value) {
  const DWORD index = Index();
  return index != TLS_OUT_OF_INDEXES && TlsSetValue(index, value) != 0;
}

}  // namespace pngtrans::threadslot
