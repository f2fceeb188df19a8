/* Pieces shared by the request input's own files; not part of its interface. */
#pragma once
#include "request.h"

#include <array>
#include <cstddef>
#include <cstdint>

/* CONTENT_LENGTH as an unsigned decimal number (leading digits, 0 without any). false when
 * the text carries a minus sign or the number does not fit in 64 bits. */
bool request_parse_length(const char *text, uint64_t *out);

/* Replaces the request string by text (taken over; nullptr leaves none). */
void request_replace(char *text);

/* Reads a multipart upload whose CONTENT_TYPE is content_type. */
void multipart_read(const char *content_type);

/* Removes the upload file if this request created it. */
void upload_release();

/* Body bytes read ahead from fd 0 in blocks, so that an upload is not read one system call
 * per byte. Every byte held here is still counted in the caller's remaining-length counter,
 * so nothing past the body is taken. */
struct body_reader {
  std::array<char, CGI_LINE_SIZE> data;
  size_t start = 0, end = 0;
};

/* The lines of cgi_read_line, taken through reader. */
int body_read_line(body_reader &reader, char *buffer, int size, int32_t *remaining);
