#include "host_calls.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#define XTND_ISATTY _isatty
#define XTND_FILENO _fileno
#else
#include <unistd.h>
#define XTND_ISATTY isatty
#define XTND_FILENO fileno
#endif

namespace xtnd {

namespace {

// Every argument after the header is one pointer-size value.
XtndArg Arg(const void* pointer) {
  return reinterpret_cast<XtndArg>(pointer);
}
XtndArg Arg(ProgressCallback callback) {
  return reinterpret_cast<XtndArg>(callback);
}

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Milliseconds() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

bool progressEnabled = false;
int progressShown = -1;
// Short commands stay quiet: the bar appears only once a command has run this long.
constexpr double kProgressDelayMs = 300;
std::chrono::steady_clock::time_point progressStart;

const char* ColorTypeName(uint32_t type) {
  switch (type) {
    case 0:
      return "grey";
    case 2:
      return "full colour";
    case 3:
      return "palette";
    case 4:
      return "grey with alpha";
    case 6:
      return "colour with alpha";
    default:
      return "not a colour type";
  }
}

}  // namespace

const char* StatusName(uint32_t status) {
  switch (status) {
    case StatusOk:
      return "StatusOk";
    case StatusError:
      return "StatusError";
    case StatusWriteError:
      return "StatusWriteError";
    case StatusNoMemory:
      return "StatusNoMemory";
    case StatusBadFormat:
      return "StatusBadFormat";
    default:
      return "StatusUnknown";
  }
}

const char* KindName(int32_t kind) {
  switch (kind) {
    case ColorKindBilevel:
      return "bilevel";
    case ColorKindGrey:
      return "grey";
    case ColorKindIndexed:
      return "indexed";
    case ColorKindFullColor:
      return "full colour";
    default:
      return "unknown";
  }
}

std::string DescribeOptions(uint32_t word) {
  char text[200];
  if (word == 0) return "00000000: not set (the plug-in chooses from the image)";
  const uint32_t type = PNGTRANS_OPTION_FIELD(word, SaveOptionsColorTypeShift);
  std::snprintf(text, sizeof text,
                "%08X: interlace %u, transparency %u, saveMask %u, colorType %u (%s), depth %u",
                word, PNGTRANS_OPTION_FIELD(word, SaveOptionsInterlaceShift),
                PNGTRANS_OPTION_FIELD(word, SaveOptionsTransparencyShift),
                PNGTRANS_OPTION_FIELD(word, SaveOptionsSaveMaskShift), type, ColorTypeName(type),
                PNGTRANS_OPTION_FIELD(word, SaveOptionsDepthShift));
  return text;
}

std::string DescribeAttributes(uint32_t word) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X", word);
  std::string out = text;
  if (word & AttributeGrey8) out += " grey8";
  if (word & AttributeIndexed8) out += " indexed8";
  if (word & AttributeColor24) out += " colour24";
  if (word & AttributeAlpha) out += " alpha";
  if (word & AttributeTransparent) out += " transparent";
  return out;
}

std::string DescribeImage(const HostImage& im) {
  char text[300];
  std::snprintf(text, sizeof text,
                "%u x %u, %s, %d bits per pixel, palette %u, rowBytes %u, mask kind %u "
                "(%d bits, %d bytes per row), resolution %u x %u, background %08X",
                im.width, im.height, KindName(im.colorKind), im.bitsPerPixel, im.paletteCount,
                im.rowBytes, im.maskKind, im.maskBits, im.maskRowBytes, im.resolutionX,
                im.resolutionY, im.backgroundColor);
  return text;
}

void EnableProgress(bool enabled) {
  progressEnabled = enabled && XTND_ISATTY(XTND_FILENO(stderr));
  progressShown = -1;
}

void PNGTRANS_CDECL ShowProgress(int32_t done, int32_t total) {
  if (!progressEnabled || total <= 0 || done < 0) return;
  if (done == 0) progressStart = std::chrono::steady_clock::now();
  if (progressShown < 0 &&
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - progressStart)
              .count() < kProgressDelayMs) {
    return;
  }
  const int percent = static_cast<int>(static_cast<int64_t>(done) * 100 / total);
  if (percent == progressShown) return;
  progressShown = percent;
  char bar[41];
  for (int i = 0; i < 40; ++i) bar[i] = i < percent * 40 / 100 ? '#' : '.';
  bar[40] = '\0';
  std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
  std::fflush(stderr);
}

void FinishProgress() {
  if (progressEnabled && progressShown >= 0) std::fprintf(stderr, "\n");
  progressShown = -1;
}

