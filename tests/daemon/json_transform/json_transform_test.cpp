#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "json_transform.h"
#include "split.h"

namespace {

constexpr uint32_t relay_capacity = 3072;
constexpr char guard = '\x5a';

/* Runs the transformation into a buffer with guard bytes after its capacity; the
 * document is what was kept. */
struct run_result {
  uint32_t length;
  std::string document;
  bool guard_intact; // nothing written past the capacity
};

run_result transform(const std::string &payload, const std::string &topic,
                     uint32_t capacity = relay_capacity) {
  std::vector<char> out(capacity + 16, guard);
  uint32_t n = json_transform(payload.data(),
                              static_cast<uint32_t>(payload.size()),
                              static_cast<uint32_t>(topic.size()),
                              topic.c_str(),
                              capacity,
                              out.data());
  run_result r{n, std::string(out.data(), n < capacity ? n : capacity), true};
  for (size_t i = capacity; i < out.size(); ++i) r.guard_intact = r.guard_intact && out[i] == guard;
  return r;
}

struct transform_case {
  int line;
  const char *topic;
  std::string payload;
  const char *document; // nullptr: no document
};

void PrintTo(const transform_case &c, std::ostream *os) { *os << "line " << c.line; }
std::string case_name(const testing::TestParamInfo<transform_case> &info) {
  return "line" + std::to_string(info.param.line);
}

class transform_test : public testing::TestWithParam<transform_case> {};

TEST_P(transform_test, writes_the_document_or_nothing) {
  const transform_case &c = GetParam();
  run_result r = transform(c.payload, c.topic);
  if (c.document == nullptr) {
    EXPECT_EQ(r.length, 0u) << "line " << c.line << ": " << r.document;
  } else {
    EXPECT_EQ(r.document, c.document) << "line " << c.line;
    EXPECT_EQ(r.length, strlen(c.document)) << "line " << c.line;
  }
  EXPECT_TRUE(r.guard_intact) << "line " << c.line;
}

const std::string with_nul("{\"t\":1}\0{\"u\":2}", 15);

INSTANTIATE_TEST_SUITE_P(
    topics, transform_test,
    testing::Values(
        transform_case{__LINE__, "QZ/node1/sensor", R"({"t":21})", R"({"d":{"node1/sensor/t":21}})"},
        transform_case{__LINE__, "QZ/", R"({"t":21})", R"({"d":{"/t":21}})"},
        transform_case{__LINE__, "/a/b", R"({"t":21})", R"({"d":{"a/b/t":21}})"},
        transform_case{__LINE__, "QZ/a//b/", R"({"t":1})", R"({"d":{"a//b//t":1}})"},
        transform_case{__LINE__, "QZ", R"({"t":21})", nullptr},
        transform_case{__LINE__, "", R"({"t":21})", nullptr},
        transform_case{__LINE__, "QZ/a\"b\\c", R"({"t":1})", R"({"d":{"a\"b\\c/t":1}})"},
        transform_case{__LINE__, "QZ/\xff", R"({"t":1})", nullptr},
        transform_case{__LINE__, "QZ/\xc3\xa9", R"({"t":1})", "{\"d\":{\"\xc3\xa9/t\":1}}"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    shapes, transform_test,
    testing::Values(transform_case{__LINE__, "QZ/g", R"([1,{"a":2},"x",[]])", R"({"d":[1,{"a":2},"x",[]]})"},
                    transform_case{__LINE__,
                                   "QZ/g",
                                   R"({"o":{"i":1,"j":{"k":[{"m":0}]}},"e":{}})",
                                   R"({"d":{"g/o":{"i":1,"j":{"k":[{"m":0}]}},"g/e":{}}})"},
                    transform_case{__LINE__, "QZ/g", R"({"a":1,"a":2})", R"({"d":{"g/a":1,"g/a":2}})"},
                    transform_case{__LINE__,
                                   "QZ/g",
                                   " \t{ \"t\" : [ 1 , true , null ] }\r\n ",
                                   R"({"d":{"g/t":[1,true,null]}})"},
                    transform_case{__LINE__, "QZ/g", "{}", R"({"d":{}})"},
                    transform_case{__LINE__, "QZ/g", "7", R"({"d":7})"},
                    transform_case{__LINE__, "QZ/g", R"("text")", R"({"d":"text"})"},
                    transform_case{__LINE__, "QZ/g", "false", R"({"d":false})"},
                    transform_case{__LINE__, "QZ/g", "null", R"({"d":null})"},
                    // The text ends at a zero byte, like a terminated text.
                    transform_case{__LINE__, "QZ/g", with_nul, R"({"d":{"g/t":1}})"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    values, transform_test,
    testing::Values(
        transform_case{__LINE__,
                       "QZ/g",
                       "[1.5e300,-0,12345678901234567890,0.1,1E+2,-1.0e-400,0]",
                       R"({"d":[1.5e300,-0,12345678901234567890,0.1,1E+2,-1.0e-400,0]})"},
        // The double range ends near 1.8e308, whatever the spelling.
        transform_case{__LINE__,
                       "QZ/g",
                       "[1e308,123e306,0.0001e310,1e-99999999999,1E+300]",
                       R"({"d":[1e308,123e306,0.0001e310,1e-99999999999,1E+300]})"},
        transform_case{__LINE__,
                       "QZ/g",
                       "123456789012345678901234567890.000000000000000000001",
                       R"({"d":123456789012345678901234567890.000000000000000000001})"},
        transform_case{__LINE__,
                       "QZ/g",
                       R"({"\u00e9":"\uD83D\uDE00 \/ \" \\ \n\t \u0001 )"
                       "\xc3\xa9\"}",
                       "{\"d\":{\"g/\xc3\xa9\":\"\xf0\x9f\x98\x80 / \\\" \\\\ \\n\\t \\u0001 \xc3\xa9\"}}"},
        transform_case{__LINE__, "QZ/g", R"({"a\u0000b":"\u0000"})", R"({"d":{"g/a\u0000b":"\u0000"}})"},
        transform_case{__LINE__, "QZ/g", R"(["\u001f\u007f"])", "{\"d\":[\"\\u001F\x7f\"]}"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(rejected, transform_test,
                         testing::Values(transform_case{__LINE__, "QZ/g", "", nullptr},
                                         transform_case{__LINE__, "QZ/g", " \n ", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"({"t":1} x)", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"({"a":1}{"b":2})", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"({"t":)", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"({"t":1)", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"(["abc)", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"([1,])", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"({'t':1})", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"([1 /* c */])", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[01]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[NaN]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[\"\xff\"]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[\"\xc0\xaf\"]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[\"\xed\xa0\x80\"]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[\"\xc3\"]", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"(["\uDC00"])", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"({"\uDFFF":1})", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"(["\uD800"])", nullptr},
                                         transform_case{__LINE__, "QZ/g", R"(["\uD800\u0041"])", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[1e400]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[-1E400]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[1.8e308]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[1234e306]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "[0.001e312]", nullptr},
                                         transform_case{__LINE__, "QZ/g", "{\"a\":[1e+309]}", nullptr},
                                         transform_case{
                                             __LINE__, "QZ/g", "1" + std::string(400, '0'), nullptr}),
                         case_name);

TEST(json_transform, worked_example_is_27_bytes) {
  run_result r = transform(R"({"t":21})", "QZ/node1/sensor");
  EXPECT_EQ(r.length, 27u);
  EXPECT_EQ(r.document, R"({"d":{"node1/sensor/t":21}})");
}

TEST(json_transform, absent_arguments_and_bad_topics_touch_nothing) {
  char out[8];
  memset(out, guard, sizeof out);
  EXPECT_EQ(json_transform(nullptr, 0, 4, "QZ/a", sizeof out, out), 0u);
  EXPECT_EQ(json_transform("{}", 2, 4, nullptr, sizeof out, out), 0u);
  EXPECT_EQ(json_transform("{}", 2, 4, "QZ/a", sizeof out, nullptr), 0u);
  EXPECT_EQ(json_transform("{}", 2, 2, "QZ", sizeof out, out), 0u);
  EXPECT_EQ(json_transform("{}", 2, 0, "", sizeof out, out), 0u);
  EXPECT_EQ(json_transform("{}", 2, 4, "QZ/\xff", sizeof out, out), 0u);
  for (char c : out) EXPECT_EQ(c, guard);
}

TEST(json_transform, lengths_bound_payload_and_topic) {
  const char payload[] = R"({"t":1}xyz)";
  char out[64];
  // Only the first 7 payload bytes and the first 6 topic bytes count.
  uint32_t n = json_transform(payload, 7, 6, "QZ/a/bcd", sizeof out, out);
  EXPECT_EQ(std::string(out, n), R"({"d":{"a/b/t":1}})");
  // A topic length that ends before the first '/' leaves no second level.
  EXPECT_EQ(json_transform(payload, 7, 2, "QZ/a", sizeof out, out), 0u);
}

TEST(json_transform, capacity_edges_keep_only_what_fits) {
  const std::string payload = R"({"t":[1,2,3]})";
  const std::string whole = R"({"d":{"g/t":[1,2,3]}})";
  const auto length = static_cast<uint32_t>(whole.size());
  struct {
    int line;
    uint32_t capacity;
  } cases[] = {{__LINE__, length}, {__LINE__, length - 1}, {__LINE__, 1}, {__LINE__, 0}};
  for (const auto &c : cases) {
    run_result r = transform(payload, "QZ/g", c.capacity);
    EXPECT_EQ(r.length, length) << "line " << c.line;
    EXPECT_EQ(r.document, whole.substr(0, c.capacity)) << "line " << c.line;
    EXPECT_TRUE(r.guard_intact) << "line " << c.line;
  }
}

TEST(json_transform, relay_capacity_exactly_and_one_more) {
  // {"d":{"g/s":"..."}} has 16 bytes around the string.
  for (uint32_t length : {relay_capacity, relay_capacity + 1}) {
    const std::string text(length - 16, 'x');
    const std::string whole = R"({"d":{"g/s":")" + text + R"("}})";
    run_result r = transform(R"({"s":")" + text + R"("})", "QZ/g");
    EXPECT_EQ(r.length, length);
    EXPECT_EQ(r.document, whole.substr(0, relay_capacity));
    EXPECT_TRUE(r.guard_intact);
  }
}

TEST(json_transform, name_of_1023_bytes_fits_1024_is_reported) {
  // Topic QZ/p: the new name is "p/" and the member name.
  const std::string longest(1021, 'n');
  const std::string too_long(1022, 'm');
  const std::string payload = "{\"" + longest + "\":1,\"" + too_long + "\":2,\"t\":3}";

  fd_capture err;
  capture_begin(&err, 2);
  run_result r = transform(payload, "QZ/p", 4096);
  std::string reported = capture_end(&err);

  EXPECT_EQ(r.document, "{\"d\":{\"p/" + longest + "\":1,\"" + too_long + "\":2,\"p/t\":3}}");
  EXPECT_EQ(reported,
            "Element renaming failed. The new name for element, \"" + too_long +
                "\" does not fit in the buffer.\n");

  // A name with escapes that decode to control bytes could forge lines in the daemon's
  // output: they are reported escaped, on the one line, and so is the backslash.
  const std::string forged = std::string(1100, 'f') + "\\n<3>Forged entry\\u0007\\\\";
  capture_begin(&err, 2);
  transform("{\"" + forged + "\":1}", "QZ/p", 4096);
  reported = capture_end(&err);
  EXPECT_EQ(reported,
            "Element renaming failed. The new name for element, \"" + std::string(1100, 'f') +
                "\\n<3>Forged entry\\x07\\\\\" does not fit in the buffer.\n");
}

TEST(json_transform, depth_250_passes_251_does_not) {
  struct {
    int line;
    uint32_t depth;
    bool objects;
    bool passes;
  } cases[] = {{__LINE__, 250, false, true},
               {__LINE__, 251, false, false},
               {__LINE__, 250, true, true},
               {__LINE__, 251, true, false}};
  for (const auto &c : cases) {
    // Objects nest as {"a":{"a":{}}}, arrays as [[[]]].
    std::string open, close;
    for (uint32_t i = 1; i < c.depth; ++i) open += c.objects ? "{\"a\":" : "[";
    open += c.objects ? "{" : "[";
    close.assign(c.depth, c.objects ? '}' : ']');
    run_result r = transform(open + close, "QZ/g", 8192);
    EXPECT_EQ(r.length != 0, c.passes) << "line " << c.line;
  }
}

TEST(json_transform, works_again_after_a_rejected_payload) {
  std::string deep(300, '[');
  EXPECT_EQ(transform(deep, "QZ/g").length, 0u);
  EXPECT_EQ(transform(R"({"a":"unterminated)", "QZ/g").length, 0u);
  run_result r = transform(R"({"t":21})", "QZ/node1/sensor");
  EXPECT_EQ(r.document, R"({"d":{"node1/sensor/t":21}})");
}

TEST(json_transform, prefix_is_the_topic_after_its_first_split_part) {
  const char *topics[] = {"QZ/node1/sensor", "QZ/", "/a/b", "a//b", "/", "x/y z/\xc3\xa9"};
  for (const char *topic : topics) {
    split_list *list = split_text(topic, '/');
    ASSERT_NE(list, nullptr) << topic;
    ASSERT_GE(list->count, 2u) << topic;
    std::string prefix(topic + list->parts[0].length + 1);
    split_free(list);
    run_result r = transform(R"({"t":0})", topic);
    EXPECT_EQ(r.document, "{\"d\":{\"" + prefix + "/t\":0}}") << topic;
  }
}

TEST(mem_sink_write, keeps_what_fits_and_counts_everything) {
  char buffer[6] = "-----";
  mem_sink sink{4, 0, 0, buffer};
  EXPECT_EQ(mem_sink_write("ab", 2, &sink), 2u);
  EXPECT_EQ(mem_sink_write("cde", 3, &sink), 3u);
  EXPECT_EQ(mem_sink_write("f", 1, &sink), 1u);
  EXPECT_EQ(sink.length, 4u);
  EXPECT_EQ(sink.total, 6u);
  EXPECT_STREQ(buffer, "abcd-");
  EXPECT_EQ(mem_sink_write("x", 1, nullptr), 1u);

  mem_sink nearly_full{0, UINT32_MAX - 1, 0, buffer};
  mem_sink_write("xyz", 3, &nearly_full);
  EXPECT_EQ(nearly_full.total, UINT32_MAX);
  EXPECT_EQ(nearly_full.length, 0u);
}

} // namespace
