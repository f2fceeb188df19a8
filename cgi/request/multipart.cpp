/* Multipart upload: the named file's content goes line by line into the upload file, which
 * this request creates; the request string names it, followed by the form's other fields,
 * url-encoded, so that they are read like a url-encoded body's. */
#include "request.h"
#include "request_internal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char FIXED_UPLOAD_PATH[] = "/tmp/upload.bin";
constexpr unsigned UPLOAD_PATH_SIZE = 4096;

std::array<char, UPLOAD_PATH_SIZE> upload_override;
bool upload_overridden = false;
/* The upload file was created by this request (and so may be removed by it). */
bool upload_created = false;

using line_buffer = std::array<char, CGI_LINE_SIZE>;

/* Where a part's data goes: the upload file (fd), or memory for a form field; or nowhere. */
struct part_sink {
  int fd = -1;
  uint64_t written = 0;
  char *text = nullptr; /* a field's value, terminated */
  size_t length = 0;
  bool collect = false;
  bool too_long = false;
};

/* The upload file lies in a world-writable folder. It is created anew, exclusively: a file,
 * link or hard link planted under its name is never written through (the part is then
 * read and discarded, as for a file that cannot be opened). A second file part of the same
 * request replaces this request's own file. -1 when it cannot be created. */
int open_upload() {
  if (upload_created) {
    unlink(upload_path());
    upload_created = false;
  }
  const int fd = open(upload_path(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  upload_created = true;
  return fd;
}

/* Drops an upload that went over CGI_UPLOAD_LIMIT: the rest of the part is discarded. */
void drop_upload(part_sink &sink) {
  close(sink.fd);
  sink.fd = -1;
  unlink(upload_path());
  upload_created = false;
}

/* Writes all bytes to the sink; a failing write drops the rest of the part silently. */
void write_upload(part_sink &sink, const char *data, size_t size) {
  if (sink.collect) {
    if (sink.too_long || size > CGI_BODY_LIMIT - sink.length) {
      sink.too_long = true;
      return;
    }
    char *grown = static_cast<char *>(realloc(sink.text, sink.length + size + 1));
    if (!grown) {
      sink.too_long = true;
      return;
    }
    sink.text = grown;
    memcpy(sink.text + sink.length, data, size);
    sink.length += size;
    sink.text[sink.length] = '\0';
    return;
  }
  if (sink.fd >= 0 && size > CGI_UPLOAD_LIMIT - sink.written) {
    drop_upload(sink);
    return;
  }
  while (sink.fd >= 0 && size > 0) {
    const ssize_t done = write(sink.fd, data, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      close(sink.fd);
      sink.fd = -1;
      return;
    }
    data += done;
    size -= static_cast<size_t>(done);
    sink.written += static_cast<uint64_t>(done);
  }
}

/* Appends "&name=value" (url-encoded) to text; false when memory runs out. */
bool append_field(char **text, const char *name, size_t name_length, const char *value, size_t value_length) {
  const size_t old_length = *text ? strlen(*text) : 0;
  const size_t size = old_length + 1 + 3 * (name_length + value_length) + 2;
  char *grown = static_cast<char *>(realloc(*text, size));
  if (!grown) return false;
  *text = grown;
  char *out = grown + old_length;
  if (old_length > 0) *out++ = '&';
  const auto encode = [&out](const char *from, size_t length) {
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
      const unsigned char c = static_cast<unsigned char>(from[i]);
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_' || c == '.') {
        *out++ = static_cast<char>(c);
      } else {
        *out++ = '%';
        *out++ = hex[c >> 4];
        *out++ = hex[c & 15];
      }
    }
  };
  encode(name, name_length);
  *out++ = '=';
  encode(value, value_length);
  *out = '\0';
  return true;
}

/* Names the upload in the request string; false when memory runs out. */
bool name_upload(const char *file_name, size_t length) {
  const char *path = upload_path();
  const size_t size = strlen(path) + length + 64;
  char *text = static_cast<char *>(malloc(size));
  if (!text) return false;
  const int written =
      snprintf(text, size, "filename=%s&name=%.*s", path, static_cast<int>(length), file_name);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    free(text);
    return false;
  }
  request_replace(text);
  return true;
}

/* Copies a part's data with a one-line delay, so that the CR LF in front of the delimiter
 * line is not written. A line that fills the buffer up to a CR keeps that CR back until the
 * next piece shows whether it is the CR of that CR LF. */
