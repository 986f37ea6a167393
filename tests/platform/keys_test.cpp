// The stop key on a pipe: each byte that arrives is one key, and the end of
// the input none.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

TEST(PipeKeys, EachByteIsOneKeyAndTheEndNone) {
  int keys[2], seen[2];
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(pipe(seen), 0);
  ASSERT_EQ(write(keys[1], "ab", 2), 2);
  const pid_t pid = fork();
  if (pid == 0) {  // stdin is the pipe, closed at the far end once "ab" is read
    close(keys[1]);
    dup2(keys[0], STDIN_FILENO);
    KeyboardInit();
    std::string polls;
    for (int i = 0; i < 4; ++i) polls += KeyWaiting() ? static_cast<char>(KeyRead()) : '-';
    _exit(write(seen[1], polls.data(), polls.size()) == 4 ? 0 : 1);
  }
  close(keys[0]);
  close(keys[1]);
  close(seen[1]);
  char polls[8] = {};
  const ssize_t n = read(seen[0], polls, sizeof polls);
  close(seen[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(std::string(polls, n > 0 ? static_cast<size_t>(n) : 0), "ab--");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
