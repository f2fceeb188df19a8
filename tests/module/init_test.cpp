/* The init script as the device runs it: start, status, restart, stop with the real daemon,
 * and the set page restarting that daemon with new settings. */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>

#include "broker.h"
#include "nimba_config.h"
#include "process.h"

namespace {

const std::string kRoot = "/opt/nimba_message_router";

struct init_result {
  int code;
  std::string output;
};

/* Brokers of their own for each test, so that tests running side by side never meet. */
std::string test_address(unsigned host) {
  static const char *const tests[] = {"StartStatusStopWithTheRealDaemon",
                                      "SameCycleUnderBusyboxAsh",
                                      "RestartRunsANewDaemonWithTheNewSettings",
                                      "ReportsADaemonThatCannotStart",
                                      "SetPageRestartsTheRunningDaemonWithTheNewSettings"};
  const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
  unsigned index = 0;
  while (index < std::size(tests) && name != tests[index]) ++index;
  return "127.77." + std::to_string(60 + index) + "." + std::to_string(host);
}

class InitScript : public testing::Test {
 protected:
  void SetUp() override {
    gateway_address = test_address(1);
    cloud_address = test_address(2);
    root = make_temp_folder("nimba_module_");
    ASSERT_FALSE(root.empty());
    for (const char *dir : {"/bin", "/etc", "/www", "/run"})
      ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
    ASSERT_EQ(symlink(NIMBA_DAEMON_BINARY, (root + "/bin/nimba_vezidozu").c_str()), 0);
    ASSERT_EQ(symlink(NIMBA_CGI_BINARY, (root + "/www/set.cgi").c_str()), 0);
    ASSERT_TRUE(write_file(root + "/etc/init", read_file(NIMBA_ETC_SOURCE "/init")));
    chmod((root + "/etc/init").c_str(), 0755);
    ASSERT_TRUE(write_file(root + "/etc/defaults", read_file(NIMBA_ETC_SOURCE "/defaults")));
    ASSERT_TRUE(write_file(root + "/etc/device", "DEVID=InitDev\nDEVIP=" + gateway_address +
                                                     "\nLOGFILE=" + kRoot +
                                                     "/run/daemon.log\nSTOP_TIMEOUT=15\n"));
    hosts = root + "/hosts";
    ASSERT_TRUE(write_file(hosts, "127.0.0.1 localhost\n" + cloud_address + " " +
                                      NIMBA_QUICKSTART_HOST + "\n" + cloud_address + " acme." +
                                      NIMBA_REGISTERED_DOMAIN + "\n"));
    broker_config gateway_setup, cloud_setup;
    gateway_setup.address = gateway_address;
    cloud_setup.address = cloud_address;
    ASSERT_TRUE(broker_start(&gateway, gateway_setup));
    ASSERT_TRUE(broker_start(&cloud, cloud_setup));
  }

  void TearDown() override {
    const pid_t pid = daemon_pid();
    if (pid > 0) kill(pid, SIGKILL);
    broker_remove(&gateway);
    broker_remove(&cloud);
    remove_tree(root);
  }

  spawn_request sandboxed(std::vector<std::string> argv) const {
    spawn_request setup;
    setup.argv = std::move(argv);
    setup.sandboxed = true;
    setup.sandbox.install_root = root;
    setup.sandbox.hosts_file = hosts;
    return setup;
  }

  init_result run(const spawn_request &setup, int timeout_ms = 60000) {
    child_process child;
    init_result result{-1, ""};
    if (!process_spawn(setup, &child)) return result;
    if (process_wait(&child, timeout_ms)) result.code = process_exit_code(&child);
    result.output = process_stdout(&child) + process_stderr(&child);
    process_cleanup(&child);
    return result;
  }

  /* The script as the device runs it: through its "#!/bin/sh" line, or under busybox ash,
   * the small shell of such devices. */
  init_result init(const std::string &action) {
    if (shell.empty()) return run(sandboxed({kRoot + "/etc/init", action}));
    return run(sandboxed({shell, "ash", kRoot + "/etc/init", action}));
  }

  pid_t daemon_pid() const {
    const std::string text = read_file(root + "/run/nimba_vezidozu.pid");
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
  }
  /* Running, not a zombie waiting for this process (a subreaper) to reap it. */
  static bool alive(pid_t pid) {
    if (pid <= 0) return false;
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
  }

  /* Waits until the daemon's log holds the text count times. */
  bool log_shows(const std::string &text, unsigned count = 1, int timeout_ms = 20000) {
    const long long end = monotonic_ms() + timeout_ms;
    do {
      if (count_occurrences(read_file(root + "/run/daemon.log"), text) >= count) return true;
      usleep(100 * 1000);
    } while (monotonic_ms() < end);
    return false;
  }

  /* start, status, a second start, stop, and stop again. */
  void start_status_stop();

