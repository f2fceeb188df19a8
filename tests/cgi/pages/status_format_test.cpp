/* The status page's texts that do not depend on the file: ages, local times, JSON strings,
 * each checked for its cuts and edges. */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "html.h"
#include "status_page.h"

namespace {

struct age_case {
  int line;
  long long age; /* seconds before now; negative: after */
  const char *text;
};

TEST(StatusTexts, AgeInTheLargestWholeUnit) {
  const age_case cases[] = {
      {__LINE__, 0, "0 seconds ago"},
      {__LINE__, 1, "1 second ago"},
      {__LINE__, 59, "59 seconds ago"},
      {__LINE__, 60, "1 minute ago"},
      {__LINE__, 119, "1 minute ago"},
      {__LINE__, 120, "2 minutes ago"},
      {__LINE__, 3599, "59 minutes ago"},
      {__LINE__, 3600, "1 hour ago"},
      {__LINE__, 86399, "23 hours ago"},
      {__LINE__, 86400, "1 day ago"},
      {__LINE__, 400 * 86400LL, "400 days ago"},
      {__LINE__, -1, ""},
  };
  const long long now = 1765000000;
  for (const age_case &c : cases) {
    char text[STATUS_TIME_CAPACITY];
    EXPECT_EQ(std::string(c.text).size(), status_age_text(text, sizeof text, now - c.age, now)) << c.line;
    EXPECT_STREQ(c.text, text) << "line " << c.line;
  }
  char small[6];
  EXPECT_EQ(5u, status_age_text(small, sizeof small, now - 120, now));
  EXPECT_STREQ("2 min", small);
}

TEST(StatusTexts, LocalDateAndTimeWithTheAge) {
  const char *saved = std::getenv("TZ");
  const std::string old = saved != nullptr ? saved : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  char text[STATUS_TIME_CAPACITY];
  /* 2025-12-06 05:46:40 UTC. */
  EXPECT_EQ(35u, status_time_text(text, sizeof text, 1764999999 + 1, 1765000000 + 330));
  EXPECT_STREQ("2025-12-06 06:46:40 (5 minutes ago)", text);
  EXPECT_GT(status_time_text(text, sizeof text, 1765000000 + 10, 1765000000), 0u);
  EXPECT_STREQ("2025-12-06 06:46:50", text) << "a time after now shows no age";
  if (saved != nullptr) {
    setenv("TZ", old.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(StatusTexts, JsonStringsAreAlwaysValid) {
  FILE *file = tmpfile();
  ASSERT_NE(nullptr, file);
  html_set_output(file);
  status_json_text("a\"b\\c/\x01\n\x7f\xe9 end");
  status_json_text(nullptr);
  status_json_text("");
  html_set_output(nullptr);
  std::rewind(file);
  char text[256] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  EXPECT_EQ("\"a\\\"b\\\\c/\\u0001\\u000A\\u007F\\u00E9 end\"null\"\"", std::string(text, n));
}

} // namespace
