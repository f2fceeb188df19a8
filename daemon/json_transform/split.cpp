#include "split.h"

#include <cstdlib>
#include <cstring>

#include "text.h"

split_list *split_text(const char *text, char separator) {
  if (text == nullptr) return nullptr;
  uint32_t separators = 0;
  for (const char *c = text; *c != '\0'; ++c)
    if (*c == separator) ++separators;
  if (separators == 0) return nullptr;
  split_list *list = split_new(separators + 1);
  if (list == nullptr) return nullptr;
  uint32_t index = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c == separator) {
      ++index;
      continue;
    }
    split_part &part = list->parts[index];
    if (part.start == nullptr) part.start = c;
    ++part.length;
  }
  return list;
}

split_list *split_new(uint32_t count) {
  auto *list = static_cast<split_list *>(mem_alloc(sizeof(split_list)));
  if (list == nullptr) return nullptr;
  memset(list, 0, sizeof *list);
  if (count != 0) {
    size_t bytes = 0;
    if (__builtin_mul_overflow(size_t{count}, sizeof(split_part), &bytes) ||
        (list->parts = static_cast<split_part *>(mem_alloc(bytes))) == nullptr) {
      free(list);
      return nullptr;
    }
    memset(list->parts, 0, bytes);
  }
  list->count = count;
  return list;
}

void split_free(split_list *list) {
  if (list == nullptr) return;
  free(list->parts);
  free(list);
}
