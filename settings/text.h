/* Small text and memory helpers shared by both programs. */
#pragma once
#include <cstddef>

/* Copies at most capacity - 1 bytes of source into dest, zero-fills the rest of those
 * bytes and always terminates; a longer source is cut silently. A NULL source leaves the
 * empty text; a NULL dest or a capacity of 0 does nothing. fold < 0 lowers, > 0 raises
 * ASCII letters, 0 keeps them. */
void copy_fold(char *dest, unsigned capacity, const char *source, int fold);

/* Folds the text in place by the sign of fold (see copy_fold); NULL does nothing. */
void str_fold(char *text, int fold);

/* malloc that never asks for 0 bytes (1 instead); NULL when the allocator fails.
 * Release with free. */
void *mem_alloc(size_t size);
