/* The init script as the device runs it: start, status, restart, stop with the real daemon,
 * and the set page restarting that daemon with new settings. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "broker.h"
#include "cloud_tap.h"
#include "numbered_flow.h"
#include "loopback.h"
#include "nimba_config.h"
#include "process.h"

namespace {

const std::string kRoot = "/opt/nimba_message_router";

struct init_result {
  int code;
  std::string output;
};

/* Running, not a zombie waiting for this process (a subreaper) to reap it. */
bool InitScriptAlive(pid_t pid) {
  if (pid <= 0) return false;
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

class InitScript : public testing::Test {
protected:
  void SetUp() override {
    gateway_address = test_address(1);
    cloud_address = test_address(2);
    root = make_temp_folder("nimba_module_");
    ASSERT_FALSE(root.empty());
    for (const char *dir : {"/bin", "/etc", "/www", "/run", "/var_run"})
      ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
    ASSERT_EQ(symlink(NIMBA_DAEMON_BINARY, (root + "/bin/nimba_vezidozu").c_str()), 0);
    ASSERT_EQ(symlink(NIMBA_CGI_BINARY, (root + "/www/set.cgi").c_str()), 0);
    ASSERT_TRUE(write_file(root + "/etc/init", read_file(NIMBA_ETC_SOURCE "/init")));
    chmod((root + "/etc/init").c_str(), 0755);
    ASSERT_TRUE(write_file(root + "/etc/defaults", read_file(NIMBA_ETC_SOURCE "/defaults")));
    ASSERT_TRUE(write_file(root + "/etc/device",
                           "DEVID=InitDev\nDEVIP=" + gateway_address + "\nLOGFILE=" + kRoot +
                               "/run/daemon.log\nSTOP_TIMEOUT=15\n"));
    hosts = root + "/hosts";
    ASSERT_TRUE(write_file(hosts,
                           "127.0.0.1 localhost\n" + cloud_address + " " + NIMBA_QUICKSTART_HOST + "\n" +
                               cloud_address + " acme." + NIMBA_REGISTERED_DOMAIN + "\n"));
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
    setup.sandbox.status_folder = root + "/var_run";
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
  static bool alive(pid_t pid) { return InitScriptAlive(pid); }

  /* The daemon's status file, as the sandbox keeps it. */
  std::string status_file() const {
    const std::string path = NIMBA_STATUS_PATH;
    return read_file(root + "/var_run" + path.substr(path.rfind('/')));
  }

  /* Waits until the daemon's log holds the text count times. */
  bool log_shows(const std::string &text, unsigned count = 1, int timeout_ms = 20000) {
    return wait_until([&] { return count_occurrences(read_file(root + "/run/daemon.log"), text) >= count; },
                      timeout_ms);
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
  /* The daemon started by the script keeps its status file for the status page. */
  wait_until([&] { return status_file().find("GATEWAY_STATE=up\n") != std::string::npos; }, 10000);
  EXPECT_NE(status_file().find("GATEWAY_STATE=up\n"), std::string::npos) << status_file();
  EXPECT_EQ(status_file().find("PID=" + std::to_string(pid) + "\n"), 0u) << status_file();
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
  EXPECT_EQ(status_file(), "") << "a clean stop removes the status file";
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
  post.env = {"REQUEST_METHOD=POST",
              "CONTENT_TYPE=application/x-www-form-urlencoded",
              "CONTENT_LENGTH=" + std::to_string(body.size())};
  post.feed_stdin = true;
  post.stdin_data = body;
  const init_result page = run(post);
  ASSERT_EQ(page.code, 0);
  EXPECT_NE(page.output.find("Configuration successfully updated."), std::string::npos) << page.output;

  EXPECT_NE(daemon_pid(), first);
  EXPECT_FALSE(alive(first));
  EXPECT_TRUE(log_shows("NIMBA_MODE = 'registered'"));
  EXPECT_TRUE(log_shows("NIMBA URL:    'acme." + std::string(NIMBA_REGISTERED_DOMAIN) + ":1883'"));
  EXPECT_TRUE(log_shows("NIMBA Client: 'd:acme:gateway:initdev'"));
  EXPECT_TRUE(log_shows("Connected to NIMBA in registered mode."));
}

/* The daemons of this test: processes of the daemon whose command line ends with this
 * test's gateway address and whose install root is this test's folder (another run of the
 * suite on the same machine uses the same addresses). */
std::vector<pid_t> daemons_with(const std::string &address, const std::string &root) {
  const std::string folder = root.substr(root.rfind('/') + 1);
  std::vector<pid_t> found;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent *entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid <= 0) continue;
    const std::string cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    const std::string tail = std::string(1, '\0') + address + std::string(1, '\0');
    if (cmdline.compare(0, kRoot.size() + 19, kRoot + "/bin/nimba_vezidozu") == 0 &&
        cmdline.size() > tail.size() &&
        cmdline.compare(cmdline.size() - tail.size(), tail.size(), tail) == 0 && InitScriptAlive(pid) &&
        read_file("/proc/" + std::to_string(pid) + "/mountinfo").find(folder + " " + kRoot + " ") !=
            std::string::npos)
      found.push_back(pid);
  }
  closedir(proc);
  return found;
}

struct concurrency_case {
  const char *name;
  const char *shell; /* empty: the script's own interpreter */
  bool without_flock;
};

/* Three restarts at once (a double click on "Restart module" and a set page): one lock makes
 * them take turns, and one daemon is left, the one the pid file names. Under dash and ash,
 * with flock and with the link lock used where flock is missing. */
TEST_F(InitScript, ConcurrentRestartsLeaveOneDaemon) {
  const concurrency_case cases[] = {
      {"sh", "", false}, {"ash", "/bin/busybox ash", false}, {"ash without flock", "/bin/busybox ash", true}};
  /* A PATH of busybox tools only: no flock there. */
  const std::string tools = root + "/tools";
  ASSERT_EQ(mkdir(tools.c_str(), 0755), 0);
  for (const char *tool : {"tr",
                           "head",
                           "readlink",
                           "env",
                           "setsid",
                           "sleep",
                           "ln",
                           "mkdir",
                           "rm",
                           "cat",
                           "kill",
                           "dirname",
                           "cp",
                           "pwd"})
    ASSERT_EQ(symlink("/bin/busybox", (tools + "/" + tool).c_str()), 0);
  for (const concurrency_case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string init_command = std::string(c.shell) + (*c.shell ? " " : "") + kRoot + "/etc/init";
    spawn_request three =
        sandboxed({"/bin/sh", "-c", "for i in 1 2 3; do " + init_command + " restart & done; wait"});
    if (c.without_flock) three.env = {"PATH=" + kRoot + "/tools"};
    const init_result r = run(three, 120000);
    EXPECT_EQ(r.code, 0) << r.output;
    const std::vector<pid_t> running = daemons_with(gateway_address, root);
    ASSERT_EQ(1u, running.size()) << r.output;
    EXPECT_EQ(running[0], daemon_pid());
    struct stat lock_link {};
    if (c.without_flock) {
      EXPECT_EQ(lstat((root + "/run/init.lock.pid").c_str(), &lock_link), -1) << "lock left";
    }
    EXPECT_EQ(init("stop").code, 0);
    EXPECT_TRUE(daemons_with(gateway_address, root).empty());
    if (!c.without_flock) continue;
    /* A holder that was killed leaves its lock naming a process that is gone: a start takes
     * it over. */
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    ASSERT_EQ(symlink(std::to_string(gone).c_str(), (root + "/run/init.lock.pid").c_str()), 0);
    spawn_request start = sandboxed({"/bin/busybox", "ash", kRoot + "/etc/init", "start"});
    start.env = {"PATH=" + kRoot + "/tools"};
    const init_result taken = run(start, 60000);
    EXPECT_EQ(taken.code, 0) << taken.output;
    EXPECT_EQ(1u, daemons_with(gateway_address, root).size());
    EXPECT_EQ(init("stop").code, 0);
  }
}

/* On a loaded system the child may take longer than a second to become the daemon: the start
 * waits for it rather than report a failure and leave a daemon without a pid file. */
TEST_F(InitScript, StartWaitsForAChildSlowToBecomeTheDaemon) {
  const std::string tools = root + "/slow";
  ASSERT_EQ(mkdir(tools.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(tools + "/env", "#!/bin/sh\nsleep 3\nexec /usr/bin/env \"$@\"\n"));
  chmod((tools + "/env").c_str(), 0755);
  spawn_request start = sandboxed({kRoot + "/etc/init", "start"});
  start.env = {"PATH=" + kRoot + "/slow:/usr/sbin:/usr/bin:/sbin:/bin"};
  const init_result r = run(start, 60000);
  EXPECT_EQ(r.code, 0) << r.output;
  const std::vector<pid_t> running = daemons_with(gateway_address, root);
  ASSERT_EQ(1u, running.size()) << r.output;
  EXPECT_EQ(running[0], daemon_pid());
  EXPECT_EQ(init("stop").code, 0);
}

/* Started through a link elsewhere (as /etc/init.d/S99... on a device), the script still
 * finds its install root. */
TEST_F(InitScript, StartedThroughALinkFindsItsInstallRoot) {
  ASSERT_EQ(mkdir((root + "/initd").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/initd/rc.d").c_str(), 0755), 0);
  ASSERT_EQ(symlink((kRoot + "/etc/init").c_str(), (root + "/initd/rc.d/S99nimba").c_str()), 0);
  const std::string link = kRoot + "/initd/rc.d/S99nimba";
  for (const char *shell : {"", "/bin/busybox"}) {
    SCOPED_TRACE(*shell ? "ash" : "sh");
    const std::vector<std::string> prefix =
        *shell ? std::vector<std::string>{shell, "ash"} : std::vector<std::string>{};
    auto via_link = [&](const std::string &action) {
      std::vector<std::string> argv = prefix;
      argv.push_back(link);
      argv.push_back(action);
      return run(sandboxed(argv));
    };
    const init_result started = via_link("start");
    ASSERT_EQ(started.code, 0) << started.output;
    EXPECT_EQ(via_link("status").code, 0);
    EXPECT_TRUE(alive(daemon_pid()));
    EXPECT_EQ(via_link("stop").code, 0);
    EXPECT_EQ(via_link("status").code, 3);
  }
}

/* etc/device written on another system: CR LF line ends and no line feed after the last line. */
TEST_F(InitScript, DeviceFileWithCrLfAndNoLastLineFeed) {
  ASSERT_TRUE(write_file(
      root + "/etc/device",
      "DEVID=CrDev\r\nLOGFILE=" + kRoot + "/run/daemon.log\r\nSTOP_TIMEOUT=15\r\nDEVIP=" + gateway_address));
  for (const char *shell : {"", "/bin/busybox"}) {
    SCOPED_TRACE(*shell ? "ash" : "sh");
    this->shell = shell;
    const init_result started = init("start");
    ASSERT_EQ(started.code, 0) << started.output;
    const std::string cmdline = read_file("/proc/" + std::to_string(daemon_pid()) + "/cmdline");
    EXPECT_EQ(kRoot + "/bin/nimba_vezidozu" + std::string(1, '\0') + "CrDev" + std::string(1, '\0') +
                  gateway_address + std::string(1, '\0'),
              cmdline);
    EXPECT_EQ(init("stop").code, 0);
  }
}

/* The daemon leaves the caller's session (the web server's CGI group when set.cgi restarts
 * it), takes none of its environment, and its output file (settings print-out, token
 * included) is readable by its owner only. */
TEST_F(InitScript, DaemonRunsDetachedWithACleanEnvironmentAndAPrivateLog) {
  spawn_request start = sandboxed({kRoot + "/etc/init", "start"});
  start.env = {"HTTP_COOKIE=session=secret", "QUERY_STRING=x=1"};
  const init_result started = run(start);
  ASSERT_EQ(started.code, 0) << started.output;
  const pid_t pid = daemon_pid();
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  ASSERT_NE(close, std::string::npos);
  long fields[4] = {};
  char state = 0;
  ASSERT_EQ(5,
            std::sscanf(stat.c_str() + close + 2,
                        "%c %ld %ld %ld %ld",
                        &state,
                        &fields[0],
                        &fields[1],
                        &fields[2],
                        &fields[3]));
  EXPECT_EQ(pid, fields[2]) << "not the leader of a session of its own";
  const std::string environment = read_file("/proc/" + std::to_string(pid) + "/environ");
  EXPECT_EQ(std::string::npos, environment.find("HTTP_COOKIE")) << environment;
  EXPECT_EQ(std::string::npos, environment.find("QUERY_STRING")) << environment;
  EXPECT_NE(std::string::npos, environment.find("PATH=")) << environment;
  struct stat st {};
  ASSERT_EQ(::stat((root + "/run/daemon.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(init("stop").code, 0);
}

/* A daemon that runs without a pid file (the file was lost) is not joined by a second one. */
TEST_F(InitScript, StartRefusesWhenADaemonRunsWithoutAPidFile) {
  const std::string script = kRoot + "/etc/init start; rm " + kRoot + "/run/nimba_vezidozu.pid; " + kRoot +
                             "/etc/init start; echo \"second start: $?\"";
  const init_result r = run(sandboxed({"/bin/sh", "-c", script}));
  EXPECT_NE(std::string::npos, r.output.find("without a pid file")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("second start: 1")) << r.output;
  const std::vector<pid_t> running = daemons_with(gateway_address, root);
  EXPECT_EQ(1u, running.size());
  for (pid_t pid : running) kill(pid, SIGTERM);
}

/* At least once (NIMBA_QOS=1), ten restarts through the init script while a numbered flow
 * runs: each stop hands what is unacknowledged to the spool and each start sends it first,
 * so every document that reached a daemon (echoed in its output) is acknowledged by the
 * cloud, which sits behind a tap that records its acknowledgements. Published at QoS 1, the
 * gateway broker holds what comes while no daemon runs: then no number at all is missing. */
class InitScriptFlow : public InitScript, public testing::WithParamInterface<int> {};

TEST_P(InitScriptFlow, RestartsUnderAFlowLoseNothingThatReachedTheDaemon) {
  const int publisher_qos = GetParam();
  /* The gateway broker holds QoS 1 messages for the relay up to its own limit (mosquitto's
   * 1 000 is two seconds of this flow, which a restart on a loaded machine can take): what
   * is tested is that the relay loses nothing the broker held, so the limit is raised. */
  broker_remove(&gateway);
  broker_config gateway_setup;
  gateway_setup.address = gateway_address;
  gateway_setup.extra_config = "max_queued_messages 100000\n";
  ASSERT_TRUE(broker_start(&gateway, gateway_setup));
  broker_remove(&cloud);
  test_broker real_cloud;
  broker_config cloud_setup;
  cloud_setup.address = test_address(3);
  ASSERT_TRUE(broker_start(&real_cloud, cloud_setup));
  cloud_tap tap;
  ASSERT_TRUE(tap_start(&tap, cloud_address, 1883, test_address(3), 1883));
  ASSERT_TRUE(write_file(root + "/etc/settings", "NIMBA_QOS=1\n"));
  ASSERT_EQ(init("start").code, 0);
  ASSERT_TRUE(log_shows("Connected to IoT Gateway."));
  message_flow flow;
  constexpr long kMessages = 5000;
  flow.start(broker_uri(&gateway), "QZ/node1/flow", 2000, kMessages, "", publisher_qos);
  for (int restart = 1; restart <= 10; restart++) {
    ASSERT_TRUE(wait_until([&] { return flow.published >= restart * 400; }, 60000));
    const init_result r = init("restart");
    const std::string log = read_file(root + "/run/daemon.log");
    ASSERT_EQ(r.code, 0) << r.output << "the daemons' output ends:\n"
                         << log.substr(log.size() - std::min<size_t>(log.size(), 2000));
  }
  ASSERT_TRUE(wait_until([&] { return flow.published == kMessages; }, 60000));
  flow.stop();
  /* What a daemon received it echoed; a clean stop flushes its output. */
  auto received = [&] {
    std::vector<long> numbers;
    const std::string log = read_file(root + "/run/daemon.log");
    const std::string key = "'{\"d\":{\"node1/flow/n\":";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
      numbers.push_back(std::strtol(log.c_str() + at + key.size(), nullptr, 10));
    return numbers;
  };
  /* Every number published when the broker held them for the daemon. */
  auto expected = [&] {
    if (publisher_qos == 0) return received();
    std::vector<long> numbers;
    for (long n = 0; n < kMessages; n++) numbers.push_back(n);
    return numbers;
  };
  auto acknowledged = [&] {
    std::vector<bool> seen(kMessages, false);
    for (const std::string &payload : tap_acked(&tap)) {
      const long n = flow_number(payload, "node1/flow/");
      if (n >= 0 && n < kMessages) seen[static_cast<size_t>(n)] = true;
    }
    return seen;
  };
  ASSERT_EQ(init("stop").code, 0);
  ASSERT_EQ(init("start").code, 0);
  std::vector<long> missing;
  ASSERT_TRUE(wait_until(
      [&] {
        const std::vector<bool> seen = acknowledged();
        missing.clear();
        for (long n : expected())
          if (!seen[static_cast<size_t>(n)]) missing.push_back(n);
        return missing.empty();
      },
      60000))
      << missing.size() << " expected and never acknowledged, the first " << missing.front()
      << "; the gateway broker's drops for the relay: "
      << count_occurrences(process_stderr(&gateway.process), "Outgoing messages are being dropped");
  std::fprintf(stderr,
               "restarted 10 times, publishers at QoS %d: %zu received, none lost; %zu publishes sent\n",
               publisher_qos,
               received().size(),
               tap_sent(&tap).size());
  /* At QoS 0 messages published while no daemon ran never reached one: the gateway drops
   * them. */
  EXPECT_GT(received().size(), 500u);
  tap_stop(&tap);
  broker_remove(&real_cloud);
}

INSTANTIATE_TEST_SUITE_P(Publishers, InitScriptFlow, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &info) {
                           return "QoS" + std::to_string(info.param);
                         });

} // namespace
