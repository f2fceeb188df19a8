/* Sandboxed runs of the short-pause daemon. */
#include "daemon_harness.h"

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "nimba_config.h"
#include "wait.h"

std::string quickstart_host() { return NIMBA_QUICKSTART_HOST; }
std::string registered_host(const std::string &orgid) { return orgid + "." + NIMBA_REGISTERED_DOMAIN; }

int daemon_start(daemon_run *run, const daemon_launch &launch) {
  run->root = make_temp_folder("nimba_root_");
  if (run->root.empty() || mkdir((run->root + "/etc").c_str(), 0755) != 0 ||
      mkdir((run->root + "/run").c_str(), 0755) != 0)
    return 0;
  run->status_path = run->root + "/run/nimba_vezidozu.status";
  const std::string settings = run->root + "/etc/settings";
  if (launch.settings_fifo ? mkfifo(settings.c_str(), 0600) != 0 : !write_file(settings, launch.settings))
    return 0;
  run->hosts_path = run->root + "/hosts";
  std::string hosts = "127.0.0.1 localhost\n";
  if (!launch.cloud.empty())
    hosts += launch.cloud + " " + (launch.cloud_host.empty() ? quickstart_host() : launch.cloud_host) + "\n";
  for (const auto &entry : launch.hosts) hosts += entry.first + " " + entry.second + "\n";
  if (!write_file(run->hosts_path, hosts)) return 0;
  if (!launch.resolv_conf.empty()) {
    run->resolv_path = run->root + "/resolv.conf";
    if (!write_file(run->resolv_path, launch.resolv_conf)) return 0;
  }
  if (!syslog_start(&run->log)) return 0;
  return daemon_spawn(run, launch);
}

int daemon_start_again(daemon_run *run, const daemon_launch &launch) {
  if (run->root.empty()) return 0;
  if (run->process.pid > 0 && !run->process.exited) process_kill(&run->process);
  run->earlier_output += process_stdout(&run->process);
  process_cleanup(&run->process);
  run->process = child_process();
  return daemon_spawn(run, launch);
}

int daemon_spawn(daemon_run *run, const daemon_launch &launch) {
  spawn_request setup;
  /* An emulator (for a daemon built for another processor) goes in front of it. */
  setup.argv.clear();
  std::istringstream emulator(NIMBA_DAEMON_TEST_EMULATOR);
  for (std::string word; emulator >> word;) setup.argv.push_back(word);
  setup.argv.push_back(NIMBA_DAEMON_TEST_BINARY);
  if (!launch.args.empty()) {
    setup.argv.insert(setup.argv.end(), launch.args.begin(), launch.args.end());
  } else if (!launch.gateway.empty()) {
    setup.argv.push_back(launch.device);
    setup.argv.push_back(launch.gateway);
  }
  const std::pair<const char *, unsigned> timings[] = {
      {"NIMBA_TEST_PAUSE=", launch.pause},
      {"NIMBA_TEST_KEEP_ALIVE=", launch.keep_alive},
      {"NIMBA_TEST_CONNECT_TIMEOUT=", launch.connect_timeout},
      {"NIMBA_TEST_STALL=", launch.stall}};
  for (const auto &timing : timings)
    if (timing.second > 0) setup.env.push_back(timing.first + std::to_string(timing.second));
  if (!launch.ca_path.empty()) setup.env.push_back("NIMBA_TEST_CA_PATH=" + launch.ca_path);
  setup.env.insert(setup.env.end(), launch.env.begin(), launch.env.end());
  bool status_given = false;
  for (const std::string &entry : launch.env) status_given |= entry.rfind("NIMBA_TEST_STATUS_PATH=", 0) == 0;
  /* The path as the daemon sees it: the sandbox binds the root at the install root. */
  if (!status_given)
    setup.env.push_back("NIMBA_TEST_STATUS_PATH=/opt/nimba_message_router/run/nimba_vezidozu.status");
  setup.sandboxed = true;
  setup.sandbox.install_root = run->root;
  setup.sandbox.dev_log_socket = run->log.socket_path;
  setup.sandbox.hosts_file = run->hosts_path;
  setup.sandbox.resolv_conf = run->resolv_path;
  setup.sandbox.spool_tmpfs_kb = launch.spool_tmpfs_kb;
  return process_spawn(setup, &run->process);
}

int daemon_settings_writer(daemon_run *run, int timeout_ms) {
  const std::string settings = run->root + "/etc/settings";
  int fd = -1;
  /* Opening the write end without blocking succeeds once a reader has it open. */
  wait_until([&] { return (fd = open(settings.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
             timeout_ms);
  return fd;
}

int daemon_stop(daemon_run *run, int signal_number, int timeout_ms) {
  process_signal(&run->process, signal_number);
  if (!process_wait(&run->process, timeout_ms)) return -1;
  return process_exit_code(&run->process);
}

void daemon_cleanup(daemon_run *run) {
  process_cleanup(&run->process);
  syslog_stop(&run->log);
  if (!run->root.empty()) remove_tree(run->root);
  run->root.clear();
}
