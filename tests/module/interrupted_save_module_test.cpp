// Saves that do not finish for reasons outside the module: the process killed in the middle,
// and a disk that fills up. Either way the file being replaced must be the old file or the
// complete new one, byte for byte; leftover temporary files are the only debris allowed.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "support/export_host.h"
#include "support/files.h"
#include "support/module_fixture.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

class InterruptedSave : public ModuleTest {
 protected:
  int Save(const std::string& path, HostImage* image, uint32_t options) {
    CommandHeader header = {0, 13, 0x7777};
    return module_.Procedure()(&header, path.c_str(), "Title", image, XtndArg{options}, XtndArg{0});
  }
  // Removes the temporary files a killed save left beside the target; returns how many.
  static int RemoveDebris(const std::string& directory, const std::string& keep) {
    int count = 0;
    for (const std::string& name : ListDirectory(directory)) {
      if (name == keep) continue;
      EXPECT_NE(name.find(".pngtrans-"), std::string::npos) << "unexpected file " << name;
      unlink((directory + "/" + name).c_str());
      ++count;
    }
    return count;
  }
};

TEST_F(InterruptedSave, KilledAtAnyMomentLeavesTheOldOrTheNewFile) {
  const std::string directory = TempDirectory("killed");
  const std::string target = directory + "/picture.png";
  HostSpec shape;
  shape.width = 700;
  shape.height = 500;
  shape.colours = 6000;
  GuardedHostImage image(shape);
  const uint32_t options = 0x00082001;
  // The new file, and how long one save takes.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Save(target, image.get(), options), 1);
  const auto took = std::chrono::steady_clock::now() - start;
  Bytes newFile;
  ASSERT_TRUE(ReadFileBytes(target, &newFile));
  const Bytes oldFile = EncodePng(RandomImage(30, 20, 8, 2, 3));

  std::mt19937 random(20261209);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 5 / 4;
  int oldSeen = 0;
  int newSeen = 0;
  int debris = 0;
  for (int kill = 0; kill < 200; ++kill) {
    ASSERT_TRUE(WriteFileBytes(target, oldFile));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(Save(target, image.get(), options) == 1 ? 0 : 1);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (span + 1)));
    ::kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(target, &now)) << "kill " << kill << ": the target is gone";
    if (now == oldFile) {
      ++oldSeen;
    } else if (now == newFile) {
      ++newSeen;
    } else {
      ADD_FAILURE() << "kill " << kill << ": the target is neither file (" << now.size()
                    << " bytes)";
    }
    debris += RemoveDebris(directory, "picture.png");
  }
  std::printf("killed saves: %d left the old file, %d the new one, %d temporary files\n", oldSeen,
              newSeen, debris);
  EXPECT_GT(oldSeen, 0) << "no kill came before the end of a save";
  RemoveFile(target);
}

TEST_F(InterruptedSave, AFullDiskFailsTheSaveAndKeepsTheOldFile) {
  const std::string directory = TempDirectory("full-disk");
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  if (mount("pngtrans", directory.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "no tmpfs could be mounted here: " << std::strerror(errno);
  const std::string target = directory + "/picture.png";
  const Bytes oldFile = EncodePng(RandomImage(60, 40, 8, 2, 4));
  ASSERT_TRUE(WriteFileBytes(target, oldFile));
  // Filled up to a little room: the new file cannot fit.
  const std::string filler = directory + "/filler";
  ASSERT_TRUE(WriteFileBytes(filler, Bytes(256 * 1024 - 64 * 1024, 0xCD)));
  HostSpec shape;
  shape.width = 400;
  shape.height = 300;
  shape.colours = 6000;
  GuardedHostImage image(shape);
  CommandHeader header = {0, 13, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, target.c_str(), "Title", image.get(), XtndArg{0x00082000},
                                XtndArg{0}),
            0);
  EXPECT_EQ(header.result, StatusWriteError);
  Bytes now;
  EXPECT_TRUE(ReadFileBytes(target, &now) && now == oldFile) << "the old file changed";
  unlink(filler.c_str());
  EXPECT_EQ(RemoveDebris(directory, "picture.png"), 0) << "a temporary file was left";
  umount(directory.c_str());
}

}  // namespace
}  // namespace pngtrans::test
#endif
