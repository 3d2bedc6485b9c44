// The commands a host sends, one function each, through the record's procedure only; and the
// words they return, spelled out for people.
#pragma once

#include <cstdint>
#include <string>

#include "host_module.h"
#include "picture.h"

namespace xtnd {

const char* StatusName(uint32_t status);
const char* KindName(int32_t kind);

// "interlace 1, transparency 0, saveMask 1, colorType 6 (colour with alpha), depth 8".
std::string DescribeOptions(uint32_t word);
std::string DescribeAttributes(uint32_t word);
// The descriptor's fields in one line.
std::string DescribeImage(const HostImage& image);

// The progress bar on stderr: only when stderr is a terminal and the host was not told to be
// quiet. The callback has no context pointer, so the bar is process-wide.
void EnableProgress(bool enabled);
void PNGTRANS_CDECL ShowProgress(int32_t done, int32_t total);
void FinishProgress();

// The host's allocate and release: exact sizes (height × rowBytes, height × maskRowBytes),
// checked in 64 bits, from the C heap.
int PNGTRANS_CDECL AllocateExact(HostImage* image);
int PNGTRANS_CDECL ReleaseExact(HostImage* image);

struct CallResult {
  int returned = 0;
  uint16_t status = 0;
  double milliseconds = 0;
};

// Command 3 into buffers from AllocateExact; the caller releases them with ReleaseExact.
struct Imported {
  HostImage image = {};
  char title[64] = {};
  uint32_t options = 0;
  CallResult call;
};
Imported ImportFile(const HostModule& module, const std::string& path, bool progress);

// Commands 9 and 5 (information image and title only).
struct Probed {
  HostImage info = {};
  char title[64] = {};
  uint32_t attributes = 0;
  CallResult attributesCall;
  CallResult previewCall;
};
Probed ProbeFile(const HostModule& module, const std::string& path);

// Command 13, or command 4 (with the show-dialog flag when dialog is set; the word is
// rewritten by the plug-in).
CallResult SaveWithOptions(const HostModule& module, const std::string& path, const char* title,
                           HostImage* image, uint32_t options, bool progress);
CallResult SaveWithDialog(const HostModule& module, const std::string& path, const char* title,
                          HostImage* image, uint32_t* options, bool dialog, bool progress);

// Command 11.
CallResult EditOptions(const HostModule& module, uint32_t* options);

// Command 2.
bool Supports(const HostModule& module, uint32_t code);

}  // namespace xtnd
