// PngReader as an object: its three zero-filled blocks, set-up of the input buffer and the
// decompressor, the signature check, and the teardown that releases everything the state
// points to.
#include "import/png_reader.h"

#include <cstdlib>
#include <cstring>

#include "format/chunk_format.h"
#include "base/zlib_memory.h"

namespace pngtrans {

namespace {

void* HeapAllocate(size_t bytes) {
  return std::malloc(bytes == 0 ? 1 : bytes);
}

ReaderAllocator currentAllocator = HeapAllocate;

// Bytes of the decompressor input buffer, which also serves as the skip buffer for chunk data
// and as the output window of compressed text.
constexpr uint32_t kInputBufferSize = 8192;
constexpr size_t kPaletteBufferBytes = 256 * 3;

}  // namespace

ReaderAllocator SetReaderAllocatorForTesting(ReaderAllocator allocator) {
  const ReaderAllocator previous = currentAllocator;
  currentAllocator = allocator != nullptr ? allocator : HeapAllocate;
  return previous;
}

void* ReaderAllocate(size_t bytes) {
  return currentAllocator(bytes == 0 ? 1 : bytes);
}

void* ReaderAllocateZeroed(size_t bytes) {
  void* block = ReaderAllocate(bytes);
  if (block != nullptr) std::memset(block, 0, bytes == 0 ? 1 : bytes);
  return block;
}

PngReader::PngReader()
    : state_(static_cast<ReaderState*>(ReaderAllocateZeroed(sizeof(ReaderState)))),
      info_(static_cast<PngInfo*>(ReaderAllocateZeroed(sizeof(PngInfo)))),
      paletteBuffer_(static_cast<uint8_t*>(ReaderAllocateZeroed(kPaletteBufferBytes))) {}

PngReader::~PngReader() {
  // The driver normally tears the state down first; doing it here as well means no path, not
  // even an early return before DestroyReader, can leak the buffers or the decompressor.
  TeardownState();
  freeIfPresent(state_);
  freeIfPresent(info_);
  freeIfPresent(paletteBuffer_);
}

Status PngReader::InitReader() {
  // A block missing since construction is reported here, like the input buffer below.
  if (!Constructed()) return PT_FAIL(StatusNoMemory);
  // A second set-up must not leak what the first one made.
  TeardownState();
  ReaderState& s = *state_;
  s.inputBufferSize = kInputBufferSize;
  s.imageInputSize = kInputBufferSize;
  s.inputBuffer = static_cast<uint8_t*>(ReaderAllocate(kInputBufferSize));
  if (s.inputBuffer == nullptr) return PT_FAIL(StatusNoMemory);

  s.zstream.zalloc = zlibAllocate;
  s.zstream.zfree = zlibFree;
  s.zstream.opaque = state_;
  // inflateInit passes the version text and stream size of the zlib this module is built with.
  const int result = inflateInit(&s.zstream);
  if (result == Z_OK) {
    s.zstreamReady = true;
    return StatusOk;
  }
  if (result == Z_MEM_ERROR || result == Z_STREAM_ERROR) return PT_FAIL(StatusNoMemory);
  return PT_FAIL(StatusError);
}

Status PngReader::ReadSignature() {
  PT_RETURN_IF_ERROR(ReadBytes(info_->signature, sizeof info_->signature));
  if (std::memcmp(info_->signature, kPngSignature, sizeof kPngSignature) != 0) {
    return PT_FAIL(StatusBadFormat);
  }
  return StatusOk;
}

void PngReader::DestroyReader() {
  TeardownState();
  freeIfPresent(info_);
  info_ = nullptr;
  freeIfPresent(state_);
  state_ = nullptr;
}

void PngReader::TeardownState() {
  if (info_ != nullptr) ReleaseInfo(info_);
  if (state_ == nullptr) return;
  ReaderState& s = *state_;
  freeIfPresent(s.inputBuffer);
  freeIfPresent(s.window);
  // The arrays are the reader's only when their flag says so; otherwise they are borrowed.
  if ((s.flags & FlagFreeTrns) != 0) freeIfPresent(s.trans);
  if ((s.flags & FlagFreeHist) != 0) freeIfPresent(s.hist);
  if (s.zstreamReady) inflateEnd(&s.zstream);
  std::memset(state_, 0, sizeof *state_);
}

}  // namespace pngtrans
