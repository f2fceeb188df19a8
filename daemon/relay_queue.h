/* The cloud session's output: whole PUBLISH packets (head and document) in fixed storage,
 * written in order. At most once (QoS 0): a packet leaves once written, the oldest is dropped
 * when full while the cloud is away. At least once (QoS 1): a document leaves only on its
 * PUBACK, at most a window of them is unacknowledged, and after a lost connection the
 * unacknowledged ones go out again first, in their order, with the DUP flag. */
#pragma once
#include <sys/uio.h>

#include <cstdint>

#include "daemon/spool/spool.h"

constexpr unsigned RELAY_DOCUMENT_CAPACITY = 3072;
/* Fixed header, topic and packet identifier of a document's PUBLISH packet. */
constexpr unsigned RELAY_HEAD_CAPACITY = 32;
constexpr unsigned RELAY_PACKET_CAPACITY = RELAY_DOCUMENT_CAPACITY + RELAY_HEAD_CAPACITY;
constexpr unsigned RELAY_QUEUE_SLOTS = 256;
/* A slot keeps the head just before the body, which starts RELAY_HEAD_CAPACITY bytes in, so
 * a head rewritten for a resend stays contiguous with its body. Bodies that fit the short
 * store's slot stay there, longer ones go to the long store's. Memory pages are only
 * touched when used, so a backlog of short documents costs 128 KiB at most instead of the
 * 800 KiB of full-size slots. */
constexpr unsigned RELAY_SLOT_CAPACITY = 512;
constexpr unsigned RELAY_LONG_SLOT_CAPACITY = RELAY_HEAD_CAPACITY + RELAY_PACKET_CAPACITY;
/* Lengths of the packets written last, newest first, so that the bytes a lost connection
 * took with it can be counted as documents. The cloud's bounded send buffer holds fewer
 * packets than this. */
constexpr unsigned RELAY_WRITTEN_MEMORY = 4096;
/* At least once: documents unacknowledged at a time (the cloud's limit on messages in
 * flight is typically 20 to 100), and connections a document is sent over before it is
 * dropped as refused. */
constexpr unsigned RELAY_IN_FLIGHT_MAX = 20;
constexpr unsigned RELAY_SENDS_MAX = 5;
/* Acknowledgements are read at once from this many in flight, else after at most the
 * delay: one wake-up for a batch of them rather than one per document. */
constexpr unsigned RELAY_ACK_BATCH = RELAY_IN_FLIGHT_MAX / 2;
constexpr unsigned RELAY_ACK_DELAY_MS = 20;

/* Where a document stands (at least once). */
enum relay_document_state : uint8_t {
  DOCUMENT_WAITING,   /* not written whole on this connection */
  DOCUMENT_IN_FLIGHT, /* written whole, PUBACK awaited */
  DOCUMENT_ACKED,     /* PUBACK came; leaves once the ones before it left */
  DOCUMENT_DROPPED,   /* sent RELAY_SENDS_MAX times without a PUBACK */
};

struct relay_document {
  int64_t time_ms;     /* arrival (wall clock), for the age of the oldest waiting */
  spool_position from; /* where it is in the spool; segment 0: memory only */
  uint16_t packet_id;  /* 0 until first offered */
  uint8_t sends;       /* connections it was (partly) written on */
  relay_document_state state;
  bool prepared; /* its head is made for this connection */
  bool on_wire;  /* some of it was written on this connection */
};

struct relay_queue {
  uint32_t lengths[RELAY_QUEUE_SLOTS];      /* head and body */
  uint32_t head_lengths[RELAY_QUEUE_SLOTS]; /* the head just before the body */
  relay_document documents[RELAY_QUEUE_SLOTS];
  char short_store[RELAY_QUEUE_SLOTS][RELAY_SLOT_CAPACITY];
  char long_store[RELAY_QUEUE_SLOTS][RELAY_LONG_SLOT_CAPACITY];
  unsigned head;    /* index of the oldest packet */
  unsigned count;   /* packets waiting */
  unsigned dropped; /* packets dropped since the last relay_queue_take_dropped */
  uint32_t sent;    /* bytes of the packet at next already written */
  uint16_t written_lengths[RELAY_WRITTEN_MEMORY]; /* ring of packets written whole */
  unsigned written_next, written_count;
  /* At least once. */
  bool at_least_once;
  unsigned next;      /* documents from the oldest on written whole on this connection */
  unsigned in_flight; /* of those, awaiting a PUBACK */
  uint16_t last_packet_id;
  uint64_t resent; /* documents written again on a later connection */
};

