/* Figures of the spool on flash: how much longer opening takes with a full spool than with
 * an empty one (and until the first document is back, and until the background count of
 * the earlier run is done), with the segments' pages dropped from the page cache before
 * each round; bytes written per document while spooling; the spool's memory.
 *   nimba_spool_bench [FOLDER [LIMIT_KB [DOCUMENT_BYTES [ROUNDS]]]]
 * FOLDER (default a new folder under /var/tmp) must not exist or be empty; it is removed. */
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "daemon/spool/spool.h"
#include "settings/log.h"

namespace {

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

std::vector<std::string> names_in(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (dirent *e = readdir(dir))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(dir);
  }
  return names;
}

uint64_t folder_bytes(const std::string &folder) {
  uint64_t total = 0;
  struct stat st;
  for (const std::string &n : names_in(folder))
    if (stat((folder + "/" + n).c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_size);
  return total;
}

/* Drops the folder's files from the page cache, so that opening reads from the disk. */
void drop_cache(const std::string &folder) {
  for (const std::string &n : names_in(folder)) {
    int fd = open((folder + "/" + n).c_str(), O_RDONLY);
    if (fd < 0) continue;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

spool *new_spool() { return static_cast<spool *>(calloc(1, sizeof(spool))); }

struct round_figures {
  double open_ms, first_ms, counted_ms;
};

/* Opens the folder as a spool: time to open, to the first document, to the full count. */
round_figures measure(const std::string &folder, uint64_t limit) {
  drop_cache(folder);
  spool *s = new_spool();
  round_figures f = {0, -1, -1};
  double start = now_ms();
  spool_open(s, folder.c_str(), limit);
  f.open_ms = now_ms() - start;
  char out[SPOOL_DOCUMENT_MAX];
  uint32_t length;
  int64_t time_ms;
  spool_position end;
  if (spool_next(s, out, sizeof out, &length, &time_ms, &end)) f.first_ms = now_ms() - start;
  while (spool_stats(s).counting && now_ms() - start < 60000) usleep(200);
  if (!spool_stats(s).counting && f.first_ms >= 0) f.counted_ms = now_ms() - start;
  spool_close(s, nullptr, 0);
  free(s);
  return f;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  std::string folder = argc > 1 ? argv[1] : "";
  uint64_t limit = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8192) * 1024;
  uint32_t size = argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 200;
  int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  if (size < 1 || size > SPOOL_DOCUMENT_MAX || rounds < 1 || limit == 0) {
    fprintf(stderr, "usage: %s [FOLDER [LIMIT_KB [DOCUMENT_BYTES [ROUNDS]]]]\n", argv[0]);
    return 2;
  }
  if (folder.empty()) {
    char pattern[] = "/var/tmp/nimba_spool_bench_XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    folder = pattern;
  }
  if (!names_in(folder).empty()) {
    fprintf(stderr, "%s: %s is not empty\n", argv[0], folder.c_str());
    return 2;
  }
  log_set_echo(LOG_ECHO_STDERR);
  std::string empty = folder + "/empty", full = folder + "/full";

  /* Fill the spool to its limit as the relay would while the cloud is away. */
  spool *s = new_spool();
  if (!spool_open(s, full.c_str(), limit)) return 1;
  std::string doc(size, 'x');
  uint32_t documents = 0;
  double clock = 0;
  while (spool_stats(s).bytes + SPOOL_RECORD_HEAD + size <= limit) {
    while (!spool_append(s, doc.data(), size, 1767225600000 + documents)) {
      usleep(1000);
      spool_tick(s, static_cast<long long>(clock += 1000));
    }
    documents++;
  }
  spool_close(s, nullptr, 0);
  free(s);
  uint64_t bytes = folder_bytes(full);
  mkdir(empty.c_str(), 0700);

  std::vector<double> open_empty, open_full, first_empty, first_full, counted_full;
  for (int r = 0; r < rounds; r++) {
    round_figures e = measure(empty, limit), f = measure(full, limit);
    open_empty.push_back(e.open_ms);
    open_full.push_back(f.open_ms);
    first_full.push_back(f.first_ms);
    counted_full.push_back(f.counted_ms);
  }
  printf(
      "spool of %llu bytes in %zu files: %u documents of %u bytes; %d rounds, median, page cache dropped\n",
      static_cast<unsigned long long>(bytes),
      names_in(full).size(),
      documents,
      size,
      rounds);
  printf("  open, empty spool          %8.2f ms\n", median(open_empty));
  printf("  open, full spool           %8.2f ms  (%.2f ms more)\n",
         median(open_full),
         median(open_full) - median(open_empty));
  printf("  first document, full spool %8.2f ms after the start of open\n", median(first_full));
  printf("  counted in the background  %8.2f ms after the start of open\n", median(counted_full));
  printf("  bytes written per document %8.2f (document %u + %.2f)\n",
         double(bytes) / documents,
         size,
         double(bytes) / documents - size);
  printf("  memory of the spool        %8zu bytes (fixed; pages touched only when used)\n", sizeof(spool));

  for (const std::string &f : {empty, full}) {
    for (const std::string &n : names_in(f)) unlink((f + "/" + n).c_str());
    rmdir(f.c_str());
  }
  if (argc <= 1) rmdir(folder.c_str());
  return 0;
}
