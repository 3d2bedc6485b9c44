#include "host_module.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace xtnd {

namespace {
using GetInfoFn = void(PT_CDECL*)(int32_t index, void* destination);
}

HostModule::HostModule(const std::string& path) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  handle_ = reinterpret_cast<void*>(module);
  if (module == nullptr) {
    error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return;
  }
  count_ = reinterpret_cast<decltype(count_)>(
      reinterpret_cast<void*>(GetProcAddress(module, "_CountXTND")));
  auto getInfo =
      reinterpret_cast<GetInfoFn>(reinterpret_cast<void*>(GetProcAddress(module, "_GetXTNDInfo")));
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = message != nullptr ? message : "cannot load " + path;
    return;
  }
  count_ = reinterpret_cast<decltype(count_)>(dlsym(handle_, "CountXTND"));
  auto getInfo = reinterpret_cast<GetInfoFn>(dlsym(handle_, "GetXTNDInfo"));
#endif
  if (count_ == nullptr || getInfo == nullptr) {
    error_ = path + " does not export the translator entry points";
    return;
  }
  if (count_() < 1) {
    error_ = path + " holds no translator";
    return;
  }
  getInfo(0, &record_);
  procedure_ = record_.procedure;
  if (procedure_ == nullptr) error_ = path + " hands out a record without a procedure";
}

HostModule::~HostModule() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

std::string DecodeShiftJis(const uint8_t* text, size_t maxLength) {
  std::string out;
  for (size_t i = 0; i < maxLength && text[i] != 0; ++i) {
    const uint8_t b = text[i];
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else if (b >= 0xA1 && b <= 0xDF) {
      // Half-width katakana: U+FF61..U+FF9F, three bytes in UTF-8.
      const unsigned code = 0xFF61u + (b - 0xA1u);
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += '?';
      // A lead byte of a double-byte character takes its trail byte along.
      if (((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) && i + 1 < maxLength &&
          text[i + 1] != 0) {
        ++i;
      }
    }
  }
  return out;
}

}  // namespace xtnd
