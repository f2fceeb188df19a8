/* Numbered flows for loss tests: a generator that publishes {"n":i} (with optional filler)
 * on the gateway at a steady pace, and the reading of the numbers from relayed documents. */
#pragma once
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "broker.h"
#include "wait.h"

/* Sequence number of a relayed flow document {"d":{"<prefix>n":N}} or {"d":{"<prefix>n":N,
 * ...}}, -1 if it is not one. */
inline long flow_number(const std::string &payload, const std::string &prefix) {
  const std::string head = "{\"d\":{\"" + prefix + "n\":";
  if (payload.compare(0, head.size(), head) != 0 || payload.size() < head.size() + 3 ||
      payload.compare(payload.size() - 2, 2, "}}") != 0)
    return -1;
  const size_t end = payload.find_first_not_of("0123456789", head.size());
  if (end == head.size() || end == std::string::npos || (payload[end] != '}' && payload[end] != ','))
    return -1;
  return std::stol(payload.substr(head.size(), end - head.size()));
}

/* Publishes {"n":i} (and "f" with filler bytes when given) at the QoS on the gateway every
 * interval_us (0: flat out) from its own client until stopped, at most limit messages and
 * two minutes, and reconnects that client when the gateway broker went away. A number counts
 * as published once the library took it (QoS 0) or the broker acknowledged it (QoS 1). */
struct message_flow {
  std::atomic<bool> running{true};
  std::atomic<long> published{0};
  std::thread worker;

  void start(const std::string &gateway_uri, const std::string &topic, unsigned interval_us = 2000,
             long limit = 60000, const std::string &filler = "", int qos = 0) {
    worker = std::thread([this, gateway_uri, topic, interval_us, limit, filler, qos] {
      test_client client;
      bool connected = client_connect(&client, gateway_uri, "flow");
      const long long deadline = monotonic_ms() + 120000;
      for (long n = 0; running && n < limit && monotonic_ms() < deadline;) {
        if (!connected) {
          /* The gateway broker is away: try again until it listens. */
          wait_until(
              [&] {
                client_close(&client);
                connected = client_connect(&client, gateway_uri, "flow");
                return connected || !running;
              },
              1000);
          continue;
        }
        const std::string payload =
            "{\"n\":" + std::to_string(n) + (filler.empty() ? "" : ",\"f\":\"" + filler + "\"") + "}";
        if (client_publish(&client, topic, payload, qos) == 0) {
          published = ++n;
        } else {
          connected = false;
        }
        if (interval_us > 0) usleep(interval_us); /* the flow's pace, not a wait */
      }
      client_close(&client);
    });
  }
  void stop() {
    running = false;
    if (worker.joinable()) worker.join();
  }
  ~message_flow() { stop(); }
};
