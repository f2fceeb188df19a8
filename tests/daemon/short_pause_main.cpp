/* The daemon with test timings from the environment: NIMBA_TEST_PAUSE (seconds between
 * passes, default 2), NIMBA_TEST_KEEP_ALIVE, NIMBA_TEST_CONNECT_TIMEOUT, NIMBA_TEST_STALL
 * (default: the shipped values), NIMBA_TEST_CA_PATH (default: the shipped CA folder) and
 * NIMBA_TEST_STATUS_PATH (the status file; default none, so that a run outside the test
 * harness never writes the machine's). NIMBA_TEST_SEND_BUFFER sets the cloud socket's send
 * buffer in bytes (0: the system's); NIMBA_TEST_POLL_FAILS makes the event loop's poll fail
 * (EINVAL), as a broken loop would. */
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
  return daemon_main(argc, argv, options);
}
