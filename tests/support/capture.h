/* Unit-test helper: captures what a descriptor (standard output or error) receives. */
#pragma once
#include <string>

#include "files.h"

/* Redirects fd (1 or 2) into a temporary file until capture_end, flushing stdio first. */
struct fd_capture {
  int fd = -1;
  int saved = -1;
  int file = -1;
};
void capture_begin(fd_capture *capture, int fd);
/* Restores the descriptor and returns every byte it received meanwhile. */
std::string capture_end(fd_capture *capture);
