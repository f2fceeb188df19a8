/* Widget grid state machine, widgets and text blocks. */
#include "capture.h"
#include "ui.h"
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

class GridTest : public ::testing::Test {
protected:
  void SetUp() override { html_layout_reset(); }
  output_capture out;
};

TEST_F(GridTest, FourLabelsWithAFirstWidth) {
  grid_begin(2, 120);
  for (const char *t : {"a", "b", "c", "d"}) w_label(t);
  EXPECT_EQ(out.text(),
            "<table><tr><td nowrap width=\"120\">a</td><td nowrap>b</td></tr>"
            "<tr><td nowrap>c</td><td nowrap>d</td></tr>");
  EXPECT_EQ(html_layout.column, 0u);
  EXPECT_EQ(html_layout.rows_open, 2u);
}

TEST_F(GridTest, ZeroColumnsGiveOneCellPerRow) {
  grid_begin(0, 0);
  w_label("a");
  w_label("b");
  EXPECT_EQ(out.text(), "<table><tr><td nowrap>a</td></tr><tr><td nowrap>b</td></tr>");
}

TEST_F(GridTest, CellIdServesOneCellAndJoinsTheWidth) {
  grid_begin(2, 120);
  next_cell_id("first");
  w_label("a");
  w_label("b");
  ui_next_cell_id("third");
  w_label("c");
  EXPECT_EQ(out.text(),
            "<table><tr><td nowrap width=\"120\" id=\"first\">a</td>"
            "<td nowrap>b</td></tr><tr><td nowrap id=\"third\">c</td>");
  EXPECT_EQ(html_layout.cell_id, nullptr);
}

TEST_F(GridTest, InputAttrsServeExactlyTheNextWidget) {
  next_input_attrs("disabled");
  w_text("a", "1");
  w_text("b", "2");
  EXPECT_EQ(out.text(),
            "<table><tr><td nowrap><input disabled type=\"text\" name=\"a\" "
            "value=\"1\"></td><td nowrap><input class=\"input\" type=\"text\" "
            "name=\"b\" value=\"2\"></td></tr>");
  EXPECT_EQ(html_layout.input_attrs, nullptr);
}

TEST_F(GridTest, InputAttrsAreUsedUpByAWidgetWithoutAttributes) {
  ui_next_input_attrs("disabled");
  w_label("x");
  w_text("b", "2");
  EXPECT_EQ(out.text(),
            "<table><tr><td nowrap>x</td><td nowrap><input class=\"input\" "
            "type=\"text\" name=\"b\" value=\"2\"></td></tr>");
}

TEST_F(GridTest, CellInsideAnOpenBlockTableContinuesIt) {
  grid_begin(2, 120);
  block_header("H");
  w_label("a");
  EXPECT_EQ(out.text(),
            "<table width=\"100%\"><tr><td nowrap align=\"center\" "
            "class=\"header\">H</td></tr><tr><td nowrap>a</td>");
  EXPECT_EQ(html_layout.rows_open, 2u);
}

TEST_F(GridTest, GridBreakMidRowClosesRowAndTable) {
  grid_begin(3, 7);
  w_label("a");
  grid_break();
  EXPECT_EQ(out.text(),
            "<table><tr><td nowrap width=\"7\">a</td></tr></table>"
            "</td></tr><tr><td>");
  EXPECT_EQ(html_layout.column, 0u);
  EXPECT_EQ(html_layout.rows_open, 0u);
  EXPECT_EQ(html_layout.columns_per_row, 3u);
  EXPECT_EQ(html_layout.first_width, 7u);
  /* the next table gets its width again */
  w_label("b");
  EXPECT_NE(out.text().find("<table><tr><td nowrap width=\"7\">b</td>"), std::string::npos);
}

TEST_F(GridTest, GridBreakWithNothingOpenOnlyStartsARow) {
  grid_break();
  EXPECT_EQ(out.text(), "</td></tr><tr><td>");
}

TEST_F(GridTest, GridBeginAfterAFullRowClosesOnlyTheTable) {
  w_label("a");
  w_label("b");
  grid_begin(1, 0);
  EXPECT_EQ(out.text(), "<table><tr><td nowrap>a</td><td nowrap>b</td></tr></table>");
}

/* Every widget in the first cell of a fresh two-column grid. */
struct widget_case {
  const char *name;
  void (*render)();
  const char *element;
};

void PrintTo(const widget_case &c, std::ostream *os) { *os << c.name; }

class Widget : public GridTest, public ::testing::WithParamInterface<widget_case> {};

TEST_P(Widget, WritesItsElementInOneCell) {
  GetParam().render();
  EXPECT_EQ(out.text(), std::string("<table><tr><td nowrap>") + GetParam().element + "</td>");
  EXPECT_EQ(html_layout.column, 1u);
  EXPECT_EQ(html_layout.input_attrs, nullptr);
}

