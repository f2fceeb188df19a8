/* The daemon's status record for the operator: connection states, the last failed attempt
 * of each side and the message counters, written to the status file (settings/
 * status_file.h) atomically, only when something changed and at most once a second. */
#pragma once
#include <cstdint>

#include "settings/status_file.h"

/* At most one write of the status file in this many milliseconds. */
constexpr long long STATUS_WRITE_INTERVAL_MS = 1000;
/* A failure's reason in words, as the transport and the session give it. */
constexpr unsigned STATUS_REASON_CAPACITY = 384;
/* The file's text: two URIs of at most 300 bytes and two reasons are its longest values. */
constexpr unsigned STATUS_TEXT_CAPACITY = 4096;
/* The temporary file's name: the path, ".tmp." and the pid. */
constexpr unsigned STATUS_PATH_CAPACITY = 4096;

/* One connection as the operator sees it. Times are of the monotonic clock (ms, never 0)
 * and become wall-clock times when written, so a clock set after the start (a device
 * without a real-time clock that gets the time later) does not falsify them. state and uri
 * are constants or the daemon's own buffers, which outlive the record. */
struct status_side {
  const char *state; /* STATUS_DOWN, STATUS_CONNECTING or STATUS_UP */
  long long since_ms;
  const char *uri;
  long long failed_at_ms; /* 0: no failed attempt yet */
  int failed_rc;
  char failed_text[STATUS_REASON_CAPACITY];
};

/* At least once: what the file shows besides the counters. */
struct status_delivery {
  bool at_least_once; /* the figures below are written only then */
  uint64_t dropped[STATUS_DROP_REASONS];
  uint64_t resent;
  uint64_t gateway_held_ms; /* the gateway held back for the spool since the start */
  unsigned awaiting;        /* documents awaiting a PUBACK */
  uint64_t spool_documents, spool_bytes;
  int spool_errno;           /* 0: the spool is usable */
  int64_t oldest_waiting_ms; /* wall clock, 0: nothing waits */
};

struct relay_status {
  const char *path; /* nullptr or empty: no status file */
  long pid;
  long long started_ms;
  status_side cloud, gateway;
  /* Counted where the relay handles a message; STATUS_WAITING is the queue's length, taken
   * when the file is written. */
  uint64_t counters[STATUS_COUNTERS];
  status_delivery delivery;
  long long last_relayed_ms; /* 0: nothing relayed yet */
  /* Wall clock minus monotonic clock (ms): kept while the wall clock runs on, taken anew
   * when it was set, so an event keeps its second from one write to the next. */
  int64_t wall_offset_ms;
  uint64_t published_written; /* counters[STATUS_PUBLISHED] at the previous write */
  bool dirty;                 /* something changed since the previous write */
  long long written_ms;       /* monotonic time of the previous write, 0 before the first */
  bool failure_logged;        /* a failed write was logged; a successful one clears it */
};

/* Milliseconds since 1970 now (the wall clock). */
int64_t status_wall_ms();

/* Sets the record up: started and both sides down at now_ms, no failure, counters 0,
 * dirty; the wall clock's offset taken now. */
void status_init(relay_status *s, const char *path, long pid, long long now_ms, const char *cloud_uri,
                 const char *gateway_uri);

/* The side enters state at now_ms (nothing changes when it is in that state already). */
void status_side_set(relay_status *s, status_side *side, const char *state, long long now_ms);

/* A failed attempt at now_ms: the side is down since then, with the return code and text
 * (copied, cut to the capacity). */
void status_side_failed(relay_status *s, status_side *side, int rc, const char *text, long long now_ms);

/* Adds n to a counter (not STATUS_WAITING, which is taken when the file is written). */
void status_count(relay_status *s, status_counter counter, uint64_t n = 1);

/* n documents published before were lost with the connection: dropped, not published. */
void status_lost(relay_status *s, uint64_t n);

/* n documents dropped for the reason: counted in DROPPED and in the reason's figure. */
void status_dropped(relay_status *s, status_drop_reason reason, uint64_t n);

/* The delivery's figures now (marks the record changed when they differ). */
void status_delivery_set(relay_status *s, const status_delivery &now);

/* The meaning of a connect's return code: -1 (no connection) or a CONNACK refusal; the
 * cloud's credential refusals name the settings to check. */
const char *status_connect_text(int rc, bool cloud);

/* The meaning of a failed subscription: MQTT_SUBACK_FAILURE (refused) or -1 (no answer). */
const char *status_subscribe_text(int rc);

/* Monotonic time (ms) at which a write is due; 0 while nothing changed. */
long long status_due_ms(const relay_status *s);

/* Writes the file if something changed and the previous write is at least
 * STATUS_WRITE_INTERVAL_MS old; waiting is the number of queued documents. */
void status_write_due(relay_status *s, unsigned waiting, long long now_ms);

/* Writes the file now (now_ms on the monotonic clock, wall_ms on the wall clock): a
 * temporary file "<path>.tmp.<pid>" beside it, created exclusively (never through a link,
 * a FIFO or a file someone else put there; a leftover of the daemon's own, a plain file of
 * its user with one link, is removed first), renamed over it (no fsync: the state is
 * volatile). Documents
 * published since the previous write date the last relayed message now. The first failure
 * is logged (LOG_WARNING) until a write succeeds again. The record counts as written
 * either way. 1 on success, 0 on failure or without a path. */
int status_write(relay_status *s, unsigned waiting, long long now_ms, int64_t wall_ms);

/* The file's text: KEY=VALUE lines, times in seconds since 1970 by the record's wall clock
 * offset (0: never), control bytes in texts replaced by '?'. Returns its length, or 0 when
 * it does not fit the capacity. */
unsigned status_format(const relay_status *s, unsigned waiting, char *out, unsigned capacity);

/* Removes the file (at a clean stop). */
void status_remove(const relay_status *s);