  std::string root, hosts;
  std::string shell; /* empty: the script's own interpreter */
  std::string gateway_address, cloud_address;
  test_broker gateway, cloud;
};

TEST_F(InitScript, StartStatusStopWithTheRealDaemon) { start_status_stop(); }

TEST_F(InitScript, SameCycleUnderBusyboxAsh) {
  shell = "/bin/busybox";
  start_status_stop();
}

void InitScript::start_status_stop() {
  EXPECT_EQ(init("status").code, 3);
  const init_result started = init("start");
  ASSERT_EQ(started.code, 0) << started.output;
  const pid_t pid = daemon_pid();
  ASSERT_TRUE(alive(pid));
  EXPECT_TRUE(log_shows("DEVID = 'initdev'"));
  EXPECT_TRUE(log_shows("Connected to IoT Gateway."));
  /* The settings file is made private from the defaults on the first start. */
  struct stat st {};
  ASSERT_EQ(stat((root + "/etc/settings").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);

  const init_result again = init("start");
  EXPECT_EQ(again.code, 0);
  EXPECT_EQ(daemon_pid(), pid) << "a second start must not start a second daemon";
  EXPECT_EQ(init("status").code, 0);

  const init_result stopped = init("stop");
  EXPECT_EQ(stopped.code, 0) << stopped.output;
  EXPECT_FALSE(alive(pid));
  EXPECT_EQ(access((root + "/run/nimba_vezidozu.pid").c_str(), F_OK), -1);
  EXPECT_TRUE(log_shows("Stopped."));
  EXPECT_EQ(init("status").code, 3);
  EXPECT_EQ(init("stop").code, 0) << "stopping a stopped module is not an error";
}

TEST_F(InitScript, RestartRunsANewDaemonWithTheNewSettings) {
  ASSERT_EQ(init("start").code, 0);
  const pid_t first = daemon_pid();
  ASSERT_TRUE(log_shows("NIMBA_ORGID = ''"));
  ASSERT_TRUE(write_file(root + "/etc/settings", "NIMBA_MODE=0\nNIMBA_ORGID=changed\n"));
  const init_result restarted = init("restart");
  ASSERT_EQ(restarted.code, 0) << restarted.output;
  const pid_t second = daemon_pid();
  EXPECT_NE(second, first);
  EXPECT_FALSE(alive(first));
  EXPECT_TRUE(alive(second));
  EXPECT_TRUE(log_shows("NIMBA_ORGID = 'changed'"));
}

TEST_F(InitScript, ReportsADaemonThatCannotStart) {
  /* A stale pid file of a crashed daemon and a daemon that ends at once. */
  ASSERT_TRUE(write_file(root + "/run/nimba_vezidozu.pid", "999999\n"));
  EXPECT_EQ(init("status").code, 1);
  unlink((root + "/bin/nimba_vezidozu").c_str());
  ASSERT_TRUE(write_file(root + "/bin/nimba_vezidozu", "#!/bin/sh\nexit 1\n"));
  chmod((root + "/bin/nimba_vezidozu").c_str(), 0755);
  EXPECT_NE(init("restart").code, 0);
  EXPECT_EQ(access((root + "/run/nimba_vezidozu.pid").c_str(), F_OK), -1);
  unlink((root + "/bin/nimba_vezidozu").c_str());
  EXPECT_EQ(init("start").code, 5) << "a missing daemon is 'not installed'";
  EXPECT_EQ(init("bogus").code, 2);
}

TEST_F(InitScript, SetPageRestartsTheRunningDaemonWithTheNewSettings) {
  ASSERT_EQ(init("start").code, 0);
  const pid_t first = daemon_pid();
  ASSERT_TRUE(log_shows("NIMBA URL:    '" + std::string(NIMBA_QUICKSTART_HOST) + ":1883'"));
  ASSERT_TRUE(log_shows("Connected to IoT Gateway."));

  const std::string body =
      "NIMBA_MODE=1&NIMBA_ORGID=acme&NIMBA_DTYPEID=gateway&NIMBA_AUTHTOKEN=s3cret&button=Apply";
  spawn_request post = sandboxed({root + "/www/set.cgi"});
  post.env = {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
              "CONTENT_LENGTH=" + std::to_string(body.size())};
  post.feed_stdin = true;
  post.stdin_data = body;
  const init_result page = run(post);
  ASSERT_EQ(page.code, 0);
  EXPECT_NE(page.output.find("Configuration successfully updated."), std::string::npos)
      << page.output;

  EXPECT_NE(daemon_pid(), first);
  EXPECT_FALSE(alive(first));
  EXPECT_TRUE(log_shows("NIMBA_MODE = 'registered'"));
  EXPECT_TRUE(log_shows("NIMBA URL:    'acme." + std::string(NIMBA_REGISTERED_DOMAIN) + ":1883'"));
  EXPECT_TRUE(log_shows("NIMBA Client: 'd:acme:gateway:initdev'"));
  EXPECT_TRUE(log_shows("Connected to NIMBA in registered mode."));
}

}  // namespace
