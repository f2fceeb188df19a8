#include "pages.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <syslog.h>

#include "html.h"
#include "log.h"
#include "page_table.h"
#include "paths.h"
#include "request.h"
#include "settings.h"
#include "status_page.h"
#include "ui.h"
#include "widgets.h"

namespace {

constexpr const char TITLE[] = "NIMBA Message Router";

constexpr select_item mode_options[] = {
    {"Quickstart", 0},
    {"Registered", 1},
    {nullptr, 0},
};

constexpr select_item qos_options[] = {
    {"At most once", 0},
    {"At least once", 1},
    {nullptr, 0},
};

constexpr select_item ssl_options[] = {
    {"Plain (port 1883)", 0},
    {"TLS (port 8883)", 1},
    {nullptr, 0},
};

struct text_deleter {
  void operator()(char *text) const { std::free(text); }
};
using field_text = std::unique_ptr<char, text_deleter>;

/* Result of reading one posted field. */
enum field_state { FIELD_OK, FIELD_MISSING, FIELD_INVALID, FIELD_NO_MEMORY };

/* Reads a posted field. A "%00" would decode to a NUL that silently cuts the text short:
 * such a value is invalid like any other control byte. */
field_state find_field(const char *name, field_text *value) {
  char *raw = nullptr;
  size_t length = 0;
  const int present = cgi_find_field(name, &raw, &length);
  value->reset(raw);
  if (!raw) return FIELD_NO_MEMORY;
  if (!present) return FIELD_MISSING;
  return length == std::strlen(raw) ? FIELD_OK : FIELD_INVALID;
}

/* An integer must be exactly a decimal number within the key's limits. */
field_state read_int(const setting_key &key, module_settings *s) {
  field_text value;
  const field_state found = find_field(key.key, &value);
  if (found != FIELD_OK) return found;
  const char *text = value.get();
  if (*text == '\0') return FIELD_INVALID;
  int64_t number = 0;
  for (const char *p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return FIELD_INVALID;
    number = number * 10 + (*p - '0');
    if (number > key.high) return FIELD_INVALID;
  }
  if (number < key.low) return FIELD_INVALID;
  setting_set_int(s, key, number);
  return FIELD_OK;
}

/* A text fits the settings record and holds no control byte, which would break the
 * settings file's lines. */
field_state read_text(const char *name, char *dest, unsigned capacity) {
  field_text value;
  const field_state found = find_field(name, &value);
  if (found != FIELD_OK) return found;
  const size_t length = std::strlen(value.get());
  if (length >= capacity) return FIELD_INVALID;
  /* Loading trims blanks at either end: a value with them would not be the one saved. */
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  if (length > 0 && (blank(value.get()[0]) || blank(value.get()[length - 1]))) return FIELD_INVALID;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(value.get()[i]);
    if (c < 0x20 || c == 0x7F) return FIELD_INVALID;
  }
  std::memset(dest, 0, capacity);
  std::memcpy(dest, value.get(), length);
  return FIELD_OK;
}

/* Fills the record from the posted form, key by key in the table's order; 1 when every
 * field is acceptable. Each rejected field is logged and ends the validation. Optional
 * fields the post lacks are added to kept. */
int read_form(module_settings *s, uint32_t *kept) {
  for (const setting_key &key : SETTINGS_KEYS) {
    if (key.form == FORM_NONE) continue;
    char *text = setting_text(s, key);
    switch (text ? read_text(key.key, text, SETTINGS_TEXT_CAPACITY) : read_int(key, s)) {
      case FIELD_OK:
        break;
      case FIELD_MISSING:
        if (key.form == FORM_OPTIONAL) {
          *kept |= setting_bit(key);
        } else if (key.form == FORM_REQUIRED || s->mode == 1) {
          log_msg(LOG_WARNING, "%s was not received.", key.key);
          return 0;
        }
        break;
      case FIELD_INVALID:
        log_msg(LOG_WARNING, "%s is invalid.", key.key);
        return 0;
      case FIELD_NO_MEMORY:
        return 0;
    }
  }
  return 1;
}

int restart_module() { return run_program(path_init_script(), "restart", nullptr, 1) == 0; }

} // namespace

void cgi_index() {
  module_settings s;
  settings_load(&s);
  ui_page_header(TITLE);
  ui_page_begin(TITLE, "Options", "set.cgi", 0, nullptr, module_menu);
  grid_begin(2, 2);
  ui_select("NIMBA_MODE", s.mode, mode_options);
  ui_label("Publish mode");
  ui_text("NIMBA_ORGID", s.orgid);
  ui_label("NIMBA organisation");
  ui_text("NIMBA_DTYPEID", s.dtypeid);
  ui_label("NIMBA device type");
  ui_text("NIMBA_AUTHTOKEN", s.authtoken);
  ui_label("NIMBA authentication token");
  ui_select("NIMBA_QOS", static_cast<uint32_t>(s.qos), qos_options);
  ui_label("Delivery");
  ui_select("NIMBA_SSL", s.ssl, ssl_options);
  ui_label("Connection");
  grid_break();
  ui_submit("button", "Apply changes");
  ui_link("restart.cgi", "Restart module");
  page_end(nullptr);
  page_close();
}

void cgi_slog() { ui_syslog_page(TITLE, module_menu); }

/* A page of another site the operator visits must not act on the device through the
 * operator's browser: such requests are refused and logged. */
bool refuse_cross_site(const char *page) {
  if (!cgi_cross_site()) return false;
  log_msg(LOG_WARNING, "Refused a cross-site request to %s.", page);
  return true;
}

void cgi_restart() {
  int ok = 0;
  if (!refuse_cross_site("restart.cgi")) {
    cgi_read_request();
    ok = restart_module();
  }
  ui_page_header(TITLE);
  ui_message_box(
      ok, "Info", ok ? "Module successfully restarted." : "Module restart failed.", "index.cgi", "Ok");
  page_close();
  cgi_free_request();
}

void cgi_set() {
  int input_valid = 0;
  int restarted = 0;
  module_settings s;
  std::memset(&s, 0, sizeof s);
  /* What the page refuses goes to the system log only, not into the web server's log. */
  log_set_echo(LOG_ECHO_NONE);
  /* Only a POST body (url-encoded or multipart) carries the form; anything else has no
   * fields. */
  if (!refuse_cross_site("set.cgi")) {
    cgi_read_post_request();
    uint32_t kept = 0;
    if (read_form(&s, &kept)) {
      input_valid = 1;
      if (settings_save_keeping(&s, kept)) restarted = restart_module();
    }
  }
  ui_page_header(TITLE);
  ui_result_box(restarted, input_valid, "index.cgi");
  page_close();
  cgi_free_request();
}

int cgi_main(int argc, char **argv) {
  log_set_echo(LOG_ECHO_STDERR);
  log_open(argc > 0 ? argv[0] : "nimba_cgi");
  if (argc > 0) {
    const char *name = log_base_name(argv[0]);
    for (const page_entry &page : page_table) {
      if (std::strcmp(name, page.name) == 0) {
        page.handler();
        break;
      }
    }
  }
  log_close();
  return 0;
}
