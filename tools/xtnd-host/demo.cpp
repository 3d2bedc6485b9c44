#include "demo.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

// A row's file: its name with '-' for ' '.
std::string FileNameOf(const char* rowName) {
  std::string name = rowName;
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
  // A transparent colour comes back as a mask too.
  const bool wantMask = PNGTRANS_OPTION_FIELD(mode.options, SaveOptionsSaveMaskShift) == 1 ||
                        PNGTRANS_OPTION_FIELD(mode.options, SaveOptionsTransparencyShift) == 1;
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
Picture ContactSheet(const std::vector<Picture>& opened, const std::vector<std::string>& labels) {
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
    DrawText(&sheet, ox, oy + kSampleHeight + 4, labels[n].c_str());
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

// --- files with tRNS, written here (the export writes one fully transparent colour only) ----

void PutBe32(Bytes* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

void PutChunk(Bytes* out, const char* type, const Bytes& data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  Bytes typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out->insert(out->end(), typed.begin(), typed.end());
  PutBe32(out, Crc32(typed));
}

// A PNG of the sample with tRNS: the rows unfiltered, in stored deflate blocks.
Bytes TransparentPng(uint8_t colorType, const Bytes& rows, const Bytes& palette,
                     const Bytes& trns) {
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  PutBe32(&header, kSampleWidth);
  PutBe32(&header, kSampleHeight);
  header.insert(header.end(), {8, colorType, 0, 0, 0});
  PutChunk(&file, "IHDR", header);
  if (!palette.empty()) PutChunk(&file, "PLTE", palette);
  PutChunk(&file, "tRNS", trns);
  Bytes z = {0x78, 0x01};
  uint32_t a = 1, b = 0;
  for (size_t at = 0; at < rows.size() || at == 0;) {
    const size_t n = rows.size() - at < 65535 ? rows.size() - at : 65535;
    z.push_back(at + n == rows.size() ? 1 : 0);
    z.insert(z.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                       static_cast<uint8_t>(~n), static_cast<uint8_t>(~n >> 8)});
    z.insert(z.end(), rows.begin() + static_cast<long>(at),
             rows.begin() + static_cast<long>(at + n));
    for (size_t i = at; i < at + n; ++i) {
      a = (a + rows[i]) % 65521;
      b = (b + a) % 65521;
    }
    at += n;
    if (n == 0) break;
  }
  PutBe32(&z, b << 16 | a);
  PutChunk(&file, "IDAT", z);
  PutChunk(&file, "IEND", Bytes());
  return file;
}

struct TransparentFile {
  const char* name;
  Bytes file;
  std::vector<uint8_t> alpha;  // what the mask must hold, pixel by pixel
};

// A palette of the sample's colours in 8 levels per channel, its alpha the sample's soft edge
// in steps (0, partial and 255); and the colour sample with the rectangle's colour as the key.
std::vector<TransparentFile> TransparentFiles(const Picture& colour) {
  std::vector<TransparentFile> files(2);
  Bytes palette, trns(256, 255), indices, rgb;
  for (uint32_t i = 0; i < 256; ++i) {
    palette.insert(palette.end(), {static_cast<uint8_t>((i >> 5) * 255 / 7),
                                   static_cast<uint8_t>((i >> 2 & 7) * 255 / 7),
                                   static_cast<uint8_t>((i & 3) * 85)});
  }
  // The entries of the top red level hold the alpha steps; the edge picks among them.
  const uint8_t steps[4] = {0, 85, 170, 255};
  for (uint32_t k = 0; k < 4; ++k) {
    trns[224 + k] = steps[k];
    std::memset(&palette[3 * (224 + k)], 96, 3);
  }
  for (uint32_t y = 0; y < kSampleHeight; ++y) {
    indices.push_back(0);
    rgb.push_back(0);
    for (uint32_t x = 0; x < kSampleWidth; ++x) {
      const uint8_t* px = &colour.rgba[(static_cast<size_t>(y) * kSampleWidth + x) * 4];
      uint8_t index = static_cast<uint8_t>((px[0] >> 5) << 5 | (px[1] >> 5) << 2 | px[2] >> 6);
      if (px[3] < 255) index = static_cast<uint8_t>(224 + px[3] / 64);
      indices.push_back(index);
      files[0].alpha.push_back(trns[index]);
      rgb.insert(rgb.end(), px, px + 3);
      const bool keyed = px[0] == 20 && px[1] == 40 && px[2] == 160;
      files[1].alpha.push_back(keyed ? 0 : 255);
    }
  }
  files[0].name = "palette alpha";
  files[0].file = TransparentPng(3, indices, palette, trns);
  files[1].name = "colour key";
  files[1].file = TransparentPng(2, rgb, Bytes(), Bytes{0, 20, 0, 40, 0, 160});
  return files;
}

}  // namespace

int RunDemo(const HostModule& module, const std::string& outDir) {
  // The sample is small: a progress bar would only break up the table.
  const bool progress = false;
  if (!MakeDirectory(outDir)) {
    std::fprintf(stderr, "xtnd-host: %s: StatusWriteError: cannot create the directory: %s\n",
                 outDir.c_str(), std::strerror(errno));
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
    if (PNGTRANS_OPTION_FIELD(mode.options, SaveOptionsTransparencyShift) == 1) {
      // What opens again: the pixels of that colour transparent.
      const uint8_t key = GreyLevel(blue);
      source.alpha = true;
      for (size_t i = 0; i < source.rgba.size(); i += 4) {
        const uint8_t* px = &source.rgba[i];
        const bool keyed =
            mode.grey ? px[0] == key : px[0] == blue[0] && px[1] == blue[1] && px[2] == blue[2];
        source.rgba[i + 3] = keyed ? 0 : 255;
      }
    }
    const std::string path = outDir + "/" + FileNameOf(mode.name);
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
  // Files with palette alpha and a colour key, as other programs write them, open with a mask.
  std::vector<std::string> extraLabels;
  for (const TransparentFile& t : TransparentFiles(colour)) {
    const std::string path = outDir + "/" + FileNameOf(t.name);
    const bool written = WriteFileAtomically(path, t.file);
    Imported back;
    if (written) back = ImportFile(module, path, progress);
    Picture view;
    std::string verdict = "mask identical";
    bool good = written && back.call.returned == 1 && PictureFromHost(back.image, &view, &verdict);
    if (!written) verdict = "cannot write the file";
    if (written && back.call.returned != 1) {
      verdict = std::string("open FAILED: ") + StatusName(back.call.status);
    }
    if (good && !view.alpha) {
      good = false;
      verdict = "DIFFERENT: no mask";
    }
    size_t differ = 0, clear = 0, partial = 0;
    for (size_t i = 0; good && i < t.alpha.size(); ++i) {
      differ += view.rgba[4 * i + 3] != t.alpha[i];
      clear += t.alpha[i] == 0;
      partial += t.alpha[i] != 0 && t.alpha[i] != 255;
    }
    if (good) {
      char buffer[96];
      std::snprintf(
          buffer, sizeof buffer,
          differ == 0 ? "mask identical (%zu clear, %zu partial)" : "DIFFERENT: %zu mask values",
          differ == 0 ? clear : differ, partial);
      verdict = buffer;
      good = differ == 0;
    }
    ReleaseExact(&back.image);
    const char* check = written ? Pngcheck(path) : "-";
    if (std::strcmp(check, "FAILED") == 0) good = false;
    std::printf("%-17s %08X %7zu %8s %8.2f %08X %-8s %s\n", t.name, back.options, t.file.size(),
                "-", back.call.milliseconds, Crc32(t.file), check, verdict.c_str());
    if (!good) ++failures;
    if (view.width == 0) view = colour;
    opened.push_back(view);
    extraLabels.push_back(t.name);
  }
  std::vector<std::string> labels;
  for (const Mode& mode : kModes) labels.push_back(mode.name);
  labels.insert(labels.end(), extraLabels.begin(), extraLabels.end());
  Picture sheet = ContactSheet(opened, labels);
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
