/* Bounded queue of cloud documents between the gateway callback and the publisher thread:
 * fixed storage, oldest dropped when full. */
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

constexpr unsigned RELAY_DOCUMENT_CAPACITY = 3072;
constexpr unsigned RELAY_QUEUE_SLOTS = 256;
/* Documents up to this length are stored in the slot's part of the short store, longer ones
 * in its part of the long store. Memory pages are only touched when used, so a backlog of
 * short documents costs 128 KiB at most instead of the 768 KiB of full-size slots. */
constexpr unsigned RELAY_SLOT_CAPACITY = 512;

struct relay_document {
  uint32_t length;
  char data[RELAY_DOCUMENT_CAPACITY];
};

struct relay_queue {
  std::mutex lock;
  /* Advanced by every change a consumer may wait for; the consumer sleeps on it (a futex),
   * so that a wake-up costs one system call and only when the consumer is asleep. */
  std::atomic<uint32_t> changes;
  std::atomic<uint32_t> sleepers; /* consumers asleep or about to sleep on changes */
  uint32_t lengths[RELAY_QUEUE_SLOTS];
  char short_store[RELAY_QUEUE_SLOTS][RELAY_SLOT_CAPACITY];
  char long_store[RELAY_QUEUE_SLOTS][RELAY_DOCUMENT_CAPACITY];
  unsigned head;     /* index of the oldest document */
  unsigned count;    /* documents waiting */
  unsigned dropped;  /* documents dropped since the last relay_queue_take_dropped */
  bool open;         /* false once relay_queue_close was called */
  bool ready;        /* the consumer may take documents (the cloud is connected) */
  bool sending;      /* a document taken by relay_queue_pop or relay_queue_claim is being sent */
};

/* Empties the queue and opens it, not ready. */
void relay_queue_reset(relay_queue *queue);

/* Appends a copy of the document (length at most RELAY_DOCUMENT_CAPACITY); when the queue is
 * full the oldest document is dropped and counted. 0 (nothing stored) for a NULL or
 * over-long document or a closed queue. */
int relay_queue_push(relay_queue *queue, const char *data, uint32_t length);

/* Waits until the queue is ready, holds a document and nothing is being sent, then moves the
 * oldest into *out, marks it as being sent and returns 1; the caller sends it and then calls
 * relay_queue_release. Returns 0 once the queue is closed. */
int relay_queue_pop(relay_queue *queue, relay_document *out);

/* Lets the producer send a document itself instead of queueing it, so that documents keep
 * their order: 1 when the queue is open, ready and empty and nothing is being sent; the
 * document then counts as being sent and the caller calls relay_queue_release. 0 otherwise:
 * the document is to be pushed. */
int relay_queue_claim(relay_queue *queue);

/* Ends the send begun by relay_queue_pop or relay_queue_claim; the consumer may take the
 * next document. */
void relay_queue_release(relay_queue *queue);

/* Lets relay_queue_pop take documents (ready 1) or makes it wait (ready 0). */
void relay_queue_set_ready(relay_queue *queue, bool ready);

/* Closes the queue and wakes every waiter; pushes and pops fail from then on. */
void relay_queue_close(relay_queue *queue);

/* Returns the number of dropped documents since the previous call and restarts the count. */
unsigned relay_queue_take_dropped(relay_queue *queue);

/* Documents waiting. */
unsigned relay_queue_count(relay_queue *queue);