const select_item modes[] = {{"Quickstart", 0}, {"Registered", 1}, {"Again", 1}, {nullptr, 1}};
const select_str_item units[] = {{"Seconds", "s"}, {"Minutes", "min"}, {nullptr, "s"}};

INSTANTIATE_TEST_SUITE_P(
    Widgets, Widget,
    ::testing::Values(
        widget_case{"Submit",
                    [] { w_submit("go", "Apply <x>"); },
                    "<input type=\"submit\" name=\"go\" value=\"Apply <x>\">"},
        widget_case{"UiSubmitEscapes",
                    [] { ui_submit("g\"o", "A&B"); },
                    "<input type=\"submit\" name=\"g&quot;o\" value=\"A&amp;B\">"},
        widget_case{"Textarea",
                    [] { w_textarea("t", "x<y\n", 40, 5); },
                    "<textarea name=\"t\" cols=\"40\" rows=\"5\">\nx<y\n</textarea>"},
        widget_case{"CheckboxOff", [] { w_checkbox("c", 0); }, "<input type=\"checkbox\" name=\"c\">"},
        widget_case{
            "CheckboxOn", [] { ui_checkbox("c", 5); }, "<input type=\"checkbox\" name=\"c\" checked>"},
        widget_case{"SelectNoMatch",
                    [] { w_select("m", 9, modes); },
                    "<select class=\"input\" name=\"m\"><option value=\"0\">Quickstart"
                    "<option value=\"1\">Registered<option value=\"1\">Again</select>"},
        widget_case{"SelectTwoMatches",
                    [] { ui_select("m<", 1, modes); },
                    "<select class=\"input\" name=\"m&lt;\"><option value=\"0\">Quickstart"
                    "<option value=\"1\" selected>Registered<option value=\"1\" selected>Again"
                    "</select>"},
        widget_case{"SelectStrMatch",
                    [] { ui_select_str("u", "min", units); },
                    "<select class=\"input\" name=\"u\"><option value=\"s\">Seconds"
                    "<option value=\"min\" selected>Minutes</select>"},
        widget_case{"SelectStrPrefixIsNoMatch",
                    [] { w_select_str("u", "mi", units); },
                    "<select class=\"input\" name=\"u\"><option value=\"s\">Seconds"
                    "<option value=\"min\">Minutes</select>"},
        widget_case{"File", [] { ui_file("up"); }, "<input type=\"file\" name=\"up\" size=\"50\">"},
        widget_case{"Password", [] { ui_password("pw"); }, "<input type=\"password\" name=\"pw\">"},
        widget_case{
            "IpZero", [] { ui_ip("ip", 0); }, "<input class=\"input\" type=\"text\" name=\"ip\" value=\"\">"},
        widget_case{"IpDotted",
                    [] { w_ip("ip", 0xC0A80101u); },
                    "<input class=\"input\" type=\"text\" name=\"ip\" value=\"192.168.1.1\">"},
        widget_case{"IpHighBytes",
                    [] { w_ip("ip", 0xFFFEFDFCu); },
                    "<input class=\"input\" type=\"text\" name=\"ip\" value=\"255.254.253.252\">"},
        widget_case{"NumberZeroHidden",
                    [] { w_number("n", 0, 0, nullptr); },
                    "<input class=\"input\" type=\"text\" name=\"n\" value=\"\">"},
        widget_case{"NumberZeroShown",
                    [] { ui_number("n", 0, 1, nullptr); },
                    "<input class=\"input\" type=\"text\" name=\"n\" value=\"0\">"},
        widget_case{"NumberTrailing",
                    [] { w_number("n", 4294967295u, 0, "s (max)"); },
                    "<input class=\"input\" type=\"text\" name=\"n\" value=\"4294967295\"> s (max)"},
        widget_case{"NumberZeroTrailing",
                    [] { w_number("n", 0, 0, "%d"); },
                    "<input class=\"input\" type=\"text\" name=\"n\" value=\"\"> %d"},
        widget_case{"TextDisabledUnescaped",
                    [] { ui_text_disabled("d", "a\"b"); },
                    "<input class=\"input\" type=\"text\" name=\"d\" value=\"a\"b\" disabled>"},
        widget_case{"TextUnescaped",
                    [] { w_text("t", "a\"b"); },
                    "<input class=\"input\" type=\"text\" name=\"t\" value=\"a\"b\">"},
        widget_case{"UiTextEscapes",
                    [] { ui_text("t&", "a\"b'c"); },
                    "<input class=\"input\" type=\"text\" name=\"t&amp;\" value=\"a&quot;b'c\">"},
        widget_case{
            "Link", [] { ui_link("x.cgi?a=1&b=2", "<go>"); }, "<a href=\"x.cgi?a=1&b=2\">&lt;go&gt;</a>"},
        widget_case{"Label", [] { w_label("50% <b>"); }, "50% <b>"},
        widget_case{"UiLabel", [] { ui_label("50% <b>"); }, "50% &lt;b&gt;"}),
    [](const ::testing::TestParamInfo<widget_case> &info) { return info.param.name; });

