/* Runs a program N times and reports its wall time, CPU time (user + system of the child,
 * from wait4) and peak resident memory: for short-lived programs such as CGI pages, where
 * the 10 ms resolution of time(1) says nothing. */
#include "relay_bench.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr long MAX_RUNS = 100000;
constexpr int RUN_TIMEOUT_S = 10;

int64_t now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct run_result {
  int ok;
  int64_t wall_us;
  int64_t cpu_us;
  long max_rss_kb;
};

// One run with stdin from input (or /dev/null), stdout/stderr to /dev/null and the given
// environment (the inherited one when env is null); killed after RUN_TIMEOUT_S.
run_result run_once(char **argv, const char *input, char **env) {
  run_result r{0, 0, 0, 0};
  int64_t start = now_us();
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    int in = open(input ? input : "/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    alarm(RUN_TIMEOUT_S); // survives exec: a hanging program is ended by SIGALRM
    if (env)
      execve(argv[0], argv, env);
    else
      execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  while (wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) return r;
  }
  r.wall_us = now_us() - start;
  r.cpu_us = ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec + ru.ru_stime.tv_sec * 1000000L +
             ru.ru_stime.tv_usec;
  r.max_rss_kb = ru.ru_maxrss;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

double mean(const std::vector<int64_t> &v) {
  double s = 0;
  for (int64_t x : v) s += static_cast<double>(x);
  return v.empty() ? 0 : s / static_cast<double>(v.size());
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4 || std::string_view(argv[1]) == "--help") {
    std::fprintf(
        stderr,
        "usage: nimba_proc_time RUNS [--stdin FILE] [--name NAME] [--env NAME=VALUE]... -- PROGRAM [ARG...]\n"
        "With --env the program gets only the given environment.\n"
        "Last line of output: key=value figures (times in microseconds).\n");
    return 2;
  }
  char *end = nullptr;
  long runs = std::strtol(argv[1], &end, 10);
  if (*end != '\0' || runs < 1 || runs > MAX_RUNS) {
    std::fprintf(stderr, "runs must be 1 to %ld\n", MAX_RUNS);
    return 2;
  }
  const char *input = nullptr;
  const char *name = "run";
  std::vector<char *> env;
  int i = 2;
  for (; i < argc && std::string_view(argv[i]) != "--"; i++) {
    if (std::string_view(argv[i]) == "--stdin" && i + 1 < argc)
      input = argv[++i];
    else if (std::string_view(argv[i]) == "--name" && i + 1 < argc)
      name = argv[++i];
    else if (std::string_view(argv[i]) == "--env" && i + 1 < argc)
      env.push_back(argv[++i]);
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "no program after --\n");
    return 2;
  }
  char **program = argv + i + 1;
  if (!env.empty()) env.push_back(nullptr);

  std::vector<int64_t> wall, cpu;
  long max_rss = 0, failures = 0;
  for (long k = 0; k < runs; k++) {
    run_result r = run_once(program, input, env.empty() ? nullptr : env.data());
    if (!r.ok) failures++;
    wall.push_back(r.wall_us);
    cpu.push_back(r.cpu_us);
    if (r.max_rss_kb > max_rss) max_rss = r.max_rss_kb;
  }
  double wall_mean = mean(wall), cpu_mean = mean(cpu);
  int64_t wall_median = bench_percentile(wall, 0.5), cpu_median = bench_percentile(cpu, 0.5);
  int64_t wall_max = bench_percentile(wall, 1.0);
  std::printf(
      "%s: %ld runs, %ld failed; wall mean %.0f us median %lld us max %lld us; "
      "cpu mean %.0f us median %lld us; peak RSS %ld KiB\n",
      name,
      runs,
      failures,
      wall_mean,
      static_cast<long long>(wall_median),
      static_cast<long long>(wall_max),
      cpu_mean,
      static_cast<long long>(cpu_median),
      max_rss);
  std::printf(
      "name=%s runs=%ld failed=%ld wall_mean_us=%.0f wall_median_us=%lld "
      "cpu_mean_us=%.0f cpu_median_us=%lld max_rss_kb=%ld\n",
      name,
      runs,
      failures,
      wall_mean,
      static_cast<long long>(wall_median),
      cpu_mean,
      static_cast<long long>(cpu_median),
      max_rss);
  return failures == 0 ? 0 : 1;
}
