/* Test support: the file calls that change a folder or a file's content, reported to an
 * observer after each one succeeds. Linking file_calls.c into a test program puts its calls
 * in front of the C library's for the whole process, as an LD_PRELOAD library would:
 * openat (with O_CREAT or O_TRUNC), pwrite, write, ftruncate, fdatasync, fsync, unlinkat
 * and renameat, in their 64-bit offset forms too. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum file_call_kind {
  FILE_CALL_OPEN,     /* fd: the new descriptor, dir and name: where, flags */
  FILE_CALL_WRITE,    /* fd, data, length; offset -1: at the file position, now past them */
  FILE_CALL_TRUNCATE, /* fd, length */
  FILE_CALL_SYNC,     /* fd: a file or a folder */
  FILE_CALL_UNLINK,   /* dir, name */
  FILE_CALL_RENAME    /* dir, name to to_dir, to */
};

struct file_call {
  enum file_call_kind kind;
  int fd, dir, to_dir, flags;
  const char *name, *to;
  const void *data;
  long long length, offset;
};

/* Sets the observer (nullptr: none, the start). It runs on the thread that made the call,
 * with errno kept for the caller. */
void file_calls_observe(void (*observer)(const struct file_call *call));

#ifdef __cplusplus
}
#endif
