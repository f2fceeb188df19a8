/* The spool's bytes on flash, and reading them back a block at a time; no state of its own.
 *
 * A segment, named by its number in 16 hex digits and ".seg" (sorted by name = oldest first),
 * is a run of records: u32 length (1 to SPOOL_DOCUMENT_MAX), u32 CRC-32 of the other 12 head
 * bytes and the document, i64 arrival time in ms since 1970, then the document; all little
 * endian. A segment is only ever appended to.
 *
 * "acked" (written at a clean close) says how far the oldest segment was acknowledged: u64
 * segment number, u32 offset, that segment's first record's CRC and time fields (so that it
 * applies to that very file only), then a CRC-32 of the 24 bytes before. */
#pragma once
#include <cstdint>

constexpr uint32_t SPOOL_DOCUMENT_MAX = 3072;
/* A record's head: its length, CRC and arrival time fields, at these offsets. */
constexpr uint32_t RECORD_LENGTH_AT = 0, RECORD_CRC_AT = 4, RECORD_TIME_AT = 8;
constexpr uint32_t SPOOL_RECORD_HEAD = 4 + 4 + 8;
constexpr uint32_t SPOOL_RECORD_MAX = SPOOL_RECORD_HEAD + SPOOL_DOCUMENT_MAX;
/* One block read from a segment file at a time (at most one per spool_next call). */
constexpr uint32_t SPOOL_READ_CAPACITY = 32 * 1024;
/* Segment numbers start here, so that a close can put segments in front of the first. */
constexpr uint64_t SEGMENT_FIRST_NUMBER = 1ull << 32;
constexpr unsigned SEGMENT_NAME_CAPACITY = 24;
constexpr const char *ACKED_NAME = "acked";
constexpr const char *ACKED_TEMP_NAME = "acked.tmp";
/* Segment, offset, the first record's CRC and time, the CRC of those. */
constexpr uint32_t ACKED_SIZE = 8 + 4 + 4 + 8 + 4;

/* Record format helpers (tests and the fuzz target build and check segments with them). */
enum spool_record_result { SPOOL_RECORD_WHOLE, SPOOL_RECORD_SHORT, SPOOL_RECORD_DAMAGED };

/* Writes the record of a document (length 1 to SPOOL_DOCUMENT_MAX) to out (room for
 * SPOOL_RECORD_HEAD + length bytes); returns the record's size. */
uint32_t spool_encode(uint8_t *out, const char *doc, uint32_t length, int64_t time_ms);

/* Checks the record at bytes (available bytes there): WHOLE with the document's length and
 * time, SHORT when more bytes are needed to tell, DAMAGED when the length is out of range
 * or the CRC does not match. */
spool_record_result spool_decode(const uint8_t *bytes, uint32_t available, uint32_t *length,
                                 int64_t *time_ms);

/* The time in a record head without checking the CRC (for the figures only); 0 when the
 * head is not all there or its length is out of range. */
int record_peek_time(const uint8_t *bytes, uint32_t available, int64_t *time_ms);

/* Writes the file name of a segment ("%016llx.seg") to name. */
void segment_name(uint64_t number, char name[SEGMENT_NAME_CAPACITY]);

/* The number of a segment file name, 0 for any other name. */
uint64_t segment_number(const char *name);

/* What "acked" holds. */
struct acked_mark {
  uint64_t segment;
  uint32_t offset;    /* every record ending at or before it is acknowledged */
  uint32_t first_crc; /* the CRC and time fields of the segment's first record */
  uint64_t first_time;
};

/* The mark of a segment whose first record's head is head. */
acked_mark acked_mark_of(uint64_t segment, uint32_t offset, const uint8_t *head);

/* 1 when the mark was made for the segment whose first record's head is head. */
int acked_fits(const acked_mark &m, const uint8_t *head);

void acked_encode(uint8_t *out, const acked_mark &m);

/* Reads ACKED_SIZE bytes; 0 when their CRC is wrong. */
int acked_decode(const uint8_t *in, acked_mark *m);

/* One segment file and the block of it last read; each thread keeps its own. */
struct segment_reader {
  int fd;                /* -1: none open */
  uint64_t segment;      /* the segment fd was opened for */
  uint32_t base, length; /* buffer holds the file's bytes [base, base + length) */
  uint8_t buffer[SPOOL_READ_CAPACITY];
};

/* A record found by reader_record_at; bytes stay valid until the reader reads again. */
struct spool_record {
  const uint8_t *bytes; /* the head, the document SPOOL_RECORD_HEAD bytes on */
  uint32_t length;      /* of the document */
  int64_t time_ms;
};

/* The record at offset of the reader's file, whose part up to end is read: reads one block
 * from offset when the buffer does not hold enough. SHORT means that part ends inside the
 * record. A failed read is DAMAGED with *error its errno (the buffer then holds nothing). */
spool_record_result reader_record_at(segment_reader *r, uint32_t offset, uint32_t end, spool_record *out,
                                     int *error);
