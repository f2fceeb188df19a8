/* Reading the CGI request into one process-wide text and looking its fields up. */
#include "request.h"
#include "request_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <strings.h>
#include <memory>
#include <unistd.h>

char *cgi_request = nullptr;

// clang-format off
const unsigned char field_chars[FIELD_CHARS_SIZE] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  /* 0x00 control characters */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  /* 0x10 */
    1, 1, 0, 1, 0, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1,  /* 0x20  ! " # $ % & ' ( ) * + , - . / */
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 0, 1,  /* 0x30 0-9 : ; < = > ? */
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  /* 0x40 @ A-O */
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 1,  /* 0x50 P-Z [ \ ] ^ _ */
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  /* 0x60 ` a-o */
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 0,  /* 0x70 p-z { | } ~ DEL */
};
// clang-format on

namespace {

struct free_deleter {
  void operator()(char *p) const { free(p); }
};
using owned_text = std::unique_ptr<char, free_deleter>;

char *new_empty_text() { return static_cast<char *>(calloc(1, 1)); }

/* Reads exactly size bytes from fd 0, across short reads of a pipe; false at end of input
 * or on an error first. */
bool read_exactly(char *buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    size_t chunk = size - done;
    if (chunk > (1u << 30)) chunk = 1u << 30;
    ssize_t got = read(0, buffer + done, chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

/* POST body of CONTENT_LENGTH bytes; none for a missing length, one over CGI_BODY_LIMIT or
 * a short body. */
void read_post_body() {
  const char *length_text = getenv("CONTENT_LENGTH");
  uint64_t length = 0;
  if (!length_text || !request_parse_length(length_text, &length)) return;
  if (length > CGI_BODY_LIMIT) return; // a form is small; a larger body is not taken into memory
  const size_t size = static_cast<size_t>(length);
  owned_text body(static_cast<char *>(malloc(size + 1)));
  if (!body || !read_exactly(body.get(), size)) return;
  body.get()[size] = '\0';
  request_replace(body.release());
}

bool is_multipart(const char *content_type) {
  return content_type && strstr(content_type, "multipart/form-data");
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c, unsigned base) {
  int value = -1;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'z')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'Z')
    value = c - 'A' + 10;
  return value >= 0 && static_cast<unsigned>(value) < base ? value : -1;
}

/* One number as strtoul (and scanf's %u / %x) read it into a 32-bit unsigned long: leading
 * white space, a sign, for base 16 an optional 0x, then digits; 4294967295 on overflow, a
 * minus sign negating modulo 2^32. Returns the text after the number, nullptr without
 * digits. The device's unsigned long is 32 bits wide; this keeps a 64-bit build the same. */
const char *scan_ulong32(const char *text, unsigned base, uint32_t *out) {
  const char *p = text;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2], 16) >= 0) p += 2;
  const char *digits = p;
  uint64_t value = 0;
  bool overflow = false;
  for (int d; (d = digit_value(*p, base)) >= 0; ++p) {
    value = value * base + static_cast<unsigned>(d);
    if (value > UINT32_MAX) {
      overflow = true;
      value = UINT32_MAX;
    }
  }
  if (p == digits) return nullptr;
  const uint32_t magnitude = static_cast<uint32_t>(value);
  *out = overflow ? UINT32_MAX : negative ? 0u - magnitude : magnitude;
  return p;
}

/* Keeps the bytes below 0x80 that field_chars keeps, in order; with strip_spaces no space. */
void filter_text(char *text, int strip_spaces) {
  char *write = text;
  for (const char *read = text; *read; ++read) {
    const unsigned char c = static_cast<unsigned char>(*read);
    if (c < FIELD_CHARS_SIZE && field_chars[c] && !(strip_spaces && c == ' '))
      *write++ = static_cast<char>(c);
  }
  *write = '\0';
}

} // namespace

