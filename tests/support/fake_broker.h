/* A scripted MQTT broker for fault tests: it accepts one client at a time on a loopback
 * address, answers by its script (or does not), can send raw bytes, and counts what the
 * client sent. Its work runs on a thread of its own. */
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct fake_script {
  int connack = 0;           /* CONNACK return code; -1: never answer the CONNECT */
  int suback = 0;            /* SUBACK code (0x80 refuses); -1: never answer a SUBSCRIBE */
  bool answer_pings = true;  /* PINGRESP for each PINGREQ */
  std::string after_connack; /* raw bytes sent right after the CONNACK */
  std::string after_suback;  /* raw bytes sent right after the SUBACK */
  uint32_t huge_publish = 0; /* after the SUBACK: a PUBLISH on QZ/big/x of this remaining
                                length, sent whole in 1 MiB blocks */
  std::string after_huge;    /* raw bytes sent after the huge PUBLISH */
  bool acknowledge = false;  /* PUBACK for each QoS 1 PUBLISH */
};

struct fake_counts {
  unsigned connections, connects, subscribes, pings, publishes, disconnects;
};

/* What the client asked for last: its CONNECT's flags byte and client identifier, and the
 * QoS of its SUBSCRIBE's first filter (-1 before one came). */
struct fake_requests {
  int connect_flags = -1;
  std::string client_id;
  int subscribe_qos = -1;
};

struct fake_broker {
  fake_script script;
  int listener = -1;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::atomic<bool> reading{true}; /* false: takes nothing from the client (its buffers fill) */
  std::mutex lock;
  fake_counts counts{};
  fake_requests requests;
  std::vector<std::string> payloads; /* of the PUBLISH packets received, in order */
};

/* Listens on address:port and starts serving by the script; 1 on success. */
int fake_broker_start(fake_broker *broker, const std::string &address, int port, const fake_script &script);
/* Stops serving and closes everything; safe to call twice. */
void fake_broker_stop(fake_broker *broker);
fake_counts fake_broker_counts(fake_broker *broker);
fake_requests fake_broker_requests(fake_broker *broker);
/* The payloads of the PUBLISH packets received so far. */
std::vector<std::string> fake_broker_payloads(fake_broker *broker);
/* Stops or resumes reading from the client. A client replaced by a new connection, or gone,
 * is read to its end first, so nothing its TCP acknowledged is missed. */
void fake_broker_reading(fake_broker *broker, bool reading);
/* Waits until pick(counts) reaches at least value; 1 when it did in time. */
int fake_broker_wait(fake_broker *broker, unsigned fake_counts::*field, unsigned value, int timeout_ms);

/* A PUBLISH packet as bytes (QoS 1 and 2 with the packet identifier id), for the raw parts
 * of a script and for tests that play a broker. */
std::string mqtt_publish_bytes(const std::string &topic, const std::string &payload, int qos = 0,
                               uint16_t id = 0);
