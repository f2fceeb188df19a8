/* Connection supervisor: reconnects the cloud, then the gateway, in passes; shutdown. */
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "daemon.h"
#include "relay.h"
#include "settings/log.h"

namespace {

constexpr const char *GATEWAY_TOPIC_FILTER = "QZ/#";
constexpr int GATEWAY_SUBSCRIBE_QOS = 0;
constexpr int DISCONNECT_TIMEOUT_MS = 10000;
constexpr unsigned FAILURE_LOG_EVERY = 4;
/* How long shutdown lets the publisher finish its current publish before it closes the
 * cloud connection under it (only a stalled cloud link makes a publish take that long). */
constexpr int PUBLISHER_STOP_TIMEOUT_MS = 2000;

uint8_t cloud_failures;
uint8_t gateway_failures;

const char *mode_word() { return daemon_settings.mode == 1 ? "registered" : "quickstart"; }
const char *ssl_suffix() { return daemon_settings.ssl ? " over SSL" : ""; }

/* Every FAILURE_LOG_EVERY-th failure (the first included) goes to the system log. */
bool failure_goes_to_log(uint8_t failures) { return failures % FAILURE_LOG_EVERY == 0; }

/* The one TCP socket open now that was not among before[0..count), or -1. */
int new_tcp_socket(const int *before, unsigned count) {
  int now[DAEMON_SOCKETS_CAPACITY];
  unsigned now_count = tcp_sockets(now, DAEMON_SOCKETS_CAPACITY);
  if (now_count > DAEMON_SOCKETS_CAPACITY) return -1;
  int found = -1;
  for (unsigned i = 0; i < now_count; i++) {
    bool known = false;
    for (unsigned j = 0; j < count && !known; j++) known = before[j] == now[i];
    if (known) continue;
    if (found >= 0) return -1;
    found = now[i];
  }
  return found;
}

void connect_cloud(MQTTClient_connectOptions *opts) {
  /* The client library does not tell its socket: it is the TCP socket the connect adds. */
  int before[DAEMON_SOCKETS_CAPACITY];
  unsigned before_count = tcp_sockets(before, DAEMON_SOCKETS_CAPACITY);
  int rc = MQTTClient_connect(cloud_client, opts);
  if (rc == MQTTCLIENT_SUCCESS) {
    sockets_no_delay();
    relay_set_cloud_socket(before_count <= DAEMON_SOCKETS_CAPACITY
                               ? new_tcp_socket(before, before_count)
                               : -1);
    cloud_failures = 0;
    cloud_set_connected(true);
    log_msg(LOG_INFO, "Connected to NIMBA in %s mode%s.", mode_word(), ssl_suffix());
    return;
  }
  if (failure_goes_to_log(cloud_failures)) {
    log_msg(LOG_ERR, "Failed to connect to NIMBA in %s mode%s (RC=%i).", mode_word(),
            ssl_suffix(), rc);
  } else {
    std::printf("Failed to connect to NIMBA in %s mode%s (RC=%i).", mode_word(), ssl_suffix(),
                rc);
  }
  cloud_failures++;
}

void connect_gateway(MQTTClient_connectOptions *opts) {
  int rc = MQTTClient_connect(gateway_client, opts);
  if (rc == MQTTCLIENT_SUCCESS) {
    sockets_no_delay();
    gateway_connected = true;
    gateway_failures = 0;
    log_msg(LOG_INFO, "Connected to IoT Gateway. Subscribing to topic '%s' on IoT Gateway using QoS%d.",
            GATEWAY_TOPIC_FILTER, GATEWAY_SUBSCRIBE_QOS);
    MQTTClient_subscribe(gateway_client, GATEWAY_TOPIC_FILTER, GATEWAY_SUBSCRIBE_QOS);
    return;
  }
  if (failure_goes_to_log(gateway_failures)) {
    log_msg(LOG_ERR, "Failed to connect to IoT Gateway (RC=%i).", rc);
  } else {
    std::printf("Failed to connect to IoT Gateway (RC=%i).", rc);
  }
  gateway_failures++;
}

/* The gateway callback's own publish waits for a write only its thread could finish: drop
 * the cloud connection under it, so it returns and the relay goes on after a reconnect. */
void end_stuck_publish() {
  if (!cloud_connected || !relay_publish_stuck(DAEMON_STUCK_PUBLISH_SECONDS * 1000LL)) return;
  cloud_set_connected(false);
  log_msg(LOG_WARNING, "Connection to NIMBA stalled while sending; reconnecting.");
  MQTTClient_disconnect(cloud_client, 0);
}

void report_dropped() {
  unsigned dropped = relay_queue_take_dropped(&cloud_queue);
  if (dropped > 0) log_msg(LOG_WARNING, "Dropped %u messages for NIMBA: queue full.", dropped);
}

} // namespace

