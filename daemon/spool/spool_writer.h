/* The spool's files: the folder and its checks, segment files, and the writer thread that
 * does every write, sync and delete and counts the records of segments an earlier run left.
 * The caller hands it batches (one job per batch) and queues deletions; it waits for the
 * writer only at close and when it takes the folder up again. Nothing here logs: the caller
 * reports what the writer found, on its own thread. */
#pragma once
#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "spool_format.h"

/* One batch: written with one write; the writer syncs every batch it was handed together,
 * with one fdatasync per file. */
constexpr uint32_t SPOOL_BATCH_CAPACITY = 64 * 1024;
/* Batches: one fills while the writer writes and syncs the others, so that a burst goes on
 * through a slow sync. Memory is touched only as batches come into use (lowest first). */
constexpr uint32_t SPOOL_BATCHES = 4;
/* Segments the spool keeps track of; beyond it the oldest goes as when the spool is full. */
constexpr uint32_t SPOOL_SEGMENTS_MAX = 1024;
/* A deletion whose segment's records are not counted as dropped. */
constexpr uint32_t DELETION_NO_COUNT = UINT32_MAX;

/* The writer's file calls; tests replace them to count, delay or fail them. */
struct spool_io {
  ssize_t (*write_at)(int fd, const void *data, size_t length, off_t offset);
  int (*sync_data)(int fd);   /* fdatasync of a segment or of the "acked" file */
  int (*sync_folder)(int fd); /* fsync of the folder after new names in it or deletions */
};

/* Replaces the file calls of every spool (before spool_open); nullptr restores the system's. */
void spool_set_io(const spool_io *io);

/* Writes all bytes at offset through the file calls; 0 or the errno. */
int io_write_all_at(int fd, const uint8_t *data, uint32_t length, uint64_t offset);

/* Syncs a file's data, or the folder's names, through the file calls; 0 or the errno. */
int io_sync_data(int fd);
int io_sync_folder(int fd);

/* Makes the folder (0700) when missing and opens it without following a link; it must be a
 * folder of this user that neither group nor others may write to (someone else's could hold
 * what anyone put there). 0 with *fd open, or the errno (EPERM, EACCES, ENOTDIR, ELOOP ...). */
int folder_take(const char *path, int *fd);

/* 1 while the folder opened as folder_fd is in place: not removed, and its path still leads
 * to it (not replaced). */
int folder_in_place(const char *path, int folder_fd);

/* A name in the folder that the daemon made itself and left behind: a plain file of this
 * user with no other link. Anything else was put there. */
int own_leftover(int folder_fd, const char *name);

/* A listing of the folder with a position of its own (a dup of folder_fd would share it);
 * nullptr when it cannot be listed. */
DIR *open_listing(int folder_fd);

/* Opens a file of the folder without following a link or waiting on a FIFO (created 0600). */
int open_in_folder(int folder_fd, const char *name, int flags);
int open_segment(int folder_fd, uint64_t number, int flags);

/* A batch of records for one segment: the caller fills it, the writer reads it while it has
 * the batch's job. */
struct spool_batch {
  uint64_t segment;
  uint32_t offset; /* where it goes in the file */
  uint32_t length;
  long long started_ms; /* the tick time when its first record came */
  uint8_t data[SPOOL_BATCH_CAPACITY];
};

enum spool_job_state { SPOOL_JOB_NONE, SPOOL_JOB_QUEUED, SPOOL_JOB_RUNNING, SPOOL_JOB_DONE };

/* The writer's job for one batch. A batch has a job (not NONE) exactly while the caller
 * counts it as with the writer. */
struct spool_job {
  spool_job_state state;
  uint32_t order; /* the writer writes queued batches in this order */
  int error;      /* once DONE: 0, or the errno of the failed write */
  uint8_t again;  /* written before: its new file may exist */
};

/* What the writer learnt about a segment of an earlier run. */
struct spool_scan {
  uint64_t number;
  uint32_t start; /* count records from here on */
  uint32_t documents, end, size;
  int64_t first_ms;
};

/* A segment to delete, and whether to count its records from an offset on as dropped. */
struct spool_deletion {
  uint64_t number;
  uint32_t count_from; /* DELETION_NO_COUNT: do not count */
};

/* The writer's state, by who may touch what while the thread runs. Fixed: read-only. Mailbox:
 * under lock. Atomics: results the caller reads without the lock. Own: the writer thread's
 * only. While the thread is stopped, all of it is the caller's. */
struct spool_writer {
  /* Fixed. */
  const char *folder;         /* the folder's path, to tell it was replaced */
  const spool_batch *batches; /* the caller's; the writer reads those it has jobs for */
  int folder_fd;
  uint64_t acked_segment;               /* the segment the "acked" file names */
  spool_scan scans[SPOOL_SEGMENTS_MAX]; /* an earlier run's segments, oldest first (number and
                                           start; the rest is the writer's until published) */
  uint32_t scans_count;
  pthread_t thread;
  int started;

  /* Mailbox. */
  pthread_mutex_t lock;
  pthread_cond_t wake, done;
  int stop;
  spool_job jobs[SPOOL_BATCHES]; /* per batch */
  uint32_t handed;               /* batches handed so far: the next job's order */
  int halted; /* a write failed (its errno): nothing more is written until the caller retries */
  spool_deletion deletions[2 * SPOOL_SEGMENTS_MAX]; /* a ring */
  uint32_t deletions_head, deletions_count;
  uint64_t purge_below; /* delete (and count) every segment file numbered below, 0 none */

  /* Atomics. */
  std::atomic<int> folder_lost;                         /* the folder was found removed or replaced */
  std::atomic<uint32_t> dropped_total, dropped_pending; /* the caller adds to them too */
  std::atomic<uint32_t> scanned;                        /* scans[0 .. scanned) are filled in */

  /* Own. */
  int write_fd; /* the segment last written, kept open */
  uint64_t write_fd_segment;
  segment_reader counter; /* for counting records */
};

/* Sets up a stopped writer for the spool's folder path and batches, which outlive it. Once
 * per spool_open; writer_destroy undoes it. */
void writer_init(spool_writer *w, const char *folder, const spool_batch *batches);
void writer_destroy(spool_writer *w);

/* Forgets the jobs, deletions, purge, "acked" segment and an earlier run's segments, before
 * the folder is taken up (again); the thread is stopped. */
void writer_clear(spool_writer *w);

/* Starts the thread on the folder (the fixed fields and purge_below set); it takes no
 * signals. 1 when it runs. */
int writer_start(spool_writer *w, int folder_fd);

/* Stops the thread after the round it is in, waits for its end and closes its file. */
void writer_stop(spool_writer *w);

/* Gives the writer a job for a batch (again: an earlier write of it failed, which lifts the
 * halt). */
void writer_hand(spool_writer *w, uint32_t batch, int again);

/* Takes the finished jobs (their state back to NONE): the batches in hand-over order with
 * their errors (SPOOL_BATCHES each); returns how many. */
uint32_t writer_finished(spool_writer *w, uint32_t *batches, int *errors);

/* Waits until a job is finished; only while one is with the writer. */
void writer_wait(spool_writer *w);

/* Deletions queued between writer_lock and writer_unlock reach the writer together (one
 * sync of the folder). When the writer lags that far a deletion is not queued: the file
 * stays and a later start sends its documents again. */
void writer_lock(spool_writer *w);
void writer_unlock(spool_writer *w);
void writer_queue_deletion(spool_writer *w, uint64_t number, uint32_t count_from);

/* Counts documents dropped because the spool was full. */
void writer_count_dropped(spool_writer *w, uint32_t documents);
