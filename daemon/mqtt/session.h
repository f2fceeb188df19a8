/* One MQTT client session over a transport: connect and CONNACK, subscription, keep-alive,
 * incoming packets handed to the owner, and output written in batches. Driven by the
 * event loop: it says which descriptors to poll and when it next needs the clock. */
#pragma once
#include <cstdint>

#include "codec.h"
#include "transport.h"

/* A packet the session reads whole: the largest the relay can use (a payload over the
 * relayed limit plus its topic). Larger ones are read past and never stored. */
constexpr uint32_t SESSION_INPUT_CAPACITY = 32768;
/* CONNECT with three texts of up to 255 bytes, SUBSCRIBE, pings and acknowledgements. */
constexpr uint32_t SESSION_CONTROL_CAPACITY = 1024;
/* Descriptors one session may ask to be polled. */
constexpr unsigned SESSION_POLL_MAX = TRANSPORT_POLL_MAX;
/* Pieces of output gathered into one write: the session's own packets and every document
 * the cloud queue can hold. */
constexpr unsigned SESSION_PIECES_MAX = 1 + 256;

/* The one record of whether a connection is up: the session's. Its owner asks
 * (session_state, session_subscription) instead of keeping copies. */
enum session_phase {
  SESSION_DOWN,
  SESSION_OPENING, /* lookup, TCP connect, TLS handshake */
  SESSION_CONNACK, /* CONNECT sent, waiting for the answer */
  SESSION_UP,
  SESSION_CLOSING, /* DISCONNECT sent: reading what the broker sent before it closes */
};

/* session_subscription while the SUBACK is awaited, and before any subscription. */
constexpr int SESSION_SUBSCRIPTION_PENDING = -2;
constexpr int SESSION_SUBSCRIPTION_NONE = -1;

struct mqtt_session;

/* What the session tells its owner: the registered functions are the handlers. Every
 * function may be nullptr. A handler must not call into the session that runs it (answers
 * that need a session call are taken after session_handle returns); one that ends the
 * session gets no further event from it. */
struct session_events {
  void *context;
  /* The connect's result: 0 accepted, a CONNACK refusal code, or -1 when no connection
   * could be made (lookup, connect, TLS, time-out, a broken answer); session_reason says
   * what failed. */
  void (*connected)(void *context, mqtt_session *session, int rc);
  /* An established session ended: read or write failed, the broker closed it, a broken
   * packet, no answer to a ping, or output stalled; session_reason says which. The
   * session is down again. unacknowledged: bytes of the owner's output that the session
   * took but the broker's TCP had not acknowledged (lost with the connection). */
  void (*lost)(void *context, mqtt_session *session, uint64_t unacknowledged);
  /* A PUBLISH from the broker (QoS 2 ones once). 1 when taken; 0 to be offered the same
   * packet again later (the session stops reading until then). One too large to be
   * stored comes with topic and payload nullptr and payload_length its packet's length;
   * it is gone whatever the result. */
  int (*message)(void *context, mqtt_session *session, const mqtt_publish *message);
  /* An acknowledgement (PUBACK or PUBCOMP) with its packet identifier. */
  void (*delivered)(void *context, mqtt_session *session, uint16_t packet_id);
};

/* The owner's output, written once the session is up: gather stores up to max pieces in
 * order and returns how many; each piece is one whole packet, except that the first may be
 * the rest of a packet partly written. The session writes its own packets only between the
 * owner's packets. written says how many of the gathered bytes were taken. */
struct session_output {
  void *context;
  unsigned (*gather)(void *context, iovec *pieces, unsigned max);
  void (*written)(void *context, uint32_t bytes);
};

struct session_timing {
  unsigned connect_timeout_ms; /* from the start of an attempt to the CONNACK */
  unsigned keep_alive_ms;      /* PINGREQ after this long without traffic; lost after this long
                                  without an answer */
  unsigned stall_timeout_ms;   /* lost when pending output makes no progress this long */
};

/* Own packets written recently: where they ended in the connection's byte stream, so a
 * lost connection's unacknowledged bytes can be told from the owner's. */
constexpr unsigned SESSION_CONTROL_MARKS = 16;
struct session_control_mark {
  uint64_t end;    /* stream offset just after the bytes */
  uint32_t length; /* own bytes that ended there */
};

