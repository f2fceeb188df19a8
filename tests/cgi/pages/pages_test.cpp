/* The pages of nimba_cgi as the web server drives them: program name, CGI environment and
 * body in; the whole response, the settings file, the init script's runs and the system
 * log out. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cstdlib>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "html.h"
#include "page_site.h"
#include "page_table.h"

namespace {

/* LOG_DAEMON with LOG_WARNING. */
constexpr int WARNING_PRIORITY = 3 * 8 + 4;

const std::string STORED =
    "# Cloud connection of the module\n"
    "NIMBA_MODE=1\n"
    "NIMBA_ORGID=org-7\n"
    "NIMBA_DTYPEID=gate&way <b>\n"
    "NIMBA_AUTHTOKEN=\"tok'en\"\n"
    "\n"
    "  # vendor lines stay\n"
    "NIMBA_SSL=1\n"
    "VENDOR_NOTE = keep me\n";

const std::string DEFAULTS =
    "NIMBA_MODE=0\n"
    "NIMBA_ORGID=default-org\n"
    "NIMBA_DTYPEID=default-type\n"
    "NIMBA_AUTHTOKEN=\n"
    "NIMBA_SSL=0\n";

/* STORED with the saved values in place of the old ones. */
std::string stored_with(const std::string &mode, const std::string &orgid, const std::string &dtypeid,
                        const std::string &authtoken, const std::string &ssl = "1") {
  const std::string lines[] = {"# Cloud connection of the module",
                               "NIMBA_MODE=" + mode,
                               "NIMBA_ORGID=" + orgid,
                               "NIMBA_DTYPEID=" + dtypeid,
                               "NIMBA_AUTHTOKEN=" + authtoken,
                               "",
                               "  # vendor lines stay",
                               "NIMBA_SSL=" + ssl,
                               "VENDOR_NOTE = keep me"};
  std::string text;
  for (const std::string &line : lines) text += line + "\n";
  return text;
}

cgi_request_setup post(const std::string &body) {
  return {"POST", "application/x-www-form-urlencoded", body, ""};
}

/* The same post with the headers a browser adds. */
cgi_request_setup post_with(const std::string &body, std::vector<std::string> headers) {
  cgi_request_setup request = post(body);
  request.headers = std::move(headers);
  return request;
}

/* A multipart/form-data post of the fields (boundary "xyz"). */
cgi_request_setup multipart_post(const std::vector<std::pair<std::string, std::string>> &fields) {
  std::string body;
  for (const auto &f : fields)
    body += "--xyz\r\nContent-Disposition: form-data; name=\"" + f.first + "\"\r\n\r\n" + f.second + "\r\n";
  body += "--xyz--\r\n";
  return {"POST", "multipart/form-data; boundary=xyz", body, ""};
}

using form_fields = std::vector<std::pair<std::string, std::string>>;

std::string registered_form(const std::string &orgid) {
  return form_encode({{"NIMBA_MODE", "1"},
                      {"NIMBA_ORGID", orgid},
                      {"NIMBA_DTYPEID", "gw"},
                      {"NIMBA_AUTHTOKEN", "s3cret"},
                      {"button", "Apply changes"}});
}

class PageTest : public ::testing::Test {
protected:
  void SetUp() override {
    /* Only what a case sets reaches the program. */
    for (const char *name : {"REQUEST_METHOD", "CONTENT_TYPE", "CONTENT_LENGTH", "QUERY_STRING"})
      unsetenv(name);
    ASSERT_TRUE(site_create(&site));
    write_file(site_path(site, "etc/settings"), STORED);
    chmod(site_path(site, "etc/settings").c_str(), 0640);
    write_file(site_path(site, "etc/defaults"), DEFAULTS);
    site_set_init(site, INIT_OK);
  }
  void TearDown() override { site_destroy(&site); }

  page_response run(const std::string &program, const cgi_request_setup &request = {}) {
    page_response response;
    EXPECT_TRUE(site_run(&site, program, request, &response)) << program;
    EXPECT_EQ(response.exit_code, 0) << program;
    return response;
  }

