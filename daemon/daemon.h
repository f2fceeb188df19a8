/* The relay daemon: its state, its entry point and its connection supervisor. */
#pragma once
#include <poll.h>

#include <csignal>
#include <cstdint>

#include "daemon/mqtt/session.h"
#include "daemon/spool/spool.h"
#include "nimba_config.h"
#include "relay_queue.h"
#include "settings/settings.h"
#include "status.h"

/* Seconds between two supervisor passes in the shipped program. */
constexpr unsigned DAEMON_PAUSE_SECONDS = 60;
/* Keep-alive of both MQTT connections in the shipped program. */
constexpr unsigned DAEMON_KEEP_ALIVE_SECONDS = 20;
/* From the start of a connect attempt to the broker's answer. */
constexpr unsigned DAEMON_CONNECT_TIMEOUT_SECONDS = 30;
/* A cloud link whose pending output makes no progress this long is lost. */
constexpr unsigned DAEMON_STALL_SECONDS = 30;
/* The cloud socket's send buffer: what a lost connection can take with it unnoticed by the
 * relay's queue (the system's default grows to megabytes on loopback). */
constexpr unsigned DAEMON_SEND_BUFFER = 65536;
/* How long shutdown lets the cloud take the documents still queued for it. */
constexpr unsigned DAEMON_DISCONNECT_TIMEOUT_MS = 10000;
/* How long a stop reads what the gateway had sent (and waits for a busy spool writer)
 * before it lets the gateway go, and at most how many reads of the session's buffer. */
constexpr unsigned DAEMON_GATEWAY_STOP_MS = 3000;
constexpr unsigned DAEMON_GATEWAY_STOP_READS = 8;

constexpr int GATEWAY_PORT = 1883;
constexpr int CLOUD_PORT = 1883;
constexpr int CLOUD_TLS_PORT = 8883;
constexpr const char *CLOUD_TLS_SCHEME = "ssl://";
constexpr const char *CLOUD_USER_NAME = "use-token-auth";
constexpr const char *GATEWAY_CLIENT_ID = "CID";
constexpr const char *GATEWAY_TOPIC_FILTER = "QZ/#";
constexpr const char *CLOUD_PUBLISH_TOPIC = "iot-2/evt/status/fmt/json";

/* Capacities that hold every identifier and URI the settings texts can produce, so nothing
 * is cut: "d:" and three texts of SETTINGS_TEXT_CAPACITY - 1 characters with two colons;
 * scheme, organisation, dot, the longer built-in host, colon, five-digit port. */
constexpr unsigned CLOUD_CLIENT_ID_CAPACITY = 2 + 3 * (SETTINGS_TEXT_CAPACITY - 1) + 2 + 1;
constexpr unsigned CLOUD_HOST_MAX = sizeof(NIMBA_QUICKSTART_HOST) > sizeof(NIMBA_REGISTERED_DOMAIN)
                                        ? sizeof(NIMBA_QUICKSTART_HOST) - 1
                                        : sizeof(NIMBA_REGISTERED_DOMAIN) - 1;
constexpr unsigned CLOUD_URI_CAPACITY = 6 + (SETTINGS_TEXT_CAPACITY - 1) + 1 + CLOUD_HOST_MAX + 6 + 1;
constexpr unsigned GATEWAY_URI_CAPACITY = (SETTINGS_TEXT_CAPACITY - 1) + 6 + 1;

/* What a test build may change; the shipped program passes daemon_default_options(). */
struct daemon_options {
  unsigned pause_seconds;           /* pause between supervisor passes */
  unsigned keep_alive_seconds;      /* keep-alive of both connections */
  unsigned connect_timeout_seconds; /* of each connect attempt */
  unsigned stall_seconds;           /* pending cloud output without progress: lost */
  unsigned send_buffer;             /* SO_SNDBUF of the cloud socket in bytes; 0: the system's */
  const char *ca_path;              /* folder of trusted CA certificates for TLS to the cloud */
  const char *status_path;          /* the status file; nullptr or empty: none */
  const char *spool_path;           /* the spool's folder (at least once only) */
  unsigned spool_limit_kb;          /* the spool's size limit */
};

inline daemon_options daemon_default_options() {
  return daemon_options{DAEMON_PAUSE_SECONDS,
                        DAEMON_KEEP_ALIVE_SECONDS,
                        DAEMON_CONNECT_TIMEOUT_SECONDS,
                        DAEMON_STALL_SECONDS,
                        DAEMON_SEND_BUFFER,
                        NIMBA_CA_PATH,
                        NIMBA_STATUS_PATH,
                        NIMBA_SPOOL_PATH,
                        NIMBA_SPOOL_LIMIT_KB};
}

/* Where the supervisor's pass stands. */
enum pass_step {
  PASS_PAUSE,     /* waiting for the next pass */
  PASS_CLOUD,     /* connecting the cloud */
  PASS_GATEWAY,   /* connecting the gateway */
  PASS_SUBSCRIBE, /* waiting for the gateway subscription's answer */
};

