#include "host_module.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace xtnd {

HostModule::HostModule(const std::string& path) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  handle_ = reinterpret_cast<void*>(module);
  if (module == nullptr) {
    error_ = "the module does not load (error " + std::to_string(GetLastError()) + ")";
    return;
  }
  count_ = reinterpret_cast<decltype(count_)>(
      reinterpret_cast<void*>(GetProcAddress(module, "_CountXTND")));
  auto getInfo = reinterpret_cast<GetXTNDInfoFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "_GetXTNDInfo")));
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = std::string("the module does not load") + (message != nullptr ? ": " : "") +
             (message != nullptr ? message : "");
    return;
  }
  count_ = reinterpret_cast<decltype(count_)>(dlsym(handle_, "CountXTND"));
  auto getInfo = reinterpret_cast<GetXTNDInfoFn>(dlsym(handle_, "GetXTNDInfo"));
#endif
  if (count_ == nullptr || getInfo == nullptr) {
    error_ = "the module has no translator (CountXTND/GetXTNDInfo not exported)";
    return;
  }
  if (count_() < 1) {
    error_ = "the module has no translator (CountXTND returns 0)";
    return;
  }
  getInfo(0, &record_);
  procedure_ = record_.procedure;
  if (procedure_ == nullptr) error_ = "the module has no translator (the record has no procedure)";
}

HostModule::~HostModule() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

std::string DefaultModulePath() {
  const char* chosen = std::getenv("PNGTRANS_MODULE");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  std::string self;
#if defined(_WIN32)
  char buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length > 0 && length < sizeof buffer) self.assign(buffer, length);
  const size_t slash = self.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + "pngtrans.dll";
#else
  char buffer[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) self.assign(buffer, static_cast<size_t>(length));
  const size_t slash = self.find_last_of('/');
  return (slash == std::string::npos ? std::string("./") : self.substr(0, slash + 1)) +
         "pngtrans.so";
#endif
}

std::string ModuleFileVersion(const std::string& path) {
#if defined(_WIN32)
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return "";
  std::string block(size, '\0');
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!GetFileVersionInfoA(path.c_str(), 0, size, &block[0]) ||
      !VerQueryValueA(&block[0], "\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
      fixed == nullptr || fixedSize < sizeof *fixed) {
    return "";
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS));
#else
  (void)path;
  return "";
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
