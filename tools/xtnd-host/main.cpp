// xtnd-host: the reference host. It loads a translator module at run time (dlopen /
// LoadLibrary, CountXTND, GetXTNDInfo) and drives it through the record's procedure only,
// exactly as an image application would; it never calls the module's internals.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "demo.h"
#include "host_calls.h"
#include "host_module.h"
#include "image_files.h"
#include "picture.h"

namespace xtnd {
namespace {

const char kUsage[] =
    "usage: xtnd-host [--module PATH] [--quiet] COMMAND ...\n"
    "       xtnd-host --version | -h | --help | help\n"
    "  info                          the translator record and the supported commands\n"
    "  probe [--json] FILE...        size, colour kind, flags and title (commands 9 and 5)\n"
    "  import IN.png OUT             open through the plug-in (command 3) and write OUT as\n"
    "                                .png, .bmp, .ppm, .pgm, .pam or .tga\n"
    "  export IN OUT.png [--color grey|256|full] [--alpha] [--interlace] [--transparent]\n"
    "                    [--title TEXT] [--as bilevel|grey|indexed|full] [--word HEX]\n"
    "                    [--dialog]\n"
    "                                save through the plug-in (command 13, or 4 with the\n"
    "                                dialog); IN is PNG, BMP, JPEG, GIF, TGA, PPM or PGM\n"
    "  options [HEX]                 the save-options dialog on a word (command 11)\n"
    "  demo [OUTDIR]                 save a built-in sample in every mode and open it again\n"
    "The module is PATH, else $PNGTRANS_MODULE, else the one beside this program.\n";

// A usage error: one line and where the usage is; without a command, the usage itself.
int Usage(const std::string& problem) {
  if (problem.empty()) {
    std::fputs(kUsage, stderr);
  } else {
    std::fprintf(stderr, "xtnd-host: %s (see xtnd-host --help)\n", problem.c_str());
  }
  return 2;
}

bool AsksForHelp(const std::string& arg) {
  return arg == "-h" || arg == "--help" || arg == "help";
}

// One line on stderr naming the file, the status and, where the system gave one, the cause;
// exit code 1.
int Fail(const std::string& file, uint32_t status, const std::string& reason,
         const std::string& cause = "") {
  std::fprintf(stderr, "xtnd-host: %s: %s: %s%s%s\n", file.c_str(), StatusName(status),
               reason.c_str(), cause.empty() ? "" : ": ", cause.c_str());
  return 1;
}

// What a failing file command's status means for the file the user named.
std::string ReasonFor(uint32_t status) {
  switch (status) {
    case StatusBadFormat:
      return "not a PNG file";
    case StatusNoMemory:
      return "out of memory";
    case StatusWriteError:
      return "cannot write the file";
    default:
      return "the file cannot be read as PNG";
  }
}

// tEXt is Latin-1; the terminal and JSON want UTF-8.
std::string Latin1ToUtf8(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool ParseHex(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, 16);
  if (end == nullptr || *end != '\0' || parsed > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

// --- info ------------------------------------------------------------------------------------

const char* CommandName(uint32_t code) {
  switch (code) {
    case XtndCommandQuery0:
    case XtndCommandQuery1:
      return "no action";
    case XtndCommandCapability:
      return "capability query";
    case XtndCommandImport:
      return "import";
    case XtndCommandExport:
      return "export (dialog on request)";
    case XtndCommandPreview:
      return "preview";
    case XtndCommandAttributes:
      return "file attributes";
    case XtndCommandOptions:
      return "save-options dialog";
    case XtndCommandExportWithOptions:
      return "export with options";
    default:
      return "";
  }
}

int Info(const HostModule& module, const std::string& path) {
  const TranslatorRecord& r = module.record();
  char type[5] = {};
  std::memcpy(type, r.typeName, 4);
  std::printf("host:        xtnd-host %s\n", PNGTRANS_VERSION);
  std::printf("module:      %s\n", path.c_str());
  const std::string version = ModuleFileVersion(path);
  if (!version.empty())
    std::printf("version:     %s (the module's version resource)\n", version.c_str());
  std::printf("translators: %d\n", module.Count());
  std::printf("name:        %s (", DecodeShiftJis(r.displayName, sizeof r.displayName).c_str());
  for (size_t i = 0; i < sizeof r.displayName && r.displayName[i] != 0; ++i) {
    std::printf(i == 0 ? "%02X" : " %02X", r.displayName[i]);
  }
  std::printf(")\ntype:        %s\n", type);
  std::printf("words:       %u %u\n", r.hostWord72, r.hostWord76);
  std::printf("flags:       %02X %02X %02X %02X\n", r.hostBytes80[0], r.hostBytes80[1],
              r.hostBytes80[2], r.hostBytes80[3]);
  std::printf("commands:\n");
  for (uint32_t code = 0; code <= 15; ++code) {
    const bool supported = Supports(module, code);
    const char* name = CommandName(code);
    std::printf("  %2u  %s%s%s\n", code, supported ? "supported    " : "not supported",
                name[0] != '\0' ? " " : "", name);
  }
  return 0;
}

// --- probe -----------------------------------------------------------------------------------

int Probe(const HostModule& module, const std::vector<std::string>& files, bool json) {
  int exitCode = 0;
  for (const std::string& file : files) {
    uint32_t status = StatusOk;
    std::string error;
    Probed probed;
    std::string cause = ReadCause(file);
    if (!cause.empty()) {
      status = StatusError;
      error = "cannot open the file: " + cause;
    } else {
      probed = ProbeFile(module, file);
      if (probed.previewCall.returned != 1 || probed.attributesCall.returned != 1) {
        status = probed.previewCall.returned != 1 ? probed.previewCall.status
                                                  : probed.attributesCall.status;
        error = ReasonFor(status);
      }
    }
    if (status != StatusOk) {
      exitCode = 1;
      if (json) {
        std::printf("{\"file\":%s,\"status\":\"%s\",\"error\":%s}\n", JsonString(file).c_str(),
                    StatusName(status), JsonString(error).c_str());
      }
      Fail(file, status, error);
      continue;
    }
    const HostImage& im = probed.info;
    const bool alpha = (probed.attributes & AttributeAlpha) != 0;
    const bool transparency = (probed.attributes & AttributeTransparent) != 0;
    const std::string title = Latin1ToUtf8(probed.title);
    if (json) {
      std::printf(
          "{\"file\":%s,\"status\":\"StatusOk\",\"width\":%u,\"height\":%u,"
          "\"colorKind\":\"%s\",\"bitsPerPixel\":%d,\"resolutionX\":%u,\"resolutionY\":%u,"
          "\"alpha\":%s,\"transparency\":%s,\"attributes\":\"%08X\",\"title\":%s}\n",
          JsonString(file).c_str(), im.width, im.height, KindName(im.colorKind), im.bitsPerPixel,
          im.resolutionX, im.resolutionY, alpha ? "true" : "false", transparency ? "true" : "false",
          probed.attributes, JsonString(title).c_str());
    } else {
      std::printf(
          "%s: %u x %u %s, %d bits per pixel, resolution %u x %u, alpha %s, "
          "transparency %s, attributes %s",
          file.c_str(), im.width, im.height, KindName(im.colorKind), im.bitsPerPixel,
          im.resolutionX, im.resolutionY, alpha ? "yes" : "no", transparency ? "yes" : "no",
          DescribeAttributes(probed.attributes).c_str());
      if (!title.empty()) std::printf(", title \"%s\"", title.c_str());
      std::printf("\n");
    }
  }
  return exitCode;
}

// --- import ----------------------------------------------------------------------------------

int Import(const HostModule& module, const std::string& in, const std::string& out, bool progress) {
  const OutputFormat format = FormatOfPath(out);
  if (format == OutputFormat::Unknown) {
    return Usage(out + ": unknown output format (use .png, .bmp, .ppm, .pgm, .pam or .tga)");
  }
  const std::string cause = ReadCause(in);
  if (!cause.empty()) return Fail(in, StatusError, "cannot open the file", cause);
  Imported imported = ImportFile(module, in, progress);
  if (imported.call.returned != 1) {
    return Fail(in, imported.call.status, ReasonFor(imported.call.status));
  }
  std::printf("%s: %s\n", in.c_str(), DescribeImage(imported.image).c_str());
  std::printf("options: %s\n", DescribeOptions(imported.options).c_str());
  std::printf("title:   \"%s\"\n", Latin1ToUtf8(imported.title).c_str());
  Picture picture;
  std::string reason;
  const bool shown = PictureFromHost(imported.image, &picture, &reason);
  ReleaseExact(&imported.image);
  if (!shown) return Fail(in, StatusError, reason);
  Bytes file;
  if (!EncodePicture(picture, format, &file)) {
    return Fail(out, StatusWriteError,
                "cannot encode the image as " + std::string(FormatName(format)));
  }
  if (!WriteFileAtomically(out, file)) {
    return Fail(out, StatusWriteError, "cannot write the file", std::strerror(errno));
  }
  std::printf("wrote %s: %s, %u x %u%s, %zu bytes (%.1f ms in the plug-in)\n", out.c_str(),
              FormatName(format), picture.width, picture.height, picture.alpha ? " with alpha" : "",
              file.size(), imported.call.milliseconds);
  return 0;
}

// --- export ----------------------------------------------------------------------------------

struct ExportArgs {
  std::string in, out, color, as, title;
  bool alpha = false, interlace = false, transparent = false, dialog = false;
  bool haveWord = false, haveTitle = false;
  uint32_t word = 0;
};

int32_t KindByName(const std::string& name) {
  if (name == "bilevel") return ColorKindBilevel;
  if (name == "grey") return ColorKindGrey;
  if (name == "indexed") return ColorKindIndexed;
  if (name == "full") return ColorKindFullColor;
  return -1;
}

// The word the flags ask for: 0 (the plug-in picks) when none is given; otherwise the colour
// type from --color, or from the image kind, with alpha where asked.
uint32_t ComposeWord(const ExportArgs& a, int32_t kind) {
  if (a.haveWord) return a.word;
  if (a.color.empty() && !a.alpha && !a.interlace && !a.transparent) return 0;
  uint32_t type = 2;
  const std::string color = !a.color.empty()             ? a.color
                            : kind == ColorKindIndexed   ? "256"
                            : kind == ColorKindFullColor ? "full"
                                                         : "grey";
  if (color == "grey") type = a.alpha ? 4 : 0;
  if (color == "256") type = 3;
  if (color == "full") type = a.alpha ? 6 : 2;
  return PNGTRANS_OPTION_WORD(a.interlace ? 1 : 0, a.transparent ? 1 : 0, a.alpha ? 1 : 0, type, 8);
}

int Export(const HostModule& module, const ExportArgs& a, bool progress) {
  // The signature decides who reads the file: PNG goes through the plug-in, which reads it
  // itself; only other formats are read whole here.
  Bytes head;
  const std::string cause = ReadCause(a.in);
  if (!cause.empty() || !ReadFileHead(a.in, 8, &head)) {
    return Fail(a.in, StatusError, "cannot open the file", cause);
  }
  Picture picture;
  std::string reason;
  const char* source = "PNG through the plug-in";
  if (StartsWithPngSignature(head) || FormatOfPath(a.in) == OutputFormat::Png) {
    Imported imported = ImportFile(module, a.in, progress);
    if (imported.call.returned != 1) {
      return Fail(a.in, imported.call.status, ReasonFor(imported.call.status));
    }
    const bool shown = PictureFromHost(imported.image, &picture, &reason);
    ReleaseExact(&imported.image);
    if (!shown) return Fail(a.in, StatusError, reason);
  } else {
    source = "read through stb_image";
    Bytes input;
    if (!ReadWholeFile(a.in, &input)) {
      return Fail(a.in, StatusError, "cannot read the file", std::strerror(errno));
    }
    if (!DecodeWithStb(input, &picture, &reason)) return Fail(a.in, StatusBadFormat, reason);
  }
  const int32_t kind = a.as.empty() ? picture.kind : KindByName(a.as);
  OwnedHostImage host;
  if (!HostFromPicture(picture, kind, &host, &reason)) return Fail(a.in, StatusError, reason);
  const uint32_t given = ComposeWord(a, kind);
  std::printf("%s: %u x %u %s%s, %s\n", a.in.c_str(), picture.width, picture.height,
              KindName(picture.kind), picture.alpha ? " with alpha" : "", source);
  std::printf("saving:  %s\n", DescribeImage(host.image).c_str());
  std::printf("options given: %s\n", DescribeOptions(given).c_str());

  // The plug-in itself saves beside the target and replaces it only with a finished file, so
  // the real path goes to it.
  const char* title = a.haveTitle ? a.title.c_str() : nullptr;
  uint32_t used = given;
  const CallResult call =
      a.dialog ? SaveWithDialog(module, a.out, title, &host.image, &used, true, progress)
               : SaveWithOptions(module, a.out, title, &host.image, given, progress);
  if (call.returned != 1) {
    if (a.dialog && call.status == StatusOk) {
      std::printf("dialog:  Cancel; nothing written\n");
      return 1;
    }
    if (call.status == StatusWriteError) {
      const std::string cause = WriteCause(a.out);
      if (!cause.empty()) return Fail(a.out, call.status, "cannot create the file", cause);
      // Nothing stood in the way at the start: the save failed at writing or at its last step.
      return Fail(a.out, call.status,
                  "the file could not be written in full or put in place; it is as it was");
    }
    return Fail(a.out, call.status, "the plug-in cannot save this image");
  }
  if (a.dialog) {
    std::printf("options used: %s\n", DescribeOptions(used).c_str());
  } else {
    // Command 13 keeps the word it used to itself; the saved file tells it.
    Imported back = ImportFile(module, a.out, false);
    ReleaseExact(&back.image);
    if (back.call.returned == 1) {
      std::printf("file holds:   %s\n", DescribeOptions(back.options).c_str());
    }
  }
  std::printf("wrote %s: %ld bytes (%.1f ms in the plug-in)\n", a.out.c_str(), FileBytes(a.out),
              call.milliseconds);
  return 0;
}

// --- options ---------------------------------------------------------------------------------

int Options(const HostModule& module, uint32_t word) {
  std::printf("options before: %s\n", DescribeOptions(word).c_str());
  const CallResult call = EditOptions(module, &word);
  std::printf("dialog: %s\n", call.returned == 1 ? "OK" : "Cancel");
  std::printf("options after:  %s\n", DescribeOptions(word).c_str());
  return 0;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string modulePath;
  bool quiet = false;
  size_t i = 0;
  for (; i < args.size() && args[i].rfind("-", 0) == 0; ++i) {
    if (AsksForHelp(args[i])) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (args[i] == "--version" && args.size() == 1) {
      std::printf("xtnd-host (pngtrans) %s\n", PNGTRANS_VERSION);
      return 0;
    }
    if (args[i] == "--module" && i + 1 < args.size()) {
      modulePath = args[++i];
    } else if (args[i] == "--quiet") {
      quiet = true;
    } else {
      return Usage("unknown option " + args[i]);
    }
  }
  if (i == args.size()) return Usage("");
  const std::string verb = args[i++];
  if (AsksForHelp(verb)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<std::string> rest;
  for (; i < args.size(); ++i) {
    if (args[i] == "--quiet") {
      quiet = true;
    } else {
      rest.push_back(args[i]);
    }
  }

  // Every argument is checked before the module is loaded: a usage error needs no module.
  bool json = false;
  ExportArgs exportArgs;
  uint32_t optionWord = 0;
  std::vector<std::string> files;
  if (verb == "info") {
    if (!rest.empty()) return Usage("info takes no arguments");
  } else if (verb == "probe") {
    for (const std::string& a : rest) {
      if (a == "--json") {
        json = true;
      } else if (a.rfind("--", 0) == 0) {
        return Usage("unknown option " + a);
      } else {
        files.push_back(a);
      }
    }
    if (files.empty()) return Usage("probe needs at least one file");
  } else if (verb == "import") {
    if (rest.size() != 2) return Usage("import needs IN.png and OUT");
  } else if (verb == "export") {
    std::vector<std::string> positional;
    for (size_t k = 0; k < rest.size(); ++k) {
      const std::string& a = rest[k];
      const bool hasValue = k + 1 < rest.size();
      if (a == "--alpha") {
        exportArgs.alpha = true;
      } else if (a == "--interlace") {
        exportArgs.interlace = true;
      } else if (a == "--transparent") {
        exportArgs.transparent = true;
      } else if (a == "--dialog") {
        exportArgs.dialog = true;
      } else if (a == "--color" && hasValue) {
        exportArgs.color = rest[++k];
        if (exportArgs.color != "grey" && exportArgs.color != "256" && exportArgs.color != "full") {
          return Usage("--color takes grey, 256 or full");
        }
      } else if (a == "--as" && hasValue) {
        exportArgs.as = rest[++k];
        if (KindByName(exportArgs.as) < 0)
          return Usage("--as takes bilevel, grey, indexed or full");
      } else if (a == "--title" && hasValue) {
        exportArgs.title = rest[++k];
        exportArgs.haveTitle = true;
      } else if (a == "--word" && hasValue) {
        if (!ParseHex(rest[++k], &exportArgs.word)) return Usage("--word takes a hexadecimal word");
        exportArgs.haveWord = true;
      } else if (a.rfind("--", 0) == 0) {
        return Usage("unknown or incomplete option " + a);
      } else {
        positional.push_back(a);
      }
    }
    if (positional.size() != 2) return Usage("export needs IN and OUT.png");
    exportArgs.in = positional[0];
    exportArgs.out = positional[1];
  } else if (verb == "options") {
    if (rest.size() > 1 || (rest.size() == 1 && !ParseHex(rest[0], &optionWord))) {
      return Usage("options takes one hexadecimal word");
    }
  } else if (verb == "demo") {
    if (rest.size() > 1) return Usage("demo takes one output directory");
  } else {
    return Usage("unknown command " + verb);
  }

  if (modulePath.empty()) modulePath = DefaultModulePath();
  HostModule module(modulePath);
  if (!module.ok()) return Fail(modulePath, StatusError, module.error());
  EnableProgress(!quiet);
  const bool progress = !quiet;
  if (verb == "info") return Info(module, modulePath);
  if (verb == "probe") return Probe(module, files, json);
  if (verb == "import") return Import(module, rest[0], rest[1], progress);
  if (verb == "export") return Export(module, exportArgs, progress);
  if (verb == "options") return Options(module, optionWord);
  Info(module, modulePath);
  return RunDemo(module, rest.empty() ? std::string("pngtrans-demo") : rest[0]);
}

}  // namespace
}  // namespace xtnd

int main(int argc, char** argv) {
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  // Sizes are checked before buffers are made, but a 32-bit process can still run out of
  // address space: that is reported like any other failure, not as a crash.
  try {
    return xtnd::Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "xtnd-host: %s: StatusNoMemory: out of memory\n",
                 argc > 1 ? argv[argc - 1] : "");
    return 1;
  }
}
