#include "image_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/lowio.h"
#include "stb_image.h"
#include "stb_image_write.h"

namespace xtnd {

namespace {

void Put16(Bytes* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void PutText(Bytes* out, const std::string& text) {
  out->insert(out->end(), text.begin(), text.end());
}

bool IsGrey(const Picture& p) {
  return p.kind == ColorKindGrey;
}

void AppendToBytes(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

bool EncodePng(const Picture& p, Bytes* out) {
  const int channels = (IsGrey(p) ? 1 : 3) + (p.alpha ? 1 : 0);
  std::vector<uint8_t> samples(static_cast<size_t>(p.width) * p.height * channels);
  for (size_t i = 0, o = 0; i < samples.size() / channels; ++i) {
    const uint8_t* px = &p.rgba[i * 4];
    if (IsGrey(p)) {
      samples[o++] = px[0];
    } else {
      samples[o++] = px[0];
      samples[o++] = px[1];
      samples[o++] = px[2];
    }
    if (p.alpha) samples[o++] = px[3];
  }
  return stbi_write_png_to_func(AppendToBytes, out, static_cast<int>(p.width),
                                static_cast<int>(p.height), channels, samples.data(),
                                static_cast<int>(p.width) * channels) != 0;
}

// Bottom-up rows padded to four bytes; 32-bit files carry a V4 header whose masks name the
// alpha byte, so that readers take it as alpha rather than padding.
bool EncodeBmp(const Picture& p, Bytes* out) {
  const uint32_t bytesPerPixel = p.alpha ? 4 : 3;
  const uint32_t stride = (p.width * bytesPerPixel + 3) & ~3u;
  const uint32_t headerSize = p.alpha ? 108 : 40;
  const uint64_t imageSize = static_cast<uint64_t>(stride) * p.height;
  if (imageSize > 0x7FFFFFFFu - 14 - headerSize) return false;
  out->reserve(14 + headerSize + imageSize);
  PutText(out, "BM");
  Put32(out, static_cast<uint32_t>(14 + headerSize + imageSize));
  Put32(out, 0);
  Put32(out, 14 + headerSize);
  Put32(out, headerSize);
  Put32(out, p.width);
  Put32(out, p.height);
  Put16(out, 1);
  Put16(out, bytesPerPixel * 8);
  Put32(out, p.alpha ? 3 : 0);  // BI_BITFIELDS with alpha, else BI_RGB
  Put32(out, static_cast<uint32_t>(imageSize));
  // Pixels per metre: the resolution when it reads as such, else 72 dpi.
  Put32(out, p.resolutionX != 0 ? p.resolutionX : 2835);
  Put32(out, p.resolutionY != 0 ? p.resolutionY : 2835);
  Put32(out, 0);
  Put32(out, 0);
  if (p.alpha) {
    Put32(out, 0x00FF0000);
    Put32(out, 0x0000FF00);
    Put32(out, 0x000000FF);
    Put32(out, 0xFF000000);
    PutText(out, "BGRs");            // LCS_sRGB, stored little-endian
    out->insert(out->end(), 48, 0);  // endpoints and gamma, unused for sRGB
  }
  for (uint32_t y = p.height; y-- > 0;) {
    const size_t start = out->size();
    for (uint32_t x = 0; x < p.width; ++x) {
      const uint8_t* px = p.At(x, y);
      out->push_back(px[2]);
      out->push_back(px[1]);
      out->push_back(px[0]);
      if (p.alpha) out->push_back(px[3]);
    }
    out->resize(start + stride, 0);
  }
  return true;
}

bool EncodeNetpbm(const Picture& p, OutputFormat format, Bytes* out) {
  int channels = 3;
  if (format == OutputFormat::Ppm) {
    PutText(out, "P6\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n");
  } else if (format == OutputFormat::Pgm) {
    channels = 1;
    PutText(out, "P5\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n");
  } else {
    channels = (IsGrey(p) ? 1 : 3) + (p.alpha ? 1 : 0);
    const char* tuple =
        IsGrey(p) ? (p.alpha ? "GRAYSCALE_ALPHA" : "GRAYSCALE") : (p.alpha ? "RGB_ALPHA" : "RGB");
    PutText(out, "P7\nWIDTH " + std::to_string(p.width) + "\nHEIGHT " + std::to_string(p.height) +
                     "\nDEPTH " + std::to_string(channels) + "\nMAXVAL 255\nTUPLTYPE " + tuple +
                     "\nENDHDR\n");
  }
  out->reserve(out->size() + static_cast<size_t>(p.width) * p.height * channels);
  for (size_t i = 0; i < static_cast<size_t>(p.width) * p.height; ++i) {
    const uint8_t* px = &p.rgba[i * 4];
    if (format == OutputFormat::Pgm) {
      out->push_back(GreyLevel(px));
    } else if (format == OutputFormat::Pam && IsGrey(p)) {
      out->push_back(px[0]);
    } else {
      out->insert(out->end(), px, px + 3);
    }
    if (format == OutputFormat::Pam && p.alpha) out->push_back(px[3]);
  }
  return true;
}

// Uncompressed true-colour (or grey without alpha), rows top first.
bool EncodeTga(const Picture& p, Bytes* out) {
  if (p.width > 0xFFFF || p.height > 0xFFFF) return false;
  const bool grey = IsGrey(p) && !p.alpha;
  const uint8_t depth = grey ? 8 : (p.alpha ? 32 : 24);
  const uint8_t header[18] = {0,
                              0,
                              static_cast<uint8_t>(grey ? 3 : 2),
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              static_cast<uint8_t>(p.width),
                              static_cast<uint8_t>(p.width >> 8),
                              static_cast<uint8_t>(p.height),
                              static_cast<uint8_t>(p.height >> 8),
                              depth,
                              static_cast<uint8_t>(0x20 | (p.alpha ? 8 : 0))};
  out->assign(header, header + sizeof header);
  for (size_t i = 0; i < static_cast<size_t>(p.width) * p.height; ++i) {
    const uint8_t* px = &p.rgba[i * 4];
    if (grey) {
      out->push_back(px[0]);
      continue;
    }
    out->push_back(px[2]);
    out->push_back(px[1]);
    out->push_back(px[0]);
    if (p.alpha) out->push_back(px[3]);
  }
  return true;
}

}  // namespace

OutputFormat FormatOfPath(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return OutputFormat::Unknown;
  }
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return OutputFormat::Png;
  if (ext == "bmp") return OutputFormat::Bmp;
  if (ext == "ppm") return OutputFormat::Ppm;
  if (ext == "pgm") return OutputFormat::Pgm;
  if (ext == "pam") return OutputFormat::Pam;
  if (ext == "tga") return OutputFormat::Tga;
  return OutputFormat::Unknown;
}

const char* FormatName(OutputFormat format) {
  switch (format) {
    case OutputFormat::Png:
      return "PNG";
    case OutputFormat::Bmp:
      return "BMP";
    case OutputFormat::Ppm:
      return "PPM";
    case OutputFormat::Pgm:
      return "PGM";
    case OutputFormat::Pam:
      return "PAM";
    case OutputFormat::Tga:
      return "TGA";
    default:
      return "unknown";
  }
}

bool EncodePicture(const Picture& picture, OutputFormat format, Bytes* out) {
  out->clear();
  switch (format) {
    case OutputFormat::Png:
      return EncodePng(picture, out);
    case OutputFormat::Bmp:
      return EncodeBmp(picture, out);
    case OutputFormat::Ppm:
    case OutputFormat::Pgm:
    case OutputFormat::Pam:
      return EncodeNetpbm(picture, format, out);
    case OutputFormat::Tga:
      return EncodeTga(picture, out);
    default:
      return false;
  }
}

bool DecodeWithStb(const Bytes& file, Picture* out, std::string* reason) {
  if (file.size() > 0x7FFFFFFFu) {
    *reason = "the file is too large";
    return false;
  }
  int w = 0, h = 0, channels = 0;
  stbi_uc* data =
      stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &channels, 4);
  if (data == nullptr) {
    const char* why = stbi_failure_reason();
    *reason = std::string("unsupported input format") + (why != nullptr ? " (" : "") +
              (why != nullptr ? why : "") + (why != nullptr ? ")" : "");
    return false;
  }
  const bool sized =
      w > 0 && h > 0 && out->Resize(static_cast<uint32_t>(w), static_cast<uint32_t>(h));
  if (sized) std::memcpy(out->rgba.data(), data, out->rgba.size());
  stbi_image_free(data);
  if (!sized) {
    *reason = "the image is too large for this host";
    return false;
  }
  out->kind = channels <= 2 ? ColorKindGrey : ColorKindFullColor;
  out->alpha = channels == 2 || channels == 4;
  return true;
}

bool ReadWholeFile(const std::string& path, Bytes* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buffer[65536];
  size_t got = 0;
  bool ok = true;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    if (out->size() + got > 0x40000000u) {
      ok = false;
      break;
    }
    out->insert(out->end(), buffer, buffer + got);
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  return ok;
}

bool ReadFileHead(const std::string& path, size_t count, Bytes* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->assign(count, 0);
  out->resize(std::fread(out->data(), 1, count, f));
  std::fclose(f);
  return true;
}

long FileBytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  const long size = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
  std::fclose(f);
  return size;
}

