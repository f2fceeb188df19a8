/* The spool: documents waiting for the cloud, kept in append-only segment files in a folder
 * on flash, bounded in size, written in batches by a thread of its own and read back lazily,
 * oldest first.
 *
 * Use: a document goes to the caller's memory queue while it has room and spool_waiting is
 * 0, else to spool_append (behind everything in the spool); spool_next refills the memory
 * as room frees, oldest first; the caller reports acknowledged documents from the spool
 * with spool_acknowledged, in order; it calls spool_tick when spool_next_ms says, and
 * spool_retry now and then (once per pass) while the spool cannot be used; a stop ends with
 * spool_close and the documents memory still holds.
 *
 * What survives: a clean close keeps every unacknowledged document and resends nothing
 * acknowledged. A kill or power cut keeps every record synced (a batch is synced within a
 * second, or at once when 64 KiB are full) and loses what was only in memory; delivery is
 * then at least once: documents acknowledged since the start in a segment not yet deleted
 * (segments go only once all their documents are acknowledged) come back. A deleted
 * segment stays deleted once a second has passed (the folder is synced after deletions).
 *
 * Files: segments, each deleted once all of its documents were acknowledged, and "acked"
 * (their bytes: spool_format.h). The folder is used only when it is no link, belongs to the
 * daemon's user and no one else may write to it; in it only regular files are read, and
 * nothing is opened through a link.
 *
 * Threads: every function is called from one thread (the caller's loop); the spool's own
 * writer thread does every write, sync and delete, and counts the documents of segments
 * left by an earlier run in the background. The caller waits for it only in spool_close
 * and when spool_retry takes a lost folder up again. Logging (log_msg) happens on the
 * caller's thread only. */
#pragma once
#include <cstdint>

#include "spool_format.h"
#include "spool_writer.h"

/* A batch that is not full is handed to the writer this long after its first document. */
constexpr long long SPOOL_BATCH_MS = 1000;
/* How often spool_next_ms asks for a tick while the writer has a batch or one waits. */
constexpr long long SPOOL_POLL_MS = 100;
/* Segment size: a 32nd of the limit, between these two. A dropped segment costs at most a
 * 32nd of the spool (256 KiB of 8 MiB); at least one whole batch fits in one segment, so a
 * new file (and its folder sync) comes at most once per batch. A record that would pass the
 * size starts a new segment; the batch of the old one is handed to the writer then. */
constexpr uint32_t SPOOL_SEGMENT_MIN = 64 * 1024;
constexpr uint32_t SPOOL_SEGMENT_MAX = 256 * 1024;
/* Smaller limits are raised to this: the limit holds at least four segments. */
constexpr uint64_t SPOOL_LIMIT_MIN = 4 * SPOOL_SEGMENT_MIN;
constexpr uint32_t SPOOL_FOLDER_CAPACITY = 256;

/* Where a document ends in the spool (just after its record); segment 0: not in the spool. */
struct spool_position {
  uint64_t segment;
  uint32_t offset;
};

/* What the status record shows. */
struct spool_figures {
  uint32_t documents; /* waiting in the spool, not yet taken by spool_next */
  uint64_t bytes;     /* of the segment files, batches not yet written included */
  int64_t oldest_ms;  /* arrival time of the next document spool_next returns (or of the last
                         one it returned while the next has not been read); 0 when none */
  uint32_t dropped;   /* documents dropped since spool_open because the spool was full */
  uint32_t lost;      /* documents lost since spool_open with the folder or a segment file
                         (removed, replaced or unreadable while they waited) */
  int usable;         /* 0 when the folder cannot be used: the spool takes nothing more */
  int error;          /* the errno that made it unusable */
  int counting;       /* 1 while segments of an earlier run are being counted: documents is
                         then a lower bound */
};

/* A document the caller holds in memory, handed over at spool_close. */
struct spool_document {
  const char *data;
  uint32_t length;
  int64_t time_ms;
  spool_position from; /* as spool_next returned it; segment 0 when it did not come from the spool */
};

/* One entry of the caller's table of segments (internal). Its offsets keep
 * start <= acked <= read <= end <= bytes and durable <= bytes. */
