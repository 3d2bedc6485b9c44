// Chunk input: exact unbuffered reads, the running CRC of the chunk being read, and the end of
// a chunk (skip what is left of its data, compare the stored CRC).
#include <cstdlib>
#include <cstring>

#include "format/chunk_format.h"
#include "import/png_reader.h"
#include "platform/lowio.h"

namespace pngtrans {

namespace {

// First allocation of a chunk copy; later ones double as the data actually arrives.
constexpr uint32_t kFirstCopyBytes = 64 * 1024;

}  // namespace

Status PngReader::ReadBytes(void* destination, uint32_t count) {
  const int32_t got = lowio::Read(state_->file, destination, count);
  if (got < 0 || static_cast<uint32_t>(got) != count) return PT_FAIL(StatusError);
  return StatusOk;
}

void PngReader::ResetCrc() {
  pngtrans::ResetCrc(&state_->crc);
}

void PngReader::UpdateCrc(const uint8_t* bytes, uint32_t count) {
  pngtrans::UpdateCrc(&state_->crc, bytes, count);
}

Status PngReader::ReadChunkData(void* destination, uint32_t count) {
  PT_RETURN_IF_ERROR(ReadBytes(destination, count));
  UpdateCrc(static_cast<const uint8_t*>(destination), count);
  return StatusOk;
}

int PngReader::CheckChunkCrc() {
  uint8_t stored[4];
  // Unreadable CRC bytes (end of file) count as a mismatch: nothing vouches for the data.
  if (ReadBytes(stored, sizeof stored) != StatusOk) return 1;
  return ReadUInt32(stored) != state_->crc ? 1 : 0;
}

int PngReader::FinishChunk(uint32_t skip) {
  ReaderState& s = *state_;
  if (skip != 0 && (s.inputBuffer == nullptr || s.inputBufferSize == 0)) return 1;
  // Skipped data still enters the CRC, so it goes through the input buffer in pieces rather
  // than being sought over. Once a read fails the file has ended: the rest cannot arrive, so the
  // loop stops instead of spinning through a declared length of up to 2 GiB.
  while (skip != 0) {
    const uint32_t piece = skip < s.inputBufferSize ? skip : s.inputBufferSize;
    if (ReadChunkData(s.inputBuffer, piece) != StatusOk) break;
    skip -= piece;
  }
  return CheckChunkCrc();
}

Status PngReader::ReadChunkHeader(uint32_t* length) {
  uint8_t bytes[4];
  PT_RETURN_IF_ERROR(ReadBytes(bytes, sizeof bytes));
  *length = ReadUInt32(bytes);
  ResetCrc();
  PT_RETURN_IF_ERROR(ReadChunkData(state_->chunkType, sizeof state_->chunkType));
  // Beyond the PNG limit no chunk is valid; refusing here keeps every later size computation
  // (length + 1 for a terminator, signed seeks) within 32 bits.
  if (*length > kMaxChunkLength) return PT_FAIL(StatusError);
  return StatusOk;
}

Status PngReader::ReadChunkCopy(uint32_t length, uint8_t** copy) {
  *copy = nullptr;
  if (length > kMaxChunkLength) return PT_FAIL(StatusError);
  const uint32_t total = length + 1;
  uint32_t capacity = total < kFirstCopyBytes ? total : kFirstCopyBytes;
  auto* buffer = static_cast<uint8_t*>(ReaderAllocate(capacity));
  if (buffer == nullptr) return PT_FAIL(StatusNoMemory);
  uint32_t filled = 0;
  while (filled < length) {
    if (filled + 1 == capacity) {
      // Double, but never beyond what the chunk declares: the data that has arrived so far
      // pays for each step, so a short file cannot make the copy large.
      const uint32_t grown = capacity > total / 2 ? total : capacity * 2;
      auto* larger = static_cast<uint8_t*>(ReaderAllocate(grown));
      if (larger == nullptr) {
        std::free(buffer);
        return PT_FAIL(StatusNoMemory);
      }
      std::memcpy(larger, buffer, filled);
      std::free(buffer);
      buffer = larger;
      capacity = grown;
    }
    const uint32_t room = capacity - 1 - filled;
    const uint32_t want = length - filled < room ? length - filled : room;
    const Status status = ReadChunkData(buffer + filled, want);
    if (status != StatusOk) {
      std::free(buffer);
      return status;
    }
    filled += want;
  }
  buffer[length] = 0;
  *copy = buffer;
  return StatusOk;
}

}  // namespace pngtrans
