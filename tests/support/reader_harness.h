// Test harness for the reader's chunk side: a host that counts its callbacks and hands out
// guard-paged buffers, a PngReader set up on a file written from test bytes, and an allocator
// that fails on request. Header-only, for unit tests (which link the core library).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "import/png_reader.h"
#include "platform/lowio.h"
#include "support/files.h"
#include "support/guarded_memory.h"
#include "support/png_build.h"

namespace pngtrans::test {

// The host side of an import. image is the first member, so the callbacks find the TestHost
// from the HostImage pointer they receive.
struct TestHost {
  HostImage image;
  int allocateCalls = 0;
  int releaseCalls = 0;
  int allocateResult = 1;  // what allocate returns; 0 = the host cannot allocate
  static constexpr uint64_t kMaxBytes = 64u << 20;
  void* pixels = nullptr;
  void* palette = nullptr;
  void* mask = nullptr;

  TestHost() {
    std::memset(&image, 0, sizeof image);
    image.allocate = &TestHost::Allocate;
    image.release = &TestHost::Release;
  }
  ~TestHost() { FreeBuffers(); }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  void FreeBuffers() {
    if (pixels != nullptr) GuardedFree(pixels);
    if (palette != nullptr) GuardedFree(palette);
    if (mask != nullptr) GuardedFree(mask);
    pixels = palette = mask = nullptr;
  }

  static int PT_CDECL Allocate(HostImage* image) {
    TestHost* host = reinterpret_cast<TestHost*>(image);
    ++host->allocateCalls;
    if (host->allocateResult == 0) return 0;
    host->FreeBuffers();
    // Like a real host, this one declines images it has no room for.
    const uint64_t pixelBytes = static_cast<uint64_t>(image->height) * image->rowBytes;
    if (pixelBytes > kMaxBytes) return 0;
    host->pixels = GuardedAlloc(pixelBytes == 0 ? 1 : static_cast<size_t>(pixelBytes));
    host->palette = GuardedAlloc(256 * sizeof(ColorValue));
    std::memset(host->palette, 0xCD, 256 * sizeof(ColorValue));
    image->pixels = static_cast<uint8_t*>(host->pixels);
    image->palette = static_cast<ColorValue*>(host->palette);
    if (image->maskKind != 0) {
      const size_t maskBytes = static_cast<size_t>(image->height) * image->maskRowBytes;
      host->mask = GuardedAlloc(maskBytes == 0 ? 1 : maskBytes);
      image->mask = static_cast<uint8_t*>(host->mask);
    }
    return host->allocateResult;
  }
  static int PT_CDECL Release(HostImage* image) {
    ++reinterpret_cast<TestHost*>(image)->releaseCalls;
    return 1;
  }
};

// An allocator for SetReaderAllocatorForTesting: fails the failAt-th allocation (1-based) and,
// with failAfter, every one after it; records the largest request.
struct AllocatorScript {
  static inline int calls = 0;
  static inline int failAt = 0;  // 0 = never fail
  static inline bool failAfter = false;
  static inline size_t largest = 0;
  static void* Allocate(size_t bytes) {
    ++calls;
    if (bytes > largest) largest = bytes;
    if (failAt != 0 && (calls == failAt || (failAfter && calls > failAt))) return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
  }
};

// Installs the scripted allocator for the lifetime of the object.
class ScopedReaderAllocator {
 public:
  explicit ScopedReaderAllocator(int failAt = 0, bool failAfter = false) {
    AllocatorScript::calls = 0;
    AllocatorScript::failAt = failAt;
    AllocatorScript::failAfter = failAfter;
    AllocatorScript::largest = 0;
    previous_ = SetReaderAllocatorForTesting(&AllocatorScript::Allocate);
  }
  ~ScopedReaderAllocator() { SetReaderAllocatorForTesting(previous_); }
  int calls() const { return AllocatorScript::calls; }
  size_t largest() const { return AllocatorScript::largest; }
  // Changes the failure point from now on (counting continues).
  void FailAt(int call, bool after = false) {
    AllocatorScript::failAt = call;
    AllocatorScript::failAfter = after;
  }

 private:
  ReaderAllocator previous_;
};

// The signature followed by the given chunks.
inline Bytes PngOf(std::initializer_list<Bytes> chunks) {
  Bytes file = PngSignature();
  for (const Bytes& chunk : chunks) Append(&file, chunk);
  return file;
}

inline Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A PngReader set up (InitReader) on a temporary file holding bytes; the signature is read when
// readSignature is set. The file and reader are released at the end of the scope.
class ReaderOnFile {
 public:
  explicit ReaderOnFile(const Bytes& bytes, bool readSignature = true)
      : path_(TempPath("reader.png")) {
    EXPECT_TRUE(WriteFileBytes(path_, bytes));
    initStatus_ = reader_.InitReader();
    fd_ = lowio::OpenRead(path_.c_str());
    EXPECT_GE(fd_, 0);
    if (initStatus_ == StatusOk) {
      reader_.SetFile(fd_);
      if (readSignature) signatureStatus_ = reader_.ReadSignature();
    }
  }
  ~ReaderOnFile() {
    if (fd_ >= 0) lowio::Close(fd_);
    RemoveFile(path_);
  }
  ReaderOnFile(const ReaderOnFile&) = delete;
  ReaderOnFile& operator=(const ReaderOnFile&) = delete;

  PngReader& reader() { return reader_; }
  PngReader* operator->() { return &reader_; }
  Status initStatus() const { return initStatus_; }
  Status signatureStatus() const { return signatureStatus_; }
  int fd() const { return fd_; }

  // The bytes left in the file from the current position.
  Bytes Rest() {
    Bytes rest;
    uint8_t buffer[4096];
    int32_t n;
    while ((n = lowio::Read(fd_, buffer, sizeof buffer)) > 0)
      rest.insert(rest.end(), buffer, buffer + n);
    return rest;
  }

 private:
  std::string path_;
  PngReader reader_;
  int fd_ = -1;
  Status initStatus_ = StatusError;
  Status signatureStatus_ = StatusError;
};

}  // namespace pngtrans::test
