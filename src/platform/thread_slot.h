// One pointer that each thread keeps for itself: the quantizer of the export the thread runs,
// so that hosts saving on two threads at once do not share one. Taken without heap use: the
// emulated thread_local of the Windows compilers allocates on a thread's first use and aborts
// the host's process when it cannot.
#pragma once

namespace pngtrans::threadslot {

// The calling thread's pointer; null until it sets one.
void* Get();

// Sets the calling thread's pointer; false when the system has no slot to give.
bool Set(void* value);

}  // namespace pngtrans::threadslot
