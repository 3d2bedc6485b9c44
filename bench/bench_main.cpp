// pngtrans-bench MODULE CORPUS OUTDIR [REPEATS]   (or --profile, below main)
//
// Per file of the corpus, in one run and interleaved (every repeat runs each contender once,
// in an order that rotates), with the median of the repeats: the module's import (command 3)
// against libpng and libspng decoding into the same host layout, and against the floor (plain
// inflate of the image data); the module's export (command 13, option word 0) against libpng
// writing the same image. Every decoder's host bytes must equal libpng's, or the run fails.
// Prints a table per class of files and the ratio lines; writes OUTDIR/results.tsv,
// OUTDIR/ratios.dat (for the chart) and OUTDIR/table.md.
#include <malloc.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <string>
#include <vector>

#include <zlib.h>

#include "codecs.h"

// --- heap accounting: every allocation of the process passes here -----------------------------
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
bool g_counting = false;
long long g_live = 0;
long long g_peak = 0;

void Count(void* p, long long sign) {
  if (!g_counting || p == nullptr) return;
  g_live += sign * static_cast<long long>(malloc_usable_size(p));
  if (g_live > g_peak) g_peak = g_live;
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  Count(p, 1);
  return p;
}
void* calloc(size_t n, size_t m) {
  void* p = __libc_calloc(n, m);
  Count(p, 1);
  return p;
}
void* realloc(void* old, size_t n) {
  Count(old, -1);
  void* p = __libc_realloc(old, n);
  Count(p != nullptr ? p : old, 1);
  return p;
}
void free(void* p) {
  Count(p, -1);
  __libc_free(p);
}
}

namespace {

using bench::HostBuffers;
using bench::PngHeader;

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Host pixel and mask bytes of two decodes, row by row within each one's strides.
bool SameHost(const HostBuffers& a, const HostBuffers& b, const PngHeader& h, std::string* why) {
  const size_t used = static_cast<size_t>(h.width) * a.pixelBytes;
  if (a.pixelBytes != b.pixelBytes) {
    *why = "host pixel size differs";
    return false;
  }
  for (uint32_t y = 0; y < h.height; ++y) {
    if (std::memcmp(a.pixels.data() + static_cast<size_t>(y) * a.image.rowBytes,
                    b.pixels.data() + static_cast<size_t>(y) * b.image.rowBytes, used) != 0) {
      *why = "pixel row " + std::to_string(y) + " differs";
      return false;
    }
    if (a.hasMask != b.hasMask) {
      *why = "mask presence differs";
      return false;
    }
    if (a.hasMask &&
        std::memcmp(a.mask.data() + static_cast<size_t>(y) * a.image.maskRowBytes,
                    b.mask.data() + static_cast<size_t>(y) * b.image.maskRowBytes, h.width) != 0) {
      *why = "mask row " + std::to_string(y) + " differs";
      return false;
    }
  }
  return true;
}

struct Result {
  std::string name, cls;
  PngHeader header;
  double ours = 0, libpng = 0, spng = 0, floor = 0;
  double plainOurs = 0, plainLibpng = 0;  // interlaced files: the plain counterpart
  double exportOurs = 0, exportLibpng = 0;
  double exportOne = 0;  // our export on one thread (PNGTRANS_THREADS=1)
  long long sizeOurs = 0, sizeLibpng = 0;
  long long sizeSingle = 0;  // our file with its image data as one deflate stream (1.1.x)
  long long peak = 0, rowStore = 0;
};

struct Sums {
  double ours = 0, libpng = 0, spng = 0, floor = 0, exportOurs = 0, exportLibpng = 0;
  double exportOne = 0, sizeSingle = 0;
  double sizeOurs = 0, sizeLibpng = 0;
  int files = 0;
  void Add(const Result& r) {
    ours += r.ours;
    libpng += r.libpng;
    spng += r.spng;
    floor += r.floor;
    exportOurs += r.exportOurs;
    exportLibpng += r.exportLibpng;
    exportOne += r.exportOne;
    sizeSingle += r.sizeSingle;
    sizeOurs += r.sizeOurs;
    sizeLibpng += r.sizeLibpng;
    ++files;
  }
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "pngtrans-bench: %s\n", what.c_str());
  std::exit(1);
}

