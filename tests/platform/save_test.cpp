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

// Each ending runs in a child process, so that its limits and signals stay
// there. The child saves "new" over a target that holds "old".
struct Ending {
  const char* label;
  void (*save)(const char* target);  // ends the child
  int status;                        // as RunShell: exit code, or 1000 + signal
  bool replaced;
};

void Write(FileHandle f) { WriteOutputFile(f, "new", 3); }

const Ending kEndings[] = {
    {"completed",
     [](const char* t) {
       FileHandle f = CreateOutputFile(t);
       Write(f);
       _exit(CloseOutputFile(f) ? 0 : 1);
     },
     0, true},
    {"abandoned",
     [](const char* t) {
       FileHandle f = CreateOutputFile(t);
       Write(f);
       DiscardOutputFile(f);
       _exit(0);
     },
     0, false},
    {"file-size limit",
     [](const char* t) {
       const rlimit limit = {2, 2};
       setrlimit(RLIMIT_FSIZE, &limit);
       FileHandle f = CreateOutputFile(t);
       const bool written = WriteOutputFile(f, "new", 3);
       DiscardOutputFile(f);
       _exit(written ? 1 : 0);
     },
     0, false},
    {"second interrupt",
     [](const char* t) {
       InstallInterruptHandlers();
       FileHandle f = CreateOutputFile(t);
       Write(f);
       raise(SIGINT);
       raise(SIGINT);
       _exit(1);
     },
     128 + SIGINT, false},
    {"quit",
     [](const char* t) {
       const rlimit noCore = {0, 0};
       setrlimit(RLIMIT_CORE, &noCore);
       InstallInterruptHandlers();
       FileHandle f = CreateOutputFile(t);
       Write(f);
       raise(SIGQUIT);
       _exit(1);
     },
     1000 + SIGQUIT, false},
};

int RunChild(void (*save)(const char*), const std::string& target) {
  const pid_t pid = fork();
  if (pid == 0) {
    ProcessInit();
    save(target.c_str());
    _exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

}  // namespace

TEST(AtomicSave, WhatEachEndingLeaves) {
  const TempDir folder("save");
  const std::string& dir = folder.path;
  const std::string target = dir + "/result.mat";
  for (const Ending& e : kEndings) {
    ASSERT_TRUE(WriteFileBytes(target, "old"));
    EXPECT_EQ(RunChild(e.save, target), e.status) << e.label;
    EXPECT_EQ(ReadFileBytes(target), e.replaced ? "new" : "old") << e.label;
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{"result.mat"}) << e.label;
  }
}

TEST(AtomicSave, TargetsThatAreNotPlainFiles) {
  const TempDir folder("save");
  const std::string& dir = folder.path;
  // A device has nothing to replace: it is written directly and stays.
  FileHandle f = CreateOutputFile("/dev/null");
  ASSERT_NE(f, kInvalidFile);
  EXPECT_TRUE(WriteOutputFile(f, "new", 3));
  EXPECT_TRUE(CloseOutputFile(f));
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  // A folder, or a file in a missing folder, cannot be saved.
  EXPECT_EQ(CreateOutputFile(dir.c_str()), kInvalidFile);
  EXPECT_EQ(CreateOutputFile((dir + "/missing/result.mat").c_str()), kInvalidFile);
  // Through a symbolic link the file it names is saved; the link stays.
  ASSERT_TRUE(WriteFileBytes(dir + "/real.mat", "old"));
  ASSERT_EQ(symlink("real.mat", (dir + "/link.mat").c_str()), 0);
  f = CreateOutputFile((dir + "/link.mat").c_str());
  ASSERT_NE(f, kInvalidFile);
  EXPECT_TRUE(WriteOutputFile(f, "new", 3));
  EXPECT_TRUE(CloseOutputFile(f));
  EXPECT_EQ(ReadFileBytes(dir + "/real.mat"), "new");
  ASSERT_EQ(lstat((dir + "/link.mat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"link.mat", "real.mat"}));
}
