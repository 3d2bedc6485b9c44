#include "export/segmented_deflate.h"

#include <cstdlib>
#include <cstring>

#include "platform/workers.h"

namespace pngtrans {

SegmentedDeflate::SegmentedDeflate(const Settings& settings, uint64_t totalBytes, unsigned threads,
                                   Sink sink, void* sinkContext)
    : settings_(settings), totalBytes_(totalBytes), sink_(sink), sinkContext_(sinkContext) {
  const uint64_t segments = (totalBytes + kSegmentBytes - 1) / kSegmentBytes;
  if (threads < 1) threads = 1;
  if (threads > workers::kMaxThreads) threads = workers::kMaxThreads;
  slotCount_ = segments < threads ? static_cast<unsigned>(segments) : threads;
  if (slotCount_ < 1) slotCount_ = 1;
}

SegmentedDeflate::~SegmentedDeflate() {
  if (slots_ != nullptr) {
    for (unsigned i = 0; i < slotCount_; ++i) {
      std::free(slots_[i].input);
      std::free(slots_[i].output);
    }
  }
  std::free(slots_);
  std::free(dictionary_);
}

unsigned SegmentedDeflate::ThreadCount() {
  const char* setting = std::getenv("PNGTRANS_THREADS");
  if (setting != nullptr) {
    const long n = std::strtol(setting, nullptr, 10);
    if (n >= 1)
      return n > static_cast<long>(workers::kMaxThreads) ? workers::kMaxThreads
                                                         : static_cast<unsigned>(n);
  }
  const unsigned processors = workers::AvailableProcessors();
  return processors < workers::kMaxThreads ? processors : workers::kMaxThreads;
}

Status SegmentedDeflate::Start() {
  slots_ = static_cast<Slot*>(std::calloc(slotCount_, sizeof(Slot)));
  dictionary_ = static_cast<uint8_t*>(std::malloc(kDictionaryBytes));
  if (slots_ == nullptr || dictionary_ == nullptr) return PT_FAIL(StatusNoMemory);
  // deflateBound's worst case for a segment, and the few bytes of a sync flush.
  const uint32_t capacity = kSegmentBytes + kSegmentBytes / 1000 + 4096;
  for (unsigned i = 0; i < slotCount_; ++i) {
    slots_[i].input = static_cast<uint8_t*>(std::malloc(kSegmentBytes));
    slots_[i].output = static_cast<uint8_t*>(std::malloc(capacity));
    slots_[i].outputCapacity = capacity;
    if (slots_[i].input == nullptr || slots_[i].output == nullptr) return PT_FAIL(StatusNoMemory);
  }
  return StatusOk;
}

Status SegmentedDeflate::Append(const uint8_t* bytes, uint32_t count) {
  if (slots_ == nullptr || count > totalBytes_ - appended_) return PT_FAIL(StatusError);
  while (count > 0) {
    Slot& slot = slots_[filled_];
    const uint32_t room = kSegmentBytes - slot.inputBytes;
    const uint32_t piece = count < room ? count : room;
    std::memcpy(slot.input + slot.inputBytes, bytes, piece);
    slot.inputBytes += piece;
    appended_ += piece;
    bytes += piece;
    count -= piece;
    // A full segment that is not the stream's last waits for its batch; the last one is
    // compressed by Finish.
    if (slot.inputBytes == kSegmentBytes && appended_ < totalBytes_) {
      if (++filled_ == slotCount_) {
        PT_RETURN_IF_ERROR(RunBatch(filled_));
        filled_ = 0;
      }
    }
  }
  return StatusOk;
}

Status SegmentedDeflate::Finish() {
  if (slots_ == nullptr || appended_ != totalBytes_) return PT_FAIL(StatusError);
  PT_RETURN_IF_ERROR(RunBatch(filled_ + 1));
  filled_ = 0;
  const uint8_t trailer[4] = {static_cast<uint8_t>(adler_ >> 24),
                              static_cast<uint8_t>(adler_ >> 16), static_cast<uint8_t>(adler_ >> 8),
                              static_cast<uint8_t>(adler_)};
  return sink_(sinkContext_, trailer, 4);
}

Status SegmentedDeflate::RunBatch(unsigned filled) {
  for (unsigned i = 0; i < filled; ++i) {
    Slot& slot = slots_[i];
    slot.index = segmentsDone_ + i;
    slot.last = slot.index * kSegmentBytes + slot.inputBytes == totalBytes_;
    if (i == 0) {
      slot.dictionary = dictionary_;
      slot.dictionaryBytes = dictionaryBytes_;
    } else {
      slot.dictionary = slots_[i - 1].input + kSegmentBytes - kDictionaryBytes;
      slot.dictionaryBytes = kDictionaryBytes;
    }
    slot.status = StatusOk;
  }
  // Every share is compressed before any is looked at: the threads are joined here.
  workers::RunAll(CompressShare, this, filled);

  Status status = StatusOk;
  for (unsigned i = 0; i < filled && status == StatusOk; ++i) {
    Slot& slot = slots_[i];
    status = slot.status;
    if (status == StatusOk) status = sink_(sinkContext_, slot.output, slot.outputBytes);
    adler_ = slot.index == 0
                 ? slot.adler
                 : static_cast<uint32_t>(adler32_combine(adler_, slot.adler, slot.inputBytes));
  }
  // The next batch is primed with the end of this one.
  const Slot& end = slots_[filled - 1];
  if (end.inputBytes >= kDictionaryBytes) {
    std::memcpy(dictionary_, end.input + end.inputBytes - kDictionaryBytes, kDictionaryBytes);
    dictionaryBytes_ = kDictionaryBytes;
  }
  for (unsigned i = 0; i < filled; ++i) slots_[i].inputBytes = 0;
  segmentsDone_ += filled;
  return status;
}

void SegmentedDeflate::CompressShare(void* context, unsigned share) {
  const auto* self = static_cast<const SegmentedDeflate*>(context);
  self->Compress(self->slots_[share]);
}

// On a worker: touches its own slot only (and reads the one before it for the dictionary).
void SegmentedDeflate::Compress(Slot& slot) const {
  slot.adler = static_cast<uint32_t>(adler32(1, slot.input, slot.inputBytes));
  z_stream z;
  std::memset(&z, 0, sizeof z);
  z.zalloc = settings_.zalloc;
  z.zfree = settings_.zfree;
  z.opaque = settings_.opaque;
  const int windowBits = slot.index == 0 ? settings_.windowBits : -settings_.windowBits;
  if (deflateInit2_(&z, settings_.level, settings_.method, windowBits, settings_.memoryLevel,
                    settings_.strategy, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK) {
    slot.status = PT_FAIL(StatusNoMemory);
    return;
  }
  if (slot.index > 0 && deflateSetDictionary(&z, slot.dictionary, slot.dictionaryBytes) != Z_OK) {
    slot.status = PT_FAIL(StatusWriteError);
  }
  z.next_in = slot.input;
  z.avail_in = slot.inputBytes;
  z.next_out = slot.output;
  z.avail_out = slot.outputCapacity;
  const int flush = slot.last ? Z_FINISH : Z_SYNC_FLUSH;
  const int result = slot.status == StatusOk ? deflate(&z, flush) : Z_STREAM_ERROR;
  // One call: the output buffer holds the worst case, so all input is taken and a finishing
  // segment ends its stream.
  const bool done = slot.last ? result == Z_STREAM_END : result == Z_OK && z.avail_in == 0;
  if (slot.status == StatusOk && !done) slot.status = PT_FAIL(StatusWriteError);
  slot.outputBytes = slot.outputCapacity - z.avail_out;
  deflateEnd(&z);
}

}  // namespace pngtrans
