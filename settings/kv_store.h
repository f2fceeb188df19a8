/* KEY=VALUE file store: reads a settings file into a table of its lines and writes it back
 * with the same lines, comments and unknown keys kept in order. */
#pragma once
#include <cstddef>
#include <cstdint>

/* One file's lines; opaque, owned by the caller of kv_parse_file or kv_parse_text and
 * released by kv_free. */
struct kv_table;

/* Reads the file: one entry per line, split at the first '=', blanks (space, tab) around
 * key and value trimmed; empty lines, blank lines, lines whose first non-blank is '#' and
 * lines without '=' are not entries. A repeated key: the last one wins for reading.
 * Returns nullptr when the file cannot be opened or read. */
kv_table *kv_parse_file(const char *path);
/* The same for a file's content already in memory (size bytes, NULs included); nullptr
 * without text. */
kv_table *kv_parse_text(const char *text, size_t size);
void kv_free(kv_table *table);

/* The value of the key, owned by the table; nullptr when absent. */
const char *kv_get_str(const kv_table *table, const char *key);

enum kv_int_result { KV_ABSENT, KV_INVALID, KV_OK };
/* Reads a strict decimal integer (optional sign, digits, signed 64-bit range) into *out.
 * KV_INVALID for a value that is present but not such a number. */
kv_int_result kv_get_int(const kv_table *table, const char *key, int64_t *out);

/* Sets the key: replaces the first line that holds it and drops its later lines, or
 * appends KEY=VALUE at the end. Returns 0 (table unchanged) when the value holds a byte
 * below 0x20 or 0x7F, which a line could not carry faithfully, or on allocation failure. */
int kv_put_str(kv_table *table, const char *key, const char *value);
int kv_put_int(kv_table *table, const char *key, int64_t value);

/* Writes every line to the descriptor, each ended by a line feed. 1 on success, 0 on a
 * failed write. */
int kv_write_fd(const kv_table *table, int fd);
