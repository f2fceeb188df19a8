/* The caller's side of the spool: the ring of segments (oldest first), the batches being
 * filled, reading back, acknowledging and closing. Caller's thread only. It reads files
 * itself; while the writer runs, every write, sync and delete is the writer's
 * (spool_writer.h): the caller changes the folder only before the writer starts (a leftover
 * removed) and once it ended (the close). */
#include "spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings/log.h"

namespace {

spool_segment *segment_at(spool *s, uint32_t i) { return &s->segments[(s->head + i) % SPOOL_SEGMENTS_MAX]; }
const spool_segment *segment_at(const spool *s, uint32_t i) {
  return &s->segments[(s->head + i) % SPOOL_SEGMENTS_MAX];
}

spool_segment *find_segment(spool *s, uint64_t number) {
  if (s->count && segment_at(s, s->count - 1)->number == number) return segment_at(s, s->count - 1);
  for (uint32_t i = 0; i < s->count; i++) {
    spool_segment *e = segment_at(s, i);
    if (e->number == number) return e;
  }
  return nullptr;
}

/* The order of a segment's offsets (spool.h); cheap enough to check at every change. */
[[maybe_unused]] bool offsets_hold(const spool_segment *e) {
  return e->start <= e->acked && e->acked <= e->read && e->read <= e->end && e->end <= e->bytes &&
         e->durable <= e->bytes;
}

/* The segment spool_next reads from: the first with a record not taken. */
template <typename S>
auto cursor_segment(S *s) -> decltype(segment_at(s, 0)) {
  for (uint32_t i = 0; i < s->count; i++) {
    auto e = segment_at(s, i);
    if (e->read < e->end) return e;
  }
  return nullptr;
}

/* Records of a segment found by the writer's count, when the count is known. */
int known_documents(const spool *s, const spool_segment *e, uint32_t *documents) {
  if (e->counted) {
    *documents = e->documents;
    return 1;
  }
  if (e->scan >= 0 && static_cast<uint32_t>(e->scan) < s->writer.scanned.load(std::memory_order_acquire)) {
    *documents = s->writer.scans[e->scan].documents;
    return 1;
  }
  return 0;
}

/* Documents of a segment not taken yet (0 while they are not counted). */
uint32_t not_taken(const spool *s, const spool_segment *e) {
  uint32_t documents = 0;
  return known_documents(s, e, &documents) ? documents - std::min(documents, e->taken) : 0;
}

void report_failure(spool *s, int error) {
  s->failed_errno = error ? error : EIO;
  s->retrying = 0;
  if (s->failure_reported) return;
  s->failure_reported = 1;
  log_msg(LOG_ERR, "The spool folder '%s' cannot be used (errno=%i).", s->folder, s->failed_errno);
}

void report_usable_again(spool *s) {
  s->failed_errno = 0;
  s->failure_reported = 0;
  s->retrying = 0;
  log_msg(LOG_NOTICE, "The spool folder '%s' can be used again.", s->folder);
}

void report_damage(spool_segment *e, uint32_t bytes) {
  if (e->damage_reported) return;
  e->damage_reported = 1;
  char name[SEGMENT_NAME_CAPACITY];
  segment_name(e->number, name);
  log_msg(LOG_WARNING, "Skipped a damaged tail of %u bytes in spool segment '%s'.", bytes, name);
}

void report_skipped(const spool *s, const char *name) {
  log_msg(
      LOG_WARNING, "Skipped '%s' in the spool folder '%s': not a regular file of its own.", name, s->folder);
}

int batches_in_use(const spool *s, spool_batch_use use) {
  int n = 0;
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) n += s->use[i] == use;
  return n;
}

void free_batch(spool *s, int i) {
  s->use[i] = SPOOL_BATCH_FREE;
  if (s->filling == i) s->filling = -1;
}

/* The batch in memory (filling, with the writer, or failed) holding the record at offset of
 * a segment; nullptr when that record is in the file. */
const spool_batch *batch_holding(const spool *s, uint64_t number, uint32_t offset) {
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    const spool_batch *b = &s->batches[i];
    if (s->use[i] != SPOOL_BATCH_FREE && b->length && b->segment == number && offset >= b->offset &&
        offset < b->offset + b->length)
      return b;
  }
  return nullptr;
}

/* Where the part of a segment that is in its file ends: its records' end, or the start of a
 * batch of it still in memory. */
