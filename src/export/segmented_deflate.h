// Deflate on every core: the filtered image data of a large image is cut into segments at fixed
// offsets (every kSegmentBytes, whatever the number of threads), and the segments of a batch
// are compressed at once, one per thread. Each segment is compressed with the export's settings,
// raw after the first (which carries the zlib header), primed with the previous segment's last
// 32 KiB as its dictionary and ended with a sync flush; the last ends the stream. Joined in
// order and followed by the Adler-32 combined from the segments', they are one zlib stream,
// byte for byte the same on one thread or eight.
#pragma once

#include <cstdint>

#include <zlib.h>

#include "base/status.h"

namespace pngtrans {

class SegmentedDeflate {
 public:
  // 1 MiB: large enough that the sync flushes and restarted blocks cost under 0.1 % of the
  // size, small enough that a 1-megapixel photo already spreads over several threads.
  static constexpr uint32_t kSegmentBytes = 1u << 20;
  static constexpr uint32_t kDictionaryBytes = 32768;

  struct Settings {
    int level;
    int method;
    int windowBits;
    int memoryLevel;
    int strategy;
    alloc_func zalloc;
    free_func zfree;
    voidpf opaque;
  };
  // Takes the compressed bytes in stream order, on the calling thread.
  using Sink = Status (*)(void* context, const uint8_t* bytes, uint32_t count);

  SegmentedDeflate(const Settings& settings, uint64_t totalBytes, unsigned threads, Sink sink,
                   void* sinkContext);
  ~SegmentedDeflate();
  SegmentedDeflate(const SegmentedDeflate&) = delete;
  SegmentedDeflate& operator=(const SegmentedDeflate&) = delete;

  // The buffers of one batch; StatusNoMemory when they cannot be had.
  Status Start();
  // The next bytes of the stream, in order; full batches are compressed and handed to the sink.
  Status Append(const uint8_t* bytes, uint32_t count);
  // After the last byte: the rest is compressed and the stream ended with its Adler-32.
  Status Finish();

  // The number of threads an export uses: PNGTRANS_THREADS when set (1 to 8), else the
  // processors the process may use, at most 8.
  static unsigned ThreadCount();

 private:
  struct Slot {
    uint8_t* input;
    uint32_t inputBytes;
    uint8_t* output;
    uint32_t outputCapacity;
    uint32_t outputBytes;
    uint32_t adler;
    const uint8_t* dictionary;
    uint32_t dictionaryBytes;
    uint64_t index;  // of the segment in the stream
    bool last;
    Status status;
  };

  static void CompressShare(void* context, unsigned share);
  void Compress(Slot& slot) const;
  Status RunBatch(unsigned filled);

  Settings settings_;
  uint64_t totalBytes_;
  uint64_t appended_ = 0;
  uint64_t segmentsDone_ = 0;
  unsigned slotCount_;
  unsigned filled_ = 0;  // slots holding a complete segment; slots_[filled_] is being filled
  Slot* slots_ = nullptr;
  uint8_t* dictionary_ = nullptr;  // the last 32 KiB before the batch
  uint32_t dictionaryBytes_ = 0;
  uint32_t adler_ = 1;
  Sink sink_;
  void* sinkContext_;
};

}  // namespace pngtrans
