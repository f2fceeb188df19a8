/* The daemon as the benchmark runs it: the shipped program with a few of its options taken
 * from the environment, so that one Release build measures them side by side.
 *   NIMBA_BENCH_SEND_BUFFER  the cloud socket's send buffer in bytes (0: the system's
 *                            default, which grows by itself; default: the shipped size)
 *   NIMBA_BENCH_PAUSE        seconds between supervisor passes (1 to 3600; default shipped)
 *   NIMBA_BENCH_SPOOL_PATH   the spool's folder (default: the build's)
 *   NIMBA_BENCH_SPOOL_LIMIT_KB  the spool's limit (default: the build's)
 *   NIMBA_BENCH_STATUS_PATH  the status file; set and empty: none (default: the build's)
 *   nimba_vezidozu_bench DEVID DEVIP */
#include <cstdlib>

#include "daemon.h"

namespace {

/* The environment variable's value as a number, or fallback when it is unset, empty or not
 * a whole number from low to high. */
unsigned env_number(const char *name, unsigned fallback, unsigned long low, unsigned long high) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value >= low && value <= high) ? static_cast<unsigned>(value) : fallback;
}

} // namespace

int main(int argc, char **argv) {
  daemon_options options = daemon_default_options();
  options.send_buffer = env_number("NIMBA_BENCH_SEND_BUFFER", options.send_buffer, 0, 64UL << 20);
  options.pause_seconds = env_number("NIMBA_BENCH_PAUSE", options.pause_seconds, 1, 3600);
  options.spool_limit_kb = env_number("NIMBA_BENCH_SPOOL_LIMIT_KB", options.spool_limit_kb, 1, 1UL << 22);
  const char *spool_path = std::getenv("NIMBA_BENCH_SPOOL_PATH");
  if (spool_path != nullptr && *spool_path != '\0') options.spool_path = spool_path;
  const char *status_path = std::getenv("NIMBA_BENCH_STATUS_PATH");
  if (status_path != nullptr) options.status_path = status_path;
  return daemon_main(argc, argv, options);
}
