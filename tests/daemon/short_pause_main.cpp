/* The daemon with test timings: pause, keep-alive and CA folder come from the environment
 * (NIMBA_TEST_PAUSE, NIMBA_TEST_KEEP_ALIVE, NIMBA_TEST_CA_PATH), defaulting to 2 s, the
 * shipped keep-alive and the shipped CA folder. NIMBA_TEST_ROOM=always makes the gateway
 * callback take the cloud socket for ready whatever its send buffer holds, as a kernel
 * short of memory can mislead it. */
#include <cstdlib>
#include <string_view>

#include "daemon.h"

static int room_always(int, uint32_t) { return 1; }

static unsigned env_seconds(const char *name, unsigned fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value > 0 && value < 3600) ? static_cast<unsigned>(value) : fallback;
}

int main(int argc, char **argv) {
  daemon_options options = daemon_default_options();
  options.pause_seconds = env_seconds("NIMBA_TEST_PAUSE", 2);
  options.keep_alive_seconds = env_seconds("NIMBA_TEST_KEEP_ALIVE", options.keep_alive_seconds);
  const char *ca_path = std::getenv("NIMBA_TEST_CA_PATH");
  if (ca_path != nullptr && *ca_path != '\0') options.ca_path = ca_path;
  const char *room = std::getenv("NIMBA_TEST_ROOM");
  if (room != nullptr && std::string_view(room) == "always") options.socket_room = room_always;
  return daemon_main(argc, argv, options);
}
