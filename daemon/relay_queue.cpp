/* Bounded queue of cloud documents. */
#include "relay_queue.h"

#include <cstring>

void relay_queue_reset(relay_queue *queue) {
  std::lock_guard<std::mutex> guard(queue->lock);
  queue->head = 0;
  queue->count = 0;
  queue->dropped = 0;
  queue->open = true;
  queue->ready = false;
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
    relay_document &slot = queue->slots[(queue->head + queue->count) % RELAY_QUEUE_SLOTS];
    std::memcpy(slot.data, data, length);
    slot.length = length;
    queue->count++;
  }
  queue->changed.notify_one();
  return 1;
}

int relay_queue_pop(relay_queue *queue, relay_document *out) {
  std::unique_lock<std::mutex> guard(queue->lock);
  queue->changed.wait(guard, [queue] {
    return !queue->open || (queue->ready && queue->count > 0);
  });
  if (!queue->open) return 0;
  const relay_document &slot = queue->slots[queue->head];
  out->length = slot.length;
  std::memcpy(out->data, slot.data, slot.length);
  queue->head = (queue->head + 1) % RELAY_QUEUE_SLOTS;
  queue->count--;
  /* An empty queue starts again at the first slot, so that the slots (and the memory pages
   * they occupy) in use are only as many as the deepest backlog, not all of them in turn. */
  if (queue->count == 0) queue->head = 0;
  return 1;
}

void relay_queue_set_ready(relay_queue *queue, bool ready) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->ready = ready;
  }
  queue->changed.notify_all();
}

void relay_queue_close(relay_queue *queue) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->open = false;
  }
  queue->changed.notify_all();
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
