/* Start-up of the relay daemon: system log, arguments, settings, endpoints, clients. */
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "daemon.h"
#include "relay.h"
#include "settings/log.h"
#include "settings/text.h"

module_settings daemon_settings;
volatile sig_atomic_t stop_signal;
std::atomic<bool> cloud_connected{false};
std::atomic<bool> gateway_connected{false};
MQTTClient cloud_client;
MQTTClient gateway_client;
char cloud_uri[CLOUD_URI_CAPACITY];
char gateway_uri[GATEWAY_URI_CAPACITY];

namespace {

/* Connect options keep pointers into these for the whole run. */
char cloud_client_id[CLOUD_CLIENT_ID_CAPACITY];
MQTTClient_connectOptions cloud_opts;
MQTTClient_connectOptions gateway_opts;
MQTTClient_SSLOptions cloud_ssl_opts;

/* A terminal gets each line at once; a log file gets blocks, flushed at the points where
 * the daemon settles (after start-up, after each supervisor pass, at the end). */
void stdout_buffering() {
  if (isatty(STDOUT_FILENO)) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

/* The stop signals run handle_stop_signal (no SA_RESTART, so a wait is interrupted) and
 * stay blocked except while the supervisor pauses, so that every thread the daemon or the
 * client library starts inherits the block and the signal always reaches the pause. */
void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = handle_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGQUIT, &action, nullptr);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
}

void create_cloud_client(const daemon_options &options) {
  MQTTClient_create(&cloud_client, cloud_uri, cloud_client_id, MQTTCLIENT_PERSISTENCE_NONE,
                    nullptr);
  cloud_opts.keepAliveInterval = static_cast<int>(options.keep_alive_seconds);
  cloud_opts.cleansession = 1;
  if (daemon_settings.mode == 1) {
    cloud_opts.username = CLOUD_USER_NAME;
    cloud_opts.password = daemon_settings.authtoken;
  }
  if (daemon_settings.ssl) {
    /* The token travels inside the TLS session, so the broker must prove who it is. */
    cloud_ssl_opts.enableServerCertAuth = 1;
    cloud_ssl_opts.verify = 1;
    cloud_ssl_opts.CApath = options.ca_path;
    cloud_opts.ssl = &cloud_ssl_opts;
  }
  MQTTClient_setCallbacks(cloud_client, nullptr, cloud_connection_lost, cloud_message_arrived,
                          cloud_delivery_complete);
}

void create_gateway_client(const daemon_options &options) {
  MQTTClient_create(&gateway_client, gateway_uri, GATEWAY_CLIENT_ID,
                    MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  gateway_opts.keepAliveInterval = static_cast<int>(options.keep_alive_seconds);
  gateway_opts.cleansession = 1;
  MQTTClient_setCallbacks(gateway_client, nullptr, gateway_connection_lost,
                          gateway_message_arrived, gateway_delivery_complete);
}

} // namespace

void handle_stop_signal(int signal_number) { stop_signal = signal_number; }

void echo_arguments(int argc, char **argv) {
  for (int i = 1; i < argc; i++) std::printf("%c %s", i == 1 ? '\n' : ',', argv[i]);
  std::puts("\n");
}

int cloud_endpoint(const module_settings *settings, const char *quickstart_host,
                   const char *registered_domain, char *client_id, unsigned id_capacity,
                   char *uri, unsigned uri_capacity) {
  const char *scheme = settings->ssl ? CLOUD_TLS_SCHEME : "";
  int port = settings->ssl ? CLOUD_TLS_PORT : CLOUD_PORT;
  int id_length, uri_length;
  if (settings->mode == 1) {
    id_length = std::snprintf(client_id, id_capacity, "d:%s:%s:%s", settings->orgid,
                              settings->dtypeid, settings->devid);
    uri_length = std::snprintf(uri, uri_capacity, "%s%s.%s:%d", scheme, settings->orgid,
                               registered_domain, port);
  } else {
    id_length = std::snprintf(client_id, id_capacity, "d:quickstart:zunquo:%s", settings->devid);
    uri_length = std::snprintf(uri, uri_capacity, "%s%s:%d", scheme, quickstart_host, port);
  }
  return id_length >= 0 && static_cast<unsigned>(id_length) < id_capacity && uri_length >= 0 &&
         static_cast<unsigned>(uri_length) < uri_capacity;
}

int gateway_endpoint(const module_settings *settings, char *uri, unsigned uri_capacity) {
  int length = std::snprintf(uri, uri_capacity, "%s:%d", settings->devip, GATEWAY_PORT);
  return length >= 0 && static_cast<unsigned>(length) < uri_capacity;
}

int daemon_main(int argc, char **argv, const daemon_options &options) {
  int status = 1;
  stdout_buffering();
  MQTTClient_connectOptions connect_initial = MQTTClient_connectOptions_initializer;
  connect_initial.struct_version = 4;
  MQTTClient_SSLOptions ssl_initial = MQTTClient_SSLOptions_initializer;
  cloud_opts = connect_initial;
  gateway_opts = connect_initial;
  cloud_ssl_opts = ssl_initial;

  /* OpenSSL initialises itself when the first TLS connection needs it; the client library's
   * own eager set-up (every algorithm and error text loaded at start) costs about 1 MB of
   * resident memory that a daemon without TLS never uses. */
  MQTTClient_init_options library_init = MQTTClient_init_options_initializer;
  library_init.do_openssl_init = 0;
  MQTTClient_global_init(&library_init);

  log_set_echo(LOG_ECHO_BY_PRIORITY);
  log_open(argc > 0 ? argv[0] : "nimba_vezidozu");
  log_msg(LOG_NOTICE, "Started.");
  echo_arguments(argc, argv);

  if (argc >= 2) {
    install_signal_handlers();
    settings_load(&daemon_settings);
    copy_fold(daemon_settings.devid, SETTINGS_TEXT_CAPACITY, argv[1], -1);
    copy_fold(daemon_settings.devip, SETTINGS_TEXT_CAPACITY, argc > 2 ? argv[2] : nullptr, 0);
    settings_print(&daemon_settings);

    /* The capacities are derived from the longest texts, so these cannot cut anything. */
    cloud_endpoint(&daemon_settings, NIMBA_QUICKSTART_HOST, NIMBA_REGISTERED_DOMAIN,
                   cloud_client_id, sizeof cloud_client_id, cloud_uri, sizeof cloud_uri);
    std::printf("NIMBA URL:    '%s'\n", cloud_uri);
    std::printf("NIMBA Client: '%s'\n", cloud_client_id);
    create_cloud_client(options);

    gateway_endpoint(&daemon_settings, gateway_uri, sizeof gateway_uri);
    std::printf("IoT Gateway URL:    '%s'\n", gateway_uri);
    std::printf("IoT Gateway Client: '%s'\n", GATEWAY_CLIENT_ID);
    create_gateway_client(options);
    std::fflush(stdout);

    relay_set_room_check(options.socket_room);
    if (relay_start()) {
      supervisor_run(&cloud_opts, &gateway_opts, options.pause_seconds);
      status = 0;
    } else {
      log_msg(LOG_ERR, "Failed to start the publisher thread.");
      supervisor_shutdown();
    }
  }

  log_msg(LOG_NOTICE, "Stopped.");
  std::fflush(stdout);
  log_close();
  return status;
}
