#include "support/module_loader.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace pngtrans::test {

std::string DefaultModulePath() {
  const char* overridden = std::getenv("PNGTRANS_MODULE");
  return overridden != nullptr && *overridden != '\0' ? overridden : PNGTRANS_MODULE_PATH;
}

LoadedModule::LoadedModule() {
  Load(DefaultModulePath());
}

LoadedModule::LoadedModule(const std::string& path) {
  Load(path);
}

#if defined(_WIN32)
void LoadedModule::Load(const std::string& path) {
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (handle_ == nullptr) {
    error_ = "LoadLibrary failed for " + path + ", error " + std::to_string(GetLastError());
    return;
  }
  countXTND = reinterpret_cast<decltype(countXTND)>(Symbol("_CountXTND"));
  getXTNDInfo = reinterpret_cast<decltype(getXTNDInfo)>(Symbol("_GetXTNDInfo"));
  if (!ok()) error_ = "exports _CountXTND/_GetXTNDInfo not found in " + path;
}

void* LoadedModule::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

LoadedModule::~LoadedModule() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}
#else
void LoadedModule::Load(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = "dlopen failed: " + std::string(message != nullptr ? message : path);
    return;
  }
  countXTND = reinterpret_cast<decltype(countXTND)>(Symbol("CountXTND"));
  getXTNDInfo = reinterpret_cast<decltype(getXTNDInfo)>(Symbol("GetXTNDInfo"));
  if (!ok()) error_ = "exports CountXTND/GetXTNDInfo not found in " + path;
}

void* LoadedModule::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name);
}

LoadedModule::~LoadedModule() {
  if (handle_ != nullptr) dlclose(handle_);
}
#endif

TranslatorProcFn LoadedModule::Procedure() const {
  if (!ok()) return nullptr;
  TranslatorRecord record;
  std::memset(&record, 0, sizeof record);
  getXTNDInfo(0, &record);
  return record.procedure;
}

}  // namespace pngtrans::test