/* A file in the test's temporary folder, removed at the end of the test. */
struct temp_file {
  std::string path;
  explicit temp_file(const std::string &content) {
    char name[] = "/tmp/nimba_html_test_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) {
      path = name;
      if (!content.empty() && write(fd, content.data(), content.size()) < 0) path.clear();
      close(fd);
    }
  }
  ~temp_file() {
    if (!path.empty()) unlink(path.c_str());
  }
  const char *c_str() const { return path.c_str(); }
};

const char *const missing_path = "/nonexistent/nimba_html_test/none.txt";

TEST_F(GridTest, TextareaFileEscapesMarkupButNotQuotes) {
  temp_file f("a<b>&c\"\n");
  ui_textarea_file("t", f.c_str(), 60, 4);
  w_textarea_file("u", missing_path, 1, 1);
  EXPECT_EQ(out.text(),
            "<table><tr><td nowrap><textarea name=\"t\" cols=\"60\" rows=\"4\">\n"
            "a&lt;b&gt;&amp;c\"\n</textarea></td><td nowrap><textarea name=\"u\" "
            "cols=\"1\" rows=\"1\">\n</textarea></td></tr>");
}

TEST_F(GridTest, BlockTextAndHeaderShareOneTable) {
  ui_block_text("t 100%");
  ui_block_header("H");
  EXPECT_EQ(out.text(),
            "<table width=\"100%\"><tr><td nowrap><pre>\n\nt 100%\n\n</pre></td></tr>"
            "<tr><td nowrap align=\"center\" class=\"header\">H</td></tr>");
  EXPECT_EQ(html_layout.rows_open, 1u);
  EXPECT_EQ(html_layout.column, 0u);
}

struct file_case {
  const char *name;
  bool exists;
  const char *content;
  const char *fallback;
  const char *inside; /* what stands between "<pre>\n\n" and "\n</pre>" */
};

void PrintTo(const file_case &c, std::ostream *os) { *os << c.name; }

class BlockFile : public GridTest, public ::testing::WithParamInterface<file_case> {};

TEST_P(BlockFile, ShowsTheFileOrTheFallback) {
  const file_case &c = GetParam();
  temp_file f(c.content);
  ui_block_file(c.exists ? f.c_str() : missing_path, c.fallback);
  EXPECT_EQ(out.text(),
            std::string("<table width=\"100%\"><tr><td nowrap><pre>\n\n") + c.inside + "\n</pre></td></tr>");
}

INSTANTIATE_TEST_SUITE_P(
    Files, BlockFile,
    ::testing::Values(file_case{"MissingWithFallback", false, "", "none yet", "none yet\n"},
                      file_case{"MissingWithoutFallback", false, "", nullptr, ""},
                      file_case{"EmptyWithFallback", true, "", "none 100%", "none 100%\n"},
                      file_case{"EmptyWithoutFallback", true, "", nullptr, ""},
                      file_case{"ContentUnchanged", true, "x<y>&\n", "unused", "x<y>&\n"}),
    [](const ::testing::TestParamInfo<file_case> &info) { return info.param.name; });

TEST_F(GridTest, EchoFileCopiesLongLinesAndNulBytesWhole) {
  std::string content;
  for (int i = 0; i < 40; ++i) content += std::string(i * 7, char('a' + i % 26)) + "\n";
  content += std::string("nul\0byte", 8) + std::string(300, 'z');
  temp_file f(content);
  echo_file(f.c_str(), "fallback");
  EXPECT_EQ(out.text(), content);
}

TEST_F(GridTest, BlockCommandOutputLandsInsideTheRow) {
  ui_block_command("printf 'out <1>\\n'", 0);
  block_command("printf 'raw'", 1);
  block_command("exit 3", 0);
  EXPECT_EQ(out.text(),
            "<table width=\"100%\"><tr><td nowrap><pre>\n\nout <1>\n\n</pre></td></tr>"
            "<tr><td nowrap><pre>\n\nraw</pre></td></tr>"
            "<tr><td nowrap><pre>\n\n\n</pre></td></tr>");
}

/* The production path: no stream set, the page goes to the process's standard output. */
TEST_F(GridTest, BlockCommandOnStandardOutputKeepsTheOrder) {
  html_set_output(nullptr);
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(dup2(fileno(out.file), STDOUT_FILENO), 0);
  html_layout_reset();
  block_command("printf 'cmd\\n'", 0);
  page_close();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_EQ(out.text(),
            "<table width=\"100%\"><tr><td nowrap><pre>\n\ncmd\n\n</pre></td></tr>"
            "</body>\n\n</html>\n");
}

} // namespace