struct mqtt_session {
  session_phase state;
  mqtt_endpoint endpoint;
  mqtt_connect_fields connect;
  session_timing timing;
  session_events events;
  session_output output;
  mqtt_transport transport;
  bool paused;          /* the owner takes no messages now: nothing is read */
  bool answers_owed;    /* an answer to the broker does not fit: nothing is read until it went */
  bool owner_partial;   /* the owner's first packet is partly written: own packets wait */
  long long read_after; /* 0: input is read as it comes; else not polled for before then */
  long long deadline;   /* of the connect attempt */
  long long last_sent, last_received;
  long long ping_sent;     /* 0: no ping outstanding */
  bool ping_answered;      /* a PINGRESP came since the CONNACK */
  long long blocked_since; /* 0: output is not waiting for the socket */
  uint16_t next_packet_id;
  uint16_t subscribe_id; /* 0: no SUBACK awaited */
  int subscription;      /* SUBACK code, SESSION_SUBSCRIPTION_PENDING or _NONE */
  uint64_t stream_taken; /* bytes taken by the transport since the open */
  uint64_t owner_taken;  /* of which the owner's */
  session_control_mark marks[SESSION_CONTROL_MARKS];
  unsigned mark_next;
  uint32_t control_length, control_sent;
  uint8_t control[SESSION_CONTROL_CAPACITY];
  char reason[TRANSPORT_REASON_CAPACITY]; /* why the last attempt failed or the session ended */
  mqtt_reader reader;
  uint8_t input[SESSION_INPUT_CAPACITY];
  uint8_t qos2_received[8192]; /* one bit per packet id: QoS 2 delivered, PUBREL awaited */
};

/* Sets the session up, down. The texts in connect must outlive the session. */
void session_init(mqtt_session *s, const mqtt_endpoint &endpoint, const mqtt_connect_fields &connect,
                  const session_timing &timing, const session_events &events, const session_output &output);

/* Begins a connect attempt at time now (ms); its result comes through events.connected,
 * possibly before this returns. */
void session_connect(mqtt_session *s, long long now);

/* Where the connection stands. */
session_phase session_state(const mqtt_session *s);

/* Sends SUBSCRIBE for one filter; session_subscription then gives the answer. 0 when the
 * session is not up or the packet does not fit. */
int session_subscribe(mqtt_session *s, const char *filter, uint8_t qos);

/* The SUBACK's code (0 to 2 granted, MQTT_SUBACK_FAILURE refused) of the last subscription
 * of this connection; SESSION_SUBSCRIPTION_PENDING while it is awaited, _NONE without one. */
int session_subscription(const mqtt_session *s);

/* Stops reading (owner full) or goes on; a ping's answer is awaited afresh on resuming. */
void session_pause(mqtt_session *s, bool paused);

/* Input may wait until time until (ms): the session does not poll for it before then, so
 * answers the owner can take in a batch (acknowledgements) do not each wake the loop. Not
 * while a ping's answer is awaited. 0 reads input as it comes again; a later time than one
 * already set does not extend it. Every connect starts reading as it comes. */
void session_defer_reading(mqtt_session *s, long long until);

/* Sends a PINGREQ now unless one is awaited: its answer shows that the broker reads this
 * connection (session_ping_answered). 0 when the session is not up or the packet does not
 * fit now. */
int session_ping_now(mqtt_session *s, long long now);

/* 1 once a ping of this connection was answered (since its CONNACK). */
int session_ping_answered(const mqtt_session *s);

/* Descriptors and events to poll now (at most SESSION_POLL_MAX). */
unsigned session_poll_fds(mqtt_session *s, pollfd *fds);

/* The next time (ms) the session must be handled even without events; 0 for none. A
 * session with packets read but not yet handed over returns now. */
long long session_next_ms(mqtt_session *s, long long now);

/* Handles what poll reported in fds (as session_poll_fds gave them) and the timers: opens
 * on, reads once and hands over every complete packet, writes, pings, time-outs. */
void session_handle(mqtt_session *s, const pollfd *fds, unsigned count, long long now);

/* Writes pending output now (own packets, then the owner's); called after the owner added
 * some. */
void session_flush(mqtt_session *s, long long now);

/* 1 when output is waiting for the socket. */
int session_output_pending(mqtt_session *s);

/* Ends an established session as lost for the owner's reason (for instance its publishes
 * not acknowledged in time): the lost event follows, as for any loss. Nothing when it is
 * not up. */
void session_abort(mqtt_session *s, const char *reason);

/* Writes DISCONNECT if the session is up, no output waits and the socket takes it at
 * once, then closes; no lost event. */
void session_disconnect(mqtt_session *s);

/* Begins a disconnect that loses nothing the broker had sent: writes the output waiting
 * (the answers owed first) and DISCONNECT, then goes on reading (SESSION_CLOSING) and hands
 * over the QoS 0 messages that come before the broker closes the connection. Messages of
 * QoS 1 and 2 then stay the broker's: unanswered, it sends them again in the next session.
 * The session is down, without a lost event, once the broker closed (or the read failed);
 * session_disconnect ends it at once. 0 when it was not up or its output could not be
 * written whole at once: it is then closed as by session_disconnect. */
int session_disconnect_reading(mqtt_session *s, long long now);

/* Why the last connect attempt failed or the session ended, in words; empty when it did
 * not. */
const char *session_reason(const mqtt_session *s);

/* Closes and frees the transport's resources. */
void session_release(mqtt_session *s);
