#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings/log.h"

namespace {

/* Segment numbers start here, so that a close can put segments in front of the first. */
constexpr uint64_t FIRST_NUMBER = 1ull << 32;
constexpr uint32_t NO_COUNT = UINT32_MAX;
constexpr uint32_t DELETIONS_CAPACITY = sizeof(spool::deletions) / sizeof(spool_deletion);
constexpr const char *ACKED_NAME = "acked";
constexpr const char *ACKED_TEMP_NAME = "acked.tmp";
/* segment number, offset, the segment's first record's CRC and time, CRC of those. */
constexpr uint32_t ACKED_SIZE = 28;
constexpr unsigned NAME_CAPACITY = 24;
constexpr size_t WRITER_STACK = 256 * 1024;

ssize_t system_write_at(int fd, const void *data, size_t length, off_t offset) {
  return pwrite(fd, data, length, offset);
}
int system_sync_data(int fd) { return fdatasync(fd); }
int system_sync_folder(int fd) { return fsync(fd); }

spool_io io = {system_write_at, system_sync_data, system_sync_folder};

void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get_u32(const uint8_t *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}
uint64_t get_u64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

/* CRC of a record: its length field, its time and its document (everything but the CRC). */
uint32_t record_crc(const uint8_t *record, uint32_t length) {
  uLong crc = crc32(0L, record, 4);
  return static_cast<uint32_t>(crc32(crc, record + 8, 8 + length));
}

/* The time in a record head, without checking the CRC (for the figures only). */
int peek_time(const uint8_t *bytes, uint32_t available, int64_t *time_ms) {
  if (available < SPOOL_RECORD_HEAD) return 0;
  uint32_t length = get_u32(bytes);
  if (length == 0 || length > SPOOL_DOCUMENT_MAX) return 0;
  *time_ms = static_cast<int64_t>(get_u64(bytes + 8));
  return 1;
}

void segment_name(uint64_t number, char *name) {
  snprintf(name, NAME_CAPACITY, "%016llx.seg", static_cast<unsigned long long>(number));
}

/* The number of a segment file name, 0 for any other name. */
uint64_t segment_number(const char *name) {
  if (std::strlen(name) != 20 || std::strcmp(name + 16, ".seg") != 0) return 0;
  uint64_t number = 0;
  for (int i = 0; i < 16; i++) {
    char c = name[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return 0;
    number = (number << 4) | static_cast<uint64_t>(digit);
  }
  return number;
}

int open_segment(const spool *s, uint64_t number, int flags) {
  char name[NAME_CAPACITY];
  segment_name(number, name);
  return openat(s->folder_fd, name, flags | O_CLOEXEC, 0600);
}

/* A listing of the folder with a position of its own (a dup of folder_fd would share it). */
DIR *open_listing(const spool *s) {
  int fd = openat(s->folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir && fd >= 0) close(fd);
  return dir;
}

/* Writes all bytes at offset; 0 or the errno. */
int write_all_at(int fd, const uint8_t *data, uint32_t length, uint64_t offset) {
  while (length > 0) {
    ssize_t n = io.write_at(fd, data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno ? errno : EIO;
    if (n == 0) return EIO;
    data += n;
    length -= static_cast<uint32_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

/* A part of one file held in a buffer. */
struct window {
  uint8_t *buffer;
  uint32_t capacity;
  uint32_t *base, *length;
};

/* The record at offset of a file of size bytes: reads one block starting there when the
 * window does not hold enough. SHORT means the file ends inside the record. *error is the
 * errno of a failed read. */
spool_record_result window_record(int fd, const window &w, uint32_t offset, uint32_t size, uint32_t *length,
                                  int64_t *time_ms, const uint8_t **record, int *error) {
  for (int pass = 0; pass < 2; pass++) {
    uint32_t base = *w.base, held = *w.length;
    if (offset >= base && offset <= base + held) {
      *record = w.buffer + (offset - base);
      spool_record_result r = spool_decode(*record, base + held - offset, length, time_ms);
      if (r != SPOOL_RECORD_SHORT || base + held >= size || pass == 1) return r;
    }
    uint32_t want = std::min(w.capacity, size - offset);
    ssize_t got;
    do got = pread(fd, w.buffer, want, offset);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
      *error = errno;
      *w.length = 0;
      return SPOOL_RECORD_DAMAGED;
    }
    *w.base = offset;
    *w.length = static_cast<uint32_t>(got);
  }
  return SPOOL_RECORD_SHORT;
}

/* Counts the whole records of a segment file starting at from or later (writer thread). */
struct segment_count {
  uint32_t documents, end, size;
  int64_t first_ms;
};
segment_count count_records(spool *s, uint64_t number, uint32_t from) {
  segment_count c = {0, 0, 0, 0};
  int fd = open_segment(s, number, O_RDONLY);
  if (fd < 0) return c;
  struct stat st;
  if (fstat(fd, &st) == 0) c.size = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
  uint32_t base = 0, held = 0;
  window w = {s->scan_buffer, SPOOL_READ_CAPACITY, &base, &held};
  uint32_t offset = 0;
  while (offset < c.size) {
    uint32_t length;
    int64_t time_ms;
    const uint8_t *record;
    int error = 0;
    if (window_record(fd, w, offset, c.size, &length, &time_ms, &record, &error) != SPOOL_RECORD_WHOLE) break;
    if (offset >= from) {
      if (c.documents++ == 0) c.first_ms = time_ms;
    }
    offset += SPOOL_RECORD_HEAD + length;
  }
  c.end = offset;
  close(fd);
  return c;
}

/* ---- the writer thread ---- */

void writer_delete(spool *s, const spool_deletion &d) {
  if (s->write_fd >= 0 && s->write_fd_segment == d.number) {
    close(s->write_fd);
    s->write_fd = -1;
  }
  if (d.count_from != NO_COUNT) {
    uint32_t lost = count_records(s, d.number, d.count_from).documents;
    s->dropped_total += lost;
    s->dropped_pending += lost;
  }
  char name[NAME_CAPACITY];
  segment_name(d.number, name);
  unlinkat(s->folder_fd, name, 0);
  if (d.number == s->acked_segment) unlinkat(s->folder_fd, ACKED_NAME, 0);
}

/* Deletes every segment file numbered below limit, counting its records as dropped. */
void writer_purge(spool *s, uint64_t limit) {
  DIR *dir = open_listing(s);
  if (!dir) return;
  while (dirent *entry = readdir(dir)) {
    uint64_t number = segment_number(entry->d_name);
    if (number != 0 && number < limit) writer_delete(s, spool_deletion{number, 0});
  }
  closedir(dir);
}

/* Writes a batch to its segment and syncs it (and the folder for a new segment); 0 or the
 * errno. Runs on the writer thread, or on the caller's once the writer has ended. */
int write_batch(spool *s, const spool_batch &b, int create) {
  if (s->write_fd < 0 || s->write_fd_segment != b.segment) {
    if (s->write_fd >= 0) close(s->write_fd);
    s->write_fd = open_segment(s, b.segment, O_WRONLY | (create ? O_CREAT | O_EXCL : 0));
    if (s->write_fd < 0) return errno;
    s->write_fd_segment = b.segment;
  }
  if (int error = write_all_at(s->write_fd, b.data, b.length, b.offset)) return error;
  if (io.sync_data(s->write_fd) != 0) return errno ? errno : EIO;
  if (create && io.sync_folder(s->folder_fd) != 0) return errno ? errno : EIO;
  return 0;
}

void *writer_main(void *argument) {
  spool *s = static_cast<spool *>(argument);
  uint32_t scan_next = 0;
  pthread_mutex_lock(&s->lock);
  for (;;) {
    if (s->job == SPOOL_JOB_QUEUED) {
      s->job = SPOOL_JOB_RUNNING;
      const spool_batch &b = s->batches[s->job_batch];
      int create = s->job_create;
      pthread_mutex_unlock(&s->lock);
      int error = write_batch(s, b, create);
      pthread_mutex_lock(&s->lock);
      s->job_errno = error;
      s->job = SPOOL_JOB_DONE;
      pthread_cond_broadcast(&s->done);
    } else if (s->purge_below) {
      uint64_t limit = s->purge_below;
      s->purge_below = 0;
      pthread_mutex_unlock(&s->lock);
      writer_purge(s, limit);
      pthread_mutex_lock(&s->lock);
    } else if (s->deletions_count) {
      spool_deletion d = s->deletions[s->deletions_head];
      s->deletions_head = (s->deletions_head + 1) % DELETIONS_CAPACITY;
      s->deletions_count--;
      pthread_mutex_unlock(&s->lock);
      writer_delete(s, d);
      pthread_mutex_lock(&s->lock);
      if (s->deletions_count == 0) pthread_cond_broadcast(&s->done);
    } else if (s->stop) {
      break;
    } else if (scan_next < s->scans_count) {
      uint32_t i = scan_next++;
      pthread_mutex_unlock(&s->lock);
      segment_count c = count_records(s, s->scans[i].number, s->scans[i].start);
      s->scans[i].documents = c.documents;
      s->scans[i].end = c.end;
      s->scans[i].size = c.size;
      s->scans[i].first_ms = c.first_ms;
      s->scanned.store(i + 1, std::memory_order_release);
      pthread_mutex_lock(&s->lock);
    } else {
      pthread_cond_wait(&s->wake, &s->lock);
    }
  }
  pthread_mutex_unlock(&s->lock);
  return nullptr;
}

/* ---- the caller's side ---- */

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
  if (e->scan >= 0 && static_cast<uint32_t>(e->scan) < s->scanned.load(std::memory_order_acquire)) {
    *documents = s->scans[e->scan].documents;
    return 1;
  }
  return 0;
}

void report_failure(spool *s, int error) {
  int none = 0;
  s->failed_errno.compare_exchange_strong(none, error ? error : EIO);
  if (s->failure_reported) return;
  s->failure_reported = 1;
  log_msg(LOG_ERR, "The spool folder '%s' cannot be used (errno=%i).", s->folder, s->failed_errno.load());
}

void report_damage(spool_segment *e, uint32_t bytes) {
  if (e->damage_reported) return;
  e->damage_reported = 1;
  char name[NAME_CAPACITY];
  segment_name(e->number, name);
  log_msg(LOG_WARNING, "Skipped a damaged tail of %u bytes in spool segment '%s'.", bytes, name);
}

int other_live(const spool *s) { return s->other_busy || s->pinned; }

/* The batch (filling, or the other one while it is with the writer or failed) holding
 * the record at offset of a segment; nullptr when that record is in the file. */
const spool_batch *batch_holding(const spool *s, uint64_t number, uint32_t offset) {
  const spool_batch *f = &s->batches[s->filling];
  const spool_batch *o = &s->batches[1 - s->filling];
  if (f->length && f->segment == number && offset >= f->offset && offset < f->offset + f->length) return f;
  if (other_live(s) && o->length && o->segment == number && offset >= o->offset &&
      offset < o->offset + o->length)
    return o;
  return nullptr;
}

/* Where the part of a segment that is in its file ends: its records' end, or the start of a
 * batch of it still in memory. */
uint32_t file_part_end(const spool *s, const spool_segment *e) {
  uint32_t end = e->end;
  const spool_batch *f = &s->batches[s->filling];
  const spool_batch *o = &s->batches[1 - s->filling];
  if (f->length && f->segment == e->number) end = std::min(end, f->offset);
  if (other_live(s) && o->length && o->segment == e->number) end = std::min(end, o->offset);
  return end;
}

void queue_deletion(spool *s, uint64_t number, uint32_t count_from) {
  pthread_mutex_lock(&s->lock);
  /* When the writer lags that far the file stays; a later start sends its documents again. */
  if (s->deletions_count < DELETIONS_CAPACITY) {
    s->deletions[(s->deletions_head + s->deletions_count) % DELETIONS_CAPACITY] = {number, count_from};
    s->deletions_count++;
    pthread_cond_signal(&s->wake);
  }
  pthread_mutex_unlock(&s->lock);
}

/* Removes the oldest segment from the table and deletes its file. */
void remove_front(spool *s, uint32_t count_from) {
  spool_segment *e = segment_at(s, 0);
  if (s->read_fd >= 0 && s->read_fd_segment == e->number) {
    close(s->read_fd);
    s->read_fd = -1;
    s->read_length = 0;
  }
  spool_batch *f = &s->batches[s->filling];
  if (f->length && f->segment == e->number) f->length = 0;
  spool_batch *o = &s->batches[1 - s->filling];
  if (s->pinned && o->segment == e->number) s->pinned = 0;
  if (e->number == s->write_segment) s->write_segment = 0;
  s->total_bytes -= e->bytes;
  queue_deletion(s, e->number, count_from);
  s->head = (s->head + 1) % SPOOL_SEGMENTS_MAX;
  s->count--;
}

/* The spool is full: the oldest segment goes, its documents not taken count as dropped. */
void drop_front(spool *s) {
  spool_segment *e = segment_at(s, 0);
  uint32_t documents;
  if (known_documents(s, e, &documents)) {
    uint32_t lost = documents - std::min(documents, e->taken);
    s->dropped_total += lost;
    s->dropped_pending += lost;
    remove_front(s, NO_COUNT);
  } else {
    remove_front(s, e->read);
  }
}

/* Deletes the oldest segments whose records were all taken and acknowledged. */
void trim(spool *s) {
  while (s->count) {
    const spool_segment *e = segment_at(s, 0);
    if (e->read < e->end || e->acked < e->read) break;
    remove_front(s, NO_COUNT);
  }
}

/* Collects the writer's results: a finished batch, the counts of an earlier run's
 * segments; reports failures and damaged tails. */
void poll_writer(spool *s) {
  if (s->other_busy) {
    pthread_mutex_lock(&s->lock);
    spool_job_state state = s->job;
    int error = s->job_errno;
    if (state == SPOOL_JOB_DONE) s->job = SPOOL_JOB_NONE;
    pthread_mutex_unlock(&s->lock);
    if (state == SPOOL_JOB_DONE) {
      spool_batch *o = &s->batches[1 - s->filling];
      s->other_busy = 0;
      if (error) {
        s->pinned = o->length > 0;
        report_failure(s, error);
      } else {
        if (spool_segment *e = find_segment(s, o->segment))
          e->durable = std::max(e->durable, o->offset + o->length);
        o->length = 0;
      }
    }
  }
  if (s->failed_errno.load() && !s->failure_reported) report_failure(s, s->failed_errno.load());
  uint32_t scanned = s->scanned.load(std::memory_order_acquire);
  for (; s->scans_applied < scanned; s->scans_applied++) {
    const spool_scan &c = s->scans[s->scans_applied];
    spool_segment *e = find_segment(s, c.number);
    if (!e) continue;
    e->documents = c.documents;
    e->counted = 1;
    if (!e->first_ms) e->first_ms = c.first_ms;
    if (c.end < e->end) e->end = std::max(e->read, c.end);
    if (c.end < c.size) report_damage(e, c.size - c.end);
  }
  trim(s);
}

/* Waits until the writer has finished its batch (spool_close only). */
void wait_writer(spool *s) {
  if (!s->other_busy) return;
  pthread_mutex_lock(&s->lock);
  while (s->job != SPOOL_JOB_DONE) pthread_cond_wait(&s->done, &s->lock);
  pthread_mutex_unlock(&s->lock);
  poll_writer(s);
}

/* Hands the filling batch to the writer. 0 when the other batch is still with it (and
 * wait is 0) or the spool failed. */
int hand_over(spool *s, int wait) {
  spool_batch *f = &s->batches[s->filling];
  if (!f->length) return 1;
  if (s->failed_errno.load() || s->pinned) return 0;
  if (s->other_busy) {
    if (!wait) return 0;
    wait_writer(s);
    if (s->failed_errno.load()) return 0;
    f = &s->batches[s->filling];
    if (!f->length) return 1;
  }
  pthread_mutex_lock(&s->lock);
  s->job = SPOOL_JOB_QUEUED;
  s->job_batch = s->filling;
  s->job_create = f->offset == 0;
  pthread_cond_signal(&s->wake);
  pthread_mutex_unlock(&s->lock);
  s->other_busy = 1;
  s->filling = 1 - s->filling;
  s->batches[s->filling].length = 0;
  return 1;
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
  if (s->failed_errno.load() || length == 0 || length > SPOOL_DOCUMENT_MAX || !doc) return 0;
  if (taken && cursor_segment(s)) return 0;
  uint32_t need = SPOOL_RECORD_HEAD + length;
  spool_batch *f = &s->batches[s->filling];
  spool_segment *w = s->write_segment ? find_segment(s, s->write_segment) : nullptr;
  int rotate = !w || (w->bytes > 0 && w->bytes + need > s->segment_size);
  if (f->length && (rotate || f->length + need > SPOOL_BATCH_CAPACITY)) {
    if (!hand_over(s, wait)) return 0;
    f = &s->batches[s->filling];
  }
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
    if (!peek_time(b->data + (e->read - b->offset), b->offset + b->length - e->read, &time_ms)) return;
  } else {
    if (s->read_fd_segment != e->number || e->read < s->read_offset ||
        e->read >= s->read_offset + s->read_length)
      return;
    uint32_t held = std::min(s->read_offset + s->read_length, file_part_end(s, e)) - e->read;
    if (!peek_time(s->read_buffer + (e->read - s->read_offset), held, &time_ms)) return;
  }
  s->next_ms = time_ms + e->shift_ms;
  s->next_at = {e->number, e->read};
}

/* Ends reading a segment at offset: its records end there. */
void end_segment_at(spool *s, spool_segment *e, uint32_t offset, int damaged) {
  if (damaged) report_damage(e, e->end - offset);
  e->end = offset;
  if (e->number == s->write_segment) {
    /* Never append behind damage; the batch of it in memory lies behind it too. */
    s->write_segment = 0;
    spool_batch *f = &s->batches[s->filling];
    if (f->segment == e->number) f->length = 0;
  }
}

} // namespace

void spool_set_io(const spool_io *hooks) {
  io = hooks ? *hooks : spool_io{system_write_at, system_sync_data, system_sync_folder};
}

uint32_t spool_encode(uint8_t *out, const char *doc, uint32_t length, int64_t time_ms) {
  put_u32(out, length);
  put_u64(out + 8, static_cast<uint64_t>(time_ms));
  std::memcpy(out + SPOOL_RECORD_HEAD, doc, length);
  put_u32(out + 4, record_crc(out, length));
  return SPOOL_RECORD_HEAD + length;
}

spool_record_result spool_decode(const uint8_t *bytes, uint32_t available, uint32_t *length,
                                 int64_t *time_ms) {
  if (available < 4) return SPOOL_RECORD_SHORT;
  uint32_t n = get_u32(bytes);
  if (n == 0 || n > SPOOL_DOCUMENT_MAX) return SPOOL_RECORD_DAMAGED;
  if (available < SPOOL_RECORD_HEAD + n) return SPOOL_RECORD_SHORT;
  if (get_u32(bytes + 4) != record_crc(bytes, n)) return SPOOL_RECORD_DAMAGED;
  *length = n;
  *time_ms = static_cast<int64_t>(get_u64(bytes + 8));
  return SPOOL_RECORD_WHOLE;
}

int spool_open(spool *s, const char *folder, uint64_t limit_bytes) {
  s->folder_fd = s->read_fd = s->write_fd = -1;
  s->read_fd_segment = s->write_fd_segment = 0;
  s->limit = std::max(limit_bytes, SPOOL_LIMIT_MIN);
  s->segment_size = static_cast<uint32_t>(
      std::min<uint64_t>(SPOOL_SEGMENT_MAX, std::max<uint64_t>(SPOOL_SEGMENT_MIN, s->limit / 32)));
  s->next_number = FIRST_NUMBER;
  s->total_bytes = 0;
  s->thread_started = s->failure_reported = 0;
  s->head = s->count = 0;
  s->write_segment = 0;
  s->acked_segment = 0;
  s->last_tick_ms = 0;
  s->next_ms = 0;
  s->next_at = {0, 0};
  s->batches[0].length = s->batches[1].length = 0;
  s->filling = s->pinned = s->other_busy = 0;
  s->read_offset = s->read_length = 0;
  pthread_mutex_init(&s->lock, nullptr);
  pthread_cond_init(&s->wake, nullptr);
  pthread_cond_init(&s->done, nullptr);
  s->stop = 0;
  s->job = SPOOL_JOB_NONE;
  s->job_batch = s->job_create = s->job_errno = 0;
  s->deletions_head = s->deletions_count = 0;
  s->purge_below = 0;
  s->failed_errno = 0;
  s->dropped_total = 0;
  s->dropped_pending = 0;
  s->scans_count = s->scans_applied = 0;
  s->scanned = 0;
  s->open = 1;

  if (snprintf(s->folder, sizeof s->folder, "%s", folder) >= static_cast<int>(sizeof s->folder)) {
    report_failure(s, ENAMETOOLONG);
    return 0;
  }
  if (mkdir(folder, 0700) != 0 && errno != EEXIST) {
    report_failure(s, errno);
    return 0;
  }
  s->folder_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s->folder_fd < 0) {
    report_failure(s, errno);
    return 0;
  }