/* The whole state of the daemon, owned by daemon_main. */
struct relay_daemon {
  daemon_options options;
  module_settings settings;
  char cloud_client_id[CLOUD_CLIENT_ID_CAPACITY];
  char cloud_uri[CLOUD_URI_CAPACITY];
  char gateway_uri[GATEWAY_URI_CAPACITY];
  mqtt_endpoint cloud_address, gateway_address; /* where the sessions connect */
  mqtt_session cloud, gateway;                  /* each the one record of whether its connection is up */
  relay_queue queue;                            /* documents for the cloud, as PUBLISH packets */
  char relay_out[RELAY_DOCUMENT_CAPACITY];
  uint8_t publish_head[RELAY_HEAD_CAPACITY]; /* PUBLISH head for the document in relay_out */
  uint8_t cloud_failures, gateway_failures;
  uint8_t subscribe_refusals; /* refused or unanswered subscriptions since the last granted */
  pass_step step;
  long long step_deadline; /* of the subscription's answer */
  long long next_pass_ms;
  relay_status status; /* what the status file shows the operator */
  /* At least once (the settings' qos 1): documents wait in the spool when memory is full,
   * and the gateway waits while the spool cannot take one now. */
  bool at_least_once;
  bool spool_in_use;             /* spool_open was called: the spool must be closed */
  long long spool_refused_ms;    /* the spool refused a document then (its writer was busy): the
                                    gateway waits a moment; 0 when it takes them */
  long long ack_progress_ms;     /* last acknowledgement, or the first document in flight after none */
  long long delivery_checked_ms; /* the wall clock and the delivery's figures were last looked at then */
  /* The stop reads the gateway: every document is taken (or counted as dropped). */
  bool stopping;
  unsigned stop_dropped; /* documents a stop could not keep, not yet logged */
  /* The gateway held back for the spool: counted up to held_since_ms (0 while it is not),
   * for this pass and since the start. */
  long long held_since_ms;
  uint64_t held_pass_ms, held_total_ms;
  /* Documents the spool dropped (full, or its folder lost) this pass: counted in the status
   * record as the spool reports them, logged once at the pass's end. */
  uint32_t pass_spool_full, pass_spool_lost;
  struct spool spool;
};

/* Number of the last stop signal; 0 while running. */
extern volatile sig_atomic_t stop_signal;

/* Runs the daemon: start-up, supervisor, shutdown. Returns the exit status: 1 without a
 * DEVID, 0 after a stop by signal. */
int daemon_main(int argc, char **argv, const daemon_options &options);

/* Stores the signal number in stop_signal and wakes the event loop; installed for SIGINT,
 * SIGTERM, SIGQUIT and SIGHUP (which would otherwise end the daemon without its shutdown). */
void handle_stop_signal(int signal_number);

/* The pipe whose read end the event loop polls; the stop handler writes to its other end.
 * 1 on success. */
int daemon_wake_open(int *read_fd);
void daemon_wake_close();

/* Prints the arguments after the program path: a line feed before the first, a comma
 * before each later one, each as "%c %s", then two line feeds. */
void echo_arguments(int argc, char **argv);

/* Where the cloud broker is for the settings' mode and ssl switch, with the given host
 * names: host, port and TLS into address (host cut to its capacity: 0). */
int cloud_address(const module_settings *settings, const char *quickstart_host, const char *registered_domain,
                  mqtt_endpoint *address);

/* The gateway broker: "<devip>", port 1883, no TLS. */
int gateway_address(const module_settings *settings, mqtt_endpoint *address);

/* The server URI of an address as the trace prints it: "host:port", with "ssl://" in front
 * for TLS. 1 when it fitted, 0 otherwise (buffer still terminated). */
int endpoint_uri(const mqtt_endpoint *address, char *uri, unsigned capacity);

/* Cloud client identifier and server URI for the settings' mode and ssl switch, with the
 * given host names. 1 when both fitted (always with the capacities above), 0 otherwise;
 * the buffers are then still terminated. */
int cloud_endpoint(const module_settings *settings, const char *quickstart_host,
                   const char *registered_domain, char *client_id, unsigned id_capacity, char *uri,
                   unsigned uri_capacity);

/* "<devip>:1883"; 1 when it fitted, 0 otherwise (buffer still terminated). */
int gateway_endpoint(const module_settings *settings, char *uri, unsigned uri_capacity);

/* Milliseconds of the monotonic clock, never 0 (so 0 can mean "not set"). */
long long daemon_clock_ms();

/* Sets up both sessions from the settings and addresses in d (start-up), with the relay's
 * handlers. */
void relay_sessions_init(relay_daemon *d);

/* The event loop: supervisor passes (cloud first, then the gateway while the cloud is up,
 * subscription after each gateway connect, a pause between passes), the relay, and the
 * stop request, which ends a pass at once. Returns after supervisor_shutdown: 1 after a
 * stop request, 0 when the loop itself failed. */
int supervisor_run(relay_daemon *d, int wake_fd);

/* The loop's poll (tests make it fail); nullptr restores poll. */
using daemon_poll_fn = int (*)(pollfd *fds, nfds_t count, int timeout_ms);
void daemon_set_poll(daemon_poll_fn function);

/* One step of the supervisor at now: begins the pass when it is due, and carries it on as
 * far as the sessions' answers allow (the subscription after a gateway connect, the pass's
 * end). 0 once the daemon is to stop: a stop request ends the pass at once, abandoning an
 * answer still awaited. */
int supervisor_advance(relay_daemon *d, long long now);

/* The sessions' connect results, registered as their handlers: log (failures throttled,
 * one in four to the system log) and show them in the status record. */
void cloud_connect_answered(void *context, mqtt_session *session, int rc);
void gateway_connect_answered(void *context, mqtt_session *session, int rc);

/* Takes in what the gateway had already sent (within DAEMON_GATEWAY_STOP_MS and
 * DAEMON_GATEWAY_STOP_READS) and disconnects it, then the cloud (after letting it take the
 * queued documents for up to DAEMON_DISCONNECT_TIMEOUT_MS), whatever their connected flags
 * say, and frees both sessions. */
void supervisor_shutdown(relay_daemon *d);
