/* The status record and its file. */
#include "status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "daemon/mqtt/codec.h"
#include "settings/io.h"
#include "settings/log.h"

namespace {

/* Bounded text of the file, always terminated; cut stays set once something did not fit.
 * Built without printf: the file is written every second under load. */
struct status_text {
  char *out;
  unsigned capacity, length;
  bool cut;
};

void add_bytes(status_text *t, const char *bytes, unsigned count) {
  if (t->cut || t->capacity - t->length <= count) {
    t->cut = true;
    return;
  }
  std::memcpy(t->out + t->length, bytes, count);
  t->length += count;
  t->out[t->length] = '\0';
}

void add_key(status_text *t, const char *key) {
  add_bytes(t, key, static_cast<unsigned>(std::strlen(key)));
  add_bytes(t, "=", 1);
}

/* KEY=text, every byte a line could not carry replaced by '?'. */
void add_text(status_text *t, const char *key, const char *text) {
  add_key(t, key);
  for (const char *p = text != nullptr ? text : ""; *p != '\0' && !t->cut; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const char kept = c < 0x20 || c == 0x7F ? '?' : *p;
    add_bytes(t, &kept, 1);
  }
  add_bytes(t, "\n", 1);
}

/* KEY=decimal number. */
void add_number(status_text *t, const char *key, int64_t value) {
  char digits[24];
  unsigned n = 0;
  uint64_t rest = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    digits[sizeof digits - 1 - n++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) digits[sizeof digits - 1 - n++] = '-';
  add_key(t, key);
  add_bytes(t, digits + sizeof digits - n, n);
  add_bytes(t, "\n", 1);
}

/* A monotonic time as wall-clock seconds, 0 staying 0 (never). */
struct wall_clock {
  int64_t offset_ms;
  int64_t at(long long ms) const {
    if (ms == 0) return 0;
    const int64_t at_ms = offset_ms + ms;
    return at_ms >= 0 ? at_ms / 1000 : 0;
  }
};

/* A wall clock that moved this far against the monotonic one was set. */
constexpr int64_t WALL_CLOCK_SET_MS = 1000;

void add_side(status_text *t, const status_side_keys &keys, const status_side &side,
              const wall_clock &clock) {
  add_text(t, keys.state, side.state);
  add_number(t, keys.since, clock.at(side.since_ms));
  add_text(t, keys.uri, side.uri);
  add_number(t, keys.failed_at, clock.at(side.failed_at_ms));
  add_number(t, keys.failed_rc, side.failed_at_ms != 0 ? side.failed_rc : 0);
  add_text(t, keys.failed_text, side.failed_at_ms != 0 ? side.failed_text : "");
}

/* A name the daemon made itself and left behind (it was killed between create and
 * rename): a plain file of this user with no other link. Anything else was put there. */
bool own_leftover(const char *temp) {
  struct stat st {};
  return lstat(temp, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

/* Creates the temporary file exclusively: never opens what is already there (a FIFO would
 * block the daemon, a link would lead the write elsewhere). -1 with errno on failure. */
int create_temp(const char *temp) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(temp, flags, 0644);
  if (fd < 0 && errno == EEXIST && own_leftover(temp) && unlink(temp) == 0) fd = open(temp, flags, 0644);
  return fd;
}

/* The whole text into the temporary file, which is then renamed over the status file.
 * 0 with errno set on failure; a temporary file it made is then gone. */
int replace_file(const char *path, long pid, const char *text, unsigned length) {
  char temp[STATUS_PATH_CAPACITY];
  const int n = std::snprintf(temp, sizeof temp, "%s.tmp.%ld", path, pid);
  if (n < 0 || static_cast<unsigned>(n) >= sizeof temp) {
    errno = ENAMETOOLONG;
    return 0;
  }
  const int fd = create_temp(temp);
  if (fd < 0) return 0;
  /* Readable by the web server's user whatever the umask. */
  bool ok = fchmod(fd, 0644) == 0 && write_all(fd, text, length);
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp, path) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp);
    errno = saved;
  }
  return ok ? 1 : 0;
}

} // namespace

