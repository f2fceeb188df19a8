/* The status record: its text, the meaning of return codes, and when it is written. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"
#include "kv_store.h"
#include "log.h"
#include "status.h"

namespace {

/* What the record logs, instead of the system log. */
std::vector<std::string> logged;
void collect(int, const char *format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  logged.push_back(text);
}

/* Started at 5 s on the monotonic clock, which was 1765000000 s on the wall clock. */
constexpr long long START_MS = 5000;
constexpr int64_t START_WALL_S = 1765000000;

relay_status sample_record(const char *path) {
  relay_status s;
  status_init(&s, path, 4321, START_MS, "ssl://org.example:8883", "10.0.0.7:1883");
  s.wall_offset_ms = START_WALL_S * 1000 - START_MS;
  return s;
}

TEST(StatusRecord, TextHoldsEveryKeyWithControlBytesReplaced) {
  relay_status s = sample_record(nullptr);
  status_side_set(&s, &s.cloud, STATUS_UP, START_MS + 10000);
  status_side_failed(&s, &s.gateway, 5, "not\tauthorised\n", START_MS + 20999);
  s.gateway.uri = "bad\rhost:1883";
  s.counters[STATUS_RECEIVED] = 12;
  s.counters[STATUS_PUBLISHED] = 9;
  s.counters[STATUS_NOT_JSON] = 1;
  s.counters[STATUS_TOO_LARGE] = 2;
  s.counters[STATUS_DROPPED] = 3;
  s.counters[STATUS_WAITING] = 99; /* not used: the queue's length is given */
  s.last_relayed_ms = START_MS + 30000;
  char text[STATUS_TEXT_CAPACITY];
  const unsigned length = status_format(&s, 7, text, sizeof text);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(
      "PID=4321\nSTARTED=1765000000\n"
      "CLOUD_STATE=up\nCLOUD_SINCE=1765000010\nCLOUD_URI=ssl://org.example:8883\n"
      "CLOUD_FAILED_AT=0\nCLOUD_FAILED_RC=0\nCLOUD_FAILED_TEXT=\n"
      "GATEWAY_STATE=down\nGATEWAY_SINCE=1765000020\nGATEWAY_URI=bad?host:1883\n"
      "GATEWAY_FAILED_AT=1765000020\nGATEWAY_FAILED_RC=5\nGATEWAY_FAILED_TEXT=not?authorised?\n"
      "RECEIVED=12\nPUBLISHED=9\nNOT_JSON=1\nTOO_LARGE=2\nDROPPED=3\nWAITING=7\n"
      "LAST_RELAYED=1765000030\n",
      std::string(text, length));
  /* A text that does not fit whole is not written cut. */
  EXPECT_EQ(0u, status_format(&s, 7, text, length));
  EXPECT_EQ(length, status_format(&s, 7, text, length + 1));
  s.gateway.failed_rc = -1;
  s.counters[STATUS_RECEIVED] = UINT64_MAX;
  ASSERT_GT(status_format(&s, 0, text, sizeof text), 0u);
  EXPECT_NE(nullptr, std::strstr(text, "\nGATEWAY_FAILED_RC=-1\n"));
  EXPECT_NE(nullptr, std::strstr(text, "\nRECEIVED=9223372036854775807\n"))
      << "kept within the reader's range";
}

/* At least once, the delivery's figures follow LAST_RELAYED; drops by reason add up to
 * DROPPED. At most once none of them is written (the file is as it always was). */
