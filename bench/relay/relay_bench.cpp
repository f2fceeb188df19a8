#include "relay_bench.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr uint32_t NAME_CAPACITY = 128;
constexpr uint32_t MAX_MEMBERS = 4;
constexpr char CLOUD_TOPIC[] = "iot-2/evt/status/fmt/json";

// Length of the message without padding: {"seq":N,"t":T,"pad":""}.
uint32_t base_length(uint64_t seq, int64_t sent_us) {
  char tmp[64];
  int n =
      std::snprintf(tmp, sizeof tmp, "{\"seq\":%" PRIu64 ",\"t\":%" PRId64 ",\"pad\":\"\"}", seq, sent_us);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

// The small part of JSON the load messages use: objects, strings, integers.
struct cursor {
  const char *p;
  const char *end;
};

void skip_ws(cursor &c) {
  while (c.p < c.end && (*c.p == ' ' || *c.p == '\t' || *c.p == '\n' || *c.p == '\r')) c.p++;
}

int take(cursor &c, char ch) {
  skip_ws(c);
  if (c.p >= c.end || *c.p != ch) return 0;
  c.p++;
  return 1;
}

// Reads a string into out (decoding the simple escapes); 0 when malformed or too long.
int read_string(cursor &c, char *out, uint32_t capacity, uint32_t *length) {
  if (!take(c, '"')) return 0;
  uint32_t n = 0;
  while (c.p < c.end && *c.p != '"') {
    char ch = *c.p++;
    if (static_cast<unsigned char>(ch) < 0x20) return 0;
    if (ch == '\\') {
      if (c.p >= c.end) return 0;
      char e = *c.p++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          ch = e;
          break;
        case 'n':
          ch = '\n';
          break;
        case 't':
          ch = '\t';
          break;
        default:
          return 0; // nothing else occurs in the load messages
      }
    }
    if (out) {
      if (n + 1 >= capacity) return 0;
      out[n] = ch;
    }
    n++;
  }
  if (c.p >= c.end) return 0;
  c.p++;
  if (out) out[n] = '\0';
  *length = n;
  return 1;
}

int read_integer(cursor &c, int64_t *value) {
  skip_ws(c);
  int negative = 0;
  if (c.p < c.end && *c.p == '-') {
    negative = 1;
    c.p++;
  }
  if (c.p >= c.end || *c.p < '0' || *c.p > '9') return 0;
  int64_t v = 0;
  int digits = 0;
  while (c.p < c.end && *c.p >= '0' && *c.p <= '9') {
    if (++digits > 18) return 0;
    v = v * 10 + (*c.p++ - '0');
  }
  // A fraction or exponent means the number was not passed through as sent.
  if (c.p < c.end && (*c.p == '.' || *c.p == 'e' || *c.p == 'E')) return 0;
  *value = negative ? -v : v;
  return 1;
}

struct member {
  char name[NAME_CAPACITY];
  uint32_t name_length;
  int is_string;
  int64_t number;
  const char *text; // string value, raw (the padding has no escapes)
  uint32_t text_length;
};

// Reads an object of flat members (integers or strings); 0 when anything else is found.
int read_flat_object(cursor &c, member *members, uint32_t *count) {
  *count = 0;
  if (!take(c, '{')) return 0;
  if (take(c, '}')) return 1;
  for (;;) {
    if (*count >= MAX_MEMBERS) return 0;
    member &m = members[*count];
    if (!read_string(c, m.name, sizeof m.name, &m.name_length)) return 0;
    if (!take(c, ':')) return 0;
    skip_ws(c);
    if (c.p < c.end && *c.p == '"') {
      m.is_string = 1;
      m.text = c.p + 1;
      if (!read_string(c, nullptr, 0, &m.text_length)) return 0;
      // Raw length equals decoded length only without escapes; the padding has none.
      if (static_cast<uint32_t>(c.p - 1 - m.text) != m.text_length) return 0;
    } else {
      m.is_string = 0;
      if (!read_integer(c, &m.number)) return 0;
    }
    (*count)++;
    if (take(c, ',')) continue;
    return take(c, '}');
  }
}

const member *find_member(const member *members, uint32_t count, std::string_view name) {
  for (uint32_t i = 0; i < count; i++)
    if (std::string_view(members[i].name, members[i].name_length) == name) return &members[i];
  return nullptr;
}

} // namespace