int PNGTRANS_CDECL AllocateExact(HostImage* image) {
  const uint64_t pixelBytes = static_cast<uint64_t>(image->height) * image->rowBytes;
  const uint64_t maskBytes =
      image->maskKind != MaskNone && image->maskRowBytes > 0
          ? static_cast<uint64_t>(image->height) * static_cast<uint32_t>(image->maskRowBytes)
          : 0;
  if (pixelBytes == 0 || pixelBytes > 0x40000000u || maskBytes > 0x40000000u) return 0;
  if (image->maskKind != MaskNone && maskBytes == 0) return 0;
  image->pixels = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(pixelBytes)));
  image->palette = static_cast<ColorValue*>(std::malloc(256 * sizeof(ColorValue)));
  image->mask =
      maskBytes != 0 ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(maskBytes))) : nullptr;
  if (image->pixels == nullptr || image->palette == nullptr ||
      (maskBytes != 0 && image->mask == nullptr)) {
    ReleaseExact(image);
    return 0;
  }
  return 1;
}

int PNGTRANS_CDECL ReleaseExact(HostImage* image) {
  std::free(image->pixels);
  std::free(image->palette);
  std::free(image->mask);
  image->pixels = nullptr;
  image->palette = nullptr;
  image->mask = nullptr;
  return 1;
}

Imported ImportFile(const HostModule& module, const std::string& path, bool progress) {
  Imported out;
  out.image.allocate = AllocateExact;
  out.image.release = ReleaseExact;
  CommandHeader header = {0, XtndCommandImport, 0};
  const Stopwatch clock;
  out.call.returned = module.procedure()(&header, Arg(path.c_str()), Arg(out.title),
                                         Arg(&out.image), Arg(&out.options), XtndArg{0}, XtndArg{0},
                                         progress ? Arg(ShowProgress) : XtndArg{0});
  out.call.milliseconds = clock.Milliseconds();
  out.call.status = header.result;
  if (progress) FinishProgress();
  // The module released the buffers itself on failure; a host keeps nothing then.
  if (out.call.returned != 1) ReleaseExact(&out.image);
  return out;
}

Probed ProbeFile(const HostModule& module, const std::string& path) {
  Probed out;
  CommandHeader header = {0, XtndCommandAttributes, 0};
  out.attributesCall.returned =
      module.procedure()(&header, Arg(path.c_str()), Arg(&out.attributes));
  out.attributesCall.status = header.result;
  header = {0, XtndCommandPreview, 0};
  out.previewCall.returned =
      module.procedure()(&header, Arg(path.c_str()), Arg(out.title), Arg(&out.info), XtndArg{0});
  out.previewCall.status = header.result;
  return out;
}

CallResult SaveWithOptions(const HostModule& module, const std::string& path, const char* title,
                           HostImage* image, uint32_t options, bool progress) {
  CallResult out;
  // The driver writes result only on failure: preset it so that a failure inside the encoder
  // reads as one.
  CommandHeader header = {0, XtndCommandExportWithOptions, StatusError};
  const Stopwatch clock;
  out.returned = module.procedure()(&header, Arg(path.c_str()), Arg(title), Arg(image),
                                    XtndArg{options}, progress ? Arg(ShowProgress) : XtndArg{0});
  out.milliseconds = clock.Milliseconds();
  out.status = header.result;
  if (progress) FinishProgress();
  return out;
}

CallResult SaveWithDialog(const HostModule& module, const std::string& path, const char* title,
                          HostImage* image, uint32_t* options, bool dialog, bool progress) {
  CallResult out;
  // Cancel sets result to 0; a failure inside the encoder leaves the preset StatusError.
  CommandHeader header = {0, XtndCommandExport, StatusError};
  const Stopwatch clock;
  out.returned = module.procedure()(&header, Arg(path.c_str()), Arg(title), Arg(image),
                                    Arg(options), XtndArg{dialog ? 1u : 0u}, XtndArg{0},
                                    progress ? Arg(ShowProgress) : XtndArg{0});
  out.milliseconds = clock.Milliseconds();
  out.status = header.result;
  if (progress) FinishProgress();
  return out;
}

CallResult EditOptions(const HostModule& module, uint32_t* options) {
  CallResult out;
  CommandHeader header = {0, XtndCommandOptions, 0};
  out.returned = module.procedure()(&header, XtndArg{0}, Arg(options));
  out.status = header.result;
  return out;
}

bool Supports(const HostModule& module, uint32_t code) {
  CommandHeader header = {0, XtndCommandCapability, 0};
  return module.procedure()(&header, XtndArg{code}) == 1;
}

}  // namespace xtnd