TEST(StatusRecord, DeliveryFiguresOnlyAtLeastOnce) {
  relay_status s = sample_record(nullptr);
  status_dropped(&s, DROP_SPOOL_FULL, 4);
  status_dropped(&s, DROP_REFUSED, 1);
  status_dropped(&s, DROP_SPOOL_LOST, 2);
  char text[STATUS_TEXT_CAPACITY];
  std::string plain(text, status_format(&s, 0, text, sizeof text));
  EXPECT_EQ(std::string::npos, plain.find("QOS")) << plain;
  EXPECT_NE(std::string::npos, plain.find("\nDROPPED=7\n"));
  status_delivery d{};
  d.at_least_once = true;
  d.resent = 3;
  d.gateway_held_ms = 1250;
  d.awaiting = 20;
  d.spool_documents = 1500;
  d.spool_bytes = 84000;
  d.oldest_waiting_ms = START_WALL_S * 1000 + 2500;
  s.dirty = false;
  status_delivery_set(&s, d);
  EXPECT_TRUE(s.dirty);
  s.dirty = false;
  status_delivery_set(&s, d);
  EXPECT_FALSE(s.dirty) << "the same figures marked the record changed";
  d.gateway_held_ms++;
  status_delivery_set(&s, d);
  EXPECT_TRUE(s.dirty) << "a longer hold of the gateway left the record unchanged";
  const std::string full(text, status_format(&s, 0, text, sizeof text));
  EXPECT_EQ(0u, full.find(plain));
  EXPECT_EQ(
      "QOS=1\nAWAITING_PUBACK=20\nRESENT=3\nGATEWAY_HELD_MS=1251\nDROPPED_QUEUE_FULL=0\n"
      "DROPPED_SPOOL_FULL=4\nDROPPED_REFUSED=1\nDROPPED_SPOOL_LOST=2\nSPOOL_DOCUMENTS=1500\n"
      "SPOOL_BYTES=84000\nSPOOL_ERRNO=0\n"
      "OLDEST_WAITING=1765000002\n",
      full.substr(plain.size()));
}

struct rc_case {
  int line;
  int rc;
  bool cloud;
  const char *text;
};

TEST(StatusRecord, NamesWhatEachReturnCodeMeans) {
  const rc_case cases[] = {
      {__LINE__, -1, true, "no connection (refused, unreachable, TLS or time-out)"},
      {__LINE__, -1, false, "no connection (refused, unreachable, TLS or time-out)"},
      {__LINE__, 1, true, "refused: protocol version not accepted"},
      {__LINE__, 2, true, "refused: client identifier rejected"},
      {__LINE__, 3, false, "refused: server unavailable"},
      {__LINE__, 4, true, "bad user name or password: check the token"},
      {__LINE__, 4, false, "bad user name or password"},
      {__LINE__, 5, true, "not authorised: check the organisation and the token"},
      {__LINE__, 5, false, "not authorised"},
      {__LINE__, 6, true, "refused (unknown return code)"},
  };
  for (const rc_case &c : cases)
    EXPECT_STREQ(c.text, status_connect_text(c.rc, c.cloud)) << "line " << c.line;
  EXPECT_STREQ("subscription to QZ/# refused", status_subscribe_text(128));
  EXPECT_STREQ("subscription to QZ/# not answered", status_subscribe_text(-1));
}

TEST(StatusRecord, StateChangesMarkTheRecordOnlyWhenTheStateChanges) {
  relay_status s = sample_record(nullptr);
  s.dirty = false;
  status_side_set(&s, &s.cloud, STATUS_DOWN, START_MS + 100);
  EXPECT_FALSE(s.dirty);
  EXPECT_EQ(START_MS, s.cloud.since_ms);
  status_side_set(&s, &s.cloud, STATUS_CONNECTING, START_MS + 100);
  EXPECT_TRUE(s.dirty);
  EXPECT_EQ(START_MS + 100, s.cloud.since_ms);
}

class StatusFile : public ::testing::Test {
protected:
  void SetUp() override {
    logged.clear();
    log_set_sink(collect);
    log_set_echo(LOG_ECHO_STDERR);
    folder = make_temp_folder("nimba_status_");
    ASSERT_FALSE(folder.empty());
    path = folder + "/nimba_vezidozu.status";
  }
  void TearDown() override {
    log_set_sink(nullptr);
    remove_tree(folder);
  }
  std::string folder, path;
};

