#include "demo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "host_calls.h"
#include "image_files.h"
#include "picture.h"

namespace xtnd {

namespace {

constexpr uint32_t kSampleWidth = 128;
constexpr uint32_t kSampleHeight = 96;

uint32_t IntegerSqrt(uint32_t v) {
  uint32_t r = 0;
  while ((r + 1) * (r + 1) <= v) ++r;
  return r;
}

// Integer arithmetic only, so that both targets render the very same bytes.
Picture RenderSample() {
  Picture p;
  p.Resize(kSampleWidth, kSampleHeight);
  p.kind = ColorKindFullColor;
  p.alpha = true;
  p.resolutionX = p.resolutionY = 2835;
  const uint32_t w = kSampleWidth, h = kSampleHeight;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* px = p.At(x, y);
      px[0] = static_cast<uint8_t>(x * 255 / (w - 1));
      px[1] = static_cast<uint8_t>(y * 255 / (h - 1));
      px[2] = static_cast<uint8_t>(255 - (x + y) * 255 / (w + h - 2));
      const int cx = static_cast<int>(x) - 36, cy = static_cast<int>(y) - 40;
      if (cx * cx + cy * cy <= 20 * 20) {
        px[0] = 250, px[1] = 220, px[2] = 40;
      }
      if (x >= 70 && x < 112 && y >= 12 && y < 40) {
        px[0] = 20, px[1] = 40, px[2] = 160;
      }
      // A triangle with its apex at (95, 50) and its base on row 88.
      const int ty = static_cast<int>(y) - 50, tx = static_cast<int>(x) - 95;
      if (ty >= 0 && y <= 88 && 2 * (tx < 0 ? -tx : tx) * 38 <= 50 * ty) {
        px[0] = 200, px[1] = 30, px[2] = 30;
      }
      // A soft edge: opaque inside radius 44 around the centre, clear beyond 62.
      const int dx = static_cast<int>(x) - 64, dy = static_cast<int>(y) - 48;
      const uint32_t d = IntegerSqrt(static_cast<uint32_t>(dx * dx + dy * dy) * 16);
      px[3] = d <= 44 * 4 ? 255 : d >= 62 * 4 ? 0 : static_cast<uint8_t>((62 * 4 - d) * 255 / 72);
    }
  }
  return p;
}

Picture GreyOf(const Picture& colour) {
  Picture grey = colour;
  grey.kind = ColorKindGrey;
  for (size_t i = 0; i < grey.rgba.size(); i += 4) {
    const uint8_t level = GreyLevel(&grey.rgba[i]);
    grey.rgba[i] = grey.rgba[i + 1] = grey.rgba[i + 2] = level;
  }
  return grey;
}

struct Mode {
  const char* name;  // also the file name, with '-' for ' '
  bool grey;         // the grey picture, else the colour one
  uint32_t options;
  bool lossless;
};

constexpr uint32_t Word(uint32_t type, bool interlace, bool transparency, bool mask) {
  return PNGTRANS_OPTION_WORD(interlace ? 1 : 0, transparency ? 1 : 0, mask ? 1 : 0, type, 8);
}

const Mode kModes[] = {
    {"grey", true, Word(0, false, false, false), true},
    {"grey adam7", true, Word(0, true, false, false), true},
    {"grey trns", true, Word(0, false, true, false), true},
    {"grey+alpha", true, Word(4, false, false, true), true},
    {"grey+alpha adam7", true, Word(4, true, false, true), true},
    {"256", false, Word(3, false, false, false), false},
    {"256 adam7", false, Word(3, true, false, false), false},
    {"256 trns", false, Word(3, false, true, false), false},
    {"full", false, Word(2, false, false, false), true},
    {"full adam7", false, Word(2, true, false, false), true},
    {"full+alpha", false, Word(6, false, false, true), true},
    {"full+alpha adam7", false, Word(6, true, false, true), true},
};
constexpr size_t kModeCount = sizeof kModes / sizeof kModes[0];

std::string FileNameOf(const Mode& mode) {
  std::string name = mode.name;
  for (char& c : name) {
    if (c == ' ') c = '-';
  }
  return name + ".png";
}

