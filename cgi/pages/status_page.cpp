/* status.cgi: connection states, last failures and counters of the relay daemon. */
#include "status_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>

#include "html.h"
#include "kv_store.h"
#include "log.h"
#include "request.h"
#include "status_file.h"
#include "ui.h"
#include "widgets.h"

namespace {

constexpr const char TITLE[] = "NIMBA Message Router";
constexpr const char DAEMON_NAME[] = "nimba_vezidozu";
/* Width of the label column, the same in every section. */
constexpr uint32_t LABEL_WIDTH = 200;
/* One value cell: a time, a number, or an escaped text with its markup. */
constexpr unsigned VALUE_CAPACITY = 512;
constexpr unsigned CMDLINE_CAPACITY = 4096;
/* The daemon's file is under 1 KiB; what lies beyond this is not its and is not read. */
constexpr size_t STATUS_FILE_CAPACITY = 16 * 1024;

/* The link stands for browsers without scripts; the script makes it a button, as the
 * message windows of the module do. */
constexpr const char REFRESH_LINK[] = "&raquo; Refresh &laquo;";
constexpr const char REFRESH_SCRIPT[] =
    R"js(document.getElementById('refresh').innerHTML = '<input type="button" name="button" value="Refresh" onclick="location.href=\'status.cgi\'">';
)js";

constexpr const char JSON_HEADER[] =
    "Content-Type: application/json\n"
    "Cache-Control: no-cache\n"
    "Pragma: no-cache\n"
    "\n";

/* Colours of the states, as the message windows colour success and failure. */
constexpr const char STATE_UP_HTML[] = R"html(<font color="#008000"><b>up</b></font>)html";
constexpr const char STATE_DOWN_HTML[] = R"html(<font color="#800000"><b>down</b></font>)html";
constexpr const char STATE_CONNECTING_HTML[] = "<b>connecting</b>";
/* Not a fault: neutral, like connecting. */
constexpr const char STATE_WAITS_HTML[] = "<b>waiting for the cloud</b>";
/* Orange: something to change, not a failure. */
constexpr const char TOKEN_WARNING_HTML[] =
    R"html(<font color="#C05000">The token is sent unencrypted: choose TLS on the Options page.</font>)html";

constexpr const char *COUNTER_LABELS[STATUS_COUNTERS] = {"Received from the gateway",
                                                         "Published to the cloud",
                                                         "Rejected, not JSON",
                                                         "Too large",
                                                         "Dropped, queue full",
                                                         "Waiting now"};
constexpr const char *COUNTER_JSON_NAMES[STATUS_COUNTERS] = {
    "received", "published", "not_json", "too_large", "dropped", "waiting"};
/* At least once drops for more than the queue: there the counter is their sum. */
constexpr const char DROPPED_SUM_LABEL[] = "Dropped, all reasons";

constexpr const char *DROP_LABELS[STATUS_DROP_REASONS] = {"Dropped, queue full",
                                                          "Dropped, spool full",
                                                          "Dropped, refused by the cloud",
                                                          "Dropped, spool folder lost"};
constexpr const char *DROP_JSON_NAMES[STATUS_DROP_REASONS] = {
    "queue_full", "spool_full", "refused", "spool_lost"};

struct kv_deleter {
  void operator()(kv_table *table) const { kv_free(table); }
};
using kv_ptr = std::unique_ptr<kv_table, kv_deleter>;

/* A number of the file; valid only when present, a strict decimal number and not negative. */
struct status_number {
  int64_t value;
  bool valid;
};

status_number read_number(const kv_table *table, const char *key) {
  int64_t value = 0;
  const bool valid = kv_get_int(table, key, &value) == KV_OK && value >= 0;
  return status_number{valid ? value : 0, valid};
}

/* A failure's return code may be negative (-1: no connection). */
status_number read_code(const kv_table *table, const char *key) {
  int64_t value = 0;
  const bool valid = kv_get_int(table, key, &value) == KV_OK && value >= INT32_MIN && value <= INT32_MAX;
  return status_number{valid ? value : 0, valid};
}

/* One connection as the file gives it; nullptr texts are missing. */
struct side_view {
  const char *state; /* one of the state words, or nullptr */
  status_number since, failed_at, failed_rc, next_attempt;
  const char *uri, *failed_text;
};

