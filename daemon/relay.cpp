/* Callbacks of both sessions: the relay from the gateway into the cloud queue. */
#include "relay.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "daemon/json_transform/json_transform.h"
#include "settings/log.h"

namespace {

relay_daemon *owner(void *context) { return static_cast<relay_daemon *>(context); }

/* The session's reason for the loss; nullptr when it has none (the short log form). */
const char *cause_of(const mqtt_session *session) {
  const char *reason = session_reason(session);
  return reason[0] != '\0' ? reason : nullptr;
}

/* A topic the relay can reshape truthfully: under QZ/, without a NUL inside its length and
 * without the wildcards no broker may send in a PUBLISH. */
bool relayable_topic(const char *topic, uint32_t length) {
  if (topic == nullptr || length < 3 || std::memcmp(topic, "QZ/", 3) != 0) return false;
  for (uint32_t i = 0; i < length; i++)
    if (topic[i] == '\0' || topic[i] == '+' || topic[i] == '#') return false;
  return true;
}

void cloud_answer(void *context, mqtt_session *, int rc) { supervisor_cloud_answered(owner(context), rc); }

void gateway_answer(void *context, mqtt_session *, int rc) {
  supervisor_gateway_answered(owner(context), rc);
}

void answer_subscribe(void *context, mqtt_session *, int code) { owner(context)->subscribe_rc = code; }

void cloud_lost(void *context, mqtt_session *session, uint64_t unacknowledged) {
  relay_daemon *d = owner(context);
  relay_count_lost(d, unacknowledged);
  cloud_connection_lost(d, cause_of(session));
}

void gateway_lost(void *context, mqtt_session *session, uint64_t) {
  gateway_connection_lost(owner(context), cause_of(session));
}

int cloud_message(void *context, mqtt_session *, const mqtt_publish *message) {
  return cloud_message_arrived(owner(context), message->topic, message->topic_length, message);
}

int gateway_message(void *context, mqtt_session *, const mqtt_publish *message) {
  return gateway_message_arrived(owner(context), message->topic, message->topic_length, message);
}

void cloud_delivered(void *context, mqtt_session *, uint16_t id) {
  cloud_delivery_complete(owner(context), id);
}

void gateway_delivered(void *context, mqtt_session *, uint16_t id) {
  gateway_delivery_complete(owner(context), id);
}

unsigned gather_queue(void *context, iovec *pieces, unsigned max) {
  return relay_queue_gather(&owner(context)->queue, pieces, max);
}

void queue_written(void *context, uint32_t bytes) {
  relay_daemon *d = owner(context);
  unsigned sent = relay_queue_written(&d->queue, bytes);
  for (unsigned i = 0; i < sent; i++) log_msg(LOG_DEBUG, "Message sent to NIMBA.");
  if (sent > 0) {
    d->status.counters[STATUS_PUBLISHED] += sent;
    d->status.dirty = true;
  }
}

void log_lost(const char *side, const char *cause) {
  if (cause != nullptr) {
    log_msg(LOG_NOTICE, "Connection to %s lost (cause='%s').", side, cause);
  } else {
    log_msg(LOG_NOTICE, "Connection to %s lost.", side);
  }
}

} // namespace

void cloud_connection_lost(relay_daemon *d, const char *cause) {
  d->cloud_connected = false;
  status_side_set(&d->status, &d->status.cloud, STATUS_DOWN, daemon_clock_ms());
  /* The new connection gets a partly written document whole. */
  relay_queue_rewind(&d->queue);
  log_lost("NIMBA", cause);
}

void gateway_connection_lost(relay_daemon *d, const char *cause) {
  d->gateway_connected = false;
  status_side_set(&d->status, &d->status.gateway, STATUS_DOWN, daemon_clock_ms());
  log_lost("IoT Gateway", cause);
}

void cloud_delivery_complete(relay_daemon *, int token) {
  log_msg(LOG_DEBUG, "Message sent to NIMBA (token=%d).", token);
}

void gateway_delivery_complete(relay_daemon *, int token) {
  log_msg(LOG_DEBUG, "Message sent to IoT Gateway (token=%d).", token);
}

