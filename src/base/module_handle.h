// The module's instance handle (HINSTANCE on Windows), stored by the library entry point and
// read by the dialog and help, which find their resources and files through it.
#pragma once

namespace pngtrans {

extern void* moduleInstance;

}  // namespace pngtrans
