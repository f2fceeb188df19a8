/* MQTT callbacks of both clients and the cloud publisher thread. */
#include "relay.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "daemon.h"
#include "daemon/json_transform/json_transform.h"
#include "settings/log.h"

relay_queue cloud_queue;

namespace {

/* Shutdown of the gateway side. Disconnecting the gateway client frees the messages still
 * queued in the client library, the one a running gateway_message_arrived reads included,
 * and destroying it frees what the library's thread uses right after a callback returns.
 * So: no call may be handling a message during the disconnect, and none may be inside the
 * callback at all during the destroy. A call that comes while closing waits (without the
 * library's lock, which the disconnect needs) until the disconnect is done or a moment has
 * passed, and then leaves the message to the library. */
std::mutex gateway_gate;
std::condition_variable gateway_changed;
bool gateway_closing;
bool gateway_disconnected;
unsigned gateway_busy;   /* calls handling a message */
unsigned gateway_parked; /* calls waiting while closing */

constexpr int GATEWAY_SETTLE_MS = 20;
constexpr int GATEWAY_PARK_MS = 100;

/* Output of the transformation; only the gateway callback uses it, one message at a time. */
char relay_out[RELAY_DOCUMENT_CAPACITY];
/* The document being published; only the publisher thread uses it. */
relay_document publish_document;
pthread_t publisher;
bool publisher_running;

void release_message(MQTTClient_message **message, char *topic) {
  MQTTClient_freeMessage(message);
  MQTTClient_free(topic);
}

/* Socket of the cloud connection while it is up, -1 otherwise. */
std::atomic<int> cloud_socket{-1};
int (*room_check)(int fd, uint32_t length) = socket_takes;
/* Monotonic start (ms, never 0) of the gateway callback's own publish; 0 while none runs. */
std::atomic<long long> publishing_since{0};

void publish(char *data, uint32_t length) {
  MQTTClient_message record = MQTTClient_message_initializer;
  MQTTClient_deliveryToken token = 0;
  record.payload = data;
  record.payloadlen = static_cast<int>(length);
  record.qos = daemon_settings.qos;
  record.retained = 0;
  int rc = MQTTClient_publishMessage(cloud_client, CLOUD_PUBLISH_TOPIC, &record, &token);
  if (rc == MQTTCLIENT_SUCCESS) {
    log_msg(LOG_DEBUG, "Message sent to NIMBA.");
  } else {
    log_msg(LOG_DEBUG, "Failed to send message to NIMBA (RC=%i).", rc);
  }
}

void *publish_loop(void *) {
  while (relay_queue_pop(&cloud_queue, &publish_document)) {
    publish(publish_document.data, publish_document.length);
    relay_queue_release(&cloud_queue);
  }
  return nullptr;
}

/* Publishes the document from the gateway callback itself when that cannot block: the
 * publisher is idle with nothing queued (so the order holds), the cloud is connected, and
 * its socket takes the whole packet at once. A QoS 0 publish that the kernel takes whole
 * returns at once; one it takes only in part waits in the client library for the library's
 * own thread, the one running this callback, to write the rest, which it never does (see
 * relay_publish_stuck). Every other case goes through the queue and the publisher thread.
 * Saves the publisher's wake-up per message, and a cloud link that keeps up now slows the
 * gateway side down instead of the queue dropping documents. */
bool publish_at_once(char *data, uint32_t length) {
  if (daemon_settings.qos != 0 || !relay_queue_claim(&cloud_queue)) return false;
  bool room = room_check(cloud_socket.load(), length + CLOUD_PACKET_OVERHEAD) != 0;
  if (room) {
    publishing_since = daemon_clock_ms();
    publish(data, length);
    publishing_since = 0;
  }
  relay_queue_release(&cloud_queue);
  return room;
}

} // namespace

int socket_takes(int fd, uint32_t length) {
  if (fd < 0) return 0;
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof info;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &size) != 0 ||
      size < (SK_MEMINFO_WMEM_QUEUED + 1) * sizeof info[0])
    return 0;
  /* The kernel takes a write while the memory queued for sending is below the send buffer,
   * checked again for each segment buffer it starts: twice the length plus a margin covers
   * the buffers' own overhead for a few segments. */
  const uint64_t needed = static_cast<uint64_t>(info[SK_MEMINFO_WMEM_QUEUED]) + 2ull * length + 8192;
  return needed <= info[SK_MEMINFO_SNDBUF] ? 1 : 0;
}

void relay_set_cloud_socket(int fd) { cloud_socket = fd; }

void relay_set_room_check(int (*room)(int fd, uint32_t length)) {
  room_check = room != nullptr ? room : socket_takes;
}

int relay_publish_stuck(long long limit_ms) {
  long long since = publishing_since.load();
  return since != 0 && daemon_clock_ms() - since > limit_ms ? 1 : 0;
}

void cloud_set_connected(bool connected) {
  if (!connected) cloud_socket = -1;
  cloud_connected = connected;
  relay_queue_set_ready(&cloud_queue, connected);
}

