/* The relay's handlers: from the gateway into the cloud queue, and what the cloud says. */
#include "relay.h"

#include <syslog.h>

#include <cerrno>
#include <climits>
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

/* What became of a gateway message's transformation. */
enum transformed { DOCUMENT, TOO_LARGE, BAD_TOPIC, NOT_JSON };

/* Transforms the message into d->relay_out (*n bytes when DOCUMENT). */
transformed transform(relay_daemon *d, const mqtt_publish *message, uint32_t *n) {
  if (message->payload == nullptr && message->payload_length > 0) return TOO_LARGE;
  if (!relayable_topic(message->topic, message->topic_length)) return BAD_TOPIC;
  const char *payload = message->payload_length > 0 ? reinterpret_cast<const char *>(message->payload) : "";
  *n = json_transform(payload,
                      message->payload_length,
                      message->topic_length,
                      message->topic,
                      RELAY_DOCUMENT_CAPACITY,
                      d->relay_out);
  if (*n > RELAY_DOCUMENT_CAPACITY) return TOO_LARGE;
  return *n == 0 ? NOT_JSON : DOCUMENT;
}

/* Reports and counts a message that makes no document. */
void count_unusable(relay_daemon *d, transformed result) {
  switch (result) {
    case TOO_LARGE:
      log_msg(LOG_DEBUG, "The message did not fit into the provided buffer.");
      status_count(&d->status, STATUS_TOO_LARGE);
      break;
    case BAD_TOPIC:
      log_msg(LOG_DEBUG, "The message's topic cannot be relayed (not under QZ/, or with a NUL, '+' or '#').");
      status_count(&d->status, STATUS_NOT_JSON);
      break;
    case NOT_JSON:
      status_count(&d->status, STATUS_NOT_JSON);
      break;
    case DOCUMENT:
      break;
  }
}

/* At most once: the document's PUBLISH packet into the queue, the oldest dropped when full. */
void queue_at_most_once(relay_daemon *d, uint32_t n) {
  const uint32_t head = mqtt_encode_publish_head(d->publish_head,
                                                 sizeof d->publish_head,
                                                 CLOUD_PUBLISH_TOPIC,
                                                 static_cast<uint32_t>(std::strlen(CLOUD_PUBLISH_TOPIC)),
                                                 n);
  unsigned dropped = 0;
  relay_queue_push(&d->queue, d->publish_head, head, d->relay_out, n, &dropped);
  status_count(&d->status, STATUS_DROPPED, dropped);
}

/* How long the gateway waits when every batch of the spool is with its writer before a
 * document is offered to the spool again: short, as a batch frees within one sync. */
constexpr long long SPOOL_RETRY_MS = 2;

bool spool_takes(const relay_daemon *d) { return d->spool_in_use && spool_usable(&d->spool); }

/* The spool cannot take a document now: the gateway is held back until the next try. */
void hold_gateway(relay_daemon *d, long long now) {
  d->spool_refused_ms = now;
  d->held_since_ms = now;
}

/* The time the gateway has been held back up to now counts (for the pass and in total). */
void count_held(relay_daemon *d, long long now) {
  if (d->held_since_ms == 0) return;
  const uint64_t held = static_cast<uint64_t>(now - d->held_since_ms);
  d->held_pass_ms += held;
  d->held_total_ms += held;
  d->held_since_ms = now;
}

/* At least once: PUBLISH heads for the documents the window lets go out now; called where
 * documents come or the window frees. */
void offer(relay_daemon *d) {
  relay_queue_offer(&d->queue, CLOUD_PUBLISH_TOPIC, static_cast<uint32_t>(std::strlen(CLOUD_PUBLISH_TOPIC)));
}

/* Documents in memory that did not come from the spool must be older than every document in
 * it: those held behind documents that came from it go into it first, as already taken. */
