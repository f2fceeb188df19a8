/* Test support: mosquitto brokers on loopback addresses, a test certificate authority,
 * and a small MQTT client for publishing and collecting messages. */
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

/* A certificate authority made with openssl in a temporary folder. */
struct test_ca {
  std::string folder;
  std::string cert_path; /* ca.pem */
  std::string key_path;
  std::string hashed_dir; /* folder holding ca.pem with its hash link, for a CApath */
};

/* Creates a CA with the given common name; 1 on success. */
int ca_create(test_ca *ca, const std::string &common_name);
void ca_remove(test_ca *ca);

/* Issues a server certificate for the DNS name (subjectAltName) into the folder as
 * <stem>.pem and <stem>.key; 1 on success. */
int ca_issue_server(const test_ca *ca, const std::string &dns_name, const std::string &folder,
                    const std::string &stem);
/* The same with any subjectAltName ("DNS:name", "IP:127.1.2.3") and validity in days from
 * now (negative: expired that many days ago). */
int ca_issue_certificate(const test_ca *ca, const std::string &alt_name, int days, const std::string &folder,
                         const std::string &stem);

/* A server certificate that becomes valid only tomorrow (a device whose clock is behind). */
int ca_issue_not_yet_valid(const test_ca *ca, const std::string &alt_name, const std::string &folder,
                           const std::string &stem);

struct broker_config {
  std::string address; /* 127.x.y.z */
  int port = 1883;
  std::vector<std::pair<std::string, std::string>> users; /* password file; anonymous if empty */
  bool tls = false;                                       /* adds a TLS listener on tls_port */
  int tls_port = 8883;
  std::string tls_cert, tls_key; /* server certificate and key for the TLS listener */
  std::string extra_config;      /* further mosquitto.conf lines, each ended by a line feed */
};

struct test_broker {
  broker_config setup;
  std::string folder; /* configuration, password file, log */
  std::string config_path;
  child_process process;
};

/* A broker at address with a TLS listener that serves the certificate "server" issued into
 * the CA's folder. */
broker_config tls_broker_config(const std::string &address, const test_ca &ca);

/* Writes the configuration and starts the broker; 1 once it accepts connections. */
int broker_start(test_broker *broker, const broker_config &setup);
/* Starts it again with the same configuration (after a stop or kill). */
int broker_restart(test_broker *broker);
/* SIGTERM and wait. */
void broker_stop(test_broker *broker);
/* SIGKILL and wait. */
void broker_kill(test_broker *broker);
/* SIGSTOP / SIGCONT. */
void broker_pause(test_broker *broker);
void broker_resume(test_broker *broker);
/* Stops it and removes its folder. */
void broker_remove(test_broker *broker);
/* "tcp://address:port". */
std::string broker_uri(const test_broker *broker);
/* How often the broker's log shows the daemon's subscription to QZ/# (client CID), at QoS 0
 * or QoS 1. */
unsigned broker_gateway_subscriptions(test_broker *broker);

/* A listening socket that accepts TCP but never answers: a client's connect to it lasts
 * its whole connect timeout. Closed when the record goes out of scope. */
struct silent_listener {
  int fd = -1;
  ~silent_listener();
};
/* Binds and listens on the address and port; 1 on success. */
int silent_listener_open(silent_listener *listener, const std::string &address, int port);

/* Waits until a TCP connect to the address and port succeeds; 1 when it did in time. */
int wait_port_open(const std::string &address, int port, int timeout_ms);

struct received_message {
  std::string topic;
  std::string payload;
  int qos;
  int retained;
};

/* An MQTT client on libmosquitto (an implementation independent of the daemon's own), its
 * network loop on a thread of its own; no automatic reconnect. */
struct test_client {
  struct mosquitto *handle = nullptr;
  std::thread loop;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<received_message> messages;
  bool lost = false;
  int connack = -1;              /* the broker's answer to the connect; -1 none yet */
  std::vector<int> acknowledged; /* message ids whose SUBACK, PUBACK or PUBCOMP came */
};

/* Connects a clean-session client; user and password may be empty. 1 on success. */
int client_connect(test_client *client, const std::string &uri, const std::string &client_id,
                   const std::string &user = std::string(), const std::string &password = std::string());
int client_subscribe(test_client *client, const std::string &filter, int qos);
/* Publishes; for QoS 0 returns once the library accepted it, for QoS 1 and 2 once the
 * broker acknowledged it (5 s at most). 0 on success. */
int client_publish(test_client *client, const std::string &topic, const std::string &payload, int qos = 0,
                   int retained = 0);
/* Disconnects the client, ends its loop thread and destroys it. */
void client_close(test_client *client);
/* Waits until at least count messages arrived; 1 when they did in time. */
int client_wait_count(test_client *client, size_t count, int timeout_ms);
std::vector<received_message> client_messages(test_client *client);
/* Number of messages received so far (no copy). */
size_t client_message_count(test_client *client);
