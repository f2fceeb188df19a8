/* Process-wide state of the relay daemon and its entry point. */
#pragma once
#include <MQTTClient.h>
#include <atomic>
#include <cstdint>
#include <csignal>
#include <cstring>

#include "nimba_config.h"
#include "relay.h"
#include "settings/settings.h"

/* Seconds between two supervisor passes in the shipped program. */
constexpr unsigned DAEMON_PAUSE_SECONDS = 60;
/* Keep-alive of both MQTT connections in the shipped program. */
constexpr unsigned DAEMON_KEEP_ALIVE_SECONDS = 20;

constexpr int GATEWAY_PORT = 1883;
constexpr int CLOUD_PORT = 1883;
constexpr int CLOUD_TLS_PORT = 8883;
constexpr const char *CLOUD_TLS_SCHEME = "ssl://";
constexpr const char *CLOUD_USER_NAME = "use-token-auth";
constexpr const char *GATEWAY_CLIENT_ID = "CID";

/* Capacities that hold every identifier and URI the settings texts can produce, so nothing
 * is cut: "d:" and three texts of SETTINGS_TEXT_CAPACITY - 1 characters with two colons;
 * scheme, organisation, dot, the longer built-in host, colon, five-digit port. */
constexpr unsigned CLOUD_CLIENT_ID_CAPACITY = 2 + 3 * (SETTINGS_TEXT_CAPACITY - 1) + 2 + 1;
constexpr unsigned CLOUD_HOST_MAX =
    sizeof(NIMBA_QUICKSTART_HOST) > sizeof(NIMBA_REGISTERED_DOMAIN)
        ? sizeof(NIMBA_QUICKSTART_HOST) - 1
        : sizeof(NIMBA_REGISTERED_DOMAIN) - 1;
constexpr unsigned CLOUD_URI_CAPACITY = 6 + (SETTINGS_TEXT_CAPACITY - 1) + 1 + CLOUD_HOST_MAX + 6 + 1;
constexpr unsigned GATEWAY_URI_CAPACITY = (SETTINGS_TEXT_CAPACITY - 1) + 6 + 1;

/* Seconds the gateway callback's own publish may take before the supervisor drops the
 * cloud connection under it (see relay_publish_stuck). */
constexpr unsigned DAEMON_STUCK_PUBLISH_SECONDS = 10;

/* What a test build may change; the shipped program passes daemon_default_options(). */
struct daemon_options {
  unsigned pause_seconds;      /* pause between supervisor passes */
  unsigned keep_alive_seconds; /* keep-alive of both connections */
  const char *ca_path;         /* folder of trusted CA certificates for TLS to the cloud */
  /* Whether the cloud socket takes a document at once (socket_takes). */
  int (*socket_room)(int fd, uint32_t length);
};

inline daemon_options daemon_default_options() {
  return daemon_options{DAEMON_PAUSE_SECONDS, DAEMON_KEEP_ALIVE_SECONDS, NIMBA_CA_PATH,
                        socket_takes};
}

extern module_settings daemon_settings;
/* Number of the last stop signal; 0 while running. */
extern volatile sig_atomic_t stop_signal;
extern std::atomic<bool> cloud_connected;
extern std::atomic<bool> gateway_connected;
extern MQTTClient cloud_client;
extern MQTTClient gateway_client;
extern char cloud_uri[CLOUD_URI_CAPACITY];
extern char gateway_uri[GATEWAY_URI_CAPACITY];

/* Runs the daemon: start-up, supervisor, shutdown. Returns the exit status: 1 without a
 * DEVID, 0 after a stop by signal. */
int daemon_main(int argc, char **argv, const daemon_options &options);

/* Stores the signal number in stop_signal; installed for SIGINT, SIGTERM and SIGQUIT. */
void handle_stop_signal(int signal_number);

/* Prints the arguments after the program path: a line feed before the first, a comma
 * before each later one, each as "%c %s", then two line feeds. */
void echo_arguments(int argc, char **argv);

/* Cloud client identifier and server URI for the settings' mode and ssl switch, with the
 * given host names. 1 when both fitted (always with the capacities above), 0 otherwise;
 * the buffers are then still terminated. */
int cloud_endpoint(const module_settings *settings, const char *quickstart_host,
                   const char *registered_domain, char *client_id, unsigned id_capacity,
                   char *uri, unsigned uri_capacity);

/* "<devip>:1883"; 1 when it fitted, 0 otherwise (buffer still terminated). */
int gateway_endpoint(const module_settings *settings, char *uri, unsigned uri_capacity);

/* Milliseconds of the monotonic clock, never 0 (so 0 can mean "not set"). */
long long daemon_clock_ms();

/* Sleeps up to the given seconds, resuming after interruptions, returning early once
 * stop_signal is set. Returns the seconds left unslept. */
unsigned sleep_unless_stopped(unsigned seconds);

/* TCP sockets the daemon may hold: its two MQTT connections and one being replaced. */
constexpr unsigned DAEMON_SOCKETS_CAPACITY = 8;

/* Lists the process's open TCP sockets: stores up to capacity of them in fds and returns
 * how many there are (more than capacity: the list is incomplete). 0 when /proc is not
 * readable. */
unsigned tcp_sockets(int *fds, unsigned capacity);

/* Turns Nagle's algorithm off on every TCP socket of the process (the MQTT connections).
 * Returns the number of sockets set. */
unsigned sockets_no_delay();

/* Connection supervisor: passes until stop_signal is set, then supervisor_shutdown. */
void supervisor_run(MQTTClient_connectOptions *cloud_opts,
                    MQTTClient_connectOptions *gateway_opts, unsigned pause_seconds);

/* Stops the publisher thread, then disconnects and destroys the gateway client and then
 * the cloud client, whatever their connected flags say. A publish of the gateway callback
 * that a stalled cloud link holds up is ended first by the cloud disconnect. */
void supervisor_shutdown();
