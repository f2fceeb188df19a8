/* Helpers shared by the files of the HTML library; not part of its interface. */
#pragma once
#include <cstdarg>

/* printf-style write to html_out(). */
void html_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Writes a text unchanged (no format) to html_out(). */
void html_write(const char *text);

/* The text, or the empty text for nullptr: what a library operation prints for a text
 * its caller failed to give. */
inline const char *text_or_empty(const char *text) { return text ? text : ""; }