void spool_newer_held(relay_daemon *d) {
  const unsigned count = relay_queue_count(&d->queue);
  unsigned last_spooled = count;
  for (unsigned i = count; i-- > 0;) {
    const relay_document *record = nullptr;
    relay_queue_document(&d->queue, i, nullptr, &record);
    if (record->from.segment != 0) {
      last_spooled = i;
      break;
    }
  }
  for (unsigned i = last_spooled + 1; i < count; i++) {
    uint32_t length = 0;
    const relay_document *record = nullptr;
    const char *body = relay_queue_document(&d->queue, i, &length, &record);
    if (relay_document_settled(record->state)) continue;
    spool_position end{0, 0};
    if (!spool_append_taken(&d->spool, body, length, record->time_ms, &end)) return;
    relay_queue_set_from(&d->queue, i, end);
  }
}

/* At least once: where the document in relay_out goes. Memory while it has room and the
 * spool holds nothing waiting; the spool otherwise. Without a usable spool a full memory
 * drops its oldest while the cloud is away and waits while it is up. false: not now (the
 * gateway waits). */
bool keep_at_least_once(relay_daemon *d, uint32_t n, int64_t now_wall) {
  const bool waiting = d->spool_in_use && spool_waiting(&d->spool);
  if (spool_takes(d) && (waiting || relay_queue_full(&d->queue))) {
    if (!waiting) spool_newer_held(d);
    if (spool_append(&d->spool, d->relay_out, n, now_wall)) return true;
    if (spool_usable(&d->spool)) {
      hold_gateway(d, daemon_clock_ms());
      return false;
    }
  }
  /* Without a usable spool what it still holds goes out first. */
  if (waiting) return false;
  unsigned dropped = 0;
  if (!relay_queue_add(&d->queue, d->relay_out, n, now_wall, spool_position{0, 0}, !cloud_up(d), &dropped))
    return false;
  status_dropped(&d->status, DROP_QUEUE_FULL, dropped);
  offer(d);
  return true;
}

/* Logs and counts a message taken from the gateway, echoes its document; false: none. */
bool note_arrival(relay_daemon *d, transformed result, uint32_t n) {
  log_msg(LOG_DEBUG, "Message arrived from IoT Gateway.");
  status_count(&d->status, STATUS_RECEIVED);
  if (result != DOCUMENT) {
    count_unusable(d, result);
    return false;
  }
  std::printf("'%.*s'\n", static_cast<int>(n), d->relay_out);
  return true;
}

int arrived_at_most_once(relay_daemon *d, const mqtt_publish *message) {
  /* A stop takes what the gateway had sent: the oldest queued then goes, counted. */
  if (cloud_up(d) && relay_queue_full(&d->queue) && !d->stopping) return 0;
  uint32_t n = 0;
  const transformed result = transform(d, message, &n);
  if (note_arrival(d, result, n)) queue_at_most_once(d, n);
  return 1;
}

/* A document is counted and echoed once kept: one the relay cannot keep now is offered
 * again (a stop waits for a busy spool writer). One a stop cannot keep at all stays the
 * gateway broker's at QoS 1; at QoS 0 the broker would not send it again, so it is counted
 * as dropped. */
int arrived_at_least_once(relay_daemon *d, const mqtt_publish *message) {
  if (d->spool_refused_ms != 0) return 0;
  uint32_t n = 0;
  const transformed result = transform(d, message, &n);
  if (result == DOCUMENT && !keep_at_least_once(d, n, status_wall_at(&d->status, daemon_clock_ms()))) {
    if (!d->stopping || d->spool_refused_ms != 0 || message->qos != 0) return 0;
    status_dropped(&d->status, DROP_QUEUE_FULL, 1);
    d->stop_dropped++;
  }
  note_arrival(d, result, n);
  return 1;
}

} // namespace

