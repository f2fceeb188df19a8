/* Cuts a text at a separator character into parts that point into the text. */
#pragma once
#include <cstdint>

/* One part: length characters from start; start is nullptr for an empty part. */
struct split_part {
  uint32_t length;
  const char *start;
};

/* The parts in text order; parts is nullptr when count is 0. Both blocks come from
 * mem_alloc; release them with split_free. */
struct split_list {
  uint32_t count;
  split_part *parts;
};

/* Splits the NUL-terminated text at every separator; empty parts count (leading,
 * adjacent or trailing separators). Returns nullptr for a NULL text, for a text without
 * a separator, or when an allocation fails. The parts point into text, which must
 * outlive the list. */
split_list *split_text(const char *text, char separator);

/* A list of count zeroed parts, or nullptr when an allocation fails. */
split_list *split_new(uint32_t count);

/* Releases the part array and the list; nullptr does nothing. */
void split_free(split_list *list);
