/* Start-up of the relay daemon: system log, arguments, settings, endpoints, sessions. */
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "daemon.h"
#include "relay.h"
#include "settings/log.h"
#include "settings/text.h"

volatile sig_atomic_t stop_signal;

namespace {

/* Write end of the pipe that wakes the event loop; the stop handler needs it. */
volatile sig_atomic_t wake_write_fd = -1;

/* A terminal gets each line at once; a log file gets blocks, flushed at the points where
 * the daemon settles (after each supervisor pass, at the end). The block is large, so the
 * trace costs a write only every few hundred messages. */
void stdout_buffering() {
  static char block[65536];
  if (isatty(STDOUT_FILENO)) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  } else {
    std::setvbuf(stdout, block, _IOFBF, sizeof block);
  }
}

/* The stop signals run handle_stop_signal without SA_RESTART, so the loop's poll returns.
 * SIGHUP (a closed terminal, or an operator's habit) stops cleanly too; SIGUSR1 and SIGUSR2
 * mean nothing here and would otherwise end the daemon without its shutdown. */
void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = handle_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal_number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaction(signal_number, &action, nullptr);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal_number : {SIGPIPE, SIGUSR1, SIGUSR2}) sigaction(signal_number, &ignore, nullptr);
}

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};

} // namespace

void handle_stop_signal(int signal_number) {
  stop_signal = signal_number;
  const int fd = wake_write_fd;
  if (fd >= 0) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
    errno = saved;
  }
}

int daemon_wake_open(int *read_fd) {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return 0;
  *read_fd = ends[0];
  wake_write_fd = ends[1];
  return 1;
}

void daemon_wake_close() {
  const int fd = wake_write_fd;
  wake_write_fd = -1;
  if (fd >= 0) close(fd);
}

void echo_arguments(int argc, char **argv) {
  for (int i = 1; i < argc; i++) std::printf("%c %s", i == 1 ? '\n' : ',', argv[i]);
  std::puts("\n");
}

namespace {

/* host (cut to the capacity: 0), port and TLS into address. */
int set_address(mqtt_endpoint *address, const char *host_format, const char *first, const char *second,
                uint16_t port, bool tls) {
  const int n = std::snprintf(address->host, sizeof address->host, host_format, first, second);
  address->port = port;
  address->tls = tls;
  return n >= 0 && static_cast<unsigned>(n) < sizeof address->host;
}

} // namespace

int cloud_address(const module_settings *settings, const char *quickstart_host, const char *registered_domain,
                  mqtt_endpoint *address) {
  const bool tls = settings->ssl != 0;
  const uint16_t port = tls ? CLOUD_TLS_PORT : CLOUD_PORT;
  if (settings->mode == 1)
    return set_address(address, "%s.%s", settings->orgid, registered_domain, port, tls);
  return set_address(address, "%s%s", quickstart_host, "", port, tls);
}

int gateway_address(const module_settings *settings, mqtt_endpoint *address) {
  return set_address(address, "%s%s", settings->devip, "", GATEWAY_PORT, false);
}

int endpoint_uri(const mqtt_endpoint *address, char *uri, unsigned capacity) {
  const int n = std::snprintf(
      uri, capacity, "%s%s:%u", address->tls ? CLOUD_TLS_SCHEME : "", address->host, unsigned{address->port});
  return n >= 0 && static_cast<unsigned>(n) < capacity;
}

int cloud_endpoint(const module_settings *settings, const char *quickstart_host,
                   const char *registered_domain, char *client_id, unsigned id_capacity, char *uri,
                   unsigned uri_capacity) {
  int id_length;
  if (settings->mode == 1) {
    id_length = std::snprintf(
        client_id, id_capacity, "d:%s:%s:%s", settings->orgid, settings->dtypeid, settings->devid);
  } else {
    id_length = std::snprintf(client_id, id_capacity, "d:quickstart:zunquo:%s", settings->devid);
  }
  mqtt_endpoint address{};
  const int host_fits = cloud_address(settings, quickstart_host, registered_domain, &address);
  const int uri_fits = endpoint_uri(&address, uri, uri_capacity);
  return id_length >= 0 && static_cast<unsigned>(id_length) < id_capacity && host_fits && uri_fits;
}

int gateway_endpoint(const module_settings *settings, char *uri, unsigned uri_capacity) {
  mqtt_endpoint address{};
  const int host_fits = gateway_address(settings, &address);
  return endpoint_uri(&address, uri, uri_capacity) && host_fits;
}