  /* Messages of the run, each checked for identity and priority. */
  static std::vector<std::string> messages(const page_response &response, const std::string &ident,
                                           int priority) {
    std::vector<std::string> texts;
    for (const syslog_entry &entry : response.log) {
      EXPECT_EQ(entry.ident, ident) << entry.message;
      EXPECT_EQ(entry.priority, priority) << entry.message;
      texts.push_back(entry.message);
    }
    return texts;
  }

  page_site site;
};

/* ---- Options page ---- */

struct index_case {
  int line;
  const char *title;
  const char *settings; /* nullptr: no settings file */
  const char *defaults; /* nullptr: no defaults file */
  const char *golden;
  const char *err;                 /* the load's diagnostics on standard error */
  std::vector<std::string> logged; /* of those, what reaches the system log (LOG_WARNING) */
};

const std::string LONG_QUOTES = "x" + std::string(120, '"');

const index_case INDEX_CASES[] = {
    {__LINE__, "StoredValuesEscaped", STORED.c_str(), DEFAULTS.c_str(), "index_stored.html", "", {}},
    {__LINE__,
     "MissingKeyFromDefaults",
     "NIMBA_MODE=1\nNIMBA_DTYPEID=t\nNIMBA_AUTHTOKEN=a\nNIMBA_SSL=0\n",
     DEFAULTS.c_str(),
     "index_missing_key.html",
     "NIMBA_ORGID is not found in settings.",
     {}},
    {__LINE__,
     "InvalidModeFromDefaults",
     "NIMBA_MODE=7\nNIMBA_ORGID=o\nNIMBA_DTYPEID=t\nNIMBA_AUTHTOKEN=a\nNIMBA_SSL=0\n",
     DEFAULTS.c_str(),
     "index_invalid_mode.html",
     "NIMBA_MODE is invalid in settings.",
     {"NIMBA_MODE is invalid in settings."}},
    {__LINE__, "NoFilesBuiltInDefaults", nullptr, nullptr, "index_no_files.html", "", {}},
    {__LINE__,
     "EscapedValuesShownWhole",
     "NIMBA_MODE=0\nNIMBA_ORGID=x\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\""
     "\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\n"
     "NIMBA_DTYPEID=<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<\n"
     "NIMBA_AUTHTOKEN=a\nNIMBA_SSL=0\n",
     nullptr,
     "index_escaped.html",
     "",
     {}},
};

void PrintTo(const index_case &c, std::ostream *os) { *os << c.title << " (line " << c.line << ")"; }

class IndexPage : public PageTest, public ::testing::WithParamInterface<index_case> {};

TEST_P(IndexPage, WholeResponse) {
  const index_case &c = GetParam();
  SCOPED_TRACE(c.line);
  unlink(site_path(site, "etc/settings").c_str());
  unlink(site_path(site, "etc/defaults").c_str());
  if (c.settings) write_file(site_path(site, "etc/settings"), c.settings);
  if (c.defaults) write_file(site_path(site, "etc/defaults"), c.defaults);
  const page_response response = run("www/index.cgi");
  EXPECT_EQ(response.out.rfind("Content-Type: text/html\n", 0), 0u);
  EXPECT_EQ(golden_compare(c.golden, response.out), "");
  EXPECT_EQ(response.err, c.err);
  EXPECT_EQ(messages(response, "index.cgi", WARNING_PRIORITY), c.logged);
  EXPECT_EQ(site_init_calls(site), "");
}

INSTANTIATE_TEST_SUITE_P(Pages, IndexPage, ::testing::ValuesIn(INDEX_CASES),
                         [](const auto &info) { return std::string(info.param.title); });

/* ---- Set page ---- */

enum expected_file { FILE_UNCHANGED, FILE_SAVED, FILE_ABSENT };

struct set_case {
  int line;
  const char *title;
  cgi_request_setup request;
  init_behaviour init;
  bool settings_present;
  const char *golden;
  std::vector<std::string> logged; /* LOG_WARNING lines, in order */
  expected_file file;
  std::string saved; /* the settings file when FILE_SAVED */
  const char *init_calls;
};