/* At least once only: the delivery's figures. */
struct delivery_view {
  bool shown; /* QOS=1 in the file */
  status_number awaiting, resent, gateway_held_ms, spool_documents, spool_bytes, oldest_waiting;
  status_number dropped[STATUS_DROP_REASONS];
  status_number spool_errno; /* 0 usable, -1 no spool, else why it cannot be used */
};

struct status_view {
  status_number pid, started, last_relayed;
  side_view cloud, gateway;
  status_number cloud_mode, cloud_tls; /* each 0 or 1 when valid */
  status_number counters[STATUS_COUNTERS];
  delivery_view delivery;
};

const char *read_state(const kv_table *table, const char *key) {
  const char *text = kv_get_str(table, key);
  if (text == nullptr) return nullptr;
  for (const char *state : {STATUS_DOWN, STATUS_CONNECTING, STATUS_UP, STATUS_WAITS_FOR_CLOUD})
    if (std::strcmp(text, state) == 0) return state;
  return nullptr;
}

side_view read_side(const kv_table *table, const status_side_keys &keys) {
  side_view side;
  side.state = read_state(table, keys.state);
  side.since = read_number(table, keys.since);
  side.failed_at = read_number(table, keys.failed_at);
  side.failed_rc = read_code(table, keys.failed_rc);
  side.next_attempt = read_number(table, keys.next_attempt);
  side.uri = kv_get_str(table, keys.uri);
  side.failed_text = kv_get_str(table, keys.failed_text);
  return side;
}

delivery_view read_delivery(const kv_table *table) {
  delivery_view d{};
  int64_t qos = 0;
  d.shown = kv_get_int(table, STATUS_KEY_QOS, &qos) == KV_OK && qos == 1;
  if (!d.shown) return d;
  d.awaiting = read_number(table, STATUS_KEY_AWAITING_PUBACK);
  d.resent = read_number(table, STATUS_KEY_RESENT);
  d.gateway_held_ms = read_number(table, STATUS_KEY_GATEWAY_HELD_MS);
  for (unsigned i = 0; i < STATUS_DROP_REASONS; i++) d.dropped[i] = read_number(table, STATUS_DROP_KEYS[i]);
  d.spool_documents = read_number(table, STATUS_KEY_SPOOL_DOCUMENTS);
  d.spool_bytes = read_number(table, STATUS_KEY_SPOOL_BYTES);
  d.spool_errno = read_code(table, STATUS_KEY_SPOOL_ERRNO);
  if (d.spool_errno.valid && d.spool_errno.value < -1) d.spool_errno.valid = false;
  d.oldest_waiting = read_number(table, STATUS_KEY_OLDEST_WAITING);
  return d;
}

status_view read_view(const kv_table *table) {
  status_view view;
  view.pid = read_number(table, STATUS_KEY_PID);
  view.started = read_number(table, STATUS_KEY_STARTED);
  view.last_relayed = read_number(table, STATUS_KEY_LAST_RELAYED);
  view.cloud = read_side(table, STATUS_CLOUD_KEYS);
  view.gateway = read_side(table, STATUS_GATEWAY_KEYS);
  for (status_number *flag : {&view.cloud_mode, &view.cloud_tls}) {
    *flag = read_number(table, flag == &view.cloud_mode ? STATUS_KEY_CLOUD_MODE : STATUS_KEY_CLOUD_TLS);
    if (flag->value > 1) flag->valid = false;
  }
  for (unsigned i = 0; i < STATUS_COUNTERS; i++)
    view.counters[i] = read_number(table, STATUS_COUNTER_KEYS[i]);
  view.delivery = read_delivery(table);
  return view;
}

/* The daemon runs when the file names a live process of the daemon. */
bool relay_running(const kv_table *table, const status_view &view) {
  return table != nullptr && view.pid.valid && view.pid.value > 0 && view.pid.value <= INT32_MAX &&
         status_pid_is_daemon(static_cast<long>(view.pid.value));
}

/* Reads the status file without following a link and without waiting on a FIFO or a
 * device: only a regular file, at most capacity bytes; of a longer file only its whole
 * lines, so that no value is read cut short. false when there is no such file. */
bool read_status_file(const char *path, char *text, size_t capacity, size_t *length) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  size_t used = 0;
  while (ok && used < capacity) {
    const ssize_t n = read(fd, text + used, capacity - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    used += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok) return false;
  if (used == capacity && static_cast<uint64_t>(info.st_size) > capacity) {
    while (used > 0 && text[used - 1] != '\n') used--;
  }
  *length = used;
  return true;
}

