/* The relay's handlers, registered with the two sessions as they are, and the cloud queue
 * as the cloud session's output. The context of each is the relay_daemon. */
#pragma once
#include "daemon.h"

/* Return code reported for a document that could not be sent because the cloud
 * connection was gone. */
constexpr int RELAY_RC_DISCONNECTED = -3;

/* A connection ended: the status record shows the side down and the loss is logged with its
 * cause (the session's reason). For the cloud, the documents the broker's TCP had not
 * acknowledged (unacknowledged bytes of the queue's output) are counted as dropped and
 * logged once, and a partly written document goes out whole on the next connection. */
void cloud_connection_lost(void *context, mqtt_session *session, uint64_t unacknowledged);
void gateway_connection_lost(void *context, mqtt_session *session, uint64_t unacknowledged);

/* Prints what the cloud sends (the daemon subscribes to nothing there). Returns 1. */
int cloud_message_arrived(void *context, mqtt_session *session, const mqtt_publish *message);

/* The relay: transforms the message into the cloud document and queues it for the cloud
 * session, which writes it in the same loop turn. Returns 0, leaving the message to be
 * offered again, while the cloud is up and its queue is full (back-pressure), or at least
 * once while the document cannot be kept now; 1 otherwise. While the daemon stops
 * (d->stopping) every document is taken: at most once the oldest queued then goes; at least
 * once one that cannot be kept at all is left to the broker (QoS 1) or counted as dropped.
 * A message too large to be stored (payload nullptr), on a topic that cannot be reshaped,
 * or that is not JSON is counted and dropped. */
int gateway_message_arrived(void *context, mqtt_session *session, const mqtt_publish *message);

/* The cloud's acknowledgement of a document of the daemon's (QoS 1). */
void cloud_delivery_complete(void *context, mqtt_session *session, uint16_t packet_id);

/* The cloud queue as the cloud session's output; each packet written logs "Message sent
 * to NIMBA." and counts as published. */
unsigned cloud_output_gather(void *context, iovec *pieces, unsigned max);
void cloud_output_written(void *context, uint32_t bytes);

/* Pauses reading the gateway while the cloud is up and its queue is full, while the spool
 * cannot take a document now (a moment, counted as the gateway held back), and while an
 * unusable spool still holds documents (they go out first); resumes it otherwise. */
void relay_gateway_flow(relay_daemon *d);

/* At least once, the cloud's input is read in batches instead of waking the loop once per
 * acknowledgement: it waits up to RELAY_ACK_DELAY_MS while the window has room for every
 * document waiting, up to RELAY_ACK_FULL_DELAY_MS while documents wait for room; with
 * nothing in flight it is read as it comes. */
void relay_acknowledgement_reading(relay_daemon *d, long long now);

/* At least once, a cloud connection on which documents wait until it proves alive gets a
 * ping at once (called each loop turn, after the sessions' handling); once the ping is
 * answered the documents go. */
void relay_link_proof(relay_daemon *d, long long now);

/* Sets the queue up for the settings' delivery and, at least once, opens the spool (a
 * folder that cannot be used is reported by the spool; the relay then goes on with memory
 * alone). */
void relay_spool_open(relay_daemon *d);

/* A loop turn's relay work: the spool's due batch, and memory refilled from the spool. */
void relay_tick(relay_daemon *d, long long now);

/* When relay_tick has something to do; 0 for nothing. */
long long relay_next_ms(const relay_daemon *d);

/* Once per pass: the documents the full spool dropped and those lost with its folder, and
 * how long the gateway was held back for the spool, logged and counted; an unusable spool
 * is tried again. */
void relay_report_pass(relay_daemon *d);

/* The status record's delivery figures now (at least once). */
void relay_status_update(relay_daemon *d);

/* After the status record's wall-clock offset moved (the clock was set): the arrival times
 * of the documents held, in memory and of this run in the spool, move by as much. */
void relay_clock_moved(relay_daemon *d);

/* Documents waiting: in memory and, at least once, in the spool. */
unsigned relay_waiting(const relay_daemon *d);

/* At shutdown. At least once, the documents not acknowledged go into the spool; those that
 * cannot (at most once: every document still queued) are logged as not sent (one line each
 * at LOG_DEBUG, their number at LOG_WARNING). The queue is emptied and the spool closed. */
void relay_report_unsent(relay_daemon *d);
