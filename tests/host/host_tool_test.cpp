// The reference host run as a program on generated files, on both targets: import of every
// colour type x depth x interlace into every output format, export from PNG, BMP, JPEG and PPM
// inputs into each colour mode, probe --json read back, and every error path with its message
// and exit code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host/tool_runner.h"
#include "pngtrans_host.h"
#include "support/export_host.h"
#include "support/files.h"
#include "support/import_host.h"
#include "support/import_matrix.h"
#include "support/png_build.h"
#include "support/png_judge.h"
#include "support/png_readback.h"

extern "C" void PublicHeaderLayoutFromC(uint32_t* out);

namespace pngtrans::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The host's own grey level (PGM output, --as bilevel): integer weights, rounded.
uint8_t HostGrey(const uint8_t* rgb) {
  return static_cast<uint8_t>((77u * rgb[0] + 150u * rgb[1] + 29u * rgb[2] + 128u) >> 8);
}

// The RGBA picture an import delivers, from the host bytes it must deliver.
Rgba PictureOf(const ExpectedHost& e, uint32_t width, uint32_t height) {
  Rgba out;
  out.width = width;
  out.height = height;
  out.pixels.assign(static_cast<size_t>(width) * height * 4, 255);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* d = &out.pixels[(static_cast<size_t>(y) * width + x) * 4];
      const uint8_t* row = &e.pixels[static_cast<size_t>(y) * e.rowBytes];
      if (e.colorKind == ColorKindFullColor) {
        d[0] = row[3 * x + 2], d[1] = row[3 * x + 1], d[2] = row[3 * x];
      } else if (e.colorKind == ColorKindGrey) {
        d[0] = d[1] = d[2] = row[x];
      } else {
        const uint32_t c = e.palette[row[x]];
        d[0] = c & 255, d[1] = (c >> 8) & 255, d[2] = (c >> 16) & 255;
      }
      if (e.maskKind == MaskEightBit) {
        d[3] = e.mask[static_cast<size_t>(y) * static_cast<uint32_t>(e.maskRowBytes) + x];
      }
    }
  }
  return out;
}

