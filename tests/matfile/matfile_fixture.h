// Shared fixture of the MAT writer tests: a 1 MiB output buffer and a private
// folder for the files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "matfile/matfile.h"
#include "tests/support/legacy.h"

using namespace legacy;

class MatFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(AllocDiskBuffer(kDiskBufferBytes), NoError);
    dir_ = MakeTempDir("matfile");
    path_ = dir_ + "/out.mat";
  }

  void TearDown() override {
    EndSizing();
    FreeDiskBuffer();
    RemoveTree(dir_);
  }

  // Creates the file, runs body on it, closes it and returns its bytes.
  template <typename Body>
  std::string WriteFile(Body body) {
    FileHandle file = CreateMatFile(path_.c_str());
    EXPECT_NE(file, kInvalidFile);
    if (file == kInvalidFile) return {};
    body(file);
    EXPECT_EQ(CloseMatFile(file), NoError);
    return ReadFileBytes(path_);
  }

  std::string dir_;
  std::string path_;
};

// "0e 00 ..." for readable comparisons.
inline std::string FixtureHex(const std::string& bytes) {
  std::string out;
  char two[4];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    if (!out.empty()) out += ' ';
    out += two;
  }
  return out;
}
