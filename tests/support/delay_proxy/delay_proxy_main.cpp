/* A slow link for the benchmarks: nimba_delay_proxy LISTEN_ADDRESS:PORT UPSTREAM_ADDRESS:PORT
 * DELAY_MS [HELD_MAX_BYTES]. Serves until SIGTERM or SIGINT; DELAY_MS is one way, so the
 * round trip through it is twice that. */
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "delay_proxy.h"

namespace {

delay_proxy proxy;

void handle_stop_signal(int) { proxy.stop = 1; }

/* "address:port" into its parts; 0 when it is not that. */
int split_endpoint(const char *text, std::string *address, int *port) {
  const char *colon = std::strrchr(text, ':');
  if (colon == nullptr || colon == text) return 0;
  char *end = nullptr;
  const long value = std::strtol(colon + 1, &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) return 0;
  address->assign(text, static_cast<size_t>(colon - text));
  *port = static_cast<int>(value);
  return 1;
}

/* A whole number from 0 to high, or -1. */
long long number(const char *text, long long high) {
  char *end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  return (end != text && *end == '\0' && value >= 0 && value <= high) ? value : -1;
}

} // namespace

int main(int argc, char **argv) {
  delay_proxy_options o;
  const long long delay = argc >= 4 ? number(argv[3], 60000) : -1;
  const long long held =
      argc == 5 ? number(argv[4], 1LL << 30) : static_cast<long long>(DELAY_PROXY_HELD_MAX);
  if ((argc != 4 && argc != 5) || !split_endpoint(argv[1], &o.listen_address, &o.listen_port) ||
      !split_endpoint(argv[2], &o.upstream_address, &o.upstream_port) || delay < 0 || held < 1) {
    std::fprintf(
        stderr,
        "usage: nimba_delay_proxy LISTEN_ADDRESS:PORT UPSTREAM_ADDRESS:PORT DELAY_MS [HELD_MAX_BYTES]\n"
        "Passes each connection to the upstream address, every chunk held DELAY_MS (0 to 60000)\n"
        "in each direction; a direction holding HELD_MAX_BYTES (default %zu) stops reading.\n",
        DELAY_PROXY_HELD_MAX);
    return 2;
  }
  o.delay_ms = static_cast<unsigned>(delay);
  o.held_max = static_cast<size_t>(held);
  struct sigaction stop_action {};
  stop_action.sa_handler = handle_stop_signal;
  sigaction(SIGTERM, &stop_action, nullptr);
  sigaction(SIGINT, &stop_action, nullptr);
  if (!delay_proxy_open(&proxy, o)) {
    std::fprintf(stderr, "nimba_delay_proxy: cannot listen on %s\n", argv[1]);
    return 1;
  }
  delay_proxy_run(&proxy);
  delay_proxy_stop(&proxy);
  return 0;
}
