/* The cloud session's output: whole PUBLISH packets (head and document) in fixed storage,
 * written in order, the oldest dropped when full while the cloud is away. */
#pragma once
#include <sys/uio.h>

#include <cstdint>

constexpr unsigned RELAY_DOCUMENT_CAPACITY = 3072;
/* Fixed header and topic of a document's PUBLISH packet. */
constexpr unsigned RELAY_HEAD_CAPACITY = 32;
constexpr unsigned RELAY_PACKET_CAPACITY = RELAY_DOCUMENT_CAPACITY + RELAY_HEAD_CAPACITY;
constexpr unsigned RELAY_QUEUE_SLOTS = 256;
/* Packets up to this length are stored in the slot's part of the short store, longer ones
 * in its part of the long store. Memory pages are only touched when used, so a backlog of
 * short documents costs 128 KiB at most instead of the 776 KiB of full-size slots. */
constexpr unsigned RELAY_SLOT_CAPACITY = 512;
/* Lengths of the packets written last, newest first, so that the bytes a lost connection
 * took with it can be counted as documents. The cloud's bounded send buffer holds fewer
 * packets than this. */
constexpr unsigned RELAY_WRITTEN_MEMORY = 4096;

struct relay_queue {
  uint32_t lengths[RELAY_QUEUE_SLOTS];
  char short_store[RELAY_QUEUE_SLOTS][RELAY_SLOT_CAPACITY];
  char long_store[RELAY_QUEUE_SLOTS][RELAY_PACKET_CAPACITY];
  unsigned head;    /* index of the oldest packet */
  unsigned count;   /* packets waiting */
  unsigned dropped; /* packets dropped since the last relay_queue_take_dropped */
  uint32_t sent;    /* bytes of the oldest packet already written */
  uint16_t written_lengths[RELAY_WRITTEN_MEMORY]; /* ring of packets written whole */
  unsigned written_next, written_count;
};

/* Empties the queue. */
void relay_queue_reset(relay_queue *queue);

/* Appends the packet made of head and body (together at most RELAY_PACKET_CAPACITY bytes).
 * When the queue is full the oldest packet is dropped and counted; a partly written one is
 * never dropped: the new packet is then dropped and counted instead (result 0). 0 also for
 * an over-long packet (not counted). *dropped, when given, gets the packets this push
 * dropped (0 or 1). */
int relay_queue_push(relay_queue *queue, const uint8_t *head, uint32_t head_length, const char *body,
                     uint32_t body_length, unsigned *dropped = nullptr);

/* The unwritten bytes as up to max pieces, oldest first (the first may start inside a
 * partly written packet). Returns the number of pieces. */
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

/* Packets waiting. */
unsigned relay_queue_count(const relay_queue *queue);

/* 1 when no packet can be added without dropping one. */
int relay_queue_full(const relay_queue *queue);
