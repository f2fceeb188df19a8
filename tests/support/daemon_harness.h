/* Runs the short-pause daemon in a sandbox: its own install root with a settings file, a
 * private system log and a hosts file that points the cloud host names at test brokers. */
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "broker.h"
#include "process.h"
#include "syslog_collector.h"

/* Syslog priorities as the daemon's entries carry them (facility LOG_DAEMON). */
constexpr int DAEMON_ERR = 3 + 24;
constexpr int DAEMON_WARNING = 4 + 24;
constexpr int DAEMON_NOTICE = 5 + 24;
constexpr int DAEMON_INFO = 6 + 24;

/* Quickstart host and "<orgid>.<registered domain>". */
std::string quickstart_host();
std::string registered_host(const std::string &orgid);

struct daemon_run {
  std::string root; /* install root: etc/settings */
  std::string hosts_path;
  std::string resolv_path; /* <root>/resolv.conf when the launch gave one (the daemon's) */
  std::string status_path; /* <root>/run/nimba_vezidozu.status: the daemon's status file */
  syslog_collector log;
  child_process process;
  std::string earlier_output; /* standard output of the runs before daemon_start_again */
};

/* How to start the daemon. The usual run names a device, a gateway address and the address
 * the cloud's host name resolves to; timings left at 0 keep the short-pause daemon's own. */
struct daemon_launch {
  std::string device = "dev1";
  std::string gateway;          /* the gateway broker's address; empty: no arguments at all */
  std::string cloud;            /* address of the cloud host name; empty: no hosts entry */
  std::string cloud_host;       /* that name; empty: the quickstart host */
  std::string settings;         /* etc/settings content */
  bool settings_fifo = false;   /* etc/settings is a FIFO (see daemon_settings_writer) */
  unsigned pause = 0;           /* seconds between passes (NIMBA_TEST_PAUSE) */
  unsigned keep_alive = 0;      /* NIMBA_TEST_KEEP_ALIVE */
  unsigned connect_timeout = 0; /* NIMBA_TEST_CONNECT_TIMEOUT */
  unsigned stall = 0;           /* NIMBA_TEST_STALL */
  std::string ca_path;          /* NIMBA_TEST_CA_PATH */
  /* Given arguments replace device and gateway (start-up tests of the command line). */
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> hosts; /* further address, name pairs */
  std::string resolv_conf;                                /* /etc/resolv.conf; empty: the machine's */
  std::vector<std::string> env;                           /* further NIMBA_TEST_* settings */
  unsigned spool_tmpfs_kb = 0; /* the spool's folder a tmpfs of that size (a disk to fill) */
  /* NIMBA_TEST_STATUS_PATH is the run's status_path unless env sets it. */
};

/* Starts the daemon; 1 on success. */
int daemon_start(daemon_run *run, const daemon_launch &launch);
/* Starts it again in the same root (settings, spool, status folder, system log), killing it
 * first if it still runs; its standard output so far is kept in earlier_output. */
int daemon_start_again(daemon_run *run, const daemon_launch &launch);
/* Starts the process itself in the prepared root (daemon_start and daemon_start_again). */
int daemon_spawn(daemon_run *run, const daemon_launch &launch);
/* With settings_fifo: waits until the daemon has opened its settings to read and returns
 * the FIFO's write end (the daemon then waits for what is written, or for its close); -1
 * when it did not open it in time. */
int daemon_settings_writer(daemon_run *run, int timeout_ms);
/* Sends SIGTERM (or the given signal) and waits for the end; the exit code, -1 on timeout. */
int daemon_stop(daemon_run *run, int signal_number, int timeout_ms);
/* Kills what still runs and removes the folders. */
void daemon_cleanup(daemon_run *run);