void cloud_connection_lost(void *context, mqtt_session *session, uint64_t unacknowledged) {
  relay_daemon *d = owner(context);
  status_side_lost(&d->status, &d->status.cloud, session_reason(session), daemon_clock_ms());
  if (d->at_least_once) {
    /* Everything unacknowledged goes out again first; a document is dropped as refused only
     * on evidence gathered over the next connections. */
    relay_queue_retry(&d->queue);
    offer(d);
  } else {
    const unsigned lost = relay_queue_lost(&d->queue, unacknowledged);
    if (lost > 0) {
      status_lost(&d->status, lost);
      log_msg(LOG_WARNING, "Lost %u messages for NIMBA with the connection.", lost);
    }
    /* The new connection gets a partly written document whole. */
    relay_queue_rewind(&d->queue);
  }
  log_lost("NIMBA", session);
}

void gateway_connection_lost(void *context, mqtt_session *session, uint64_t) {
  relay_daemon *d = owner(context);
  status_side_lost(&d->status, &d->status.gateway, session_reason(session), daemon_clock_ms());
  log_lost("IoT Gateway", session);
}

void cloud_delivery_complete(void *context, mqtt_session *, uint16_t packet_id) {
  relay_daemon *d = owner(context);
  const relay_acknowledged done = relay_queue_acknowledge(&d->queue, packet_id);
  if (!done.found) {
    log_msg(
        LOG_DEBUG, "Ignored an acknowledgement from NIMBA for no message in flight (token=%d).", packet_id);
    return;
  }
  log_msg(LOG_DEBUG, "Message sent to NIMBA (token=%d).", packet_id);
  d->ack_progress_ms = daemon_clock_ms();
  if (done.refused) {
    log_msg(LOG_WARNING,
            "Dropped a message for NIMBA: not acknowledged after %u sends (token=%d).",
            RELAY_STRIKES_MAX,
            done.refused_id);
    status_dropped(&d->status, DROP_REFUSED, 1);
  }
  status_count(&d->status, STATUS_PUBLISHED, done.left);
  if (done.spooled.segment != 0) spool_acknowledged(&d->spool, done.spooled);
  offer(d);
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
  return d->at_least_once ? arrived_at_least_once(d, message) : arrived_at_most_once(d, message);
}

unsigned cloud_output_gather(void *context, iovec *pieces, unsigned max) {
  return relay_queue_gather(&owner(context)->queue, pieces, max);
}

void cloud_output_written(void *context, uint32_t bytes) {
  relay_daemon *d = owner(context);
  const unsigned before = relay_queue_in_flight(&d->queue);
  const unsigned sent = relay_queue_written(&d->queue, bytes);
  if (before == 0 && relay_queue_in_flight(&d->queue) > 0) d->ack_progress_ms = daemon_clock_ms();
  for (unsigned i = 0; i < sent; i++) log_msg(LOG_DEBUG, "Message sent to NIMBA.");
  /* At least once, a document counts as published on its PUBACK. */
  if (!d->at_least_once) status_count(&d->status, STATUS_PUBLISHED, sent);
}

void relay_gateway_flow(relay_daemon *d) {
  const bool spool = d->at_least_once && spool_takes(d);
  const bool full = relay_queue_full(&d->queue) && !spool;
  /* What an unusable spool still holds goes out first: until then new documents wait. */
  const bool spool_first = d->at_least_once && d->spool_in_use && !spool && spool_waiting(&d->spool);
  session_pause(&d->gateway, d->spool_refused_ms != 0 || spool_first || (cloud_up(d) && full));
}

void relay_acknowledgement_reading(relay_daemon *d, long long now) {
  if (!d->at_least_once) return;
  const unsigned in_flight = relay_queue_in_flight(&d->queue);
  if (in_flight == 0) {
    session_defer_reading(&d->cloud, 0);
  } else if (relay_queue_held_back(&d->queue)) {
    session_defer_reading(&d->cloud, now + RELAY_ACK_FULL_DELAY_MS);
  } else {
    session_defer_reading(&d->cloud, now + RELAY_ACK_DELAY_MS);
  }
}

void relay_link_proof(relay_daemon *d, long long now) {
  if (!d->at_least_once || !cloud_up(d) || !relay_queue_needs_proof(&d->queue)) return;
  if (session_ping_answered(&d->cloud)) {
    relay_queue_alive(&d->queue);
    offer(d);
  } else {
    session_ping_now(&d->cloud, now);
  }
}

