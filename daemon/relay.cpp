/* The relay's handlers: from the gateway into the cloud queue, and what the cloud says. */
#include "relay.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "daemon/json_transform/json_transform.h"
#include "settings/log.h"

namespace {

relay_daemon *owner(void *context) { return static_cast<relay_daemon *>(context); }

bool cloud_up(const relay_daemon *d) { return session_state(&d->cloud) == SESSION_UP; }

/* A topic the relay can reshape truthfully: under QZ/, without a NUL inside its length and
 * without the wildcards no broker may send in a PUBLISH. */
bool relayable_topic(const char *topic, uint32_t length) {
  if (topic == nullptr || length < 3 || std::memcmp(topic, "QZ/", 3) != 0) return false;
  for (uint32_t i = 0; i < length; i++)
    if (topic[i] == '\0' || topic[i] == '+' || topic[i] == '#') return false;
  return true;
}

/* "Connection to ... lost (cause='...')." with the session's reason; the short form without. */
void log_lost(const char *side, const mqtt_session *session) {
  const char *cause = session_reason(session);
  if (cause[0] != '\0') {
    log_msg(LOG_NOTICE, "Connection to %s lost (cause='%s').", side, cause);
  } else {
    log_msg(LOG_NOTICE, "Connection to %s lost.", side);
  }
}

/* Transforms the message and queues its document; what became of it goes to the status
 * record. */
void relay_message(relay_daemon *d, const mqtt_publish *message) {
  relay_status *status = &d->status;
  if (message->payload == nullptr && message->payload_length > 0) {
    log_msg(LOG_DEBUG, "The message did not fit into the provided buffer.");
    status_count(status, STATUS_TOO_LARGE);
    return;
  }
  if (!relayable_topic(message->topic, message->topic_length)) {
    log_msg(LOG_DEBUG, "The message's topic cannot be relayed (not under QZ/, or with a NUL, '+' or '#').");
    status_count(status, STATUS_NOT_JSON);
    return;
  }
  const char *payload = message->payload_length > 0 ? reinterpret_cast<const char *>(message->payload) : "";
  const uint32_t n = json_transform(payload,
                                    message->payload_length,
                                    message->topic_length,
                                    message->topic,
                                    RELAY_DOCUMENT_CAPACITY,
                                    d->relay_out);
  if (n > RELAY_DOCUMENT_CAPACITY) {
    log_msg(LOG_DEBUG, "The message did not fit into the provided buffer.");
    status_count(status, STATUS_TOO_LARGE);
    return;
  }
  if (n == 0) {
    status_count(status, STATUS_NOT_JSON);
    return;
  }
  std::printf("'%.*s'\n", static_cast<int>(n), d->relay_out);
  const uint32_t head = mqtt_encode_publish_head(d->publish_head,
                                                 sizeof d->publish_head,
                                                 CLOUD_PUBLISH_TOPIC,
                                                 static_cast<uint32_t>(std::strlen(CLOUD_PUBLISH_TOPIC)),
                                                 n);
  unsigned dropped = 0;
  relay_queue_push(&d->queue, d->publish_head, head, d->relay_out, n, &dropped);
  status_count(status, STATUS_DROPPED, dropped);
}

} // namespace

void cloud_connection_lost(void *context, mqtt_session *session, uint64_t unacknowledged) {
  relay_daemon *d = owner(context);
  status_side_set(&d->status, &d->status.cloud, STATUS_DOWN, daemon_clock_ms());
  const unsigned lost = relay_queue_lost(&d->queue, unacknowledged);
  if (lost > 0) {
    status_lost(&d->status, lost);
    log_msg(LOG_WARNING, "Lost %u messages for NIMBA with the connection.", lost);
  }
  /* The new connection gets a partly written document whole. */
  relay_queue_rewind(&d->queue);
  log_lost("NIMBA", session);
}

void gateway_connection_lost(void *context, mqtt_session *session, uint64_t) {
  relay_daemon *d = owner(context);
  status_side_set(&d->status, &d->status.gateway, STATUS_DOWN, daemon_clock_ms());
  log_lost("IoT Gateway", session);
}

void cloud_delivery_complete(void *, mqtt_session *, uint16_t packet_id) {
  log_msg(LOG_DEBUG, "Message sent to NIMBA (token=%d).", packet_id);
}

int cloud_message_arrived(void *, mqtt_session *, const mqtt_publish *message) {
  log_msg(LOG_DEBUG, "Message arrived from NIMBA.");
  std::puts("Message arrived");
  std::printf("     topic: %.*s\n",
              message->topic != nullptr ? message->topic_length : 0,
              message->topic != nullptr ? message->topic : "");
  std::fputs("   message: ", stdout);
  if (message->payload != nullptr) std::fwrite(message->payload, 1, message->payload_length, stdout);
  std::putchar('\n');
  return 1;
}

int gateway_message_arrived(void *context, mqtt_session *, const mqtt_publish *message) {
  relay_daemon *d = owner(context);
  if (cloud_up(d) && relay_queue_full(&d->queue)) return 0;
  log_msg(LOG_DEBUG, "Message arrived from IoT Gateway.");
  status_count(&d->status, STATUS_RECEIVED);
  relay_message(d, message);
  return 1;
}

unsigned cloud_output_gather(void *context, iovec *pieces, unsigned max) {
  return relay_queue_gather(&owner(context)->queue, pieces, max);
}

void cloud_output_written(void *context, uint32_t bytes) {
  relay_daemon *d = owner(context);
  const unsigned sent = relay_queue_written(&d->queue, bytes);
  for (unsigned i = 0; i < sent; i++) log_msg(LOG_DEBUG, "Message sent to NIMBA.");
  status_count(&d->status, STATUS_PUBLISHED, sent);
}

void relay_gateway_flow(relay_daemon *d) {
  session_pause(&d->gateway, cloud_up(d) && relay_queue_full(&d->queue));
}

void relay_report_unsent(relay_daemon *d) {
  const unsigned unsent = relay_queue_clear(&d->queue);
  for (unsigned i = 0; i < unsent; i++)
    log_msg(LOG_DEBUG, "Failed to send message to NIMBA (RC=%i).", RELAY_RC_DISCONNECTED);
  if (unsent > 0) log_msg(LOG_WARNING, "Failed to send %u messages to NIMBA at shutdown.", unsent);
}
