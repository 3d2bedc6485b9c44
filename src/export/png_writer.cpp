#include "export/png_writer.h"

#include <cstdlib>
#include <cstring>

#include "format/chunk_format.h"
#include "platform/lowio.h"
#include "base/zlib_memory.h"

namespace pngtrans {

namespace {

// The size of the deflate output buffer, which is also the data size of every IDAT chunk but
// the last.
constexpr uint32_t kOutputBufferSize = 8192;

// The largest single write: the runtime's write count has been 16 bits wide on some hosts,
// so larger blocks (long texts) go out in pieces of this size.
constexpr uint32_t kMaxWritePiece = 65535;

}  // namespace

PngWriter::PngWriter()
    : state_(static_cast<WriterState*>(std::calloc(1, sizeof(WriterState)))),
      info_(static_cast<PngInfo*>(std::calloc(1, sizeof(PngInfo)))),
      palette_(static_cast<WriterPalette*>(std::calloc(1, sizeof(WriterPalette)))) {}

PngWriter::~PngWriter() {
  // Teardown is idempotent (it leaves a zero-filled state), so a driver that returns early
  // without it still releases the stream and the buffers here.
  if (state_ != nullptr) TeardownWriter();
  std::free(palette_);
  std::free(info_);
  std::free(state_);
}

Status PngWriter::StartWriter() {
  WriterState& s = *state_;
  if (s.outputBuffer == nullptr) {
    s.outputBuffer = static_cast<uint8_t*>(std::malloc(kOutputBufferSize));
    if (s.outputBuffer == nullptr) return PT_FAIL(StatusNoMemory);
  }
  s.outputBufferSize = kOutputBufferSize;
  return StatusOk;
}

void PngWriter::TeardownWriter() {
  WriterState& s = *state_;
  // Only a stream that deflateInit2 accepted may be ended: a zero-filled or half-initialised
  // record is never handed to deflateEnd.
  if (s.zstreamReady) deflateEnd(&s.zstream);
  if (s.segments != nullptr) {
    s.segments->~SegmentedDeflate();
    std::free(s.segments);
  }
  std::free(s.outputBuffer);
  std::free(s.rowBuffer);
  std::free(s.previousRow);
  std::free(s.subRow);
  std::free(s.upRow);
  std::free(s.averageRow);
  std::free(s.paethRow);
  std::memset(&s, 0, sizeof(s));
}

Status PngWriter::WriteBytes(const void* data, uint32_t count) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const uint32_t piece = count < kMaxWritePiece ? count : kMaxWritePiece;
    if (lowio::Write(state_->file, bytes, piece) != static_cast<int32_t>(piece)) {
      state_->writeFailed = true;
      return PT_FAIL(StatusWriteError);
    }
    bytes += piece;
    count -= piece;
  }
  return StatusOk;
}

Status PngWriter::BeginChunk(const char* type, uint32_t length) {
  uint8_t head[8];
  PutU32BE(head, length);
  std::memcpy(head + 4, type, 4);
  // Length and type go out in one write; the CRC covers the type only.
  PT_RETURN_IF_ERROR(WriteBytes(head, 8));
  ResetCrc(&state_->crc);
  UpdateCrc(&state_->crc, head + 4, 4);
  return StatusOk;
}

Status PngWriter::WriteChunkData(const void* data, uint32_t count) {
  if (data == nullptr || count == 0) return StatusOk;
  UpdateCrc(&state_->crc, static_cast<const uint8_t*>(data), count);
  return WriteBytes(data, count);
}

Status PngWriter::EndChunk() {
  uint8_t crc[4];
  PutU32BE(crc, state_->crc);
  return WriteBytes(crc, 4);
}

Status PngWriter::WriteChunk(const char* type, const void* data, uint32_t count) {
  PT_RETURN_IF_ERROR(BeginChunk(type, count));
  PT_RETURN_IF_ERROR(WriteChunkData(data, count));
  return EndChunk();
}

Status PngWriter::WriteSignature() {
  const uint8_t done = state_->sigBytes < 8 ? state_->sigBytes : 8;
  if (done == 8) return StatusOk;
  return WriteBytes(kPngSignature + done, 8u - done);
}

}  // namespace pngtrans
