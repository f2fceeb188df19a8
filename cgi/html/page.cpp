/* Page frame, menus, message windows and the system-log page. */
#include "html.h"
#include "html_internal.h"
#include "html_texts.h"
#include "widgets.h"
#include <cstring>

static constexpr layout_state initial_layout = {0, 0, 2, 0, nullptr, nullptr, 0};

layout_state html_layout = initial_layout;

void html_layout_reset() { html_layout = initial_layout; }

const menu_item default_menu[] = {
    {"Customization", nullptr},
    {"Return", "../../module.cgi"},
    {nullptr, nullptr},
};

const menu_item module_menu[] = {
    {"Status", nullptr},
    {"Relay Status", "status.cgi"},
    {"View System Log", "slog.cgi"},
    {"Options", "index.cgi"},
    {"Navigation", nullptr},
    {"Return", "../../module.cgi"},
    {nullptr, nullptr},
};

void page_header(const char *title) { html_printf(html_texts::page_head, text_or_empty(title)); }

/* The validator functions the script names, each once, then the script itself. */
static void write_script(const char *script) {
  html_write(html_texts::script_open);
  for (const auto &v : html_texts::validators) {
    if (strstr(script, v.keyword)) {
      html_write(v.text);
      html_write("\n");
    }
  }
  html_printf(html_texts::script_close, script);
}

/* Sections of the menu table, each a title row and a table of links. */
static void write_menu(const menu_item *menu) {
  const menu_item *entry = menu ? menu : default_menu;
  while (entry->label) {
    html_printf(html_texts::menu_section_head, entry->label);
    for (++entry; entry->link; ++entry)
      html_printf(html_texts::menu_link, entry->link, text_or_empty(entry->label));
    html_write(html_texts::menu_section_foot);
  }
}

void page_begin(const char *logo_title, const char *window_title, const char *action, int multipart,
                const char *script, const menu_item *menu) {
  if (script) write_script(script);
  html_printf(html_texts::frame_start, text_or_empty(logo_title));
  write_menu(menu);
  html_printf(html_texts::menu_column_end);
  if (action) {
    html_printf(html_texts::form_start, action);
    html_write(multipart ? html_texts::form_multipart : html_texts::form_plain);
    html_layout.form_open = 1;
  }
  html_printf(html_texts::content_window, text_or_empty(window_title));
}

void page_end(const char *script) {
  if (html_layout.column != 0) html_write("</tr>");
  if (html_layout.rows_open != 0) html_write("</table>");
  html_write(html_texts::content_window_end);
  if (html_layout.form_open) html_write(html_texts::form_end);
  html_write(html_texts::frame_end);
  if (script) {
    html_write(html_texts::script_open);
    html_printf(html_texts::script_close, script);
  }
}

void page_close() {
  html_write(html_texts::document_end);
  html_flush();
}

void message_box(int success, const char *title, const char *text, const char *link, const char *button) {
  const unsigned colour = success ? 0x8000u : 0x800000u;
  const char *l = text_or_empty(link);
  const char *b = text_or_empty(button);
  html_printf(html_texts::message_box, colour, text_or_empty(title), text_or_empty(text), l, b, b, l);
}

void result_box(int restarted, int valid, const char *link) {
  const char *text = restarted ? "Configuration successfully updated."
                     : valid   ? "Error during configuration update."
                               : "Invalid input.";
  message_box(restarted, "Configuration", text, link, "Back");
}

void download_header(const char *file_name) {
  html_printf(html_texts::download_header, text_or_empty(file_name));
}

static const char *syslog_command_override;

const char *syslog_command() {
  return syslog_command_override ? syslog_command_override : html_texts::syslog_command;
}

void syslog_set_command(const char *command) { syslog_command_override = command; }

void syslog_page(const char *title, const menu_item *menu) {
  page_header(title);
  page_begin(title, "System Log", "../../slog_save.cgi", 0, nullptr, menu);
  block_header("System Messages");
  block_command(syslog_command(), 0);
  grid_break();
  grid_begin(1, 0);
  w_submit("button", "Save");
  page_end(nullptr);
  page_close();
}
