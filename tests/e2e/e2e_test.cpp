/* The pages end to end: lighttpd serves the page names with CGI on loopback, in the private
 * install root of a test site, and headless Chromium changes the settings through the form,
 * restarts the module, reads the system log and follows the relay's status as an operator
 * would. */
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "broker.h"
#include "loopback.h"
#include "files.h"
#include "nimba_config.h"
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

std::string server_config(int port) {
  return "server.document-root = \"/opt/nimba_message_router/www\"\n"
         "server.bind = \"127.0.0.1\"\n"
         "server.port = " +
         std::to_string(port) +
         "\n"
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
          {"/bin/sh",
           "-c",
           "cd '" + dir +
               "' && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefer-offline --no-audit --no-fund"},
          180000,
          &output);
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

  /* Starts lighttpd on a free loopback port; the port, 0 on failure. */
  int start_server() {
    int port = 0;
    for (int attempt = 0; attempt < 5 && !loopback_accepts("127.0.0.1", port); attempt++) {
      process_cleanup(&server);
      port = free_loopback_port();
      if (port == 0) return 0;
      write_file(site_path(site, "lighttpd.conf"), server_config(port));
      if (!site_spawn(&site, {LIGHTTPD, "-D", "-f", "/opt/nimba_message_router/lighttpd.conf"}, &server))
        return 0;
      wait_until([&] { return loopback_accepts("127.0.0.1", port) || process_wait(&server, 0); }, 5000);
    }
    return loopback_accepts("127.0.0.1", port) ? port : 0;
  }

  /* Runs a flow script of the node folder against the server; its output in *output. */
  int run_flow(const std::string &script, int port, std::string *output) {
    const std::string shots = NIMBA_E2E_SCREENSHOTS;
    if (process_run({"/bin/mkdir", "-p", shots}, 5000) != 0) return -1;
    return process_run(
        {"/bin/sh",
         "-c",
         "HOME='" + profile + "' exec node '" + NIMBA_E2E_NODE_DIR + "/" + script + "' " +
             "'http://127.0.0.1:" + std::to_string(port) + "/' '" + shots + "' '" + profile + "/profile'"},
        120000,
        output);
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

  const int port = start_server();
  ASSERT_NE(port, 0) << "lighttpd did not start:\n" << process_stderr(&server);
  std::string output;
  const int result = run_flow("options_flow.mjs", port, &output);
  ASSERT_EQ(result, 0) << output << "\nlighttpd:\n" << process_stderr(&server);
  EXPECT_NE(output.find("options flow passed"), std::string::npos) << output;

  EXPECT_EQ(read_file(site_path(site, "etc/settings")),
            "# module settings\nNIMBA_MODE=1\nNIMBA_ORGID=acme org\nNIMBA_DTYPEID=gate&way\n"
            "NIMBA_AUTHTOKEN=tok<en>\nNIMBA_SSL=1\nNIMBA_QOS=1\n");
  EXPECT_EQ(site_init_calls(site), "restart\nrestart\n");
}

/* The whole module behind the pages: the real init script and daemon in the site, a
 * gateway broker and a cloud broker that knows one token, plain and over TLS (a test CA the
 * daemon trusts). The operator finds the refused token on the status page, sent over plain
 * TCP, applies the right one over TLS, and sees the cloud side come up that way. */
