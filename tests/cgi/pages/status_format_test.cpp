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

TEST(StatusTexts, DurationInItsTwoLargestUnits) {
  const struct {
    int line;
    long long ms;
    const char *text;
  } cases[] = {
      {__LINE__, 0, "0 ms"},
      {__LINE__, 999, "999 ms"},
      {__LINE__, 1000, "1 second"},
      {__LINE__, 59999, "59 seconds"},
      {__LINE__, 60000, "1 minute 0 seconds"},
      {__LINE__, 83250, "1 minute 23 seconds"},
      {__LINE__, 3599999, "59 minutes 59 seconds"},
      {__LINE__, 3600000, "1 hour 0 minutes"},
      {__LINE__, 90061000, "25 hours 1 minute"},
  };
  for (const auto &c : cases) {
    char text[STATUS_TIME_CAPACITY];
    EXPECT_EQ(std::string(c.text).size(), status_duration_text(text, sizeof text, c.ms)) << c.line;
    EXPECT_STREQ(c.text, text) << "line " << c.line;
  }
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

/* Each text as status_json_text writes it. */
std::string json_text(const char *text) {
  FILE *file = tmpfile();
  if (file == nullptr) return "(no temporary file)";
  html_set_output(file);
  status_json_text(text);
  html_set_output(nullptr);
  std::rewind(file);
  char out[256] = {};
  const size_t n = std::fread(out, 1, sizeof out - 1, file);
  std::fclose(file);
  return std::string(out, n);
}

struct json_text_case {
  int line;
  const char *text;
  const char *json;
};

TEST(StatusTexts, JsonStringsAreAlwaysValid) {
  const json_text_case cases[] = {
      {__LINE__, "a\"b\\c/\x01\n\x7f end", "\"a\\\"b\\\\c/\\u0001\\u000A\\u007F end\""},
      {__LINE__, nullptr, "null"},
      {__LINE__, "", "\"\""},
      /* Well-formed UTF-8 passes unchanged: two, three and four bytes, the smallest and the
       * largest of each, and the neighbours of the surrogates. */
      {__LINE__,
       "acm\xc3\xa9 \xdf\xbf\xe2\x82\xac\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
       "\"acm\xc3\xa9 \xdf\xbf\xe2\x82\xac\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\""},
      {__LINE__,
       "\xc2\x80\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80",
       "\"\xc2\x80\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\""},
      /* Every byte that is not part of well-formed UTF-8 becomes U+FFFD: a lone ISO-8859-1
       * byte, a stray continuation, an overlong form, a surrogate, beyond U+10FFFF, bytes
       * that never occur, a sequence cut by another character or by the end. */
      {__LINE__, "\xe9 end", "\"\\uFFFD end\""},
      {__LINE__, "\x80\xbf", "\"\\uFFFD\\uFFFD\""},
      {__LINE__, "\xc0\xaf\xc1\xbf", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
      {__LINE__, "\xe0\x9f\xbf", "\"\\uFFFD\\uFFFD\\uFFFD\""},
      {__LINE__, "\xed\xa0\x80", "\"\\uFFFD\\uFFFD\\uFFFD\""},
      {__LINE__, "\xf0\x8f\xbf\xbf", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
      {__LINE__, "\xf4\x90\x80\x80", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
      {__LINE__, "\xf5\xfe\xff", "\"\\uFFFD\\uFFFD\\uFFFD\""},
      {__LINE__, "\xe2\x82x\xf0\x9f\x98\"", "\"\\uFFFD\\uFFFDx\\uFFFD\\uFFFD\\uFFFD\\\"\""},
      {__LINE__, "\xe2\x82", "\"\\uFFFD\\uFFFD\""},
  };
  for (const json_text_case &c : cases) EXPECT_EQ(c.json, json_text(c.text)) << "line " << c.line;
}

} // namespace
