#include "spool_format.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

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
  uLong crc = crc32(0L, record + RECORD_LENGTH_AT, 4);
  return static_cast<uint32_t>(crc32(crc, record + RECORD_TIME_AT, 8 + length));
}

constexpr uint32_t ACKED_SEGMENT_AT = 0, ACKED_OFFSET_AT = 8, ACKED_FIRST_CRC_AT = 12,
                   ACKED_FIRST_TIME_AT = 16, ACKED_CRC_AT = 24;

uint32_t acked_crc(const uint8_t *acked) { return static_cast<uint32_t>(crc32(0L, acked, ACKED_CRC_AT)); }

} // namespace

uint32_t spool_encode(uint8_t *out, const char *doc, uint32_t length, int64_t time_ms) {
  put_u32(out + RECORD_LENGTH_AT, length);
  put_u64(out + RECORD_TIME_AT, static_cast<uint64_t>(time_ms));
  std::memcpy(out + SPOOL_RECORD_HEAD, doc, length);
  put_u32(out + RECORD_CRC_AT, record_crc(out, length));
  return SPOOL_RECORD_HEAD + length;
}

spool_record_result spool_decode(const uint8_t *bytes, uint32_t available, uint32_t *length,
                                 int64_t *time_ms) {
  if (available < 4) return SPOOL_RECORD_SHORT;
  uint32_t n = get_u32(bytes + RECORD_LENGTH_AT);
  if (n == 0 || n > SPOOL_DOCUMENT_MAX) return SPOOL_RECORD_DAMAGED;
  if (available < SPOOL_RECORD_HEAD + n) return SPOOL_RECORD_SHORT;
  if (get_u32(bytes + RECORD_CRC_AT) != record_crc(bytes, n)) return SPOOL_RECORD_DAMAGED;
  *length = n;
  *time_ms = static_cast<int64_t>(get_u64(bytes + RECORD_TIME_AT));
  return SPOOL_RECORD_WHOLE;
}

int record_peek_time(const uint8_t *bytes, uint32_t available, int64_t *time_ms) {
  if (available < SPOOL_RECORD_HEAD) return 0;
  uint32_t length = get_u32(bytes + RECORD_LENGTH_AT);
  if (length == 0 || length > SPOOL_DOCUMENT_MAX) return 0;
  *time_ms = static_cast<int64_t>(get_u64(bytes + RECORD_TIME_AT));
  return 1;
}

void segment_name(uint64_t number, char name[SEGMENT_NAME_CAPACITY]) {
  snprintf(name, SEGMENT_NAME_CAPACITY, "%016llx.seg", static_cast<unsigned long long>(number));
}

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

acked_mark acked_mark_of(uint64_t segment, uint32_t offset, const uint8_t *head) {
  return acked_mark{segment, offset, get_u32(head + RECORD_CRC_AT), get_u64(head + RECORD_TIME_AT)};
}

int acked_fits(const acked_mark &m, const uint8_t *head) {
  return get_u32(head + RECORD_CRC_AT) == m.first_crc && get_u64(head + RECORD_TIME_AT) == m.first_time;
}

void acked_encode(uint8_t *out, const acked_mark &m) {
  put_u64(out + ACKED_SEGMENT_AT, m.segment);
  put_u32(out + ACKED_OFFSET_AT, m.offset);
  put_u32(out + ACKED_FIRST_CRC_AT, m.first_crc);
  put_u64(out + ACKED_FIRST_TIME_AT, m.first_time);
  put_u32(out + ACKED_CRC_AT, acked_crc(out));
}

int acked_decode(const uint8_t *in, acked_mark *m) {
  if (get_u32(in + ACKED_CRC_AT) != acked_crc(in)) return 0;
  *m = acked_mark{get_u64(in + ACKED_SEGMENT_AT),
                  get_u32(in + ACKED_OFFSET_AT),
                  get_u32(in + ACKED_FIRST_CRC_AT),
                  get_u64(in + ACKED_FIRST_TIME_AT)};
  return 1;
}

spool_record_result reader_record_at(segment_reader *r, uint32_t offset, uint32_t end, spool_record *out,
                                     int *error) {
  for (int pass = 0; pass < 2; pass++) {
    const uint32_t base = r->base, held = r->length;
    if (offset >= base && offset <= base + held) {
      out->bytes = r->buffer + (offset - base);
      spool_record_result result =
          spool_decode(out->bytes, base + held - offset, &out->length, &out->time_ms);
      if (result != SPOOL_RECORD_SHORT || base + held >= end || pass == 1) return result;
    }
    uint32_t want = std::min(SPOOL_READ_CAPACITY, end - offset);
    ssize_t got;
    do got = pread(r->fd, r->buffer, want, offset);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
      *error = errno;
      r->length = 0;
      return SPOOL_RECORD_DAMAGED;
    }
    r->base = offset;
    r->length = static_cast<uint32_t>(got);
  }
  return SPOOL_RECORD_SHORT;
}