unsigned tcp_sockets(int *fds, unsigned capacity) {
  DIR *folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  unsigned count = 0;
  while (dirent *entry = readdir(folder)) {
    char *end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(folder)) continue;
    int protocol = 0;
    socklen_t size = sizeof protocol;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PROTOCOL, &protocol, &size) != 0 ||
        protocol != IPPROTO_TCP)
      continue;
    if (count < capacity) fds[count] = static_cast<int>(fd);
    count++;
  }
  closedir(folder);
  return count;
}

/* The client library has no socket options and leaves Nagle's algorithm on: a document sent
 * while the previous one is still unacknowledged then waits for the broker's delayed
 * acknowledgement, up to 40 ms. The daemon's only TCP sockets are its two MQTT
 * connections, so after each connect it finds them among its open descriptors. */
unsigned sockets_no_delay() {
  int fds[DAEMON_SOCKETS_CAPACITY];
  unsigned count = tcp_sockets(fds, DAEMON_SOCKETS_CAPACITY);
  unsigned set = 0;
  for (unsigned i = 0; i < count && i < DAEMON_SOCKETS_CAPACITY; i++) {
    int on = 1;
    if (setsockopt(fds[i], IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) set++;
  }
  return set;
}

long long daemon_clock_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + 1;
}

/* The stop signals are blocked on every thread (see start-up); the wait unblocks them
 * atomically for this thread only, so a signal ends the wait at once. */
unsigned sleep_unless_stopped(unsigned seconds) {
  sigset_t wait_mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGQUIT);
  const long long deadline = daemon_clock_ms() + seconds * 1000LL;
  unsigned remaining = seconds;
  while (remaining != 0 && stop_signal == 0) {
    long long left = deadline - daemon_clock_ms();
    if (left <= 0) {
      remaining = 0;
      break;
    }
    timespec timeout;
    timeout.tv_sec = static_cast<time_t>(left / 1000);
    timeout.tv_nsec = static_cast<long>(left % 1000) * 1000000;
    ppoll(nullptr, 0, &timeout, &wait_mask);
    left = deadline - daemon_clock_ms();
    remaining = left > 0 ? static_cast<unsigned>((left + 999) / 1000) : 0;
  }
  return remaining;
}

void supervisor_run(MQTTClient_connectOptions *cloud_opts,
                    MQTTClient_connectOptions *gateway_opts, unsigned pause_seconds) {
  cloud_failures = 0;
  gateway_failures = 0;
  while (stop_signal == 0) {
    end_stuck_publish();
    if (!cloud_connected) connect_cloud(cloud_opts);
    if (cloud_connected && !gateway_connected) connect_gateway(gateway_opts);
    report_dropped();
    std::fflush(stdout);
    sleep_unless_stopped(pause_seconds);
  }
  supervisor_shutdown();
}

void supervisor_shutdown() {
  int publisher_ended = relay_stop(PUBLISHER_STOP_TIMEOUT_MS);
  bool cloud_closed = false;
  if (!relay_close_gateway(PUBLISHER_STOP_TIMEOUT_MS)) {
    /* The gateway callback is inside a publish that a stalled cloud link holds up. */
    MQTTClient_disconnect(cloud_client, DISCONNECT_TIMEOUT_MS);
    cloud_closed = true;
    relay_close_gateway(-1);
  }
  MQTTClient_disconnect(gateway_client, DISCONNECT_TIMEOUT_MS);
  relay_gateway_disconnected();
  MQTTClient_destroy(&gateway_client);
  if (!cloud_closed) MQTTClient_disconnect(cloud_client, DISCONNECT_TIMEOUT_MS);
  if (!publisher_ended) relay_stop(-1);
  MQTTClient_destroy(&cloud_client);
}