uint32_t file_part_end(const spool *s, const spool_segment *e) {
  uint32_t end = e->end;
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    const spool_batch *b = &s->batches[i];
    if (s->use[i] != SPOOL_BATCH_FREE && b->length && b->segment == e->number) end = std::min(end, b->offset);
  }
  return end;
}

/* Lets go of the batches of a segment that left the table (those with the writer come
 * back later and are let go then). */
void free_batches_of(spool *s, uint64_t number) {
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    spool_batch *b = &s->batches[i];
    if (b->segment != number) continue;
    if (s->use[i] == SPOOL_BATCH_FAILED) free_batch(s, static_cast<int>(i));
    if (s->use[i] == SPOOL_BATCH_FILLING) b->length = 0;
  }
}

/* Takes the segment at index i out of the table (its file is left as it is). */
void remove_segment(spool *s, uint32_t i) {
  spool_segment *e = segment_at(s, i);
  if (s->reader.fd >= 0 && s->reader.segment == e->number) {
    close(s->reader.fd);
    s->reader.fd = -1;
    s->reader.length = 0;
  }
  free_batches_of(s, e->number);
  if (e->number == s->write_segment) s->write_segment = 0;
  s->total_bytes -= e->bytes;
  if (i == 0) {
    s->head = (s->head + 1) % SPOOL_SEGMENTS_MAX;
  } else {
    for (uint32_t k = i; k + 1 < s->count; k++) *segment_at(s, k) = *segment_at(s, k + 1);
  }
  s->count--;
}

/* Removes the oldest segment from the table and deletes its file (the writer locked). */
void remove_front(spool *s, uint32_t count_from) {
  writer_queue_deletion(&s->writer, segment_at(s, 0)->number, count_from);
  remove_segment(s, 0);
}

/* The spool is full: the oldest segment goes, its documents not taken count as dropped. */
void drop_front(spool *s) {
  spool_segment *e = segment_at(s, 0);
  uint32_t documents;
  writer_lock(&s->writer);
  if (known_documents(s, e, &documents)) {
    writer_count_dropped(&s->writer, documents - std::min(documents, e->taken));
    remove_front(s, DELETION_NO_COUNT);
  } else {
    remove_front(s, e->read);
  }
  writer_unlock(&s->writer);
}

/* Deletes the oldest segments whose records were all taken and acknowledged, handing the
 * writer all of them at once (one sync of the folder). */
void trim(spool *s) {
  if (!s->count) return;
  writer_lock(&s->writer);
  while (s->count) {
    const spool_segment *e = segment_at(s, 0);
    assert(offsets_hold(e));
    if (e->read < e->end || e->acked < e->read) break;
    remove_front(s, DELETION_NO_COUNT);
  }
  writer_unlock(&s->writer);
}

void count_lost(spool *s, uint32_t documents) {
  s->lost_total += documents;
  s->lost_pending += documents;
}

/* A segment file is gone or cannot be read from offset on: the documents not taken from it
 * are lost; reading goes on with the next segment. */
void lose_rest(spool *s, spool_segment *e, uint32_t offset) {
  count_lost(s, not_taken(s, e));
  e->documents = e->taken;
  e->counted = 1;
  e->end = offset;
  assert(offsets_hold(e));
  if (e->number == s->write_segment) s->write_segment = 0;
  free_batches_of(s, e->number);
}

void lose_segment(spool *s, spool_segment *e) {
  count_lost(s, not_taken(s, e));
  for (uint32_t i = 0; i < s->count; i++) {
    if (segment_at(s, i) != e) continue;
    remove_segment(s, i);
    break;
  }
}

/* The folder was removed or replaced: everything it held and not taken yet is lost. It is
 * taken up again (or made anew) by spool_retry. */
void lose_folder(spool *s) {
  for (uint32_t i = 0; i < s->count; i++) count_lost(s, not_taken(s, segment_at(s, i)));
  while (s->count) remove_segment(s, s->count - 1);
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++)
    if (s->use[i] != SPOOL_BATCH_WRITING) free_batch(s, static_cast<int>(i));
  s->detached = 1;
  report_failure(s, ENOENT);
}

/* A batch the writer finished: written (the segment durable up to its end), or failed. */
void finish_batch(spool *s, int i, int error) {
  const spool_batch *b = &s->batches[i];
  spool_segment *e = find_segment(s, b->segment);
  if (!error) {
    if (e) e->durable = std::max(e->durable, b->offset + b->length);
    assert(!e || offsets_hold(e));
    free_batch(s, i);
  } else if (!e || s->writer.folder_lost) {
    free_batch(s, i);
  } else if (error == ENOENT) {
    free_batch(s, i);
    lose_segment(s, e);
  } else {
    s->use[i] = SPOOL_BATCH_FAILED;
    report_failure(s, error);
  }
}