void relay_spool_open(relay_daemon *d) {
  relay_queue_reset(&d->queue, d->at_least_once);
  if (!d->at_least_once || d->options.spool_path == nullptr || *d->options.spool_path == '\0') return;
  spool_open(&d->spool, d->options.spool_path, uint64_t{d->options.spool_limit_kb} * 1024);
  d->spool_in_use = true;
}

/* At least once: when documents in flight must have had an acknowledgement (0: none). A
 * broker that takes documents but no longer acknowledges them is as stalled as one that
 * takes nothing. */
long long acknowledgement_due(const relay_daemon *d) {
  if (!d->at_least_once || relay_queue_in_flight(&d->queue) == 0 || !cloud_up(d)) return 0;
  return d->ack_progress_ms + d->options.stall_seconds * 1000LL;
}

void relay_tick(relay_daemon *d, long long now) {
  const long long overdue = acknowledgement_due(d);
  if (overdue != 0 && now >= overdue) {
    char reason[96];
    std::snprintf(reason,
                  sizeof reason,
                  "no acknowledgement for %u s: the broker takes nothing",
                  d->options.stall_seconds);
    session_abort(&d->cloud, reason);
  }
  if (!d->spool_in_use) return;
  const long long due = spool_next_ms(&d->spool);
  const bool retry = d->spool_refused_ms != 0 && now >= d->spool_refused_ms + SPOOL_RETRY_MS;
  if ((due != 0 && due <= now) || retry) spool_tick(&d->spool, now);
  if (retry) {
    count_held(d, now);
    d->held_since_ms = 0;
    d->spool_refused_ms = 0;
  }
  /* Memory takes the spool's documents back as room frees, oldest first. */
  const unsigned before = relay_queue_count(&d->queue);
  while (!relay_queue_full(&d->queue) && spool_waiting(&d->spool)) {
    uint32_t length = 0;
    int64_t time_ms = 0;
    spool_position end{0, 0};
    if (!spool_next(&d->spool, d->relay_out, sizeof d->relay_out, &length, &time_ms, &end)) break;
    relay_queue_add(&d->queue, d->relay_out, length, time_ms, end, false);
  }
  if (relay_queue_count(&d->queue) != before) offer(d);
}

long long relay_next_ms(const relay_daemon *d) {
  long long spool = d->spool_in_use ? spool_next_ms(&d->spool) : 0;
  if (d->spool_refused_ms != 0 && (spool == 0 || d->spool_refused_ms + SPOOL_RETRY_MS < spool))
    spool = d->spool_refused_ms + SPOOL_RETRY_MS;
  const long long acknowledgement = acknowledgement_due(d);
  if (spool == 0) return acknowledgement;
  return acknowledgement != 0 && acknowledgement < spool ? acknowledgement : spool;
}

namespace {

/* The documents the spool dropped since the last look go into the status record at once,
 * so that WAITING and DROPPED add up between the pass's log lines. */
void take_spool_drops(relay_daemon *d) {
  const uint32_t full = spool_take_dropped(&d->spool);
  status_dropped(&d->status, DROP_SPOOL_FULL, full);
  d->pass_spool_full += full;
  const uint32_t lost = spool_take_lost(&d->spool);
  status_dropped(&d->status, DROP_SPOOL_LOST, lost);
  d->pass_spool_lost += lost;
}

} // namespace

