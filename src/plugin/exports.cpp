// The module's exported entry points. Compiled into the module itself (not the core library)
// so that the Linux module exports exactly these two names and the DLL lists them through
// pngtrans.def as "_CountXTND" and "_GetXTNDInfo".
#include <cstring>

#include "base/module_handle.h"
#include "plugin/translator.h"

#if defined(_WIN32)
#include <windows.h>
#define PT_EXPORT
#else
#define PT_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

PT_EXPORT int PT_CDECL CountXTND() {
  return 1;
}

PT_EXPORT void PT_CDECL GetXTNDInfo(int32_t index, void* destination) {
  // The module holds a single translator: any other index would read past its record, so the
  // destination is left untouched.
  if (index != 0 || destination == nullptr) return;
  std::memcpy(destination, &pngtrans::ModuleTranslatorRecord(), sizeof(TranslatorRecord));
}

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  pngtrans::moduleInstance = instance;
  return TRUE;
}
#endif

}  // extern "C"
