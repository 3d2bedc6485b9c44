// Base fixture of the module tests: the module loaded as a host loads it, and a check that no
// command left a file descriptor open.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/files.h"
#include "support/module_heap.h"
#include "support/module_loader.h"

namespace pngtrans::test {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.ok()) << module_.error();
    descriptors_ = OpenCrtDescriptorCount();
  }
  void TearDown() override {
    EXPECT_EQ(OpenCrtDescriptorCount(), descriptors_) << "the module left a descriptor open";
  }

  LoadedModule module_;
  int descriptors_ = 0;
};

// A module test whose module allocates through the counting heap, and a scratch file for it.
class ModuleHeapTest : public ModuleTest {
 protected:
  explicit ModuleHeapTest(const char* fileName) : path_(TempPath(fileName)) {}
  void SetUp() override {
    ModuleTest::SetUp();
    std::string error;
    ASSERT_TRUE(ModuleHeap::Install(module_, &error)) << error;
  }
  void TearDown() override {
    ModuleHeap::Reset();
    RemoveFile(path_);
    ModuleTest::TearDown();
  }

  std::string path_;
};

}  // namespace pngtrans::test
