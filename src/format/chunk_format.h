// PNG chunk framing shared by the reader and the writer: big-endian integers, chunk types and
// the CRC-32 (zlib's crc32) over type and data.
#pragma once

#include <cstdint>
#include <cstring>

#include <zlib.h>

namespace pngtrans {

inline constexpr uint8_t kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

inline uint32_t ReadUInt32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

inline int32_t ReadInt32(const uint8_t* b) {
  return static_cast<int32_t>(ReadUInt32(b));
}

inline uint16_t ReadUInt16(const uint8_t* b) {
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

inline void PutU32BE(uint8_t* b, uint32_t v) {
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}

inline void PutU16BE(uint8_t* b, uint16_t v) {
  b[0] = static_cast<uint8_t>(v >> 8);
  b[1] = static_cast<uint8_t>(v);
}

// The running CRC of a chunk: ResetCrc before the type, UpdateCrc over type and data.
inline void ResetCrc(uint32_t* crc) {
  *crc = static_cast<uint32_t>(crc32(0, Z_NULL, 0));
}

inline void UpdateCrc(uint32_t* crc, const uint8_t* bytes, uint32_t count) {
  *crc = static_cast<uint32_t>(crc32(*crc, bytes, count));
}

inline bool ChunkTypeIs(const uint8_t* type, const char* name) {
  return std::memcmp(type, name, 4) == 0;
}

// Bit 0x20 of the first type byte clear: critical; set: ancillary.
inline bool IsCriticalChunk(const uint8_t* type) {
  return (type[0] & 0x20) == 0;
}

// The PNG limit for chunk lengths.
inline constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;

}  // namespace pngtrans
