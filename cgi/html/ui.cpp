/* Escaping layer: escaped copies in fixed arrays of the calling operation's frame. */
#include "ui.h"

namespace {

/* Zero-filled storage with its builder; holds one escaped argument for one call. */
template <uint32_t Capacity>
struct escaped {
  char storage[Capacity] = {};
  html_buf buf{Capacity, 0, 0, storage};
  explicit escaped(const char *text) { html_buf_escape(&buf, text); }
  escaped(const escaped &) = delete;
  escaped &operator=(const escaped &) = delete;
  const char *text() const { return storage; }
};
using escaped_name = escaped<HTML_NAME_CAPACITY>;
using escaped_text = escaped<HTML_TEXT_CAPACITY>;

} // namespace

void ui_page_header(const char *title) {
  escaped_name t(title);
  page_header(t.text());
}

void ui_page_begin(const char *logo_title, const char *window_title, const char *action, int multipart,
                   const char *script, const menu_item *menu) {
  escaped_name logo(logo_title);
  escaped_name window(window_title);
  page_begin(logo.text(), window.text(), action, multipart, script, menu);
}

void ui_message_box(int success, const char *title, const char *text, const char *link, const char *button) {
  escaped_name t(title);
  escaped_text body(text);
  escaped_name b(button);
  message_box(success, t.text(), body.text(), link, b.text());
}

void ui_result_box(int restarted, int valid, const char *link) { result_box(restarted, valid, link); }

void ui_syslog_page(const char *title, const menu_item *menu) {
  escaped_name t(title);
  syslog_page(t.text(), menu);
}

void ui_next_cell_id(const char *id) { next_cell_id(id); }

void ui_next_input_attrs(const char *attrs) { next_input_attrs(attrs); }

void ui_label(const char *text) {
  escaped_text t(text);
  w_label(t.text());
}

void ui_link(const char *link, const char *text) {
  escaped_text t(text);
  w_link(link, t.text());
}

void ui_text(const char *name, const char *value) {
  escaped_name n(name);
  /* A stored text of up to HTML_TEXT_CAPACITY - 1 bytes, each escaped to at most 6
   * ("&quot;"): shown whole, so that "Apply changes" never saves a cut value. */
  escaped<6 * (HTML_TEXT_CAPACITY - 1) + 1> v(value);
  w_text(n.text(), v.text());
}

void ui_text_disabled(const char *name, const char *value) { w_text_disabled(name, value); }

void ui_number(const char *name, uint32_t value, int show_zero, const char *trailing) {
  w_number(name, value, show_zero, trailing);
}

void ui_ip(const char *name, uint32_t address) { w_ip(name, address); }

void ui_password(const char *name) { w_password(name); }

void ui_file(const char *name) { w_file(name); }

void ui_select(const char *name, uint32_t current, const select_item *options) {
  escaped_name n(name);
  w_select(n.text(), current, options);
}

void ui_select_str(const char *name, const char *current, const select_str_item *options) {
  w_select_str(name, current, options);
}

void ui_checkbox(const char *name, int ticked) { w_checkbox(name, ticked); }

void ui_textarea(const char *name, const char *text, uint32_t columns, uint32_t rows) {
  w_textarea(name, text, columns, rows);
}

void ui_textarea_file(const char *name, const char *path, uint32_t columns, uint32_t rows) {
  w_textarea_file(name, path, columns, rows);
}

void ui_submit(const char *name, const char *value) {
  escaped_name n(name);
  escaped_text v(value);
  w_submit(n.text(), v.text());
}

void ui_block_header(const char *text) { block_header(text); }

void ui_block_text(const char *text) { block_text(text); }

void ui_block_file(const char *path, const char *fallback) { block_file(path, fallback); }

void ui_block_command(const char *command, int no_break) { block_command(command, no_break); }