void cloud_connection_lost(void *, char *cause) {
  cloud_set_connected(false);
  if (cause != nullptr) {
    log_msg(LOG_NOTICE, "Connection to NIMBA lost (cause='%s').", cause);
  } else {
    log_msg(LOG_NOTICE, "Connection to NIMBA lost.");
  }
}

void gateway_connection_lost(void *, char *cause) {
  gateway_connected = false;
  if (cause != nullptr) {
    log_msg(LOG_NOTICE, "Connection to IoT Gateway lost (cause='%s').", cause);
  } else {
    log_msg(LOG_NOTICE, "Connection to IoT Gateway lost.");
  }
}

void cloud_delivery_complete(void *, MQTTClient_deliveryToken token) {
  log_msg(LOG_DEBUG, "Message sent to NIMBA (token=%d).", token);
}

void gateway_delivery_complete(void *, MQTTClient_deliveryToken token) {
  log_msg(LOG_DEBUG, "Message sent to IoT Gateway (token=%d).", token);
}

int cloud_message_arrived(void *, char *topic, int, MQTTClient_message *message) {
  log_msg(LOG_DEBUG, "Message arrived from NIMBA.");
  std::puts("Message arrived");
  std::printf("     topic: %s\n", topic);
  std::fputs("   message: ", stdout);
  const char *payload = static_cast<const char *>(message->payload);
  for (int i = 0; i < message->payloadlen; i++) std::putchar(payload[i]);
  std::putchar('\n');
  release_message(&message, topic);
  return 1;
}

int gateway_message_arrived(void *, char *topic, int topic_length, MQTTClient_message *message) {
  {
    std::unique_lock<std::mutex> guard(gateway_gate);
    if (gateway_closing) {
      gateway_parked++;
      gateway_changed.wait_for(guard, std::chrono::milliseconds(GATEWAY_PARK_MS),
                               [] { return gateway_disconnected; });
      gateway_parked--;
      guard.unlock();
      gateway_changed.notify_all();
      return 0; /* untouched: the library keeps it, and frees it on the disconnect */
    }
    gateway_busy++;
  }
  log_msg(LOG_DEBUG, "Message arrived from IoT Gateway.");
  uint32_t payload_length = message->payloadlen > 0 ? static_cast<uint32_t>(message->payloadlen) : 0;
  const char *payload = payload_length > 0 ? static_cast<const char *>(message->payload) : "";
  uint32_t topic_size = topic_length > 0 ? static_cast<uint32_t>(topic_length)
                                         : static_cast<uint32_t>(std::strlen(topic));
  uint32_t n = json_transform(payload, payload_length, topic_size, topic,
                              RELAY_DOCUMENT_CAPACITY, relay_out);
  if (n > RELAY_DOCUMENT_CAPACITY) {
    log_msg(LOG_DEBUG, "The message did not fit into the provided buffer.");
  } else if (n > 0) {
    std::printf("'%.*s'\n", static_cast<int>(n), relay_out);
    if (!publish_at_once(relay_out, n)) relay_queue_push(&cloud_queue, relay_out, n);
  }
  release_message(&message, topic);
  {
    std::lock_guard<std::mutex> guard(gateway_gate);
    /* Only shutdown waits for the last call; in normal running nobody is to be woken. */
    if (--gateway_busy == 0 && gateway_closing) gateway_changed.notify_all();
  }
  return 1;
}

int relay_close_gateway(int timeout_ms) {
  {
    std::unique_lock<std::mutex> guard(gateway_gate);
    gateway_closing = true;
    auto idle = [] { return gateway_busy == 0; };
    if (timeout_ms < 0) {
      gateway_changed.wait(guard, idle);
    } else if (!gateway_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), idle)) {
      return 0;
    }
  }
  /* The last call has returned; the library's thread needs a moment to take that message
   * off its queue. */
  usleep(GATEWAY_SETTLE_MS * 1000);
  return 1;
}

void relay_gateway_disconnected() {
  {
    std::unique_lock<std::mutex> guard(gateway_gate);
    gateway_disconnected = true;
    gateway_changed.notify_all();
    gateway_changed.wait(guard, [] { return gateway_parked == 0; });
  }
  usleep(GATEWAY_SETTLE_MS * 1000);
}

int relay_start() {
  {
    std::lock_guard<std::mutex> guard(gateway_gate);
    gateway_closing = false;
    gateway_disconnected = false;
  }
  relay_queue_reset(&cloud_queue);
  relay_queue_set_ready(&cloud_queue, cloud_connected);
  publisher_running = pthread_create(&publisher, nullptr, publish_loop, nullptr) == 0;
  return publisher_running ? 1 : 0;
}

int relay_stop(int timeout_ms) {
  relay_queue_close(&cloud_queue);
  if (!publisher_running) return 1;
  if (timeout_ms < 0) {
    pthread_join(publisher, nullptr);
  } else {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const long long end_ns = deadline.tv_nsec + static_cast<long long>(timeout_ms) * 1000000;
    deadline.tv_sec += static_cast<time_t>(end_ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(end_ns % 1000000000);
    /* A publish held by a stalled cloud link ends only with the disconnect that follows. */
    if (pthread_timedjoin_np(publisher, nullptr, &deadline) != 0) return 0;
  }
  publisher_running = false;
  return 1;
}
