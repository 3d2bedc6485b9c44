// Worker threads for one piece of work at a time: the caller's thread takes a share of it and
// every other share runs on a thread of its own, all joined before the call returns. Nothing
// outlives the call, so the module keeps no threads between commands.
#pragma once

namespace pngtrans::workers {

// At most this many shares run at once.
constexpr unsigned kMaxThreads = 8;

// The processors this process may run on (its affinity), at least 1.
unsigned AvailableProcessors();

// Runs work(context, i) for every i below count (at most kMaxThreads): i = 0 on the calling
// thread, the others on threads started for them. A thread the system will not start runs
// its share on the calling thread instead. Returns when every share has ended.
void RunAll(void (*work)(void* context, unsigned share), void* context, unsigned count);

// One share as a thread of each target receives it.
struct Share {
  void (*work)(void* context, unsigned share);
  void* context;
  unsigned index;
};

}  // namespace pngtrans::workers