void relay_report_pass(relay_daemon *d) {
  if (!d->spool_in_use) return;
  take_spool_drops(d);
  if (d->pass_spool_full > 0)
    log_msg(LOG_WARNING, "Dropped %u messages for NIMBA: spool full.", d->pass_spool_full);
  if (d->pass_spool_lost > 0)
    log_msg(LOG_WARNING, "Dropped %u messages for NIMBA: spool folder lost.", d->pass_spool_lost);
  d->pass_spool_full = d->pass_spool_lost = 0;
  count_held(d, daemon_clock_ms());
  if (d->held_pass_ms > 0) {
    const unsigned held = d->held_pass_ms < UINT_MAX ? static_cast<unsigned>(d->held_pass_ms) : UINT_MAX;
    log_msg(LOG_WARNING, "Held back the IoT Gateway for %u ms: the spool could not keep up.", held);
    d->held_pass_ms = 0;
  }
  /* A spool that failed is tried again at every pass. */
  if (!spool_usable(&d->spool)) spool_retry(&d->spool);
}

void relay_status_update(relay_daemon *d) {
  if (!d->at_least_once) return;
  if (d->spool_in_use) take_spool_drops(d);
  status_delivery now{};
  now.at_least_once = true;
  now.resent = d->queue.resent;
  now.gateway_held_ms = d->held_total_ms;
  if (d->held_since_ms != 0)
    now.gateway_held_ms += static_cast<uint64_t>(daemon_clock_ms() - d->held_since_ms);
  now.awaiting = relay_queue_in_flight(&d->queue);
  now.spool_errno = -1;
  int64_t oldest = 0;
  for (unsigned i = 0; i < relay_queue_count(&d->queue); i++) {
    const relay_document *record = nullptr;
    relay_queue_document(&d->queue, i, nullptr, &record);
    if (relay_document_settled(record->state)) continue;
    if (oldest == 0 || record->time_ms < oldest) oldest = record->time_ms;
  }
  if (d->spool_in_use) {
    const spool_figures figures = spool_stats(&d->spool);
    now.spool_documents = figures.documents;
    now.spool_bytes = figures.bytes;
    now.spool_errno = figures.usable ? 0 : (figures.error != 0 ? figures.error : EIO);
    if (figures.oldest_ms != 0 && (oldest == 0 || figures.oldest_ms < oldest)) oldest = figures.oldest_ms;
  }
  /* An earlier run's times are as it stored them, taken by a clock that may have been set
   * differently: never shown as arriving in the future. */
  const int64_t wall_now = status_wall_at(&d->status, daemon_clock_ms());
  now.oldest_waiting_ms = oldest < wall_now ? oldest : wall_now;
  status_delivery_set(&d->status, now);
}

void relay_clock_moved(relay_daemon *d) {
  const int64_t shift = status_take_clock_shift(&d->status);
  if (shift == 0 || !d->at_least_once) return;
  relay_queue_shift_times(&d->queue, shift);
  if (d->spool_in_use) spool_clock_moved(&d->spool, shift);
}

unsigned relay_waiting(const relay_daemon *d) {
  unsigned waiting = relay_queue_count(&d->queue);
  if (d->spool_in_use) waiting += spool_stats(&d->spool).documents;
  return waiting;
}

void relay_report_unsent(relay_daemon *d) {
  unsigned unsent = 0;
  if (d->at_least_once && d->spool_in_use) {
    /* Everything unacknowledged goes into the spool and out again at the next start. */
    static spool_document held[RELAY_QUEUE_SLOTS];
    unsigned count = 0;
    for (unsigned i = 0; i < relay_queue_count(&d->queue); i++) {
      uint32_t length = 0;
      const relay_document *record = nullptr;
      const char *body = relay_queue_document(&d->queue, i, &length, &record);
      if (relay_document_settled(record->state)) continue;
      held[count++] = spool_document{body, length, record->time_ms, record->from};
    }
    unsent = spool_close(&d->spool, held, count);
    relay_report_pass(d);
    d->spool_in_use = false;
    relay_queue_clear(&d->queue);
  } else {
    unsent = relay_queue_clear(&d->queue);
  }
  for (unsigned i = 0; i < unsent; i++)
    log_msg(LOG_DEBUG, "Failed to send message to NIMBA (RC=%i).", RELAY_RC_DISCONNECTED);
  if (unsent > 0) log_msg(LOG_WARNING, "Failed to send %u messages to NIMBA at shutdown.", unsent);
}