/* Empties the queue; at_least_once chooses the QoS 1 behaviour. */
void relay_queue_reset(relay_queue *queue, bool at_least_once = false);

/* Appends the packet made of head and body (head at most RELAY_HEAD_CAPACITY bytes, together
 * at most RELAY_PACKET_CAPACITY). When the queue is full the oldest packet is dropped and
 * counted; a partly written one is never dropped: the new packet is then dropped and
 * counted instead (result 0). 0 also for an over-long packet (not counted). *dropped, when
 * given, gets the packets this push dropped (0 or 1). */
int relay_queue_push(relay_queue *queue, const uint8_t *head, uint32_t head_length, const char *body,
                     uint32_t body_length, unsigned *dropped = nullptr);

/* The unwritten bytes as up to max pieces, oldest first, one whole packet each (the first
 * may start inside a partly written packet). At least once: only the packets offered by
 * relay_queue_offer. Returns the number of pieces. */
unsigned relay_queue_gather(const relay_queue *queue, iovec *pieces, unsigned max);

/* Takes bytes as written, from the oldest on; returns how many packets that completed. */
unsigned relay_queue_written(relay_queue *queue, uint32_t bytes);

/* The connection went away: a partly written packet is to be written whole again. */
void relay_queue_rewind(relay_queue *queue);

/* The connection went away with the last unacknowledged bytes written: returns how many
 * packets written whole had bytes among them (lost with it) and forgets the packets
 * written so far. A partly written packet is not counted: it is written whole again. */
unsigned relay_queue_lost(relay_queue *queue, uint64_t unacknowledged);

/* Drops every packet and returns how many there were (the partly written one included). */
unsigned relay_queue_clear(relay_queue *queue);

/* Returns the number of dropped packets since the previous call and restarts the count. */
unsigned relay_queue_take_dropped(relay_queue *queue);

/* Packets waiting (at least once: documents not yet acknowledged or dropped included). */
unsigned relay_queue_count(const relay_queue *queue);

/* 1 when no packet can be added without dropping one. */
int relay_queue_full(const relay_queue *queue);

/* ---- At least once ---- */

/* Appends a document that arrived at time_ms (from its spool position, segment 0 for none);
 * its PUBLISH head is made when it is offered. When full: 0, unless drop_oldest and the
 * oldest is not on the wire, which then goes (counted, and reported in *dropped). */
int relay_queue_add(relay_queue *queue, const char *document, uint32_t length, int64_t time_ms,
                    spool_position from, bool drop_oldest, unsigned *dropped = nullptr);

/* Makes the PUBLISH heads (QoS 1 on topic; a packet identifier 1 to 65535 not in flight;
 * DUP when sent on an earlier connection) of the documents that may go out now: as many as
 * keep at most RELAY_IN_FLIGHT_MAX unacknowledged. Called when documents come or the window
 * frees (added, acknowledged, retried), not per write. Returns how many are offered. */
unsigned relay_queue_offer(relay_queue *queue, const char *topic, uint32_t topic_length);

/* Where the PUBACK for packet_id goes; what it let leave the queue. */
struct relay_acknowledged {
  bool found;             /* the identifier was in flight */
  unsigned left;          /* acknowledged documents that left the queue with it */
  spool_position spooled; /* the last of those that came from the spool (segment 0: none) */
};
relay_acknowledged relay_queue_acknowledge(relay_queue *queue, uint16_t packet_id);

/* The connection went away: every document not acknowledged waits to go out again first.
 * Those sent RELAY_SENDS_MAX times are dropped: their identifiers into refused (at most
 * capacity) and their count returned; *spooled gets the spool position of the last
 * document that left the queue with them (segment 0: none). */
unsigned relay_queue_retry(relay_queue *queue, uint16_t *refused, unsigned capacity, spool_position *spooled);

/* Documents written whole and awaiting a PUBACK. */
unsigned relay_queue_in_flight(const relay_queue *queue);

/* The document at index (0 the oldest, below relay_queue_count): its body and record. */
const char *relay_queue_document(const relay_queue *queue, unsigned index, uint32_t *length,
                                 const relay_document **record);

/* Adds shift_ms to every document's arrival time (the wall clock was set). */
void relay_queue_shift_times(relay_queue *queue, int64_t shift_ms);

/* Sets where the document at index lies in the spool (it was written there after all). */
void relay_queue_set_from(relay_queue *queue, unsigned index, spool_position from);
