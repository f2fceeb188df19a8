/* status.cgi as the web server runs it: the daemon's status file in, the whole response out
 * against golden files (the process id and the local dates, which change from run to run,
 * replaced by placeholders). */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>

#include "files.h"
#include "nimba_config.h"
#include "page_site.h"

namespace {

/* Placeholders in the file's text: the running process and times before now. */
constexpr const char PID_MARK[] = "@PID@";

/* "@AGO:n@" in a file becomes now - n seconds. */
std::string filled(const std::string &text, const std::string &pid, long long now) {
  std::string out = std::regex_replace(text, std::regex(PID_MARK), pid);
  std::smatch m;
  while (std::regex_search(out, m, std::regex("@AGO:([0-9]+)@")))
    out = m.prefix().str() + std::to_string(now - std::stoll(m[1].str())) + m.suffix().str();
  return out;
}

/* Both sides up, one earlier failure of the cloud; the ages sit well inside their unit, so
 * the texts do not change while the test runs. */
const char UP[] =
    "PID=@PID@\nSTARTED=@AGO:172900@\n"
    "CLOUD_STATE=up\nCLOUD_SINCE=@AGO:10900@\nCLOUD_URI=acme.messaging.nimba.example:1883\n"
    "CLOUD_FAILED_AT=@AGO:11000@\nCLOUD_FAILED_RC=5\n"
    "CLOUD_FAILED_TEXT=not authorised: check the organisation and the token\n"
    "GATEWAY_STATE=up\nGATEWAY_SINCE=@AGO:10890@\nGATEWAY_URI=127.0.0.1:1883\n"
    "GATEWAY_FAILED_AT=0\nGATEWAY_FAILED_RC=0\nGATEWAY_FAILED_TEXT=\n"
    "RECEIVED=1042\nPUBLISHED=1000\nNOT_JSON=3\nTOO_LARGE=2\nDROPPED=37\nWAITING=0\n"
    "LAST_RELAYED=@AGO:130@\n";

/* The cloud unreachable, the gateway never tried, nothing relayed. */
const char DOWN[] =
    "PID=@PID@\nSTARTED=@AGO:330@\n"
    "CLOUD_STATE=down\nCLOUD_SINCE=@AGO:70@\nCLOUD_URI=quickstart.messaging.nimba.example:1883\n"
    "CLOUD_FAILED_AT=@AGO:70@\nCLOUD_FAILED_RC=-1\n"
    "CLOUD_FAILED_TEXT=no connection (refused, unreachable, TLS or time-out)\n"
    "GATEWAY_STATE=down\nGATEWAY_SINCE=@AGO:330@\nGATEWAY_URI=127.0.0.1:1883\n"
    "GATEWAY_FAILED_AT=0\nGATEWAY_FAILED_RC=0\nGATEWAY_FAILED_TEXT=\n"
    "RECEIVED=0\nPUBLISHED=0\nNOT_JSON=0\nTOO_LARGE=0\nDROPPED=0\nWAITING=0\nLAST_RELAYED=0\n";

/* Cut short, garbled and hostile lines: what is readable is shown, the rest "unknown",
 * everything escaped; an over-long value is cut in its cell. */
const std::string DAMAGED =
    "PID=@PID@\nSTARTED=yesterday\n"
    "CLOUD_STATE=sideways\nCLOUD_SINCE=-5\n"
    "CLOUD_URI=<script>alert(\"uri\")</script>&x\n"
    "this line has no separator\n"
    "CLOUD_FAILED_AT=@AGO:400@\nCLOUD_FAILED_RC=5x\nCLOUD_FAILED_TEXT=\"quoted\" & <b>bold</b> \xff\n"
    "GATEWAY_STATE=connecting\nGATEWAY_URI=" +
    std::string(600, 'g') +
    "\n"
    "RECEIVED=18446744073709551616\nPUBLISHED=7\n\x01\x02=binary\nWAITING=\nLAST_RELAY";

/* Fixed times for the JSON form, which shows them as numbers. */
const char JSON_UP[] =
    "PID=@PID@\nSTARTED=1765000000\n"
    "CLOUD_STATE=up\nCLOUD_SINCE=1765000100\nCLOUD_URI=acme.messaging.nimba.example:1883\n"
    "CLOUD_FAILED_AT=1765000050\nCLOUD_FAILED_RC=5\n"
    "CLOUD_FAILED_TEXT=not authorised: check the organisation and the token\n"
    "GATEWAY_STATE=connecting\nGATEWAY_SINCE=1765000200\nGATEWAY_URI=127.0.0.1:1883\n"
    "GATEWAY_FAILED_AT=0\nGATEWAY_FAILED_RC=0\nGATEWAY_FAILED_TEXT=\n"
    "RECEIVED=12\nPUBLISHED=9\nNOT_JSON=1\nTOO_LARGE=1\nDROPPED=0\nWAITING=1\nLAST_RELAYED=1765000300\n";

/* UTF-8 text passes unchanged, a byte that is not UTF-8 becomes U+FFFD. */
const std::string JSON_DAMAGED =
    "PID=@PID@\nSTARTED=soon\nCLOUD_STATE=up\nCLOUD_URI=a\"b\\c\x01\xe9\n"
    "CLOUD_FAILED_AT=1765000050\nCLOUD_FAILED_TEXT=\tlate for acm\xc3\xa9 \xe2\x82\xac\n"
    "GATEWAY_STATE=??\nRECEIVED=-4\nPUBLISHED=9\n";

/* At least once: the cloud down for a while, documents spooled, drops of every reason. */
const char DELIVERY[] =
    "PID=@PID@\nSTARTED=@AGO:172900@\n"
    "CLOUD_STATE=down\nCLOUD_SINCE=@AGO:3700@\nCLOUD_URI=acme.messaging.nimba.example:1883\n"
    "CLOUD_FAILED_AT=@AGO:70@\nCLOUD_FAILED_RC=-1\n"
    "CLOUD_FAILED_TEXT=no connection (refused, unreachable, TLS or time-out)\n"
    "GATEWAY_STATE=up\nGATEWAY_SINCE=@AGO:10890@\nGATEWAY_URI=127.0.0.1:1883\n"
    "GATEWAY_FAILED_AT=0\nGATEWAY_FAILED_RC=0\nGATEWAY_FAILED_TEXT=\n"
    "RECEIVED=5200\nPUBLISHED=4000\nNOT_JSON=0\nTOO_LARGE=0\nDROPPED=24\nWAITING=1181\n"
    "LAST_RELAYED=@AGO:3700@\nQOS=1\nAWAITING_PUBACK=20\nRESENT=7\nGATEWAY_HELD_MS=83250\n"
    "DROPPED_QUEUE_FULL=0\nDROPPED_SPOOL_FULL=17\nDROPPED_REFUSED=2\nDROPPED_SPOOL_LOST=5\n"
    "SPOOL_DOCUMENTS=925\nSPOOL_BYTES=48133\nSPOOL_ERRNO=0\nOLDEST_WAITING=@AGO:3690@\n";

/* The spool folder unusable; damaged figures show as unknown. */
const std::string DELIVERY_DAMAGED =
    std::string(UP) +
    "QOS=1\nAWAITING_PUBACK=-3\nRESENT=many\nDROPPED_QUEUE_FULL=4\nDROPPED_SPOOL_FULL=\n"
    "SPOOL_DOCUMENTS=0\nSPOOL_ERRNO=13\nOLDEST_WAITING=0\n";

const char JSON_DELIVERY[] =
    "PID=@PID@\nSTARTED=1765000000\nRECEIVED=12\nPUBLISHED=9\nDROPPED=2\nWAITING=1\n"
    "LAST_RELAYED=1765000300\nQOS=1\nAWAITING_PUBACK=1\nRESENT=3\nGATEWAY_HELD_MS=40\n"
    "DROPPED_QUEUE_FULL=2\nDROPPED_SPOOL_FULL=0\nDROPPED_REFUSED=x\nDROPPED_SPOOL_LOST=0\n"
    "SPOOL_DOCUMENTS=0\nSPOOL_BYTES=0\nSPOOL_ERRNO=-1\n"
    "OLDEST_WAITING=1765000290\n";

/* A file far beyond what the page reads, whose last line the read cuts: a value cut
 * short must not be shown (the file says DROPPED=37 before). */
const std::string LARGE = std::string(UP) + "DROPPED=99999";
constexpr off_t LARGE_SIZE = 300LL * 1024 * 1024;

enum daemon_kind { FAKE_DAEMON, OTHER_PROGRAM, NO_PROCESS };

/* What stands at the status file's path: the file itself, or something planted there that
 * the page must neither follow, wait on nor read whole. */
enum status_plant { PLAIN_FILE, LINK_TO_FILE, LINK_TO_DEV_ZERO, FIFO, FOLDER, LARGE_FILE };

struct status_case {
  int line;
  const char *name;
  std::string file; /* the status file; empty: none */
  daemon_kind pid;  /* what @PID@ names */
  bool json;        /* status.cgi?format=json */
  const char *golden;
  status_plant plant = PLAIN_FILE;
};
void PrintTo(const status_case &c, std::ostream *os) { *os << c.name; }

const status_case STATUS_CASES[] = {
    {__LINE__, "BothSidesUp", UP, FAKE_DAEMON, false, "status_up.html"},
    {__LINE__, "CloudDown", DOWN, FAKE_DAEMON, false, "status_down.html"},
    {__LINE__, "NoFile", "", FAKE_DAEMON, false, "status_not_running.html"},
    {__LINE__, "PidOfAnotherProgram", UP, OTHER_PROGRAM, false, "status_not_running.html"},
    {__LINE__, "PidOfNoProcess", UP, NO_PROCESS, false, "status_not_running.html"},
    {__LINE__, "DamagedFile", DAMAGED, FAKE_DAEMON, false, "status_damaged.html"},
    {__LINE__, "Json", JSON_UP, FAKE_DAEMON, true, "status_up.json"},
    {__LINE__, "JsonDamaged", JSON_DAMAGED, FAKE_DAEMON, true, "status_damaged.json"},
    {__LINE__, "AtLeastOnce", DELIVERY, FAKE_DAEMON, false, "status_delivery.html"},
    {__LINE__, "AtLeastOnceDamaged", DELIVERY_DAMAGED, FAKE_DAEMON, false, "status_delivery_damaged.html"},
    {__LINE__, "JsonAtLeastOnce", JSON_DELIVERY, FAKE_DAEMON, true, "status_delivery.json"},
    {__LINE__, "JsonNotRunning", JSON_UP, OTHER_PROGRAM, true, "status_not_running.json"},
    {__LINE__, "LinkIsNotFollowed", UP, FAKE_DAEMON, false, "status_not_running.html", LINK_TO_FILE},
    {__LINE__, "LinkToDevZero", "", FAKE_DAEMON, false, "status_not_running.html", LINK_TO_DEV_ZERO},
    {__LINE__, "Fifo", "", FAKE_DAEMON, false, "status_not_running.html", FIFO},
    {__LINE__, "Folder", "", FAKE_DAEMON, false, "status_not_running.html", FOLDER},
    {__LINE__, "LargeFile", LARGE, FAKE_DAEMON, false, "status_up.html", LARGE_FILE},
};

class StatusPage : public ::testing::TestWithParam<status_case> {
protected:
  void SetUp() override {
    for (const char *name : {"REQUEST_METHOD", "CONTENT_TYPE", "CONTENT_LENGTH", "QUERY_STRING"})
      unsetenv(name);
    ASSERT_TRUE(site_create(&site));
    site_set_init(site, INIT_OK);
    /* A stand-in for the daemon: a program run under the daemon's name, as the init script
     * starts it (sleep, through a link called nimba_vezidozu). */
    const std::string link = site_path(site, "bin/nimba_vezidozu");
    ASSERT_EQ(0, symlink("/bin/sleep", link.c_str()));
    spawn_request setup;
    setup.argv = {link, "120"};
    ASSERT_TRUE(process_spawn(setup, &fake_daemon));
    /* The page looks at the process's command line: wait until it has started the program. */
    const std::string cmdline = "/proc/" + std::to_string(fake_daemon.pid) + "/cmdline";
    ASSERT_TRUE(wait_until([&] { return read_file(cmdline).rfind(link, 0) == 0; }, 10000));
  }
  void TearDown() override {
    process_cleanup(&fake_daemon);
    site_destroy(&site);
  }

