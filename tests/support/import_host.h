// An import host for tests: its allocate hands out buffers flush against guard pages (so any
// write past a host buffer crashes the test at once) and counts every allocate and release
// call; a progress recorder; and the host bytes an import must deliver for a test image.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "pngtrans_host.h"
#include "support/png_build.h"

namespace pngtrans::test {

class GuardedHost {
 public:
  GuardedHost();
  ~GuardedHost();
  GuardedHost(const GuardedHost&) = delete;
  GuardedHost& operator=(const GuardedHost&) = delete;

  // The descriptor handed to the module; allocate and release point at this host.
  HostImage* image() { return &record_.image; }
  const HostImage& described() const { return record_.image; }

  int allocateCalls() const { return record_.allocateCalls; }
  int releaseCalls() const { return record_.releaseCalls; }

  // allocate returns 0 (and allocates nothing) when set.
  void FailAllocate(bool fail) { record_.failAllocate = fail; }
  // allocate returns 0 when the pixels or the mask would take more than limit bytes (the
  // default is 256 MiB).
  void LimitBytes(uint64_t limit) { record_.limit = limit; }
  // Runs after a successful allocation, before allocate returns: a host that changes the
  // description it was given.
  void AfterAllocate(std::function<void(HostImage*)> hook) {
    record_.afterAllocate = std::move(hook);
  }

  // The sizes allocate was asked for (height × rowBytes, height × maskRowBytes).
  uint64_t pixelBytesAllocated() const { return record_.pixelBytes; }
  uint64_t maskBytesAllocated() const { return record_.maskBytes; }

  // Copies of what the module wrote (empty when nothing is allocated).
  Bytes Pixels() const;
  Bytes Mask() const;
  std::vector<uint32_t> Palette() const;

 private:
  struct Record {
    HostImage image;  // first member: the callbacks find the record from the descriptor
    int allocateCalls = 0;
    int releaseCalls = 0;
    bool failAllocate = false;
    uint64_t limit = 256u * 1024 * 1024;
    std::function<void(HostImage*)> afterAllocate;
    uint64_t pixelBytes = 0;
    uint64_t maskBytes = 0;
    uint8_t* pixels = nullptr;
    uint8_t* mask = nullptr;
    uint32_t* palette = nullptr;
  };
  static int PNGTRANS_CDECL Allocate(HostImage* image);
  static int PNGTRANS_CDECL Release(HostImage* image);
  static void FreeBuffers(Record* record);

  Record record_;
};

// Records every progress call of the current test (the callback has no context pointer).
class ProgressRecorder {
 public:
  ProgressRecorder();  // clears the log
  static void PNGTRANS_CDECL Callback(int32_t done, int32_t total);
  const std::vector<std::pair<int32_t, int32_t>>& calls() const;
};

// What an import must deliver for an image made by the test encoder (Bytes are whole host
// buffers, rows top-down at the exact row size).
struct ExpectedHost {
  int32_t colorKind = 0;
  int32_t bitsPerPixel = 0;
  uint32_t rowBytes = 0;
  uint32_t maskKind = 0;
  int32_t maskRowBytes = 0;
  Bytes pixels;
  Bytes mask;
  std::vector<uint32_t> palette;  // 256 entries; empty for full-colour images
};

// palette: the PLTE data written for palette images (RGB triples); trns: the tRNS data, which
// gives grey, colour and palette images a mask.
ExpectedHost ExpectHost(const RawImage& image, const Bytes& palette = Bytes(),
                        const Bytes& trns = Bytes());

// A palette of count entries (RGB triples) with distinct colours.
Bytes TestPalette(uint32_t count);

}  // namespace pngtrans::test