  /* The segments, oldest first; beyond the table's capacity the oldest are purged. */
  uint8_t acked[ACKED_SIZE];
  int has_acked = 0;
  DIR *dir = open_listing(s);
  if (!dir) {
    report_failure(s, errno);
    return 0;
  }
  while (dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    if (std::strcmp(name, ACKED_TEMP_NAME) == 0) {
      unlinkat(s->folder_fd, name, 0);
      continue;
    }
    if (std::strcmp(name, ACKED_NAME) == 0) {
      int afd = openat(s->folder_fd, name, O_RDONLY | O_CLOEXEC);
      if (afd >= 0) {
        has_acked = pread(afd, acked, ACKED_SIZE, 0) == ACKED_SIZE &&
                    get_u32(acked + 24) == static_cast<uint32_t>(crc32(0L, acked, 24));
        close(afd);
      }
      continue;
    }
    uint64_t number = segment_number(name);
    struct stat st;
    if (number == 0 || fstatat(s->folder_fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    if (number >= s->next_number) s->next_number = number + 1;
    spool_segment *e;
    if (s->count < SPOOL_SEGMENTS_MAX) {
      e = &s->segments[s->count++];
    } else {
      e = std::min_element(
          s->segments, s->segments + s->count, [](const spool_segment &a, const spool_segment &b) {
            return a.number < b.number;
          });
      if (e->number > number) {
        s->purge_below = std::max(s->purge_below, number + 1);
        continue;
      }
      s->purge_below = std::max(s->purge_below, e->number + 1);
    }
    *e = spool_segment{};
    e->number = number;
    e->bytes = e->end = e->durable = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
  }
  closedir(dir);
  std::sort(s->segments, s->segments + s->count, [](const spool_segment &a, const spool_segment &b) {
    return a.number < b.number;
  });

  uint8_t head[SPOOL_RECORD_HEAD];
  auto read_head = [&](const spool_segment *e, uint32_t offset) {
    int sfd = open_segment(s, e->number, O_RDONLY);
    if (sfd < 0) return 0;
    int whole = pread(sfd, head, sizeof head, offset) == static_cast<ssize_t>(sizeof head);
    close(sfd);
    return whole;
  };
  if (has_acked) {
    /* Applies only to the very file it was written for (its first record's CRC and time). */
    uint64_t number = get_u64(acked);
    uint32_t offset = get_u32(acked + 8);
    spool_segment *e = find_segment(s, number);
    if (e && offset <= e->end && read_head(e, 0) && get_u32(head + 4) == get_u32(acked + 12) &&
        get_u64(head + 8) == get_u64(acked + 16)) {
      e->start = e->read = e->acked = offset;
      s->acked_segment = number;
    }
  }
  for (uint32_t i = 0; i < s->count; i++) {
    spool_segment *e = &s->segments[i];
    e->scan = static_cast<int32_t>(i);
    s->scans[i] = spool_scan{e->number, e->start, 0, 0, 0, 0};
    s->total_bytes += e->bytes;
  }
  s->scans_count = s->count;
  if (s->count && read_head(&s->segments[0], s->segments[0].start))
    peek_time(head, sizeof head, &s->segments[0].first_ms);

  int writable = faccessat(s->folder_fd, ".", W_OK | X_OK, 0) == 0;
  int error = errno;
  trim(s);
  /* The writer takes no signals (the caller's loop handles them) and needs little stack. */
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, WRITER_STACK);
  s->thread_started = pthread_create(&s->thread, &attributes, writer_main, s) == 0;
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (!s->thread_started) {
    report_failure(s, EAGAIN);
    return 0;
  }
  if (!writable) {
    report_failure(s, error);
    return 0;
  }
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
    uint32_t offset = e->read, n = 0;
    int64_t t = 0;
    const uint8_t *record = nullptr;
    if (const spool_batch *b = batch_holding(s, e->number, offset)) {
      record = b->data + (offset - b->offset);
      if (spool_decode(record, b->offset + b->length - offset, &n, &t) != SPOOL_RECORD_WHOLE) {
        end_segment_at(s, e, offset, 1);
        continue;
      }
    } else {
      if (s->read_fd < 0 || s->read_fd_segment != e->number) {
        if (s->read_fd >= 0) close(s->read_fd);
        s->read_fd = open_segment(s, e->number, O_RDONLY);
        s->read_fd_segment = e->number;
        s->read_offset = s->read_length = 0;
        if (s->read_fd < 0) {
          report_failure(s, errno);
          end_segment_at(s, e, offset, 0);
          continue;
        }
      }
      window w = {s->read_buffer, SPOOL_READ_CAPACITY, &s->read_offset, &s->read_length};
      int error = 0;
      spool_record_result r =
          window_record(s->read_fd, w, offset, file_part_end(s, e), &n, &t, &record, &error);
      if (error) {
        report_failure(s, error);
        end_segment_at(s, e, offset, 0);
        continue;
      }
      if (r != SPOOL_RECORD_WHOLE) {
        end_segment_at(s, e, offset, 1);
        continue;
      }
    }
    if (capacity < n) return 0;
    std::memcpy(out, record + SPOOL_RECORD_HEAD, n);
    *length = n;
    *time_ms = t + e->shift_ms;
    e->read = offset + SPOOL_RECORD_HEAD + n;
    e->taken++;
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
  trim(s);
}

void spool_tick(spool *s, long long now_ms) {
  if (!s->open) return;
  s->last_tick_ms = now_ms;
  poll_writer(s);
  const spool_batch *f = &s->batches[s->filling];
  if (f->length && now_ms >= f->started_ms + SPOOL_BATCH_MS) hand_over(s, 0);
}

long long spool_next_ms(const spool *s) {
  if (!s->open) return 0;
  const spool_batch *f = &s->batches[s->filling];
  if (f->length && !s->failed_errno.load() && !s->pinned) {
    long long due = f->started_ms + SPOOL_BATCH_MS;
    if (s->other_busy && due <= s->last_tick_ms) return s->last_tick_ms + SPOOL_POLL_MS;
    return due;
  }
  return s->other_busy ? s->last_tick_ms + SPOOL_POLL_MS : 0;
}

void spool_clock_moved(spool *s, int64_t shift_ms) {
  if (!s->open || shift_ms == 0) return;
  const spool_segment *cursor = cursor_segment(s);
  if (s->next_ms != 0 && cursor && cursor->scan < 0) s->next_ms += shift_ms;
  for (uint32_t i = 0; i < s->count; i++)
    if (segment_at(s, i)->scan < 0) segment_at(s, i)->shift_ms += shift_ms;
  s->write_segment = 0; /* one shift per segment */
}

int spool_usable(const spool *s) { return s->failed_errno.load() == 0 ? 1 : 0; }

spool_figures spool_stats(const spool *s) {
  spool_figures f = {};
  f.bytes = s->total_bytes;
  f.dropped = s->dropped_total.load();
  f.error = s->failed_errno.load();
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
             static_cast<uint32_t>(c->scan) < s->scanned.load(std::memory_order_acquire))
      f.oldest_ms = s->scans[c->scan].first_ms;
    else
      f.oldest_ms = s->next_ms;
  }
  return f;
}