/* Written at once the first time, then only when something changed and a second has
 * passed since the previous write. */
TEST_F(StatusFile, IsWrittenWhenChangedAndAtMostOncePerInterval) {
  relay_status s = sample_record(path.c_str());
  EXPECT_EQ(1, status_due_ms(&s)) << "the first write is due at once";
  status_write_due(&s, 0, 5000);
  ASSERT_NE("", read_file(path));
  EXPECT_EQ(0, status_due_ms(&s));
  struct stat info;
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0644u, info.st_mode & 07777);

  s.counters[STATUS_RECEIVED] = 1;
  s.dirty = true;
  EXPECT_EQ(5000 + STATUS_WRITE_INTERVAL_MS, status_due_ms(&s));
  status_write_due(&s, 0, 5000 + STATUS_WRITE_INTERVAL_MS - 1);
  EXPECT_EQ(std::string::npos, read_file(path).find("RECEIVED=1\n"));
  status_write_due(&s, 0, 5000 + STATUS_WRITE_INTERVAL_MS);
  EXPECT_NE(std::string::npos, read_file(path).find("RECEIVED=1\n"));

  /* Nothing changed: nothing written however long it waits. */
  unlink(path.c_str());
  status_write_due(&s, 0, 60000);
  EXPECT_NE(0, access(path.c_str(), F_OK));
  EXPECT_NE(0, access((path + ".tmp.4321").c_str(), F_OK));
}

int64_t written_number(const std::string &path, const char *key) {
  kv_table *table = kv_parse_file(path.c_str());
  int64_t value = -1;
  if (table != nullptr) kv_get_int(table, key, &value);
  kv_free(table);
  return value;
}

TEST_F(StatusFile, DatesTheLastRelayedMessageByTheWriteAfterIt) {
  relay_status s = sample_record(path.c_str());
  const int64_t start_wall_ms = START_WALL_S * 1000;
  status_write(&s, 0, START_MS + 1000, start_wall_ms + 1000);
  EXPECT_EQ(0, written_number(path, "LAST_RELAYED"));
  s.counters[STATUS_PUBLISHED] = 3;
  s.dirty = true;
  status_write(&s, 0, START_MS + 3500, start_wall_ms + 3500);
  EXPECT_EQ(START_MS + 3500, s.last_relayed_ms);
  EXPECT_EQ(START_WALL_S + 3, written_number(path, "LAST_RELAYED"));
  /* The same events keep their seconds in later writes, though the two clocks are read
   * a moment apart. */
  const std::string first = read_file(path);
  s.dirty = true;
  status_write(&s, 0, START_MS + 9000, start_wall_ms + 8999);
  EXPECT_EQ(first, read_file(path));
}

/* A device without a real-time clock starts in 1970 and gets the time later: the next
 * write dates every event by the new time. */
TEST_F(StatusFile, AClockSetAfterTheStartDatesEventsByTheNewTime) {
  relay_status s = sample_record(path.c_str());
  s.wall_offset_ms = 10000 - START_MS; /* the start was at 10 s after 1970 */
  status_write(&s, 0, START_MS + 1000, 11000);
  EXPECT_EQ(10, written_number(path, "STARTED"));
  s.dirty = true;
  status_write(&s, 0, START_MS + 60000, START_WALL_S * 1000);
  EXPECT_EQ(START_WALL_S - 60, written_number(path, "STARTED"));
}

