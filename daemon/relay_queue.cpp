/* Bounded queue of cloud packets. */
#include "relay_queue.h"

#include <cstring>

#include "daemon/mqtt/codec.h"

namespace {

unsigned slot_at(const relay_queue *queue, unsigned index) {
  return (queue->head + index) % RELAY_QUEUE_SLOTS;
}

uint32_t body_length(const relay_queue *queue, unsigned slot) {
  return queue->lengths[slot] - queue->head_lengths[slot];
}

/* Where the slot's body starts; its head ends there. */
char *body_of(relay_queue *queue, unsigned slot) {
  char *store = RELAY_HEAD_CAPACITY + body_length(queue, slot) <= RELAY_SLOT_CAPACITY
                    ? queue->short_store[slot]
                    : queue->long_store[slot];
  return store + RELAY_HEAD_CAPACITY;
}

const char *body_of(const relay_queue *queue, unsigned slot) {
  return body_of(const_cast<relay_queue *>(queue), slot);
}

/* The whole packet: head then body. */
const char *packet_of(const relay_queue *queue, unsigned slot) {
  return body_of(queue, slot) - queue->head_lengths[slot];
}

/* Stores head and body in a free slot at the end; the caller checked the room. */
unsigned store(relay_queue *queue, const uint8_t *head, uint32_t head_length, const char *body,
               uint32_t length) {
  /* An emptied queue starts again at slot 0, so a steady trickle keeps reusing the same
   * few pages. */
  if (queue->count == 0) queue->head = 0;
  const unsigned slot = slot_at(queue, queue->count);
  queue->lengths[slot] = head_length + length;
  queue->head_lengths[slot] = head_length;
  char *data = body_of(queue, slot);
  if (head_length > 0) std::memcpy(data - head_length, head, head_length);
  if (length > 0) std::memcpy(data, body, length);
  queue->documents[slot] = relay_document{};
  queue->count++;
  return slot;
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

bool settled(const relay_document &d) { return relay_document_settled(d.state); }

relay_document &document_at(relay_queue *queue, unsigned index) {
  return queue->documents[slot_at(queue, index)];
}

/* Moves next past documents that need not go out (acknowledged, dropped). */
void skip_settled(relay_queue *queue) {
  while (queue->next < queue->count && settled(document_at(queue, queue->next))) queue->next++;
}

/* The later of two spool positions (segment 0: none). */
spool_position later(spool_position a, spool_position b) {
  return b.segment > a.segment || (b.segment == a.segment && b.offset > a.offset) ? b : a;
}

/* Tells result what the document leaving the queue was. */
void account_leaving(const relay_document &d, spool_position *spooled, relay_acknowledged *result) {
  if (d.state == DOCUMENT_ACKED) result->left++;
  *spooled = later(*spooled, d.from); /* a dropped one is done with too */
}

/* Lets the settled documents at the front leave. A full queue whose oldest document is
 * unsettled (a suspect, or one acknowledged late) lets the settled run behind it leave as
 * well, so that memory goes on taking documents: the oldest moves into the run's last slot,
 * and the spool hears of the run only once the oldest leaves, as it is older. */
void leave_settled(relay_queue *queue, relay_acknowledged *result) {
  while (queue->count > 0 && settled(queue->documents[queue->head])) {
    account_leaving(queue->documents[queue->head], &result->spooled, result);
    result->spooled = later(result->spooled, queue->spooled_behind);
    queue->spooled_behind = spool_position{0, 0};
    queue->head = (queue->head + 1) % RELAY_QUEUE_SLOTS;
    queue->count--;
    if (queue->next > 0) queue->next--;
  }
  if (queue->count < RELAY_QUEUE_SLOTS) return;
  unsigned run = 0;
  while (run + 1 < queue->count && settled(document_at(queue, run + 1))) {
    run++;
    account_leaving(document_at(queue, run), &queue->spooled_behind, result);
  }
  if (run == 0) return;
  const unsigned from = queue->head, to = slot_at(queue, run);
  queue->lengths[to] = queue->lengths[from];
  queue->head_lengths[to] = queue->head_lengths[from];
  queue->documents[to] = queue->documents[from];
  std::memcpy(body_of(queue, to) - queue->head_lengths[to], packet_of(queue, from), queue->lengths[from]);
  queue->head = to;
  queue->count -= run;
  queue->next = queue->next > run ? queue->next - run : (queue->next > 0 ? 1 : 0);
}

/* An identifier is taken while a document that has it is not settled. Documents get theirs
 * in the queue's order, so those that have one come first. */
bool id_taken(const relay_queue *queue, uint16_t id) {
  for (unsigned i = 0; i < queue->count; i++) {
    const relay_document &d = queue->documents[slot_at(queue, i)];
    if (d.packet_id == 0) return false;
    if (d.packet_id == id && !settled(d)) return true;
  }
  return false;
}

uint16_t new_packet_id(relay_queue *queue) {
  for (;;) {
    if (++queue->last_packet_id == 0) queue->last_packet_id = 1;
    if (!id_taken(queue, queue->last_packet_id)) return queue->last_packet_id;
  }
}

/* Makes the document's PUBLISH head for this connection. */
void make_head(relay_queue *queue, unsigned slot, const char *topic, uint32_t topic_length) {
  relay_document &d = queue->documents[slot];
  if (d.packet_id == 0) d.packet_id = new_packet_id(queue);
  uint8_t head[RELAY_HEAD_CAPACITY];
  const uint32_t length = body_length(queue, slot);
  const uint32_t head_length =
      mqtt_encode_publish_head(head, sizeof head, topic, topic_length, length, 1, d.packet_id, d.sends > 0);
  std::memcpy(body_of(queue, slot) - head_length, head, head_length);
  queue->head_lengths[slot] = head_length;
  queue->lengths[slot] = head_length + length;
  d.state = DOCUMENT_OFFERED;
}

/* The mode of the next connection, or of this one once the suspect is settled: the oldest
 * document lost with two connections is probed, or controlled while a strike is pending. */
void plan_link(relay_queue *queue) {
  const bool suspect = queue->count > 0 && queue->documents[queue->head].losses >= 2;
  if (!suspect) queue->strike_pending = false;
  queue->mode = !suspect ? LINK_NORMAL : (queue->strike_pending ? LINK_CONTROL : LINK_PROBE);
}

/* The suspect was acknowledged or dropped: the losses of the others were the links' doing,
 * or its own. */
void clear_losses(relay_queue *queue) {
  for (unsigned i = 0; i < queue->count; i++) document_at(queue, i).losses = 0;
  queue->strike_pending = false;
  plan_link(queue);
}

/* Another document acknowledged on a control connection: the strike counts. The last one
 * drops the suspect; before it, nothing new goes out until none is in flight, and the
 * suspect is probed alone again. */
void confirm_strike(relay_queue *queue, relay_acknowledged *result) {
  relay_document &suspect = queue->documents[queue->head];
  queue->strike_pending = false;
  if (++suspect.strikes >= RELAY_STRIKES_MAX) {
    suspect.state = DOCUMENT_DROPPED;
    result->refused = true;
    result->refused_id = suspect.packet_id;
    clear_losses(queue);
    return;
  }
  queue->mode = LINK_SETTLE;
  for (unsigned i = queue->next; i < queue->count; i++) {
    relay_document &d = document_at(queue, i);
    if (d.state == DOCUMENT_OFFERED) d.state = DOCUMENT_WAITING;
  }
}

} // namespace

void relay_queue_reset(relay_queue *queue, bool at_least_once) {
  queue->head = 0;
  queue->count = 0;
  queue->dropped = 0;
  queue->sent = 0;
  queue->written_next = queue->written_count = 0;
  queue->at_least_once = at_least_once;
  queue->next = queue->in_flight = 0;
  queue->last_packet_id = 0;
  queue->resent = 0;
  queue->mode = LINK_NORMAL;
  queue->link_alive = queue->strike_pending = false;
  queue->spooled_behind = spool_position{0, 0};
}

int relay_queue_push(relay_queue *queue, const uint8_t *head, uint32_t head_length, const char *body,
                     uint32_t body_length, unsigned *dropped) {
  if (dropped != nullptr) *dropped = 0;
  if (head_length > RELAY_HEAD_CAPACITY || body_length > RELAY_PACKET_CAPACITY - head_length ||
      (head == nullptr && head_length > 0) || (body == nullptr && body_length > 0))
    return 0;
  if (queue->count == RELAY_QUEUE_SLOTS) {
    queue->dropped++;
    if (dropped != nullptr) *dropped = 1;
    if (queue->sent > 0) return 0;
    drop_oldest(queue);
  }
  store(queue, head, head_length, body, body_length);
  return 1;
}

unsigned relay_queue_gather(const relay_queue *queue, iovec *pieces, unsigned max) {
  unsigned n = 0;
  const unsigned first = queue->at_least_once ? queue->next : 0;
  for (unsigned i = first; i < queue->count && n < max; i++) {
    const unsigned slot = slot_at(queue, i);
    if (queue->at_least_once) {
      const relay_document &d = queue->documents[slot];
      if (settled(d)) continue;
      if (d.state == DOCUMENT_WAITING) break;
    }
    const uint32_t skip = n == 0 ? queue->sent : 0;
    pieces[n++] = iovec{const_cast<char *>(packet_of(queue, slot)) + skip, queue->lengths[slot] - skip};
  }
  return n;
}

unsigned relay_queue_written(relay_queue *queue, uint32_t bytes) {
  unsigned completed = 0;
  if (!queue->at_least_once) {
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
  while (bytes > 0 && queue->next < queue->count) {
    const unsigned slot = slot_at(queue, queue->next);
    relay_document &d = queue->documents[slot];
    if (d.state == DOCUMENT_OFFERED) {
      d.state = DOCUMENT_WRITING;
      if (d.sends < UINT8_MAX) d.sends++;
      if (d.sends > 1) queue->resent++;
    }
    const uint32_t left = queue->lengths[slot] - queue->sent;
    if (bytes < left) {
      queue->sent += bytes;
      break;
    }
    bytes -= left;
    queue->sent = 0;
    d.state = DOCUMENT_IN_FLIGHT;
    queue->in_flight++;
    queue->next++;
    skip_settled(queue);
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
  queue->next = queue->in_flight = 0;
  queue->mode = LINK_NORMAL;
  queue->link_alive = queue->strike_pending = false;
  queue->spooled_behind = spool_position{0, 0};
  return count;
}

unsigned relay_queue_take_dropped(relay_queue *queue) {
  unsigned dropped = queue->dropped;
  queue->dropped = 0;
  return dropped;
}

unsigned relay_queue_count(const relay_queue *queue) { return queue->count; }

int relay_queue_full(const relay_queue *queue) { return queue->count == RELAY_QUEUE_SLOTS ? 1 : 0; }

int relay_queue_add(relay_queue *queue, const char *document, uint32_t length, int64_t time_ms,
                    spool_position from, bool drop_oldest_waiting, unsigned *dropped) {
  if (dropped != nullptr) *dropped = 0;
  if (length == 0 || length > RELAY_DOCUMENT_CAPACITY || document == nullptr) return 0;
  if (queue->count == RELAY_QUEUE_SLOTS) {
    const relay_document &oldest = queue->documents[queue->head];
    if (!drop_oldest_waiting || oldest.state >= DOCUMENT_WRITING || queue->next > 0) return 0;
    queue->dropped++;
    if (dropped != nullptr) *dropped = 1;
    drop_oldest(queue);
    queue->strike_pending = false; /* it was the oldest's */
    plan_link(queue);
  }
  const unsigned slot = store(queue, nullptr, 0, document, length);
  queue->documents[slot].time_ms = time_ms;
  queue->documents[slot].from = from;
  return 1;
}

unsigned relay_queue_offer(relay_queue *queue, const char *topic, uint32_t topic_length) {
  if (queue->count == 0 || queue->mode == LINK_SETTLE || relay_queue_needs_proof(queue)) return 0;
  if (queue->mode == LINK_PROBE) {
    if (queue->documents[queue->head].state == DOCUMENT_WAITING)
      make_head(queue, queue->head, topic, topic_length);
    return 1;
  }
  unsigned offered = 0;
  unsigned unacknowledged = queue->in_flight;
  for (unsigned i = queue->next; i < queue->count && unacknowledged < RELAY_IN_FLIGHT_MAX; i++) {
    const unsigned slot = slot_at(queue, i);
    const relay_document &d = queue->documents[slot];
    if (settled(d)) continue;
    unacknowledged++;
    offered++;
    if (d.state == DOCUMENT_WAITING) make_head(queue, slot, topic, topic_length);
  }
  return offered;
}

relay_acknowledged relay_queue_acknowledge(relay_queue *queue, uint16_t packet_id) {
  relay_acknowledged result{false, 0, spool_position{0, 0}, false, 0};
  unsigned index = 0;
  while (index < queue->next && index < queue->count) {
    const relay_document &d = document_at(queue, index);
    if (d.state == DOCUMENT_IN_FLIGHT && d.packet_id == packet_id) break;
    index++;
  }
  if (index == queue->next || index == queue->count) return result;
  document_at(queue, index).state = DOCUMENT_ACKED;
  queue->in_flight--;
  queue->link_alive = true;
  result.found = true;
  if (queue->mode == LINK_PROBE) {
    clear_losses(queue);
  } else if (queue->mode == LINK_CONTROL) {
    confirm_strike(queue, &result);
  }
  if (queue->mode == LINK_SETTLE && queue->in_flight == 0 && queue->sent == 0) {
    queue->mode = LINK_PROBE;
    queue->next = 0;
  }
  leave_settled(queue, &result);
  return result;
}

void relay_queue_retry(relay_queue *queue) {
  if (queue->count > 0) {
    const relay_document &oldest = queue->documents[queue->head];
    if (queue->mode == LINK_PROBE && oldest.state == DOCUMENT_IN_FLIGHT) queue->strike_pending = true;
    if (queue->mode == LINK_CONTROL) queue->strike_pending = false; /* nothing confirmed it */
  }
  for (unsigned i = 0; i < queue->count; i++) {
    relay_document &d = document_at(queue, i);
    if ((d.state == DOCUMENT_WRITING || d.state == DOCUMENT_IN_FLIGHT) && d.losses < UINT8_MAX) d.losses++;
    if (!settled(d)) d.state = DOCUMENT_WAITING;
  }
  queue->next = 0;
  queue->sent = 0;
  queue->in_flight = 0;
  queue->link_alive = false;
  plan_link(queue);
  skip_settled(queue);
}

int relay_queue_needs_proof(const relay_queue *queue) {
  return queue->at_least_once && queue->mode != LINK_NORMAL && !queue->link_alive ? 1 : 0;
}

void relay_queue_alive(relay_queue *queue) {
  queue->link_alive = true;
  /* A control connection leaves the suspect, the oldest, out. */
  if (queue->mode == LINK_CONTROL && queue->next == 0) {
    queue->next = 1;
    skip_settled(queue);
  }
}

unsigned relay_queue_in_flight(const relay_queue *queue) { return queue->in_flight; }

int relay_queue_held_back(const relay_queue *queue) {
  for (unsigned i = queue->next; i < queue->count; i++) {
    const relay_document_state state = queue->documents[slot_at(queue, i)].state;
    if (state == DOCUMENT_WAITING) return 1;
    if (state != DOCUMENT_OFFERED && state != DOCUMENT_WRITING && !relay_document_settled(state)) return 0;
  }
  return 0;
}

const char *relay_queue_document(const relay_queue *queue, unsigned index, uint32_t *length,
                                 const relay_document **record) {
  if (index >= queue->count) return nullptr;
  const unsigned slot = slot_at(queue, index);
  if (length != nullptr) *length = body_length(queue, slot);
  if (record != nullptr) *record = &queue->documents[slot];
  return body_of(queue, slot);
}

void relay_queue_set_from(relay_queue *queue, unsigned index, spool_position from) {
  if (index < queue->count) queue->documents[slot_at(queue, index)].from = from;
}

void relay_queue_shift_times(relay_queue *queue, int64_t shift_ms) {
  for (unsigned i = 0; i < queue->count; i++) queue->documents[slot_at(queue, i)].time_ms += shift_ms;
}
