/* Reading the request: methods, POST bodies and lengths, lines, and the request lifecycle. */
#include "request_test_support.h"

#include <cstdio>
#include <cstring>

namespace {

/* Names a table row by its line in test output. */
template <typename Case>
auto operator<<(std::ostream &os, const Case &c) -> decltype(c.line, os) {
  return os << "line " << c.line;
}

struct read_case {
  int line;
  const char *method;         // nullptr: unset
  const char *query;          // nullptr: unset
  const char *content_length; // nullptr: unset
  const char *body;           // on fd 0
  const char *expected;       // nullptr: no request string
  const char *left_on_stdin;  // what the read must leave unread
};

const read_case read_cases[] = {
    {__LINE__, "GET", "a=1&b=2", nullptr, "", "a=1&b=2", ""},
    {__LINE__, "GET", "", nullptr, "", "", ""},
    {__LINE__, "GET", nullptr, nullptr, "", nullptr, ""},
    {__LINE__, "get", "a=1", nullptr, "", nullptr, ""},
    {__LINE__, "GET ", "a=1", nullptr, "", nullptr, ""},
    {__LINE__, "HEAD", "a=1", nullptr, "", nullptr, ""},
    {__LINE__, "PUT", "a=1", "3", "b=2", nullptr, "b=2"},
    {__LINE__, nullptr, "a=1", "3", "b=2", nullptr, "b=2"},
    {__LINE__, "post", "a=1", "3", "b=2", nullptr, "b=2"},
    {__LINE__, "POST", "a=1", "3", "b=2", "b=2", ""},
    {__LINE__, "POST", nullptr, "3", "b=2tail", "b=2", "tail"},
    {__LINE__, "POST", nullptr, "0", "b=2", "", "b=2"},
    {__LINE__, "POST", nullptr, nullptr, "b=2", nullptr, "b=2"},
    {__LINE__, "POST", nullptr, "4", "b=2", nullptr, ""}, // short body drops the request
    {__LINE__, "POST", nullptr, "2x", "b=2", "b=", "2"},  // leading digits only
    {__LINE__, "POST", nullptr, "abc", "b=2", "", "b=2"},
    // Lengths that cannot be held: nothing is read, no request.
    {__LINE__, "POST", nullptr, "-1", "b=2", nullptr, "b=2"},
    {__LINE__, "POST", nullptr, "18446744073709551615", "b=2", nullptr, "b=2"},
    {__LINE__, "POST", nullptr, "18446744073709551616", "b=2", nullptr, "b=2"},
    {__LINE__, "POST", nullptr, "99999999999999999999999999", "b=2", nullptr, "b=2"},
    // Over 64 KiB a url-encoded body is not read at all; up to it a short body is.
    {__LINE__, "POST", nullptr, "4294967295", "b=2", nullptr, "b=2"},
    {__LINE__, "POST", nullptr, "65537", "b=2", nullptr, "b=2"},
    {__LINE__, "POST", nullptr, "65536", "b=2", nullptr, ""},
};

class request_read : public request_test, public ::testing::WithParamInterface<read_case> {};

TEST_P(request_read, sets_request_string_by_method) {
  const read_case &c = GetParam();
  SCOPED_TRACE(c.line);
  if (c.method) setenv("REQUEST_METHOD", c.method, 1);
  if (c.query) setenv("QUERY_STRING", c.query, 1);
  if (c.content_length) setenv("CONTENT_LENGTH", c.content_length, 1);
  set_stdin(c.body);
  cgi_read_request();
  if (c.expected) {
    ASSERT_NE(cgi_request, nullptr);
    EXPECT_STREQ(cgi_request, c.expected);
    EXPECT_EQ(cgi_has_request(), c.expected[0] != '\0');
  } else {
    EXPECT_EQ(cgi_request, nullptr);
    EXPECT_EQ(cgi_has_request(), 0);
    EXPECT_EQ(field("a"), "");
  }
  EXPECT_EQ(rest_of_stdin(), c.left_on_stdin);
}

INSTANTIATE_TEST_SUITE_P(table, request_read, ::testing::ValuesIn(read_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

struct post_only_case {
  int line;
  const char *method;
  const char *content_type;
  int expected;
  const char *left_on_stdin;
};

const post_only_case post_only_cases[] = {
    {__LINE__, "POST", nullptr, 1, ""},
    {__LINE__, "POST", "application/x-www-form-urlencoded", 1, ""},
    {__LINE__, "POST", "multipart/form-data; boundary=xyz", 0, ""},
    {__LINE__, "GET", nullptr, 0, "a=1"},
    {__LINE__, "PUT", nullptr, 0, "a=1"},
    {__LINE__, nullptr, nullptr, 0, "a=1"},
};

class request_post_only : public request_test, public ::testing::WithParamInterface<post_only_case> {};

TEST_P(request_post_only, reads_only_post_bodies) {
  const post_only_case &c = GetParam();
  SCOPED_TRACE(c.line);
  if (c.method) setenv("REQUEST_METHOD", c.method, 1);
  if (c.content_type) setenv("CONTENT_TYPE", c.content_type, 1);
  setenv("QUERY_STRING", "a=2", 1);
  setenv("CONTENT_LENGTH", "3", 1);
  set_stdin("a=1");
  EXPECT_EQ(cgi_read_post_request(), c.expected);
  EXPECT_EQ(field("a"), c.expected ? "1" : "");
  EXPECT_EQ(rest_of_stdin(), c.left_on_stdin);
  EXPECT_FALSE(std::filesystem::exists(upload));
}

INSTANTIATE_TEST_SUITE_P(table, request_post_only, ::testing::ValuesIn(post_only_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST_F(request_test, post_body_arriving_in_pieces_through_a_pipe_is_read_whole) {
  // The shell writes the body in two pieces, 50 ms apart.
  FILE *writer = popen("printf a=12; sleep 0.05; printf '34&b=5'", "r");
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(dup2(fileno(writer), 0), 0);
  setenv("REQUEST_METHOD", "POST", 1);
  setenv("CONTENT_LENGTH", "10", 1);
  cgi_read_request();
  EXPECT_EQ(pclose(writer), 0);
  ASSERT_NE(cgi_request, nullptr);
  EXPECT_STREQ(cgi_request, "a=1234&b=5");
}

TEST_F(request_test, post_body_with_nul_bytes_keeps_its_length_but_fields_end_at_the_nul) {
  post(std::string_view("a=1\0b=2", 7));
  ASSERT_NE(cgi_request, nullptr);
  EXPECT_EQ(cgi_request[7], '\0');
  EXPECT_EQ(field("a"), "1");
  EXPECT_EQ(field("b"), "");
}

TEST_F(request_test, second_read_keeps_the_first_request_and_free_allows_a_new_one) {
  get("a=1");
  setenv("QUERY_STRING", "a=2", 1);
  cgi_read_request();
  EXPECT_EQ(field("a"), "1");
  cgi_free_request();
  EXPECT_EQ(cgi_request, nullptr);
  EXPECT_EQ(field("a"), "");
  cgi_read_request();
  EXPECT_EQ(field("a"), "2");
}

TEST_F(request_test, free_never_removes_an_upload_file_this_request_did_not_make) {
  write_file(upload, "old");
  cgi_free_request();
  EXPECT_TRUE(std::filesystem::exists(upload));
  get("a=1");
  cgi_free_request();
  EXPECT_EQ(read_file(upload), "old");
}

TEST_F(request_test, release_drops_the_request_but_leaves_the_upload_file) {
  write_file(upload, "another request's upload");
  post("a=1");
  cgi_release_request();
  EXPECT_EQ(cgi_request, nullptr);
  EXPECT_EQ(read_file(upload), "another request's upload");
  cgi_release_request(); // without a request string: nothing happens
}

TEST_F(request_test, multipart_content_type_wins_over_the_method) {
  setenv("REQUEST_METHOD", "GET", 1);
  setenv("QUERY_STRING", "a=1", 1);
  setenv("CONTENT_TYPE", "multipart/form-data", 1); // no boundary: nothing is read
  setenv("CONTENT_LENGTH", "3", 1);
  set_stdin("x=1");
  cgi_read_request();
  EXPECT_EQ(cgi_request, nullptr);
  EXPECT_EQ(rest_of_stdin(), "x=1");
}

struct line_case {
  int line;
  const char *input;
  int size;
  int32_t counter;
  std::vector<std::string> lines; // successive reads until one stores nothing
  int32_t counter_after;
};

const line_case line_cases[] = {
    {__LINE__, "ab\ncd\n", 16, 6, {"ab\n", "cd\n"}, 0},
    {__LINE__, "ab\ncd", 16, 5, {"ab\n", "cd"}, 0},
    {__LINE__, "abcdef\n", 4, 7, {"abc", "def", "\n"}, 0},
    {__LINE__, "ab\ncd\n", 16, 4, {"ab\n", "c"}, 0}, // the counter ends the input
    {__LINE__, "ab", 16, 10, {"ab"}, 8},             // end of input first
    {__LINE__, "ab\n", 16, 0, {}, 0},
    {__LINE__, "ab\n", 16, -5, {}, -5},
    {__LINE__, "\r\n\n", 2, 3, {"\r", "\n", "\n"}, 0},
    {__LINE__, "ab", 1, 2, {}, 2}, // no room for a byte: stores only the NUL
};

class request_line : public request_test, public ::testing::WithParamInterface<line_case> {};

TEST_P(request_line, reads_pieces_up_to_line_feed_size_or_counter) {
  const line_case &c = GetParam();
  SCOPED_TRACE(c.line);
  set_stdin(c.input);
  char buffer[32];
  memset(buffer, 'Z', sizeof buffer);
  int32_t counter = c.counter;
  std::vector<std::string> lines;
  for (int n; (n = cgi_read_line(buffer, c.size, &counter)) > 0 && lines.size() < 10;) {
    ASSERT_LT(n, c.size);
    ASSERT_EQ(buffer[n], '\0');
    lines.emplace_back(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(counter, c.counter_after);
  EXPECT_EQ(buffer[c.size], 'Z'); // nothing beyond the given size
}

INSTANTIATE_TEST_SUITE_P(table, request_line, ::testing::ValuesIn(line_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

} // namespace
