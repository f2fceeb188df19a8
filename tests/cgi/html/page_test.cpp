/* Page frame, menus, validator scripts and message windows against hand-written pages. */
#include "capture.h"
#include "html_texts.h"
#include "ui.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class PageTest : public ::testing::Test {
protected:
  void SetUp() override { html_layout_reset(); }
  void TearDown() override { syslog_set_command(nullptr); }
  output_capture out;
};

struct golden_case {
  const char *name;
  void (*render)();
  const char *file;
};

void PrintTo(const golden_case &c, std::ostream *os) { *os << c.name; }

class PageGolden : public PageTest, public ::testing::WithParamInterface<golden_case> {};

TEST_P(PageGolden, MatchesByteForByte) {
  GetParam().render();
  const std::string expected = golden(GetParam().file);
  ASSERT_FALSE(expected.empty()) << GetParam().file;
  EXPECT_EQ(out.text(), expected);
}

const menu_item empty_menu[] = {{nullptr, nullptr}};

INSTANTIATE_TEST_SUITE_P(
    Pages, PageGolden,
    ::testing::Values(
        golden_case{"Header", [] { ui_page_header("A<b>&c \"q\" 'x' 100%"); }, "page_header.html"},
        golden_case{"BeginDefaultMenu",
                    [] { page_begin("Logo %s", "Window", nullptr, 0, nullptr, nullptr); },
                    "page_begin_default.html"},
        golden_case{
            "BeginModuleMenuWithForm",
            [] { ui_page_begin("NIMBA Message Router", "Options", "set.cgi", 0, nullptr, module_menu); },
            "page_begin_module_form.html"},
        golden_case{"BeginMultipartEmptyMenu",
                    [] { page_begin("L", "W", "up.cgi", 1, nullptr, empty_menu); },
                    "page_begin_multipart_empty_menu.html"},
        golden_case{"EndHalfFullRow",
                    [] {
                      html_layout.form_open = 1;
                      html_layout.rows_open = 1;
                      html_layout.column = 1;
                      page_end("check();\n");
                    },
                    "page_end_half_row.html"},
        golden_case{
            "MessageBoxSuccess",
            [] { ui_message_box(7, "Saved & done", "All <done> \"kept\" 5%", "index.cgi?a=1&b=2", "O<k"); },
            "message_box_success.html"},
        golden_case{"ResultUpdated", [] { ui_result_box(1, 0, "index.cgi"); }, "result_box_updated.html"},
        golden_case{"ResultError", [] { ui_result_box(0, 1, "index.cgi"); }, "result_box_error.html"},
        golden_case{"ResultInvalid", [] { result_box(0, 0, "index.cgi"); }, "result_box_invalid.html"},
        golden_case{"DownloadHeader", [] { download_header("settings 100%.txt"); }, "download_header.txt"},
        golden_case{"SyslogPage",
                    [] {
                      syslog_set_command("printf 'Jan  1 <kern> boot 100%%\\n'");
                      ui_syslog_page("NIMBA & Router", module_menu);
                    },
                    "syslog_page.html"}),
    [](const ::testing::TestParamInfo<golden_case> &info) { return info.param.name; });

TEST_F(PageTest, MessageBoxFailureColoursTheBarRed) {
  ui_message_box(0, "Saved & done", "All <done> \"kept\" 5%", "index.cgi?a=1&b=2", "O<k");
  std::string expected = golden("message_box_success.html");
  expected.replace(expected.find("#008000"), 7, "#800000");
  EXPECT_EQ(out.text(), expected);
}

TEST_F(PageTest, SyslogPageRunsTheSystemLogsCommandByDefault) {
  const std::string command = syslog_command();
  EXPECT_EQ(command.rfind("cat /var/log/messages.1 /var/log/messages 2> /dev/null | tail -n 25 | ", 0), 0u);
  EXPECT_EQ(command.substr(command.size() - std::strlen(html_texts::html_escape_filter)),
            html_texts::html_escape_filter);
}

TEST_F(PageTest, SyslogLinesShowAsTextNotMarkup) {
  const std::string command =
      std::string("printf 'sshd: invalid user <script>a&&b</script>\\n' | ") + html_texts::html_escape_filter;
  syslog_set_command(command.c_str());
  block_command(syslog_command(), 1);
  EXPECT_NE(out.text().find("sshd: invalid user &lt;script&gt;a&amp;&amp;b&lt;/script&gt;\n</pre>"),
            std::string::npos)
      << out.text();
}

/* Validator scripts: the script block is everything before the frame start. */
struct script_case {
  const char *name;
  const char *script;
  std::vector<const char *> functions;
};

void PrintTo(const script_case &c, std::ostream *os) { *os << c.name; }

class PageScript : public PageTest, public ::testing::WithParamInterface<script_case> {};

