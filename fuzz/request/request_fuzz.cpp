/* Fuzz target for the request input: a GET query string or a POST body read through
 * cgi_read_request, then every field reader on names taken from the input.
 *
 * Input: byte 0 selects the request (bit 0: POST instead of GET; bit 1: a POST whose
 * CONTENT_LENGTH is one more than the body, so the body is short); the rest is the query
 * string (up to its first NUL) or the body. */
#include "request.h"
#include "../fuzz_env.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::unique_ptr<char[]> query_entry, length_entry;

void read_every_field(const char *name) {
  char *text = nullptr;
  cgi_find_field(name, &text);
  free(text);
  int checkbox = 0;
  cgi_get_checkbox(name, &checkbox);
  for (int flag = 0; flag < 2; ++flag) {
    text = nullptr;
    cgi_get_text(name, &text, flag);
    free(text);
    text = nullptr;
    cgi_get_mac(name, &text, flag);
    free(text);
    uint32_t address = 0;
    cgi_get_ip(name, &address, flag);
  }
  uint32_t number = 0;
  cgi_get_uint(name, &number);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The upload file goes into a private folder: cgi_free_request removes it.
  static char folder[] = "/tmp/nimba_fuzz_request_XXXXXX";
  if (!mkdtemp(folder)) abort();
  upload_path_set((std::string(folder) + "/upload.bin").c_str());
  atexit([] {
    unlink(upload_path());
    rmdir(folder);
  });
  // The body is read through fd 0: point it at an in-memory file.
  const int body = memfd_create("nimba_fuzz_body", 0);
  if (body < 0 || dup2(body, 0) != 0) abort();
  close(body);
  unsetenv("CONTENT_TYPE");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const char *rest = reinterpret_cast<const char *>(data + 1);
  const size_t rest_size = size - 1;

  unsetenv("QUERY_STRING");
  if (mode & 1) {
    setenv("REQUEST_METHOD", "POST", 1);
    put_variable(length_entry, "CONTENT_LENGTH", std::to_string(rest_size + ((mode & 2) ? 1 : 0)));
    if (ftruncate(0, 0) != 0 || pwrite(0, rest, rest_size, 0) != static_cast<ssize_t>(rest_size) ||
        lseek(0, 0, SEEK_SET) != 0)
      abort();
  } else {
    setenv("REQUEST_METHOD", "GET", 1);
    put_variable(query_entry, "QUERY_STRING", std::string(rest, strnlen(rest, rest_size)));
  }

  cgi_read_request();
  cgi_has_request();
  // Names: fixed ones and the first pair's raw and decoded name.
  std::string first(rest, strnlen(rest, rest_size));
  first = first.substr(0, first.find('='));
  std::string decoded = first;
  url_decode(&decoded[0]);
  for (const char *name : {"a", "", "x&y", first.c_str(), decoded.c_str()}) read_every_field(name);

  // Decoding an exactly sized copy of the input: a read past the NUL shows under ASan.
  char *copy = static_cast<char *>(malloc(rest_size + 1));
  memcpy(copy, rest, rest_size);
  copy[rest_size] = '\0';
  url_decode(copy);
  if (strlen(copy) > rest_size) abort();
  free(copy);

  cgi_free_request();
  return 0;
}