int cloud_message_arrived(relay_daemon *, const char *topic, int topic_length, const mqtt_publish *message) {
  log_msg(LOG_DEBUG, "Message arrived from NIMBA.");
  std::puts("Message arrived");
  std::printf("     topic: %.*s\n", topic != nullptr ? topic_length : 0, topic != nullptr ? topic : "");
  std::fputs("   message: ", stdout);
  if (message->payload != nullptr) std::fwrite(message->payload, 1, message->payload_length, stdout);
  std::putchar('\n');
  return 1;
}

int gateway_message_arrived(relay_daemon *d, const char *topic, int topic_length,
                            const mqtt_publish *message) {
  if (d->cloud_connected && relay_queue_full(&d->queue)) return 0;
  log_msg(LOG_DEBUG, "Message arrived from IoT Gateway.");
  uint64_t *counters = d->status.counters;
  counters[STATUS_RECEIVED]++;
  d->status.dirty = true;
  if (message->payload == nullptr && message->payload_length > 0) {
    log_msg(LOG_DEBUG, "The message did not fit into the provided buffer.");
    counters[STATUS_TOO_LARGE]++;
    return 1;
  }
  const char *payload = message->payload_length > 0 ? reinterpret_cast<const char *>(message->payload) : "";
  uint32_t topic_size =
      topic_length > 0 ? static_cast<uint32_t>(topic_length) : static_cast<uint32_t>(std::strlen(topic));
  if (!relayable_topic(topic, topic_size)) {
    log_msg(LOG_DEBUG, "The message's topic cannot be relayed (not under QZ/, or with a NUL, '+' or '#').");
    counters[STATUS_NOT_JSON]++;
    return 1;
  }
  uint32_t n = json_transform(
      payload, message->payload_length, topic_size, topic, RELAY_DOCUMENT_CAPACITY, d->relay_out);
  if (n > RELAY_DOCUMENT_CAPACITY) {
    log_msg(LOG_DEBUG, "The message did not fit into the provided buffer.");
    counters[STATUS_TOO_LARGE]++;
  } else if (n > 0) {
    std::printf("'%.*s'\n", static_cast<int>(n), d->relay_out);
    uint32_t head = mqtt_encode_publish_head(d->publish_head,
                                             sizeof d->publish_head,
                                             CLOUD_PUBLISH_TOPIC,
                                             static_cast<uint32_t>(std::strlen(CLOUD_PUBLISH_TOPIC)),
                                             n);
    const unsigned dropped = d->queue.dropped;
    relay_queue_push(&d->queue, d->publish_head, head, d->relay_out, n);
    counters[STATUS_DROPPED] += d->queue.dropped - dropped;
  } else {
    counters[STATUS_NOT_JSON]++;
  }
  return 1;
}

session_events cloud_session_events(relay_daemon *d) {
  return session_events{d, cloud_answer, cloud_lost, cloud_message, nullptr, cloud_delivered};
}

session_events gateway_session_events(relay_daemon *d) {
  return session_events{
      d, gateway_answer, gateway_lost, gateway_message, answer_subscribe, gateway_delivered};
}

session_output cloud_session_output(relay_daemon *d) {
  return session_output{d, gather_queue, queue_written};
}

void relay_gateway_flow(relay_daemon *d) {
  session_pause(&d->gateway, d->cloud_connected && relay_queue_full(&d->queue));
}

void relay_report_unsent(relay_daemon *d) {
  unsigned unsent = relay_queue_clear(&d->queue);
  for (unsigned i = 0; i < unsent; i++)
    log_msg(LOG_DEBUG, "Failed to send message to NIMBA (RC=%i).", RELAY_RC_DISCONNECTED);
  if (unsent > 0) log_msg(LOG_WARNING, "Failed to send %u messages to NIMBA at shutdown.", unsent);
}

void relay_count_lost(relay_daemon *d, uint64_t unacknowledged) {
  const unsigned lost = relay_queue_lost(&d->queue, unacknowledged);
  if (lost == 0) return;
  uint64_t *counters = d->status.counters;
  counters[STATUS_PUBLISHED] -= lost < counters[STATUS_PUBLISHED] ? lost : counters[STATUS_PUBLISHED];
  counters[STATUS_DROPPED] += lost;
  d->status.dirty = true;
  log_msg(LOG_WARNING, "Lost %u messages for NIMBA with the connection.", lost);
}
