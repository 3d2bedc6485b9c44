#include "base/module_handle.h"

namespace pngtrans {

void* moduleInstance = nullptr;

}  // namespace pngtrans