// Runs each contender once per repeat, starting with a different one each time.
std::vector<double> Interleaved(int repeats, const std::vector<bool (*)(void*)>& fns,
                                const std::vector<void*>& args, const char* file) {
  const size_t n = fns.size();
  std::vector<std::vector<double>> times(n);
  for (int r = 0; r < repeats; ++r) {
    for (size_t k = 0; k < n; ++k) {
      const size_t i = (k + static_cast<size_t>(r)) % n;
      const double start = Now();
      if (!fns[i](args[i])) Fail(std::string("a contender failed on ") + file);
      times[i].push_back(Now() - start);
    }
  }
  std::vector<double> medians;
  for (auto& t : times) medians.push_back(Median(t));
  return medians;
}

struct Context {
  bench::Module* module;
  std::string path, outOurs, outLibpng, outOne;
  PngHeader header;
  HostBuffers ours, libpng, spng;
  // An interlaced file's plain counterpart, timed in the same rounds.
  std::string plainPath;
  PngHeader plainHeader;
  HostBuffers plainOurs, plainLibpng;
  bench::InflateFloor floor;
  bench::LibpngExport libpngExport;
};

bool RunOurs(void* c) {
  auto* x = static_cast<Context*>(c);
  return x->module->Import(x->path, &x->ours);
}
bool RunLibpng(void* c) {
  auto* x = static_cast<Context*>(c);
  return bench::LibpngImport(x->path, x->header, &x->libpng);
}
bool RunSpng(void* c) {
  auto* x = static_cast<Context*>(c);
  return bench::SpngImport(x->path, x->header, &x->spng);
}
bool RunPlainOurs(void* c) {
  auto* x = static_cast<Context*>(c);
  return x->module->Import(x->plainPath, &x->plainOurs);
}
bool RunPlainLibpng(void* c) {
  auto* x = static_cast<Context*>(c);
  return bench::LibpngImport(x->plainPath, x->plainHeader, &x->plainLibpng);
}
bool RunFloor(void* c) {
  return static_cast<Context*>(c)->floor.Run();
}
bool RunExportOurs(void* c) {
  auto* x = static_cast<Context*>(c);
  return x->module->Export(x->ours, x->outOurs);
}
bool RunExportOne(void* c) {
  auto* x = static_cast<Context*>(c);
  setenv("PNGTRANS_THREADS", "1", 1);
  const bool ok = x->module->Export(x->ours, x->outOne);
  unsetenv("PNGTRANS_THREADS");
  return ok;
}

// The size the file would have with its image data as one deflate stream, as 1.1.x wrote it:
// the IDAT data inflated and deflated again with the export's settings, in 8192-byte chunks.
long long SingleStreamSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  std::vector<unsigned char> file;
  unsigned char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
    file.insert(file.end(), buffer, buffer + n);
  }
  std::fclose(f);
  std::vector<unsigned char> idat;
  size_t idatChunks = 0;
  unsigned colorType = 0, bitDepth = 8;
  for (size_t at = 8; at + 12 <= file.size();) {
    const size_t length =
        static_cast<size_t>(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
    if (at + 12 + length > file.size()) break;
    if (std::memcmp(&file[at + 4], "IHDR", 4) == 0) {
      bitDepth = file[at + 16];
      colorType = file[at + 17];
    }
    if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) {
      idat.insert(idat.end(), &file[at + 8], &file[at + 8] + length);
      ++idatChunks;
    }
    at += 12 + length;
  }
  std::vector<unsigned char> raw;
  z_stream in = {};
  inflateInit(&in);
  in.next_in = idat.data();
  in.avail_in = static_cast<uInt>(idat.size());
  for (int result = Z_OK; result == Z_OK;) {
    in.next_out = buffer;
    in.avail_out = sizeof buffer;
    result = inflate(&in, Z_NO_FLUSH);
    raw.insert(raw.end(), buffer, buffer + (sizeof buffer - in.avail_out));
  }
  inflateEnd(&in);
  z_stream out = {};
  const int strategy = colorType == 3 || bitDepth < 8 ? Z_DEFAULT_STRATEGY : Z_FILTERED;
  deflateInit2(&out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, strategy);
  std::vector<unsigned char> single(deflateBound(&out, raw.size()));
  out.next_in = raw.data();
  out.avail_in = static_cast<uInt>(raw.size());
  out.next_out = single.data();
  out.avail_out = static_cast<uInt>(single.size());
  deflate(&out, Z_FINISH);
  const long long stream = static_cast<long long>(single.size() - out.avail_out);
  deflateEnd(&out);
  const long long chunks = (stream + 8191) / 8192;
  return static_cast<long long>(file.size()) - static_cast<long long>(idat.size()) -
         12 * static_cast<long long>(idatChunks) + stream + 12 * chunks;
}

