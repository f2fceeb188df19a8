/* Multipart uploads into the upload file. */
#include "request_test_support.h"

#include <sys/stat.h>

namespace {

/* Names a table row by its line in test output. */
template <typename Case>
auto operator<<(std::ostream &os, const Case &c) -> decltype(c.line, os) {
  return os << "line " << c.line;
}

const char boundary[] = "----nimbaBoundary7MA4YWxkTrZu0gW";

std::string file_part(const std::string &file_name, const std::string &content) {
  return std::string("--") + boundary + "\r\n" +
         "Content-Disposition: form-data; name=\"file\"; filename=\"" + file_name + "\"\r\n" +
         "Content-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

std::string field_part(const std::string &name, const std::string &value) {
  return std::string("--") + boundary + "\r\n" + "Content-Disposition: form-data; name=\"" + name +
         "\"\r\n\r\n" + value + "\r\n";
}

std::string closing() { return std::string("--") + boundary + "--\r\n"; }

class multipart : public request_test {
protected:
  void upload_body(const std::string &body, const char *length = nullptr) {
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", (std::string("multipart/form-data; boundary=") + boundary).c_str(), 1);
    setenv("CONTENT_LENGTH", length ? length : std::to_string(body.size()).c_str(), 1);
    set_stdin(body);
    cgi_read_request();
  }

  std::string names(const std::string &file_name) const {
    return "filename=" + upload + "&name=" + file_name;
  }
};

struct content_case {
  int line;
  std::string content;
};

std::string repeat(char c, size_t count) { return std::string(count, c); }

const content_case content_cases[] = {
    {__LINE__, "hello"},
    {__LINE__, "line1\r\nline2\r\n"},
    {__LINE__, "line1\nline2\n"},
    {__LINE__, ""},
    {__LINE__, "\r\n"},
    {__LINE__, std::string("a\0b\r\n\0c", 7)},
    {__LINE__, "not --" + std::string("----nimbaBoundary") + " quite"},
    // The last line reaches the 4095-byte line limit exactly at the CR before the delimiter.
    {__LINE__, repeat('x', 4094)},
    {__LINE__, "abc\r\n" + repeat('x', 4094)},
    // A CR at the limit that is content: it stays.
    {__LINE__, repeat('x', 4094) + "\ry"},
    {__LINE__, repeat('x', 4094) + "\r\r\n"},
    {__LINE__, repeat('x', 4093)},
    {__LINE__, repeat('x', 4095)},
    {__LINE__, repeat('x', 4096)},
    {__LINE__, repeat('x', 8189)}, // second piece ends at the CR
    {__LINE__, repeat('x', 4094) + "\r\n" + repeat('y', 4094)},
    {__LINE__, repeat('x', 20000) + "\r\nend"},
};

class multipart_content : public multipart, public ::testing::WithParamInterface<content_case> {};

TEST_P(multipart_content, is_stored_byte_for_byte) {
  const content_case &c = GetParam();
  SCOPED_TRACE(c.line);
  upload_body(file_part("a.txt", c.content) + closing());
  ASSERT_NE(cgi_request, nullptr);
  EXPECT_EQ(std::string(cgi_request), names("a.txt"));
  ASSERT_TRUE(std::filesystem::exists(upload));
  const std::string stored = read_file(upload);
  EXPECT_EQ(stored.size(), c.content.size());
  EXPECT_TRUE(stored == c.content);
  EXPECT_EQ(rest_of_stdin(), "");
}

INSTANTIATE_TEST_SUITE_P(table, multipart_content, ::testing::ValuesIn(content_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST_F(multipart, upload_file_is_private_and_named_in_the_request) {
  upload_body(file_part("my file.bin", "data") + closing());
  EXPECT_EQ(std::string(cgi_request), names("my file.bin"));
  struct stat info;
  ASSERT_EQ(stat(upload.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // The file name is inserted without encoding: field lookup decodes the '+' and "%20" forms.
  EXPECT_EQ(field("name"), "my file.bin");
  EXPECT_EQ(field("filename"), upload);
  cgi_free_request();
  EXPECT_FALSE(std::filesystem::exists(upload));
}

TEST_F(multipart, file_name_without_closing_quote_runs_to_the_end_of_the_line) {
  std::string body = std::string("--") + boundary + "\r\n" +
                     "Content-Disposition: form-data; filename=\"open\r\n\r\ndata\r\n" + closing();
  upload_body(body);
  EXPECT_EQ(std::string(cgi_request), names("open\r\n"));
  EXPECT_EQ(read_file(upload), "data");
}

TEST_F(multipart, parts_without_a_file_name_are_fields) {
  upload_body(file_part("", "data") + closing());
  EXPECT_EQ(cgi_request, nullptr);
  EXPECT_FALSE(std::filesystem::exists(upload));
  EXPECT_EQ(rest_of_stdin(), "");
  cgi_free_request();
  upload_body(field_part("x", "1") + field_part("a b", "c&d=e%") + closing());
  EXPECT_EQ(std::string(cgi_request), "x=1&a%20b=c%26d%3De%25");
  EXPECT_EQ(field("a b"), "c&d=e%");
  EXPECT_FALSE(std::filesystem::exists(upload));
  EXPECT_EQ(rest_of_stdin(), "");
}

TEST_F(multipart, several_parts_end_with_the_last_file_and_keep_every_field) {
  upload_body(field_part("x", "1") + file_part("one", "1111\r\n1111") + field_part("y", "2") +
              file_part("two", "22") + field_part("z", "3") + closing());
  EXPECT_EQ(std::string(cgi_request), names("two") + "&x=1&y=2&z=3");
  EXPECT_EQ(read_file(upload), "22");
  EXPECT_EQ(field("x"), "1");
  EXPECT_EQ(field("z"), "3");
}

/* The upload file is this request's own: a file or hard link already there (another
 * request's, or planted) is neither written through nor removed; an upload over 1 MiB is
 * discarded and its file removed. */
TEST_F(multipart, upload_file_is_created_exclusively_bounded_and_removed_only_by_its_maker) {
  const std::string victim = dir + "/victim";
  write_file(victim, "keep");
  ASSERT_EQ(link(victim.c_str(), upload.c_str()), 0);
  upload_body(file_part("a", "overwrite") + closing());
  EXPECT_EQ(std::string(cgi_request), names("a"));
  EXPECT_EQ(rest_of_stdin(), "");
  cgi_free_request();
  EXPECT_EQ(read_file(victim), "keep");
  EXPECT_EQ(read_file(upload), "keep") << "another request's file was removed";
  unlink(upload.c_str());

  struct bound_case {
    size_t size;
    bool kept;
  } const cases[] = {{CGI_UPLOAD_LIMIT, true}, {CGI_UPLOAD_LIMIT + 1, false}, {3 * CGI_UPLOAD_LIMIT, false}};
  for (const bound_case &c : cases) {
    SCOPED_TRACE(c.size);
    upload_body(file_part("big", std::string(c.size, 'b')) + field_part("after", "1") + closing());
    EXPECT_EQ(std::filesystem::exists(upload), c.kept);
    if (c.kept) {
      EXPECT_EQ(std::filesystem::file_size(upload), c.size);
    }
    EXPECT_EQ(field("after"), "1");
    EXPECT_EQ(rest_of_stdin(), "");
    cgi_free_request();
    EXPECT_FALSE(std::filesystem::exists(upload));
  }
}

TEST_F(multipart, body_ending_before_the_closing_delimiter_keeps_all_but_the_last_line) {
  const std::string body = file_part("a", "l1\r\nl2\r\nl3");
  upload_body(body.substr(0, body.size() - 2)); // cut the CR LF after the content
  EXPECT_EQ(std::string(cgi_request), names("a"));
  EXPECT_EQ(read_file(upload), "l1\r\nl2\r\n");
}

TEST_F(multipart, body_ending_after_a_cr_at_the_line_limit_keeps_that_line) {
  // The last held line is the lone line feed; the CR before it belongs to the line before.
  const std::string content = "abc\r\n" + repeat('x', 4094) + "\r\n";
  const std::string body = file_part("a", content);
  upload_body(body.substr(0, body.size() - 2));
  EXPECT_TRUE(read_file(upload) == "abc\r\n" + repeat('x', 4094) + "\r");
}

TEST_F(multipart, content_length_limits_what_is_read) {
  const std::string body = file_part("a", "l1\r\nl2\r\n") + closing();
  const std::string head = file_part("a", "l1\r\n");
  upload_body(body, std::to_string(head.size() - 2).c_str()); // ends after "l1\r\n"
  EXPECT_EQ(read_file(upload), "");
  EXPECT_EQ(rest_of_stdin(), body.substr(head.size() - 2));
}

struct refused_case {
  int line;
  const char *content_type;
  const char *content_length; // nullptr: unset
};

const refused_case refused_cases[] = {
    {__LINE__, "multipart/form-data", "100"},
    {__LINE__, "multipart/form-data; boundary=----nimbaBoundary7MA4YWxkTrZu0gW", nullptr},
    {__LINE__, "multipart/form-data; boundary=----nimbaBoundary7MA4YWxkTrZu0gW", "2147483648"},
    {__LINE__, "multipart/form-data; boundary=----nimbaBoundary7MA4YWxkTrZu0gW", "4294967296"},
    {__LINE__, "multipart/form-data; boundary=----nimbaBoundary7MA4YWxkTrZu0gW", "-1"},
    {__LINE__, "multipart/form-data; boundary=----nimbaBoundary7MA4YWxkTrZu0gW", "0"},
};

class multipart_refused : public multipart, public ::testing::WithParamInterface<refused_case> {};

TEST_P(multipart_refused, reads_nothing) {
  const refused_case &c = GetParam();
  SCOPED_TRACE(c.line);
  const std::string body = file_part("a", "data") + closing();
  setenv("CONTENT_TYPE", c.content_type, 1);
  if (c.content_length) setenv("CONTENT_LENGTH", c.content_length, 1);
  set_stdin(body);
  cgi_read_request();
  EXPECT_EQ(cgi_request, nullptr);
  EXPECT_FALSE(std::filesystem::exists(upload));
  EXPECT_EQ(rest_of_stdin(), body);
}

INSTANTIATE_TEST_SUITE_P(table, multipart_refused, ::testing::ValuesIn(refused_cases),
                         [](const auto &info) { return "line" + std::to_string(info.param.line); });

TEST_F(multipart, planted_symlink_at_the_upload_path_is_not_followed) {
  const std::string victim = dir + "/victim";
  write_file(victim, "keep");
  std::filesystem::create_symlink(victim, upload);
  upload_body(file_part("a", "overwrite") + closing());
  EXPECT_EQ(read_file(victim), "keep");
  EXPECT_EQ(std::string(cgi_request), names("a")); // the part is read and discarded
  EXPECT_EQ(rest_of_stdin(), "");
  cgi_free_request();
  EXPECT_TRUE(std::filesystem::is_symlink(upload)) << "not this request's file: left alone";
  EXPECT_EQ(read_file(victim), "keep");
}

TEST_F(multipart, planted_fifo_at_the_upload_path_does_not_block) {
  ASSERT_EQ(mkfifo(upload.c_str(), 0600), 0);
  upload_body(file_part("a", "data") + closing());
  EXPECT_EQ(std::string(cgi_request), names("a"));
  EXPECT_EQ(rest_of_stdin(), "");
}

TEST_F(multipart, planted_directory_at_the_upload_path_is_left_alone) {
  std::filesystem::create_directory(upload);
  upload_body(file_part("a", "data") + closing());
  EXPECT_EQ(std::string(cgi_request), names("a"));
  EXPECT_TRUE(std::filesystem::is_directory(upload));
}

TEST_F(multipart, too_long_upload_path_never_falls_back_to_the_fixed_one) {
  upload_path_set(std::string(5000, 'p').c_str());
  EXPECT_STREQ(upload_path(), "");
  upload_path_set(nullptr);
  EXPECT_STREQ(upload_path(), "/tmp/upload.bin");
  upload_path_set(upload.c_str());
}

} // namespace
