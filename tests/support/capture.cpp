#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void capture_begin(fd_capture *capture, int fd) {
  std::fflush(stdout);
  std::fflush(stderr);
  char path[] = "/tmp/nimba_capture_XXXXXX";
  capture->file = mkstemp(path);
  unlink(path);
  capture->fd = fd;
  capture->saved = dup(fd);
  dup2(capture->file, fd);
}

std::string capture_end(fd_capture *capture) {
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(capture->saved, capture->fd);
  close(capture->saved);
  std::string content;
  char chunk[4096];
  lseek(capture->file, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(capture->file, chunk, sizeof chunk)) > 0) content.append(chunk, size_t(n));
  close(capture->file);
  *capture = fd_capture{};
  return content;
}
