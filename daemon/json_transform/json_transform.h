/* Turns one gateway payload and its topic into the cloud document
 * {"d":<payload with the top-level member names prefixed by the topic path>}. */
#pragma once
#include <cstdint>

/* Room for one new member name with its terminator. */
constexpr uint32_t JSON_NAME_CAPACITY = 1024;
/* Deepest nesting of arrays and objects that a payload may have. */
constexpr uint32_t JSON_MAX_DEPTH = 250;

/* Returns the length of the whole document, or 0 when none was made (topic without a
 * second level, payload that is not one complete JSON text). The first min(result,
 * capacity) bytes are in out, unterminated; a result above capacity means it did not fit.
 * The payload is its first payload_length bytes and the topic its first topic_length
 * bytes, each ending early at a zero byte. Also result 0: trailing text after the value,
 * invalid UTF-8 or a lone surrogate escape, nesting deeper than JSON_MAX_DEPTH, a number
 * beyond the double range, a topic that is not UTF-8, a NULL payload, topic or out; out
 * may then hold scrap. Numbers are copied as written; strings are re-escaped.
 * Not reentrant: one caller thread at a time. */
uint32_t json_transform(const char *payload, uint32_t payload_length, uint32_t topic_length,
                        const char *topic, uint32_t capacity, char *out);

/* Output of the JSON writer: keeps at most capacity bytes in buffer and counts every
 * byte offered in total (saturating at UINT32_MAX). */
struct mem_sink {
  uint32_t capacity, total, length;
  char *buffer;
};

/* Keeps what fits of size bytes of data in the sink and counts them all; returns size,
 * always in full, so that the writer runs to the end of the document. A NULL sink only
 * returns size. */
uint32_t mem_sink_write(const char *data, uint32_t size, mem_sink *sink);

/* Forms "<prefix>/<name>" in the process-wide name buffer and returns it, its length in
 * new_length. When that needs more than JSON_NAME_CAPACITY - 1 bytes, reports it on
 * standard error with the NUL-terminated name and returns name itself (new_length =
 * name_length). Not reentrant. */
const char *prefix_element_name(const char *name, uint32_t name_length, uint32_t prefix_length,
                                const char *prefix, uint32_t *new_length);