const std::string ORGID_127(127, 'o');
const std::string ORGID_128(128, 'o');

const set_case SET_CASES[] = {
    {__LINE__,
     "RegisteredSavedAndRestarted",
     post(registered_form("acme")),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "InitFailsStillSaved",
     post(registered_form("acme")),
     INIT_FAILS,
     true,
     "set_error.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "InitMissingStillSaved",
     post(registered_form("acme")),
     INIT_MISSING,
     true,
     "set_error.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     ""},
    {__LINE__,
     "InitNotExecutableStillSaved",
     post(registered_form("acme")),
     INIT_NOT_EXECUTABLE,
     true,
     "set_error.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     ""},
    {__LINE__,
     "NoSettingsFileNoRestart",
     post(registered_form("acme")),
     INIT_OK,
     false,
     "set_error.html",
     {},
     FILE_ABSENT,
     "",
     ""},
    {__LINE__,
     "QuickstartWithoutTextsSavedEmpty",
     post("NIMBA_MODE=0"),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("0", "", "", ""),
     "restart\n"},
    {__LINE__,
     "SpacesAndEscapesDecoded",
     post("NIMBA_MODE=0&NIMBA_ORGID=my+org%21&NIMBA_DTYPEID=a%26b%3Dc&NIMBA_AUTHTOKEN=%3Cx%3E"),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("0", "my org!", "a&b=c", "<x>"),
     "restart\n"},
    {__LINE__,
     "OrgidOf127Stored",
     post(registered_form(ORGID_127)),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", ORGID_127, "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "EmptyOrgidInRegisteredModeSaved",
     post(registered_form("")),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "", "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "OrgidOf128Rejected",
     post(registered_form(ORGID_128)),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_ORGID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ModeTwo",
     post("NIMBA_MODE=2&NIMBA_ORGID=a&NIMBA_DTYPEID=b&NIMBA_AUTHTOKEN=c"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ModeMinusOne",
     post("NIMBA_MODE=-1"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ModeNotANumber",
     post("NIMBA_MODE=abc"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ModeWithTrailingText",
     post("NIMBA_MODE=1x"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ModeEmpty",
     post("NIMBA_MODE=&NIMBA_ORGID=a"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ModeMissing",
     post("NIMBA_ORGID=a&NIMBA_DTYPEID=b"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "DtypeidMissingTokenNotLookedAt",
     post("NIMBA_MODE=1&NIMBA_ORGID=a&NIMBA_AUTHTOKEN=" + ORGID_128),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_DTYPEID was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "GetIsNotReceived",
     {"GET", "", "", "NIMBA_MODE=1&NIMBA_ORGID=a&NIMBA_DTYPEID=b&NIMBA_AUTHTOKEN=c"},
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "MultipartFormSaved",
     multipart_post({{"NIMBA_MODE", "1"},
                     {"NIMBA_ORGID", "acme"},
                     {"NIMBA_DTYPEID", "gw"},
                     {"NIMBA_AUTHTOKEN", "s3cret"},
                     {"button", "Apply changes"}}),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "MultipartWithoutModeNotReceived",
     multipart_post({{"NIMBA_ORGID", "a"}}),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "MultipartControlByteInvalid",
     multipart_post({{"NIMBA_MODE", "0"}, {"NIMBA_ORGID", "a\nNIMBA_SSL=0"}}),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_ORGID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "BlanksAroundOrgidInvalid",
     post("NIMBA_MODE=1&NIMBA_ORGID=+sp+&NIMBA_DTYPEID=b&NIMBA_AUTHTOKEN=c"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_ORGID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "LeadingSpaceInDtypeidInvalid",
     post("NIMBA_MODE=1&NIMBA_ORGID=a&NIMBA_DTYPEID=+b&NIMBA_AUTHTOKEN=c"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_DTYPEID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "TrailingSpaceInTokenInvalid",
     post("NIMBA_MODE=0&NIMBA_AUTHTOKEN=tok+"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_AUTHTOKEN is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "InnerSpaceKept",
     post("NIMBA_MODE=0&NIMBA_ORGID=a+b"),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("0", "a b", "", ""),
     "restart\n"},
    {__LINE__,
     "CrossSiteFetchRefused",
     post_with(registered_form("acme"), {"HTTP_SEC_FETCH_SITE=cross-site"}),
     INIT_OK,
     true,
     "set_invalid.html",
     {"Refused a cross-site request to set.cgi."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "OtherOriginRefused",
     post_with(registered_form("acme"), {"HTTP_ORIGIN=http://evil.example", "HTTP_HOST=192.168.1.1"}),
     INIT_OK,
     true,
     "set_invalid.html",
     {"Refused a cross-site request to set.cgi."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "OtherPortRefused",
     post_with(registered_form("acme"), {"HTTP_ORIGIN=http://192.168.1.1:8080", "HTTP_HOST=192.168.1.1"}),
     INIT_OK,
     true,
     "set_invalid.html",
     {"Refused a cross-site request to set.cgi."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "NullOriginRefused",
     post_with(registered_form("acme"), {"HTTP_ORIGIN=null", "HTTP_HOST=device"}),
     INIT_OK,
     true,
     "set_invalid.html",
     {"Refused a cross-site request to set.cgi."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "SameOriginSaved",
     post_with(
         registered_form("acme"),
         {"HTTP_ORIGIN=http://Device.local", "HTTP_HOST=device.local:80", "HTTP_SEC_FETCH_SITE=same-origin"}),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "SameOriginHttpsDefaultPortSaved",
     post_with(registered_form("acme"), {"HTTP_ORIGIN=https://[fe80::1]", "HTTP_HOST=[fe80::1]:443"}),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret"),
     "restart\n"},
    {__LINE__,
     "BodyOver64KiBNotRead",
     post("NIMBA_MODE=0&NIMBA_ORGID=" + std::string(65536, 'x')),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "ShortBodyIsNotReceived",
     {"POST", "application/x-www-form-urlencoded", "NIMBA_MODE=0", "", 40},
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "NoMethodIsNotReceived",
     {"", "", "NIMBA_MODE=0", ""},
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE was not received."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "LineFeedInOrgid",
     post("NIMBA_MODE=1&NIMBA_ORGID=a%0ANIMBA_SSL%3D0"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_ORGID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "CarriageReturnInDtypeid",
     post("NIMBA_MODE=1&NIMBA_ORGID=a&NIMBA_DTYPEID=b%0D&NIMBA_AUTHTOKEN=c"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_DTYPEID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "TabInAuthtoken",
     post("NIMBA_MODE=0&NIMBA_ORGID=a&NIMBA_DTYPEID=b&NIMBA_AUTHTOKEN=c%09d"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_AUTHTOKEN is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "NulInOrgid",
     post("NIMBA_MODE=1&NIMBA_ORGID=a%00b&NIMBA_DTYPEID=b&NIMBA_AUTHTOKEN=c"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_ORGID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "NulEndingAuthtoken",
     post("NIMBA_MODE=1&NIMBA_ORGID=a&NIMBA_DTYPEID=b&NIMBA_AUTHTOKEN=c%00"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_AUTHTOKEN is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "NulInMode",
     post("NIMBA_MODE=1%00x&NIMBA_ORGID=a"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_MODE is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "NulInOtherFieldIgnored",
     post("button=%00&NIMBA_MODE=0&NIMBA_ORGID=ab%0&NIMBA_ORGID=%00"),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("0", "ab%0", "", ""),
     "restart\n"},
    {__LINE__,
     "DeliveryChoiceSaved",
     post(registered_form("acme") + "&NIMBA_QOS=1"),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret") + "NIMBA_QOS=1\n",
     "restart\n"},
    {__LINE__,
     "DeliveryTwo",
     post(registered_form("acme") + "&NIMBA_QOS=2"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_QOS is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    /* The rows above post no NIMBA_SSL: the stored TLS choice stays. */
    {__LINE__,
     "PlainConnectionSaved",
     post(registered_form("acme") + "&NIMBA_SSL=0"),
     INIT_OK,
     true,
     "set_success.html",
     {},
     FILE_SAVED,
     stored_with("1", "acme", "gw", "s3cret", "0"),
     "restart\n"},
    {__LINE__,
     "ConnectionTwo",
     post(registered_form("acme") + "&NIMBA_SSL=2"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_SSL is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
    {__LINE__,
     "DeleteInOrgid",
     post("NIMBA_MODE=0&NIMBA_ORGID=%7F"),
     INIT_OK,
     true,
     "set_invalid.html",
     {"NIMBA_ORGID is invalid."},
     FILE_UNCHANGED,
     "",
     ""},
};

void PrintTo(const set_case &c, std::ostream *os) { *os << c.title << " (line " << c.line << ")"; }

class SetPage : public PageTest, public ::testing::WithParamInterface<set_case> {};

TEST_P(SetPage, OutcomeLogFileAndRestart) {
  const set_case &c = GetParam();
  SCOPED_TRACE(c.line);
  site_set_init(site, c.init);
  if (!c.settings_present) unlink(site_path(site, "etc/settings").c_str());
  const page_response response = run("www/set.cgi", c.request);

  EXPECT_EQ(golden_compare(c.golden, response.out), "");
  const std::vector<std::string> logged = messages(response, "set.cgi", WARNING_PRIORITY);
  EXPECT_EQ(logged, c.logged);
  /* The refusals go to the system log only, not into the web server's error log. */
  EXPECT_EQ(response.err, "");
  std::string echoed;
  EXPECT_EQ(site_init_calls(site), c.init_calls);

  const std::string settings_path = site_path(site, "etc/settings");
  struct stat info {};
  switch (c.file) {
    case FILE_UNCHANGED:
      EXPECT_EQ(read_file(settings_path), STORED);
      break;
    case FILE_SAVED:
      EXPECT_EQ(read_file(settings_path), c.saved);
      ASSERT_EQ(stat(settings_path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0640u);
      break;
    case FILE_ABSENT:
      EXPECT_NE(access(settings_path.c_str(), F_OK), 0);
      break;
  }
  /* No temporary file of the save is left behind. */
  EXPECT_EQ(process_run({"/bin/sh", "-c", "ls " + site_path(site, "etc")}, 5000, &echoed), 0);
  EXPECT_EQ(echoed,
            std::string("defaults\n") + (c.init != INIT_MISSING ? "init\n" : "") +
                (*c.init_calls ? "init.calls\n" : "") + (c.file != FILE_ABSENT ? "settings\n" : ""));
}

INSTANTIATE_TEST_SUITE_P(Pages, SetPage, ::testing::ValuesIn(SET_CASES),
                         [](const auto &info) { return std::string(info.param.title); });

/* A saved text shows on the options page as it was posted. */
TEST_F(PageTest, SavedValuesShowOnOptionsPage) {
  run("www/set.cgi",
      post(form_encode({{"NIMBA_MODE", "1"},
                        {"NIMBA_ORGID", "o&<1>"},
                        {"NIMBA_DTYPEID", "\"d\""},
                        {"NIMBA_AUTHTOKEN", "t t"}})));
  const std::string page = run("www/index.cgi").out;
  EXPECT_NE(page.find("value=\"o&amp;&lt;1&gt;\""), std::string::npos);
  EXPECT_NE(page.find("value=\"&quot;d&quot;\""), std::string::npos);
  EXPECT_NE(page.find("value=\"t t\""), std::string::npos);
}

/* A post without the delivery field (a page opened before the field existed) keeps the
 * stored choice, which the options page shows; a post with it replaces it. */
TEST_F(PageTest, DeliveryKeptWhenAPostLacksIt) {
  write_file(site_path(site, "etc/settings"), STORED + "NIMBA_QOS=1\n");
  run("www/set.cgi", post(registered_form("acme")));
  EXPECT_EQ(read_file(site_path(site, "etc/settings")),
            stored_with("1", "acme", "gw", "s3cret") + "NIMBA_QOS=1\n");
  EXPECT_NE(run("www/index.cgi").out.find("<option value=\"1\" selected>At least once"), std::string::npos);
  run("www/set.cgi", post(registered_form("acme") + "&NIMBA_QOS=0"));
  EXPECT_EQ(read_file(site_path(site, "etc/settings")),
            stored_with("1", "acme", "gw", "s3cret") + "NIMBA_QOS=0\n");
}

/* The set page reads a url-encoded body and so made no upload file: one in /tmp may be
 * another request's and stays. The restart page removes it after reading a request. */
/* The upload file is removed only by the request that made it: a file already there
 * (another request's) survives the set and restart pages. */
TEST_F(PageTest, UploadFileOnlyRemovedByTheRequestThatMadeIt) {
  const std::string upload = site_path(site, "tmp/upload.bin");
  write_file(upload, "firmware");
  run("www/set.cgi", post(registered_form("acme")));
  EXPECT_EQ(read_file(upload), "firmware");
  run("www/restart.cgi", post("button=Restart"));
  EXPECT_EQ(read_file(upload), "firmware");
  unlink(upload.c_str());
  cgi_request_setup with_file = multipart_post({{"button", "Restart"}});
  with_file.body = "--xyz\r\nContent-Disposition: form-data; name=\"f\"; filename=\"fw.bin\"\r\n\r\nfw\r\n" +
                   with_file.body;
  run("www/restart.cgi", with_file);
  EXPECT_NE(access(upload.c_str(), F_OK), 0) << "the request's own upload stays behind";
}

/* restart.cgi refuses a request that another site's page made the browser send. */
TEST_F(PageTest, RestartRefusesCrossSiteRequests) {
  for (const std::vector<std::string> &headers :
       {std::vector<std::string>{"HTTP_SEC_FETCH_SITE=cross-site"},
        std::vector<std::string>{"HTTP_ORIGIN=http://evil.example", "HTTP_HOST=device"}}) {
    cgi_request_setup get{"GET", "", "", "x=1"};
    get.headers = headers;
    const page_response response = run("www/restart.cgi", get);
    EXPECT_EQ(golden_compare("restart_failed.html", response.out), "");
    EXPECT_EQ(messages(response, "restart.cgi", WARNING_PRIORITY),
              std::vector<std::string>{"Refused a cross-site request to restart.cgi."});
    EXPECT_EQ(site_init_calls(site), "");
  }
}

/* Fifty set pages post different values at the same moment while a reader keeps reading
 * the file: every page answers with the whole success page and restarts the module, every
 * read is one whole file (the one before or exactly one page's), the file ends as one of
 * them wrote it, and no temporary file stays. */
TEST_F(PageTest, ConcurrentSavesLeaveOneWholeFile) {
  constexpr int PAGES = 50;
  std::vector<std::string> whole = {STORED};
  for (int i = 0; i < PAGES; i++)
    whole.push_back(stored_with("1", "org" + std::to_string(i), "gw", "s3cret"));
  std::atomic<bool> reading{true};
  std::atomic<unsigned> reads{0}, bad_reads{0};
  std::string bad_example;
  std::thread reader([&] {
    const std::string path = site_path(site, "etc/settings");
    while (reading) {
      const std::string content = read_file(path);
      if (std::find(whole.begin(), whole.end(), content) == whole.end() && bad_reads++ == 0)
        bad_example = content;
      reads++;
    }
  });
  std::vector<child_process> children(PAGES);
  for (int i = 0; i < PAGES; i++)
    ASSERT_TRUE(
        site_start(&site, "www/set.cgi", post(registered_form("org" + std::to_string(i))), &children[i]));
  for (child_process &child : children) {
    page_response response;
    ASSERT_TRUE(site_finish(&site, &child, &response));
    EXPECT_EQ(golden_compare("set_success.html", response.out), "");
  }
  reading = false;
  reader.join();
  EXPECT_EQ(bad_reads.load(), 0u) << "of " << reads.load() << " reads; e.g.\n" << bad_example;
  const std::string saved = read_file(site_path(site, "etc/settings"));
  EXPECT_NE(std::find(whole.begin() + 1, whole.end(), saved), whole.end()) << saved;
  std::string calls;
  for (int i = 0; i < PAGES; i++) calls += "restart\n";
  EXPECT_EQ(site_init_calls(site), calls);
  std::string listing;
  EXPECT_EQ(process_run({"/bin/ls", "-A", site_path(site, "etc")}, 5000, &listing), 0);
  EXPECT_EQ(listing, "defaults\ninit\ninit.calls\nsettings\n");
}

/* ---- Restart page ---- */

struct restart_case {
  int line;
  const char *title;
  init_behaviour init;
  const char *golden;
  const char *init_calls;
};

const restart_case RESTART_CASES[] = {
    {__LINE__, "InitSucceeds", INIT_OK, "restart_ok.html", "restart\n"},
    {__LINE__, "InitFails", INIT_FAILS, "restart_failed.html", "restart\n"},
    {__LINE__, "InitMissing", INIT_MISSING, "restart_failed.html", ""},
    {__LINE__, "InitNotExecutable", INIT_NOT_EXECUTABLE, "restart_failed.html", ""},
};

void PrintTo(const restart_case &c, std::ostream *os) { *os << c.title << " (line " << c.line << ")"; }

class RestartPage : public PageTest, public ::testing::WithParamInterface<restart_case> {};

TEST_P(RestartPage, ColourShowsOutcome) {
  const restart_case &c = GetParam();
  SCOPED_TRACE(c.line);
  site_set_init(site, c.init);
  const page_response response = run("www/restart.cgi", {"GET", "", "", "x=1"});
  EXPECT_EQ(golden_compare(c.golden, response.out), "");
  EXPECT_EQ(site_init_calls(site), c.init_calls);
  EXPECT_EQ(response.err, "");
  EXPECT_TRUE(response.log.empty());
  EXPECT_EQ(read_file(site_path(site, "etc/settings")), STORED);
}

INSTANTIATE_TEST_SUITE_P(Pages, RestartPage, ::testing::ValuesIn(RESTART_CASES),
                         [](const auto &info) { return std::string(info.param.title); });

/* ---- System-log page ---- */

std::string numbered_lines(const std::string &prefix, int count) {
  std::string text;
  for (int i = 1; i <= count; i++) text += prefix + " line " + std::to_string(i) + "\n";
  return text;
}

struct slog_case {
  int line;
  const char *title;
  std::string previous; /* messages.1; empty: missing */
  std::string current;  /* messages; empty: missing */
  const char *golden;
};

const slog_case SLOG_CASES[] = {
    {__LINE__,
     "LastLinesAcrossBothFiles",
     numbered_lines("Dec  8 older", 20),
     numbered_lines("Dec  8 newer", 9) + "Dec  8 web: <script>alert(\"x\")</script> & more\n",
     "slog_both.html"},
    {__LINE__, "OnlyCurrentLog", "", numbered_lines("Dec  8 current", 40), "slog_current.html"},
    {__LINE__, "NoLogFiles", "", "", "slog_none.html"},
};

void PrintTo(const slog_case &c, std::ostream *os) { *os << c.title << " (line " << c.line << ")"; }

class SlogPage : public PageTest, public ::testing::WithParamInterface<slog_case> {};

TEST_P(SlogPage, WholeResponse) {
  const slog_case &c = GetParam();
  SCOPED_TRACE(c.line);
  if (!c.previous.empty()) write_file(site_path(site, "log/messages.1"), c.previous);
  if (!c.current.empty()) write_file(site_path(site, "log/messages"), c.current);
  const page_response response = run("www/slog.cgi");
  EXPECT_EQ(golden_compare(c.golden, response.out), "");
  EXPECT_EQ(response.err, "");
  EXPECT_TRUE(response.log.empty());
}

INSTANTIATE_TEST_SUITE_P(Pages, SlogPage, ::testing::ValuesIn(SLOG_CASES),
                         [](const auto &info) { return std::string(info.param.title); });

/* ---- The table of pages ---- */

/* Every page of the table is installed as a link to the program, answers with a CGI
 * header, and the menu links to it when the table says so; the menu links to no page of
 * the module's own that is not in the table. */
TEST_F(PageTest, EveryPageInstalledAnsweringAndInTheMenu) {
  const std::string prefix = site_path(site, "install");
  std::string output;
  ASSERT_EQ(
      process_run(
          {NIMBA_CMAKE_COMMAND, "--install", NIMBA_BUILD_DIR, "--component", "module", "--prefix", prefix},
          60000,
          &output),
      0)
      << output;
  std::vector<std::string> names;
  for (const page_entry &page : page_table) {
    SCOPED_TRACE(page.name);
    names.push_back(page.name);
    char target[256] = {};
    EXPECT_GT(readlink((prefix + "/www/" + page.name).c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../bin/nimba_cgi");
    const page_response response = run(std::string("www/") + page.name, {"GET", "", "", ""});
    EXPECT_EQ(response.out.rfind("Content-Type: ", 0), 0u);
    bool listed = false;
    for (const menu_item *item = module_menu; item->label || item->link; item++)
      listed = listed || (item->link && page.name == std::string(item->link));
    EXPECT_EQ(listed, page.in_menu);
  }
  for (const menu_item *item = module_menu; item->label || item->link; item++) {
    if (item->link && std::string(item->link).rfind("../", 0) != 0) {
      EXPECT_NE(std::find(names.begin(), names.end(), item->link), names.end()) << item->link;
    }
  }
  std::sort(names.begin(), names.end());
  std::string expected, installed;
  for (const std::string &name : names) expected += name + "\n";
  ASSERT_EQ(process_run({"/bin/ls", prefix + "/www"}, 5000, &installed), 0);
  EXPECT_EQ(installed, expected) << "www/ holds a link per page and nothing else";
}

/* ---- Program names ---- */

struct name_case {
  int line;
  const char *path; /* under the root; a link to nimba_cgi is made there */
  bool options_page;
};

const name_case NAME_CASES[] = {
    {__LINE__, "cgi-bin/nested/index.cgi", true},
    {__LINE__, "www/Index.cgi", false},
    {__LINE__, "www/index", false},
    {__LINE__, "www/index.cgi.old", false},
    {__LINE__, "www/SET.CGI", false},
    {__LINE__, "www/nimba_cgi", false},
};

void PrintTo(const name_case &c, std::ostream *os) { *os << c.path; }

class ProgramName : public PageTest, public ::testing::WithParamInterface<name_case> {};

TEST_P(ProgramName, OnlyExactNamesRunAPage) {
  const name_case &c = GetParam();
  SCOPED_TRACE(c.line);
  const std::string path = c.path;
  const std::string full = site_path(site, path);
  ASSERT_EQ(process_run({"/bin/mkdir", "-p", full.substr(0, full.rfind('/'))}, 5000), 0);
  if (access(full.c_str(), F_OK) != 0) {
    ASSERT_EQ(symlink(SITE_CGI_PROGRAM, full.c_str()), 0);
  }
  const page_response response = run(path, post(registered_form("acme")));
  if (c.options_page) {
    EXPECT_EQ(golden_compare("index_stored.html", response.out), "");
  } else {
    EXPECT_EQ(response.out, "");
  }
  EXPECT_EQ(response.err, "");
  EXPECT_TRUE(response.log.empty());
  EXPECT_EQ(site_init_calls(site), "");
  EXPECT_EQ(read_file(site_path(site, "etc/settings")), STORED);
}

INSTANTIATE_TEST_SUITE_P(Pages, ProgramName, ::testing::ValuesIn(NAME_CASES),
                         [](const ::testing::TestParamInfo<name_case> &info) {
                           return "line" + std::to_string(info.param.line);
                         });

} // namespace
