/* The six callbacks of the relay, which the event loop calls for the two sessions, and the
 * glue between the sessions and the cloud queue. */
#pragma once
#include "daemon.h"

/* Return code reported for a document that could not be sent because the cloud
 * connection was gone. */
constexpr int RELAY_RC_DISCONNECTED = -3;

/* Clear the connected flag and log the loss (with the cause when one is given). */
void cloud_connection_lost(relay_daemon *d, const char *cause);
void gateway_connection_lost(relay_daemon *d, const char *cause);

/* Prints what the cloud sends (the daemon subscribes to nothing there). Returns 1. */
int cloud_message_arrived(relay_daemon *d, const char *topic, int topic_length, const mqtt_publish *message);

/* The relay: transforms the message into the cloud document and queues it for the cloud
 * session, which writes it in the same loop turn. Returns 0, leaving the message to be
 * offered again, while the cloud is up and its queue is full (back-pressure); 1 otherwise.
 * A message too large to be stored (payload nullptr) is dropped as not fitting. */
int gateway_message_arrived(relay_daemon *d, const char *topic, int topic_length,
                            const mqtt_publish *message);

/* Acknowledgements of QoS 1/2 publishes of the daemon's own (it publishes at QoS 0). */
void cloud_delivery_complete(relay_daemon *d, int token);
void gateway_delivery_complete(relay_daemon *d, int token);

/* The session callbacks for each side; the connect and subscription answers go to
 * d->connect_rc and d->subscribe_rc for the supervisor. */
session_events cloud_session_events(relay_daemon *d);
session_events gateway_session_events(relay_daemon *d);
/* The cloud queue as the cloud session's output; each packet written logs "Message sent
 * to NIMBA.". */
session_output cloud_session_output(relay_daemon *d);

/* Pauses reading the gateway while the cloud is up and its queue is full; resumes it
 * otherwise. */
void relay_gateway_flow(relay_daemon *d);

/* Logs every document still queued as not sent (one line each at LOG_DEBUG, their number
 * at LOG_WARNING) and empties the queue (at shutdown). */
void relay_report_unsent(relay_daemon *d);

/* The cloud connection went away with this many of the queue's bytes unacknowledged by the
 * broker's TCP: the documents among them are counted as dropped (and no longer as
 * published) and logged once. */
void relay_count_lost(relay_daemon *d, uint64_t unacknowledged);