bool StartsWithPngSignature(const Bytes& file) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  return file.size() >= 8 && std::memcmp(file.data(), kSignature, 8) == 0;
}

namespace {

// stat's answer for path; false when there is nothing there (or it cannot be seen).
bool StatOf(const std::string& path, struct stat* st) {
  return ::stat(path.c_str(), st) == 0;
}

bool IsDirectory(const struct stat& st) {
  return (st.st_mode & S_IFMT) == S_IFDIR;
}

// The caller may write the file: on Windows, it is not marked read-only.
bool MayWrite(const std::string& path) {
#if defined(_WIN32)
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
#else
  return ::access(path.c_str(), W_OK) == 0;
#endif
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of(
#if defined(_WIN32)
      "/\\:"
#else
      "/"
#endif
  );
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

}  // namespace

std::string ReadCause(const std::string& path) {
  struct stat st;
  if (!StatOf(path, &st)) return std::strerror(errno);
  if (IsDirectory(st)) return std::strerror(EISDIR);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::strerror(errno);
  std::fclose(f);
  return "";
}

std::string WriteCause(const std::string& path) {
  struct stat st;
  if (StatOf(path, &st)) {
    if (IsDirectory(st)) return std::strerror(EISDIR);
    return MayWrite(path) ? "" : std::strerror(EACCES);
  }
  const std::string folder = FolderOf(path);
  if (!StatOf(folder, &st)) return std::strerror(errno);
  if (!IsDirectory(st)) return std::strerror(ENOTDIR);
#if !defined(_WIN32)
  if (::access(folder.c_str(), W_OK) != 0) return std::strerror(errno);
#endif
  return "";
}

bool WriteFileAtomically(const std::string& path, const Bytes& bytes) {
  // The module's own replacement: a temporary file nobody can foresee or plant, a link kept
  // with its target replaced, mode and owner kept, a file the user may not write left alone.
  pngtrans::lowio::ReplacementFile file;
  const int fd = pngtrans::lowio::BeginReplace(path.c_str(), &file);
  if (fd < 0) return false;
  constexpr size_t kPiece = size_t{1} << 30;
  for (size_t done = 0; done < bytes.size();) {
    const auto n = static_cast<uint32_t>(std::min(kPiece, bytes.size() - done));
    if (pngtrans::lowio::Write(fd, bytes.data() + done, n) != static_cast<int32_t>(n)) {
      const int cause = errno;
      pngtrans::lowio::AbortReplace(&file);
      errno = cause;
      return false;
    }
    done += n;
  }
  return pngtrans::lowio::CommitReplace(&file);
}

}  // namespace xtnd
