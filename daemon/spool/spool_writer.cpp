#include "spool_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint32_t DELETIONS_CAPACITY = sizeof(spool_writer::deletions) / sizeof(spool_deletion);
constexpr size_t WRITER_STACK = 256 * 1024;
/* Files of the folder are opened without following a link or waiting on a FIFO. */
constexpr int OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

ssize_t system_write_at(int fd, const void *data, size_t length, off_t offset) {
  return pwrite(fd, data, length, offset);
}
int system_sync_data(int fd) { return fdatasync(fd); }
int system_sync_folder(int fd) { return fsync(fd); }

spool_io io = {system_write_at, system_sync_data, system_sync_folder};

/* Counts the whole records of a segment file starting at from or later. */
struct segment_count {
  uint32_t documents, end, size;
  int64_t first_ms;
};
segment_count count_records(spool_writer *w, uint64_t number, uint32_t from) {
  segment_count c = {0, 0, 0, 0};
  segment_reader *r = &w->counter;
  r->fd = open_segment(w->folder_fd, number, O_RDONLY);
  if (r->fd < 0) return c;
  struct stat st;
  if (fstat(r->fd, &st) == 0 && S_ISREG(st.st_mode))
    c.size = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
  r->segment = number;
  r->base = r->length = 0;
  uint32_t offset = 0;
  while (offset < c.size) {
    spool_record record;
    int error = 0;
    if (reader_record_at(r, offset, c.size, &record, &error) != SPOOL_RECORD_WHOLE) break;
    if (offset >= from) {
      if (c.documents++ == 0) c.first_ms = record.time_ms;
    }
    offset += SPOOL_RECORD_HEAD + record.length;
  }
  c.end = offset;
  close(r->fd);
  r->fd = -1;
  return c;
}

/* Deletes a segment file (counting its records from an offset on as dropped first); 1 when
 * a file was removed. */
int writer_delete(spool_writer *w, const spool_deletion &d) {
  if (w->write_fd >= 0 && w->write_fd_segment == d.number) {
    close(w->write_fd);
    w->write_fd = -1;
  }
  if (d.count_from != DELETION_NO_COUNT)
    writer_count_dropped(w, count_records(w, d.number, d.count_from).documents);
  char name[SEGMENT_NAME_CAPACITY];
  segment_name(d.number, name);
  const int removed = unlinkat(w->folder_fd, name, 0) == 0;
  if (d.number == w->acked_segment) unlinkat(w->folder_fd, ACKED_NAME, 0);
  return removed;
}

/* Deletes every segment file numbered below limit, counting its records as dropped; 1 when
 * a file was removed. */
int writer_purge(spool_writer *w, uint64_t limit) {
  DIR *dir = open_listing(w->folder_fd);
  if (!dir) return 0;
  int removed = 0;
  while (dirent *entry = readdir(dir)) {
    uint64_t number = segment_number(entry->d_name);
    if (number != 0 && number < limit) removed |= writer_delete(w, spool_deletion{number, 0});
  }
  closedir(dir);
  return removed;
}

/* Inserts batch i into the first count of list, kept in job order. */
void insert_in_order(const spool_writer *w, uint32_t *list, uint32_t count, uint32_t i) {
  uint32_t at = count;
  while (at > 0 && w->jobs[list[at - 1]].order > w->jobs[i].order) {
    list[at] = list[at - 1];
    at--;
  }
  list[at] = i;
}

/* What the writer takes on in one go: every batch handed (in hand-over order), every
 * deletion and the purge queued by then. */
struct writer_round {
  uint32_t batch[SPOOL_BATCHES];
  int again[SPOOL_BATCHES];
  int error[SPOOL_BATCHES];
  uint32_t batches, deletions;
  uint64_t purge;
  int halted;         /* as the round began; as it ended */
  int sync_deletions; /* names were deleted, none created: the folder is synced after the
                         batches are handed back */
};

