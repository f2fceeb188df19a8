/* The daemon with test timings from the environment: NIMBA_TEST_PAUSE (seconds between
 * passes, default 2), NIMBA_TEST_KEEP_ALIVE, NIMBA_TEST_CONNECT_TIMEOUT, NIMBA_TEST_STALL
 * (default: the shipped values), NIMBA_TEST_CA_PATH (default: the shipped CA folder) and
 * NIMBA_TEST_STATUS_PATH (the status file; default none, so that a run outside the test
 * harness never writes the machine's). NIMBA_TEST_SEND_BUFFER sets the cloud socket's send
 * buffer in bytes (0: the system's); NIMBA_TEST_POLL_FAILS makes the event loop's poll fail
 * (EINVAL), as a broken loop would. NIMBA_TEST_SPOOL_PATH and NIMBA_TEST_SPOOL_LIMIT_KB set the
 * spool's folder and limit (at least once). NIMBA_TEST_WALL_CLOCK names a file holding a
 * number of milliseconds added to the wall clock, read again at each reading (the clock set
 * while the daemon runs); NIMBA_TEST_POLL_COUNT names a file whose first 4 bytes count the
 * event loop's polls (its wake-ups), shared as they are counted. */
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "daemon.h"

static unsigned env_seconds(const char *name, unsigned fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value > 0 && value < 3600) ? static_cast<unsigned>(value) : fallback;
}

static int failing_poll(pollfd *, nfds_t, int) {
  errno = EINVAL;
  return -1;
}

static const char *wall_clock_file;

static int64_t moved_wall_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  const int fd = open(wall_clock_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ms;
  char text[32] = {};
  if (read(fd, text, sizeof text - 1) > 0) ms += std::strtoll(text, nullptr, 10);
  close(fd);
  return ms;
}

static std::atomic<uint32_t> *poll_count;

static int counted_poll(pollfd *fds, nfds_t count, int timeout_ms) {
  poll_count->fetch_add(1, std::memory_order_relaxed);
  return poll(fds, count, timeout_ms);
}

static void count_polls(const char *path) {
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(uint32_t)) != 0) return;
  void *shared = mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (shared == MAP_FAILED) return;
  poll_count = static_cast<std::atomic<uint32_t> *>(shared);
  daemon_set_poll(counted_poll);
}

int main(int argc, char **argv) {
  daemon_options options = daemon_default_options();
  options.pause_seconds = env_seconds("NIMBA_TEST_PAUSE", 2);
  options.keep_alive_seconds = env_seconds("NIMBA_TEST_KEEP_ALIVE", options.keep_alive_seconds);
  options.connect_timeout_seconds =
      env_seconds("NIMBA_TEST_CONNECT_TIMEOUT", options.connect_timeout_seconds);
  options.stall_seconds = env_seconds("NIMBA_TEST_STALL", options.stall_seconds);
  const char *ca_path = std::getenv("NIMBA_TEST_CA_PATH");
  if (ca_path != nullptr && *ca_path != '\0') options.ca_path = ca_path;
  options.status_path = std::getenv("NIMBA_TEST_STATUS_PATH");
  const char *send_buffer = std::getenv("NIMBA_TEST_SEND_BUFFER");
  if (send_buffer != nullptr && *send_buffer != '\0')
    options.send_buffer = static_cast<unsigned>(std::strtoul(send_buffer, nullptr, 10));
  if (std::getenv("NIMBA_TEST_POLL_FAILS") != nullptr) daemon_set_poll(failing_poll);
  const char *polls = std::getenv("NIMBA_TEST_POLL_COUNT");
  if (polls != nullptr && *polls != '\0') count_polls(polls);
  wall_clock_file = std::getenv("NIMBA_TEST_WALL_CLOCK");
  if (wall_clock_file != nullptr && *wall_clock_file != '\0') status_set_wall_clock(moved_wall_clock);
  const char *spool_path = std::getenv("NIMBA_TEST_SPOOL_PATH");
  if (spool_path != nullptr && *spool_path != '\0') options.spool_path = spool_path;
  const char *spool_limit = std::getenv("NIMBA_TEST_SPOOL_LIMIT_KB");
  if (spool_limit != nullptr && *spool_limit != '\0')
    options.spool_limit_kb = static_cast<unsigned>(std::strtoul(spool_limit, nullptr, 10));
  return daemon_main(argc, argv, options);
}
