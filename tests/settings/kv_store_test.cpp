#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "capture.h"
#include "kv_store.h"

namespace {

class KvStore : public testing::Test {
protected:
  void SetUp() override { dir = make_temp_folder("nimba_settings_"); }
  void TearDown() override {
    kv_free(table);
    remove_tree(dir);
  }
  kv_table *load(const std::string &content) {
    write_file(dir + "/f", content);
    kv_free(table);
    table = kv_parse_file((dir + "/f").c_str());
    return table;
  }
  std::string written() {
    const std::string path = dir + "/out";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(kv_write_fd(table, fd), 1);
    close(fd);
    return read_file(path);
  }
  std::string dir;
  kv_table *table = nullptr;
};

TEST_F(KvStore, UnreadableFilesGiveNoTable) {
  EXPECT_EQ(kv_parse_file((dir + "/missing").c_str()), nullptr);
  EXPECT_EQ(kv_parse_file(dir.c_str()), nullptr); // a folder opens but cannot be read
  EXPECT_EQ(kv_parse_file(nullptr), nullptr);
  ASSERT_NE(load(""), nullptr); // an empty file is a table without entries
  EXPECT_EQ(kv_get_str(table, "A"), nullptr);
}

TEST_F(KvStore, ReadsEntriesByTheLineRules) {
  struct {
    int line;
    const char *content;
    const char *key;
    const char *value; // nullptr: absent
  } const cases[] = {
      {__LINE__, "A=1\n", "A", "1"},
      {__LINE__, "  A \t=\t 1 2  \n", "A", "1 2"},
      {__LINE__, "A==x=\n", "A", "=x="},
      {__LINE__, "A=\n", "A", ""},
      {__LINE__, "A\n", "A", nullptr},
      {__LINE__, "#A=1\n", "A", nullptr},
      {__LINE__, "   # A=1\n", "A", nullptr},
      {__LINE__, "A=1 # not a comment\n", "A", "1 # not a comment"},
      {__LINE__, "A=1\nA=2\n", "A", "2"},
      {__LINE__, "A=1\r\nB=2\r\n", "A", "1"},
      {__LINE__, "B=2\nA=\"q\"", "A", "\"q\""},
      {__LINE__, "a=1\n", "A", nullptr},
      {__LINE__, "=1\n", "", "1"},
      {__LINE__, "A=$HOME\n", "A", "$HOME"},
  };
  for (const auto &c : cases) {
    ASSERT_NE(load(c.content), nullptr) << "line " << c.line;
    const char *value = kv_get_str(table, c.key);
    if (!c.value) {
      EXPECT_EQ(value, nullptr) << "line " << c.line;
    } else {
      EXPECT_STREQ(value, c.value) << "line " << c.line;
    }
  }
}

// A damaged file with a NUL byte in a value: the value ends there, trimmed like any other,
// so that saving it and reading it back gives the same text.
TEST_F(KvStore, ValueEndsAtANulByte) {
  ASSERT_NE(load(std::string("A=t= \0\0\x01\t\b\nB= x\0\n", 17)), nullptr);
  EXPECT_STREQ(kv_get_str(table, "A"), "t=");
  EXPECT_STREQ(kv_get_str(table, "B"), "x");
}

TEST_F(KvStore, ReadsIntegersStrictly) {
  struct {
    int line;
    const char *value;
    kv_int_result result;
    int64_t number;
  } const cases[] = {
      {__LINE__, "0", KV_OK, 0},
      {__LINE__, "1", KV_OK, 1},
      {__LINE__, "-1", KV_OK, -1},
      {__LINE__, "+7", KV_OK, 7},
      {__LINE__, "007", KV_OK, 7},
      {__LINE__, "9223372036854775807", KV_OK, INT64_MAX},
      {__LINE__, "-9223372036854775808", KV_OK, INT64_MIN},
      {__LINE__, "9223372036854775808", KV_INVALID, 0},
      {__LINE__, "", KV_INVALID, 0},
      {__LINE__, "abc", KV_INVALID, 0},
      {__LINE__, "1x", KV_INVALID, 0},
      {__LINE__, "1 2", KV_INVALID, 0},
      {__LINE__, "0x1", KV_INVALID, 0},
      {__LINE__, "-", KV_INVALID, 0},
      {__LINE__, "1.0", KV_INVALID, 0},
  };
  for (const auto &c : cases) {
    load(std::string("N=") + c.value + "\n");
    int64_t number = 42;
    EXPECT_EQ(kv_get_int(table, "N", &number), c.result) << "line " << c.line;
    if (c.result == KV_OK) {
      EXPECT_EQ(number, c.number) << "line " << c.line;
    }
  }
  load("M=1\n");
  EXPECT_EQ(kv_get_int(table, "N", nullptr), KV_ABSENT);
}

TEST_F(KvStore, PutKeepsEveryOtherLineAndReplacesTheFirst) {
  load("# comment\n\nA = 1\nJUNK LINE\nB=2\nA=3\r\nC=x\n");
  ASSERT_EQ(kv_put_str(table, "A", "new"), 1);
  ASSERT_EQ(kv_put_int(table, "D", -5), 1);
  EXPECT_EQ(written(), "# comment\n\nA=new\nJUNK LINE\nB=2\nC=x\nD=-5\n");
  EXPECT_STREQ(kv_get_str(table, "A"), "new");
}

TEST_F(KvStore, PutRefusesControlBytes) {
  load("A=1\n");
  for (const char *bad : {"x\ny", "x\rB=1", "tab\there", "del\x7f", "\x1b[0m"}) {
    EXPECT_EQ(kv_put_str(table, "A", bad), 0) << bad;
    EXPECT_EQ(kv_put_str(table, bad, "v"), 0) << bad;
  }
  EXPECT_EQ(written(), "A=1\n");
  EXPECT_EQ(kv_put_str(table, "A", "caf\xC3\xA9 ok"), 1); // 8-bit bytes are kept
  EXPECT_EQ(written(), "A=caf\xC3\xA9 ok\n");
}

TEST_F(KvStore, FileWithoutFinalLineFeedGainsOne) {
  load("A=1\nB=2");
  EXPECT_STREQ(kv_get_str(table, "B"), "2");
  EXPECT_EQ(written(), "A=1\nB=2\n");
}

} // namespace
