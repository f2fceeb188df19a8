/* The application's escaping layer: HTML-escapes the marked text arguments into fixed
 * buffers (64 bytes for names and titles, 256 for values and texts; a longer escaped
 * form is cut silently) and calls the library operation of html.h / widgets.h with the
 * copies. A nullptr text to be escaped becomes the empty text. Nothing is allocated. */
#pragma once
#include "html.h"
#include "widgets.h"

void ui_page_header(const char *title); /* title */
void ui_page_begin(const char *logo_title, const char *window_title, const char *action, int multipart,
                   const char *script, const menu_item *menu); /* both titles */
void ui_message_box(int success, const char *title, const char *text, const char *link,
                    const char *button); /* title, text, button label */
void ui_result_box(int restarted, int valid, const char *link);
void ui_syslog_page(const char *title, const menu_item *menu); /* title */

void ui_next_cell_id(const char *id);
void ui_next_input_attrs(const char *attrs);
void ui_label(const char *text);                   /* text */
void ui_link(const char *link, const char *text);  /* text */
void ui_text(const char *name, const char *value); /* name, value */
void ui_text_disabled(const char *name, const char *value);
void ui_number(const char *name, uint32_t value, int show_zero, const char *trailing);
void ui_ip(const char *name, uint32_t address);
void ui_password(const char *name);
void ui_file(const char *name);
void ui_select(const char *name, uint32_t current, const select_item *options); /* name */
void ui_select_str(const char *name, const char *current, const select_str_item *options);
void ui_checkbox(const char *name, int ticked);
void ui_textarea(const char *name, const char *text, uint32_t columns, uint32_t rows);
void ui_textarea_file(const char *name, const char *path, uint32_t columns, uint32_t rows);
void ui_submit(const char *name, const char *value); /* name, value */
void ui_block_header(const char *text);
void ui_block_text(const char *text);
void ui_block_file(const char *path, const char *fallback);
void ui_block_command(const char *command, int no_break);