/* ---- the page ---- */

/* Cells hold the escaped text in a builder over fixed storage. */
struct value_cell {
  char storage[VALUE_CAPACITY] = {};
  html_buf buf{VALUE_CAPACITY, 0, 0, storage};
  /* Fixed markup, unchanged. */
  void add(const char *markup) {
    html_buf_append(&buf, markup, static_cast<uint32_t>(std::strlen(markup)));
    buf.buffer[buf.length] = '\0';
  }
  void add_escaped(const char *text) { html_buf_escape(&buf, text); }
};

void row(const char *label, const char *value_html) {
  ui_label(label);
  w_label(value_html);
}

void section(const char *title) {
  grid_begin(2, 0);
  block_header(title);
  grid_begin(2, LABEL_WIDTH);
}

void number_row(const char *label, const status_number &number) {
  char text[32] = "unknown";
  if (number.valid) std::snprintf(text, sizeof text, "%" PRId64, number.value);
  row(label, text);
}

/* A time row; zero_text for 0 (never). */
void time_row(const char *label, const status_number &time, const char *zero_text, int64_t now) {
  char text[STATUS_TIME_CAPACITY] = "unknown";
  if (time.valid && time.value == 0 && zero_text != nullptr) {
    std::snprintf(text, sizeof text, "%s", zero_text);
  } else if (time.valid && status_time_text(text, sizeof text, time.value, now) == 0) {
    std::snprintf(text, sizeof text, "unknown");
  }
  row(label, text);
}

void text_row(const char *label, const char *text) {
  value_cell cell;
  cell.add_escaped(text != nullptr ? text : "unknown");
  row(label, cell.storage);
}

void state_row(const char *state) {
  const char *html = "unknown";
  if (state == STATUS_UP) html = STATE_UP_HTML;
  if (state == STATUS_DOWN) html = STATE_DOWN_HTML;
  if (state == STATUS_CONNECTING) html = STATE_CONNECTING_HTML;
  if (state == STATUS_WAITS_FOR_CLOUD) html = STATE_WAITS_HTML;
  row("State", html);
}

/* The first rows of a side: what it is, since when, where. */
void side_head(const char *title, const side_view &side, int64_t now) {
  section(title);
  state_row(side.state);
  time_row("Since", side.since, nullptr, now);
  text_row("Broker", side.uri);
}

/* How the cloud is reached; a token sent over plain TCP is pointed out. */
void connection_rows(const status_view &view) {
  const char *connection = "unknown";
  if (view.cloud_tls.valid) connection = view.cloud_tls.value == 1 ? "TLS" : "plain";
  row("Connection", connection);
  if (view.cloud_tls.valid && view.cloud_tls.value == 0 && view.cloud_mode.valid &&
      view.cloud_mode.value == 1)
    row("", TOKEN_WARNING_HTML); /* under the connection, in the section's one table */
}

/* The last failure, why, and, while down, when the next attempt comes. */
void side_failure(const side_view &side, int64_t now) {
  time_row("Last failure", side.failed_at, "none", now);
  value_cell reason;
  if (side.failed_at.valid && side.failed_at.value == 0) {
    reason.add("-");
  } else if (side.failed_rc.valid && side.failed_rc.value == 0) {
    reason.add_escaped(side.failed_text != nullptr ? side.failed_text : "unknown"); /* a lost link */
  } else {
    char code[32] = "unknown";
    if (side.failed_rc.valid) std::snprintf(code, sizeof code, "%" PRId64, side.failed_rc.value);
    reason.add("RC ");
    reason.add(code);
    reason.add(": ");
    reason.add_escaped(side.failed_text != nullptr ? side.failed_text : "unknown");
  }
  row("Reason", reason.storage);
  if (side.state != STATUS_DOWN) return;
  char next[STATUS_TIME_CAPACITY] = "unknown";
  if (side.next_attempt.valid && side.next_attempt.value != 0 &&
      status_next_text(next, sizeof next, side.next_attempt.value, now) == 0)
    std::snprintf(next, sizeof next, "unknown");
  row("Next attempt", next);
}

void spool_row(const status_number &spool_errno) {
  char text[64] = "unknown";
  if (spool_errno.valid && spool_errno.value == 0) std::snprintf(text, sizeof text, "usable");
  if (spool_errno.valid && spool_errno.value == -1) std::snprintf(text, sizeof text, "not in use");
  if (spool_errno.valid && spool_errno.value > 0)
    std::snprintf(text, sizeof text, "cannot be used (errno %" PRId64 ")", spool_errno.value);
  row("Spool", text);
}