class RelayStatusFlow : public BrowserTest {
protected:
  void SetUp() override {
    BrowserTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string cloud_host = std::string("acme.") + NIMBA_REGISTERED_DOMAIN;
    ASSERT_TRUE(ca_create(&ca, "Nimba Test CA"));
    ASSERT_TRUE(ca_issue_server(&ca, cloud_host, ca.folder, "server"));
    site.ca_folder = ca.hashed_dir;
    broker_config gateway_setup, cloud_setup = tls_broker_config(test_address(1), ca);
    gateway_setup.address = test_address(0);
    cloud_setup.users = {{"use-token-auth", "tok-good"}};
    ASSERT_TRUE(broker_start(&gateway, gateway_setup));
    ASSERT_TRUE(broker_start(&cloud, cloud_setup));

    std::error_code error;
    std::filesystem::copy_file(NIMBA_DAEMON_BINARY, site_path(site, "bin/nimba_vezidozu"), error);
    ASSERT_FALSE(error) << error.message();
    chmod(site_path(site, "bin/nimba_vezidozu").c_str(), 0755);
    ASSERT_TRUE(write_file(site_path(site, "etc/init"), read_file(NIMBA_ETC_SOURCE "/init")));
    chmod(site_path(site, "etc/init").c_str(), 0755);
    ASSERT_TRUE(write_file(site_path(site, "etc/defaults"), read_file(NIMBA_ETC_SOURCE "/defaults")));
    ASSERT_TRUE(write_file(site_path(site, "etc/device"),
                           "DEVID=e2edev\nDEVIP=" + test_address(0) +
                               "\nLOGFILE=/opt/nimba_message_router/run/daemon.log\nSTOP_TIMEOUT=10\n"));
    ASSERT_TRUE(write_file(
        site_path(site, "etc/settings"),
        "NIMBA_MODE=1\nNIMBA_ORGID=acme\nNIMBA_DTYPEID=gw\nNIMBA_AUTHTOKEN=tok-bad\nNIMBA_SSL=0\n"));
    chmod(site_path(site, "etc/settings").c_str(), 0600);
    site.hosts_file = site_path(site, "hosts");
    ASSERT_TRUE(
        write_file(site.hosts_file, "127.0.0.1 localhost\n" + test_address(1) + " " + cloud_host + "\n"));
  }

  void TearDown() override {
    /* The daemons the init script started outlive the web server: end them by their pid. */
    for (const std::string &pid_text : {read_file(site_path(site, "run/nimba_vezidozu.pid")), started_pid}) {
      const long pid = pid_text.empty() ? 0 : std::atol(pid_text.c_str());
      if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    }
    broker_remove(&gateway);
    broker_remove(&cloud);
    ca_remove(&ca);
    BrowserTest::TearDown();
  }

  /* Waits until the status file holds the line. */
  bool status_shows(const std::string &line, int timeout_ms) {
    const std::string fixed = NIMBA_STATUS_PATH;
    const std::string path = site_path(site, "var_run" + fixed.substr(fixed.rfind('/')));
    return wait_until([&] { return read_file(path).find(line + "\n") != std::string::npos; }, timeout_ms);
  }

  test_ca ca;
  test_broker gateway, cloud;
  std::string started_pid;
};

TEST_F(RelayStatusFlow, OperatorFixesTheTokenAndSeesTheCloudUp) {
  child_process init;
  ASSERT_TRUE(site_spawn(&site, {"/opt/nimba_message_router/etc/init", "start"}, &init));
  ASSERT_TRUE(process_wait(&init, 30000));
  ASSERT_EQ(process_exit_code(&init), 0) << process_stdout(&init) << process_stderr(&init);
  process_cleanup(&init);
  started_pid = read_file(site_path(site, "run/nimba_vezidozu.pid"));
  ASSERT_TRUE(status_shows("CLOUD_FAILED_RC=5", 20000)) << read_file(site_path(site, "run/daemon.log"));

  const int port = start_server();
  ASSERT_NE(port, 0) << "lighttpd did not start:\n" << process_stderr(&server);
  std::string output;
  const int result = run_flow("status_flow.mjs", port, &output);
  ASSERT_EQ(result, 0) << output << "\nlighttpd:\n"
                       << process_stderr(&server) << "\ndaemon:\n"
                       << read_file(site_path(site, "run/daemon.log"));
  EXPECT_NE(output.find("status flow passed"), std::string::npos) << output;
  const std::string settings = read_file(site_path(site, "etc/settings"));
  EXPECT_NE(settings.find("NIMBA_AUTHTOKEN=tok-good\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("NIMBA_SSL=1\n"), std::string::npos) << settings;
}

} // namespace