struct spool_segment {
  uint64_t number;
  uint32_t bytes;            /* size of the file, batches not yet written included */
  uint32_t end;              /* end of the whole records: bytes, or where a damaged tail begins */
  uint32_t start;            /* first record still to send when the spool was opened */
  uint32_t read;             /* next record spool_next returns from this segment */
  uint32_t acked;            /* every record ending at or before this is acknowledged */
  uint32_t durable;          /* bytes known to be written and synced */
  uint32_t documents, taken; /* records from start on; those returned by spool_next */
  int64_t first_ms;          /* arrival time of the record at start, 0 when unknown */
  int64_t shift_ms;          /* added to the times read from it: how far the wall clock was set
                                since they were written (segments of this run) */
  int32_t scan;              /* index in the earlier run's list, -1 for a segment of this run */
  uint8_t counted, damage_reported;
};

/* A batch as the caller sees it. */
enum spool_batch_use : uint8_t {
  SPOOL_BATCH_FREE,
  SPOOL_BATCH_FILLING, /* appends go to it */
  SPOOL_BATCH_WRITING, /* handed to the writer (its records are read from memory meanwhile) */
  SPOOL_BATCH_FAILED,  /* its write failed: its records are read from memory; written again
                          when the spool is tried again */
};

/* The whole state: about 450 KiB of fixed storage whose pages are touched only as used (the
 * batches while spooling, the read and count buffers while an earlier run's documents are
 * read). It holds a thread: allocate it once (zeroed memory is fine, e.g. calloc), never
 * copy or move it. Fields are internal: the caller's thread's, but for writer (whose rule
 * spool_writer.h gives). */
struct spool {
  char folder[SPOOL_FOLDER_CAPACITY];
  int folder_fd;
  uint64_t limit;
  uint32_t segment_size;
  uint64_t next_number; /* of the next new segment; only grows, also when the folder is taken
                           up again, so that no position the caller holds names a new file */
  uint64_t total_bytes;
  int open, failure_reported;
  int failed_errno; /* the errno that made the spool unusable, 0 while usable */
  int detached;     /* the folder was lost: spool_retry takes it (or a new one) up again */
  int retrying;     /* failed batches are with the writer again; their success ends the failure */
  int temp_planted; /* an "acked.tmp" not of the spool's own was reported at the open */

  spool_segment segments[SPOOL_SEGMENTS_MAX]; /* a ring, oldest first */
  uint32_t head, count;
  uint64_t write_segment; /* where appends go, 0 none yet */
  long long last_tick_ms;
  int64_t next_ms; /* arrival time of the record at next_at, or of the last one taken */
  spool_position next_at;
  spool_batch batches[SPOOL_BATCHES];
  spool_batch_use use[SPOOL_BATCHES];
  int filling;            /* the batch appends go to, -1 none */
  segment_reader reader;  /* the file spool_next reads */
  uint32_t scans_applied; /* of writer.scans, those taken into the table */
  uint32_t lost_total, lost_pending;

  spool_writer writer;
};

/* Opens (creating it 0700 when missing) the folder as a spool of at most limit_bytes
 * (raised to SPOOL_LIMIT_MIN) and starts the writer. The folder is opened without following
 * a link and used only when it belongs to the daemon's user and neither its group nor others
 * may write to it (else EPERM, EACCES). Lists the folder (reads at most two record heads,
 * never all), removes the daemon's own leftovers of an interrupted close; an entry the spool
 * would use that is no regular file (a link, a FIFO) is skipped with one LOG_WARNING line,
 * "Skipped '%s' in the spool folder '%s': not a regular file of its own.". Returns 1 when
 * the spool is usable; 0 after logging at LOG_ERR "The spool folder '%s' cannot be used
 * (errno=%i).": what is already in a folder it may use can still be read, nothing is
 * appended. A failure later (a write or sync error, a full disk, the folder removed or
 * replaced) is logged the same way, once, at the next call after it. Call spool_close in
 * either case. */
int spool_open(spool *s, const char *folder, uint64_t limit_bytes);

/* Tries an unusable spool again: batches whose write failed are written again, a lost or
 * missing folder is made and taken up again (a short wait for the writer), a folder that
 * was not writable is checked again. Once the spool takes documents again it logs one
 * LOG_NOTICE line, "The spool folder '%s' can be used again." (for batches written again:
 * at a later call, once the writer reports). Returns 1 when the spool is usable now. */
