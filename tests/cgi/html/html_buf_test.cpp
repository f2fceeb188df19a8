/* Bounded escaping builder and the cuts of the escaping layer. */
#include "capture.h"
#include "ui.h"
#include <gtest/gtest.h>
#include <string>

namespace {

struct escape_case {
  int line;
  uint32_t capacity;
  std::string text;
  bool missing; /* escape a nullptr text instead */
  std::string kept;
  uint32_t total;
};
void PrintTo(const escape_case &c, std::ostream *os) { *os << "line " << c.line; }

class HtmlBufEscape : public ::testing::TestWithParam<escape_case> {};

TEST_P(HtmlBufEscape, KeepsWhatFitsAndCountsWhatWasOffered) {
  const escape_case &c = GetParam();
  SCOPED_TRACE(c.line);
  std::string storage(c.capacity + 8, '#'); /* guard bytes after the capacity */
  html_buf b{c.capacity, 0, 0, storage.data()};
  char *result = html_buf_escape(&b, c.missing ? nullptr : c.text.c_str());
  ASSERT_EQ(result, storage.data());
  EXPECT_EQ(std::string(result), c.kept);
  EXPECT_EQ(b.length, c.kept.size());
  EXPECT_EQ(b.total, c.total);
  EXPECT_EQ(storage.substr(c.capacity), std::string(8, '#'));
}

const std::string a61(61, 'a');
const std::string a100(100, 'a');
const std::string a253(253, 'a');
const std::string a300(300, 'a');

const escape_case ESCAPE_CASES[] = {
    {__LINE__, 64, "A<b>&c", false, "A&lt;b&gt;&amp;c", 16},
    {__LINE__, 64, "\"&<>", false, "&quot;&amp;&lt;&gt;", 19},
    {__LINE__, 64, "it's \xE9\xFF\x01\t", false, "it's \xE9\xFF\x01\t", 9},
    {__LINE__, 64, a100, false, std::string(63, 'a'), 100},
    {__LINE__, 64, std::string(63, 'a'), false, std::string(63, 'a'), 63},
    /* the entity is cut after the bytes that fit; nothing after it is kept */
    {__LINE__, 64, (a61 + "&bc"), false, a61 + "&a", 61 + 5 + 2},
    {__LINE__, 256, a300, false, std::string(255, 'a'), 300},
    {__LINE__, 256, (a253 + "<z"), false, a253 + "&l", 253 + 4 + 1},
    {__LINE__, 64, "", true, "", 0},
    {__LINE__, 64, "", false, "", 0},
    {__LINE__, 1, "abc", false, "", 3},
};

INSTANTIATE_TEST_SUITE_P(Cases, HtmlBufEscape, ::testing::ValuesIn(ESCAPE_CASES),
                         [](const ::testing::TestParamInfo<escape_case> &info) {
                           return "line" + std::to_string(info.param.line);
                         });

TEST(HtmlBuf, SeveralCallsAppendToOneBuilder) {
  char storage[8] = {};
  html_buf b{sizeof storage, 0, 0, storage};
  html_buf_escape(&b, "a&");
  EXPECT_STREQ(storage, "a&amp;");
  html_buf_escape(&b, "bc");
  EXPECT_STREQ(storage, "a&amp;b");
  EXPECT_EQ(b.total, 8u);
  EXPECT_EQ(b.length, 7u);
}

TEST(HtmlBuf, MissingBuilderOrStorageChangesNothing) {
  EXPECT_EQ(html_buf_append(nullptr, "abc", 3), 3u);
  EXPECT_EQ(html_buf_escape(nullptr, "abc"), nullptr);
  html_buf no_storage{16, 0, 0, nullptr};
  EXPECT_EQ(html_buf_append(&no_storage, "abc", 3), 3u);
  EXPECT_EQ(html_buf_escape(&no_storage, "abc"), nullptr);
  EXPECT_EQ(no_storage.total, 0u);
  EXPECT_EQ(no_storage.length, 0u);
}

TEST(HtmlBuf, ZeroCapacityWritesNoTerminatorOutsideTheStorage) {
  char guard = '#';
  html_buf b{0, 0, 0, &guard};
  EXPECT_EQ(html_buf_escape(&b, "x"), nullptr);
  EXPECT_EQ(guard, '#');
  EXPECT_EQ(html_buf_append(&b, "x", 1), 1u);
  EXPECT_EQ(guard, '#');
  EXPECT_EQ(b.length, 0u);
}

TEST(HtmlBuf, LengthPastTheStorageIsBroughtBackInside) {
  char storage[4] = {'a', 'b', 'c', 'd'};
  html_buf b{sizeof storage, 0, 9, storage};
  EXPECT_EQ(html_buf_escape(&b, "x"), storage);
  EXPECT_EQ(std::string(storage, 4), std::string("abc\0", 4));
  EXPECT_EQ(b.length, 3u);
}

TEST(HtmlBuf, AppendKeepsOneByteForTheTerminatorAndDoesNotTerminate) {
  char storage[5] = {'#', '#', '#', '#', '#'};
  html_buf b{sizeof storage, 0, 0, storage};
  EXPECT_EQ(html_buf_append(&b, "abcdef", 6), 6u);
  EXPECT_EQ(std::string(storage, 5), "abcd#");
  EXPECT_EQ(b.length, 4u);
  EXPECT_EQ(b.total, 6u);
}

/* Text between two markers of the captured output. */
std::string between(const std::string &s, const std::string &open, const std::string &close) {
  size_t start = s.find(open);
  if (start == std::string::npos) return "<no " + open + ">";
  start += open.size();
  return s.substr(start, s.find(close, start) - start);
}

class EscapingLayer : public ::testing::Test {
protected:
  void SetUp() override { html_layout_reset(); }
  output_capture out;
};

TEST_F(EscapingLayer, TitleIsCutAt63Bytes) {
  ui_page_header(std::string(100, 't').c_str());
  EXPECT_EQ(between(out.text(), "<title>", "</title>"), std::string(63, 't'));
}

TEST_F(EscapingLayer, EntityCutInTheMiddleOfATitle) {
  ui_page_header((a61 + "&more").c_str());
  EXPECT_EQ(between(out.text(), "<title>", "</title>"), a61 + "&a");
}

TEST_F(EscapingLayer, MissingTextsBecomeEmpty) {
  ui_message_box(1, nullptr, nullptr, "x.cgi", nullptr);
  const std::string s = out.text();
  EXPECT_NE(s.find("<b></b>"), std::string::npos);
  EXPECT_NE(s.find("<td></td>"), std::string::npos);
  EXPECT_NE(s.find("&raquo;  &laquo;"), std::string::npos);
}

TEST_F(EscapingLayer, MessageTextKeeps255BytesNameKeeps63) {
  ui_message_box(1, "T", std::string(300, 'm').c_str(), "x.cgi", "B");
  ui_text(std::string(70, 'n').c_str(), std::string(255, 'v').c_str());
  const std::string s = out.text();
  EXPECT_EQ(between(s, "<td>m", "</td>").size() + 1, 255u);
  EXPECT_EQ(between(s, "type=\"text\" name=\"", "\""), std::string(63, 'n'));
  EXPECT_EQ(between(s, std::string(63, 'n') + "\" value=\"", "\""), std::string(255, 'v'));
}

/* A text field shows its whole value however much escaping grows it (a stored text that
 * came back cut would be saved cut by the next "Apply changes"). */
TEST_F(EscapingLayer, TextFieldShowsTheWholeEscapedValue) {
  std::string expected;
  for (int i = 0; i < 255; i++) expected += "&quot;";
  ui_text("q", std::string(255, '"').c_str());
  EXPECT_EQ(between(out.text(), "value=\"", "\">"), expected);
}

TEST_F(EscapingLayer, EachArgumentHasItsOwnBuffer) {
  /* a cut logo title must not spill into or shorten the window title */
  ui_page_begin(std::string(80, 'L').c_str(), "W&", nullptr, 0, nullptr, nullptr);
  const std::string s = out.text();
  EXPECT_EQ(between(s, "<h2>", "</h2>"), std::string(63, 'L'));
  EXPECT_EQ(between(s, "class=\"title\">W", "</td>"), "&amp;");
}

} // namespace
