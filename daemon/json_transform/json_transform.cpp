#include "json_transform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

namespace {

/* Reader input over exactly the payload's bytes; '\0' past the end, as for a terminated
 * text. The write half of the stream concept is only used by in-place parsing. */
struct payload_stream {
  typedef char Ch;
  const char *current, *begin, *end;
  Ch Peek() const { return current == end ? '\0' : *current; }
  Ch Take() { return current == end ? '\0' : *current++; }
  size_t Tell() const { return static_cast<size_t>(current - begin); }
  Ch *PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch *) { return 0; }
};

/* Writer output into the caller's buffer through a mem_sink. */
struct sink_stream {
  typedef char Ch;
  mem_sink *sink;
  void Put(Ch c) { mem_sink_write(&c, 1, sink); }
  void Flush() {}
};

using json_reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>>;
using json_writer = rapidjson::Writer<sink_stream, rapidjson::UTF8<>, rapidjson::UTF8<>>;

/* Numbers stay text so that they pass through unchanged; the iterative parser keeps the
 * nesting on its own stack instead of the calling thread's. */
constexpr unsigned parse_flags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag;

/* Kept across calls so that their stacks, once grown, are reused: no heap allocation per
 * message in steady state. */
mem_sink idle_sink;
sink_stream writer_stream{&idle_sink};
json_reader reader;
json_writer writer(writer_stream);

char name_buffer[JSON_NAME_CAPACITY];

/* The reader checks the UTF-8 it reads but not what \u escapes decode to: a lone low
 * surrogate comes out as ED B0..BF xx, which no valid UTF-8 contains. Strings are short:
 * a plain loop beats memchr here. */
bool has_surrogate(const char *text, size_t length) {
  for (size_t i = 0; i + 1 < length; ++i)
    if (static_cast<unsigned char>(text[i]) == 0xED && static_cast<unsigned char>(text[i + 1]) >= 0xA0)
      return true;
  return false;
}

/* Numbers are passed on as text, so the reader does not check their range. Below
 * 10^(integer digits + exponent) <= 10^300 a number is surely in range; only the rest
 * goes through strtod. The text is one valid JSON number, terminated. */
bool number_in_range(const char *text, size_t length) {
  size_t i = text[0] == '-' ? 1 : 0;
  long magnitude = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) ++magnitude;
  while (i < length && text[i] != 'e' && text[i] != 'E') ++i;
  if (i < length) {
    ++i;
    bool minus = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    long exponent = 0;
    for (; i < length; ++i)
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
    magnitude += minus ? -exponent : exponent;
  }
  return magnitude <= 300 || !std::isinf(strtod(text, nullptr));
}

bool valid_utf8(const unsigned char *text, size_t length) {
  size_t i = 0;
  while (i < length) {
    unsigned char c = text[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t tail;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      tail = 1;
    else if (c >= 0xE0 && c <= 0xEF) {
      tail = 2;
      if (c == 0xE0)
        low = 0xA0;
      else if (c == 0xED)
        high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      tail = 3;
      if (c == 0xF0)
        low = 0x90;
      else if (c == 0xF4)
        high = 0x8F;
    } else
      return false;
    if (length - i <= tail || text[i + 1] < low || text[i + 1] > high) return false;
    for (size_t k = 2; k <= tail; ++k)
      if (text[i + k] < 0x80 || text[i + k] > 0xBF) return false;
    i += tail + 1;
  }
  return true;
}

/* Passes every reader event to the writer, renames the members of a top-level object
 * and enforces the nesting limit. */
struct transform_handler {
  const char *prefix;
  uint32_t prefix_length;
  uint32_t depth;

  bool Null() { return writer.Null(); }
  bool Bool(bool b) { return writer.Bool(b); }
  bool Int(int i) { return writer.Int(i); }
  bool Uint(unsigned u) { return writer.Uint(u); }
  bool Int64(int64_t i) { return writer.Int64(i); }
  bool Uint64(uint64_t u) { return writer.Uint64(u); }
  bool Double(double d) { return writer.Double(d); }
  bool RawNumber(const char *text, rapidjson::SizeType length, bool) {
    return number_in_range(text, length) && writer.RawValue(text, length, rapidjson::kNumberType);
  }
  bool String(const char *text, rapidjson::SizeType length, bool) {
    return !has_surrogate(text, length) && writer.String(text, length);
  }
  bool StartObject() { return ++depth <= JSON_MAX_DEPTH && writer.StartObject(); }
  bool Key(const char *name, rapidjson::SizeType length, bool) {
    if (has_surrogate(name, length)) return false;
    if (depth != 1) return writer.Key(name, length);
    uint32_t new_length = 0;
    const char *new_name = prefix_element_name(name, length, prefix_length, prefix, &new_length);
    return writer.Key(new_name, new_length);
  }
  bool EndObject(rapidjson::SizeType members) {
    --depth;
    return writer.EndObject(members);
  }
  bool StartArray() { return ++depth <= JSON_MAX_DEPTH && writer.StartArray(); }
  bool EndArray(rapidjson::SizeType elements) {
    --depth;
    return writer.EndArray(elements);
  }
};

} // namespace

