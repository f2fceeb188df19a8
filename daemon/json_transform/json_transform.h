/* Turns one gateway payload and its topic into the cloud document
 * {"d":<payload with the top-level member names prefixed by the topic path>}. */
#pragma once
#include <cstdint>

/* Returns the length of the whole document, or 0 when none was made (topic without a
 * second level, payload that is not one complete JSON text). The first min(result,
 * capacity) bytes are in out, unterminated; a result above capacity means it did not fit.
 * Not reentrant: one caller thread at a time. */
uint32_t json_transform(const char *payload, uint32_t payload_length, uint32_t topic_length,
                        const char *topic, uint32_t capacity, char *out);