/* Collects the writer's results: finished batches, the counts of an earlier run's
 * segments; reports failures, a lost folder and damaged tails. */
void poll_writer(spool *s) {
  if (batches_in_use(s, SPOOL_BATCH_WRITING)) {
    uint32_t finished[SPOOL_BATCHES];
    int errors[SPOOL_BATCHES];
    const uint32_t count = writer_finished(&s->writer, finished, errors);
    for (uint32_t k = 0; k < count; k++) {
      assert(s->use[finished[k]] == SPOOL_BATCH_WRITING);
      finish_batch(s, static_cast<int>(finished[k]), errors[k]);
    }
  }
  if (s->writer.folder_lost && !s->detached) lose_folder(s);
  if (s->retrying && !batches_in_use(s, SPOOL_BATCH_WRITING) && !batches_in_use(s, SPOOL_BATCH_FAILED))
    report_usable_again(s);
  uint32_t scanned = s->writer.scanned.load(std::memory_order_acquire);
  for (; s->scans_applied < scanned; s->scans_applied++) {
    const spool_scan &c = s->writer.scans[s->scans_applied];
    spool_segment *e = find_segment(s, c.number);
    if (!e || e->counted) continue;
    e->documents = c.documents;
    e->counted = 1;
    if (!e->first_ms) e->first_ms = c.first_ms;
    if (c.end < e->end) e->end = std::max(e->read, c.end);
    assert(offsets_hold(e));
    if (c.end < c.size) report_damage(e, c.size - c.end);
  }
  trim(s);
}

/* Waits until the writer has finished every batch it has (spool_close only). */
void wait_writer(spool *s) {
  while (batches_in_use(s, SPOOL_BATCH_WRITING)) {
    writer_wait(&s->writer);
    poll_writer(s);
  }
}

/* Hands a batch to the writer (again: an earlier write of it failed). */
void hand(spool *s, int i, int again) {
  writer_hand(&s->writer, static_cast<uint32_t>(i), again);
  s->use[i] = SPOOL_BATCH_WRITING;
  if (s->filling == i) s->filling = -1;
}

/* Hands the filling batch to the writer, unless the spool failed. */
void hand_over(spool *s) {
  if (s->filling < 0 || !s->batches[s->filling].length || s->failed_errno) return;
  hand(s, s->filling, 0);
}

/* Hands the failed batches to the writer again, in their order. */
void hand_failed_again(spool *s) {
  for (;;) {
    int next = -1;
    for (uint32_t i = 0; i < SPOOL_BATCHES; i++)
      if (s->use[i] == SPOOL_BATCH_FAILED &&
          (next < 0 || s->writer.jobs[i].order < s->writer.jobs[next].order))
        next = static_cast<int>(i);
    if (next < 0) break;
    hand(s, next, 1);
  }
  s->retrying = 1;
}

/* A free batch to fill, the lowest (memory is touched only as batches come into use);
 * nullptr when every batch is busy. */
spool_batch *filling_batch(spool *s) {
  if (s->filling >= 0) return &s->batches[s->filling];
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    if (s->use[i] != SPOOL_BATCH_FREE) continue;
    s->use[i] = SPOOL_BATCH_FILLING;
    s->filling = static_cast<int>(i);
    s->batches[i].length = 0;
    return &s->batches[i];
  }
  return nullptr;
}

spool_segment *new_segment(spool *s) {
  if (s->count == SPOOL_SEGMENTS_MAX) drop_front(s);
  spool_segment *e = segment_at(s, s->count++);
  *e = spool_segment{};
  e->number = s->next_number++;
  e->scan = -1;
  e->counted = 1;
  s->write_segment = e->number;
  return e;
}

