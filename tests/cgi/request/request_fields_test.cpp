/* Field lookup, decoding and the typed field readers. */
#include "request_test_support.h"

#include <cstring>
#include <memory>

namespace {

/* Names a table row by its line in test output. */
template <typename Case>
auto operator<<(std::ostream &os, const Case &c) -> decltype(c.line, os) {
  return os << "line " << c.line;
}

struct field_case {
  int line;
  const char *query;
  const char *name;
  int present;
  const char *value;
};

const field_case field_cases[] = {
    {__LINE__, "a=1&b=2+3&c=%41%62", "a", 1, "1"},
    {__LINE__, "a=1&b=2+3&c=%41%62", "b", 1, "2 3"},
    {__LINE__, "a=1&b=2+3&c=%41%62", "c", 1, "Ab"},
    {__LINE__, "a=1&b=2+3&c=%41%62", "d", 0, ""},
    {__LINE__, "%61=5", "a", 1, "5"},
    {__LINE__, "x&y=1", "y", 0, ""},
    {__LINE__, "x&y=1", "x&y", 1, "1"},
    {__LINE__, "&a=1", "a", 0, ""},
    {__LINE__, "a=1&a=2", "a", 1, "1"},
    {__LINE__, "p=%2B+%2b", "p", 1, "+ +"},
    {__LINE__, "a+b=1", "a b", 1, "1"},
    {__LINE__, "a%2Bb=1", "a+b", 1, "1"},
    {__LINE__, "a%3Db=1", "a=b", 1, "1"},
    {__LINE__, "a=b=c", "a", 1, "b=c"},
    {__LINE__, "a=x%26y&b=2", "a", 1, "x&y"},
    {__LINE__, "e=&f=1", "e", 1, ""},
    {__LINE__, "n", "n", 1, ""},
    {__LINE__, "=v&a=1", "", 1, "v"},
    {__LINE__, "a=1&", "", 0, ""},
    {__LINE__, "A=1", "a", 0, ""},
    {__LINE__, "ab=1", "a", 0, ""},
    {__LINE__, "a=x%00y", "a", 1, "x"},
    {__LINE__, "a=%", "a", 1, "%"},
    {__LINE__, "a=%4", "a", 1, "%4"},
    {__LINE__, "a=50%", "a", 1, "50%"},
    {__LINE__, "a=%4&b=2", "b", 1, "2"},
    {__LINE__, "", "a", 0, ""},
};

class request_field : public request_test, public ::testing::WithParamInterface<field_case> {};

TEST_P(request_field, finds_and_decodes_the_first_matching_pair) {
  const field_case &c = GetParam();
  SCOPED_TRACE(c.line);
  get(c.query);
  char *value = nullptr;
  EXPECT_EQ(cgi_find_field(c.name, &value), c.present);
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, c.value);
  free(value);
  EXPECT_EQ(field(c.name), c.value);
  EXPECT_STREQ(cgi_request, c.query); // the lookup leaves the request string alone
}

