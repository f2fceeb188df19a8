/* Pieces shared by the request input's own files; not part of its interface. */
#pragma once
#include <cstddef>
#include <cstdint>

/* CONTENT_LENGTH as an unsigned decimal number (leading digits, 0 without any). false when
 * the text carries a minus sign or the number does not fit in 64 bits. */
bool request_parse_length(const char *text, uint64_t *out);

/* Replaces the request string by text (taken over; nullptr leaves none). */
void request_replace(char *text);

/* Reads a multipart upload whose CONTENT_TYPE is content_type. */
void multipart_read(const char *content_type);
