#include "platform/thread_slot.h"

namespace pngtrans::threadslot {

namespace {
// ELF thread-local storage: reserved with the thread, nothing allocated on use.
thread_local void* value = nullptr;
}  // namespace

void* Get() {
  return value;
}

bool Set(void* newValue) {
  value = newValue;
  return true;
}

}  // namespace pngtrans::threadslot
