// Many threads on one loaded module, as hosts do (a preview worker probing files while the user
// opens or saves another): imports, probes (commands 9 and 5) and exports of different files at
// once. Every result must equal the same call made alone; the linux64-tsan tier runs this under
// ThreadSanitizer, which reports any data race between the calls.
#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/export_host.h"
#include "support/files.h"
#include "support/import_host.h"
#include "support/module_loader.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

uint32_t Crc(const Bytes& bytes, uint32_t crc = 0) {
  return static_cast<uint32_t>(crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

class ModuleThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module_.ok()) << module_.error(); }

  // One call, described by everything a host can observe of it.
  using Job = std::function<std::string(int thread)>;

  Job Import(const std::string& path) {
    return [this, path](int) {
      GuardedHost host;
      char title[64];
      uint32_t options = 0;
      CommandHeader header = {0, 3, 0x7777};
      const int ret = module_.Procedure()(&header, path.c_str(), title, host.image(), &options,
                                          XtndArg{0}, XtndArg{0}, XtndArg{0});
      std::vector<uint32_t> palette = host.Palette();
      const Bytes paletteBytes(reinterpret_cast<const uint8_t*>(palette.data()),
                               reinterpret_cast<const uint8_t*>(palette.data() + palette.size()));
      return "import " + std::to_string(ret) + "/" + std::to_string(header.result) + " options " +
             std::to_string(options) + " pixels " + std::to_string(Crc(host.Pixels())) + " mask " +
             std::to_string(Crc(host.Mask())) + " palette " + std::to_string(Crc(paletteBytes)) +
             " releases " + std::to_string(host.releaseCalls());
    };
  }

  Job Probe(const std::string& path) {
    return [this, path](int) {
      uint32_t attributes = 0;
      CommandHeader header = {0, 9, 0x7777};
      const int ret9 = module_.Procedure()(&header, path.c_str(), &attributes);
      const int result9 = header.result;
      HostImage info = {};
      char title[64] = {};
      header = {0, 5, 0x7777};
      const int ret5 = module_.Procedure()(&header, path.c_str(), title, &info, XtndArg{0});
      return "probe " + std::to_string(ret9) + "/" + std::to_string(result9) + " " +
             std::to_string(attributes) + " preview " + std::to_string(ret5) + "/" +
             std::to_string(header.result) + " " + std::to_string(info.width) + "x" +
             std::to_string(info.height) + " kind " + std::to_string(info.colorKind) + " " + title;
    };
  }

  // Exports into a file of the calling thread's own.
  Job Export(HostImage* image, uint32_t options, const std::string& name) {
    return [this, image, options, name](int thread) {
      const std::string path = paths_[thread] + name;
      CommandHeader header = {0, 13, 0x7777};
      const int ret = module_.Procedure()(&header, path.c_str(), "threads", image, XtndArg{options},
                                          XtndArg{0});
      Bytes file;
      const bool exists = ReadFileBytes(path, &file);
      return "export " + std::to_string(ret) + "/" + std::to_string(header.result) + " file " +
             (exists ? std::to_string(file.size()) + " " + std::to_string(Crc(file)) : "none");
    };
  }

  LoadedModule module_;
  std::vector<std::string> paths_;
};

TEST_F(ModuleThreads, EightThreadsMixingEveryFileCommandGiveTheResultsOfSingleCalls) {
  constexpr int kThreads = 8;
  for (int t = 0; t < kThreads; ++t) paths_.push_back(TempPath("thread" + std::to_string(t)));

  // Files of several kinds: plain and interlaced, palette, 16-bit, alpha; one broken file.
  struct Source {
    const char* name;
    RawImage raw;
    EncodeOptions options;
  };
  std::vector<Source> sources;
  sources.push_back({"rgb8.png", RandomImage(97, 61, 8, 2, 1), {}});
  sources.push_back({"rgba8-adam7.png", RandomImage(83, 57, 8, 6, 2), {}});
  sources.back().options.interlace = true;
  sources.push_back({"grey16.png", RandomImage(64, 40, 16, 0, 3), {}});
  sources.push_back({"palette4.png", RandomImage(71, 33, 4, 3, 4, 16), {}});
  sources.back().options.palette = Bytes(48, 0x5A);
  std::vector<Job> jobs;
  for (const Source& s : sources) {
    const std::string path = TempPath(s.name);
    ASSERT_TRUE(WriteFileBytes(path, EncodePng(s.raw, s.options)));
    jobs.push_back(Import(path));
    jobs.push_back(Probe(path));
  }
  Bytes broken = EncodePng(RandomImage(40, 40, 8, 2, 5));
  broken.resize(broken.size() / 2);
  const std::string brokenPath = TempPath("broken.png");
  ASSERT_TRUE(WriteFileBytes(brokenPath, broken));
  jobs.push_back(Import(brokenPath));
  jobs.push_back(Probe(brokenPath));

  // Exports: full colour through the quantizer (256 colours), as it is, and grey with a mask.
  HostSpec colour;
  colour.width = 120;
  colour.height = 90;
  colour.colours = 4000;
  GuardedHostImage colourImage(colour);
  HostSpec grey;
  grey.kind = ColorKindGrey;
  grey.maskKind = MaskEightBit;
  GuardedHostImage greyImage(grey);
  jobs.push_back(Export(colourImage.get(), 0x00083000, "-256.png"));
  jobs.push_back(Export(colourImage.get(), 0x00082001, "-full-adam7.png"));
  jobs.push_back(Export(greyImage.get(), 0x00084100, "-grey-alpha.png"));
  // Data of two segments, deflated by worker threads inside the export (four, whatever the
  // machine), while the host's threads go on around it.
  HostSpec large;
  large.width = 800;
  large.height = 700;
  large.colours = 4000;
  GuardedHostImage largeImage(large);
  jobs.push_back(Export(largeImage.get(), 0x00082000, "-segments.png"));
#if defined(_WIN32)
  _putenv_s("PNGTRANS_THREADS", "4");
#else
  setenv("PNGTRANS_THREADS", "4", 1);
#endif

  // Every job alone first: the results the concurrent calls must give.
  std::vector<std::string> expected;
  for (const Job& job : jobs) expected.push_back(job(0));

  const char* secondsText = std::getenv("PNGTRANS_THREAD_SECONDS");
  const double seconds = secondsText != nullptr ? std::atof(secondsText) : 3.0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::atomic<int> calls{0};
  std::vector<std::string> faults(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the jobs from its own starting point, so that different commands
      // overlap all the time.
      for (size_t i = static_cast<size_t>(t) * 3; std::chrono::steady_clock::now() < end; ++i) {
        const size_t j = i % jobs.size();
        const std::string got = jobs[j](t);
        ++calls;
        if (got != expected[j] && faults[t].empty())
          faults[t] = "job " + std::to_string(j) + ": " + got + " (alone: " + expected[j] + ")";
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], "") << "thread " << t;
  EXPECT_GT(calls.load(), kThreads) << "the threads made too few calls to overlap";
}

}  // namespace
}  // namespace pngtrans::test