uint32_t spool_take_dropped(spool *s) { return s->dropped_pending.exchange(0); }

namespace {

/* Writes the held documents as one new segment numbered before every other. */
uint32_t write_front(spool *s, const spool_document *held, uint32_t count) {
  if (count == 0) return 0;
  uint64_t number = s->count ? segment_at(s, 0)->number - 1 : s->next_number;
  if (number == 0) return count;
  int fd = open_segment(s, number, O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) {
    report_failure(s, errno);
    return count;
  }
  spool_batch *b = &s->batches[s->filling];
  uint64_t offset = 0;
  int error = 0;
  uint32_t lost = 0;
  b->length = 0;
  for (uint32_t i = 0; i <= count && !error; i++) {
    if (i == count || b->length + SPOOL_RECORD_MAX > SPOOL_BATCH_CAPACITY) {
      error = write_all_at(fd, b->data, b->length, offset);
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
  if (!error && io.sync_data(fd) != 0) error = errno ? errno : EIO;
  if (!error && io.sync_folder(s->folder_fd) != 0) error = errno ? errno : EIO;
  close(fd);
  if (error) {
    report_failure(s, error);
    return count;
  }
  return lost;
}

/* Records how far the oldest segment was acknowledged, or removes an older record of it. */
void write_acked(spool *s) {
  const spool_segment *e = s->count ? segment_at(s, 0) : nullptr;
  uint8_t head[SPOOL_RECORD_HEAD];
  int sfd = e && e->acked > 0 ? open_segment(s, e->number, O_RDONLY) : -1;
  int have_head = sfd >= 0 && pread(sfd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
  if (sfd >= 0) close(sfd);
  if (!have_head) {
    unlinkat(s->folder_fd, ACKED_NAME, 0);
    return;
  }
  uint8_t acked[ACKED_SIZE];
  put_u64(acked, e->number);
  put_u32(acked + 8, e->acked);
  std::memcpy(acked + 12, head + 4, 4);
  std::memcpy(acked + 16, head + 8, 8);
  put_u32(acked + 24, static_cast<uint32_t>(crc32(0L, acked, 24)));
  int fd = openat(s->folder_fd, ACKED_TEMP_NAME, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  int error = write_all_at(fd, acked, ACKED_SIZE, 0);
  if (!error && io.sync_data(fd) != 0) error = errno ? errno : EIO;
  close(fd);
  if (!error && renameat(s->folder_fd, ACKED_TEMP_NAME, s->folder_fd, ACKED_NAME) == 0)
    io.sync_folder(s->folder_fd);
  else
    unlinkat(s->folder_fd, ACKED_TEMP_NAME, 0);
}

int is_kept(spool *s, const spool_document &d) {
  if (d.from.segment == 0) return 0;
  const spool_segment *e = find_segment(s, d.from.segment);
  return e && d.from.offset <= e->durable;
}

} // namespace

uint32_t spool_close(spool *s, const spool_document *held, uint32_t count) {
  if (!s->open) return count;
  poll_writer(s);
  hand_over(s, 1);
  wait_writer(s);

  /* Held documents before the first one kept in the spool are older than all of it. */
  uint32_t first_kept = 0;
  while (first_kept < count && !is_kept(s, held[first_kept])) first_kept++;
  uint32_t lost = 0;
  for (uint32_t i = first_kept; i < count; i++) {
    if (is_kept(s, held[i])) continue;
    if (!append_record(s, held[i].data, held[i].length, held[i].time_ms, 1, nullptr)) lost++;
  }
  hand_over(s, 1);
  wait_writer(s);

  if (s->thread_started) {
    pthread_mutex_lock(&s->lock);
    s->stop = 1;
    pthread_cond_signal(&s->wake);
    pthread_mutex_unlock(&s->lock);
    pthread_join(s->thread, nullptr);
    s->thread_started = 0;
  }
  if (s->failed_errno.load() || s->folder_fd < 0) {
    lost += first_kept;
  } else {
    lost += write_front(s, held, first_kept);
    write_acked(s);
  }
  for (int *fd : {&s->read_fd, &s->write_fd, &s->folder_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  pthread_cond_destroy(&s->done);
  pthread_cond_destroy(&s->wake);
  pthread_mutex_destroy(&s->lock);
  s->open = 0;
  return lost;
}
