// Image files the host reads and writes itself, never through the plug-in: PNG through
// stb_image_write (so that the plug-in's import and export judge each other), BMP, PPM, PGM,
// PAM and TGA by hand; BMP, JPEG, GIF, TGA, PPM and PGM read through stb_image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture.h"

namespace xtnd {

using Bytes = std::vector<uint8_t>;

enum class OutputFormat { Unknown, Png, Bmp, Ppm, Pgm, Pam, Tga };

// The format a file name's extension names (case does not matter).
OutputFormat FormatOfPath(const std::string& path);
const char* FormatName(OutputFormat format);

// The whole file for the picture. Grey pictures stay grey where the format can say so; alpha
// is kept by PNG, BMP (32-bit), PAM and TGA; PPM drops it; PGM holds the grey level.
bool EncodePicture(const Picture& picture, OutputFormat format, Bytes* out);

// Reads a non-PNG image; false with stb_image's reason when it cannot.
bool DecodeWithStb(const Bytes& file, Picture* out, std::string* reason);

bool ReadWholeFile(const std::string& path, Bytes* out);
// Up to count bytes from the start of the file; false when it cannot be opened.
bool ReadFileHead(const std::string& path, size_t count, Bytes* out);
// The file's size in bytes, or -1 when it cannot be opened.
long FileBytes(const std::string& path);
bool StartsWithPngSignature(const Bytes& file);

// Writes bytes to path through the module's file replacement (src/platform), so that a failed
// write never leaves a half-written file at path. A path that exists and may not be written
// (POSIX access, the read-only attribute on Windows) is left as it is: false, errno EACCES.
bool WriteFileAtomically(const std::string& path, const Bytes& bytes);

// Why the file cannot be read, or written as a new or replaced file, as the system says it
// ("No such file or directory", "Is a directory", "Permission denied"); empty when nothing
// stands in the way.
std::string ReadCause(const std::string& path);
std::string WriteCause(const std::string& path);

}  // namespace xtnd