void delivery_rows(const delivery_view &d, int64_t now) {
  section("Delivery");
  row("Mode", "at least once");
  number_row("Awaiting acknowledgement", d.awaiting);
  number_row("Resent", d.resent);
  char held[STATUS_TIME_CAPACITY] = "unknown";
  if (d.gateway_held_ms.valid) status_duration_text(held, sizeof held, d.gateway_held_ms.value);
  row("Gateway held", held);
  for (unsigned i = 0; i < STATUS_DROP_REASONS; i++) number_row(DROP_LABELS[i], d.dropped[i]);
  spool_row(d.spool_errno);
  number_row("Documents in the spool", d.spool_documents);
  number_row("Bytes in the spool", d.spool_bytes);
  time_row("Oldest waiting", d.oldest_waiting, "none", now);
}

void refresh_button() {
  grid_break();
  grid_begin(1, 0);
  next_cell_id("refresh");
  w_link("status.cgi", REFRESH_LINK);
  page_end(REFRESH_SCRIPT);
}

void status_html(const kv_table *table, bool running) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  ui_page_header(TITLE);
  ui_page_begin(TITLE, "Relay Status", nullptr, 0, nullptr, module_menu);
  if (!running) {
    grid_begin(1, 0);
    ui_label("The relay is not running.");
    ui_link("restart.cgi", "Restart module");
  } else {
    const status_view view = read_view(table);
    section("Relay");
    number_row("Process", view.pid);
    time_row("Started", view.started, nullptr, now);
    side_head("NIMBA Cloud", view.cloud, now);
    connection_rows(view);
    side_failure(view.cloud, now);
    side_head("IoT Gateway", view.gateway, now);
    side_failure(view.gateway, now);
    section("Messages since start");
    for (unsigned i = 0; i < STATUS_COUNTERS; i++) {
      const bool sum = i == STATUS_DROPPED && view.delivery.shown;
      number_row(sum ? DROPPED_SUM_LABEL : COUNTER_LABELS[i], view.counters[i]);
    }
    time_row("Last relayed", view.last_relayed, "none yet", now);
    if (view.delivery.shown) delivery_rows(view.delivery, now);
  }
  refresh_button();
  page_close();
}

/* ---- the JSON form ---- */

/* Length of the well-formed UTF-8 sequence at p: no overlong form, no surrogate, nothing
 * above U+10FFFF; 0 when p starts none. Reads no further than the text's NUL. */
unsigned utf8_sequence(const unsigned char *p) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  unsigned length = 0;
  unsigned char low = 0x80, high = 0xBF; /* the range of the second byte */
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  for (unsigned i = 2; i < length; i++)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}

void json_number(const status_number &number) {
  if (number.valid) {
    std::fprintf(html_out(), "%" PRId64, number.value);
  } else {
    std::fputs("null", html_out());
  }
}

/* A time: null when never (0) or unknown. */
void json_time(const status_number &time) {
  json_number(status_number{time.value, time.valid && time.value != 0});
}

/* A flag of the file (0 or 1) as false or true. */
void json_flag(const status_number &flag) {
  std::fputs(!flag.valid ? "null" : flag.value == 1 ? "true" : "false", html_out());
}

/* One side; the cloud's (view given) with how it is reached. */
void json_side(const side_view &side, const status_view *cloud) {
  FILE *out = html_out();
  std::fputs("{\"state\":", out);
  status_json_text(side.state);
  std::fputs(",\"since\":", out);
  json_number(side.since);
  std::fputs(",\"uri\":", out);
  status_json_text(side.uri);
  if (cloud != nullptr) {
    std::fputs(",\"registered\":", out);
    json_flag(cloud->cloud_mode);
    std::fputs(",\"tls\":", out);
    json_flag(cloud->cloud_tls);
  }
  std::fputs(",\"last_failure\":", out);
  if (side.failed_at.valid && side.failed_at.value == 0) {
    std::fputs("null", out);
  } else {
    std::fputs("{\"time\":", out);
    json_time(side.failed_at);
    std::fputs(",\"rc\":", out); /* null for a lost link, which has none */
    json_number(status_number{side.failed_rc.value, side.failed_rc.valid && side.failed_rc.value != 0});
    std::fputs(",\"text\":", out);
    status_json_text(side.failed_text);
    std::fputs("}", out);
  }
  std::fputs(",\"next_attempt\":", out);
  json_time(side.state == STATUS_DOWN ? side.next_attempt : status_number{0, false});
  std::fputs("}", out);
}

