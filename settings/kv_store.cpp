#include "kv_store.h"

#include "io.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

/* A line as read (raw, written back unchanged unless its key is set) and, for an entry,
 * its trimmed key and value. */
struct kv_line {
  std::string raw;
  std::string key;
  std::string value;
  bool entry = false;
};

struct kv_table {
  std::vector<kv_line> lines;
};

namespace {

struct file_closer {
  void operator()(FILE *f) const { std::fclose(f); }
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

kv_line parse_line(std::string_view raw) {
  kv_line line;
  line.raw.assign(raw);
  std::string_view text = raw;
  /* A CR LF line end is a line end, not part of the value. */
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const std::string_view body = trim(text);
  if (body.empty() || body.front() == '#') return line;
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return line;
  line.key.assign(trim(text.substr(0, eq)));
  /* A reader sees the value up to a NUL byte, so the blanks before it are trimmed too. */
  std::string_view value = text.substr(eq + 1);
  line.value.assign(trim(value.substr(0, value.find('\0'))));
  line.entry = true;
  return line;
}

/* The last entry of the key: a repeated key reads as its last value. */
const kv_line *find_last(const kv_table *table, const char *key) {
  if (!table || !key) return nullptr;
  const kv_line *found = nullptr;
  for (const kv_line &line : table->lines)
    if (line.entry && line.key == key) found = &line;
  return found;
}

bool storable(const char *text) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p)
    if (*p < 0x20 || *p == 0x7F) return false;
  return true;
}

} // namespace

kv_table *kv_parse_file(const char *path) {
  if (!path) return nullptr;
  std::unique_ptr<FILE, file_closer> file(std::fopen(path, "re"));
  if (!file) return nullptr;
  std::string content;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) content.append(chunk, n);
  if (std::ferror(file.get())) return nullptr;

  auto table = std::make_unique<kv_table>();
  std::string_view rest = content;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    table->lines.push_back(parse_line(rest.substr(0, end)));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return table.release();
}

void kv_free(kv_table *table) { delete table; }

const char *kv_get_str(const kv_table *table, const char *key) {
  const kv_line *line = find_last(table, key);
  return line ? line->value.c_str() : nullptr;
}

kv_int_result kv_get_int(const kv_table *table, const char *key, int64_t *out) {
  const kv_line *line = find_last(table, key);
  if (!line) return KV_ABSENT;
  const char *text = line->value.c_str();
  const char *digits = (*text == '+' || *text == '-') ? text + 1 : text;
  if (*digits == '\0') return KV_INVALID;
  for (const char *p = digits; *p; ++p)
    if (*p < '0' || *p > '9') return KV_INVALID;
  errno = 0;
  char *end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno == ERANGE || *end != '\0') return KV_INVALID;
  if (out) *out = value;
  return KV_OK;
}

int kv_put_str(kv_table *table, const char *key, const char *value) {
  if (!table || !key || !value || !storable(key) || !storable(value)) return 0;
  std::string raw = std::string(key) + "=" + value;
  bool replaced = false;
  auto &lines = table->lines;
  for (auto it = lines.begin(); it != lines.end();) {
    if (it->entry && it->key == key) {
      if (replaced) {
        it = lines.erase(it);
        continue;
      }
      it->raw = raw;
      it->value = value;
      replaced = true;
    }
    ++it;
  }
  if (!replaced) {
    kv_line line;
    line.raw = std::move(raw);
    line.key = key;
    line.value = value;
    line.entry = true;
    lines.push_back(std::move(line));
  }
  return 1;
}

int kv_put_int(kv_table *table, const char *key, int64_t value) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%" PRId64, value);
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) return 0;
  return kv_put_str(table, key, text);
}

int kv_write_fd(const kv_table *table, int fd) {
  if (!table) return 0;
  std::string out;
  for (const kv_line &line : table->lines) {
    out += line.raw;
    out += '\n';
  }
  return write_all(fd, out.data(), out.size()) ? 1 : 0;
}
