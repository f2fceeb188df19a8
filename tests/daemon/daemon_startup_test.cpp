/* Start-up trace, endpoints and exit codes of the daemon. */
#include <signal.h>

#include <string>
#include <vector>

#include "daemon_test_fixture.h"

namespace {

/* Nothing listens here (outside the blocks tests take their addresses from): cloud connects
 * are refused at once. */
const char *const NOWHERE = "127.1.0.1";

struct startup_case {
  int line;
  const char *name;
  std::vector<std::string> args;
  std::string settings;
  std::vector<std::pair<std::string, std::string>> hosts;
  std::vector<std::string> expected; /* fragments of standard output, in this order */
  bool token_warning = false;        /* registered over plain TCP: logged once at LOG_WARNING */
};

const char TOKEN_WARNING[] =
    "The token is sent to NIMBA unencrypted: choose TLS on the Options page (NIMBA_SSL=1).";
void PrintTo(const startup_case &c, std::ostream *os) { *os << c.name; }

const std::string O127(127, 'o'), T127(127, 't'), D127(127, 'e');

std::vector<startup_case> startup_cases() {
  const std::string qs = quickstart_host();
  return {
      {__LINE__,
       "DevidOnly",
       {"dev1"},
       "",
       {{NOWHERE, qs}},
       {"Started.\n dev1\n\n",
        "DEVID = 'dev1'\n",
        "DEVIP = ''\n",
        "NIMBA_MODE = 'quickstart'\n",
        "NIMBA URL:    '" + qs + ":1883'\n",
        "NIMBA Client: 'd:quickstart:zunquo:dev1'\n",
        "IoT Gateway URL:    ':1883'\n",
        "IoT Gateway Client: 'CID'\n"}},
      {__LINE__,
       "UpperCaseDevidFolded",
       {"AbC-X9", "Host-A"},
       "",
       {{NOWHERE, qs}},
       {"Started.\n AbC-X9, Host-A\n\n",
        "DEVID = 'abc-x9'\n",
        "DEVIP = 'Host-A'\n",
        "NIMBA Client: 'd:quickstart:zunquo:abc-x9'\n",
        "IoT Gateway URL:    'Host-A:1883'\n"}},
      {__LINE__,
       "MoreThanTwoArguments",
       {"d1", "127.1.0.2", "extra", "more"},
       "",
       {{NOWHERE, qs}},
       {"Started.\n d1, 127.1.0.2, extra, more\n\n",
        "DEVID = 'd1'\n",
        "DEVIP = '127.1.0.2'\n",
        "IoT Gateway URL:    '127.1.0.2:1883'\n"}},
      {__LINE__,
       "QuickstartIgnoresRegisteredTexts",
       {"d1", "127.1.0.2"},
       "NIMBA_MODE=0\nNIMBA_ORGID=org\nNIMBA_DTYPEID=typ\nNIMBA_AUTHTOKEN=tok\n",
       {{NOWHERE, qs}},
       {"NIMBA_MODE = 'quickstart'\n",
        "NIMBA URL:    '" + qs + ":1883'\n",
        "NIMBA Client: 'd:quickstart:zunquo:d1'\n"}},
      {__LINE__,
       "Registered",
       {"d1", "127.1.0.2"},
       "NIMBA_MODE=1\nNIMBA_ORGID=org\nNIMBA_DTYPEID=typ\nNIMBA_AUTHTOKEN=tok\n",
       {{NOWHERE, registered_host("org")}},
       {"NIMBA_MODE = 'registered'\n",
        "NIMBA_AUTHTOKEN = 'tok'\n",
        "NIMBA URL:    '" + registered_host("org") + ":1883'\n",
        "NIMBA Client: 'd:org:typ:d1'\n",
        "IoT Gateway Client: 'CID'\n",
        TOKEN_WARNING},
       true},
      {__LINE__,
       "RegisteredTls",
       {"d1", "127.1.0.2"},
       "NIMBA_MODE=1\nNIMBA_ORGID=org\nNIMBA_DTYPEID=typ\nNIMBA_SSL=1\n",
       {{NOWHERE, registered_host("org")}},
       {"NIMBA URL:    'ssl://" + registered_host("org") + ":8883'\n", "NIMBA Client: 'd:org:typ:d1'\n"}},
      {__LINE__,
       "LongTextsKeptWhole",
       {std::string(200, 'E'), std::string(127, '9')},
       "NIMBA_MODE=1\nNIMBA_ORGID=" + O127 + "\nNIMBA_DTYPEID=" + T127 + "\nNIMBA_SSL=1\n",
       {{NOWHERE, registered_host(O127)}},
       {"DEVID = '" + D127 + "'\n",
        "NIMBA URL:    'ssl://" + registered_host(O127) + ":8883'\n",
        "NIMBA Client: 'd:" + O127 + ":" + T127 + ":" + D127 + "'\n",
        "IoT Gateway URL:    '" + std::string(127, '9') + ":1883'\n"}},
  };
}

class DaemonStartup : public DaemonTest, public ::testing::WithParamInterface<startup_case> {};

TEST_P(DaemonStartup, PrintsTheTraceAndStopsCleanly) {
  const startup_case &c = GetParam();
  SCOPED_TRACE(c.line);
  daemon_launch launch;
  launch.args = c.args;
  launch.settings = c.settings;
  launch.hosts = c.hosts;
  ASSERT_TRUE(daemon_start(&run, launch));
  ASSERT_TRUE(process_wait_stdout(&run.process, "IoT Gateway Client: 'CID'\n", 10000));
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 15000));
  std::string text = out();
  size_t at = 0;
  for (const std::string &fragment : c.expected) {
    size_t found = text.find(fragment, at);
    EXPECT_NE(std::string::npos, found) << "missing in order: " << fragment;
    if (found != std::string::npos) at = found + fragment.size();
  }
  EXPECT_EQ("Stopped.", text.substr(text.size() - 8));
  /* The collector may still be taking in the last datagrams: count once "Stopped." is in. */
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 2000, 1, DAEMON_NOTICE));
  EXPECT_EQ(1u, syslog_count(&run.log, "Started.", DAEMON_NOTICE));
  EXPECT_EQ(c.token_warning ? 1u : 0u, syslog_count(&run.log, TOKEN_WARNING, DAEMON_WARNING));
}

