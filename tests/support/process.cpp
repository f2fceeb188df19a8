/* Child processes for integration tests. */
#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "nimba_config.h"

extern char **environ;

namespace {

/* Everything the child needs, prepared before fork so that the child only makes system
 * calls (the test process has threads; the child may not allocate). */
struct child_plan {
  std::vector<char *> argv;
  std::vector<char *> envp;
  std::vector<std::string> env_storage;
  int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
  bool sandboxed = false;
  std::string install_root, var_log, dev_log, hosts, resolv_conf, dev_stage;
  std::string status_folder, status_target;
  unsigned spool_tmpfs_kb = 0;
};

const char *const DEVICE_NODES[] = {"null", "zero", "full", "random", "urandom", "tty"};

void child_fail(const char *what) {
  /* write() only: safe after fork. */
  const char prefix[] = "sandbox: failed: ";
  ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
  ignored = write(STDERR_FILENO, what, strlen(what));
  ignored = write(STDERR_FILENO, "\n", 1);
  (void)ignored;
  _exit(127);
}

void bind_onto_file(const char *source, const char *target) {
  int fd = open(target, O_WRONLY | O_CREAT, 0644);
  if (fd < 0) child_fail(target);
  close(fd);
  if (mount(source, target, nullptr, MS_BIND, nullptr) != 0) child_fail(target);
}

void enter_sandbox(const child_plan &plan) {
  if (unshare(CLONE_NEWNS) != 0) child_fail("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) child_fail("private /");
  if (!plan.install_root.empty()) {
    if (mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") != 0) child_fail("/opt tmpfs");
    if (mkdir("/opt/nimba_message_router", 0755) != 0) child_fail("/opt/nimba_message_router");
    if (mount(plan.install_root.c_str(), "/opt/nimba_message_router", nullptr, MS_BIND | MS_REC, nullptr) !=
        0)
      child_fail("install root bind");
    if (plan.spool_tmpfs_kb > 0) {
      char options[64];
      std::snprintf(options, sizeof options, "size=%uk,mode=0700", plan.spool_tmpfs_kb);
      mkdir(NIMBA_SPOOL_PATH, 0700);
      if (mount("tmpfs", NIMBA_SPOOL_PATH, "tmpfs", 0, options) != 0) child_fail("spool tmpfs");
    }
  }
  if (!plan.var_log.empty()) {
    if (mount(plan.var_log.c_str(), "/var/log", nullptr, MS_BIND | MS_REC, nullptr) != 0)
      child_fail("/var/log bind");
  }
  if (!plan.dev_log.empty()) {
    /* /dev/log must not appear in the real /dev: give the child its own /dev. */
    const std::string &stage = plan.dev_stage;
    if (mount("/dev", stage.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) child_fail("/dev stage");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) child_fail("/dev tmpfs");
    char source[4096], target[64];
    for (const char *node : DEVICE_NODES) {
      if (snprintf(source, sizeof source, "%s/%s", stage.c_str(), node) >= (int)sizeof source)
        child_fail("stage path");
      if (snprintf(target, sizeof target, "/dev/%s", node) >= (int)sizeof target) child_fail(node);
      bind_onto_file(source, target);
    }
    mkdir("/dev/pts", 0755);
    mkdir("/dev/shm", 01777);
    if (symlink("/proc/self/fd", "/dev/fd") != 0) child_fail("/dev/fd");
    if (symlink("/proc/self/fd/0", "/dev/stdin") != 0) child_fail("/dev/stdin");
    if (symlink("/proc/self/fd/1", "/dev/stdout") != 0) child_fail("/dev/stdout");
    if (symlink("/proc/self/fd/2", "/dev/stderr") != 0) child_fail("/dev/stderr");
    bind_onto_file(plan.dev_log.c_str(), "/dev/log");
    umount2(stage.c_str(), MNT_DETACH);
  }
  if (!plan.hosts.empty()) {
    if (mount(plan.hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
      child_fail("/etc/hosts bind");
  }
  if (!plan.resolv_conf.empty()) {
    if (mount(plan.resolv_conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
      child_fail("/etc/resolv.conf bind");
  }
  if (!plan.status_folder.empty()) {
    if (mount(plan.status_folder.c_str(), plan.status_target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) !=
        0)
      child_fail("status folder bind");
  }
}

[[noreturn]] void run_child(const child_plan &plan) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGCHLD}) signal(s, SIG_DFL);
  if (dup2(plan.stdin_fd, STDIN_FILENO) < 0 || dup2(plan.stdout_fd, STDOUT_FILENO) < 0 ||
      dup2(plan.stderr_fd, STDERR_FILENO) < 0)
    _exit(127);
  if (plan.sandboxed) enter_sandbox(plan);
  execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  child_fail("execve");
  _exit(127);
}

std::string env_name(const std::string &entry) { return entry.substr(0, entry.find('=')); }

/* A name without '/' is looked up in PATH, as a shell would. */
std::string resolve_program(const std::string &name) {
  if (name.find('/') != std::string::npos) return name;
  const char *path = getenv("PATH");
  std::string folders = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

} // namespace

std::string process_sanitizer_report(const child_process *child) {
  const std::string text = process_stderr(child);
  size_t first = std::string::npos;
  for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
    first = std::min(first, text.find(mark));
  if (first == std::string::npos) return std::string();
  const size_t line = text.rfind('\n', first);
  return text.substr(line == std::string::npos ? 0 : line + 1);
}

long process_rss_kb(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\nVmRSS:");
  if (at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + 7, nullptr, 10);
}

int process_fd_count(pid_t pid) {
  DIR *folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return -1;
  int count = 0;
  while (const dirent *entry = readdir(folder))
    if (entry->d_name[0] != '.') count++;
  closedir(folder);
  return count;
}

unsigned count_occurrences(const std::string &haystack, const std::string &needle) {
  if (needle.empty()) return 0;
  unsigned count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    count++;
  return count;
}

int process_spawn(const spawn_request &setup, child_process *child) {
  if (setup.argv.empty()) return 0;
  child->folder = make_temp_folder("nimba_child_");
  if (child->folder.empty()) return 0;
  child->stdout_path = child->folder + "/stdout";
  child->stderr_path = child->folder + "/stderr";
  child->exited = false;
  child->status = 0;

  child_plan plan;
  std::vector<std::string> args = setup.argv;
  args[0] = resolve_program(args[0]);
  for (std::string &arg : args) plan.argv.push_back(&arg[0]);
  plan.argv.push_back(nullptr);
  for (char **entry = environ; *entry != nullptr; entry++) {
    std::string text(*entry);
    bool overridden = false;
    for (const std::string &add : setup.env) overridden |= env_name(add) == env_name(text);
    if (!overridden) plan.env_storage.push_back(text);
  }
  for (const std::string &add : setup.env) plan.env_storage.push_back(add);
  for (std::string &entry : plan.env_storage) plan.envp.push_back(&entry[0]);
  plan.envp.push_back(nullptr);

  std::string stdin_path = "/dev/null";
  if (setup.feed_stdin) {
    stdin_path = child->folder + "/stdin";
    if (!write_file(stdin_path, setup.stdin_data)) return 0;
  }
  plan.stdin_fd = open(stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  plan.stdout_fd = open(child->stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  plan.stderr_fd = open(child->stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  plan.sandboxed = setup.sandboxed;
  plan.install_root = setup.sandbox.install_root;
  plan.var_log = setup.sandbox.var_log;
  plan.dev_log = setup.sandbox.dev_log_socket;
  plan.hosts = setup.sandbox.hosts_file;
  plan.resolv_conf = setup.sandbox.resolv_conf;
  plan.status_folder = setup.sandbox.status_folder;
  plan.spool_tmpfs_kb = setup.sandbox.spool_tmpfs_kb;
  plan.status_target = NIMBA_STATUS_PATH;
  plan.status_target.erase(plan.status_target.rfind('/') + 1);
  plan.dev_stage = child->folder + "/dev_stage";
  if (!plan.dev_log.empty()) mkdir(plan.dev_stage.c_str(), 0755);

  int result = 0;
  if (plan.stdin_fd >= 0 && plan.stdout_fd >= 0 && plan.stderr_fd >= 0) {
    pid_t pid = fork();
    if (pid == 0) run_child(plan);
    if (pid > 0) {
      child->pid = pid;
      result = 1;
    } else {
      perror("fork");
    }
  }
  for (int fd : {plan.stdin_fd, plan.stdout_fd, plan.stderr_fd})
    if (fd >= 0) close(fd);
  return result;
}

int process_wait(child_process *child, int timeout_ms) {
  if (child->exited) return 1;
  if (child->pid <= 0) return 0;
  bool failed = false;
  wait_until(
      [&] {
        int status = 0;
        rusage usage{};
        pid_t done = wait4(child->pid, &status, WNOHANG, &usage);
        if (done == child->pid) {
          child->exited = true;
          child->status = status;
          child->max_rss_kb = usage.ru_maxrss;
        }
        failed = done < 0 && errno != EINTR;
        return child->exited || failed;
      },
      timeout_ms);
  return child->exited ? 1 : 0;
}

int process_exit_code(const child_process *child) {
  if (!child->exited || !WIFEXITED(child->status)) return -1;
  return WEXITSTATUS(child->status);
}

int process_signal(const child_process *child, int signal_number) {
  if (child->pid <= 0 || child->exited) return 0;
  return kill(child->pid, signal_number) == 0 ? 1 : 0;
}

void process_kill(child_process *child) {
  if (child->pid <= 0 || child->exited) return;
  kill(child->pid, SIGCONT);
  kill(child->pid, SIGKILL);
  process_wait(child, 10000);
}

void process_cleanup(child_process *child) {
  process_kill(child);
  if (!child->folder.empty()) remove_tree(child->folder);
  child->folder.clear();
}

std::string process_stdout(const child_process *child) { return read_file(child->stdout_path); }
std::string process_stderr(const child_process *child) { return read_file(child->stderr_path); }

static int wait_file_text(const std::string &path, const std::string &text, int timeout_ms) {
  return wait_until([&] { return read_file(path).find(text) != std::string::npos; }, timeout_ms);
}

int process_wait_stdout(const child_process *child, const std::string &text, int timeout_ms) {
  return wait_file_text(child->stdout_path, text, timeout_ms);
}

int process_wait_stderr(const child_process *child, const std::string &text, int timeout_ms) {
  return wait_file_text(child->stderr_path, text, timeout_ms);
}

int process_run(const std::vector<std::string> &argv, int timeout_ms, std::string *output) {
  spawn_request setup;
  setup.argv = argv;
  child_process child;
  if (!process_spawn(setup, &child)) return -1;
  int code = -1;
  if (process_wait(&child, timeout_ms)) {
    code = process_exit_code(&child);
  } else {
    process_kill(&child);
  }
  if (output != nullptr) *output = process_stdout(&child) + process_stderr(&child);
  process_cleanup(&child);
  return code;
}