bool request_parse_length(const char *text, uint64_t *out) {
  const char *p = text;
  while (is_space(*p)) ++p;
  if (*p == '-') return false;
  if (*p == '+') ++p;
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

void request_replace(char *text) {
  free(cgi_request);
  cgi_request = text;
}

void cgi_read_request() {
  if (cgi_request) return;
  const char *content_type = getenv("CONTENT_TYPE");
  if (is_multipart(content_type)) {
    multipart_read(content_type);
    return;
  }
  const char *method = getenv("REQUEST_METHOD");
  if (!method) return;
  if (strcmp(method, "POST") == 0) {
    read_post_body();
  } else if (strcmp(method, "GET") == 0) {
    const char *query = getenv("QUERY_STRING");
    if (query) request_replace(strdup(query));
  }
}

int cgi_read_post_request() {
  if (!cgi_request) {
    const char *method = getenv("REQUEST_METHOD");
    const char *content_type = getenv("CONTENT_TYPE");
    if (method && strcmp(method, "POST") == 0) {
      if (is_multipart(content_type))
        multipart_read(content_type);
      else
        read_post_body();
    }
  }
  return cgi_request != nullptr;
}

void cgi_free_request() {
  request_replace(nullptr);
  upload_release();
}

void cgi_release_request() { request_replace(nullptr); }

namespace {

/* Host and port of "scheme://host[:port]" (an Origin) or "host[:port]" (a Host header),
 * lower-cased; a missing port is the scheme's default. 0 when it cannot be read. */
int origin_parts(const char *text, const char *default_scheme, char *host, size_t capacity, unsigned *port) {
  const char *scheme_end = strstr(text, "://");
  const char *scheme = scheme_end ? text : default_scheme;
  const size_t scheme_length = scheme_end ? static_cast<size_t>(scheme_end - text) : strlen(scheme);
  const char *p = scheme_end ? scheme_end + 3 : text;
  const char *end = p;
  if (*p == '[') {
    end = strchr(p, ']');
    if (!end) return 0;
    ++end;
  } else {
    while (*end && *end != ':' && *end != '/') ++end;
  }
  const size_t length = static_cast<size_t>(end - p);
  if (length == 0 || length >= capacity) return 0;
  for (size_t i = 0; i < length; ++i) host[i] = static_cast<char>(tolower(static_cast<unsigned char>(p[i])));
  host[length] = '\0';
  if (*end == ':') {
    uint32_t value = 0;
    const char *after = scan_ulong32(end + 1, 10, &value);
    if (!after || (*after && *after != '/') || value == 0 || value > 65535) return 0;
    *port = value;
  } else if (scheme_length == 5 && strncasecmp(scheme, "https", 5) == 0) {
    *port = 443;
  } else {
    *port = 80;
  }
  return 1;
}

} // namespace

int cgi_cross_site() {
  const char *fetch_site = getenv("HTTP_SEC_FETCH_SITE");
  if (fetch_site && strcmp(fetch_site, "cross-site") == 0) return 1;
  const char *origin = getenv("HTTP_ORIGIN");
  if (!origin) return 0;
  const char *host = getenv("HTTP_HOST");
  char origin_host[256], request_host[256];
  unsigned origin_port = 0, request_port = 0;
  if (!host || !origin_parts(origin, "http", origin_host, sizeof origin_host, &origin_port)) return 1;
  /* The Host header has no scheme: its default port is the origin's scheme's. */
  const char *scheme_end = strstr(origin, "://");
  char scheme[8] = "http";
  if (scheme_end && static_cast<size_t>(scheme_end - origin) < sizeof scheme) {
    memcpy(scheme, origin, static_cast<size_t>(scheme_end - origin));
    scheme[scheme_end - origin] = '\0';
  }
  if (!origin_parts(host, scheme, request_host, sizeof request_host, &request_port)) return 1;
  return strcmp(origin_host, request_host) != 0 || origin_port != request_port;
}

int cgi_has_request() { return cgi_request && cgi_request[0] != '\0'; }

int cgi_find_field(const char *name, char **out, size_t *value_length) {
  *out = nullptr;
  if (value_length) *value_length = 0;
  if (cgi_request) {
    const size_t size = strlen(cgi_request) + 1;
    owned_text key(static_cast<char *>(malloc(size)));
    owned_text value(static_cast<char *>(malloc(size)));
    if (!key || !value) return 0;
    const char *p = cgi_request;
    while (*p) {
      // '&' does not end a name: a pair without '=' runs on into the next pair.
      size_t length = 0;
      for (; *p && *p != '='; ++p) key.get()[length++] = *p == '+' ? ' ' : *p;
      key.get()[length] = '\0';
      if (*p == '=') ++p;
      length = 0;
      for (; *p && *p != '&'; ++p) value.get()[length++] = *p == '+' ? ' ' : *p;
      value.get()[length] = '\0';
      if (*p == '&') ++p;
      url_decode(key.get());
      if (strcmp(key.get(), name) == 0) {
        const size_t decoded = url_decode_length(value.get());
        if (value_length) *value_length = decoded;
        *out = value.release();
        return 1;
      }
    }
  }
  *out = new_empty_text();
  return 0;
}

int cgi_get_field(const char *name, char **out) {
  cgi_find_field(name, out);
  return *out != nullptr;
}

int cgi_get_checkbox(const char *name, int *out) {
  char *value = nullptr;
  cgi_get_field(name, &value);
  *out = value && strcmp(value, "on") == 0;
  free(value);
  return 1;
}

int cgi_get_text(const char *name, char **out, int strip_spaces) {
  if (!cgi_get_field(name, out)) return 0;
  filter_text(*out, strip_spaces);
  return 1;
}

int cgi_get_mac(const char *name, char **out, int allow_empty) {
  if (!cgi_get_text(name, out, 1)) return 0;
  const char *p = *out;
  if (*p == '\0') return allow_empty;
  // Six hexadecimal groups separated by ':' and nothing after them, each at most ff.
  uint32_t any = 0;
  for (int group = 0; group < 6; ++group) {
    if (group > 0 && *p++ != ':') return 0;
    uint32_t value = 0;
    if (!(p = scan_ulong32(p, 16, &value))) return 0;
    any |= value;
  }
  return *p == '\0' && any <= 255;
}

int cgi_get_ip(const char *name, uint32_t *out, int allow_empty) {
  char *work = nullptr;
  if (!cgi_get_text(name, &work, 1)) return 0;
  owned_text owned(work);
  if (*work == '\0') {
    *out = 0;
    return allow_empty;
  }
  uint32_t part[4] = {0, 0, 0, 0};
  const char *p = work;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return 0;
    if (!(p = scan_ulong32(p, 10, &part[i]))) return 0;
  }
  if ((part[0] | part[1] | part[2] | part[3]) > 255) return 0;
  *out = part[0] << 24 | part[1] << 16 | part[2] << 8 | part[3];
  return allow_empty || *out != 0;
}

