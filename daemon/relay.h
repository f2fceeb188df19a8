/* The six MQTT callbacks of the relay, and the publisher thread that sends the queued
 * documents to the cloud. */
#pragma once
#include <MQTTClient.h>
#include <cstdint>

#include "relay_queue.h"

constexpr const char *CLOUD_PUBLISH_TOPIC = "iot-2/evt/status/fmt/json";
/* Bytes a publish packet adds to its document: fixed header, topic and its length. */
constexpr uint32_t CLOUD_PACKET_OVERHEAD = 5 + 2 + 25;

/* Documents on their way from the gateway callback to the publisher thread. */
extern relay_queue cloud_queue;

void cloud_connection_lost(void *context, char *cause);
int cloud_message_arrived(void *context, char *topic, int topic_length, MQTTClient_message *message);
void cloud_delivery_complete(void *context, MQTTClient_deliveryToken token);

void gateway_connection_lost(void *context, char *cause);
/* Transforms the message into the cloud document and publishes it at once when the
 * publisher is idle and the cloud socket takes it without waiting; otherwise queues it, so
 * a stalled cloud link cannot hold up the client library's callback thread. */
int gateway_message_arrived(void *context, char *topic, int topic_length, MQTTClient_message *message);
void gateway_delivery_complete(void *context, MQTTClient_deliveryToken token);

/* Stores the cloud connection state and lets the publisher run or wait accordingly; a lost
 * connection forgets the cloud socket. */
void cloud_set_connected(bool connected);

/* The socket of the cloud connection just made (-1: unknown, documents then always go
 * through the queue). Set before cloud_set_connected(true). */
void relay_set_cloud_socket(int fd);

/* The room check publish_at_once uses; socket_takes unless a test replaces it. */
void relay_set_room_check(int (*room)(int fd, uint32_t length));

/* 1 when the gateway callback has been inside a publish of its own for longer than limit_ms:
 * the kernel took only part of the packet after all (it can refuse memory when the whole
 * system runs short), and the client library waits for the rest, which only its thread,
 * the one running the callback, would write. Closing the cloud connection ends that wait. */
int relay_publish_stuck(long long limit_ms);

/* 1 when the TCP socket fd takes a write of length bytes in full at once (its send buffer
 * has room for it with a margin); 0 when it may not, for a descriptor that is no socket,
 * and on a kernel that does not report a socket's memory (before Linux 4.6). */
int socket_takes(int fd, uint32_t length);

/* Before the gateway client is disconnected (which frees the messages the client library
 * still holds): from now on gateway_message_arrived leaves each message untouched to the
 * library (result 0). Waits up to timeout_ms (< 0: for good) until no call is handling a
 * message: 1 then, 0 when one still is (a publish of its own held up; see
 * relay_publish_stuck), and a later call waits again. */
int relay_close_gateway(int timeout_ms);

/* After that disconnect, before the destroy: returns once no call of
 * gateway_message_arrived is running any more. */
void relay_gateway_disconnected();

/* Opens the queue and starts the publisher thread; 1 on success, 0 when the thread could
 * not be started. */
int relay_start();

/* Closes the queue and wakes the publisher; documents still queued are dropped. Then waits
 * up to timeout_ms (< 0: for good) for the publisher's end. 1 once it has ended (or never
 * ran), 0 while it is still inside a publish that a stalled cloud link holds up: closing
 * the cloud connection ends that publish, and a second call then collects the thread. */
int relay_stop(int timeout_ms);
