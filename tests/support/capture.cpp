#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
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

std::string make_temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/nimba_test_XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  return pattern;
}

void remove_tree(const std::string &path) {
  if (path.empty()) return;
  nftw(
      path.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path) {
  std::string content;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return content;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
  std::fclose(f);
  return content;
}

void write_file(const std::string &path, const std::string &content, unsigned mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) std::abort();
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    std::abort();
  close(fd);
}
