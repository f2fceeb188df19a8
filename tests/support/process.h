/* Test support: runs a program as a child with captured output, optionally inside a private
 * mount namespace that replaces the install root, /var/log, /dev/log, /etc/hosts and the
 * status file's folder. */
#pragma once
#include <sys/types.h>

#include "files.h"
#include "wait.h"

#include <string>
#include <vector>

/* What the child sees instead of the machine's files; every field is optional (empty).
 * The real files are never changed: the mounts live in the child's own namespace. */
struct sandbox_mounts {
  std::string install_root;   /* bound at /opt/nimba_message_router on a fresh /opt tmpfs */
  std::string var_log;        /* bound at /var/log */
  std::string dev_log_socket; /* bound at /dev/log on a fresh /dev tmpfs */
  std::string hosts_file;     /* bound at /etc/hosts */
  std::string resolv_conf;    /* bound at /etc/resolv.conf (rewrite it in place to change it) */
  std::string status_folder;  /* bound at the folder of the daemon's status file
                                 (NIMBA_STATUS_PATH, /var/run by default) */
  /* A tmpfs of that size (KiB) at the spool's folder, NIMBA_SPOOL_PATH: a disk to fill. */
  unsigned spool_tmpfs_kb = 0;
};

struct spawn_request {
  std::vector<std::string> argv; /* argv[0] is the program path */
  std::vector<std::string> env;  /* NAME=value additions and overrides */
  bool feed_stdin = false;       /* false: stdin is /dev/null */
  std::string stdin_data;        /* bytes on stdin when feed_stdin */
  bool sandboxed = false;
  sandbox_mounts sandbox;
};

struct child_process {
  pid_t pid = -1;
  std::string folder;      /* private temporary folder of the run */
  std::string stdout_path; /* captured output, readable while the child runs */
  std::string stderr_path;
  bool exited = false;
  int status = 0;       /* waitpid status once exited */
  long max_rss_kb = -1; /* peak resident memory in KiB once exited (the program and the
                           children it waited for) */
};

/* Starts the child; 1 on success, 0 (message on stderr) on failure. The child is killed
 * when the test process dies. */
int process_spawn(const spawn_request &setup, child_process *child);

/* Waits up to timeout_ms for the end of the child; 1 once it has exited. */
int process_wait(child_process *child, int timeout_ms);

/* Exit code of an exited child, -1 for a child ended by a signal or still running. */
int process_exit_code(const child_process *child);

/* Sends a signal to a running child; 1 on success. */
int process_signal(const child_process *child, int signal_number);

/* Kills (SIGKILL) and reaps a child that still runs; removes nothing. */
void process_kill(child_process *child);

/* Kills a child that still runs and removes the run's folder with its captured output. */
void process_cleanup(child_process *child);

/* Whole captured output so far. */
std::string process_stdout(const child_process *child);
std::string process_stderr(const child_process *child);

/* Waits until the captured standard output (or error) contains the text; 1 when found. */
int process_wait_stdout(const child_process *child, const std::string &text, int timeout_ms);
int process_wait_stderr(const child_process *child, const std::string &text, int timeout_ms);

/* Runs a helper program to its end (no sandbox); returns its exit code, -1 on failure or
 * timeout. Output lands in *output when given (stdout then stderr). */
int process_run(const std::vector<std::string> &argv, int timeout_ms, std::string *output = nullptr);

/* The sanitizer reports (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer) in
 * the child's captured standard error, from the first one on; empty when there is none. */
std::string process_sanitizer_report(const child_process *child);

/* Resident memory of a running process in KiB (VmRSS of /proc/<pid>/status); -1 when it
 * cannot be read. */
long process_rss_kb(pid_t pid);

/* Open descriptors of a running process (entries of /proc/<pid>/fd); -1 when unreadable. */
int process_fd_count(pid_t pid);

/* Occurrences of a text in another. */
unsigned count_occurrences(const std::string &haystack, const std::string &needle);
