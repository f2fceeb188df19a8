/* libFuzzer target for the spool's segment reader. The input, after its first byte, is cut
 * in two segment files (the first byte says where) as a crash or a faulty flash may leave
 * them; the spool opened over them must return exactly the whole records in front of the
 * first damage of each file, in order, and warn once per damaged file with the bytes it
 * skipped. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/spool/spool.h"
#include "settings/log.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

std::vector<std::string> warnings;

void collect(int priority, const char *format, va_list args) {
  char text[256];
  vsnprintf(text, sizeof text, format, args);
  if (priority == 4) warnings.push_back(text);
}

std::string make_folder() {
  const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/nimba_spool_fuzz_XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr);
  return pattern;
}

struct expected_record {
  std::string doc;
  int64_t time_ms;
};

/* The records of one file as the format defines them, and the bytes after the last. */
uint32_t parse(const uint8_t *data, uint32_t size, std::vector<expected_record> *records) {
  uint32_t at = 0, length;
  int64_t time_ms;
  while (at < size && spool_decode(data + at, size - at, &length, &time_ms) == SPOOL_RECORD_WHOLE) {
    records->push_back(
        {std::string(reinterpret_cast<const char *>(data) + at + SPOOL_RECORD_HEAD, length), time_ms});
    at += SPOOL_RECORD_HEAD + length;
  }
  return size - at;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 1 << 20) return 0;
  static const std::string folder = make_folder();
  log_set_sink(collect);
  log_set_echo(LOG_ECHO_NONE);
  warnings.clear();

  uint32_t total = static_cast<uint32_t>(size - 1);
  uint32_t cut = static_cast<uint32_t>(uint64_t(data[0]) * total / 255);
  const uint8_t *parts[2] = {data + 1, data + 1 + cut};
  uint32_t sizes[2] = {cut, total - cut};
  const char *names[2] = {"0000000100000000.seg", "0000000100000001.seg"};
  std::vector<expected_record> expected;
  std::vector<std::string> expected_warnings;
  for (int i = 0; i < 2; i++) {
    std::string path = folder + "/" + names[i];
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(fd >= 0 && write(fd, parts[i], sizes[i]) == static_cast<ssize_t>(sizes[i]));
    close(fd);
    if (uint32_t skipped = parse(parts[i], sizes[i], &expected)) {
      char text[256];
      snprintf(
          text, sizeof text, "Skipped a damaged tail of %u bytes in spool segment '%s'.", skipped, names[i]);
      expected_warnings.push_back(text);
    }
  }

  spool *s = static_cast<spool *>(calloc(1, sizeof(spool)));
  check(spool_open(s, folder.c_str(), 8 << 20) == 1);
  char out[SPOOL_DOCUMENT_MAX];
  uint32_t length;
  int64_t time_ms;
  spool_position end;
  size_t n = 0;
  while (spool_next(s, out, sizeof out, &length, &time_ms, &end)) {
    check(n < expected.size());
    check(expected[n].doc == std::string(out, length) && expected[n].time_ms == time_ms);
    n++;
  }
  check(n == expected.size() && !spool_waiting(s));
  check(warnings == expected_warnings);
  spool_close(s, nullptr, 0);
  free(s);
  for (const char *name : names) unlink((folder + "/" + name).c_str());
  return 0;
}
