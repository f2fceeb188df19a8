/* Fuzzes json_transform. Input: the topic up to the first line feed, then the payload;
 * without a line feed the whole input is the payload of topic "QZ/node1/sensor". The
 * topic length passed is at most 256.
 * Checks that a document that fits is valid JSON carrying exactly the payload's values
 * (numbers as written, strings after unescaping, top-level names prefixed), that a
 * smaller buffer gives the same result and the same first bytes, and that a payload an
 * independent parse rejects gives no document. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <rapidjson/reader.h>

#include "json_transform.h"

namespace {

constexpr uint32_t relay_capacity = 3072;
constexpr size_t topic_cap = 256;

/* Records every event as a tag, a length and the bytes; top-level names of the payload
 * get the prefix the transformation should give them. */
struct event_log {
  std::string events;
  const std::string *prefix = nullptr;
  int depth = 0;

  void add(char tag, const char *text, size_t length) {
    events += tag;
    events.append(reinterpret_cast<const char *>(&length), sizeof length);
    events.append(text, length);
  }
  bool Null() {
    add('n', "", 0);
    return true;
  }
  bool Bool(bool b) {
    add(b ? 't' : 'f', "", 0);
    return true;
  }
  bool Int(int) { abort(); }
  bool Uint(unsigned) { abort(); }
  bool Int64(int64_t) { abort(); }
  bool Uint64(uint64_t) { abort(); }
  bool Double(double) { abort(); }
  bool RawNumber(const char *text, rapidjson::SizeType length, bool) {
    add('#', text, length);
    return true;
  }
  bool String(const char *text, rapidjson::SizeType length, bool) {
    add('s', text, length);
    return true;
  }
  bool Key(const char *text, rapidjson::SizeType length, bool) {
    if (prefix != nullptr && depth == 1 && prefix->size() + 1 + length <= JSON_NAME_CAPACITY - 1) {
      std::string renamed = *prefix + "/" + std::string(text, length);
      add('k', renamed.data(), renamed.size());
    } else
      add('k', text, length);
    return true;
  }
  bool StartObject() {
    ++depth;
    add('{', "", 0);
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    --depth;
    add('}', "", 0);
    return true;
  }
  bool StartArray() {
    ++depth;
    add('[', "", 0);
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    --depth;
    add(']', "", 0);
    return true;
  }
};

struct byte_stream {
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

bool parse(const char *text, size_t length, event_log *log) {
  rapidjson::Reader reader;
  byte_stream input{text, text, text + length};
  return !reader
              .Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag |
                     rapidjson::kParseIterativeFlag>(input, *log)
              .IsError();
}

void check(bool condition) {
  if (!condition) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *bytes = reinterpret_cast<const char *>(data);
  const void *line_end = memchr(bytes, '\n', size);
  std::string topic_line = "QZ/node1/sensor";
  size_t payload_offset = 0;
  if (line_end != nullptr) {
    payload_offset = static_cast<size_t>(static_cast<const char *>(line_end) - bytes) + 1;
    topic_line.assign(bytes, payload_offset - 1);
  }
  // Long topics would mostly flood standard error with renaming reports: only the first
  // 256 bytes count, which also has the length end the topic before its text does.
  const std::string topic = topic_line.substr(0, topic_cap);
  // Exact-size heap copies, so that the sanitizer sees any read past a length.
  size_t payload_length = size - payload_offset;
  std::unique_ptr<char[]> payload(new char[payload_length]);
  memcpy(payload.get(), bytes + payload_offset, payload_length);
  std::unique_ptr<char[]> topic_copy(new char[topic_line.size()]);
  memcpy(topic_copy.get(), topic_line.data(), topic_line.size());
  std::unique_ptr<char[]> out(new char[relay_capacity]);

  uint32_t result = json_transform(payload.get(),
                                   static_cast<uint32_t>(payload_length),
                                   static_cast<uint32_t>(topic.size()),
                                   topic_copy.get(),
                                   relay_capacity,
                                   out.get());

  // The payload and topic as the transformation sees them: up to a zero byte.
  size_t text_length = strnlen(payload.get(), payload_length);
  size_t topic_length = strnlen(topic.c_str(), topic.size());
  size_t separator = topic.find('/');
  event_log expected;
  bool payload_ok = parse(payload.get(), text_length, &expected);
  if (!payload_ok || separator == std::string::npos || separator >= topic_length) check(result == 0);
  if (result == 0) return 0;

  if (result <= relay_capacity) {
    check(result >= 6 && memcmp(out.get(), "{\"d\":", 5) == 0 && out[result - 1] == '}');
    std::string prefix = topic.substr(separator + 1, topic_length - separator - 1);
    event_log wanted;
    wanted.add('{', "", 0);
    wanted.add('k', "d", 1);
    wanted.prefix = &prefix;
    check(parse(payload.get(), text_length, &wanted));
    wanted.add('}', "", 0);
    event_log written;
    check(parse(out.get(), result, &written));
    check(written.events == wanted.events);
  }

  // A smaller buffer: same result, same first bytes, nothing written past it.
  uint32_t smaller = result / 2;
  std::unique_ptr<char[]> part(new char[smaller + 1]);
  uint32_t again = json_transform(payload.get(),
                                  static_cast<uint32_t>(payload_length),
                                  static_cast<uint32_t>(topic.size()),
                                  topic_copy.get(),
                                  smaller,
                                  part.get() + 1);
  check(again == result);
  uint32_t compared = smaller < relay_capacity ? smaller : relay_capacity;
  check(memcmp(part.get() + 1, out.get(), compared) == 0);
  return 0;
}
