/* Environment variables for the CGI fuzz targets. */
#pragma once
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

/* Sets NAME=value. setenv keeps every value it replaces, which over millions of inputs is
 * memory without end; the variable points into a buffer owned by slot instead. */
inline void put_variable(std::unique_ptr<char[]> &slot, const std::string &name, const std::string &value) {
  const std::string text = name + "=" + value;
  std::unique_ptr<char[]> next(new char[text.size() + 1]);
  std::memcpy(next.get(), text.c_str(), text.size() + 1);
  putenv(next.get());
  slot = std::move(next);
}
