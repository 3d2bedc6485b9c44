// Runs the built reference host as a separate program (no shell in between) and reads the
// files it writes: the host tool's tests see it exactly as a user or a script does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"

namespace pngtrans::test {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// xtnd-host --module MODULE --quiet ARGS... (withModule false leaves the first two out).
ToolRun RunTool(const std::vector<std::string>& args, bool withModule = true);

// RunTool with a symbolic link to target planted at prefix + the tool's process id, the
// moment before it starts (POSIX).
ToolRun RunToolWithPlantedLink(const std::vector<std::string>& args, const std::string& prefix,
                               const std::string& target);

// The same as a user without privileges (AsUnprivilegedUser); exitCode -1 with *why set when
// no such user can be had or cannot run the tool.
ToolRun RunToolUnprivileged(const std::vector<std::string>& args, std::string* why);

// The module built beside the tests, and a library that loads but holds no translator.
std::string ToolModulePath();
std::string NoTranslatorLibraryPath();

// An image as 8-bit RGBA with what the file said about itself.
struct Rgba {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 0;  // in the file: 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
  Bytes pixels;      // width * height * 4
};

// Reads any output format of the host (PNG through the test-side decoder, BMP, PPM, PGM and
// TGA through stb_image, PAM by hand). False with error set when the file is not readable.
bool ReadToolOutput(const std::string& path, Rgba* out, std::string* error);

// stb_image's decoding of an input file the tests made (BMP, JPEG, PPM).
bool DecodeInputWithStb(const Bytes& file, Rgba* out);
// Input files written by stb_image_write (bmp, jpg) or by hand (ppm); channels 3 or 4.
Bytes EncodeInput(const std::string& format, const Rgba& image);

// Splits one line of flat JSON ({"key":value,...}) into keys and raw values (strings
// unescaped, others as written). False when the line is not such an object.
bool ParseFlatJson(const std::string& line, std::vector<std::pair<std::string, std::string>>* out);

}  // namespace pngtrans::test
