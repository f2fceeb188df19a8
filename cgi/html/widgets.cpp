/* Widget grid, text blocks and file echo. */
#include "widgets.h"
#include "html.h"
#include "html_internal.h"
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static constexpr const char default_input_attrs[] = "class=\"input\"";

/* Closes the open grid row, then the open content table. */
static void close_row_and_table() {
  if (html_layout.column != 0) {
    html_write("</tr>");
    html_layout.column = 0;
  }
  if (html_layout.rows_open != 0) {
    html_write("</table>");
    html_layout.rows_open = 0;
  }
}

void grid_begin(uint32_t columns, uint32_t first_width) {
  close_row_and_table();
  html_layout.columns_per_row = columns;
  html_layout.first_width = first_width;
}

void grid_break() {
  close_row_and_table();
  html_write("</td></tr><tr><td>");
}

void next_cell_id(const char *id) { html_layout.cell_id = id; }

void next_input_attrs(const char *attrs) { html_layout.input_attrs = attrs; }

void cell_open() {
  layout_state &l = html_layout;
  if (l.rows_open == 0) html_write("<table>");
  if (l.column == 0) {
    html_write("<tr>");
    ++l.rows_open;
  }
  if (l.first_width != 0 && l.column == 0 && l.rows_open == 1) {
    if (l.cell_id)
      html_printf("<td nowrap width=\"%u\" id=\"%s\">", l.first_width, l.cell_id);
    else
      html_printf("<td nowrap width=\"%u\">", l.first_width);
  } else if (l.cell_id) {
    html_printf("<td nowrap id=\"%s\">", l.cell_id);
  } else {
    html_write("<td nowrap>");
  }
  ++l.column;
  l.cell_id = nullptr;
  if (!l.input_attrs) l.input_attrs = default_input_attrs;
}

void cell_close() {
  layout_state &l = html_layout;
  if (l.column < l.columns_per_row) {
    html_write("</td>");
  } else {
    html_write("</td></tr>");
    l.column = 0;
  }
  l.input_attrs = nullptr;
}

/* Attribute text of the widget in the open cell. */
static const char *input_attrs() { return text_or_empty(html_layout.input_attrs); }

void w_submit(const char *name, const char *value) {
  cell_open();
  html_printf("<input type=\"submit\" name=\"%s\" value=\"%s\">", text_or_empty(name), text_or_empty(value));
  cell_close();
}

void w_textarea(const char *name, const char *text, uint32_t columns, uint32_t rows) {
  cell_open();
  html_printf("<textarea name=\"%s\" cols=\"%u\" rows=\"%u\">\n%s</textarea>",
              text_or_empty(name),
              columns,
              rows,
              text_or_empty(text));
  cell_close();
}

void w_textarea_file(const char *name, const char *path, uint32_t columns, uint32_t rows) {
  cell_open();
  html_printf("<textarea name=\"%s\" cols=\"%u\" rows=\"%u\">\n", text_or_empty(name), columns, rows);
  if (FILE *in = path ? fopen(path, "r") : nullptr) {
    FILE *out = html_out();
    for (int c; (c = fgetc(in)) != EOF;) {
      switch (c) {
        case '<':
          fputs("&lt;", out);
          break;
        case '>':
          fputs("&gt;", out);
          break;
        case '&':
          fputs("&amp;", out);
          break;
        default:
          fputc(c, out);
          break;
      }
    }
    fclose(in);
  }
  html_write("</textarea>");
  cell_close();
}

void w_checkbox(const char *name, int ticked) {
  cell_open();
  html_printf("<input type=\"checkbox\" name=\"%s\"%s>", text_or_empty(name), ticked ? " checked" : "");
  cell_close();
}

void w_select(const char *name, uint32_t current, const select_item *options) {
  cell_open();
  html_printf("<select %s name=\"%s\">", input_attrs(), text_or_empty(name));
  for (const select_item *o = options; o && o->label; ++o)
    html_printf("<option value=\"%u\"%s>%s", o->value, o->value == current ? " selected" : "", o->label);
  html_write("</select>");
  cell_close();
}