bool RunExportLibpng(void* c) {
  auto* x = static_cast<Context*>(c);
  return x->libpngExport.Run(x->ours, x->outLibpng);
}

// The threads an export takes here: PNGTRANS_THREADS, else the processors (at most 8).
unsigned ThreadsUsed() {
  const char* setting = std::getenv("PNGTRANS_THREADS");
  if (setting != nullptr && std::atoi(setting) >= 1) return std::min(8, std::atoi(setting));
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::min(8, std::max(1, CPU_COUNT(&set)));
}

std::string Size4(double a, double b) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", b > 0 ? a / b : 0.0);
  return text;
}

std::string Ratio(double a, double b) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", b > 0 ? a / b : 0.0);
  return text;
}

}  // namespace

// pngtrans-bench --profile import|export|libpng-import|libpng-export|floor MODULE FILE COUNT:
// one side only, COUNT times, for perf or callgrind.
int Profile(char** argv) {
  const std::string what = argv[2];
  bench::Module module;
  if (!module.Load(argv[3])) Fail(std::string("cannot load ") + argv[3]);
  HostBuffers host;
  if (!module.Import(argv[4], &host)) Fail(std::string("the module does not import ") + argv[4]);
  const int count = std::max(1, std::atoi(argv[5]));
  PngHeader header;
  if (!bench::ReadHeader(argv[4], &header)) Fail(std::string("no header in ") + argv[4]);
  HostBuffers reference;
  bench::PrepareReference(header, &reference);
  bench::LibpngExport libpngExport;
  bench::InflateFloor floor;
  if (what == "floor" && !floor.Prepare(argv[4], header)) Fail("no image data to inflate");
  if (what == "libpng-export" && (!module.Export(host, "/tmp/pngtrans-bench-profile.png") ||
                                  !libpngExport.Prepare("/tmp/pngtrans-bench-profile.png"))) {
    Fail("the module does not export the file");
  }
  for (int i = 0; i < count; ++i) {
    bool ok = false;
    if (what == "import") {
      ok = module.Import(argv[4], &host);
    } else if (what == "export") {
      ok = module.Export(host, "/tmp/pngtrans-bench-profile.png");
    } else if (what == "libpng-import") {
      ok = bench::LibpngImport(argv[4], header, &reference);
    } else if (what == "libpng-export") {
      ok = libpngExport.Run(host, "/tmp/pngtrans-bench-profile-libpng.png");
    } else if (what == "floor") {
      ok = floor.Run();
    }
    if (!ok) Fail("a run failed");
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--profile") == 0) return Profile(argv);
  if (argc < 4) Fail("usage: pngtrans-bench MODULE CORPUS OUTDIR [REPEATS]");
  const std::string corpus = argv[2];
  const std::string outDir = argv[3];
  const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;
  bench::Module module;
  if (!module.Load(argv[1])) Fail(std::string("cannot load ") + argv[1]);

  std::vector<std::string> names;
  if (DIR* d = opendir(corpus.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) Fail("no PNG files in " + corpus);

  std::vector<Result> results;
  for (const std::string& name : names) {
    Context c;
    c.module = &module;
    c.path = corpus + "/" + name;
    c.outOurs = outDir + "/export-ours.png";
    c.outLibpng = outDir + "/export-libpng.png";
    c.outOne = outDir + "/export-one-thread.png";
    if (!bench::ReadHeader(c.path, &c.header)) Fail("no header in " + name);
    const PngHeader& h = c.header;

    // First runs outside the timing: they size the buffers and give the bytes to compare.
    bench::PrepareReference(h, &c.libpng);
    bench::PrepareReference(h, &c.spng);
    if (!bench::LibpngImport(c.path, h, &c.libpng)) {
      std::printf("skipped %s: libpng does not read it\n", name.c_str());
      continue;
    }
    if (!module.Import(c.path, &c.ours)) Fail("the module does not import " + name);
    if (!bench::SpngImport(c.path, h, &c.spng)) Fail("libspng does not read " + name);
    std::string why;
    if (!SameHost(c.ours, c.libpng, h, &why)) Fail(name + ": ours and libpng differ: " + why);
    if (!SameHost(c.spng, c.libpng, h, &why)) Fail(name + ": libspng and libpng differ: " + why);
    if (!c.floor.Prepare(c.path, h)) Fail("no image data in " + name);
    if (!module.Export(c.ours, c.outOurs)) Fail("the module does not export " + name);
    if (!c.libpngExport.Prepare(c.outOurs)) Fail("libpng does not read our export of " + name);

    Result r;
    r.name = name.substr(0, name.size() - 4);
    r.cls = r.name.substr(0, r.name.find('-'));
    r.header = h;
    std::vector<bool (*)(void*)> importers = {RunOurs, RunLibpng, RunSpng, RunFloor};
    const std::string plainName = "photo" + r.name.substr(r.cls.size()) + ".png";
    const bool paired =
        r.cls == "interlaced" && bench::ReadHeader(corpus + "/" + plainName, &c.plainHeader);
    if (paired) {
      c.plainPath = corpus + "/" + plainName;
      bench::PrepareReference(c.plainHeader, &c.plainLibpng);
      if (!module.Import(c.plainPath, &c.plainOurs))
        Fail("the module does not import " + plainName);
      importers.push_back(RunPlainOurs);
      importers.push_back(RunPlainLibpng);
    }
    const auto import =
        Interleaved(repeats, importers, std::vector<void*>(importers.size(), &c), name.c_str());
    r.ours = import[0];
    r.libpng = import[1];
    r.spng = import[2];
    r.floor = import[3];
    if (paired) {
      r.plainOurs = import[4];
      r.plainLibpng = import[5];
    }
    const int exportRepeats = std::max(1, (repeats + 1) / 2);
    const auto exported = Interleaved(exportRepeats, {RunExportOurs, RunExportLibpng, RunExportOne},
                                      {&c, &c, &c}, name.c_str());
    r.exportOurs = exported[0];
    r.exportLibpng = exported[1];
    r.exportOne = exported[2];
    if (FileSize(c.outOne) != FileSize(c.outOurs)) Fail(name + ": one thread wrote another file");
    r.sizeSingle = SingleStreamSize(c.outOurs);
    r.sizeOurs = FileSize(c.outOurs);
    r.sizeLibpng = FileSize(c.outLibpng);

    // One import with every allocation counted; the host buffers come from the benchmark.
    g_live = g_peak = 0;
    g_counting = true;
    const bool ok = module.Import(c.path, &c.ours);
    g_counting = false;
    if (!ok) Fail("the module does not import " + name + " again");
    r.peak = g_peak;
    const uint32_t channels = h.colorType == 2   ? 3
                              : h.colorType == 4 ? 2
                              : h.colorType == 6 ? 4
                                                 : 1;
    const long long row = (static_cast<long long>(h.width) * channels * h.bitDepth + 7) / 8;
    // The row store: one row for a plain image; an interlaced one keeps its even rows (the
    // odd ones arrive whole in the last pass).
    r.rowStore = h.interlaced ? row * ((h.height + 1) / 2) : row;
    std::printf(
        "%-44s %5ux%-5u ct%u/%-2u %s  import %7.2f ms  /libpng %s  /spng %s  /floor %s"
        "  export %7.2f ms  /libpng %s  one thread /libpng %s\n",
        r.name.c_str(), h.width, h.height, h.colorType, h.bitDepth, h.interlaced ? "i" : " ",
        r.ours * 1e3, Ratio(r.ours, r.libpng).c_str(), Ratio(r.ours, r.spng).c_str(),
        Ratio(r.ours, r.floor).c_str(), r.exportOurs * 1e3,
        Ratio(r.exportOurs, r.exportLibpng).c_str(), Ratio(r.exportOne, r.exportLibpng).c_str());
    std::fflush(stdout);
    results.push_back(r);
  }

  // --- per class ---
  const char* classes[] = {"photo", "interlaced", "screen", "real"};
  std::map<std::string, Sums> sums;
  Sums all;
  for (const Result& r : results) {
    sums[r.cls].Add(r);
    all.Add(r);
  }
  std::string table =
      "| class | files | import ours/libpng | ours/spng | ours/inflate-floor | export ours/libpng "
      "| export 1 thread/libpng | export size ours/libpng | size ours/one stream |\n"
      "|---|---|---|---|---|---|---|---|---|\n";
  FILE* dat = std::fopen((outDir + "/ratios.dat").c_str(), "w");
  if (dat == nullptr) Fail("cannot write " + outDir + "/ratios.dat");
  std::fprintf(dat, "# class import/libpng import/spng import/floor export/libpng\n");
  auto row = [&](const std::string& label, const Sums& s) {
    table += "| " + label + " | " + std::to_string(s.files) + " | " + Ratio(s.ours, s.libpng) +
             " | " + Ratio(s.ours, s.spng) + " | " + Ratio(s.ours, s.floor) + " | " +
             Ratio(s.exportOurs, s.exportLibpng) + " | " + Ratio(s.exportOne, s.exportLibpng) +
             " | " + Ratio(s.sizeOurs, s.sizeLibpng).substr(0, 5) + " | " +
             Size4(s.sizeOurs, s.sizeSingle) + " |\n";
    std::fprintf(dat, "%s %.4f %.4f %.4f %.4f\n", label.c_str(), s.ours / s.libpng, s.ours / s.spng,
                 s.ours / s.floor, s.exportOurs / s.exportLibpng);
  };
  for (const char* cls : classes) {
    if (sums.count(cls)) row(cls, sums[cls]);
  }
  row("all", all);
  std::fclose(dat);

  // --- by kind of pixels: the synthetic images as 8-bit, 16-bit or palette, then every
  // interlaced file, the screen-like ones and the real ones ---
  const char* kinds[] = {"8-bit", "16-bit", "palette", "interlaced", "screen", "real"};
  std::map<std::string, Sums> byKind;
  for (const Result& r : results) {
    std::string kind = r.cls;
    if (r.cls == "photo") {
      kind = r.header.colorType == 3 ? "palette" : r.header.bitDepth == 16 ? "16-bit" : "8-bit";
    }
    byKind[kind].Add(r);
  }
  std::string kindLine;
  double worstKind = 0;
  for (const char* kind : kinds) {
    if (!byKind.count(kind)) continue;
    const Sums& k = byKind[kind];
    kindLine += std::string(kindLine.empty() ? "" : ", ") + kind + " " + Ratio(k.ours, k.libpng);
    worstKind = std::max(worstKind, k.ours / k.libpng);
  }

  // --- interlaced against the same image stored plain, timed in the same rounds ---
  double iOurs = 0, pOurs = 0, iLib = 0, pLib = 0;
  double minOurs = 1e9, maxOurs = 0, minLib = 1e9, maxLib = 0;
  std::string pairsOver;  // pairs whose ratio exceeds libpng's own by more than 0.10
  for (const Result& r : results) {
    if (r.plainOurs <= 0) continue;
    if (r.ours / r.plainOurs > r.libpng / r.plainLibpng + 0.10) {
      pairsOver += " " + r.name + " (" + Ratio(r.ours, r.plainOurs) + " against " +
                   Ratio(r.libpng, r.plainLibpng) + ")";
    }
    iOurs += r.ours;
    pOurs += r.plainOurs;
    iLib += r.libpng;
    pLib += r.plainLibpng;
    minOurs = std::min(minOurs, r.ours / r.plainOurs);
    maxOurs = std::max(maxOurs, r.ours / r.plainOurs);
    minLib = std::min(minLib, r.libpng / r.plainLibpng);
    maxLib = std::max(maxLib, r.libpng / r.plainLibpng);
  }

  // --- heap ---
  long long fixedPart = 0, peakMax = 0;
  std::string fixedAt;
  for (const Result& r : results) {
    if (r.peak - r.rowStore > fixedPart) {
      fixedPart = r.peak - r.rowStore;
      fixedAt = r.name;
    }
    peakMax = std::max(peakMax, r.peak);
  }

  std::printf("\n%s\n", table.c_str());
  std::string lines;
  auto line = [&](const std::string& text) {
    lines += text + "\n";
    std::printf("%s\n", text.c_str());
  };
  std::string exportByClass;
  for (const char* cls : classes) {
    if (!sums.count(cls)) continue;
    exportByClass += std::string(" ") + cls + " " +
                     Ratio(sums[cls].exportOurs, sums[cls].exportLibpng) + "/" +
                     Ratio(sums[cls].exportOne, sums[cls].exportLibpng);
  }
  std::string perClass;
  for (const char* cls : classes) {
    if (!sums.count(cls)) continue;
    perClass += std::string(perClass.empty() ? "" : ", ") + cls + " " +
                Ratio(sums[cls].ours, sums[cls].libpng);
  }
  line("import time ours/libpng: " + Ratio(all.ours, all.libpng) + " (" + perClass + ")");
  line("import time ours/libpng by kind: " + kindLine + "; largest " + Ratio(worstKind, 1));
  line("import time ours/spng: " + Ratio(all.ours, all.spng));
  line("import time ours/inflate-floor: " + Ratio(all.ours, all.floor));
  if (pOurs > 0) {
    line("interlaced/plain: ours " + Ratio(iOurs, pOurs) + " (" + Ratio(minOurs, 1) + "-" +
         Ratio(maxOurs, 1) + "), libpng " + Ratio(iLib, pLib) + " (" + Ratio(minLib, 1) + "-" +
         Ratio(maxLib, 1) + ")");
    line("interlaced/plain pairs over libpng's own + 0.10:" +
         (pairsOver.empty() ? std::string(" none") : pairsOver));
  }
  line("export time ours/libpng: " + Ratio(all.exportOurs, all.exportLibpng) + " on " +
       std::to_string(ThreadsUsed()) + " threads, " + Ratio(all.exportOne, all.exportLibpng) +
       " on one (by class:" + exportByClass + ")");
  line("export size ours/one deflate stream (1.1.x): " + Size4(all.sizeOurs, all.sizeSingle));
  char size[64];
  std::snprintf(size, sizeof size, "%.4f", all.sizeOurs / all.sizeLibpng);
  line(std::string("export size ours/libpng: ") + size);
  line("import heap beyond host buffers: at most one row store + " + std::to_string(fixedPart) +
       " bytes (" + fixedAt + "); largest peak " + std::to_string(peakMax) + " bytes");

  FILE* md = std::fopen((outDir + "/table.md").c_str(), "w");
  if (md != nullptr) {
    std::fprintf(md, "%s\n```\n%s```\n", table.c_str(), lines.c_str());
    std::fclose(md);
  }
  FILE* tsv = std::fopen((outDir + "/results.tsv").c_str(), "w");
  if (tsv != nullptr) {
    std::fprintf(tsv,
                 "file\tclass\twidth\theight\tcolor\tdepth\tinterlaced\tours_s\tlibpng_s\tspng_s"
                 "\tfloor_s\texport_ours_s\texport_libpng_s\tsize_ours\tsize_libpng\tpeak\trow_"
                 "store\n");
    for (const Result& r : results) {
      std::fprintf(tsv,
                   "%s\t%s\t%u\t%u\t%u\t%u\t%u\t%.6f\t%.6f\t%.6f\t%.6f\t%.6f\t%.6f\t%lld\t%lld"
                   "\t%lld\t%lld\n",
                   r.name.c_str(), r.cls.c_str(), r.header.width, r.header.height,
                   r.header.colorType, r.header.bitDepth, r.header.interlaced, r.ours, r.libpng,
                   r.spng, r.floor, r.exportOurs, r.exportLibpng, r.sizeOurs, r.sizeLibpng, r.peak,
                   r.rowStore);
    }
    std::fclose(tsv);
  }
  return 0;
}
