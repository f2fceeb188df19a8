/* Heap allocation counter, loaded into a program with LD_PRELOAD: counts the calls of
 * malloc, calloc and realloc (relaying them to the C library's own), and on SIGUSR2 appends
 * the counts so far as one line "malloc=N calloc=N realloc=N" to the file named by
 * NIMBA_ALLOC_COUNT_FILE. The benchmark reads the counts before and after a run. */
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
}

namespace {

std::atomic<unsigned long long> mallocs{0}, callocs{0}, reallocs{0};
int report_fd = -1;

void report(int) {
  char line[128];
  int n = std::snprintf(line,
                        sizeof line,
                        "malloc=%llu calloc=%llu realloc=%llu\n",
                        mallocs.load(),
                        callocs.load(),
                        reallocs.load());
  if (report_fd >= 0 && n > 0) {
    ssize_t ignored = write(report_fd, line, static_cast<size_t>(n));
    (void)ignored;
  }
}

__attribute__((constructor)) void start_counting() {
  const char *path = std::getenv("NIMBA_ALLOC_COUNT_FILE");
  if (path == nullptr) return;
  report_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  struct sigaction action = {};
  action.sa_handler = report;
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR2, &action, nullptr);
}

} // namespace

extern "C" void *malloc(size_t size) {
  mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
  callocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, size_t size) {
  reallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(pointer, size);
}