  std::string status_path() const {
    const std::string fixed = NIMBA_STATUS_PATH;
    return site_path(site, "var_run" + fixed.substr(fixed.rfind('/')));
  }

  page_site site;
  child_process fake_daemon;
};

/* The run's process id and local dates in the response become placeholders. */
std::string normalised(std::string response, const std::string &pid) {
  response = std::regex_replace(response, std::regex(">" + pid + "<"), ">" + std::string(PID_MARK) + "<");
  response = std::regex_replace(
      response, std::regex("\"pid\":" + pid + ","), "\"pid\":" + std::string(PID_MARK) + ",");
  return std::regex_replace(
      response, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"), "YYYY-MM-DD hh:mm:ss");
}

TEST_P(StatusPage, WholeResponse) {
  const status_case &c = GetParam();
  SCOPED_TRACE(c.line);
  std::string pid = std::to_string(fake_daemon.pid);
  if (c.pid == OTHER_PROGRAM) pid = std::to_string(getpid());
  if (c.pid == NO_PROCESS) {
    /* A process that has ended: its id names no process now. */
    child_process ended;
    spawn_request setup;
    setup.argv = {"/bin/true"};
    ASSERT_TRUE(process_spawn(setup, &ended));
    ASSERT_TRUE(process_wait(&ended, 10000));
    pid = std::to_string(ended.pid);
    process_cleanup(&ended);
  }
  const std::string path = status_path();
  const std::string content = filled(c.file, pid, std::time(nullptr));
  switch (c.plant) {
    case PLAIN_FILE:
      if (!c.file.empty()) {
        ASSERT_TRUE(write_file(path, content));
      }
      break;
    case LINK_TO_FILE: /* beside it, by a relative name the page resolves in its sandbox */
      ASSERT_TRUE(write_file(path + ".real", content));
      ASSERT_EQ(0, symlink((path.substr(path.rfind('/') + 1) + ".real").c_str(), path.c_str()));
      break;
    case LINK_TO_DEV_ZERO:
      ASSERT_EQ(0, symlink("/dev/zero", path.c_str()));
      break;
    case FIFO:
      ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
      break;
    case FOLDER:
      ASSERT_EQ(0, mkdir(path.c_str(), 0755));
      break;
    case LARGE_FILE: /* sparse: it costs no disk */
      ASSERT_TRUE(write_file(path, content));
      ASSERT_EQ(0, truncate(path.c_str(), LARGE_SIZE));
      break;
  }
  cgi_request_setup request;
  request.method = "GET";
  if (c.json) request.query = "format=json";
  page_response response;
  ASSERT_TRUE(site_run(&site, "www/status.cgi", request, &response));
  EXPECT_EQ(0, response.exit_code);
  EXPECT_EQ("", response.err);
  EXPECT_TRUE(response.log.empty());
  EXPECT_EQ(golden_compare(c.golden, normalised(response.out, pid)), "");
  EXPECT_LT(response.max_rss_kb, 64 * 1024) << "the page reads a bounded part of the file";
}

INSTANTIATE_TEST_SUITE_P(Pages, StatusPage, ::testing::ValuesIn(STATUS_CASES),
                         [](const ::testing::TestParamInfo<status_case> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