INSTANTIATE_TEST_SUITE_P(table, request_field, ::testing::ValuesIn(field_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST_F(request_test, found_value_reports_its_decoded_length_nul_bytes_included) {
  const struct {
    const char *query;
    size_t length;
  } cases[] = {{"a=x%00y", 3}, {"a=%00", 1}, {"a=x+y%41", 4}, {"a=", 0}, {"b=1", 0}};
  for (const auto &c : cases) {
    cgi_free_request();
    get(c.query);
    char *value = nullptr;
    size_t length = 99;
    cgi_find_field("a", &value, &length);
    EXPECT_EQ(length, c.length) << c.query;
    free(value);
  }
}

TEST_F(request_test, every_field_is_missing_without_a_request) {
  EXPECT_EQ(field("a"), "");
  int checkbox = 7;
  EXPECT_EQ(cgi_get_checkbox("a", &checkbox), 1);
  EXPECT_EQ(checkbox, 0);
  uint32_t number = 7;
  EXPECT_EQ(cgi_get_uint("a", &number), 1);
  EXPECT_EQ(number, 0u);
  uint32_t address = 7;
  EXPECT_EQ(cgi_get_ip("a", &address, 1), 1);
  EXPECT_EQ(cgi_get_ip("a", &address, 0), 0);
  EXPECT_EQ(address, 0u);
}

struct decode_case {
  int line;
  const char *input;
  const char *expected;
};

const decode_case decode_cases[] = {
    {__LINE__, "%41%62%2b", "Ab+"},
    {__LINE__, "%4a%4A", "JJ"},
    {__LINE__, "a+b", "a+b"},
    {__LINE__, "%", "%"},
    {__LINE__, "%4", "%4"},
    {__LINE__, "ab%", "ab%"},
    {__LINE__, "ab%f", "ab%f"},
    /* digits are not checked: '%' and '4' give 16 * -11 + 4 */
    {__LINE__, "%%41", "T1"},
    {__LINE__, "%zz", "S"},
    {__LINE__, "%C3%A9", "\xC3\xA9"},
};

class request_decode : public ::testing::TestWithParam<decode_case> {};

TEST_P(request_decode, decodes_in_place_without_reading_past_the_end) {
  const decode_case &c = GetParam();
  SCOPED_TRACE(c.line);
  // Exactly sized heap copy: a read past the NUL shows under AddressSanitizer.
  const size_t size = strlen(c.input) + 1;
  std::unique_ptr<char[]> text(new char[size]);
  memcpy(text.get(), c.input, size);
  url_decode(text.get());
  EXPECT_STREQ(text.get(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(table, request_decode, ::testing::ValuesIn(decode_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST(request_decode_guard, percent_before_the_end_leaves_the_bytes_after_the_nul_alone) {
  for (const char *tail : {"%", "a%", "a%4"}) {
    SCOPED_TRACE(tail);
    char buffer[16];
    memset(buffer, '4', sizeof buffer); // "4141..." after the NUL would decode to 'A'
    memcpy(buffer, tail, strlen(tail) + 1);
    url_decode(buffer);
    EXPECT_STREQ(buffer, tail);
    for (size_t i = strlen(tail) + 1; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '4') << i;
  }
}

struct checkbox_case {
  int line;
  const char *query;
  int expected;
};

const checkbox_case checkbox_cases[] = {
    {__LINE__, "c=on", 1},
    {__LINE__, "c=o%6E", 1},
    {__LINE__, "c=ON", 0},
    {__LINE__, "c=on1", 0},
    {__LINE__, "c=", 0},
    {__LINE__, "c", 0},
    {__LINE__, "d=on", 0},
    {__LINE__, "c=+on", 0},
    {__LINE__, "c=off&c=on", 0},
};

class request_checkbox : public request_test, public ::testing::WithParamInterface<checkbox_case> {};

TEST_P(request_checkbox, is_set_only_by_exactly_on) {
  const checkbox_case &c = GetParam();
  SCOPED_TRACE(c.line);
  get(c.query);
  int out = -1;
  EXPECT_EQ(cgi_get_checkbox("c", &out), 1);
  EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(table, request_checkbox, ::testing::ValuesIn(checkbox_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

struct text_case {
  int line;
  const char *query;
  int strip_spaces;
  const char *expected;
};

const text_case text_cases[] = {
    {__LINE__, "t=a%3Cb%24c%09d", 0, "abcd"},
    {__LINE__, "t=a+b+c", 0, "a b c"},
    {__LINE__, "t=a+b+c", 1, "abc"},
    {__LINE__, "t=%22%24%26%27%28%29%3B%3C%3E%5C%5E%60%7C", 0, ""},
    {__LINE__, "t=caf%C3%A9%7F%0D%0A!", 0, "caf!"},
    {__LINE__, "t=", 1, ""},
};

class request_text : public request_test, public ::testing::WithParamInterface<text_case> {};

TEST_P(request_text, removes_unsafe_characters) {
  const text_case &c = GetParam();
  SCOPED_TRACE(c.line);
  get(c.query);
  char *out = nullptr;
  EXPECT_EQ(cgi_get_text("t", &out, c.strip_spaces), 1);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, c.expected);
  free(out);
}

INSTANTIATE_TEST_SUITE_P(table, request_text, ::testing::ValuesIn(text_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST_F(request_test, text_filter_keeps_exactly_the_82_safe_printable_characters) {
  std::string query = "t=", kept;
  const std::string removed = "\"$&'();<>\\^`|";
  for (int c = 1; c < 256; ++c) {
    char encoded[4];
    snprintf(encoded, sizeof encoded, "%%%02X", c);
    query += encoded;
    if (c >= 0x20 && c <= 0x7E && removed.find(static_cast<char>(c)) == std::string::npos)
      kept += static_cast<char>(c);
  }
  ASSERT_EQ(kept.size(), 82u);
  get(query.c_str());
  char *out = nullptr;
  cgi_get_text("t", &out, 0);
  EXPECT_EQ(std::string(out), kept);
  free(out);
  int table_count = 0;
  for (unsigned c = 0; c < FIELD_CHARS_SIZE; ++c) table_count += field_chars[c];
  EXPECT_EQ(table_count, 82);
}

struct mac_case {
  int line;
  const char *value;
  int allow_empty;
  int expected;
  const char *out;
};

const mac_case mac_cases[] = {
    {__LINE__, "0:1:a:BC:de:F", 0, 1, "0:1:a:BC:de:F"},
    {__LINE__, "00:11:22:33:44:55", 0, 1, "00:11:22:33:44:55"},
    {__LINE__, "ff:ff:ff:ff:ff:ff", 0, 1, "ff:ff:ff:ff:ff:ff"},
    {__LINE__, "00+:+11:22:33:44:55", 0, 1, "00:11:22:33:44:55"},
    {__LINE__, "00:11:22:33:44", 0, 0, "00:11:22:33:44"},
    {__LINE__, "00:11:22:33:44:55:66", 0, 0, "00:11:22:33:44:55:66"},
    {__LINE__, "00:11:22:33:44:55x", 0, 0, "00:11:22:33:44:55x"},
    {__LINE__, "100:0:0:0:0:0", 0, 0, "100:0:0:0:0:0"},
    {__LINE__, "0:0:0:0:0:100", 0, 0, "0:0:0:0:0:100"},
    // 2^32 would wrap to 0 where unsigned long is 64 bits wide.
    {__LINE__, "100000000:0:0:0:0:0", 0, 0, "100000000:0:0:0:0:0"},
    {__LINE__, "0:0:0:0:0:-1", 0, 0, "0:0:0:0:0:-1"},
    {__LINE__, "0::0:0:0:0", 0, 0, "0::0:0:0:0"},
    {__LINE__, ":::::", 0, 0, ":::::"},
    {__LINE__, "00-11-22-33-44-55", 0, 0, "00-11-22-33-44-55"},
    {__LINE__, "", 0, 0, ""},
    {__LINE__, "", 1, 1, ""},
    {__LINE__, "+++", 1, 1, ""},
};

class request_mac : public request_test, public ::testing::WithParamInterface<mac_case> {};

TEST_P(request_mac, accepts_six_hex_groups_of_at_most_ff) {
  const mac_case &c = GetParam();
  SCOPED_TRACE(c.line);
  get(("m=" + std::string(c.value)).c_str());
  char *out = nullptr;
  EXPECT_EQ(cgi_get_mac("m", &out, c.allow_empty), c.expected);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, c.out);
  free(out);
}

INSTANTIATE_TEST_SUITE_P(table, request_mac, ::testing::ValuesIn(mac_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

constexpr uint32_t untouched = 0xDEADBEEF;

struct ip_case {
  int line;
  const char *value;
  int allow_empty;
  int expected;
  uint32_t out;
};

const ip_case ip_cases[] = {
    {__LINE__, "192.168.1.1", 0, 1, 192u << 24 | 168u << 16 | 1u << 8 | 1u},
    {__LINE__, "1.2.3.4abc", 0, 1, 0x01020304},
    {__LINE__, "1+.2.3.4", 0, 1, 0x01020304},
    {__LINE__, "255.255.255.255", 0, 1, 0xFFFFFFFF},
    {__LINE__, "0.0.0.0", 0, 0, 0},
    {__LINE__, "0.0.0.0", 1, 1, 0},
    {__LINE__, "", 0, 0, 0},
    {__LINE__, "", 1, 1, 0},
    {__LINE__, "256.1.1.1", 1, 0, untouched},
    {__LINE__, "1.1.1.256", 1, 0, untouched},
    {__LINE__, "1.2.3", 1, 0, untouched},
    {__LINE__, "1.2..3", 1, 0, untouched},
    {__LINE__, "a.b.c.d", 1, 0, untouched},
    {__LINE__, "-1.0.0.0", 1, 0, untouched},
    // 2^32 + 1 would wrap to 1 where unsigned long is 64 bits wide.
    {__LINE__, "4294967297.0.0.1", 1, 0, untouched},
};

class request_ip : public request_test, public ::testing::WithParamInterface<ip_case> {};

TEST_P(request_ip, reads_dotted_quad_with_first_byte_most_significant) {
  const ip_case &c = GetParam();
  SCOPED_TRACE(c.line);
  get(("i=" + std::string(c.value)).c_str());
  uint32_t out = untouched;
  EXPECT_EQ(cgi_get_ip("i", &out, c.allow_empty), c.expected);
  EXPECT_EQ(out, c.out);
}

INSTANTIATE_TEST_SUITE_P(table, request_ip, ::testing::ValuesIn(ip_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

struct uint_case {
  int line;
  const char *value;
  uint32_t expected;
};

const uint_case uint_cases[] = {
    {__LINE__, "12ab", 12},
    {__LINE__, "", 0},
    {__LINE__, "abc", 0},
    {__LINE__, "007", 7},
    {__LINE__, "%2B7", 7},
    {__LINE__, "1+2", 12}, // spaces are stripped before the conversion
    {__LINE__, "4294967295", 4294967295u},
    {__LINE__, "4294967296", 4294967295u},
    {__LINE__, "99999999999999999999999", 4294967295u},
    {__LINE__, "-1", 4294967295u},
    {__LINE__, "-5", 4294967291u},
    {__LINE__, "-4294967296", 4294967295u},
    {__LINE__, "0x10", 0},
};

class request_uint : public request_test, public ::testing::WithParamInterface<uint_case> {};

TEST_P(request_uint, converts_as_a_32_bit_unsigned_long) {
  const uint_case &c = GetParam();
  SCOPED_TRACE(c.line);
  get(("u=" + std::string(c.value)).c_str());
  uint32_t out = untouched;
  EXPECT_EQ(cgi_get_uint("u", &out), 1);
  EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(table, request_uint, ::testing::ValuesIn(uint_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

} // namespace