uint32_t Crc32(const Bytes& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// pngcheck's verdict where the tool is installed; "-" where it is not (always on Windows).
const char* Pngcheck(const std::string& path) {
#if defined(_WIN32)
  (void)path;
  return "-";
#else
  static const bool present = std::system("command -v pngcheck >/dev/null 2>&1") == 0;
  if (!present) return "-";
  const std::string command = "pngcheck -q '" + path + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? "ok" : "FAILED";
#endif
}

// Compares the opened picture with the one saved. Lossless modes must give the very same
// pixels (and mask where one was saved); 256 colours report their error.
bool Compare(const Mode& mode, const Picture& saved, const Picture& opened, std::string* text) {
  const bool wantMask = PNGTRANS_OPTION_FIELD(mode.options, SaveOptionsSaveMaskShift) == 1;
  if (opened.width != saved.width || opened.height != saved.height || opened.alpha != wantMask) {
    *text = "DIFFERENT shape or mask";
    return false;
  }
  uint64_t differ = 0, maskDiffer = 0, total = 0;
  int largest = 0;
  for (size_t i = 0; i < saved.rgba.size(); i += 4) {
    for (int c = 0; c < 3; ++c) {
      const int e = std::abs(static_cast<int>(saved.rgba[i + c]) - opened.rgba[i + c]);
      total += static_cast<uint64_t>(e);
      if (e > largest) largest = e;
      if (e != 0) ++differ;
    }
    if (wantMask && saved.rgba[i + 3] != opened.rgba[i + 3]) ++maskDiffer;
  }
  char buffer[96];
  if (!mode.lossless) {
    std::snprintf(buffer, sizeof buffer, "mean error %.2f, largest %d",
                  static_cast<double>(total) / static_cast<double>(saved.rgba.size() / 4 * 3),
                  largest);
    *text = buffer;
    return largest < 64;
  }
  if (differ == 0 && maskDiffer == 0) {
    *text = wantMask ? "pixels and mask identical" : "pixels identical";
    return true;
  }
  std::snprintf(buffer, sizeof buffer, "DIFFERENT: %llu samples, %llu mask values",
                static_cast<unsigned long long>(differ),
                static_cast<unsigned long long>(maskDiffer));
  *text = buffer;
  return false;
}

// --- contact sheet ------------------------------------------------------------------------

// A 3 x 5 pixel font: five rows of three cells per glyph, '#' set.
struct Glyph {
  char c;
  const char* rows;
};
const Glyph kFont[] = {
    {'a', ".#.#.#####.##.#"}, {'b', "##.#.###.#.###."}, {'c', ".###..#..#...##"},
    {'d', "##.#.##.##.###."}, {'e', "####..##.#..###"}, {'f', "####..##.#..#.."},
    {'g', ".###..#.##.#.##"}, {'h', "#.##.#####.##.#"}, {'i', "###.#..#..#.###"},
    {'j', "..#..#..##.#.#."}, {'k', "#.##.###.#.##.#"}, {'l', "#..#..#..#..###"},
    {'m', "#.########.##.#"}, {'n', "##.#.##.##.##.#"}, {'o', ".#.#.##.##.#.#."},
    {'p', "##.#.###.#..#.."}, {'q', ".#.#.##.###..##"}, {'r', "##.#.###.#.##.#"},
    {'s', ".###...#...###."}, {'t', "###.#..#..#..#."}, {'u', "#.##.##.##.####"},
    {'v', "#.##.##.##.#.#."}, {'w', "#.##.########.#"}, {'x', "#.##.#.#.#.##.#"},
    {'y', "#.##.#.#..#..#."}, {'z', "###..#.#.#..###"}, {'0', "####.##.##.####"},
    {'1', ".#.##..#..#.###"}, {'2', "##...#.#.#..###"}, {'3', "##...#.#...###."},
    {'4', "#.##.####..#..#"}, {'5', "####..##...###."}, {'6', ".###..####.####"},
    {'7', "###..#.#..#..#."}, {'8', "####.#####.####"}, {'9', "####.####..###."},
    {'+', "....#.###.#...."}, {'-', "......###......"},
};

void FillRect(Picture* p, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, uint8_t r, uint8_t g,
              uint8_t b) {
  for (uint32_t y = y0; y < y0 + h && y < p->height; ++y) {
    for (uint32_t x = x0; x < x0 + w && x < p->width; ++x) {
      uint8_t* px = p->At(x, y);
      px[0] = r, px[1] = g, px[2] = b, px[3] = 255;
    }
  }
}

// Scale 2: each font cell is 2 x 2 pixels, 8 pixels from one glyph to the next.
void DrawText(Picture* p, uint32_t x, uint32_t y, const std::string& text) {
  for (char c : text) {
    for (const Glyph& glyph : kFont) {
      if (glyph.c != c) continue;
      const size_t cells = std::strlen(glyph.rows);
      for (size_t i = 0; i < cells && i < 15; ++i) {
        if (glyph.rows[i] == '#')
          FillRect(p, x + (i % 3) * 2, y + (i / 3) * 2, 2, 2, 235, 235, 235);
      }
    }
    x += 8;
  }
}

// Each opened picture over a checkerboard (so that alpha shows), labelled by its mode.
Picture ContactSheet(const std::vector<Picture>& opened) {
  constexpr uint32_t kColumns = 4, kGap = 8, kLabel = 16;
  const uint32_t rows = static_cast<uint32_t>((opened.size() + kColumns - 1) / kColumns);
  const uint32_t cellW = kSampleWidth + 16, cellH = kSampleHeight + kLabel + kGap;
  Picture sheet;
  sheet.Resize(kColumns * cellW + kGap, rows * cellH + kGap);
  sheet.kind = ColorKindFullColor;
  sheet.resolutionX = sheet.resolutionY = 2835;
  FillRect(&sheet, 0, 0, sheet.width, sheet.height, 40, 40, 48);
  for (size_t n = 0; n < opened.size(); ++n) {
    const uint32_t ox = kGap + static_cast<uint32_t>(n % kColumns) * cellW;
    const uint32_t oy = kGap + static_cast<uint32_t>(n / kColumns) * cellH;
    const Picture& pic = opened[n];
    for (uint32_t y = 0; y < pic.height && y < kSampleHeight; ++y) {
      for (uint32_t x = 0; x < pic.width && x < kSampleWidth; ++x) {
        const uint8_t* src = pic.At(x, y);
        const int check = ((x / 8 + y / 8) & 1) ? 200 : 150;
        uint8_t* dst = sheet.At(ox + x, oy + y);
        for (int c = 0; c < 3; ++c) {
          dst[c] = static_cast<uint8_t>((src[c] * src[3] + check * (255 - src[3]) + 127) / 255);
        }
        dst[3] = 255;
      }
    }
    DrawText(&sheet, ox, oy + kSampleHeight + 4, kModes[n].name);
  }
  return sheet;
}

bool MakeDirectory(const std::string& path) {
#if defined(_WIN32)
  return CreateDirectoryA(path.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
#else
  struct stat st;
  return mkdir(path.c_str(), 0777) == 0 || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
#endif
}

}  // namespace

int RunDemo(const HostModule& module, const std::string& outDir) {
  // The sample is small: a progress bar would only break up the table.
  const bool progress = false;
  if (!MakeDirectory(outDir)) {
    std::fprintf(stderr, "xtnd-host: %s: StatusWriteError: cannot create the directory\n",
                 outDir.c_str());
    return 1;
  }
  const Picture colour = RenderSample();
  const Picture grey = GreyOf(colour);
  std::printf("sample: %u x %u, smooth gradients, three shapes, a soft alpha edge\n", kSampleWidth,
              kSampleHeight);
  std::printf("%-17s %-8s %7s %8s %8s %8s %-8s %s\n", "mode", "options", "bytes", "save ms",
              "open ms", "crc32", "pngcheck", "round trip");
  int failures = 0;
  std::vector<Picture> opened;
  for (size_t n = 0; n < kModeCount; ++n) {
    const Mode& mode = kModes[n];
    Picture source = mode.grey ? grey : colour;
    source.alpha = PNGTRANS_OPTION_FIELD(mode.options, SaveOptionsSaveMaskShift) == 1;
    if (!source.alpha) {
      for (size_t i = 3; i < source.rgba.size(); i += 4) source.rgba[i] = 255;
    }
    OwnedHostImage host;
    std::string reason;
    if (!HostFromPicture(source, source.kind, &host, &reason)) return 1;
    // The transparent colour: the rectangle's colour, as a grey level or a ColorValue.
    const uint8_t blue[3] = {20, 40, 160};
    host.image.backgroundColor = mode.grey ? GreyLevel(blue) : 0x00A02814u;
    const std::string path = outDir + "/" + FileNameOf(mode);
    const std::string title = std::string("pngtrans demo: ") + mode.name;
    const CallResult saved =
        SaveWithOptions(module, path, title.c_str(), &host.image, mode.options, progress);
    Bytes file;
    if (saved.returned != 1 || !ReadWholeFile(path, &file)) {
      std::printf("%-17s %08X  save FAILED: %s\n", mode.name, mode.options,
                  StatusName(saved.status));
      ++failures;
      opened.emplace_back(source);
      continue;
    }
    Imported back = ImportFile(module, path, progress);
    Picture view;
    std::string verdict;
    bool good = back.call.returned == 1 && PictureFromHost(back.image, &view, &verdict);
    if (back.call.returned != 1)
      verdict = std::string("open FAILED: ") + StatusName(back.call.status);
    ReleaseExact(&back.image);
    if (good) good = Compare(mode, source, view, &verdict);
    const char* check = Pngcheck(path);
    if (std::strcmp(check, "FAILED") == 0) good = false;
    std::printf("%-17s %08X %7zu %8.2f %8.2f %08X %-8s %s\n", mode.name, mode.options, file.size(),
                saved.milliseconds, back.call.milliseconds, Crc32(file), check, verdict.c_str());
    if (!good) ++failures;
    if (view.width == 0) view = source;
    opened.push_back(view);
  }
  Picture sheet = ContactSheet(opened);
  OwnedHostImage sheetHost;
  std::string reason;
  const std::string sheetPath = outDir + "/contact-sheet.png";
  if (!HostFromPicture(sheet, ColorKindFullColor, &sheetHost, &reason) ||
      SaveWithOptions(module, sheetPath, "pngtrans demo: contact sheet", &sheetHost.image,
                      Word(2, false, false, false), progress)
              .returned != 1) {
    std::printf("contact sheet: save FAILED\n");
    ++failures;
  } else {
    Bytes file;
    ReadWholeFile(sheetPath, &file);
    std::printf("contact sheet: %s (%u x %u, %zu bytes, crc32 %08X)\n", sheetPath.c_str(),
                sheet.width, sheet.height, file.size(), Crc32(file));
  }
  if (failures == 0) {
    std::printf("demo: all files saved and opened\n");
  } else {
    std::printf("demo: %d failures\n", failures);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace xtnd