TEST_F(StatusFile, AFolderThatCannotBeWrittenLeavesNoFileAndTheDaemonGoesOn) {
  const std::string missing = folder + "/gone/nimba_vezidozu.status";
  relay_status s = sample_record(missing.c_str());
  EXPECT_EQ(0, status_write(&s, 0, 1000, status_wall_ms()));
  EXPECT_EQ(0, status_write(&s, 0, 3000, status_wall_ms()));
  ASSERT_EQ(1u, logged.size()) << "a lasting failure is logged once";
  EXPECT_EQ("Cannot write the status file '" + missing + "' (errno=2).", logged[0]);
  EXPECT_FALSE(s.dirty);
  ASSERT_EQ(0, mkdir((folder + "/gone").c_str(), 0755));
  EXPECT_EQ(1, status_write(&s, 0, 5000, status_wall_ms()));
  EXPECT_FALSE(s.failure_logged);
  status_remove(&s);
  EXPECT_NE(0, access(missing.c_str(), F_OK));
}

/* What may lie at the temporary file's name when the daemon writes (firmware whose status
 * folder is /tmp lets others put things there). */
enum planted_kind { PLANTED_FIFO, PLANTED_HARD_LINK, PLANTED_SYMLINK, OWN_LEFTOVER };

struct planted_case {
  int line;
  const char *name;
  planted_kind kind;
};
void PrintTo(const planted_case &c, std::ostream *os) { *os << c.name; }

class StatusPlanted : public StatusFile, public ::testing::WithParamInterface<planted_case> {};

/* A FIFO would block the daemon, a link would lead the write to another file and make it
 * 0644: neither is opened, and what was planted stays as it was. A leftover of the daemon's
 * own (killed between create and rename) is replaced. */
TEST_P(StatusPlanted, NothingPlantedIsWrittenThroughOnlyOwnLeftoversAreReplaced) {
  const planted_case &c = GetParam();
  SCOPED_TRACE(c.line);
  const std::string temp = path + ".tmp.4321";
  const std::string target = folder + "/precious";
  ASSERT_TRUE(write_file(target, "precious"));
  ASSERT_EQ(0, chmod(target.c_str(), 0600));
  switch (c.kind) {
    case PLANTED_FIFO:
      ASSERT_EQ(0, mkfifo(temp.c_str(), 0666));
      break;
    case PLANTED_HARD_LINK:
      ASSERT_EQ(0, link(target.c_str(), temp.c_str()));
      break;
    case PLANTED_SYMLINK:
      ASSERT_EQ(0, symlink(target.c_str(), temp.c_str()));
      break;
    case OWN_LEFTOVER:
      ASSERT_TRUE(write_file(temp, "PID=4321\nSTAR"));
      break;
  }
  relay_status s = sample_record(path.c_str());
  const int written = status_write(&s, 0, START_MS, START_WALL_S * 1000);
  EXPECT_EQ("precious", read_file(target));
  struct stat info;
  ASSERT_EQ(0, stat(target.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  if (c.kind == OWN_LEFTOVER) {
    EXPECT_EQ(1, written);
    EXPECT_EQ(4321, written_number(path, "PID"));
    EXPECT_NE(0, access(temp.c_str(), F_OK));
    return;
  }
  EXPECT_EQ(0, written);
  ASSERT_EQ(1u, logged.size());
  EXPECT_EQ("Cannot write the status file '" + path + "' (errno=17).", logged[0]);
  struct stat planted;
  ASSERT_EQ(0, lstat(temp.c_str(), &planted)) << "the planted name was removed";
  EXPECT_EQ(c.kind == PLANTED_FIFO, S_ISFIFO(planted.st_mode));
  EXPECT_EQ(c.kind == PLANTED_SYMLINK, S_ISLNK(planted.st_mode));
}

INSTANTIATE_TEST_SUITE_P(Names, StatusPlanted,
                         ::testing::Values(planted_case{__LINE__, "Fifo", PLANTED_FIFO},
                                           planted_case{__LINE__, "HardLink", PLANTED_HARD_LINK},
                                           planted_case{__LINE__, "SymbolicLink", PLANTED_SYMLINK},
                                           planted_case{__LINE__, "OwnLeftover", OWN_LEFTOVER}),
                         [](const ::testing::TestParamInfo<planted_case> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
