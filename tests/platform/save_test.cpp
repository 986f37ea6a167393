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

namespace {
bool Save(const std::string& target) {
  const FileHandle f = CreateOutputFile(target.c_str());
  return f != kInvalidFile && WriteOutputFile(f, "new", 3) && CloseOutputFile(f);
}
}  // namespace

TEST(AtomicSave, ReplacedFileKeepsItsPermissions) {
  const TempDir dir("save");
  const std::string target = dir / "result.mat";
  for (const mode_t mode : {0600, 0640, 0751}) {
    ASSERT_TRUE(WriteFileBytes(target, "old"));
    ASSERT_EQ(chmod(target.c_str(), mode), 0);
    EXPECT_TRUE(Save(target));
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
    EXPECT_EQ(ReadFileBytes(target), "new");
  }
}

// A link that names no file yet gets that file, as a plain open would create it; the links stay.
TEST(AtomicSave, LinkToNoFileYetGetsThatFile) {
  const TempDir dir("save");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  const struct {
    std::vector<std::pair<std::string, std::string>> links;  // name, what it points at
    std::string saved;                                         // where the bytes go
  } cases[] = {
      {{{"link.mat", "new.mat"}}, "new.mat"},
      {{{"sub/link.mat", "new.mat"}}, "sub/new.mat"},  // relative to the link's own folder
      {{{"link.mat", dir / "sub/new.mat"}}, "sub/new.mat"},
      {{{"link.mat", "sub/link.mat"}, {"sub/link.mat", "../new.mat"}}, "new.mat"},
  };
  for (const auto& c : cases) {
    for (const auto& link : c.links) ASSERT_EQ(symlink(link.second.c_str(), (dir / link.first).c_str()), 0);
    EXPECT_TRUE(Save(dir / c.links.front().first)) << c.saved;
    EXPECT_EQ(ReadFileBytes(dir / c.saved), "new") << c.saved;
    for (const auto& link : c.links) {
      struct stat st;
      EXPECT_TRUE(lstat((dir / link.first).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << link.first;
      unlink((dir / link.first).c_str());
    }
    unlink((dir / c.saved).c_str());
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"sub"}) << c.saved;
    EXPECT_EQ(ListDir(dir / "sub"), std::vector<std::string>{}) << c.saved;
  }
  // A loop of links cannot be saved, and leaves nothing.
  ASSERT_EQ(symlink("b.mat", (dir / "a.mat").c_str()), 0);
  ASSERT_EQ(symlink("a.mat", (dir / "b.mat").c_str()), 0);
  EXPECT_EQ(CreateOutputFile((dir / "a.mat").c_str()), kInvalidFile);
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"a.mat", "b.mat", "sub"}));
}

// A view's save: replaced whole, as a save is, but without a flush to the
// disk.
TEST(AtomicSave, UnsyncedReplaceOfAView) {
  const TempDir dir("save");
  const std::string target = dir / "live.html";
  ASSERT_TRUE(WriteFileBytes(target, "old"));
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  FileHandle f = CreateOutputFile(target.c_str());
  ASSERT_NE(f, kInvalidFile);
  EXPECT_TRUE(WriteOutputFile(f, "new", 3));
  EXPECT_EQ(ReadFileBytes(target), "old");  // until it completes, readers see the earlier file
  EXPECT_TRUE(ReplaceOutputFileUnsynced(f));
  EXPECT_EQ(ReadFileBytes(target), "new");
  EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"live.html"});
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(ReplaceOutputFileUnsynced(f));  // the handle is gone
  // A device is written directly and stays.
  f = CreateOutputFile("/dev/null");
  ASSERT_NE(f, kInvalidFile);
  EXPECT_TRUE(ReplaceOutputFileUnsynced(f));
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}
