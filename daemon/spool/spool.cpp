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
/* Files of the folder are opened without following a link or waiting on a FIFO. */
constexpr int OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

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
  return openat(s->folder_fd, name, flags | OPEN_FLAGS, 0600);
}

/* 1 while the folder the spool opened is in place: not removed, and its path still leads
 * to it (not replaced). */
int folder_in_place(const spool *s) {
  struct stat opened, named;
  if (fstat(s->folder_fd, &opened) != 0 || opened.st_nlink == 0) return 0;
  if (lstat(s->folder, &named) != 0) return errno != ENOENT && errno != ENOTDIR;
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

/* A name in the folder that the daemon made itself and left behind: a plain file of this
 * user with no other link. Anything else was put there. */
int own_leftover(const spool *s, const char *name) {
  struct stat st;
  return fstatat(s->folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
         st.st_nlink == 1 && st.st_uid == geteuid();
}

void report_skipped(const spool *s, const char *name) {
  log_msg(
      LOG_WARNING, "Skipped '%s' in the spool folder '%s': not a regular file of its own.", name, s->folder);
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
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    c.size = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
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

/* Deletes a segment file (counting its records from an offset on as dropped first); 1 when
 * a file was removed. */
int writer_delete(spool *s, const spool_deletion &d) {
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
  const int removed = unlinkat(s->folder_fd, name, 0) == 0;
  if (d.number == s->acked_segment) unlinkat(s->folder_fd, ACKED_NAME, 0);
  return removed;
}

/* Deletes every segment file numbered below limit, counting its records as dropped; 1 when
 * a file was removed. */
int writer_purge(spool *s, uint64_t limit) {
  DIR *dir = open_listing(s);
  if (!dir) return 0;
  int removed = 0;
  while (dirent *entry = readdir(dir)) {
    uint64_t number = segment_number(entry->d_name);
    if (number != 0 && number < limit) removed |= writer_delete(s, spool_deletion{number, 0});
  }
  closedir(dir);
  return removed;
}

/* What the writer takes on in one go: every batch handed (in hand-over order), every
 * deletion and the purge queued by then. */
struct writer_round {
  int batch[SPOOL_BATCHES];
  int again[SPOOL_BATCHES];
  int error[SPOOL_BATCHES];
  uint32_t batches, deletions;
  uint64_t purge;
  int halted;         /* as the round began; as it ended */
  int sync_deletions; /* names were deleted, none created: the folder is synced after the
                         batches are handed back */
};

/* Takes the round's work (under the lock). 0 when there is none. */
int take_round(spool *s, writer_round *r) {
  r->batches = 0;
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    if (s->job[i] != SPOOL_JOB_QUEUED) continue;
    uint32_t at = r->batches++;
    while (at > 0 && s->job_order[r->batch[at - 1]] > s->job_order[i]) {
      r->batch[at] = r->batch[at - 1];
      at--;
    }
    r->batch[at] = static_cast<int>(i);
  }
  for (uint32_t k = 0; k < r->batches; k++) {
    s->job[r->batch[k]] = SPOOL_JOB_RUNNING;
    r->again[k] = s->job_again[r->batch[k]];
    r->error[k] = 0;
  }
  r->deletions = s->deletions_count;
  r->purge = s->purge_below;
  s->purge_below = 0;
  r->halted = s->halted;
  return r->batches || r->deletions || r->purge;
}

int deleted_in(const spool *s, const writer_round &r, uint64_t number) {
  for (uint32_t i = 0; i < r.deletions; i++)
    if (s->deletions[(s->deletions_head + i) % DELETIONS_CAPACITY].number == number) return 1;
  return 0;
}

/* The file a batch goes to, open for writing (the writer keeps the last one open); 0 or the
 * errno: ENOENT when the segment file is gone (deleted behind the spool's back). */
int open_for_writing(spool *s, const spool_batch &b, int again) {
  if (s->write_fd < 0 || s->write_fd_segment != b.segment) {
    if (s->write_fd >= 0) close(s->write_fd);
    s->write_fd = -1;
    /* A new segment is created exclusively, unless an earlier try of this batch made it. */
    int flags = O_WRONLY;
    if (b.offset == 0) flags |= O_CREAT | (again ? 0 : O_EXCL);
    int fd = open_segment(s, b.segment, flags);
    if (fd < 0) return errno;
    s->write_fd = fd;
    s->write_fd_segment = b.segment;
  }
  struct stat st;
  if (fstat(s->write_fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  return st.st_nlink == 0 ? ENOENT : 0;
}

/* Writes the round's batches first to last of one segment back to back and syncs the file
 * once; 0 or the errno. */
int write_segment_batches(spool *s, const writer_round &r, uint32_t first, uint32_t last) {
  const spool_batch &head = s->batches[r.batch[first]];
  int error = open_for_writing(s, head, r.again[first]);
  for (uint32_t k = first; k < last && !error; k++) {
    const spool_batch &b = s->batches[r.batch[k]];
    error = write_all_at(s->write_fd, b.data, b.length, b.offset);
  }
  if (!error && io.sync_data(s->write_fd) != 0) error = errno ? errno : EIO;
  if (error && s->write_fd >= 0) {
    close(s->write_fd);
    s->write_fd = -1;
  }
  return error;
}

/* Runs a round: deletions first (so that the folder never holds more than the limit), then
 * the batches, one sync per file, and one sync of the folder after new or deleted names.
 * Batches of a segment deleted in the same round are not written. After a failure nothing
 * more is written (the round's later batches and every later one fail alike) until the
 * caller tries again; a segment file found gone fails only its own batches. */
void run_round(spool *s, writer_round *r) {
  int deleted = 0, changed = 0;
  if (r->purge) deleted |= writer_purge(s, r->purge);
  for (uint32_t i = 0; i < r->deletions; i++)
    deleted |= writer_delete(s, s->deletions[(s->deletions_head + i) % DELETIONS_CAPACITY]);
  int created[SPOOL_BATCHES] = {};
  if (r->batches && !r->halted && !folder_in_place(s)) {
    s->folder_lost = 1;
    r->halted = ENOENT;
  }
  for (uint32_t first = 0, last; first < r->batches; first = last) {
    const uint64_t number = s->batches[r->batch[first]].segment;
    last = first + 1;
    while (last < r->batches && s->batches[r->batch[last]].segment == number) last++;
    int error = r->halted;
    if (!error && !deleted_in(s, *r, number)) {
      error = write_segment_batches(s, *r, first, last);
      if (error == ENOENT && !folder_in_place(s)) s->folder_lost = 1;
      if (error && (error != ENOENT || s->folder_lost)) r->halted = error;
      created[first] = !error && s->batches[r->batch[first]].offset == 0;
      changed |= created[first];
    }
    for (uint32_t k = first; k < last; k++) r->error[k] = error;
  }
  r->sync_deletions = deleted && !changed;
  if (changed && io.sync_folder(s->folder_fd) != 0) {
    /* The new names are not safe yet: those batches are written again. */
    const int error = errno ? errno : EIO;
    for (uint32_t first = 0; first < r->batches; first++) {
      if (!created[first]) continue;
      r->halted = error;
      for (uint32_t k = first;
           k < r->batches && s->batches[r->batch[k]].segment == s->batches[r->batch[first]].segment;
           k++)
        r->error[k] = error;
    }
  }
}

void *writer_main(void *argument) {
  spool *s = static_cast<spool *>(argument);
  uint32_t scan_next = 0;
  pthread_mutex_lock(&s->lock);
  for (;;) {
    writer_round r;
    if (take_round(s, &r)) {
      pthread_mutex_unlock(&s->lock);
      run_round(s, &r);
      pthread_mutex_lock(&s->lock);
      for (uint32_t k = 0; k < r.batches; k++) {
        s->job[r.batch[k]] = SPOOL_JOB_DONE;
        s->job_errno[r.batch[k]] = r.error[k];
      }
      s->deletions_head = (s->deletions_head + r.deletions) % DELETIONS_CAPACITY;
      s->deletions_count -= r.deletions;
      s->halted = r.halted;
      pthread_cond_broadcast(&s->done);
      if (r.sync_deletions) {
        pthread_mutex_unlock(&s->lock);
        io.sync_folder(s->folder_fd);
        pthread_mutex_lock(&s->lock);
      }
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

/* Documents of a segment not taken yet (0 while they are not counted). */
uint32_t not_taken(const spool *s, const spool_segment *e) {
  uint32_t documents = 0;
  return known_documents(s, e, &documents) ? documents - std::min(documents, e->taken) : 0;
}

void report_failure(spool *s, int error) {
  s->failed_errno.store(error ? error : EIO);
  s->retrying = 0;
  if (s->failure_reported) return;
  s->failure_reported = 1;
  log_msg(LOG_ERR, "The spool folder '%s' cannot be used (errno=%i).", s->folder, s->failed_errno.load());
}

void report_usable_again(spool *s) {
  s->failed_errno.store(0);
  s->failure_reported = 0;
  s->retrying = 0;
  log_msg(LOG_NOTICE, "The spool folder '%s' can be used again.", s->folder);
}

void report_damage(spool_segment *e, uint32_t bytes) {
  if (e->damage_reported) return;
  e->damage_reported = 1;
  char name[NAME_CAPACITY];
  segment_name(e->number, name);
  log_msg(LOG_WARNING, "Skipped a damaged tail of %u bytes in spool segment '%s'.", bytes, name);
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

/* Queues a deletion for the writer; the lock is held by the caller. */
void queue_deletion(spool *s, uint64_t number, uint32_t count_from) {
  /* When the writer lags that far the file stays; a later start sends its documents again. */
  if (s->deletions_count < DELETIONS_CAPACITY) {
    s->deletions[(s->deletions_head + s->deletions_count) % DELETIONS_CAPACITY] = {number, count_from};
    s->deletions_count++;
    pthread_cond_signal(&s->wake);
  }
}

/* Takes the segment at index i out of the table (its file is left as it is). */
void remove_segment(spool *s, uint32_t i) {
  spool_segment *e = segment_at(s, i);
  if (s->read_fd >= 0 && s->read_fd_segment == e->number) {
    close(s->read_fd);
    s->read_fd = -1;
    s->read_length = 0;
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

/* Removes the oldest segment from the table and deletes its file (the lock held). */
void remove_front(spool *s, uint32_t count_from) {
  queue_deletion(s, segment_at(s, 0)->number, count_from);
  remove_segment(s, 0);
}

/* The spool is full: the oldest segment goes, its documents not taken count as dropped. */
void drop_front(spool *s) {
  spool_segment *e = segment_at(s, 0);
  uint32_t documents;
  pthread_mutex_lock(&s->lock);
  if (known_documents(s, e, &documents)) {
    uint32_t lost = documents - std::min(documents, e->taken);
    s->dropped_total += lost;
    s->dropped_pending += lost;
    remove_front(s, NO_COUNT);
  } else {
    remove_front(s, e->read);
  }
  pthread_mutex_unlock(&s->lock);
}

/* Deletes the oldest segments whose records were all taken and acknowledged, handing the
 * writer all of them at once (one sync of the folder). */
void trim(spool *s) {
  if (!s->count) return;
  pthread_mutex_lock(&s->lock);
  while (s->count) {
    const spool_segment *e = segment_at(s, 0);
    if (e->read < e->end || e->acked < e->read) break;
    remove_front(s, NO_COUNT);
  }
  pthread_mutex_unlock(&s->lock);
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
    free_batch(s, i);
  } else if (!e || s->folder_lost) {
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
    int finished[SPOOL_BATCHES], errors[SPOOL_BATCHES];
    uint32_t count = 0;
    pthread_mutex_lock(&s->lock);
    for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
      if (s->use[i] != SPOOL_BATCH_WRITING || s->job[i] != SPOOL_JOB_DONE) continue;
      s->job[i] = SPOOL_JOB_NONE;
      uint32_t at = count++;
      while (at > 0 && s->job_order[finished[at - 1]] > s->job_order[i]) {
        finished[at] = finished[at - 1];
        errors[at] = errors[at - 1];
        at--;
      }
      finished[at] = static_cast<int>(i);
      errors[at] = s->job_errno[i];
    }
    pthread_mutex_unlock(&s->lock);
    for (uint32_t k = 0; k < count; k++) finish_batch(s, finished[k], errors[k]);
  }
  if (s->folder_lost && !s->detached) lose_folder(s);
  if (s->retrying && !batches_in_use(s, SPOOL_BATCH_WRITING) && !batches_in_use(s, SPOOL_BATCH_FAILED))
    report_usable_again(s);
  uint32_t scanned = s->scanned.load(std::memory_order_acquire);
  for (; s->scans_applied < scanned; s->scans_applied++) {
    const spool_scan &c = s->scans[s->scans_applied];
    spool_segment *e = find_segment(s, c.number);
    if (!e || e->counted) continue;
    e->documents = c.documents;
    e->counted = 1;
    if (!e->first_ms) e->first_ms = c.first_ms;
    if (c.end < e->end) e->end = std::max(e->read, c.end);
    if (c.end < c.size) report_damage(e, c.size - c.end);
  }
  trim(s);
}

/* Waits until the writer has finished every batch it has (spool_close only). */
void wait_writer(spool *s) {
  while (batches_in_use(s, SPOOL_BATCH_WRITING)) {
    pthread_mutex_lock(&s->lock);
    for (;;) {
      int done = 0;
      for (uint32_t i = 0; i < SPOOL_BATCHES; i++)
        done |= s->use[i] == SPOOL_BATCH_WRITING && s->job[i] == SPOOL_JOB_DONE;
      if (done) break;
      pthread_cond_wait(&s->done, &s->lock);
    }
    pthread_mutex_unlock(&s->lock);
    poll_writer(s);
  }
}

/* Hands a batch to the writer (again: an earlier write of it failed). */
void hand(spool *s, int i, int again) {
  pthread_mutex_lock(&s->lock);
  s->job[i] = SPOOL_JOB_QUEUED;
  s->job_order[i] = s->handed++;
  s->job_again[i] = static_cast<uint8_t>(again);
  if (again) s->halted = 0;
  pthread_cond_signal(&s->wake);
  pthread_mutex_unlock(&s->lock);
  s->use[i] = SPOOL_BATCH_WRITING;
  if (s->filling == i) s->filling = -1;
}

/* Hands the filling batch to the writer, unless the spool failed. */
void hand_over(spool *s) {
  if (s->filling < 0 || !s->batches[s->filling].length || s->failed_errno.load()) return;
  hand(s, s->filling, 0);
}

/* Hands the failed batches to the writer again, in their order. */
void hand_failed_again(spool *s) {
  for (;;) {
    int next = -1;
    for (uint32_t i = 0; i < SPOOL_BATCHES; i++)
      if (s->use[i] == SPOOL_BATCH_FAILED && (next < 0 || s->job_order[i] < s->job_order[next]))
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
  if (s->failed_errno.load() || length == 0 || length > SPOOL_DOCUMENT_MAX || !doc) return 0;
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
    if (s->failed_errno.load()) return 0;
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
  s->next_ms = time_ms;
  s->next_at = {e->number, e->read};
}

/* Ends reading a segment at a damaged record: its records end there. */
void end_segment_at(spool *s, spool_segment *e, uint32_t offset) {
  report_damage(e, e->end - offset);
  e->end = offset;
  if (e->number == s->write_segment) {
    /* Never append behind damage; the batch of it in memory lies behind it too. */
    s->write_segment = 0;
    if (s->filling >= 0 && s->batches[s->filling].segment == e->number) s->batches[s->filling].length = 0;
  }
}

/* Stops the writer thread and waits for its end. */
void stop_writer(spool *s) {
  if (!s->thread_started) return;
  pthread_mutex_lock(&s->lock);
  s->stop = 1;
  pthread_cond_signal(&s->wake);
  pthread_mutex_unlock(&s->lock);
  pthread_join(s->thread, nullptr);
  s->thread_started = 0;
}

void close_files(spool *s) {
  for (int *fd : {&s->read_fd, &s->write_fd, &s->folder_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

/* Lists the folder (open): the segments, oldest first, and how far the oldest was
 * acknowledged; entries the spool would use that are no regular files of its own are
 * skipped with a warning. 0 with errno when it cannot be listed. */
int list_folder(spool *s) {
  uint8_t acked[ACKED_SIZE];
  int has_acked = 0;
  DIR *dir = open_listing(s);
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
    if (!S_ISREG(st.st_mode) || (is_temp && !own_leftover(s, name))) {
      report_skipped(s, name);
      s->temp_planted |= is_temp;
      continue;
    }
    if (is_temp) {
      unlinkat(s->folder_fd, name, 0);
      continue;
    }
    if (is_acked) {
      int afd = openat(s->folder_fd, name, O_RDONLY | OPEN_FLAGS);
      if (afd >= 0) {
        has_acked = pread(afd, acked, ACKED_SIZE, 0) == ACKED_SIZE &&
                    get_u32(acked + 24) == static_cast<uint32_t>(crc32(0L, acked, 24));
        close(afd);
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
  return 1;
}

/* Forgets the folder's segments and batches (not what was counted since the open). */
void clear_state(spool *s) {
  s->head = s->count = 0;
  s->write_segment = s->acked_segment = 0;
  s->total_bytes = 0;
  s->next_ms = 0;
  s->next_at = {0, 0};
  s->filling = -1;
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    s->use[i] = SPOOL_BATCH_FREE;
    s->job[i] = SPOOL_JOB_NONE;
  }
  s->read_fd_segment = s->write_fd_segment = 0;
  s->read_offset = s->read_length = 0;
  s->stop = s->halted = s->detached = s->retrying = s->temp_planted = 0;
  s->deletions_head = s->deletions_count = 0;
  s->purge_below = 0;
  s->folder_lost = 0;
  s->scans_count = s->scans_applied = 0;
  s->scanned = 0;
}

/* Takes the folder up: makes it when missing, opens it without following a link, checks
 * whose it is, lists it and starts the writer. 1 when the spool is usable; 0 after
 * reporting why not. */
int attach(spool *s) {
  clear_state(s);
  if (mkdir(s->folder, 0700) != 0 && errno != EEXIST) {
    report_failure(s, errno);
    return 0;
  }
  /* Opened as whatever stands there (a link: ELOOP), then it must be a folder. */
  s->folder_fd = open(s->folder, O_RDONLY | OPEN_FLAGS);
  if (s->folder_fd < 0) {
    report_failure(s, errno);
    return 0;
  }
  /* Someone else's folder, or one others may write to, could hold what anyone put there. */
  struct stat st;
  int error = fstat(s->folder_fd, &st) != 0        ? errno
              : !S_ISDIR(st.st_mode)               ? ENOTDIR
              : st.st_uid != geteuid()             ? EPERM
              : (st.st_mode & (S_IWGRP | S_IWOTH)) ? EACCES
                                                   : 0;
  if (error || !list_folder(s)) {
    report_failure(s, error ? error : errno);
    close_files(s);
    return 0;
  }
  const int writable = faccessat(s->folder_fd, ".", W_OK | X_OK, 0) == 0;
  error = errno;
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
  stop_writer(s);
  close_files(s);
  if (!attach(s)) return 0;
  report_usable_again(s);
  return 1;
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
  s->limit = std::max(limit_bytes, SPOOL_LIMIT_MIN);
  s->segment_size = static_cast<uint32_t>(
      std::min<uint64_t>(SPOOL_SEGMENT_MAX, std::max<uint64_t>(SPOOL_SEGMENT_MIN, s->limit / 32)));
  s->next_number = FIRST_NUMBER;
  s->thread_started = s->failure_reported = 0;
  s->last_tick_ms = 0;
  s->handed = 0;
  pthread_mutex_init(&s->lock, nullptr);
  pthread_cond_init(&s->wake, nullptr);
  pthread_cond_init(&s->done, nullptr);
  s->failed_errno = 0;
  s->dropped_total = 0;
  s->dropped_pending = 0;
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
  if (!s->failed_errno.load()) return 1;
  if (s->folder[0] == '\0' || s->retrying || batches_in_use(s, SPOOL_BATCH_WRITING)) return 0;
  if (s->folder_fd < 0 || s->detached || !s->thread_started) return attach_again(s);
  if (!folder_in_place(s)) {
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
    uint32_t offset = e->read, n = 0;
    int64_t t = 0;
    const uint8_t *record = nullptr;
    if (const spool_batch *b = batch_holding(s, e->number, offset)) {
      record = b->data + (offset - b->offset);
      if (spool_decode(record, b->offset + b->length - offset, &n, &t) != SPOOL_RECORD_WHOLE) {
        end_segment_at(s, e, offset);
        continue;
      }
    } else {
      if (s->read_fd < 0 || s->read_fd_segment != e->number) {
        if (s->read_fd >= 0) close(s->read_fd);
        s->read_fd = open_segment(s, e->number, O_RDONLY);
        s->read_fd_segment = e->number;
        s->read_offset = s->read_length = 0;
        if (s->read_fd < 0) {
          const int error = errno;
          if (!folder_in_place(s)) {
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
      window w = {s->read_buffer, SPOOL_READ_CAPACITY, &s->read_offset, &s->read_length};
      int error = 0;
      spool_record_result r =
          window_record(s->read_fd, w, offset, file_part_end(s, e), &n, &t, &record, &error);
      if (error) {
        report_failure(s, error);
        lose_rest(s, e, offset);
        continue;
      }
      if (r != SPOOL_RECORD_WHOLE) {
        end_segment_at(s, e, offset);
        continue;
      }
    }
    if (capacity < n) return 0;
    std::memcpy(out, record + SPOOL_RECORD_HEAD, n);
    *length = n;
    *time_ms = t;
    e->read = offset + SPOOL_RECORD_HEAD + n;
    e->taken++;
    *end = {e->number, e->read};
    note_next_time(s, e, t);
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
  if (s->filling < 0) return;
  const spool_batch *f = &s->batches[s->filling];
  if (f->length && now_ms >= f->started_ms + SPOOL_BATCH_MS) hand_over(s);
}

long long spool_next_ms(const spool *s) {
  if (!s->open) return 0;
  /* While the writer has batches, their results are collected now and then. */
  long long next = batches_in_use(s, SPOOL_BATCH_WRITING) ? s->last_tick_ms + SPOOL_POLL_MS : 0;
  if (s->filling >= 0 && s->batches[s->filling].length && !s->failed_errno.load()) {
    const long long due = s->batches[s->filling].started_ms + SPOOL_BATCH_MS;
    if (next == 0 || due < next) next = due;
  }
  return next;
}

int spool_usable(const spool *s) { return s->failed_errno.load() == 0 ? 1 : 0; }

int spool_writer_busy(const spool *s) { return batches_in_use(s, SPOOL_BATCH_WRITING) > 0; }

spool_figures spool_stats(const spool *s) {
  spool_figures f = {};
  f.bytes = s->total_bytes;
  f.dropped = s->dropped_total.load();
  f.lost = s->lost_total;
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
      f.oldest_ms = c->first_ms;
    else if (c->read == c->start && c->scan >= 0 &&
             static_cast<uint32_t>(c->scan) < s->scanned.load(std::memory_order_acquire))
      f.oldest_ms = s->scans[c->scan].first_ms;
    else
      f.oldest_ms = s->next_ms;
  }
  return f;
}

uint32_t spool_take_dropped(spool *s) { return s->dropped_pending.exchange(0); }

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
  int fd = open_segment(s, number, O_WRONLY | O_CREAT | O_EXCL);
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

/* Records how far the oldest segment was acknowledged, or removes an older record of it.
 * The temporary file is created exclusively: what someone put at its name is never written
 * through; only the daemon's own leftover is replaced. */
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
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | OPEN_FLAGS;
  int fd = openat(s->folder_fd, ACKED_TEMP_NAME, flags, 0600);
  if (fd < 0 && errno == EEXIST && own_leftover(s, ACKED_TEMP_NAME) &&
      unlinkat(s->folder_fd, ACKED_TEMP_NAME, 0) == 0)
    fd = openat(s->folder_fd, ACKED_TEMP_NAME, flags, 0600);
  if (fd < 0) {
    if (errno == EEXIST && !s->temp_planted) report_skipped(s, ACKED_TEMP_NAME);
    return;
  }
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
  if (s->failed_errno.load() && s->thread_started && !s->detached && batches_in_use(s, SPOOL_BATCH_FAILED) &&
      folder_in_place(s)) {
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
  stop_writer(s);
  count_lost(s, unwritten_not_taken(s));

  if (s->failed_errno.load() || s->folder_fd < 0) {
    lost += first_kept;
  } else {
    lost += write_front(s, held, first_kept);
    write_acked(s);
  }
  close_files(s);
  pthread_cond_destroy(&s->done);
  pthread_cond_destroy(&s->wake);
  pthread_mutex_destroy(&s->lock);
  s->open = 0;
  return lost;
}