INSTANTIATE_TEST_SUITE_P(Cases, DaemonStartup, ::testing::ValuesIn(startup_cases()),
                         [](const ::testing::TestParamInfo<startup_case> &info) {
                           return std::string(info.param.name);
                         });

TEST_F(DaemonTest, WithoutArgumentsLogsStartAndStopAndExitsOne) {
  daemon_launch launch;
  ASSERT_TRUE(daemon_start(&run, launch));
  ASSERT_TRUE(process_wait(&run.process, 10000));
  EXPECT_EQ(1, process_exit_code(&run.process));
  EXPECT_EQ("Started.\n\nStopped.", out());
  EXPECT_EQ("", err());
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 2000, 1, DAEMON_NOTICE));
  std::vector<syslog_entry> entries = syslog_entries(&run.log);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("Started.", entries[0].message);
  EXPECT_EQ("nimba_vezidozu_short_pause", entries[0].ident);
  EXPECT_EQ(run.process.pid, entries[0].pid);
}

/* An event loop that fails ends the daemon with status 1, not as if it had been stopped;
 * its shutdown still runs. */
TEST_F(DaemonTest, AFailingEventLoopEndsWithStatusOne) {
  daemon_launch launch;
  launch.env = {"NIMBA_TEST_POLL_FAILS=1"};
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(process_wait(&run.process, 10000));
  EXPECT_EQ(1, process_exit_code(&run.process));
  EXPECT_TRUE(syslog_wait(&run.log, "The event loop failed (errno=22).", 2000, 1, DAEMON_ERR));
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 2000, 1, DAEMON_NOTICE));
}

} // namespace
