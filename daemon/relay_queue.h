/* The cloud session's output: whole PUBLISH packets (head and document) in fixed storage,
 * written in order. At most once (QoS 0): a packet leaves once written, the oldest is dropped
 * when full while the cloud is away. At least once (QoS 1): a document leaves only on its
 * PUBACK, at most a window of them is unacknowledged, and after a lost connection the
 * unacknowledged ones go out again first, in their order, with the DUP flag. */
#pragma once
#include <sys/uio.h>

#include <cstdint>

#include "daemon/spool/spool.h"
#include "nimba_config.h"

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
/* At least once: documents unacknowledged at a time (NIMBA_INFLIGHT_MAX), so that one round
 * trip to the cloud carries that many; large cloud brokers take 100 per client and stop
 * reading beyond it. No more than the memory queue holds can be unacknowledged: a window
 * above RELAY_QUEUE_SLOTS works as one of RELAY_QUEUE_SLOTS. */
constexpr unsigned RELAY_IN_FLIGHT_MAX = NIMBA_INFLIGHT_MAX;
/* Confirmed strikes before a document is dropped as refused by the cloud. */
constexpr unsigned RELAY_STRIKES_MAX = 5;
/* Acknowledgements are read in batches, one wake-up for many rather than one per document:
 * after at most RELAY_ACK_DELAY_MS while the window has room for every document waiting,
 * at most every RELAY_ACK_FULL_DELAY_MS while documents wait for room in it (a full
 * window: its acknowledgements are what lets them go, but a busy broker sends them in
 * small pieces that need not each wake the loop). */
constexpr unsigned RELAY_ACK_DELAY_MS = 20;
constexpr unsigned RELAY_ACK_FULL_DELAY_MS = 1;

/* Where a document stands on this connection (at least once). A lost connection takes
 * every state before ACKED back to WAITING. */
enum relay_document_state : uint8_t {
  DOCUMENT_WAITING,   /* no head made for this connection */
  DOCUMENT_OFFERED,   /* head made (packet identifier, DUP), nothing written */
  DOCUMENT_WRITING,   /* partly written */
  DOCUMENT_IN_FLIGHT, /* written whole, PUBACK awaited */
  DOCUMENT_ACKED,     /* PUBACK came; leaves once the ones before it left */
  DOCUMENT_DROPPED,   /* refused: RELAY_STRIKES_MAX strikes confirmed */
};
inline bool relay_document_settled(relay_document_state s) { return s >= DOCUMENT_ACKED; }

struct relay_document {
  int64_t time_ms;     /* arrival (wall clock), for the age of the oldest waiting */
  spool_position from; /* where it is in the spool; segment 0: memory only */
  uint16_t packet_id;  /* 0 until first offered */
  uint8_t sends;       /* connections it was (partly) written on */
  uint8_t losses;      /* connections lost while it was (partly) written and unacknowledged */
  uint8_t strikes;     /* confirmed strikes (relay_link_mode) */
  relay_document_state state;
};

/* How a connection sends (at least once). A lost connection alone says nothing against a
 * document: clouds end links for reasons of their own. The oldest document, once lost with
 * two connections, is the suspect: it goes alone on a connection that proved alive (a ping
 * answered), and its PUBACK clears every document's losses (the links were at fault). A
 * probe that ends with the suspect written whole and unacknowledged leaves a strike
 * pending; the next connection sends the others without it, and the first of them
 * acknowledged confirms the strike (a connection that ends before clears it).
 * RELAY_STRIKES_MAX confirmed strikes drop the suspect. */
enum relay_link_mode : uint8_t {
  LINK_NORMAL,  /* the window, oldest first */
  LINK_PROBE,   /* once alive: the suspect alone */
  LINK_CONTROL, /* once alive: every document but the suspect */
  LINK_SETTLE,  /* a strike confirmed: nothing new until none is in flight, then a probe */
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
  unsigned next;      /* the first document that may have bytes to write; before it every one is
                         settled, in flight or (LINK_CONTROL) the suspect */
  unsigned in_flight; /* documents awaiting a PUBACK */
  uint16_t last_packet_id;
  uint64_t resent; /* documents written again on a later connection */
  relay_link_mode mode;
  bool link_alive;     /* this connection proved alive since its CONNACK */
  bool strike_pending; /* the last probe ended with the suspect unacknowledged */
  /* Where the documents that left from behind an unsettled oldest one end in the spool:
   * the spool hears of them once that one leaves (segment 0: none). */
  spool_position spooled_behind;
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
 * keep at most RELAY_IN_FLIGHT_MAX unacknowledged, as the connection's mode allows (none
 * while it must prove alive). Called when documents come or the window frees (added,
 * acknowledged, retried, alive), not per write. Returns how many are offered. */
unsigned relay_queue_offer(relay_queue *queue, const char *topic, uint32_t topic_length);

/* Where the PUBACK for packet_id goes; what it let leave the queue. */
struct relay_acknowledged {
  bool found;             /* the identifier was in flight */
  unsigned left;          /* acknowledged documents that left the queue with it */
  spool_position spooled; /* the last of those, or of a refused one, that came from the spool
                             (segment 0: none) */
  bool refused;           /* it confirmed the last strike of the suspect, which was dropped */
  uint16_t refused_id;    /* that one's packet identifier */
};
relay_acknowledged relay_queue_acknowledge(relay_queue *queue, uint16_t packet_id);

/* The connection went away: every document not acknowledged waits to go out again first,
 * and the next connection's mode follows from the losses and strikes (relay_link_mode). */
void relay_queue_retry(relay_queue *queue);

/* 1 while the connection must prove alive before documents go on it (a suspect waits). */
int relay_queue_needs_proof(const relay_queue *queue);

/* The connection proved alive (its broker answered a ping): documents may be offered. */
void relay_queue_alive(relay_queue *queue);

/* Documents written whole and awaiting a PUBACK. */
unsigned relay_queue_in_flight(const relay_queue *queue);

/* 1 while a document waits for room in the window (or for its turn after a probe): it has
 * no head yet on this connection although every one before it has. */
int relay_queue_held_back(const relay_queue *queue);

/* The document at index (0 the oldest, below relay_queue_count): its body and record. */
const char *relay_queue_document(const relay_queue *queue, unsigned index, uint32_t *length,
                                 const relay_document **record);

/* Adds shift_ms to every document's arrival time (the wall clock was set). */
void relay_queue_shift_times(relay_queue *queue, int64_t shift_ms);

/* Sets where the document at index lies in the spool (it was written there after all). */
void relay_queue_set_from(relay_queue *queue, unsigned index, spool_position from);