int append_record(spool *s, const char *doc, uint32_t length, int64_t time_ms, int wait,
                  spool_position *taken) {
  if (!s->open) return 0;
  poll_writer(s);
  if (s->failed_errno || length == 0 || length > SPOOL_DOCUMENT_MAX || !doc) return 0;
  if (taken && cursor_segment(s)) return 0;
  uint32_t need = SPOOL_RECORD_HEAD + length;
  spool_segment *w = s->write_segment ? find_segment(s, s->write_segment) : nullptr;
  int rotate = !w || (w->bytes > 0 && w->bytes + need > s->segment_size);
  if (s->filling >= 0) {
    const spool_batch *f = &s->batches[s->filling];
    if (f->length && (rotate || f->length + need > SPOOL_BATCH_CAPACITY)) hand_over(s);
  }
  spool_batch *f = filling_batch(s);
  while (!f && wait && batches_in_use(s, SPOOL_BATCH_WRITING)) {
    wait_writer(s);
    if (s->failed_errno) return 0;
    f = filling_batch(s);
  }
  if (!f) return 0;
  if (rotate) w = new_segment(s);
  while (s->total_bytes + need > s->limit && s->count > 1 && segment_at(s, 0) != w) drop_front(s);
  if (!f->length) {
    f->segment = w->number;
    f->offset = w->bytes;
    f->started_ms = s->last_tick_ms;
  }
  spool_encode(f->data + f->length, doc, length, time_ms);
  f->length += need;
  if (w->documents == 0) w->first_ms = time_ms;
  w->bytes += need;
  w->end += need;
  w->documents++;
  s->total_bytes += need;
  if (taken) {
    w->read = w->end;
    w->taken++;
    *taken = {w->number, w->end};
  }
  assert(offsets_hold(w));
  return 1;
}

/* Remembers the arrival time of the record now at the segment's read offset, when it is at
 * hand (in memory or in the read buffer). */
void note_next_time(spool *s, const spool_segment *e, int64_t fallback_ms) {
  s->next_ms = fallback_ms;
  s->next_at = {0, 0};
  if (e->read >= e->end) return;
  int64_t time_ms;
  if (const spool_batch *b = batch_holding(s, e->number, e->read)) {
    if (!record_peek_time(b->data + (e->read - b->offset), b->offset + b->length - e->read, &time_ms)) return;
  } else {
    const segment_reader *r = &s->reader;
    if (r->segment != e->number || e->read < r->base || e->read >= r->base + r->length) return;
    uint32_t held = std::min(r->base + r->length, file_part_end(s, e)) - e->read;
    if (!record_peek_time(r->buffer + (e->read - r->base), held, &time_ms)) return;
  }
  s->next_ms = time_ms + e->shift_ms;
  s->next_at = {e->number, e->read};
}

/* Ends reading a segment at a damaged record: its records end there. */
void end_segment_at(spool *s, spool_segment *e, uint32_t offset) {
  report_damage(e, e->end - offset);
  e->end = offset;
  assert(offsets_hold(e));
  if (e->number == s->write_segment) {
    /* Never append behind damage; the batch of it in memory lies behind it too. */
    s->write_segment = 0;
    if (s->filling >= 0 && s->batches[s->filling].segment == e->number) s->batches[s->filling].length = 0;
  }
}