::testing::AssertionResult SamePixels(const Rgba& want, const Rgba& got, bool compareAlpha) {
  if (want.width != got.width || want.height != got.height) {
    return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height << ", want "
                                         << want.width << "x" << want.height;
  }
  for (size_t i = 0; i < want.pixels.size(); ++i) {
    if (i % 4 == 3 && !compareAlpha) continue;
    if (want.pixels[i] != got.pixels[i]) {
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " channel " << i % 4 << ": " << int(got.pixels[i]) << ", want "
             << int(want.pixels[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// --- import ----------------------------------------------------------------------------------

struct ImportCase {
  uint8_t colorType;
  uint8_t depth;
};
const ImportCase kImportCases[] = {
    {0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
    {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16},
};

struct OutputRule {
  const char* extension;
  // Channels the file must hold for a grey or colour picture, with or without alpha.
  int greyChannels, greyAlphaChannels, colourChannels, colourAlphaChannels;
  bool keepsAlpha;
  bool greyLevel;  // holds the host's grey level of every pixel
};
const OutputRule kOutputs[] = {
    {"png", 1, 2, 3, 4, true, false},  {"bmp", 3, 4, 3, 4, true, false},
    {"ppm", 3, 3, 3, 3, false, false}, {"pgm", 1, 1, 1, 1, false, true},
    {"pam", 1, 2, 3, 4, true, false},  {"tga", 1, 4, 3, 4, true, false},
};

TEST(HostToolImport, EveryColourTypeDepthAndInterlaceIntoEveryOutputFormat) {
  int caseNumber = 0;
  for (const ImportCase& c : kImportCases) {
    for (const bool interlace : {false, true}) {
      ++caseNumber;
      const std::string name = "type" + std::to_string(c.colorType) + "-depth" +
                               std::to_string(c.depth) + (interlace ? "-adam7" : "");
      SCOPED_TRACE(name);
      const uint32_t paletteSize = c.colorType == 3 ? (1u << c.depth) : 0;
      const RawImage raw = RandomImage(11, 7, c.depth, c.colorType, 40 + caseNumber, paletteSize);
      EncodeOptions options;
      options.interlace = interlace;
      if (c.colorType == 3) options.palette = TestPalette(paletteSize);
      const Bytes file = EncodePng(raw, options);
      const std::string in = TempPath(name + ".png");
      ASSERT_TRUE(WriteFileBytes(in, file));
      ExpectedHost expected = ExpectHost(raw, options.palette, options.trns);
#if PNGTRANS_HAVE_LIBPNG
      // libpng's decoding of the very file is the reference where it exists.
      std::string error;
      ASSERT_TRUE(JudgeWithLibpng(file, &expected, &error)) << error;
#endif
      const Rgba want = PictureOf(expected, raw.width, raw.height);
      const bool grey = expected.colorKind == ColorKindGrey;
      const bool alpha = expected.maskKind != MaskNone;
      for (const OutputRule& rule : kOutputs) {
        SCOPED_TRACE(rule.extension);
        const std::string out = TempPath(name + "." + rule.extension);
        const ToolRun run = RunTool({"import", in, out});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "colorType " + std::to_string(c.colorType))) << run.out;
        EXPECT_TRUE(Contains(run.out, interlace ? "interlace 1" : "interlace 0")) << run.out;
        Rgba got;
        std::string error;
        ASSERT_TRUE(ReadToolOutput(out, &got, &error)) << error;
        EXPECT_EQ(got.channels, grey ? (alpha ? rule.greyAlphaChannels : rule.greyChannels)
                                     : (alpha ? rule.colourAlphaChannels : rule.colourChannels));
        Rgba judged = want;
        if (rule.greyLevel) {
          for (size_t i = 0; i < judged.pixels.size(); i += 4) {
            const uint8_t level = HostGrey(&judged.pixels[i]);
            judged.pixels[i] = judged.pixels[i + 1] = judged.pixels[i + 2] = level;
          }
        }
        EXPECT_TRUE(SamePixels(judged, got, rule.keepsAlpha));
        RemoveFile(out);
      }
      RemoveFile(in);
    }
  }
}

// --- export ----------------------------------------------------------------------------------

// A smooth picture with a few hard edges and an alpha ramp: what a quantizer meets in practice.
Rgba Sample(int channels) {
  Rgba s;
  s.width = 24;
  s.height = 16;
  s.channels = channels;
  s.pixels.resize(24 * 16 * 4);
  for (uint32_t y = 0; y < 16; ++y) {
    for (uint32_t x = 0; x < 24; ++x) {
      uint8_t* p = &s.pixels[(y * 24 + x) * 4];
      p[0] = static_cast<uint8_t>(x * 11);
      p[1] = static_cast<uint8_t>(y * 17);
      p[2] = x > 12 && y > 6 ? 230 : static_cast<uint8_t>(90 + x * 3);
      if (channels <= 2) p[1] = p[2] = p[0] = static_cast<uint8_t>(x * 5 + y * 7);
      p[3] = channels == 2 || channels == 4 ? static_cast<uint8_t>(x * 11) : 255;
    }
  }
  return s;
}

// The sample as a PNG from the test encoder; palette input holds its own few colours.
Bytes SamplePng(const Rgba& s, uint8_t colorType) {
  RawImage raw;
  raw.width = s.width;
  raw.height = s.height;
  raw.colorType = colorType;
  raw.bitDepth = 8;
  EncodeOptions options;
  for (uint32_t y = 0; y < s.height; ++y) {
    Bytes row;
    for (uint32_t x = 0; x < s.width; ++x) {
      const uint8_t* p = &s.pixels[(y * s.width + x) * 4];
      switch (colorType) {
        case 0:
          row.push_back(p[0]);
          break;
        case 3:
          row.push_back(static_cast<uint8_t>(x % 8));
          break;
        default:
          row.insert(row.end(), p, p + (colorType == 6 ? 4 : 3));
      }
    }
    raw.rows.push_back(row);
  }
  if (colorType == 3) options.palette = TestPalette(8);
  return EncodePng(raw, options);
}

struct ExportInput {
  const char* name;
  const char* extension;
  int channels;     // of the sample it is made from
  uint8_t pngType;  // for PNG input
};
const ExportInput kInputs[] = {
    {"png-grey", "png", 1, 0}, {"png-palette", "png", 3, 3}, {"png-rgb", "png", 3, 2},
    {"png-rgba", "png", 4, 6}, {"bmp-rgb", "bmp", 3, 0},     {"bmp-rgba", "bmp", 4, 0},
    {"jpeg", "jpg", 3, 0},     {"ppm", "ppm", 3, 0},
};

struct ExportMode {
  const char* name;
  std::vector<std::string> flags;
  int colorType;  // -1: grey (0) for grey input, else full colour (2); alpha adds 4
  bool alphaAsked;
  bool interlace;
};
const ExportMode kModes[] = {
    {"grey", {"--color", "grey"}, 0, false, false},
    {"256", {"--color", "256"}, 3, false, false},
    {"full", {"--color", "full"}, 2, false, false},
    {"full-alpha-adam7", {"--color", "full", "--alpha", "--interlace"}, 2, true, true},
    {"grey-alpha", {"--color", "grey", "--alpha"}, 0, true, false},
    // A bilevel image with no word is saved as a two-entry palette.
    {"bilevel", {"--as", "bilevel"}, 3, false, false},
    {"word", {"--word", "00082001"}, 2, false, true},
};

TEST(HostToolExport, EveryInputFormatIntoEveryColourMode) {
  for (const ExportInput& input : kInputs) {
    SCOPED_TRACE(input.name);
    const Rgba sample = Sample(input.channels);
    const Bytes file = std::string(input.extension) == "png" ? SamplePng(sample, input.pngType)
                                                             : EncodeInput(input.extension, sample);
    const std::string in = TempPath(std::string(input.name) + "." + input.extension);
    ASSERT_TRUE(WriteFileBytes(in, file));
    // What the input shows: the sample itself, except where the format changes it (JPEG is
    // lossy, the palette input draws its own colours): those as stb_image or the import see it.
    Rgba source = sample;
    if (std::string(input.extension) == "jpg") {
      ASSERT_TRUE(DecodeInputWithStb(file, &source));
    }
    if (input.pngType == 3) {
      const Bytes palette = TestPalette(8);
      for (uint32_t i = 0; i < source.width * source.height; ++i) {
        const uint32_t index = (i % source.width) % 8;
        for (int k = 0; k < 3; ++k) source.pixels[i * 4 + k] = palette[index * 3 + k];
      }
    }
    const bool greyInput = input.channels <= 2;
    const bool hasAlpha = input.channels == 4 && input.pngType != 2;
    for (const ExportMode& mode : kModes) {
      SCOPED_TRACE(mode.name);
      const std::string out = TempPath(std::string(input.name) + "-" + mode.name + ".png");
      std::vector<std::string> args = {"export", in, out};
      args.insert(args.end(), mode.flags.begin(), mode.flags.end());
      const ToolRun run = RunTool(args);
      ASSERT_EQ(run.exitCode, 0) << run.err;
      Bytes written;
      ASSERT_TRUE(ReadFileBytes(out, &written));
#if PNGTRANS_HAVE_LIBPNG
      DecodedPng decoded;
      EXPECT_TRUE(DecodeWithLibpng(written, &decoded)) << decoded.error;
      std::string verdict;
      EXPECT_TRUE(RunPngcheck(out, &verdict)) << verdict;
#endif
      ReadPng png;
      std::string error;
      ASSERT_TRUE(ReadPngFile(written, &png, &error)) << error;
      const bool alphaSaved = mode.alphaAsked && hasAlpha;
      const int wantType = mode.colorType + (alphaSaved ? 4 : 0);
      EXPECT_EQ(png.colorType, wantType);
      EXPECT_EQ(png.interlace, mode.interlace ? 1 : 0);
      EXPECT_TRUE(Contains(run.out, "colorType " + std::to_string(wantType))) << run.out;
      ASSERT_EQ(png.width, source.width);
      ASSERT_EQ(png.height, source.height);
      const ReadChunk* plte = png.Find("PLTE");
      uint64_t error256 = 0;
      for (uint32_t y = 0; y < png.height; ++y) {
        for (uint32_t x = 0; x < png.width; ++x) {
          const uint8_t* want = &source.pixels[(y * source.width + x) * 4];
          const uint8_t* got = &png.rows[y][static_cast<size_t>(x) * png.Channels()];
          const ColorValue colour = want[0] | (want[1] << 8) | (want[2] << 16);
          if (std::string(mode.name) == "bilevel") {
            ASSERT_NE(plte, nullptr);
            ASSERT_EQ(plte->data.size(), 6u);
            ASSERT_LT(got[0], 2);
            ASSERT_EQ(got[0] == 1, HostGrey(want) >= 128) << "pixel " << x << "," << y;
            ASSERT_EQ(plte->data[got[0] * 3], got[0] == 1 ? 255 : 0);
          } else if (png.colorType == 0 || png.colorType == 4) {
            ASSERT_EQ(got[0], greyInput ? want[0] : ReferenceLuminance(colour))
                << "pixel " << x << "," << y;
          } else if (png.colorType == 3) {
            ASSERT_NE(plte, nullptr);
            ASSERT_LT(got[0] * 3u + 2, plte->data.size());
            for (int k = 0; k < 3; ++k) error256 += std::abs(plte->data[got[0] * 3 + k] - want[k]);
          } else {
            for (int k = 0; k < 3; ++k) ASSERT_EQ(got[k], want[k]) << "pixel " << x << "," << y;
          }
          if (alphaSaved) {
            ASSERT_EQ(got[png.Channels() - 1], want[3]);
          }
        }
      }
      // Median cut on a smooth picture of a few hundred colours: a small mean error.
      EXPECT_LE(error256, 6u * 3 * png.width * png.height);
      RemoveFile(out);
    }
    RemoveFile(in);
  }
}

// --- probe --json ----------------------------------------------------------------------------

TEST(HostToolProbe, JsonObjectsReadBackPerFile) {
  struct Case {
    const char* name;
    uint8_t colorType, depth;
    bool trns;
    const char* title;  // Latin-1 in the file
    const char* kind;
    int bits;
    const char* attributes;
    const char* wantTitle;  // UTF-8 after JSON unescaping
  };
  const Case cases[] = {
      {"grey", 0, 8, false, nullptr, "grey", 8, "01010008", ""},
      {"palette-trns", 3, 8, true, "Q\"uote\\d", "indexed", 8, "01050004", "Q\"uote\\d"},
      {"rgba", 6, 8, false, "caf\xE9", "full colour", 24, "01030010", "caf\xC3\xA9"},
      {"grey16", 0, 16, false, nullptr, "full colour", 24, "01010010", ""},
  };
  std::vector<std::string> args = {"probe", "--json"};
  for (const Case& c : cases) {
    const RawImage raw = RandomImage(5, 3, c.depth, c.colorType, 7, 4);
    EncodeOptions options;
    if (c.colorType == 3) options.palette = TestPalette(4);
    if (c.trns) options.trns = Bytes{0, 128};
    if (c.title != nullptr) options.chunksBeforeIdat.push_back(TextChunk("Title", c.title));
    const std::string path = TempPath(std::string(c.name) + ".png");
    ASSERT_TRUE(WriteFileBytes(path, EncodePng(raw, options)));
    args.push_back(path);
  }
  const std::string missing = TempPath("missing.png");
  args.push_back(missing);
  const ToolRun run = RunTool(args);
  EXPECT_EQ(run.exitCode, 1) << "one file is missing";
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(run.out.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 5u) << run.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::vector<std::pair<std::string, std::string>> fields;
    ASSERT_TRUE(ParseFlatJson(lines[i], &fields)) << lines[i];
    auto field = [&](const std::string& key) {
      for (const auto& f : fields) {
        if (f.first == key) return f.second;
      }
      return std::string("(absent)");
    };
    EXPECT_EQ(field("file"), args[2 + i]);
    if (i == 4) {
      EXPECT_EQ(field("status"), "StatusError");
      EXPECT_EQ(field("error"), "cannot open the file: No such file or directory");
      continue;
    }
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(field("status"), "StatusOk");
    EXPECT_EQ(field("width"), "5");
    EXPECT_EQ(field("height"), "3");
    EXPECT_EQ(field("colorKind"), c.kind);
    EXPECT_EQ(field("bitsPerPixel"), std::to_string(c.bits));
    EXPECT_EQ(field("alpha"), c.colorType == 6 ? "true" : "false");
    EXPECT_EQ(field("transparency"), c.trns ? "true" : "false");
    EXPECT_EQ(field("attributes"), c.attributes);
    EXPECT_EQ(field("title"), c.wantTitle);
  }
}

// --- errors ----------------------------------------------------------------------------------

TEST(HostToolErrors, EveryFailureNamesTheFileAndTheStatus) {
  const std::string good = TempPath("good.png");
  ASSERT_TRUE(WriteFileBytes(good, EncodePng(RandomImage(4, 4, 8, 2, 3))));
  const std::string text = TempPath("text.png");
  ASSERT_TRUE(WriteFileBytes(text, Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'p', 'n', 'g', '\n'}));
  const std::string odd = TempPath("noise.xyz");
  ASSERT_TRUE(WriteFileBytes(odd, Bytes(64, 0x5A)));
  Bytes truncatedFile = EncodePng(RandomImage(16, 16, 8, 6, 9));
  truncatedFile.resize(truncatedFile.size() / 2);
  const std::string truncated = TempPath("truncated.png");
  ASSERT_TRUE(WriteFileBytes(truncated, truncatedFile));
  const std::string noisy = TempPath("noisy.png");
  ASSERT_TRUE(WriteFileBytes(noisy, EncodePng(RandomImage(20, 20, 8, 2, 11))));
  const std::string missing = TempPath("missing.png");
  const std::string noDir = TempPath("no-such-dir") + "/out.png";
  const std::string aDir = TempDirectory("a-dir");
  // An output that already exists must survive a failed command untouched.
  const std::string kept = TempPath("kept.bmp");
  const Bytes keptBytes = {'k', 'e', 'e', 'p'};
  ASSERT_TRUE(WriteFileBytes(kept, keptBytes));

  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool withModule;
    int exitCode;
    std::string message;  // on stderr, after "xtnd-host: "
  };
  const Case cases[] = {
      {"missing input",
       {"import", missing, kept},
       true,
       1,
       missing + ": StatusError: cannot open the file: No such file or directory"},
      {"directory as input",
       {"import", aDir, kept},
       true,
       1,
       aDir + ": StatusError: cannot open the file: Is a directory"},
      {"not a PNG", {"import", text, kept}, true, 1, text + ": StatusBadFormat: not a PNG file"},
      {"truncated PNG", {"import", truncated, kept}, true, 1, truncated + ": StatusError: "},
      {"probe of a missing file", {"probe", missing}, true, 1, missing + ": StatusError"},
      {"unsupported input",
       {"export", odd, kept},
       true,
       1,
       odd + ": StatusBadFormat: unsupported input format"},
      {"output directory missing",
       {"export", good, noDir},
       true,
       1,
       noDir + ": StatusWriteError: cannot create the file: No such file or directory"},
      {"import output unwritable",
       {"import", good, noDir},
       true,
       1,
       noDir + ": StatusWriteError: cannot write the file: No such file or directory"},
      {"module does not load",
       {"--module", missing, "info"},
       false,
       1,
       missing + ": StatusError: the module does not load"},
      {"module without translator",
       {"--module", NoTranslatorLibraryPath(), "info"},
       false,
       1,
       NoTranslatorLibraryPath() + ": StatusError: the module has no translator"},
      {"no command", {}, true, 2, "usage: xtnd-host"},
      {"unknown command", {"convert", good}, true, 2, "unknown command convert"},
      {"unknown output format",
       {"import", good, TempPath("out.gif")},
       true,
       2,
       "unknown output format"},
      {"bad colour mode", {"export", good, kept, "--color", "purple"}, true, 2, "--color takes"},
      {"bad word", {"export", good, kept, "--word", "xyz"}, true, 2, "--word takes"},
      {"indexed from too many colours",
       {"export", noisy, kept, "--as", "indexed"},
       true,
       1,
       noisy + ": StatusError: more than 256 colours"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolRun run = RunTool(c.args, c.withModule);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    if (c.exitCode == 1) {
      // One line, nothing else.
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
      EXPECT_EQ(run.err.rfind("xtnd-host: ", 0), 0u) << run.err;
    } else if (!c.args.empty()) {
      // A usage error is one line that points at the usage.
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
      EXPECT_TRUE(Contains(run.err, "(see xtnd-host --help)")) << run.err;
    }
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(kept, &now));
    EXPECT_EQ(now, keptBytes) << "a failed command changed an existing output";
  }
}

TEST(HostToolErrors, HelpIsAskedForThreeWays) {
  for (const char* ask : {"-h", "--help", "help"}) {
    const ToolRun run = RunTool({ask}, false);
    EXPECT_EQ(run.exitCode, 0) << ask;
    EXPECT_EQ(run.out.rfind("usage: xtnd-host", 0), 0u) << ask;
    EXPECT_EQ(run.err, "") << ask;
  }
}

// Outputs the user may not write stay as they were, with their read-only mark, and no
// temporary file is left beside them: xtnd-host's own (import) and the plug-in's (export).
TEST(HostToolErrors, ReadOnlyOutputsAreLeftAsTheyWere) {
  const std::string good = TempPath("good.png");
  ASSERT_TRUE(WriteFileBytes(good, EncodePng(RandomImage(4, 4, 8, 2, 3))));
  const std::string folder = SharedDirectory("locked-outputs");
  const Bytes old = {'o', 'l', 'd'};
  for (const char* verb : {"import", "export"}) {
    SCOPED_TRACE(verb);
    const std::string target = folder + "/" + verb + ".png";
    ASSERT_TRUE(WriteFileBytes(target, old));
    ASSERT_TRUE(MakeReadOnly(target));
    std::string why;
    const ToolRun run = RunToolUnprivileged({verb, good, target}, &why);
    if (run.exitCode < 0) GTEST_SKIP() << why;
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_TRUE(Contains(run.err, target + ": StatusWriteError: cannot ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "the file: Permission denied\n")) << run.err;
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(target, &now));
    EXPECT_EQ(now, old);
    EXPECT_TRUE(IsReadOnly(target));
  }
  EXPECT_EQ(ListDirectory(folder), (std::vector<std::string>{"export.png", "import.png"}));
}

#if !defined(_WIN32)
// xtnd-host writes its own outputs (import) through the plug-in's replacement, as the plug-in
// writes exports: a link planted at the name its temporary file once had (OUT.partPID) is not
// followed, a linked output stays a link with its target replaced, and in a sticky folder an
// unprivileged user rewrites a file of root's that the user may write.
TEST(HostToolErrors, OutputsAreReplacedSafelyForImportAndExport) {
  const std::string good = TempPath("good.png");
  ASSERT_TRUE(WriteFileBytes(good, EncodePng(RandomImage(4, 4, 8, 2, 3))));
  const std::string folder = TempDirectory("replaced-outputs");
  const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
  const std::string victim = folder + "/victim";
  ASSERT_TRUE(WriteFileBytes(victim, secret));
  const std::string planted = folder + "/planted.png";
  const ToolRun run = RunToolWithPlantedLink({"import", good, planted}, planted + ".part", victim);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(victim, &now));
  EXPECT_EQ(now, secret);
  struct stat st = {};
  for (const char* verb : {"import", "export"}) {
    SCOPED_TRACE(verb);
    const std::string real = folder + "/" + verb + "-real.png";
    const std::string link = folder + "/" + verb + "-link.png";
    ASSERT_TRUE(WriteFileBytes(real, {'o', 'l', 'd'}));
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    EXPECT_EQ(RunTool({verb, good, link}).exitCode, 0);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_TRUE(ReadFileBytes(real, &now));
    EXPECT_GT(now.size(), 8u);
  }
  if (geteuid() != 0) return;
  const std::string sticky = SharedDirectory("sticky-outputs");
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  for (const char* verb : {"import", "export"}) {
    SCOPED_TRACE(verb);
    const std::string target = sticky + "/" + verb + ".png";
    ASSERT_TRUE(WriteFileBytes(target, {'o', 'l', 'd'}));
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    std::string why;
    const ToolRun sticked = RunToolUnprivileged({verb, good, target}, &why);
    if (sticked.exitCode < 0) GTEST_SKIP() << why;
    EXPECT_EQ(sticked.exitCode, 0) << sticked.err;
    ASSERT_TRUE(ReadFileBytes(target, &now));
    EXPECT_GT(now.size(), 8u);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
  }
  EXPECT_EQ(ListDirectory(sticky), (std::vector<std::string>{"export.png", "import.png"}));
}
#endif

// --- the header and the dialog commands ------------------------------------------------------

TEST(HostToolHeader, CAndCxxSeeTheSameRecords) {
  uint32_t fromC[12] = {};
  PublicHeaderLayoutFromC(fromC);
  const uint32_t fromCxx[12] = {
      sizeof(HostImage),
      offsetof(HostImage, maskRowBytes),
      offsetof(HostImage, allocate),
      offsetof(HostImage, backgroundColor),
      sizeof(CommandHeader),
      offsetof(CommandHeader, result),
      sizeof(TranslatorRecord),
      offsetof(TranslatorRecord, procedure),
      0x00083011u,
      0x01050004u,
      6,
      13,
  };
  for (int i = 0; i < 12; ++i) EXPECT_EQ(fromC[i], fromCxx[i]) << "entry " << i;
}

TEST(HostToolInfo, ShowsTheRecordAndEveryCommandCode) {
  // Without --module the tool takes the module built beside it.
  const ToolRun beside = RunTool({"info"}, false);
  ASSERT_EQ(beside.exitCode, 0) << beside.err;
#if defined(_WIN32)
  EXPECT_TRUE(Contains(beside.out, "\\pngtrans.dll\n")) << beside.out;
#else
  EXPECT_TRUE(Contains(beside.out, "/pngtrans.so\n")) << beside.out;
#endif
  const ToolRun run = RunTool({"info"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "module:      " + ToolModulePath() + "\n")) << run.out;
  EXPECT_TRUE(
      Contains(run.out, "name:        PNG \xEF\xBE\x8C\xEF\xBD\xA7\xEF\xBD\xB2\xEF\xBE\x99"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "(50 4E 47 20 CC A7 B2 D9)")) << run.out;
  EXPECT_TRUE(Contains(run.out, "flags:       06 00 01 01")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  13  supported     export with options")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  12  not supported\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  15  not supported\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "host:        xtnd-host " PNGTRANS_VERSION "\n")) << run.out;
#if defined(_WIN32)
  // Read back through Windows' own version API from the DLL's version resource.
  EXPECT_TRUE(Contains(run.out, "version:     " PNGTRANS_VERSION " (the module's")) << run.out;
#endif
  const ToolRun version = RunTool({"--version"}, false);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "xtnd-host (pngtrans) " PNGTRANS_VERSION "\n");
}

#if !defined(_WIN32)
// On Linux the dialog layer's stand-in answers "OK without changes"; on Windows a real dialog
// would wait for a user, so these run on Linux only.
TEST(HostToolDialog, OptionsAndExportDialogReportTheWord) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const std::string good = TempPath("dialog.png");
  ASSERT_TRUE(WriteFileBytes(good, EncodePng(RandomImage(6, 5, 8, 6, 5))));
  const Case cases[] = {
      {{"options"}, "options after:  00082000"},
      {{"options", "00083011"}, "options after:  00083011"},
      {{"export", good, TempPath("dialog-out.png"), "--dialog", "--color", "full", "--alpha"},
       "options used: 00086100"},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, c.expected)) << run.out;
    if (c.args[0] == "options") {
      EXPECT_TRUE(Contains(run.out, "dialog: OK")) << run.out;
    }
  }
}
#endif

}  // namespace
}  // namespace pngtrans::test