void json_delivery(const delivery_view &d) {
  FILE *out = html_out();
  std::fputs("{\"qos\":1,\"awaiting_puback\":", out);
  json_number(d.awaiting);
  std::fputs(",\"resent\":", out);
  json_number(d.resent);
  std::fputs(",\"gateway_held_ms\":", out);
  json_number(d.gateway_held_ms);
  std::fputs(",\"dropped\":{", out);
  for (unsigned i = 0; i < STATUS_DROP_REASONS; i++) {
    std::fprintf(out, "%s\"%s\":", i > 0 ? "," : "", DROP_JSON_NAMES[i]);
    json_number(d.dropped[i]);
  }
  std::fputs("},\"spool\":{\"documents\":", out);
  json_number(d.spool_documents);
  std::fputs(",\"bytes\":", out);
  json_number(d.spool_bytes);
  std::fputs(",\"errno\":", out);
  json_number(d.spool_errno);
  std::fputs("},\"oldest_waiting\":", out);
  json_time(d.oldest_waiting);
  std::fputs("}", out);
}

void status_json(const kv_table *table, bool running) {
  FILE *out = html_out();
  std::fputs(JSON_HEADER, out);
  if (!running) {
    std::fputs("{\"running\":false}\n", out);
    html_flush();
    return;
  }
  const status_view view = read_view(table);
  std::fputs("{\"running\":true,\"pid\":", out);
  json_number(view.pid);
  std::fputs(",\"started\":", out);
  json_number(view.started);
  std::fputs(",\"cloud\":", out);
  json_side(view.cloud, &view);
  std::fputs(",\"gateway\":", out);
  json_side(view.gateway, nullptr);
  std::fputs(",\"messages\":{", out);
  for (unsigned i = 0; i < STATUS_COUNTERS; i++) {
    std::fprintf(out, "%s\"%s\":", i > 0 ? "," : "", COUNTER_JSON_NAMES[i]);
    json_number(view.counters[i]);
  }
  std::fputs(",\"last_relayed\":", out);
  json_time(view.last_relayed);
  std::fputs("}", out);
  if (view.delivery.shown) {
    std::fputs(",\"delivery\":", out);
    json_delivery(view.delivery);
  }
  std::fputs("}\n", out);
  html_flush();
}

/* then as "YYYY-MM-DD hh:mm:ss" in local time; its length, 0 (empty text) when it cannot
 * be shown or does not fit. */
unsigned local_date_time(char *out, unsigned capacity, int64_t then) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = '\0';
  const time_t when = static_cast<time_t>(then);
  struct tm local;
  if (static_cast<int64_t>(when) != then || localtime_r(&when, &local) == nullptr) return 0;
  const size_t length = std::strftime(out, capacity, "%Y-%m-%d %H:%M:%S", &local);
  if (length == 0) out[0] = '\0';
  return static_cast<unsigned>(length);
}

/* format=json in the query of a GET; nothing else is read (no body, no upload). */
bool json_requested() {
  const char *method = std::getenv("REQUEST_METHOD");
  const char *type = std::getenv("CONTENT_TYPE");
  if (method == nullptr || std::strcmp(method, "GET") != 0) return false;
  if (type != nullptr && std::strstr(type, "multipart/form-data") != nullptr) return false;
  cgi_read_request();
  char *format = nullptr;
  const bool json = cgi_find_field("format", &format) == 1 && std::strcmp(format, "json") == 0;
  std::free(format);
  cgi_release_request();
  return json;
}

} // namespace

unsigned status_age_text(char *out, unsigned capacity, int64_t then, int64_t now) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = '\0';
  if (then > now) return 0;
  const int64_t age = now - then;
  struct unit {
    int64_t seconds;
    const char *name;
  };
  static constexpr unit UNITS[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  const unit *chosen = &UNITS[3];
  for (const unit &u : UNITS) {
    if (age >= u.seconds) {
      chosen = &u;
      break;
    }
  }
  const int64_t count = age / chosen->seconds;
  const int n =
      std::snprintf(out, capacity, "%" PRId64 " %s%s ago", count, chosen->name, count == 1 ? "" : "s");
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<unsigned>(n) < capacity ? static_cast<unsigned>(n) : capacity - 1;
}