void relay_sessions_init(relay_daemon *d) {
  const daemon_options &o = d->options;
  const session_timing timing{
      o.connect_timeout_seconds * 1000, o.keep_alive_seconds * 1000, o.stall_seconds * 1000};
  mqtt_endpoint cloud = d->cloud_address;
  cloud.ca_path = o.ca_path;
  cloud.user_timeout_ms = timing.stall_timeout_ms;
  cloud.send_buffer = o.send_buffer;
  mqtt_connect_fields cloud_connect{
      d->cloud_client_id, nullptr, nullptr, static_cast<uint16_t>(o.keep_alive_seconds), true};
  if (d->settings.mode == 1) {
    cloud_connect.user_name = CLOUD_USER_NAME;
    cloud_connect.password = d->settings.authtoken;
  }
  const session_events cloud_events{
      d, cloud_connect_answered, cloud_connection_lost, cloud_message_arrived, cloud_delivery_complete};
  session_init(&d->cloud,
               cloud,
               cloud_connect,
               timing,
               cloud_events,
               session_output{d, cloud_output_gather, cloud_output_written});

  /* At least once the gateway broker keeps the subscription and the QoS 1 messages of its
   * publishers for the relay while it is away (a persistent session); at most once it
   * forgets both, as it always did, and a switch back to it clears the kept session. */
  d->at_least_once = d->settings.qos == 1;
  mqtt_endpoint gateway = d->gateway_address;
  gateway.user_timeout_ms = timing.stall_timeout_ms;
  const mqtt_connect_fields gateway_connect{
      GATEWAY_CLIENT_ID, nullptr, nullptr, static_cast<uint16_t>(o.keep_alive_seconds), !d->at_least_once};
  const session_events gateway_events{
      d, gateway_connect_answered, gateway_connection_lost, gateway_message_arrived, nullptr};
  session_init(&d->gateway,
               gateway,
               gateway_connect,
               timing,
               gateway_events,
               session_output{nullptr, nullptr, nullptr});
  relay_spool_open(d);
}

int daemon_main(int argc, char **argv, const daemon_options &options) {
  int status = 1;
  stdout_buffering();
  log_set_echo(LOG_ECHO_BY_PRIORITY);
  log_open(argc > 0 ? argv[0] : "nimba_vezidozu");
  log_msg(LOG_NOTICE, "Started.");
  echo_arguments(argc, argv);

  if (argc >= 2) {
    /* The state is large (the queue's fixed storage); calloc leaves its pages untouched
     * until used, so only what the daemon needs becomes resident. */
    std::unique_ptr<relay_daemon, free_deleter> owned(
        static_cast<relay_daemon *>(std::calloc(1, sizeof(relay_daemon))));
    relay_daemon *d = owned.get();
    int wake_fd = -1;
    if (d == nullptr || !daemon_wake_open(&wake_fd)) {
      log_msg(LOG_ERR, "Out of resources at start-up.");
    } else {
      install_signal_handlers();
      d->options = options;
      settings_load(&d->settings);
      copy_fold(d->settings.devid, SETTINGS_TEXT_CAPACITY, argv[1], -1);
      copy_fold(d->settings.devip, SETTINGS_TEXT_CAPACITY, argc > 2 ? argv[2] : nullptr, 0);
      settings_print(&d->settings);

      /* The capacities are derived from the longest texts, so these cannot cut anything. */
      cloud_endpoint(&d->settings,
                     NIMBA_QUICKSTART_HOST,
                     NIMBA_REGISTERED_DOMAIN,
                     d->cloud_client_id,
                     sizeof d->cloud_client_id,
                     d->cloud_uri,
                     sizeof d->cloud_uri);
      cloud_address(&d->settings, NIMBA_QUICKSTART_HOST, NIMBA_REGISTERED_DOMAIN, &d->cloud_address);
      std::printf("NIMBA URL:    '%s'\n", d->cloud_uri);
      std::printf("NIMBA Client: '%s'\n", d->cloud_client_id);
      gateway_endpoint(&d->settings, d->gateway_uri, sizeof d->gateway_uri);
      gateway_address(&d->settings, &d->gateway_address);
      std::printf("IoT Gateway URL:    '%s'\n", d->gateway_uri);
      std::printf("IoT Gateway Client: '%s'\n", GATEWAY_CLIENT_ID);
      if (d->settings.mode == 1 && d->settings.ssl == 0)
        log_msg(LOG_WARNING,
                "The token is sent to NIMBA unencrypted: choose TLS on the Options page (NIMBA_SSL=1).");
      std::fflush(stdout);
      relay_sessions_init(d);

      status = supervisor_run(d, wake_fd) ? 0 : 1;
      close(wake_fd);
      daemon_wake_close();
    }
  }

  log_msg(LOG_NOTICE, "Stopped.");
  std::fflush(stdout);
  log_close();
  return status;
}
