/* Bounded queue of cloud documents. */
#include "relay_queue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

/* Announces a change: a waiting consumer is woken, one that is about to wait sees the new
 * count and does not sleep. */
void announce_change(relay_queue *queue, int wake_count) {
  queue->changes.fetch_add(1);
  if (queue->sleepers.load() != 0)
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&queue->changes), FUTEX_WAKE_PRIVATE,
            wake_count, nullptr, nullptr, 0);
}

/* Sleeps unless changes has moved on from seen; returns on any change or signal. */
void wait_for_change(relay_queue *queue, uint32_t seen) {
  queue->sleepers.fetch_add(1);
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(&queue->changes), FUTEX_WAIT_PRIVATE, seen,
          nullptr, nullptr, 0);
  queue->sleepers.fetch_sub(1);
}

} // namespace

void relay_queue_reset(relay_queue *queue) {
  std::lock_guard<std::mutex> guard(queue->lock);
  queue->head = 0;
  queue->count = 0;
  queue->dropped = 0;
  queue->open = true;
  queue->ready = false;
  queue->sending = false;
}

int relay_queue_push(relay_queue *queue, const char *data, uint32_t length) {
  if (data == nullptr || length > RELAY_DOCUMENT_CAPACITY) return 0;
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    if (!queue->open) return 0;
    if (queue->count == RELAY_QUEUE_SLOTS) {
      queue->head = (queue->head + 1) % RELAY_QUEUE_SLOTS;
      queue->count--;
      queue->dropped++;
    }
    unsigned index = (queue->head + queue->count) % RELAY_QUEUE_SLOTS;
    std::memcpy(length <= RELAY_SLOT_CAPACITY ? queue->short_store[index] : queue->long_store[index],
                data, length);
    queue->lengths[index] = length;
    queue->count++;
  }
  announce_change(queue, 1);
  return 1;
}

int relay_queue_pop(relay_queue *queue, relay_document *out) {
  for (;;) {
    uint32_t seen = queue->changes.load();
    {
      std::lock_guard<std::mutex> guard(queue->lock);
      if (!queue->open) return 0;
      if (queue->ready && queue->count > 0 && !queue->sending) {
        unsigned index = queue->head;
        out->length = queue->lengths[index];
        std::memcpy(out->data,
                    out->length <= RELAY_SLOT_CAPACITY ? queue->short_store[index]
                                                       : queue->long_store[index],
                    out->length);
        queue->head = (queue->head + 1) % RELAY_QUEUE_SLOTS;
        queue->count--;
        /* An empty queue starts again at the first slot, so that the slots (and the memory
         * pages they occupy) in use are only as many as the deepest backlog, not all of
         * them in turn. */
        if (queue->count == 0) queue->head = 0;
        queue->sending = true;
        return 1;
      }
    }
    wait_for_change(queue, seen);
  }
}

int relay_queue_claim(relay_queue *queue) {
  std::lock_guard<std::mutex> guard(queue->lock);
  if (!queue->open || !queue->ready || queue->count > 0 || queue->sending) return 0;
  queue->sending = true;
  return 1;
}

void relay_queue_release(relay_queue *queue) {
  bool waiting;
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->sending = false;
    waiting = queue->count > 0;
  }
  if (waiting) announce_change(queue, 1);
}

void relay_queue_set_ready(relay_queue *queue, bool ready) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->ready = ready;
  }
  announce_change(queue, INT_MAX);
}

void relay_queue_close(relay_queue *queue) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->open = false;
  }
  announce_change(queue, INT_MAX);
}

unsigned relay_queue_take_dropped(relay_queue *queue) {
  std::lock_guard<std::mutex> guard(queue->lock);
  unsigned dropped = queue->dropped;
  queue->dropped = 0;
  return dropped;
}

unsigned relay_queue_count(relay_queue *queue) {
  std::lock_guard<std::mutex> guard(queue->lock);
  return queue->count;
}
