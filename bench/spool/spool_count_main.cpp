/* What a spool folder holds, read without opening it as a spool: its segment files, the
 * whole records in them, the bytes of their documents, and the bytes of every file.
 *   nimba_spool_count FOLDER
 * Prints one line of key=value figures: segments, records (whole, CRC checked), document
 * bytes (the records' documents alone), record bytes (documents and record heads), file
 * bytes (every file in the folder), tails (bytes after the last whole record of a
 * segment: a torn, damaged or still growing end). */
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "daemon/spool/spool.h"

namespace {

constexpr uint32_t BUFFER_CAPACITY = 1 << 20;

struct folder_figures {
  uint64_t segments, records, document_bytes, record_bytes, file_bytes, tail_bytes;
};

bool is_segment(const char *name) {
  const size_t n = std::strlen(name);
  return n > 4 && std::strcmp(name + n - 4, ".seg") == 0;
}

/* Adds the whole records of one segment file to f, up to the first damaged or short one;
 * returns their bytes. */
uint64_t count_segment(int fd, uint8_t *buffer, folder_figures *f) {
  uint32_t have = 0;
  uint64_t whole = 0;
  f->segments++;
  for (;;) {
    const ssize_t got = read(fd, buffer + have, BUFFER_CAPACITY - have);
    if (got > 0) have += static_cast<uint32_t>(got);
    uint32_t at = 0;
    spool_record_result r = SPOOL_RECORD_SHORT;
    for (;;) {
      uint32_t length = 0;
      int64_t time_ms = 0;
      r = spool_decode(buffer + at, have - at, &length, &time_ms);
      if (r != SPOOL_RECORD_WHOLE) break;
      f->records++;
      f->document_bytes += length;
      f->record_bytes += SPOOL_RECORD_HEAD + length;
      at += SPOOL_RECORD_HEAD + length;
    }
    whole += at;
    if (r == SPOOL_RECORD_DAMAGED || got <= 0) return whole;
    std::memmove(buffer, buffer + at, have - at);
    have -= at;
  }
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: nimba_spool_count FOLDER\n");
    return 2;
  }
  DIR *dir = opendir(argv[1]);
  if (dir == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  static uint8_t buffer[BUFFER_CAPACITY];
  folder_figures f{};
  while (dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char path[4096];
    const int n = std::snprintf(path, sizeof path, "%s/%s", argv[1], e->d_name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) continue;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      f.file_bytes += static_cast<uint64_t>(st.st_size);
      if (is_segment(e->d_name))
        f.tail_bytes += static_cast<uint64_t>(st.st_size) - count_segment(fd, buffer, &f);
    }
    close(fd);
  }
  closedir(dir);
  std::printf(
      "segments=%llu records=%llu document_bytes=%llu record_bytes=%llu file_bytes=%llu tail_bytes=%llu\n",
      static_cast<unsigned long long>(f.segments),
      static_cast<unsigned long long>(f.records),
      static_cast<unsigned long long>(f.document_bytes),
      static_cast<unsigned long long>(f.record_bytes),
      static_cast<unsigned long long>(f.file_bytes),
      static_cast<unsigned long long>(f.tail_bytes));
  return 0;
}
