/* Test support: captures what the HTML library writes, through a temporary file so that
 * shell commands run by block_command land in the same capture. */
#pragma once
#include "html.h"
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

struct output_capture {
  FILE *file = tmpfile();
  output_capture() { html_set_output(file); }
  ~output_capture() {
    html_set_output(nullptr);
    if (file) fclose(file);
  }
  output_capture(const output_capture &) = delete;
  output_capture &operator=(const output_capture &) = delete;

  /* Everything written since the capture began. */
  std::string text() {
    std::string all;
    if (!file) return all;
    fflush(file);
    rewind(file);
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) all.append(chunk, n);
    fseek(file, 0, SEEK_END);
    return all;
  }
};

/* Content of a golden file under tests/data/html. */
inline std::string golden(const std::string &name) {
  std::ifstream in(std::string(NIMBA_HTML_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