void copy_part(part_sink &fd, const char *boundary, body_reader &reader, int32_t *remaining,
               line_buffer &line, line_buffer &held) {
  size_t held_size = 0;
  bool pending_cr = false;
  for (;;) {
    const int n = body_read_line(reader, line.data(), CGI_LINE_SIZE, remaining);
    if (n == 0) {
      if (pending_cr) write_upload(fd, "\r", 1);
      return;
    }
    if (strstr(line.data(), boundary)) {
      const bool split_line_end = held_size == 1 && held[0] == '\n';
      if (pending_cr && !split_line_end) write_upload(fd, "\r", 1);
      if (held_size > 2) write_upload(fd, held.data(), held_size - 2);
      return;
    }
    if (held_size > 0) {
      if (pending_cr) write_upload(fd, "\r", 1);
      pending_cr = held[held_size - 1] == '\r';
      write_upload(fd, held.data(), held_size - (pending_cr ? 1 : 0));
    }
    memcpy(held.data(), line.data(), static_cast<size_t>(n));
    held_size = static_cast<size_t>(n);
  }
}

} // namespace

const char *upload_path() { return upload_overridden ? upload_override.data() : FIXED_UPLOAD_PATH; }

void upload_path_set(const char *path) {
  upload_overridden = path != nullptr;
  if (!path) return;
  // A path that does not fit becomes an empty one, which no open or unlink accepts: a test
  // never falls back to the fixed path.
  const int written = snprintf(upload_override.data(), upload_override.size(), "%s", path);
  if (written < 0 || static_cast<size_t>(written) >= upload_override.size()) upload_override[0] = '\0';
}

void upload_release() {
  if (upload_created) unlink(upload_path());
  upload_created = false;
}

void multipart_read(const char *content_type) {
  const char *length_text = getenv("CONTENT_LENGTH");
  if (!length_text) return;
  // A length of 2^31 or more (or none that can be read) reads nothing.
  uint64_t length = 0;
  int32_t remaining =
      request_parse_length(length_text, &length) && length <= INT32_MAX ? static_cast<int32_t>(length) : -1;
  const char *mark = strstr(content_type, "boundary=");
  if (!mark) return;
  const char *boundary = mark + strlen("boundary=");

  body_reader reader;
  line_buffer line, held;
  char *fields = nullptr;                                         /* the form's other fields, url-encoded */
  body_read_line(reader, line.data(), CGI_LINE_SIZE, &remaining); // opening delimiter, not examined
  while (body_read_line(reader, line.data(), CGI_LINE_SIZE, &remaining) > 0) {
    // Only the part's first header line is searched for a file name or a field name.
    part_sink sink;
    char field_name[CGI_LINE_SIZE] = "";
    const char *name = strstr(line.data(), "filename=\"");
    if (name) {
      name += strlen("filename=\"");
      const size_t name_length = strcspn(name, "\"");
      if (name_length > 0 && name_upload(name, name_length)) sink.fd = open_upload();
    } else if ((name = strstr(line.data(), "name=\"")) != nullptr) {
      name += strlen("name=\"");
      const size_t name_length = strcspn(name, "\"");
      memcpy(field_name, name, name_length);
      field_name[name_length] = '\0';
      sink.collect = name_length > 0;
    }
    for (;;) {
      const int n = body_read_line(reader, line.data(), CGI_LINE_SIZE, &remaining);
      if (n == 0 || (line[0] == '\r' && line[1] == '\n')) break;
    }
    copy_part(sink, boundary, reader, &remaining, line, held);
    if (sink.fd >= 0) close(sink.fd);
    if (sink.collect && !sink.too_long &&
        !append_field(&fields, field_name, strlen(field_name), sink.text ? sink.text : "", sink.length)) {
      free(sink.text);
      free(fields);
      return;
    }
    free(sink.text);
  }
  if (fields) {
    // After the upload's name, if any: "filename=...&name=...&FIELD=value...".
    const size_t size = (cgi_request ? strlen(cgi_request) + 1 : 0) + strlen(fields) + 1;
    char *text = static_cast<char *>(malloc(size));
    if (text) {
      snprintf(text, size, "%s%s%s", cgi_request ? cgi_request : "", cgi_request ? "&" : "", fields);
      request_replace(text);
    }
    free(fields);
  }
}
