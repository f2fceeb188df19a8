#include "text.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

void str_fold(char *text, int fold) {
  if (!text || fold == 0) return;
  for (; *text; ++text) {
    const int c = static_cast<unsigned char>(*text);
    *text = static_cast<char>(fold < 0 ? std::tolower(c) : std::toupper(c));
  }
}

void copy_fold(char *dest, unsigned capacity, const char *source, int fold) {
  if (!dest || capacity == 0) return;
  if (!source) {
    dest[0] = '\0';
    return;
  }
  std::strncpy(dest, source, capacity - 1);
  dest[capacity - 1] = '\0';
  str_fold(dest, fold);
}

void *mem_alloc(size_t size) { return std::malloc(size ? size : 1); }