void close_files(spool *s) {
  for (int *fd : {&s->reader.fd, &s->folder_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

/* Reads a record head of a segment file at offset; 1 when it is all there. */
int read_head(const spool *s, uint64_t number, uint32_t offset, uint8_t *head) {
  int fd = open_segment(s->folder_fd, number, O_RDONLY);
  if (fd < 0) return 0;
  int whole = pread(fd, head, SPOOL_RECORD_HEAD, offset) == static_cast<ssize_t>(SPOOL_RECORD_HEAD);
  close(fd);
  return whole;
}

/* Lists the folder (open) into the table, oldest first, and reads "acked" (*has_acked 1 when
 * its CRC holds); entries the spool would use that are no regular files of its own are
 * skipped with a warning. 0 with errno when it cannot be listed. */
int list_folder(spool *s, acked_mark *acked, int *has_acked) {
  *has_acked = 0;
  DIR *dir = open_listing(s->folder_fd);
  if (!dir) return 0;
  while (dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    const uint64_t number = segment_number(name);
    const int is_acked = std::strcmp(name, ACKED_NAME) == 0,
              is_temp = std::strcmp(name, ACKED_TEMP_NAME) == 0;
    struct stat st;
    if ((number == 0 && !is_acked && !is_temp) || fstatat(s->folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    /* A new segment never takes a name that is in use, whatever stands there. */
    if (number >= s->next_number) s->next_number = number + 1;
    if (!S_ISREG(st.st_mode) || (is_temp && !own_leftover(s->folder_fd, name))) {
      report_skipped(s, name);
      s->temp_planted |= is_temp;
      continue;
    }
    if (is_temp) {
      unlinkat(s->folder_fd, name, 0);
      continue;
    }
    if (is_acked) {
      int fd = open_in_folder(s->folder_fd, name, O_RDONLY);
      if (fd >= 0) {
        uint8_t bytes[ACKED_SIZE];
        *has_acked = pread(fd, bytes, ACKED_SIZE, 0) == ACKED_SIZE && acked_decode(bytes, acked);
        close(fd);
      }
      continue;
    }
    spool_segment *e;
    if (s->count < SPOOL_SEGMENTS_MAX) {
      e = &s->segments[s->count++];
    } else {
      e = std::min_element(
          s->segments, s->segments + s->count, [](const spool_segment &a, const spool_segment &b) {
            return a.number < b.number;
          });
      uint64_t &purge_below = s->writer.purge_below;
      if (e->number > number) {
        purge_below = std::max(purge_below, number + 1);
        continue;
      }
      purge_below = std::max(purge_below, e->number + 1);
    }
    *e = spool_segment{};
    e->number = number;
    e->bytes = e->end = e->durable = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
  }
  closedir(dir);
  std::sort(s->segments, s->segments + s->count, [](const spool_segment &a, const spool_segment &b) {
    return a.number < b.number;
  });
  return 1;
}

/* Starts the segment "acked" names where it says, when it was written for that very file
 * (its first record's CRC and time). */
void apply_acked(spool *s, const acked_mark &m) {
  uint8_t head[SPOOL_RECORD_HEAD];
  spool_segment *e = find_segment(s, m.segment);
  if (e && m.offset <= e->end && read_head(s, e->number, 0, head) && acked_fits(m, head)) {
    e->start = e->read = e->acked = m.offset;
    s->writer.acked_segment = m.segment;
  }
}

/* Gives the writer the listed segments to count, and the table the first one's time. */
void index_scans(spool *s) {
  for (uint32_t i = 0; i < s->count; i++) {
    spool_segment *e = &s->segments[i];
    e->scan = static_cast<int32_t>(i);
    s->writer.scans[i] = spool_scan{e->number, e->start, 0, 0, 0, 0};
    s->total_bytes += e->bytes;
  }
  s->writer.scans_count = s->count;
  uint8_t head[SPOOL_RECORD_HEAD];
  if (s->count && read_head(s, s->segments[0].number, s->segments[0].start, head))
    record_peek_time(head, sizeof head, &s->segments[0].first_ms);
}

/* Forgets the folder's segments and batches (not what was counted since the open). */
void clear_state(spool *s) {
  s->head = s->count = 0;
  s->write_segment = 0;
  s->total_bytes = 0;
  s->next_ms = 0;
  s->next_at = {0, 0};
  s->filling = -1;
  for (spool_batch_use &use : s->use) use = SPOOL_BATCH_FREE;
  s->reader.segment = 0;
  s->reader.base = s->reader.length = 0;
  s->detached = s->retrying = s->temp_planted = 0;
  s->scans_applied = 0;
  writer_clear(&s->writer);
}

/* Takes the folder up: makes it when missing, opens it without following a link, checks
 * whose it is, lists it and starts the writer. 1 when the spool is usable; 0 after
 * reporting why not. */
int attach(spool *s) {
  clear_state(s);
  int error = folder_take(s->folder, &s->folder_fd);
  if (error) {
    report_failure(s, error);
    return 0;
  }
  acked_mark acked;
  int has_acked;
  if (!list_folder(s, &acked, &has_acked)) {
    report_failure(s, errno);
    close_files(s);
    return 0;
  }
  if (has_acked) apply_acked(s, acked);
  index_scans(s);
  const int writable = faccessat(s->folder_fd, ".", W_OK | X_OK, 0) == 0;
  error = errno;
  trim(s);
  if (!writer_start(&s->writer, s->folder_fd)) {
    report_failure(s, EAGAIN);
    close_files(s);
    return 0;
  }
  if (!writable) {
    report_failure(s, error);
    return 0;
  }
  return 1;
}

/* The folder again from the start, after the writer has ended. */
int attach_again(spool *s) {
  writer_stop(&s->writer);
  close_files(s);
  if (!attach(s)) return 0;
  report_usable_again(s);
  return 1;
}

} // namespace

int spool_open(spool *s, const char *folder, uint64_t limit_bytes) {
  /* Field by field, not *s = {}: the batches and buffers stay untouched until used. */
  s->folder_fd = s->reader.fd = -1;
  s->limit = std::max(limit_bytes, SPOOL_LIMIT_MIN);
  s->segment_size = static_cast<uint32_t>(
      std::min<uint64_t>(SPOOL_SEGMENT_MAX, std::max<uint64_t>(SPOOL_SEGMENT_MIN, s->limit / 32)));
  s->next_number = SEGMENT_FIRST_NUMBER;
  s->failure_reported = 0;
  s->last_tick_ms = 0;
  writer_init(&s->writer, s->folder, s->batches);
  s->failed_errno = 0;
  s->lost_total = s->lost_pending = 0;
  s->open = 1;
  if (snprintf(s->folder, sizeof s->folder, "%s", folder) >= static_cast<int>(sizeof s->folder)) {
    report_failure(s, ENAMETOOLONG);
    s->folder[0] = '\0'; /* nothing to try again */
    clear_state(s);
    return 0;
  }
  return attach(s);
}

int spool_retry(spool *s) {
  if (!s->open) return 0;
  poll_writer(s);
  if (!s->failed_errno) return 1;
  if (s->folder[0] == '\0' || s->retrying || batches_in_use(s, SPOOL_BATCH_WRITING)) return 0;
  if (s->folder_fd < 0 || s->detached || !s->writer.started) return attach_again(s);
  if (!folder_in_place(s->folder, s->folder_fd)) {
    lose_folder(s);
    return attach_again(s);
  }
  if (batches_in_use(s, SPOOL_BATCH_FAILED)) {
    hand_failed_again(s);
    return 0;
  }
  if (faccessat(s->folder_fd, ".", W_OK | X_OK, 0) != 0) {
    report_failure(s, errno);
    return 0;
  }
  report_usable_again(s);
  return 1;
}

int spool_append(spool *s, const char *doc, uint32_t length, int64_t time_ms) {
  return append_record(s, doc, length, time_ms, 0, nullptr);
}

int spool_append_taken(spool *s, const char *doc, uint32_t length, int64_t time_ms, spool_position *end) {
  return append_record(s, doc, length, time_ms, 0, end);
}

int spool_next(spool *s, char *out, uint32_t capacity, uint32_t *length, int64_t *time_ms,
               spool_position *end) {
  if (!s->open) return 0;
  poll_writer(s);
  for (;;) {
    spool_segment *e = cursor_segment(s);
    if (!e) {
      s->next_ms = 0;
      s->next_at = {0, 0};
      return 0;
    }
    const uint32_t offset = e->read;
    spool_record record{nullptr, 0, 0};
    if (const spool_batch *b = batch_holding(s, e->number, offset)) {
      record.bytes = b->data + (offset - b->offset);
      if (spool_decode(record.bytes, b->offset + b->length - offset, &record.length, &record.time_ms) !=
          SPOOL_RECORD_WHOLE) {
        end_segment_at(s, e, offset);
        continue;
      }
    } else {
      segment_reader *r = &s->reader;
      if (r->fd < 0 || r->segment != e->number) {
        if (r->fd >= 0) close(r->fd);
        r->fd = open_segment(s->folder_fd, e->number, O_RDONLY);
        r->segment = e->number;
        r->base = r->length = 0;
        if (r->fd < 0) {
          const int error = errno;
          if (!folder_in_place(s->folder, s->folder_fd)) {
            lose_folder(s);
          } else if (error == ENOENT) {
            lose_segment(s, e);
          } else {
            report_failure(s, error);
            lose_rest(s, e, offset);
          }
          continue;
        }
      }
      int error = 0;
      const spool_record_result result = reader_record_at(r, offset, file_part_end(s, e), &record, &error);
      if (error) {
        report_failure(s, error);
        lose_rest(s, e, offset);
        continue;
      }
      if (result != SPOOL_RECORD_WHOLE) {
        end_segment_at(s, e, offset);
        continue;
      }
    }
    if (capacity < record.length) return 0;
    std::memcpy(out, record.bytes + SPOOL_RECORD_HEAD, record.length);
    *length = record.length;
    *time_ms = record.time_ms + e->shift_ms;
    e->read = offset + SPOOL_RECORD_HEAD + record.length;
    e->taken++;
    assert(offsets_hold(e));
    *end = {e->number, e->read};
    note_next_time(s, e, *time_ms);
    return 1;
  }
}

int spool_waiting(const spool *s) { return s->open && cursor_segment(s) != nullptr; }

void spool_acknowledged(spool *s, spool_position end) {
  if (!s->open) return;
  spool_segment *e = find_segment(s, end.segment);
  if (!e) return;
  for (uint32_t i = 0; segment_at(s, i) != e; i++) segment_at(s, i)->acked = segment_at(s, i)->end;
  e->acked = std::max(e->acked, std::min(end.offset, e->read));
  assert(offsets_hold(e));
  trim(s);
}

void spool_tick(spool *s, long long now_ms) {
  if (!s->open) return;
  s->last_tick_ms = now_ms;
  poll_writer(s);
  if (s->filling < 0) return;
  const spool_batch *f = &s->batches[s->filling];
  if (f->length && now_ms >= f->started_ms + SPOOL_BATCH_MS) hand_over(s);
}

long long spool_next_ms(const spool *s) {
  if (!s->open) return 0;
  /* While the writer has batches, their results are collected now and then. */
  long long next = batches_in_use(s, SPOOL_BATCH_WRITING) ? s->last_tick_ms + SPOOL_POLL_MS : 0;
  if (s->filling >= 0 && s->batches[s->filling].length && !s->failed_errno) {
    const long long due = s->batches[s->filling].started_ms + SPOOL_BATCH_MS;
    if (next == 0 || due < next) next = due;
  }
  return next;
}

void spool_clock_moved(spool *s, int64_t shift_ms) {
  if (!s->open || shift_ms == 0) return;
  const spool_segment *cursor = cursor_segment(s);
  if (s->next_ms != 0 && cursor && cursor->scan < 0) s->next_ms += shift_ms;
  for (uint32_t i = 0; i < s->count; i++)
    if (segment_at(s, i)->scan < 0) segment_at(s, i)->shift_ms += shift_ms;
  s->write_segment = 0; /* one shift per segment */
}

int spool_usable(const spool *s) { return s->failed_errno == 0 ? 1 : 0; }

int spool_writer_busy(const spool *s) { return batches_in_use(s, SPOOL_BATCH_WRITING) > 0; }

spool_figures spool_stats(const spool *s) {
  spool_figures f = {};
  f.bytes = s->total_bytes;
  f.dropped = s->writer.dropped_total.load();
  f.lost = s->lost_total;
  f.error = s->failed_errno;
  f.usable = f.error == 0;
  for (uint32_t i = 0; i < s->count; i++) {
    const spool_segment *e = segment_at(s, i);
    uint32_t documents;
    if (known_documents(s, e, &documents))
      f.documents += documents - std::min(documents, e->taken);
    else
      f.counting = 1;
  }
  if (const spool_segment *c = cursor_segment(s)) {
    if (s->next_at.segment == c->number && s->next_at.offset == c->read)
      f.oldest_ms = s->next_ms;
    else if (c->read == c->start && c->first_ms)
      f.oldest_ms = c->first_ms + c->shift_ms;
    else if (c->read == c->start && c->scan >= 0 &&
             static_cast<uint32_t>(c->scan) < s->writer.scanned.load(std::memory_order_acquire))
      f.oldest_ms = s->writer.scans[c->scan].first_ms;
    else
      f.oldest_ms = s->next_ms;
  }
  return f;
}

uint32_t spool_take_dropped(spool *s) { return s->writer.dropped_pending.exchange(0); }

uint32_t spool_take_lost(spool *s) {
  const uint32_t lost = s->lost_pending;
  s->lost_pending = 0;
  return lost;
}

namespace {

/* Writes the held documents as one new segment numbered before every other. */
uint32_t write_front(spool *s, const spool_document *held, uint32_t count) {
  if (count == 0) return 0;
  uint64_t number = s->count ? segment_at(s, 0)->number - 1 : s->next_number;
  if (number == 0) return count;
  int fd = open_segment(s->folder_fd, number, O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) {
    report_failure(s, errno);
    return count;
  }
  spool_batch *b = &s->batches[0]; /* every batch is free once the writer has ended */
  uint64_t offset = 0;
  int error = 0;
  uint32_t lost = 0;
  b->length = 0;
  for (uint32_t i = 0; i <= count && !error; i++) {
    if (i == count || b->length + SPOOL_RECORD_MAX > SPOOL_BATCH_CAPACITY) {
      error = io_write_all_at(fd, b->data, b->length, offset);
      offset += b->length;
      b->length = 0;
    }
    if (i == count) break;
    if (held[i].length == 0 || held[i].length > SPOOL_DOCUMENT_MAX) {
      lost++;
      continue;
    }
    b->length += spool_encode(b->data + b->length, held[i].data, held[i].length, held[i].time_ms);
  }
  if (!error) error = io_sync_data(fd);
  if (!error) error = io_sync_folder(s->folder_fd);
  close(fd);
  if (error) {
    report_failure(s, error);
    return count;
  }
  return lost;
}

/* Records how far the oldest segment was acknowledged, or removes an older record of it.
 * The temporary file is created exclusively: what someone put at its name is never written
 * through; only the daemon's own leftover is replaced. */
void write_acked(spool *s) {
  const spool_segment *e = s->count ? segment_at(s, 0) : nullptr;
  uint8_t head[SPOOL_RECORD_HEAD];
  if (!e || e->acked == 0 || !read_head(s, e->number, 0, head)) {
    unlinkat(s->folder_fd, ACKED_NAME, 0);
    return;
  }
  uint8_t acked[ACKED_SIZE];
  acked_encode(acked, acked_mark_of(e->number, e->acked, head));
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL;
  int fd = open_in_folder(s->folder_fd, ACKED_TEMP_NAME, flags);
  if (fd < 0 && errno == EEXIST && own_leftover(s->folder_fd, ACKED_TEMP_NAME) &&
      unlinkat(s->folder_fd, ACKED_TEMP_NAME, 0) == 0)
    fd = open_in_folder(s->folder_fd, ACKED_TEMP_NAME, flags);
  if (fd < 0) {
    if (errno == EEXIST && !s->temp_planted) report_skipped(s, ACKED_TEMP_NAME);
    return;
  }
  int error = io_write_all_at(fd, acked, ACKED_SIZE, 0);
  if (!error) error = io_sync_data(fd);
  close(fd);
  if (!error && renameat(s->folder_fd, ACKED_TEMP_NAME, s->folder_fd, ACKED_NAME) == 0)
    io_sync_folder(s->folder_fd);
  else
    unlinkat(s->folder_fd, ACKED_TEMP_NAME, 0);
}

int is_kept(spool *s, const spool_document &d) {
  if (d.from.segment == 0) return 0;
  const spool_segment *e = find_segment(s, d.from.segment);
  return e && d.from.offset <= e->durable;
}

/* Records of the batches still in memory (their write failed) that were not taken: lost
 * with the close. */
uint32_t unwritten_not_taken(spool *s) {
  uint32_t lost = 0;
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    const spool_batch *b = &s->batches[i];
    const spool_segment *e = find_segment(s, b->segment);
    if (s->use[i] == SPOOL_BATCH_FREE || !e) continue;
    uint32_t at = 0, length = 0;
    int64_t time_ms = 0;
    while (at < b->length &&
           spool_decode(b->data + at, b->length - at, &length, &time_ms) == SPOOL_RECORD_WHOLE) {
      at += SPOOL_RECORD_HEAD + length;
      lost += b->offset + at > e->read;
    }
  }
  return lost;
}

} // namespace

uint32_t spool_close(spool *s, const spool_document *held, uint32_t count) {
  if (!s->open) return count;
  poll_writer(s);
  /* A write that failed gets one more try: the space may be free again by now. */
  if (s->failed_errno && s->writer.started && !s->detached && batches_in_use(s, SPOOL_BATCH_FAILED) &&
      folder_in_place(s->folder, s->folder_fd)) {
    hand_failed_again(s);
    wait_writer(s);
  }
  hand_over(s);
  wait_writer(s);

  /* Held documents before the first one kept in the spool are older than all of it. */
  uint32_t first_kept = 0;
  while (first_kept < count && !is_kept(s, held[first_kept])) first_kept++;
  uint32_t lost = 0;
  for (uint32_t i = first_kept; i < count; i++) {
    if (is_kept(s, held[i])) continue;
    if (!append_record(s, held[i].data, held[i].length, held[i].time_ms, 1, nullptr)) lost++;
  }
  hand_over(s);
  wait_writer(s);
  writer_stop(&s->writer);
  count_lost(s, unwritten_not_taken(s));

  if (s->failed_errno || s->folder_fd < 0) {
    lost += first_kept;
  } else {
    lost += write_front(s, held, first_kept);
    write_acked(s);
  }
  close_files(s);
  writer_destroy(&s->writer);
  s->open = 0;
  return lost;
}
