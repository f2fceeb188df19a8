/* The process runner: wait status, PATH search, and the child's descriptors. */
#include "request_test_support.h"

#include <algorithm>
#include <sstream>
#include <sys/wait.h>
#include <vector>

namespace {

/* Names a table row by its line in test output. */
template <typename Case>
auto operator<<(std::ostream &os, const Case &c) -> decltype(c.line, os) {
  return os << "line " << c.line;
}

struct status_case {
  int line;
  const char *path;
  const char *arg1;
  const char *arg2;
  int exited; // 1: normal end with exit_code; 0: ended by signal_number
  int exit_code;
  int signal_number;
};

const status_case status_cases[] = {
    {__LINE__, "/bin/sh", "-c", "exit 0", 1, 0, 0},
    {__LINE__, "/bin/sh", "-c", "exit 3", 1, 3, 0},
    {__LINE__, "sh", "-c", "exit 4", 1, 4, 0}, // searched in PATH
    {__LINE__, "/bin/sh", "-c", "kill -9 $$", 0, 0, 9},
    {__LINE__, "/nonexistent/nimba_program", "restart", nullptr, 1, 1, 0},
    {__LINE__, "nimba_program_not_in_path", nullptr, nullptr, 1, 1, 0},
    // The argument vector ends at the first missing argument: sh then reads its script from
    // /dev/null and ends with 0, although a second argument was given.
    {__LINE__, "/bin/sh", nullptr, "exit 5", 1, 0, 0},
};

class run_program_status : public ::testing::TestWithParam<status_case> {};

TEST_P(run_program_status, returns_the_wait_status) {
  const status_case &c = GetParam();
  SCOPED_TRACE(c.line);
  const int status = run_program(c.path, c.arg1, c.arg2, 1);
  if (c.exited) {
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), c.exit_code);
  } else {
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.signal_number);
  }
}

INSTANTIATE_TEST_SUITE_P(table, run_program_status, ::testing::ValuesIn(status_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST(run_program, not_waiting_returns_0_even_for_a_missing_program) {
  EXPECT_EQ(run_program("/nonexistent/nimba_program", "restart", nullptr, 0), 0);
  EXPECT_EQ(run_program("/bin/sh", "-c", "exit 3", 0), 0);
  // Reap both children so that they do not outlive the test as zombies.
  for (int i = 0; i < 2; ++i) EXPECT_GT(waitpid(-1, nullptr, 0), 0);
}

class run_program_descriptors : public request_test {};

TEST_F(run_program_descriptors, child_has_only_dev_null_on_0_to_2) {
  // Descriptors the page holds and that a careless runner would pass on.
  const std::string held = dir + "/held";
  write_file(held, "");
  const int held_fd = open(held.c_str(), O_RDONLY); // no O_CLOEXEC on purpose
  ASSERT_GE(held_fd, 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);

  const std::string listing_path = dir + "/fds";
  const int status = run_program(FD_PROBE_PATH, listing_path.c_str(), nullptr, 1);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  // Descriptors of find itself aside, the child holds 0 to 2 on /dev/null and nothing else.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::istringstream listing(read_file(listing_path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(listing, line);) {
    const std::string target = line.substr(line.find(' ') + 1);
    const bool finds_own = atoi(line.c_str()) > 2 && (target == listing_path || target == cwd ||
                                                      (target.rfind("/proc/", 0) == 0 && target.size() > 9 &&
                                                       target.compare(target.size() - 3, 3, "/fd") == 0));
    if (!finds_own) lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  const std::vector<std::string> expected = {"0 /dev/null", "1 /dev/null", "2 /dev/null"};
  EXPECT_EQ(lines, expected);

  // The page's own descriptors are untouched.
  EXPECT_NE(fcntl(1, F_GETFD), -1);
  EXPECT_NE(fcntl(held_fd, F_GETFD), -1);
  EXPECT_EQ(write(pipe_fds[1], "x", 1), 1);
  close(held_fd);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

} // namespace
