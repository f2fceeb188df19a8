/* LD_PRELOAD library: fdatasync and fsync wait NIMBA_SLOW_SYNC_MS milliseconds (from the
 * environment, 0 when unset) before doing their work, as on a slow flash. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>

static void slow_down(void) {
  const char *text = getenv("NIMBA_SLOW_SYNC_MS");
  long ms = text ? strtol(text, NULL, 10) : 0;
  if (ms <= 0) return;
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int fdatasync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  slow_down();
  return real(fd);
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  slow_down();
  return real(fd);
}