int cgi_get_uint(const char *name, uint32_t *out) {
  char *text = nullptr;
  cgi_get_text(name, &text, 1);
  uint32_t value = 0;
  if (!text || !scan_ulong32(text, 10, &value)) value = 0;
  *out = value;
  free(text);
  return 1;
}

void url_decode(char *text) { url_decode_length(text); }

size_t url_decode_length(char *text) {
  char *write = text;
  const char *read = text;
  while (*read) {
    if (read[0] == '%' && read[1] != '\0' && read[2] != '\0') {
      const int value = 16 * hex_digit_value(static_cast<unsigned char>(read[1])) +
                        hex_digit_value(static_cast<unsigned char>(read[2]));
      *write++ = static_cast<char>(static_cast<unsigned>(value) & 0xFFu);
      read += 3;
    } else {
      *write++ = *read++;
    }
  }
  *write = '\0';
  return static_cast<size_t>(write - text);
}

int hex_digit_value(unsigned char c) {
  if (c <= 0x40) return c - 0x30;
  return (c & 0xDF) - 0x37;
}

namespace {

/* Stores bytes from next_byte up to a line feed, size - 1 bytes, the end of input or the end
 * of the counter; lowers the counter per byte and terminates. */
template <typename next_byte_fn>
int read_line_with(char *buffer, int size, int32_t *remaining, next_byte_fn next_byte) {
  if (!buffer || size < 1) return 0;
  int count = 0;
  char c;
  while (*remaining > 0 && count < size - 1 && next_byte(c)) {
    --*remaining;
    buffer[count++] = c;
    if (c == '\n') break;
  }
  buffer[count] = '\0';
  return count;
}

ssize_t read_input(char *buffer, size_t size) {
  ssize_t got;
  do got = read(0, buffer, size);
  while (got < 0 && errno == EINTR);
  return got;
}

} // namespace

int cgi_read_line(char *buffer, int size, int32_t *remaining) {
  // One byte per read: nothing beyond the line is taken from fd 0.
  return read_line_with(buffer, size, remaining, [](char &c) { return read_input(&c, 1) == 1; });
}

int body_read_line(body_reader &reader, char *buffer, int size, int32_t *remaining) {
  return read_line_with(buffer, size, remaining, [&reader, remaining](char &c) {
    if (reader.start == reader.end) {
      // Called only while *remaining > 0, which counts every byte still held.
      const size_t want = std::min(reader.data.size(), static_cast<size_t>(*remaining));
      const ssize_t got = read_input(reader.data.data(), want);
      if (got <= 0) return false;
      reader.start = 0;
      reader.end = static_cast<size_t>(got);
    }
    c = reader.data[reader.start++];
    return true;
  });
}
