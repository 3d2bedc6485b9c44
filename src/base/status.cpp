#include "base/status.h"

namespace pngtrans {

#ifndef NDEBUG
namespace {
// Per thread: calls on other threads (a host probing files while it saves another) keep
// their own trace.
thread_local StatusOrigin lastOrigin = {nullptr, 0, StatusOk};
}  // namespace

Status RaiseStatus(Status status, const char* file, int line) {
  lastOrigin = {file, line, status};
  return status;
}

const StatusOrigin& LastStatusOrigin() {
  return lastOrigin;
}
#endif

}  // namespace pngtrans
