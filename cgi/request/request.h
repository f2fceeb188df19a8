/* CGI request input (GET query, POST body, multipart upload), its field readers, and the
 * runner that starts another program with its standard descriptors on /dev/null. */
#pragma once
#include <cstddef>
#include <cstdint>

/* Line buffers of the multipart reader: 4095 bytes and a NUL. */
constexpr unsigned CGI_LINE_SIZE = 4096;
/* Largest upload file; beyond it the part is discarded and the file removed. */
constexpr uint64_t CGI_UPLOAD_LIMIT = 1024 * 1024;
/* Largest url-encoded POST body read: a form is small; a larger one leaves no request. */
constexpr uint64_t CGI_BODY_LIMIT = 65536;
/* Entries of field_chars, indexed by a 7-bit character code. */
constexpr unsigned FIELD_CHARS_SIZE = 128;

/* The request string of this process, or nullptr: the query string of a GET, the body of a
 * POST, or after a multipart POST "filename=<upload path>&name=<file name>" when it held a
 * file, then the other fields url-encoded. Owned by this
 * module; callers only read it. */
extern char *cgi_request;

/* 1 for each character that cgi_get_text keeps (82 printable ASCII characters). */
extern const unsigned char field_chars[FIELD_CHARS_SIZE];

/* Reads the request once from the CGI environment and standard input (fd 0); does nothing
 * while a request string is set. A missing or unknown method, a GET without QUERY_STRING,
 * a POST without CONTENT_LENGTH, a short body or a length that cannot be held leave none. */
void cgi_read_request();

/* Reads only a POST body (REQUEST_METHOD exactly "POST"), url-encoded or multipart, as
 * cgi_read_request reads one; any other request leaves none and reads nothing. Does nothing
 * while a request string is set. Returns 1 when one is set afterwards, else 0. */
int cgi_read_post_request();

/* Releases the request string and removes the upload file if this request created it (a
 * file of another request is never removed). */
void cgi_free_request();

/* Releases the request string and leaves the upload file alone. */
void cgi_release_request();

/* 1 when the browser marks the request as sent by another site's page: Sec-Fetch-Site
 * "cross-site", or an Origin whose host or port differs from the Host header's (a missing
 * port is the origin scheme's default; an Origin that cannot be read, "null" included,
 * differs). 0 without these headers (older browsers, tools) and for same-site requests. */
int cgi_cross_site();

/* 1 if a request string is set and not empty, else 0. */
int cgi_has_request();

/* Looks up the first pair whose decoded name is name. out becomes a new text (caller
 * frees): the decoded value, or "" when missing. Returns 1 when the field is present
 * (an empty value counts), 0 when missing; 0 with out = nullptr when memory runs out.
 * *length, when given, is the decoded value's byte count: more than strlen when "%00" put
 * a NUL byte into it. */
int cgi_find_field(const char *name, char **out, size_t *length = nullptr);

/* As cgi_find_field, but a missing field is the empty text. Returns 1; 0 with
 * out = nullptr only when memory runs out. */
int cgi_get_field(const char *name, char **out);

/* out = 1 when the value is exactly "on", else 0 (missing included). Returns 1. */
int cgi_get_checkbox(const char *name, int *out);

/* The value with every byte removed that field_chars does not keep (and every byte of 0x80
 * or more); with strip_spaces also every space. out is the caller's (nullptr only when
 * memory runs out, then 0 is returned). Returns 1. */
int cgi_get_text(const char *name, char **out, int strip_spaces);

/* Filtered value without spaces into out (the caller's in every case). Returns 1 for six
 * hexadecimal groups of at most ff separated by ':' and nothing after them; an empty value
 * returns allow_empty; anything else 0. */
int cgi_get_mac(const char *name, char **out, int allow_empty);

/* Dotted IPv4 address into out, the first number as the most significant byte; text after
 * the fourth number is ignored. Returns 1 if valid. An empty value sets out to 0 and returns
 * allow_empty; an invalid one returns 0 and leaves out; 0.0.0.0 returns allow_empty. */
int cgi_get_ip(const char *name, uint32_t *out, int allow_empty);

/* Leading decimal number of the filtered value, as a 32-bit strtoul gives it: 0 for an empty
 * or non-numeric text, 4294967295 on overflow, a minus sign negates modulo 2^32. Returns 1. */
int cgi_get_uint(const char *name, uint32_t *out);

/* Decodes "%hh" in place; '+' is not touched here. A '%' with fewer than two characters
 * before the end stays as it is, with the rest of the text. */
void url_decode(char *text);

/* url_decode that returns the decoded length, NUL bytes from "%00" included. */
size_t url_decode_length(char *text);

/* Value of a hexadecimal digit: '0'..'9' give 0..9, 'A'..'F' and 'a'..'f' 10..15; other
 * characters give what the same arithmetic gives. */
int hex_digit_value(unsigned char c);

/* Reads one line from fd 0 into buffer (size >= 2): stops after a line feed, at size - 1
 * bytes, at end of input, or when *remaining reaches 0; lowers *remaining by every byte
 * read. Always terminates; returns the number of bytes stored. */
int cgi_read_line(char *buffer, int size, int32_t *remaining);

/* Path of the upload file, "/tmp/upload.bin" unless a test has set another. */
const char *upload_path();

/* Points the upload file elsewhere (tests); nullptr restores the fixed path. Copied; a path
 * of 4096 bytes or more leaves an empty, unusable path rather than the fixed one. */
void upload_path_set(const char *path);

/* Starts path (searched in PATH when it has no '/') with argv path, arg1, arg2 (the vector
 * ends at the first nullptr) and descriptors 0 to 2 on /dev/null; no other descriptor is
 * inherited. Returns 1 if no child could be created, 0 when not waiting, else the child's
 * wait status (a program that cannot run exits with 1); -1 when waiting fails. */
int run_program(const char *path, const char *arg1, const char *arg2, int wait);
