// Loads the built module at run time, as a host does: dlopen on Linux, LoadLibrary under Wine.
#pragma once

#include <string>

#include "pngtrans_host.h"

namespace pngtrans::test {

class LoadedModule {
 public:
  // The path defaults to the module of this build tree (PNGTRANS_MODULE overrides it).
  LoadedModule();
  explicit LoadedModule(const std::string& path);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool ok() const { return handle_ != nullptr && countXTND != nullptr && getXTNDInfo != nullptr; }
  const std::string& error() const { return error_; }

  // The dlopen handle or the HMODULE.
  void* handle() const { return handle_; }

  // Looks up an exported name; null when absent.
  void* Symbol(const char* name) const;

  int(PNGTRANS_CDECL* countXTND)() = nullptr;
  void(PNGTRANS_CDECL* getXTNDInfo)(int32_t index, void* destination) = nullptr;

  // The procedure from record 0 (null when the module did not load).
  TranslatorProcFn Procedure() const;

 private:
  void Load(const std::string& path);
  void* handle_ = nullptr;
  std::string error_;
};

// A pointer as one TranslatorProc argument.
inline XtndArg Arg(const void* pointer) {
  return reinterpret_cast<XtndArg>(pointer);
}

// The module path this build's tests use.
std::string DefaultModulePath();

}  // namespace pngtrans::test
