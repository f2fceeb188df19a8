/* Fuzz target for the multipart upload reader.
 *
 * Input: a first line (up to the first line feed) appended to "multipart/form-data; " as
 * CONTENT_TYPE (it normally carries "boundary=..."); the rest is the body on fd 0, with
 * CONTENT_LENGTH its size. Checks that the upload file holds one contiguous piece of the
 * body and that the request string names it. */
#include "request.h"
#include "../fuzz_env.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::unique_ptr<char[]> type_entry, length_entry;

std::string upload_file;

std::string read_upload() {
  std::string content;
  const int fd = open(upload_file.c_str(), O_RDONLY);
  if (fd < 0) return content;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
  close(fd);
  return content;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static char folder[] = "/tmp/nimba_fuzz_multipart_XXXXXX";
  if (!mkdtemp(folder)) abort();
  upload_file = std::string(folder) + "/upload.bin";
  upload_path_set(upload_file.c_str());
  atexit([] {
    unlink(upload_file.c_str());
    rmdir(folder);
  });
  const int body = memfd_create("nimba_fuzz_body", 0);
  if (body < 0 || dup2(body, 0) != 0) abort();
  close(body);
  setenv("REQUEST_METHOD", "POST", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  const char *line_end = static_cast<const char *>(memchr(text, '\n', size));
  if (!line_end) return 0;
  const std::string type_rest(text, strnlen(text, static_cast<size_t>(line_end - text)));
  const char *body = line_end + 1;
  const size_t body_size = size - static_cast<size_t>(body - text);

  put_variable(type_entry, "CONTENT_TYPE", "multipart/form-data; " + type_rest);
  put_variable(length_entry, "CONTENT_LENGTH", std::to_string(body_size));
  if (ftruncate(0, 0) != 0 || pwrite(0, body, body_size, 0) != static_cast<ssize_t>(body_size) ||
      lseek(0, 0, SEEK_SET) != 0)
    abort();
  unlink(upload_file.c_str());

  cgi_read_request();
  const std::string prefix = "filename=" + upload_file + "&name=";
  const bool named = cgi_request && strncmp(cgi_request, prefix.c_str(), prefix.size()) == 0;
  if (named) {
    const std::string stored = read_upload();
    if (stored.size() > CGI_UPLOAD_LIMIT) abort(); // an upload beyond the bound was kept
    if (!stored.empty() && !memmem(body, body_size, stored.data(), stored.size())) abort();
  } else if (access(upload_file.c_str(), F_OK) == 0) {
    abort(); // a file was written without being named
  }
  if (cgi_request) {
    // The form's other fields follow as url-encoded pairs: nothing but those characters.
    for (const char *p = cgi_request + (named ? prefix.size() : 0); *p && !named; ++p)
      if (!isalnum(static_cast<unsigned char>(*p)) && !strchr("-_.%=&", *p)) abort();
    char *name = nullptr;
    cgi_get_field("name", &name);
    free(name);
  }
  cgi_free_request();
  if (access(upload_file.c_str(), F_OK) == 0) abort(); // the request's own upload stayed behind
  return 0;
}