int64_t status_wall_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void status_init(relay_status *s, const char *path, long pid, long long now_ms, const char *cloud_uri,
                 const char *gateway_uri) {
  std::memset(s, 0, sizeof *s);
  s->path = path;
  s->pid = pid;
  s->started_ms = now_ms;
  s->wall_offset_ms = status_wall_ms() - now_ms;
  s->cloud = status_side{STATUS_DOWN, now_ms, cloud_uri, 0, 0, ""};
  s->gateway = status_side{STATUS_DOWN, now_ms, gateway_uri, 0, 0, ""};

  s->dirty = true;
}

void status_side_set(relay_status *s, status_side *side, const char *state, long long now_ms) {
  if (std::strcmp(side->state, state) == 0) return;
  side->state = state;
  side->since_ms = now_ms;
  s->dirty = true;
}

void status_side_failed(relay_status *s, status_side *side, int rc, const char *text, long long now_ms) {
  side->state = STATUS_DOWN;
  side->since_ms = now_ms;
  side->failed_at_ms = now_ms;
  side->failed_rc = rc;
  std::snprintf(side->failed_text, sizeof side->failed_text, "%s", text != nullptr ? text : "");
  s->dirty = true;
}

void status_count(relay_status *s, status_counter counter, uint64_t n) {
  if (n == 0) return;
  s->counters[counter] += n;
  s->dirty = true;
}

void status_lost(relay_status *s, uint64_t n) {
  uint64_t &published = s->counters[STATUS_PUBLISHED];
  published -= n < published ? n : published;
  status_count(s, STATUS_DROPPED, n);
}

void status_dropped(relay_status *s, status_drop_reason reason, uint64_t n) {
  if (n == 0) return;
  s->delivery.dropped[reason] += n;
  status_count(s, STATUS_DROPPED, n);
}

void status_delivery_set(relay_status *s, const status_delivery &now) {
  status_delivery &d = s->delivery;
  if (d.at_least_once == now.at_least_once && d.resent == now.resent &&
      d.gateway_held_ms == now.gateway_held_ms && d.awaiting == now.awaiting &&
      d.spool_documents == now.spool_documents && d.spool_bytes == now.spool_bytes &&
      d.spool_errno == now.spool_errno && d.oldest_waiting_ms == now.oldest_waiting_ms)
    return;
  d.at_least_once = now.at_least_once;
  d.resent = now.resent;
  d.gateway_held_ms = now.gateway_held_ms;
  d.awaiting = now.awaiting;
  d.spool_documents = now.spool_documents;
  d.spool_bytes = now.spool_bytes;
  d.spool_errno = now.spool_errno;
  d.oldest_waiting_ms = now.oldest_waiting_ms;
  s->dirty = true;
}

const char *status_connect_text(int rc, bool cloud) {
  switch (rc) {
    case -1:
      return "no connection (refused, unreachable, TLS or time-out)";
    case 1:
      return "refused: protocol version not accepted";
    case 2:
      return "refused: client identifier rejected";
    case 3:
      return "refused: server unavailable";
    case 4:
      return cloud ? "bad user name or password: check the token" : "bad user name or password";
    case 5:
      return cloud ? "not authorised: check the organisation and the token" : "not authorised";
    default:
      return "refused (unknown return code)";
  }
}

const char *status_subscribe_text(int rc) {
  return rc == MQTT_SUBACK_FAILURE ? "subscription to QZ/# refused" : "subscription to QZ/# not answered";
}

long long status_due_ms(const relay_status *s) {
  if (!s->dirty) return 0;
  return s->written_ms == 0 ? 1 : s->written_ms + STATUS_WRITE_INTERVAL_MS;
}

