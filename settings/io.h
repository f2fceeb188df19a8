/* File output both programs share. */
#pragma once
#include <cstddef>

/* Writes all size bytes to fd, going on after a signal interrupted the write. 1 on
 * success, 0 on failure with errno set. */
int write_all(int fd, const void *data, size_t size);