TEST_P(PageScript, WritesTheNamedValidatorsInFixedOrder) {
  const script_case &c = GetParam();
  page_begin("L", "W", nullptr, 0, c.script, nullptr);
  std::string expected = "<script type=\"text/javascript\">\n<!--\n";
  for (const char *f : c.functions) {
    const std::string text = golden(std::string("validators/") + f + ".js");
    ASSERT_FALSE(text.empty()) << f;
    expected += text;
  }
  expected += std::string(c.script) + "-->\n</script>\n";
  const std::string s = out.text();
  EXPECT_EQ(s.substr(0, s.find("<table width=")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, PageScript,
    ::testing::Values(
        script_case{"ErrorBringsGetValue", "return Error('x', f.a);\n", {"Error"}},
        script_case{"IsEmptyAlone", "IsEmpty(f.a);\n", {"IsEmpty"}},
        script_case{"IsInRangeAlone", "IsInRange(f.a, 1, 9, 0);\n", {"IsInRange"}},
        script_case{"IsValidMACAlone", "IsValidMAC(f.a, 0);\n", {"IsValidMAC"}},
        script_case{"IsValidIPAlone", "IsValidIP(f.a, 0);\n", {"IsValidIP"}},
        script_case{"IsValidPortAlone", "IsValidPort(f.a, 0);\n", {"IsValidPort"}},
        script_case{"SubstringIsValidIPRange", "function IsValidIPRange(a) {}\n", {"IsValidIP"}},
        script_case{"AllInFixedOrder",
                    "IsValidPort IsValidIP IsValidMAC IsInRange IsEmpty Error Error\n",
                    {"Error", "IsEmpty", "IsInRange", "IsValidMAC", "IsValidIP", "IsValidPort"}},
        script_case{"CaseSensitive", "error isempty 100%\n", {}}, script_case{"EmptyScript", "", {}}),
    [](const ::testing::TestParamInfo<script_case> &info) { return info.param.name; });

TEST_F(PageTest, FormOpensOnlyWithAnActionAndPageEndClosesIt) {
  page_begin("L", "W", nullptr, 1, nullptr, nullptr);
  EXPECT_EQ(html_layout.form_open, 0);
  EXPECT_EQ(out.text().find("<form"), std::string::npos);
  page_end(nullptr);
  EXPECT_EQ(out.text().find("</form>"), std::string::npos);

  page_begin("L", "W", "a.cgi", 0, nullptr, nullptr);
  EXPECT_EQ(html_layout.form_open, 1);
  page_end(nullptr);
  EXPECT_NE(out.text().find("      </form>\n    </td>\n"), std::string::npos);
}

TEST_F(PageTest, PageEndWithNothingOpenChangesNoField) {
  html_layout.columns_per_row = 3;
  page_end(nullptr);
  EXPECT_EQ(out.text(), "</td>\n        </tr>\n      </table>\n    </td>\n  </tr>\n</table>\n");
  EXPECT_EQ(html_layout.columns_per_row, 3u);
  html_layout.column = 2;
  html_layout.rows_open = 1;
  page_end(nullptr);
  EXPECT_EQ(html_layout.column, 2u);
  EXPECT_EQ(html_layout.rows_open, 1u);
}

struct menu_case {
  const char *name;
  std::vector<menu_item> items; /* ended by the caller's terminator */
  std::string expected;
};

std::string head(const char *title) {
  return std::string("        <tr>\n          <td nowrap class=\"title\">") + title +
         "</td>\n        </tr>\n        <tr>\n          <td>\n"
         "            <table cellspacing=\"2\" cellpadding=\"1\">\n";
}
std::string row(const char *link, const char *label) {
  return std::string("              <tr><td nowrap><a href=\"") + link + "\">" + label + "</a></td></tr>\n";
}
const std::string foot = "            </table>\n          </td>\n        </tr>\n";

void PrintTo(const menu_case &c, std::ostream *os) { *os << c.name; }

class MenuWalk : public PageTest, public ::testing::WithParamInterface<menu_case> {};

TEST_P(MenuWalk, WritesSectionsUntilTheEmptyEntry) {
  std::vector<menu_item> items = GetParam().items;
  items.push_back({nullptr, nullptr});
  page_begin("L", "W", nullptr, 0, nullptr, items.data());
  const std::string s = out.text();
  const std::string start = "class=\"window\">\n";
  const size_t from = s.find(start) + start.size();
  EXPECT_EQ(s.substr(from, s.find("      </table>\n    </td>") - from), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Menus, MenuWalk,
                         ::testing::Values(menu_case{"Empty", {}, ""},
                                           menu_case{"TitleFollowedByTitle",
                                                     {{"A", nullptr}, {"B", nullptr}, {"b", "b.cgi"}},
                                                     head("A") + foot + head("B") + row("b.cgi", "b") + foot},
                                           menu_case{"FirstEntryIsATitleEvenWithALink",
                                                     {{"A", "ignored.cgi"}, {"a", "a.cgi"}},
                                                     head("A") + row("a.cgi", "a") + foot},
                                           menu_case{"LinkWithoutLabelShowsEmpty",
                                                     {{"A", nullptr}, {nullptr, "a.cgi"}},
                                                     head("A") + row("a.cgi", "") + foot}),
                         [](const ::testing::TestParamInfo<menu_case> &info) { return info.param.name; });

TEST_F(PageTest, PageCloseEndsTheDocumentAndFlushes) {
  page_close();
  /* read the file behind the stream without flushing it ourselves */
  char content[64] = {};
  const ssize_t n = pread(fileno(out.file), content, sizeof content - 1, 0);
  EXPECT_EQ(std::string(content, n > 0 ? size_t(n) : 0), "</body>\n\n</html>\n");
}

} // namespace
