/* File output helpers. */
#include "io.h"

#include <unistd.h>

#include <cerrno>

int write_all(int fd, const void *data, size_t size) {
  const char *next = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = write(fd, next, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    next += n;
    size -= static_cast<size_t>(n);
  }
  return 1;
}
