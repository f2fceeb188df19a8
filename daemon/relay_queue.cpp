/* Bounded queue of cloud packets. */
#include "relay_queue.h"

#include <cstring>

namespace {

char *slot_data(relay_queue *queue, unsigned slot) {
  return queue->lengths[slot] <= RELAY_SLOT_CAPACITY ? queue->short_store[slot] : queue->long_store[slot];
}

const char *slot_data(const relay_queue *queue, unsigned slot) {
  return queue->lengths[slot] <= RELAY_SLOT_CAPACITY ? queue->short_store[slot] : queue->long_store[slot];
}

void remember_written(relay_queue *queue, uint32_t length) {
  queue->written_lengths[queue->written_next] = static_cast<uint16_t>(length);
  queue->written_next = (queue->written_next + 1) % RELAY_WRITTEN_MEMORY;
  if (queue->written_count < RELAY_WRITTEN_MEMORY) queue->written_count++;
}

void drop_oldest(relay_queue *queue) {
  queue->head = (queue->head + 1) % RELAY_QUEUE_SLOTS;
  queue->count--;
  queue->sent = 0;
}

} // namespace

void relay_queue_reset(relay_queue *queue) {
  queue->head = 0;
  queue->count = 0;
  queue->dropped = 0;
  queue->sent = 0;
  queue->written_next = queue->written_count = 0;
}

int relay_queue_push(relay_queue *queue, const uint8_t *head, uint32_t head_length, const char *body,
                     uint32_t body_length, unsigned *dropped) {
  if (dropped != nullptr) *dropped = 0;
  if (head_length > RELAY_PACKET_CAPACITY || body_length > RELAY_PACKET_CAPACITY - head_length ||
      (head == nullptr && head_length > 0) || (body == nullptr && body_length > 0))
    return 0;
  if (queue->count == RELAY_QUEUE_SLOTS) {
    queue->dropped++;
    if (dropped != nullptr) *dropped = 1;
    if (queue->sent > 0) return 0;
    drop_oldest(queue);
  }
  /* An emptied queue starts again at slot 0, so a steady trickle keeps reusing the same
   * few pages. */
  if (queue->count == 0) queue->head = 0;
  const unsigned slot = (queue->head + queue->count) % RELAY_QUEUE_SLOTS;
  queue->lengths[slot] = head_length + body_length;
  char *data = slot_data(queue, slot);
  if (head_length > 0) std::memcpy(data, head, head_length);
  if (body_length > 0) std::memcpy(data + head_length, body, body_length);
  queue->count++;
  return 1;
}

unsigned relay_queue_gather(const relay_queue *queue, iovec *pieces, unsigned max) {
  unsigned n = 0;
  for (unsigned i = 0; i < queue->count && n < max; i++) {
    const unsigned slot = (queue->head + i) % RELAY_QUEUE_SLOTS;
    const uint32_t skip = i == 0 ? queue->sent : 0;
    pieces[n++] = iovec{const_cast<char *>(slot_data(queue, slot)) + skip, queue->lengths[slot] - skip};
  }
  return n;
}

unsigned relay_queue_written(relay_queue *queue, uint32_t bytes) {
  unsigned completed = 0;
  while (bytes > 0 && queue->count > 0) {
    const uint32_t left = queue->lengths[queue->head] - queue->sent;
    if (bytes < left) {
      queue->sent += bytes;
      break;
    }
    bytes -= left;
    remember_written(queue, queue->lengths[queue->head]);
    drop_oldest(queue);
    completed++;
  }
  return completed;
}

void relay_queue_rewind(relay_queue *queue) { queue->sent = 0; }

unsigned relay_queue_lost(relay_queue *queue, uint64_t unacknowledged) {
  uint64_t left = unacknowledged > queue->sent ? unacknowledged - queue->sent : 0;
  unsigned lost = 0;
  unsigned at = queue->written_next;
  for (unsigned i = 0; i < queue->written_count && left > 0; i++) {
    at = (at + RELAY_WRITTEN_MEMORY - 1) % RELAY_WRITTEN_MEMORY;
    const uint32_t length = queue->written_lengths[at];
    left = left > length ? left - length : 0;
    lost++;
  }
  /* Beyond the memory (never with the bounded send buffer): the shortest packet a document
   * makes counts, so no loss is under-reported. */
  if (left > 0) lost += static_cast<unsigned>((left + RELAY_HEAD_CAPACITY - 1) / RELAY_HEAD_CAPACITY);
  queue->written_next = queue->written_count = 0;
  return lost;
}

unsigned relay_queue_clear(relay_queue *queue) {
  unsigned count = queue->count;
  queue->head = queue->count = 0;
  queue->sent = 0;
  return count;
}

unsigned relay_queue_take_dropped(relay_queue *queue) {
  unsigned dropped = queue->dropped;
  queue->dropped = 0;
  return dropped;
}

unsigned relay_queue_count(const relay_queue *queue) { return queue->count; }

int relay_queue_full(const relay_queue *queue) { return queue->count == RELAY_QUEUE_SLOTS ? 1 : 0; }
