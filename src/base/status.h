// Status values: the result of every codec operation. Errors are values, never exceptions.
#pragma once

#include <cstdint>

namespace pngtrans {

// An unsigned 16-bit result code; only these five values are ever produced.
enum [[nodiscard]] Status : uint16_t{
    StatusOk = 0, StatusError = 1, StatusWriteError = 2, StatusNoMemory = 4, StatusBadFormat = 6,
};

// Where a failure status was first raised. Debug builds record it for the debugger and the
// tests, per thread; release builds compile the bookkeeping away.
struct StatusOrigin {
  const char* file;
  int line;
  Status status;
};

#ifdef NDEBUG
inline Status RaiseStatus(Status status, const char*, int) {
  return status;
}
#else
Status RaiseStatus(Status status, const char* file, int line);
const StatusOrigin& LastStatusOrigin();
#endif

}  // namespace pngtrans

// Returns a failure status, remembering (in debug builds) where it arose.
#define PT_FAIL(status) ::pngtrans::RaiseStatus((status), __FILE__, __LINE__)

// Propagates the first non-zero status, so that the happy path reads straight down.
#define PT_RETURN_IF_ERROR(expr)                               \
  do {                                                         \
    const ::pngtrans::Status pt_status_ = (expr);              \
    if (pt_status_ != ::pngtrans::StatusOk) return pt_status_; \
  } while (0)
