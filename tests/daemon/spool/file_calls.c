/* The C library's file calls, reported to an observer (file_calls.h). Built without 64-bit
 * offset redirection, so that both forms (pwrite and pwrite64, ...) can be defined here
 * whichever one the code under test was compiled to call. */
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include "file_calls.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

static void (*observer)(const struct file_call *call);

void file_calls_observe(void (*callback)(const struct file_call *call)) {
  __atomic_store_n(&observer, callback, __ATOMIC_SEQ_CST);
}

static void report(struct file_call call) {
  void (*callback)(const struct file_call *) = __atomic_load_n(&observer, __ATOMIC_SEQ_CST);
  if (!callback) return;
  int saved = errno;
  callback(&call);
  errno = saved;
}

/* The next definition of a call: the C library's (or a sanitizer's in front of it). */
#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static int opened(int fd, int dir, const char *name, int flags) {
  if (fd >= 0 && (flags & (O_CREAT | O_TRUNC)))
    report((struct file_call){.kind = FILE_CALL_OPEN, .fd = fd, .dir = dir, .flags = flags, .name = name});
  return fd;
}

static mode_t mode_of(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

int openat(int dir, const char *name, int flags, ...) {
  REAL(openat);
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return opened(real_openat(dir, name, flags, mode), dir, name, flags);
}

int openat64(int dir, const char *name, int flags, ...) {
  REAL(openat64);
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return opened(real_openat64(dir, name, flags, mode), dir, name, flags);
}

static ssize_t written(ssize_t n, int fd, const void *data, long long offset) {
  if (n > 0)
    report(
        (struct file_call){.kind = FILE_CALL_WRITE, .fd = fd, .data = data, .length = n, .offset = offset});
  return n;
}

ssize_t pwrite(int fd, const void *data, size_t length, off_t offset) {
  REAL(pwrite);
  return written(real_pwrite(fd, data, length, offset), fd, data, offset);
}

ssize_t pwrite64(int fd, const void *data, size_t length, off64_t offset) {
  REAL(pwrite64);
  return written(real_pwrite64(fd, data, length, offset), fd, data, offset);
}

ssize_t write(int fd, const void *data, size_t length) {
  REAL(write);
  return written(real_write(fd, data, length), fd, data, -1);
}

static int truncated(int result, int fd, long long length) {
  if (result == 0) report((struct file_call){.kind = FILE_CALL_TRUNCATE, .fd = fd, .length = length});
  return result;
}

int ftruncate(int fd, off_t length) {
  REAL(ftruncate);
  return truncated(real_ftruncate(fd, length), fd, length);
}

int ftruncate64(int fd, off64_t length) {
  REAL(ftruncate64);
  return truncated(real_ftruncate64(fd, length), fd, length);
}

static int synced(int result, int fd) {
  if (result == 0) report((struct file_call){.kind = FILE_CALL_SYNC, .fd = fd});
  return result;
}

int fdatasync(int fd) {
  REAL(fdatasync);
  return synced(real_fdatasync(fd), fd);
}

int fsync(int fd) {
  REAL(fsync);
  return synced(real_fsync(fd), fd);
}

int unlinkat(int dir, const char *name, int flags) {
  REAL(unlinkat);
  int result = real_unlinkat(dir, name, flags);
  if (result == 0 && !(flags & AT_REMOVEDIR))
    report((struct file_call){.kind = FILE_CALL_UNLINK, .dir = dir, .name = name});
  return result;
}

static int renamed(int result, int dir, const char *name, int to_dir, const char *to) {
  if (result == 0)
    report(
        (struct file_call){.kind = FILE_CALL_RENAME, .dir = dir, .to_dir = to_dir, .name = name, .to = to});
  return result;
}

int renameat(int dir, const char *name, int to_dir, const char *to) {
  REAL(renameat);
  return renamed(real_renameat(dir, name, to_dir, to), dir, name, to_dir, to);
}

int renameat2(int dir, const char *name, int to_dir, const char *to, unsigned flags) {
  REAL(renameat2);
  return renamed(real_renameat2(dir, name, to_dir, to, flags), dir, name, to_dir, to);
}