unsigned status_next_text(char *out, unsigned capacity, int64_t then, int64_t now) {
  const unsigned length = local_date_time(out, capacity, then);
  if (length == 0) return 0;
  const int64_t wait = then - now;
  int n = 0;
  if (wait > 0) {
    n = std::snprintf(
        out + length, capacity - length, " (in %" PRId64 " second%s)", wait, wait == 1 ? "" : "s");
  } else {
    n = std::snprintf(out + length, capacity - length, " (now)");
  }
  if (n < 0) return length;
  return static_cast<unsigned>(n) < capacity - length ? length + static_cast<unsigned>(n) : capacity - 1;
}

unsigned status_duration_text(char *out, unsigned capacity, int64_t ms) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = '\0';
  if (ms < 0) return 0;
  struct unit {
    int64_t ms;
    const char *name;
  };
  static constexpr unit UNITS[] = {{3600000, "hour"}, {60000, "minute"}, {1000, "second"}};
  int n = 0;
  if (ms < 1000) {
    n = std::snprintf(out, capacity, "%" PRId64 " ms", ms);
  } else {
    const unit *big = &UNITS[2];
    for (const unit &u : UNITS) {
      if (ms >= u.ms) {
        big = &u;
        break;
      }
    }
    const int64_t count = ms / big->ms;
    n = std::snprintf(out, capacity, "%" PRId64 " %s%s", count, big->name, count == 1 ? "" : "s");
    if (big != &UNITS[2] && n > 0 && static_cast<unsigned>(n) < capacity) {
      const unit *small = big + 1;
      const int64_t rest = ms % big->ms / small->ms;
      const int more =
          std::snprintf(out + n, capacity - n, " %" PRId64 " %s%s", rest, small->name, rest == 1 ? "" : "s");
      n = more < 0 ? more : n + more;
    }
  }
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<unsigned>(n) < capacity ? static_cast<unsigned>(n) : capacity - 1;
}

unsigned status_time_text(char *out, unsigned capacity, int64_t then, int64_t now) {
  size_t length = local_date_time(out, capacity, then);
  if (length == 0) return 0;
  char age[STATUS_TIME_CAPACITY];
  if (status_age_text(age, sizeof age, then, now) > 0) {
    const int n = std::snprintf(out + length, capacity - length, " (%s)", age);
    if (n > 0)
      length += static_cast<size_t>(n) < capacity - length ? static_cast<size_t>(n) : capacity - length - 1;
  }
  return static_cast<unsigned>(length);
}

int status_pid_is_daemon(long pid) {
  if (pid <= 0) return 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/cmdline", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char cmdline[CMDLINE_CAPACITY];
  const ssize_t n = read(fd, cmdline, sizeof cmdline - 1);
  close(fd);
  if (n <= 0) return 0; /* gone, or a zombie */
  cmdline[n] = '\0';    /* the first argument ends at its own NUL */
  return std::strcmp(log_base_name(cmdline), DAEMON_NAME) == 0 ? 1 : 0;
}

void status_json_text(const char *text) {
  FILE *out = html_out();
  if (text == nullptr) {
    std::fputs("null", out);
    return;
  }
  std::fputc('"', out);
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0';) {
    const unsigned length = utf8_sequence(p);
    if (length == 0) {
      std::fputs("\\uFFFD", out);
      p++;
    } else if (length > 1) {
      std::fwrite(p, 1, length, out);
      p += length;
    } else {
      if (*p == '"' || *p == '\\') {
        std::fputc('\\', out);
        std::fputc(*p, out);
      } else if (*p < 0x20 || *p == 0x7F) {
        std::fprintf(out, "\\u%04X", *p);
      } else {
        std::fputc(*p, out);
      }
      p++;
    }
  }
  std::fputc('"', out);
}

void cgi_status() {
  std::array<char, STATUS_FILE_CAPACITY> text;
  size_t length = 0;
  kv_ptr table(read_status_file(status_file_path(), text.data(), text.size(), &length)
                   ? kv_parse_text(text.data(), length)
                   : nullptr);
  const status_view view = table ? read_view(table.get()) : status_view{};
  const bool running = relay_running(table.get(), view);
  if (json_requested()) {
    status_json(table.get(), running);
  } else {
    status_html(table.get(), running);
  }
}
