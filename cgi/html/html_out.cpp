/* The one output stream of the HTML library. */
#include "html.h"
#include "html_internal.h"

static FILE *output_stream;

FILE *html_out() { return output_stream ? output_stream : stdout; }

void html_set_output(FILE *stream) { output_stream = stream; }

void html_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(html_out(), format, args);
  va_end(args);
}

void html_write(const char *text) { fputs(text_or_empty(text), html_out()); }

void html_flush() { fflush(html_out()); }
