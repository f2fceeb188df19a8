/* Fixture for the request input: a clean CGI environment, fd 0 from a temporary file and
 * the upload file in a temporary folder. */
#pragma once
#include "files.h"
#include "request.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

class request_test : public ::testing::Test {
protected:
  void SetUp() override {
    clear_environment();
    char pattern[] = "/tmp/nimba_request_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    upload = dir + "/upload.bin";
    upload_path_set(upload.c_str());
    saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    set_stdin("");
  }

  void TearDown() override {
    cgi_free_request();
    upload_path_set(nullptr);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    clear_environment();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  static void clear_environment() {
    for (const char *name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH"})
      unsetenv(name);
  }

  /* fd 0 reads content from a file in the temporary folder. */
  void set_stdin(std::string_view content) {
    const std::string path = dir + "/stdin." + std::to_string(stdin_count++);
    ASSERT_EQ(write_file(path, std::string(content)), 1);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 0), 0);
    close(fd);
  }

  /* Bytes still unread on fd 0. */
  static std::string rest_of_stdin() {
    std::string rest;
    char buffer[4096];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0) rest.append(buffer, static_cast<size_t>(n));
    return rest;
  }

  void get(const char *query) {
    setenv("REQUEST_METHOD", "GET", 1);
    setenv("QUERY_STRING", query, 1);
    cgi_read_request();
    ASSERT_NE(cgi_request, nullptr);
  }

  void post(std::string_view body, const char *length = nullptr) {
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_LENGTH", length ? length : std::to_string(body.size()).c_str(), 1);
    set_stdin(body);
    cgi_read_request();
  }

  /* The field through cgi_get_field, released. */
  static std::string field(const char *name) {
    char *value = nullptr;
    EXPECT_EQ(cgi_get_field(name, &value), 1);
    std::string result = value ? value : "<null>";
    free(value);
    return result;
  }

  std::string dir, upload;
  int saved_stdin = -1;
  int stdin_count = 0;
};
