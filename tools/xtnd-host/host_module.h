// The host side of the plug-in protocol: loads a translator module at run time (dlopen on
// Linux, LoadLibrary on Windows) and calls it as any host would.
#pragma once

#include <string>

#include "pngtrans_host.h"

namespace xtnd {

class HostModule {
 public:
  explicit HostModule(const std::string& path);
  ~HostModule();
  HostModule(const HostModule&) = delete;
  HostModule& operator=(const HostModule&) = delete;

  bool ok() const { return procedure_ != nullptr; }
  const std::string& error() const { return error_; }
  int Count() const { return count_ != nullptr ? count_() : 0; }
  const TranslatorRecord& record() const { return record_; }
  TranslatorProcFn procedure() const { return procedure_; }

 private:
  void* handle_ = nullptr;
  CountXTNDFn count_ = nullptr;
  TranslatorRecord record_ = {};
  TranslatorProcFn procedure_ = nullptr;
  std::string error_;
};

// The module a host uses when none is named: PNGTRANS_MODULE, else the one built beside this
// executable (pngtrans.so / pngtrans.dll).
std::string DefaultModulePath();

// The file version a Windows module's version resource gives ("1.0.0"); empty where there is
// none, and on Linux, whose modules carry no version resource.
std::string ModuleFileVersion(const std::string& path);

// Code page 932 text as UTF-8 (ASCII and half-width katakana; other bytes become '?').
std::string DecodeShiftJis(const uint8_t* text, size_t maxLength);

}  // namespace xtnd
