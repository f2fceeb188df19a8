#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

#include "capture.h"
#include "log.h"
#include "text.h"

namespace {

struct sink_entry {
  int priority;
  std::string text;
};
std::vector<sink_entry> entries;

void collect(int priority, const char *format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  entries.push_back({priority, text});
}

struct echo_case {
  int line;
  log_echo_mode mode;
  int priority;
  bool to_stdout;
};
void PrintTo(const echo_case &c, std::ostream *os) { *os << "line " << c.line; }

class LogEcho : public testing::TestWithParam<echo_case> {};

TEST_P(LogEcho, GoesToTheSinkAndOneStreamUnchanged) {
  const echo_case &c = GetParam();
  entries.clear();
  log_set_sink(collect);
  log_set_echo(c.mode);
  fd_capture out, err;
  capture_begin(&out, 1);
  capture_begin(&err, 2);
  log_msg(c.priority, "%s is invalid in %s.", "NIMBA_MODE", "settings");
  const std::string err_text = capture_end(&err);
  const std::string out_text = capture_end(&out);
  log_set_sink(nullptr);
  log_set_echo(LOG_ECHO_BY_PRIORITY);

  const std::string expected = "NIMBA_MODE is invalid in settings.";
  EXPECT_EQ(c.to_stdout ? out_text : err_text, expected) << "line " << c.line;
  EXPECT_EQ(c.to_stdout ? err_text : out_text, "") << "line " << c.line;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].priority, c.priority);
  EXPECT_EQ(entries[0].text, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LogEcho,
    testing::Values(echo_case{__LINE__, LOG_ECHO_BY_PRIORITY, LOG_DEBUG, true},
                    echo_case{__LINE__, LOG_ECHO_BY_PRIORITY, LOG_WARNING, true},
                    echo_case{__LINE__, LOG_ECHO_BY_PRIORITY, LOG_ERR, false},
                    echo_case{__LINE__, LOG_ECHO_BY_PRIORITY, LOG_EMERG, false},
                    echo_case{__LINE__, LOG_ECHO_BY_PRIORITY, LOG_DAEMON | LOG_INFO, true},
                    echo_case{__LINE__, LOG_ECHO_BY_PRIORITY, LOG_DAEMON | LOG_ERR, false},
                    echo_case{__LINE__, LOG_ECHO_STDERR, LOG_DEBUG, false},
                    echo_case{__LINE__, LOG_ECHO_STDERR, LOG_INFO, false},
                    echo_case{__LINE__, LOG_ECHO_STDERR, LOG_ERR, false}),
    [](const testing::TestParamInfo<echo_case> &info) { return "line" + std::to_string(info.param.line); });

TEST(LogBaseName, TakesTheTextAfterTheLastSlash) {
  EXPECT_STREQ(log_base_name("/www/cgi-bin/index.cgi"), "index.cgi");
  EXPECT_STREQ(log_base_name("nimba_vezidozu"), "nimba_vezidozu");
  EXPECT_STREQ(log_base_name("dir/"), "");
}

TEST(CopyFold, CutsAtCapacityAndClearsTheRest) {
  char dest[128];
  std::memset(dest, 'x', sizeof dest);
  const std::string long_text(200, 'a');
  copy_fold(dest, sizeof dest, long_text.c_str(), 0);
  EXPECT_EQ(std::string(dest), std::string(127, 'a'));

  std::memset(dest, 'x', sizeof dest);
  copy_fold(dest, sizeof dest, "abc", 0);
  EXPECT_STREQ(dest, "abc");
  for (unsigned i = 3; i < sizeof dest; ++i) ASSERT_EQ(dest[i], '\0') << i;
}

TEST(CopyFold, NullSourceAndTinyCapacityLeaveTheEmptyText) {
  char dest[8] = "old";
  copy_fold(dest, sizeof dest, nullptr, 0);
  EXPECT_STREQ(dest, "");
  std::strcpy(dest, "old");
  copy_fold(dest, 1, "abc", 0);
  EXPECT_EQ(dest[0], '\0');
  EXPECT_EQ(dest[1], 'l'); // nothing past the capacity is written
  copy_fold(nullptr, 8, "abc", 0);
  std::strcpy(dest, "old");
  copy_fold(dest, 0, "abc", 0);
  EXPECT_STREQ(dest, "old");
}

TEST(CopyFold, FoldsByTheSignOnlyAsciiLetters) {
  struct {
    int fold;
    const char *expected;
  } const cases[] = {{-1, "abc-9\xC4"}, {-100, "abc-9\xC4"}, {1, "ABC-9\xC4"}, {0, "AbC-9\xC4"}};
  for (const auto &c : cases) {
    char dest[16];
    copy_fold(dest, sizeof dest, "AbC-9\xC4", c.fold);
    EXPECT_STREQ(dest, c.expected) << c.fold;
  }
  str_fold(nullptr, 1);
}

TEST(MemAlloc, ZeroBytesGiveAUsableBlock) {
  char *block = static_cast<char *>(mem_alloc(0));
  ASSERT_NE(block, nullptr);
  block[0] = 'x';
  free(block);
}

} // namespace
