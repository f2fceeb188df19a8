/* The options pages end to end: lighttpd serves the four page names with CGI on loopback,
 * in the private install root of a test site, and headless Chromium changes the settings
 * through the form, restarts the module and reads the system log as an operator would. */
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "files.h"
#include "page_site.h"

namespace {

const char CHROMIUM[] = "/usr/bin/chromium";
const char LIGHTTPD[] = "/usr/sbin/lighttpd";

/* A loopback port that was free a moment ago; 0 on failure. */
int free_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

int port_accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const int ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::string server_config(int port) {
  return "server.document-root = \"/opt/nimba_message_router/www\"\n"
         "server.bind = \"127.0.0.1\"\n"
         "server.port = " + std::to_string(port) + "\n"
         "server.modules = (\"mod_cgi\")\n"
         "cgi.assign = (\".cgi\" => \"\")\n"
         "index-file.names = (\"index.cgi\")\n";
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CHROMIUM, X_OK) != 0) GTEST_SKIP() << CHROMIUM << " is not installed";
    if (process_run({"node", "--version"}, 10000) != 0) GTEST_SKIP() << "node is not installed";
    ASSERT_EQ(access(LIGHTTPD, X_OK), 0) << LIGHTTPD << " is not installed";
    /* Installed once from the lock file; an existing install is used as it is (offline). */
    const std::string dir = NIMBA_E2E_NODE_DIR;
    if (access((dir + "/node_modules/playwright-core/package.json").c_str(), F_OK) != 0) {
      std::string output;
      const int installed = process_run(
          {"/bin/sh", "-c",
           "cd '" + dir + "' && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefer-offline --no-audit --no-fund"},
          180000, &output);
      ASSERT_EQ(installed, 0) << "npm ci of playwright-core failed:\n" << output;
    }
    ASSERT_TRUE(site_create(&site));
    profile = make_temp_folder("nimba_chromium_");
    ASSERT_FALSE(profile.empty());
  }

  void TearDown() override {
    process_cleanup(&server);
    if (!profile.empty()) remove_tree(profile);
    site_destroy(&site);
  }

  page_site site;
  child_process server;
  std::string profile;
};

TEST_F(BrowserTest, OperatorChangesSettingsThroughTheForm) {
  write_file(site_path(site, "etc/settings"),
             "# module settings\nNIMBA_MODE=0\nNIMBA_ORGID=old-org\nNIMBA_DTYPEID=old-type\n"
             "NIMBA_AUTHTOKEN=\nNIMBA_SSL=1\n");
  site_set_init(site, INIT_OK);
  std::string older;
  for (int i = 1; i <= 20; i++) older += "Dec  8 older line " + std::to_string(i) + "\n";
  write_file(site_path(site, "log/messages.1"), older);
  write_file(site_path(site, "log/messages"),
             "Dec  8 web: <script>alert(\"log\")</script> & more\nDec  8 newest\n"
             "Dec  8 a\nDec  8 b\nDec  8 c\nDec  8 d\n");

  int port = 0;
  for (int attempt = 0; attempt < 5 && !port_accepts(port); attempt++) {
    process_cleanup(&server);
    port = free_loopback_port();
    ASSERT_NE(port, 0);
    write_file(site_path(site, "lighttpd.conf"), server_config(port));
    ASSERT_TRUE(site_spawn(&site, {LIGHTTPD, "-D", "-f", "/opt/nimba_message_router/lighttpd.conf"},
                           &server));
    for (long long end = monotonic_ms() + 5000; monotonic_ms() < end && !port_accepts(port);)
      if (process_wait(&server, 50)) break;
  }
  ASSERT_TRUE(port_accepts(port)) << "lighttpd did not start:\n" << process_stderr(&server);

  const std::string shots = NIMBA_E2E_SCREENSHOTS;
  ASSERT_EQ(process_run({"/bin/mkdir", "-p", shots}, 5000), 0);
  std::string output;
  const int result = process_run(
      {"/bin/sh", "-c",
       "HOME='" + profile + "' exec node '" + NIMBA_E2E_NODE_DIR + "/options_flow.mjs' " +
           "'http://127.0.0.1:" + std::to_string(port) + "/' '" + shots + "' '" + profile +
           "/profile'"},
      120000, &output);
  ASSERT_EQ(result, 0) << output << "\nlighttpd:\n" << process_stderr(&server);
  EXPECT_NE(output.find("options flow passed"), std::string::npos) << output;

  EXPECT_EQ(read_file(site_path(site, "etc/settings")),
            "# module settings\nNIMBA_MODE=1\nNIMBA_ORGID=acme org\nNIMBA_DTYPEID=gate&way\n"
            "NIMBA_AUTHTOKEN=tok<en>\nNIMBA_SSL=1\n");
  EXPECT_EQ(site_init_calls(site), "restart\nrestart\n");
}

}  // namespace
