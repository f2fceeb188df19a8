/* Unit-test helpers: capture what a descriptor receives, and private temporary folders. */
#pragma once
#include <string>

/* Redirects fd (1 or 2) into a temporary file until capture_end, flushing stdio first. */
struct fd_capture {
  int fd = -1;
  int saved = -1;
  int file = -1;
};
void capture_begin(fd_capture *capture, int fd);
/* Restores the descriptor and returns every byte it received meanwhile. */
std::string capture_end(fd_capture *capture);

/* A new empty folder under TMPDIR (or /tmp), removed with everything in it by
 * remove_tree. */
std::string make_temp_dir();
void remove_tree(const std::string &path);

std::string read_file(const std::string &path);
/* Writes the bytes, creating the file with the given mode (umask applies). */
void write_file(const std::string &path, const std::string &content, unsigned mode = 0644);
