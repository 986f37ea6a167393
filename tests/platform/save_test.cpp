// Atomic saves: what a completed, an abandoned, a failed and an interrupted
// save leave behind, and targets that are not plain files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/harness.h"

namespace {

// Each ending runs in a forked child, so that its limits and signals stay
// there. The child saves "new" over a target that holds "old".
const struct {
  const char* label;
  int status;  // exit code, or 1000 + signal
  bool replaced;
} kEndings[] = {{"completed", 0, true},
                {"abandoned", 0, false},
                {"file-size limit", 0, false},
                {"second interrupt", 128 + SIGINT, false},
                {"quit", 1000 + SIGQUIT, false}};

[[noreturn]] void Save(size_t ending, const char* target) {
  const rlimit two = {2, 2}, none = {0, 0};
  if (ending == 2) setrlimit(RLIMIT_FSIZE, &two);
  if (ending == 4) setrlimit(RLIMIT_CORE, &none);
  if (ending >= 3) InstallInterruptHandlers();
  FileHandle f = CreateOutputFile(target);
  const bool written = WriteOutputFile(f, "new", 3);
  if (ending == 0) _exit(CloseOutputFile(f) ? 0 : 1);
  for (int i = 0; ending == 3 && i < 2; ++i) raise(SIGINT);
  if (ending == 4) raise(SIGQUIT);
  DiscardOutputFile(f);
  _exit(ending == 2 ? written : ending >= 3);  // 0 when the ending went as meant
}

int RunChild(size_t ending, const std::string& target) {
  const pid_t pid = fork();
  if (pid == 0) {
    ProcessInit();
    Save(ending, target.c_str());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

}  // namespace

TEST(AtomicSave, WhatEachEndingLeaves) {
  const TempDir dir("save");
  const std::string target = dir / "result.mat";
  for (size_t i = 0; i < std::size(kEndings); ++i) {
    const auto& e = kEndings[i];
    ASSERT_TRUE(WriteFileBytes(target, "old"));
    EXPECT_EQ(RunChild(i, target), e.status) << e.label;
    EXPECT_EQ(ReadFileBytes(target), e.replaced ? "new" : "old") << e.label;
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"result.mat"}) << e.label;
  }
}

TEST(AtomicSave, TargetsThatAreNotPlainFiles) {
  const TempDir dir("save");
  // A device has nothing to replace: it is written directly and stays.
  FileHandle f = CreateOutputFile("/dev/null");
  ASSERT_NE(f, kInvalidFile);
  EXPECT_TRUE(WriteOutputFile(f, "new", 3));
  EXPECT_TRUE(CloseOutputFile(f));
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  // A folder, or a file in a missing folder, cannot be saved.
  EXPECT_EQ(CreateOutputFile(dir.path.c_str()), kInvalidFile);
  EXPECT_EQ(CreateOutputFile((dir / "missing/result.mat").c_str()), kInvalidFile);
  // Through a symbolic link the file it names is saved; the link stays.
  ASSERT_TRUE(WriteFileBytes(dir / "real.mat", "old"));
  ASSERT_EQ(symlink("real.mat", (dir / "link.mat").c_str()), 0);
  f = CreateOutputFile((dir / "link.mat").c_str());
  ASSERT_NE(f, kInvalidFile);
  EXPECT_TRUE(WriteOutputFile(f, "new", 3));
  EXPECT_TRUE(CloseOutputFile(f));
  EXPECT_EQ(ReadFileBytes(dir / "real.mat"), "new");
  ASSERT_EQ(lstat((dir / "link.mat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"link.mat", "real.mat"}));
}
