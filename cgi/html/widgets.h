/* Form widget grid and text blocks that fill the content window of a page (html.h).
 * All state lives in html_layout; every write goes to html_out(). */
#pragma once
#include <cstdint>

/* Option of a select list with a number value; a table ends at the first nullptr label. */
struct select_item {
  const char *label;
  uint32_t value;
};

/* Option of a select list with a text value; a table ends at the first nullptr label. */
struct select_str_item {
  const char *label;
  const char *value;
};

/* Ends the open grid row and table; the next table has columns cells per row (0 acts as
 * 1) and first_width on its very first cell (0 = none). */
void grid_begin(uint32_t columns, uint32_t first_width);

/* Ends the open grid row and table and opens a new row of the content window. */
void grid_break();

/* id attribute of the next grid cell; the text must live until that cell is opened. */
void next_cell_id(const char *id);

/* Attribute text of the next widget instead of class="input"; the text must live until
 * that widget's cell is closed. */
void next_input_attrs(const char *attrs);

/* Open and close one grid cell; every widget uses them. */
void cell_open();
void cell_close();

/* Widgets: each takes one cell and prints its texts unchanged. */
void w_submit(const char *name, const char *value);
void w_textarea(const char *name, const char *text, uint32_t columns, uint32_t rows);
/* Text area filled from a file, with < > & escaped; a file that cannot be opened gives an
 * empty area. */
void w_textarea_file(const char *name, const char *path, uint32_t columns, uint32_t rows);
void w_checkbox(const char *name, int ticked);
/* Every option whose value equals the current one is marked selected. */
void w_select(const char *name, uint32_t current, const select_item *options);
void w_select_str(const char *name, const char *current, const select_str_item *options);
void w_file(const char *name);
void w_password(const char *name);
/* Dotted IPv4 address, most significant byte first; 0 shows an empty field. */
void w_ip(const char *name, uint32_t address);
/* 0 shows an empty field unless show_zero; trailing text (or nullptr) follows one space. */
void w_number(const char *name, uint32_t value, int show_zero, const char *trailing);
void w_text_disabled(const char *name, const char *value);
void w_text(const char *name, const char *value);
void w_link(const char *link, const char *text);
void w_label(const char *text);

/* Text blocks: full-width rows of the content window. */
void block_begin(int header);
void block_end(int header, int no_break);
void block_header(const char *text);
void block_text(const char *text);
/* The file's content, or the fallback text (or nullptr) when it is missing or empty. */
void block_file(const char *path, const char *fallback);
/* Flushes the output and runs the command through the shell (system), its output going
 * into the row. Callers pass fixed commands only; the exit status is not looked at. */
void block_command(const char *command, int no_break);

/* Copies a file unchanged to the output through a 128-byte buffer; writes the fallback
 * text and a line feed when nothing was copied (missing or empty file). */
void echo_file(const char *path, const char *fallback);
