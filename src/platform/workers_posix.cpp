#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "platform/workers.h"

namespace pngtrans::workers {

namespace {

void* RunShare(void* argument) {
  const Share& share = *static_cast<Share*>(argument);
  share.work(share.context, share.index);
  return nullptr;
}

}  // namespace

unsigned AvailableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

void RunAll(void (*work)(void*, unsigned), void* context, unsigned count) {
  if (count > kMaxThreads) count = kMaxThreads;
  Share shares[kMaxThreads];
  pthread_t threads[kMaxThreads];
  bool started[kMaxThreads] = {};
  for (unsigned i = 1; i < count; ++i) {
    shares[i] = {work, context, i};
    started[i] = pthread_create(&threads[i], nullptr, RunShare, &shares[i]) == 0;
  }
  if (count > 0) work(context, 0);
  for (unsigned i = 1; i < count; ++i) {
    if (started[i]) {
      pthread_join(threads[i], nullptr);
    } else {
      work(context, i);
    }
  }
}

}  // namespace pngtrans::workers