uint32_t bench_topic(uint64_t seq, uint32_t topics, char *out, uint32_t capacity) {
  if (topics == 0) topics = 1;
  int n = std::snprintf(out, capacity, "QZ/node%" PRIu64 "/load", seq % topics);
  if (n <= 0 || static_cast<uint32_t>(n) >= capacity) return 0;
  return static_cast<uint32_t>(n);
}

int bench_message_make(bench_message *m, uint64_t seq, int64_t sent_us, uint32_t size, uint32_t topics) {
  m->topic_length = bench_topic(seq, topics, m->topic, sizeof m->topic);
  if (m->topic_length == 0) return 0;
  uint32_t base = base_length(seq, sent_us);
  uint32_t pad = size > base ? size - base : 0;
  if (base == 0 || base + pad >= sizeof m->payload) return 0;
  int head = std::snprintf(
      m->payload, sizeof m->payload, "{\"seq\":%" PRIu64 ",\"t\":%" PRId64 ",\"pad\":\"", seq, sent_us);
  if (head <= 0 || static_cast<uint32_t>(head) + pad + 2 >= sizeof m->payload) return 0;
  std::memset(m->payload + head, 'x', pad);
  std::memcpy(m->payload + head + pad, "\"}", 3);
  m->payload_length = static_cast<uint32_t>(head) + pad + 2;
  return 1;
}

bench_check bench_document_check(const char *doc, size_t length, const char *topic, bench_shape shape,
                                 uint32_t size, uint32_t topics, uint64_t count) {
  bench_check bad{0, 0, 0};
  cursor c{doc, doc + length};
  if (shape == BENCH_RELAYED) {
    if (!topic || std::strcmp(topic, CLOUD_TOPIC) != 0) return bad;
    char name[NAME_CAPACITY];
    uint32_t name_length = 0;
    if (!take(c, '{') || !read_string(c, name, sizeof name, &name_length) ||
        std::string_view(name, name_length) != "d" || !take(c, ':'))
      return bad;
  }
  member members[MAX_MEMBERS];
  uint32_t n = 0;
  if (!read_flat_object(c, members, &n) || n != 3) return bad;
  if (shape == BENCH_RELAYED && !take(c, '}')) return bad;
  skip_ws(c);
  if (c.p != c.end) return bad;

  // The sequence number tells which topic the message was sent on, hence the prefix.
  const member *seq_member = nullptr;
  for (uint32_t i = 0; i < n; i++) {
    std::string_view name(members[i].name, members[i].name_length);
    if (name.size() >= 3 && name.substr(name.size() - 3) == "seq") seq_member = &members[i];
  }
  if (!seq_member || seq_member->is_string || seq_member->number < 0 ||
      static_cast<uint64_t>(seq_member->number) >= count)
    return bad;
  uint64_t seq = static_cast<uint64_t>(seq_member->number);

  char sent_topic[BENCH_TOPIC_CAPACITY];
  uint32_t sent_topic_length = bench_topic(seq, topics, sent_topic, sizeof sent_topic);
  if (sent_topic_length == 0) return bad;
  char prefix[BENCH_TOPIC_CAPACITY];
  if (shape == BENCH_RELAYED) {
    // The topic minus its first level and the '/' after it, then a '/'.
    int p = std::snprintf(prefix, sizeof prefix, "%s/", sent_topic + 3);
    if (p <= 0 || static_cast<uint32_t>(p) >= sizeof prefix) return bad;
  } else {
    if (!topic || std::strcmp(topic, sent_topic) != 0) return bad;
    prefix[0] = '\0';
  }
  char want[NAME_CAPACITY];
  auto named = [&](const char *leaf) -> const member * {
    int w = std::snprintf(want, sizeof want, "%s%s", prefix, leaf);
    if (w <= 0 || static_cast<uint32_t>(w) >= sizeof want) return nullptr;
    return find_member(members, n, std::string_view(want, static_cast<size_t>(w)));
  };
  if (named("seq") != seq_member) return bad;
  const member *t = named("t");
  const member *pad = named("pad");
  if (!t || t->is_string || !pad || !pad->is_string) return bad;
  for (uint32_t i = 0; i < pad->text_length; i++)
    if (pad->text[i] != 'x') return bad;
  uint32_t base = base_length(seq, t->number);
  uint32_t want_pad = size > base ? size - base : 0;
  if (pad->text_length != want_pad) return bad;
  return bench_check{1, seq, t->number};
}

int64_t bench_percentile(std::vector<int64_t> &v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  if (q <= 0) return v.front();
  if (q >= 1) return v.back();
  size_t rank = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
  if (rank == 0) rank = 1;
  if (rank > v.size()) rank = v.size();
  return v[rank - 1];
}
