/* Bounded HTML-escaping text builder. */
#include "html.h"
#include <cstring>

uint32_t html_buf_append(html_buf *b, const char *s, uint32_t n) {
  if (!b || !b->buffer) return n;
  /* One byte stays reserved for the terminator; a length at or past it leaves no room. */
  const uint32_t room = b->capacity > 0 && b->length < b->capacity - 1 ? b->capacity - 1 - b->length : 0;
  const uint32_t k = n < room ? n : room;
  if (k > 0 && s) {
    memcpy(b->buffer + b->length, s, k);
    b->length += k;
  }
  b->total += n;
  return n;
}

/* Entity of a byte that must not stand as itself in HTML text or attributes. */
static const char *entity_of(unsigned char c, uint32_t *size) {
  switch (c) {
    case '"':
      *size = 6;
      return "&quot;";
    case '&':
      *size = 5;
      return "&amp;";
    case '<':
      *size = 4;
      return "&lt;";
    case '>':
      *size = 4;
      return "&gt;";
    default:
      return nullptr;
  }
}

char *html_buf_escape(html_buf *b, const char *text) {
  /* Without room for the terminator the storage cannot hold even the empty text. */
  if (!b || !b->buffer || b->capacity == 0) return nullptr;
  if (text) {
    for (const char *p = text; *p; ++p) {
      uint32_t size = 1;
      const char *entity = entity_of(static_cast<unsigned char>(*p), &size);
      html_buf_append(b, entity ? entity : p, size);
    }
  }
  /* A length beyond the storage (set by a caller) is brought back inside it. */
  if (b->length > b->capacity - 1) b->length = b->capacity - 1;
  b->buffer[b->length] = '\0';
  return b->buffer;
}