void w_select_str(const char *name, const char *current, const select_str_item *options) {
  cell_open();
  html_printf("<select %s name=\"%s\">", input_attrs(), text_or_empty(name));
  for (const select_str_item *o = options; o && o->label; ++o) {
    const char *value = text_or_empty(o->value);
    const bool selected = current && strcmp(value, current) == 0;
    html_printf("<option value=\"%s\"%s>%s", value, selected ? " selected" : "", o->label);
  }
  html_write("</select>");
  cell_close();
}

void w_file(const char *name) {
  cell_open();
  html_printf("<input type=\"file\" name=\"%s\" size=\"50\">", text_or_empty(name));
  cell_close();
}

void w_password(const char *name) {
  cell_open();
  html_printf("<input type=\"password\" name=\"%s\">", text_or_empty(name));
  cell_close();
}

void w_ip(const char *name, uint32_t address) {
  cell_open();
  html_printf("<input %s type=\"text\" name=\"%s\" value=\"", input_attrs(), text_or_empty(name));
  if (address != 0)
    html_printf(
        "%u.%u.%u.%u\">", address >> 24, (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
  else
    html_write("\">");
  cell_close();
}

void w_number(const char *name, uint32_t value, int show_zero, const char *trailing) {
  cell_open();
  html_printf("<input %s type=\"text\" name=\"%s\" value=\"", input_attrs(), text_or_empty(name));
  if (value != 0 || show_zero) html_printf("%u", value);
  if (trailing)
    html_printf("\"> %s", trailing);
  else
    html_write("\">");
  cell_close();
}

void w_text_disabled(const char *name, const char *value) {
  cell_open();
  html_printf("<input %s type=\"text\" name=\"%s\" value=\"%s\" disabled>",
              input_attrs(),
              text_or_empty(name),
              text_or_empty(value));
  cell_close();
}

void w_text(const char *name, const char *value) {
  cell_open();
  html_printf("<input %s type=\"text\" name=\"%s\" value=\"%s\">",
              input_attrs(),
              text_or_empty(name),
              text_or_empty(value));
  cell_close();
}

void w_link(const char *link, const char *text) {
  cell_open();
  html_printf("<a href=\"%s\">%s</a>", text_or_empty(link), text_or_empty(text));
  cell_close();
}

void w_label(const char *text) {
  cell_open();
  html_write(text);
  cell_close();
}

void block_begin(int header) {
  if (html_layout.rows_open == 0) {
    html_write("<table width=\"100%\">");
    ++html_layout.rows_open;
  }
  html_write(header ? "<tr><td nowrap align=\"center\" class=\"header\">" : "<tr><td nowrap><pre>\n\n");
}

void block_end(int header, int no_break) {
  html_write(header ? "</td></tr>" : no_break ? "</pre></td></tr>" : "\n</pre></td></tr>");
}

void block_header(const char *text) {
  block_begin(1);
  html_write(text);
  block_end(1, 0);
}

void block_text(const char *text) {
  block_begin(0);
  html_printf("%s\n", text_or_empty(text));
  block_end(0, 0);
}

void block_file(const char *path, const char *fallback) {
  block_begin(0);
  echo_file(path, fallback);
  block_end(0, 0);
}

/* Runs the command through the shell with its standard output on the descriptor of the
 * output stream, so that its output lands where the page goes. */
static void run_shell(const char *command) {
  FILE *out = html_out();
  fflush(out);
  const int fd = fileno(out);
  if (fd < 0 || fd == STDOUT_FILENO) {
    int status = system(command);
    (void)status;
    return;
  }
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  if (saved >= 0 && dup2(fd, STDOUT_FILENO) >= 0) {
    int status = system(command);
    (void)status;
    dup2(saved, STDOUT_FILENO);
  }
  if (saved >= 0) close(saved);
  /* The command wrote through the shared file offset; go on after its output. */
  fseek(out, 0, SEEK_END);
}

void block_command(const char *command, int no_break) {
  block_begin(0);
  html_flush();
  if (command) run_shell(command);
  block_end(0, no_break);
}

void echo_file(const char *path, const char *fallback) {
  size_t copied = 0;
  if (FILE *in = path ? fopen(path, "r") : nullptr) {
    char piece[128];
    /* Pieces of at most 127 bytes, copied by count so that NUL bytes survive. */
    for (size_t n; (n = fread(piece, 1, sizeof piece - 1, in)) > 0; copied += n)
      fwrite(piece, 1, n, html_out());
    fclose(in);
  }
  if (copied == 0 && fallback) html_printf("%s\n", fallback);
}