uint32_t mem_sink_write(const char *data, uint32_t size, mem_sink *sink) {
  if (sink == nullptr) return size;
  uint32_t room = sink->capacity > sink->length ? sink->capacity - sink->length : 0;
  uint32_t kept = size < room ? size : room;
  if (kept != 0) {
    memcpy(sink->buffer + sink->length, data, kept);
    sink->length += kept;
  }
  sink->total = size > UINT32_MAX - sink->total ? UINT32_MAX : sink->total + size;
  return size;
}

namespace {

/* The name as it may stand in one line of the daemon's output: a gateway could otherwise
 * forge lines with escapes that decode to line feeds. Control bytes and the backslash are
 * written as C escapes, everything else as it is; written in blocks (stderr is unbuffered). */
void print_escaped(FILE *out, const char *name, uint32_t length) {
  char block[1024];
  unsigned used = 0;
  for (uint32_t i = 0; i < length; i++) {
    if (used > sizeof block - 5) {
      fwrite(block, 1, used, out);
      used = 0;
    }
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const char *named = c == '\n'   ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                        : c == '\\' ? "\\\\"
                                    : nullptr;
    if (named != nullptr) {
      block[used++] = named[0];
      block[used++] = named[1];
    } else if (c < 0x20 || c == 0x7F) {
      used += static_cast<unsigned>(snprintf(block + used, sizeof block - used, "\\x%02X", c));
    } else {
      block[used++] = static_cast<char>(c);
    }
  }
  fwrite(block, 1, used, out);
}

} // namespace

const char *prefix_element_name(const char *name, uint32_t name_length, uint32_t prefix_length,
                                const char *prefix, uint32_t *new_length) {
  uint64_t needed = uint64_t{prefix_length} + 1 + name_length;
  if (needed > JSON_NAME_CAPACITY - 1) {
    fputs("Element renaming failed. The new name for element, \"", stderr);
    print_escaped(stderr, name, name_length);
    fputs("\" does not fit in the buffer.\n", stderr);
    *new_length = name_length;
    return name;
  }
  memcpy(name_buffer, prefix, prefix_length);
  name_buffer[prefix_length] = '/';
  memcpy(name_buffer + prefix_length + 1, name, name_length);
  name_buffer[needed] = '\0';
  *new_length = static_cast<uint32_t>(needed);
  return name_buffer;
}

uint32_t json_transform(const char *payload, uint32_t payload_length, uint32_t topic_length,
                        const char *topic, uint32_t capacity, char *out) {
  if (payload == nullptr || topic == nullptr || out == nullptr) return 0;
  // The prefix is the topic after its first level and the '/' that ends it: what
  // split_text's first part gives, found without allocating a list.
  size_t topic_size = strnlen(topic, topic_length);
  const void *separator = memchr(topic, '/', topic_size);
  if (separator == nullptr) return 0;
  const char *prefix = static_cast<const char *>(separator) + 1;
  auto prefix_length = static_cast<uint32_t>(topic_size - static_cast<size_t>(prefix - topic));
  if (!valid_utf8(reinterpret_cast<const unsigned char *>(prefix), prefix_length)) return 0;

  mem_sink sink{capacity, 0, 0, out};
  sink_stream output{&sink};
  writer.Reset(output);
  if (!writer.StartObject() || !writer.Key("d", 1)) return 0;
  payload_stream input{payload, payload, payload + strnlen(payload, payload_length)};
  transform_handler handler{prefix, prefix_length, 0};
  if (reader.Parse<parse_flags>(input, handler).IsError()) return 0;
  if (!writer.EndObject() || !writer.IsComplete()) return 0;
  return sink.total;
}