/* Takes the round's work (under the lock). 0 when there is none. */
int take_round(spool_writer *w, writer_round *r) {
  r->batches = 0;
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++)
    if (w->jobs[i].state == SPOOL_JOB_QUEUED) insert_in_order(w, r->batch, r->batches++, i);
  for (uint32_t k = 0; k < r->batches; k++) {
    w->jobs[r->batch[k]].state = SPOOL_JOB_RUNNING;
    r->again[k] = w->jobs[r->batch[k]].again;
    r->error[k] = 0;
  }
  r->deletions = w->deletions_count;
  r->purge = w->purge_below;
  w->purge_below = 0;
  r->halted = w->halted;
  return r->batches || r->deletions || r->purge;
}

const spool_deletion &deletion_at(const spool_writer *w, uint32_t i) {
  return w->deletions[(w->deletions_head + i) % DELETIONS_CAPACITY];
}

int deleted_in(const spool_writer *w, const writer_round &r, uint64_t number) {
  for (uint32_t i = 0; i < r.deletions; i++)
    if (deletion_at(w, i).number == number) return 1;
  return 0;
}

/* The file a batch goes to, open for writing (the writer keeps the last one open); 0 or the
 * errno: ENOENT when the segment file is gone (deleted behind the spool's back). */
int open_for_writing(spool_writer *w, const spool_batch &b, int again) {
  if (w->write_fd < 0 || w->write_fd_segment != b.segment) {
    if (w->write_fd >= 0) close(w->write_fd);
    w->write_fd = -1;
    /* A new segment is created exclusively, unless an earlier try of this batch made it. */
    int flags = O_WRONLY;
    if (b.offset == 0) flags |= O_CREAT | (again ? 0 : O_EXCL);
    int fd = open_segment(w->folder_fd, b.segment, flags);
    if (fd < 0) return errno;
    w->write_fd = fd;
    w->write_fd_segment = b.segment;
  }
  struct stat st;
  if (fstat(w->write_fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  return st.st_nlink == 0 ? ENOENT : 0;
}

/* Writes the round's batches first to last of one segment back to back and syncs the file
 * once; 0 or the errno. */
int write_segment_batches(spool_writer *w, const writer_round &r, uint32_t first, uint32_t last) {
  const spool_batch &head = w->batches[r.batch[first]];
  int error = open_for_writing(w, head, r.again[first]);
  for (uint32_t k = first; k < last && !error; k++) {
    const spool_batch &b = w->batches[r.batch[k]];
    error = io_write_all_at(w->write_fd, b.data, b.length, b.offset);
  }
  if (!error) error = io_sync_data(w->write_fd);
  if (error && w->write_fd >= 0) {
    close(w->write_fd);
    w->write_fd = -1;
  }
  return error;
}

/* Runs a round: deletions first (so that the folder never holds more than the limit), then
 * the batches, one sync per file, and one sync of the folder after new or deleted names.
 * Batches of a segment deleted in the same round are not written. After a failure nothing
 * more is written (the round's later batches and every later one fail alike) until the
 * caller tries again; a segment file found gone fails only its own batches. */
void run_round(spool_writer *w, writer_round *r) {
  int deleted = 0, changed = 0;
  if (r->purge) deleted |= writer_purge(w, r->purge);
  for (uint32_t i = 0; i < r->deletions; i++) deleted |= writer_delete(w, deletion_at(w, i));
  int created[SPOOL_BATCHES] = {};
  if (r->batches && !r->halted && !folder_in_place(w->folder, w->folder_fd)) {
    w->folder_lost = 1;
    r->halted = ENOENT;
  }
  auto segment_of = [&](uint32_t k) { return w->batches[r->batch[k]].segment; };
  for (uint32_t first = 0, last; first < r->batches; first = last) {
    const uint64_t number = segment_of(first);
    last = first + 1;
    while (last < r->batches && segment_of(last) == number) last++;
    int error = r->halted;
    if (!error && !deleted_in(w, *r, number)) {
      error = write_segment_batches(w, *r, first, last);
      if (error == ENOENT && !folder_in_place(w->folder, w->folder_fd)) w->folder_lost = 1;
      if (error && (error != ENOENT || w->folder_lost)) r->halted = error;
      created[first] = !error && w->batches[r->batch[first]].offset == 0;
      changed |= created[first];
    }
    for (uint32_t k = first; k < last; k++) r->error[k] = error;
  }
  r->sync_deletions = deleted && !changed;
  if (!changed) return;
  if (const int error = io_sync_folder(w->folder_fd)) {
    /* The new names are not safe yet: those batches are written again. */
    for (uint32_t first = 0; first < r->batches; first++) {
      if (!created[first]) continue;
      r->halted = error;
      for (uint32_t k = first; k < r->batches && segment_of(k) == segment_of(first); k++) r->error[k] = error;
    }
  }
}

/* A priority list: a round of work, else the stop, else counting an earlier run's segments,
 * else sleep. The lock is let go around every file call. */
void *writer_main(void *argument) {
  spool_writer *w = static_cast<spool_writer *>(argument);
  uint32_t scan_next = 0;
  pthread_mutex_lock(&w->lock);
  for (;;) {
    writer_round r;
    if (take_round(w, &r)) {
      pthread_mutex_unlock(&w->lock);
      run_round(w, &r);
      pthread_mutex_lock(&w->lock);
      for (uint32_t k = 0; k < r.batches; k++) {
        w->jobs[r.batch[k]].state = SPOOL_JOB_DONE;
        w->jobs[r.batch[k]].error = r.error[k];
      }
      w->deletions_head = (w->deletions_head + r.deletions) % DELETIONS_CAPACITY;
      w->deletions_count -= r.deletions;
      w->halted = r.halted;
      pthread_cond_broadcast(&w->done);
      if (r.sync_deletions) {
        pthread_mutex_unlock(&w->lock);
        io_sync_folder(w->folder_fd);
        pthread_mutex_lock(&w->lock);
      }
    } else if (w->stop) {
      break;
    } else if (scan_next < w->scans_count) {
      uint32_t i = scan_next++;
      pthread_mutex_unlock(&w->lock);
      segment_count c = count_records(w, w->scans[i].number, w->scans[i].start);
      w->scans[i].documents = c.documents;
      w->scans[i].end = c.end;
      w->scans[i].size = c.size;
      w->scans[i].first_ms = c.first_ms;
      w->scanned.store(i + 1, std::memory_order_release);
      pthread_mutex_lock(&w->lock);
    } else {
      pthread_cond_wait(&w->wake, &w->lock);
    }
  }
  pthread_mutex_unlock(&w->lock);
  return nullptr;
}

} // namespace

void spool_set_io(const spool_io *hooks) {
  io = hooks ? *hooks : spool_io{system_write_at, system_sync_data, system_sync_folder};
}

int io_write_all_at(int fd, const uint8_t *data, uint32_t length, uint64_t offset) {
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

int io_sync_data(int fd) { return io.sync_data(fd) == 0 ? 0 : errno ? errno : EIO; }

int io_sync_folder(int fd) { return io.sync_folder(fd) == 0 ? 0 : errno ? errno : EIO; }

int folder_take(const char *path, int *fd) {
  *fd = -1;
  if (mkdir(path, 0700) != 0 && errno != EEXIST) return errno;
  /* Opened as whatever stands there (a link: ELOOP), then it must be a folder. */
  const int opened = open(path, O_RDONLY | OPEN_FLAGS);
  if (opened < 0) return errno;
  struct stat st;
  const int error = fstat(opened, &st) != 0              ? errno
                    : !S_ISDIR(st.st_mode)               ? ENOTDIR
                    : st.st_uid != geteuid()             ? EPERM
                    : (st.st_mode & (S_IWGRP | S_IWOTH)) ? EACCES
                                                         : 0;
  if (error) {
    close(opened);
    return error;
  }
  *fd = opened;
  return 0;
}

int folder_in_place(const char *path, int folder_fd) {
  struct stat opened, named;
  if (fstat(folder_fd, &opened) != 0 || opened.st_nlink == 0) return 0;
  if (lstat(path, &named) != 0) return errno != ENOENT && errno != ENOTDIR;
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

int own_leftover(int folder_fd, const char *name) {
  struct stat st;
  return fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         st.st_uid == geteuid();
}

DIR *open_listing(int folder_fd) {
  int fd = openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir && fd >= 0) close(fd);
  return dir;
}

int open_in_folder(int folder_fd, const char *name, int flags) {
  return openat(folder_fd, name, flags | OPEN_FLAGS, 0600);
}

int open_segment(int folder_fd, uint64_t number, int flags) {
  char name[SEGMENT_NAME_CAPACITY];
  segment_name(number, name);
  return open_in_folder(folder_fd, name, flags);
}

void writer_init(spool_writer *w, const char *folder, const spool_batch *batches) {
  w->folder = folder;
  w->batches = batches;
  w->folder_fd = w->write_fd = w->counter.fd = -1;
  w->started = 0;
  w->handed = 0;
  w->dropped_total = 0;
  w->dropped_pending = 0;
  pthread_mutex_init(&w->lock, nullptr);
  pthread_cond_init(&w->wake, nullptr);
  pthread_cond_init(&w->done, nullptr);
}

void writer_destroy(spool_writer *w) {
  pthread_cond_destroy(&w->done);
  pthread_cond_destroy(&w->wake);
  pthread_mutex_destroy(&w->lock);
}

void writer_clear(spool_writer *w) {
  w->acked_segment = 0;
  for (spool_job &job : w->jobs) job.state = SPOOL_JOB_NONE;
  w->write_fd_segment = 0;
  w->stop = w->halted = 0;
  w->deletions_head = w->deletions_count = 0;
  w->purge_below = 0;
  w->folder_lost = 0;
  w->scans_count = 0;
  w->scanned = 0;
}

int writer_start(spool_writer *w, int folder_fd) {
  w->folder_fd = folder_fd;
  /* The writer takes no signals (the caller's loop handles them) and needs little stack. */
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, WRITER_STACK);
  w->started = pthread_create(&w->thread, &attributes, writer_main, w) == 0;
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return w->started;
}

void writer_stop(spool_writer *w) {
  if (w->started) {
    pthread_mutex_lock(&w->lock);
    w->stop = 1;
    pthread_cond_signal(&w->wake);
    pthread_mutex_unlock(&w->lock);
    pthread_join(w->thread, nullptr);
    w->started = 0;
  }
  if (w->write_fd >= 0) close(w->write_fd);
  w->write_fd = -1;
}

void writer_hand(spool_writer *w, uint32_t batch, int again) {
  pthread_mutex_lock(&w->lock);
  w->jobs[batch].state = SPOOL_JOB_QUEUED;
  w->jobs[batch].order = w->handed++;
  w->jobs[batch].again = static_cast<uint8_t>(again);
  if (again) w->halted = 0;
  pthread_cond_signal(&w->wake);
  pthread_mutex_unlock(&w->lock);
}

uint32_t writer_finished(spool_writer *w, uint32_t *batches, int *errors) {
  uint32_t count = 0;
  pthread_mutex_lock(&w->lock);
  for (uint32_t i = 0; i < SPOOL_BATCHES; i++) {
    if (w->jobs[i].state != SPOOL_JOB_DONE) continue;
    w->jobs[i].state = SPOOL_JOB_NONE;
    insert_in_order(w, batches, count++, i);
  }
  for (uint32_t k = 0; k < count; k++) errors[k] = w->jobs[batches[k]].error;
  pthread_mutex_unlock(&w->lock);
  return count;
}

void writer_wait(spool_writer *w) {
  pthread_mutex_lock(&w->lock);
  for (;;) {
    int done = 0;
    for (const spool_job &job : w->jobs) done |= job.state == SPOOL_JOB_DONE;
    if (done) break;
    pthread_cond_wait(&w->done, &w->lock);
  }
  pthread_mutex_unlock(&w->lock);
}

void writer_lock(spool_writer *w) { pthread_mutex_lock(&w->lock); }

void writer_unlock(spool_writer *w) { pthread_mutex_unlock(&w->lock); }

void writer_queue_deletion(spool_writer *w, uint64_t number, uint32_t count_from) {
  if (w->deletions_count == DELETIONS_CAPACITY) return;
  w->deletions[(w->deletions_head + w->deletions_count) % DELETIONS_CAPACITY] = {number, count_from};
  w->deletions_count++;
  pthread_cond_signal(&w->wake);
}

void writer_count_dropped(spool_writer *w, uint32_t documents) {
  w->dropped_total += documents;
  w->dropped_pending += documents;
}
