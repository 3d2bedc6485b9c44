// Test harness for the reader's chunk side: a PngReader set up on a file written from test
// bytes, and an allocator that fails on request (the counting, guard-paged host is GuardedHost
// in import_host.h). Header-only, for unit tests (which link the core library).
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