int spool_retry(spool *s);

/* Appends a document (1 to SPOOL_DOCUMENT_MAX bytes) that arrived at time_ms behind every
 * other; it goes to flash with the next batch. When the spool would pass its limit the
 * oldest segment goes first and its documents not yet taken count as dropped. Returns 1
 * when taken, 0 when not: the spool is unusable (spool_stats().usable 0: go on without it)
 * or every batch is full while the writer works (back-pressure: try again after a later
 * spool_tick), or the length is out of range. Never waits for the writer. */
int spool_append(spool *s, const char *doc, uint32_t length, int64_t time_ms);

/* As spool_append for a document the caller keeps in memory, counted as taken already
 * (spool_next does not return it); *end as spool_next would give it. Only when no document
 * waits to be taken (0 otherwise). For the caller's order rule: documents it holds that
 * did not come from the spool must be older than every document in the spool. So when it
 * must start appending while it holds such documents behind ones from the spool, it first
 * appends those with this call. */
int spool_append_taken(spool *s, const char *doc, uint32_t length, int64_t time_ms, spool_position *end);

/* Takes the oldest document not taken yet: copies it to out (capacity at least
 * SPOOL_DOCUMENT_MAX), with its length, arrival time and end position. Reads at most one
 * block from a file; documents of batches not yet written come from memory. A record whose
 * length or CRC is wrong ends its segment: the rest of that file is skipped with one
 * warning, "Skipped a damaged tail of %u bytes in spool segment '%s'.". A segment file that
 * is gone or cannot be read counts the documents it still held as lost. Returns 1 with a
 * document, 0 when none waits. */
int spool_next(spool *s, char *out, uint32_t capacity, uint32_t *length, int64_t *time_ms,
               spool_position *end);

/* 1 while documents wait to be taken (spool_next may still find none when all that is left
 * is a damaged tail). While it is 1, new documents go behind them into the spool. */
int spool_waiting(const spool *s);

/* Every document up to end is acknowledged (in order; older positions are ignored).
 * Segments whose documents are all acknowledged are deleted; when every document of the
 * spool was acknowledged, the folder is left without segments. */
void spool_acknowledged(spool *s, spool_position end);

/* Hands a due batch to the writer and reports what the writer found (failures, damaged
 * tails). now_ms: a monotonic clock in ms; batches are timed by these ticks. */
void spool_tick(spool *s, long long now_ms);

/* When spool_tick has something to do (a monotonic time in ms as given to spool_tick),
 * 0 when nothing. */
long long spool_next_ms(const spool *s);

/* The wall clock was set: shift_ms (new minus old time) is added to the arrival times of
 * the documents appended in this run, as spool_next and spool_stats give them (the records
 * keep theirs); later appends go to a new segment. An earlier run's times stay as stored. */
void spool_clock_moved(spool *s, int64_t shift_ms);

/* The figures of the status record. */
spool_figures spool_stats(const spool *s);

/* 1 while the spool takes documents (spool_stats().usable, without counting anything). */
int spool_usable(const spool *s);

/* 1 while a batch is with the writer (tests wait on it). */
int spool_writer_busy(const spool *s);

/* Documents dropped because the spool was full since the previous call (for one log line
 * per pass); restarts the count. Documents of dropped segments of an earlier run are
 * counted by the writer and may come in a later call. */
uint32_t spool_take_dropped(spool *s);

/* Documents lost with the folder or a segment file since the previous call; restarts the
 * count. */
uint32_t spool_take_lost(spool *s);

/* Ends the spool (blocking): hands it the caller's unacknowledged documents held in
 * memory (held, oldest first), writes and syncs what is pending (batches whose write
 * failed are tried once more) and records how far the oldest segment was acknowledged.
 * Held documents still safely in the spool are skipped; the others go in front of the
 * spool when older than its first document kept (a segment numbered before all others),
 * else behind it. These may take the spool past its limit by what the caller held. Returns
 * how many held documents could not be kept (the spool is unusable or a write failed);
 * documents of the spool's own batches that could not be written count as lost.
 * spool_take_dropped, spool_take_lost and spool_stats remain usable after it. */
uint32_t spool_close(spool *s, const spool_document *held, uint32_t count);