void status_write_due(relay_status *s, unsigned waiting, long long now_ms) {
  if (!s->dirty || (s->written_ms != 0 && now_ms < s->written_ms + STATUS_WRITE_INTERVAL_MS)) return;
  status_write(s, waiting, now_ms, status_wall_ms());
}

unsigned status_format(const relay_status *s, unsigned waiting, char *out, unsigned capacity) {
  if (out == nullptr || capacity == 0) return 0;
  const wall_clock clock{s->wall_offset_ms};
  status_text t{out, capacity, 0, false};
  add_number(&t, STATUS_KEY_PID, s->pid);
  add_number(&t, STATUS_KEY_STARTED, clock.at(s->started_ms));
  add_side(&t, STATUS_CLOUD_KEYS, s->cloud, clock);
  add_side(&t, STATUS_GATEWAY_KEYS, s->gateway, clock);
  for (unsigned i = 0; i < STATUS_COUNTERS; i++) {
    const uint64_t value = i == STATUS_WAITING ? waiting : s->counters[i];
    add_number(&t, STATUS_COUNTER_KEYS[i], value <= INT64_MAX ? static_cast<int64_t>(value) : INT64_MAX);
  }
  add_number(&t, STATUS_KEY_LAST_RELAYED, clock.at(s->last_relayed_ms));
  const status_delivery &d = s->delivery;
  if (d.at_least_once) {
    add_number(&t, STATUS_KEY_QOS, 1);
    add_number(&t, STATUS_KEY_AWAITING_PUBACK, d.awaiting);
    add_number(&t, STATUS_KEY_RESENT, static_cast<int64_t>(d.resent));
    add_number(&t, STATUS_KEY_GATEWAY_HELD_MS, static_cast<int64_t>(d.gateway_held_ms));
    for (unsigned i = 0; i < STATUS_DROP_REASONS; i++)
      add_number(&t, STATUS_DROP_KEYS[i], static_cast<int64_t>(d.dropped[i]));
    add_number(&t, STATUS_KEY_SPOOL_DOCUMENTS, static_cast<int64_t>(d.spool_documents));
    add_number(&t, STATUS_KEY_SPOOL_BYTES, static_cast<int64_t>(d.spool_bytes));
    add_number(&t, STATUS_KEY_SPOOL_ERRNO, d.spool_errno);
    add_number(&t, STATUS_KEY_OLDEST_WAITING, d.oldest_waiting_ms / 1000);
  }
  if (t.cut) {
    out[0] = '\0';
    return 0;
  }
  return t.length;
}

int status_write(relay_status *s, unsigned waiting, long long now_ms, int64_t wall_ms) {
  s->dirty = false;
  s->written_ms = now_ms;
  if (s->path == nullptr || *s->path == '\0') return 0;
  /* Accurate to the write, which follows the first unwritten document within a second. */
  if (s->counters[STATUS_PUBLISHED] > s->published_written) s->last_relayed_ms = now_ms;
  s->published_written = s->counters[STATUS_PUBLISHED];
  const int64_t offset = wall_ms - now_ms;
  if (offset > s->wall_offset_ms + WALL_CLOCK_SET_MS || offset < s->wall_offset_ms - WALL_CLOCK_SET_MS)
    s->wall_offset_ms = offset;
  char text[STATUS_TEXT_CAPACITY];
  const unsigned length = status_format(s, waiting, text, sizeof text);
  if (length > 0 && replace_file(s->path, s->pid, text, length)) {
    s->failure_logged = false;
    return 1;
  }
  if (length == 0) errno = EOVERFLOW;
  if (!s->failure_logged) {
    log_msg(LOG_WARNING, "Cannot write the status file '%s' (errno=%i).", s->path, errno);
    s->failure_logged = true;
  }
  return 0;
}

void status_remove(const relay_status *s) {
  if (s->path != nullptr && *s->path != '\0') unlink(s->path);
}
