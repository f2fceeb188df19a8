/* Reconnection, failure throttle, credentials, TLS and shutdown. */
#include <signal.h>

#include <string>

#include "daemon_test_fixture.h"
#include "fake_dns.h"

namespace {

const std::string CLOUD_FAILED = "Failed to connect to NIMBA in quickstart mode (RC=-1).";

TEST_F(DaemonTest, CloudDownThrottlesFailuresAndNeverTriesTheGateway) {
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  daemon_launch launch;
  launch.pause = 1;
  ASSERT_TRUE(start_daemon(launch));
  /* The 1st and the 5th failure reach the system log. */
  ASSERT_TRUE(syslog_wait(&run.log, CLOUD_FAILED, 20000, 2, DAEMON_ERR));
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 15000));
  unsigned logged = syslog_count(&run.log, CLOUD_FAILED);
  unsigned out_only = count_occurrences(out(), CLOUD_FAILED);
  unsigned attempts = logged + out_only;
  ASSERT_GE(attempts, 5u);
  EXPECT_LE(attempts, 6u);
  EXPECT_EQ(2u, logged);
  EXPECT_EQ(2u, count_occurrences(err(), CLOUD_FAILED));
  EXPECT_EQ(0u, count_occurrences(out() + err(), "IoT Gateway (RC="));
  EXPECT_EQ(0u, count_occurrences(process_stderr(&gateway->process), "CID"));
}

/* The cloud connection drops (another client takes over the daemon's identifier) while
 * the gateway keeps delivering: the documents wait and go out in order after the reconnect. */
TEST_F(DaemonTest, MessagesDuringABriefCloudOutageArriveInOrderAfterTheReconnect) {
  daemon_launch launch;
  launch.pause = 3;
  start_relay(launch);
  test_client *impostor = connect_client(broker_uri(cloud), "d:quickstart:zunquo:dev1");
  ASSERT_NE(nullptr, impostor);
  ASSERT_TRUE(syslog_wait(&run.log,
                          "Connection to NIMBA lost (cause='connection closed by the broker').",
                          10000,
                          1,
                          DAEMON_NOTICE));
  for (int i = 0; i < 20; i++)
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"n\":" + std::to_string(i) + "}"));
  ASSERT_TRUE(syslog_wait(&run.log, CLOUD_CONNECTED, 15000, 2));
  ASSERT_TRUE(client_wait_count(observer, 20, 5000));
  std::vector<received_message> got = client_messages(observer);
  ASSERT_EQ(20u, got.size());
  for (int i = 0; i < 20; i++)
    EXPECT_EQ("{\"d\":{\"node1/sensor/n\":" + std::to_string(i) + "}}", got[i].payload);
}

struct credentials_case {
  int line;
  const char *name;
  std::string token;
  bool accepted;
};
void PrintTo(const credentials_case &c, std::ostream *os) { *os << c.name; }

class DaemonCredentials : public DaemonTest, public ::testing::WithParamInterface<credentials_case> {};

TEST_P(DaemonCredentials, RegisteredModeSendsTheTokenAsPassword) {
  const credentials_case &c = GetParam();
  SCOPED_TRACE(c.line);
  broker_config setup;
  setup.address = address(1);
  setup.users = {{"use-token-auth", "tok-good"}, {"observer", "pw"}};
  cloud = start_broker(setup);
  ASSERT_NE(nullptr, cloud);
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  clients.emplace_back(new test_client());
  observer = clients.back().get();
  ASSERT_TRUE(client_connect(observer, broker_uri(cloud), "observer", "observer", "pw"));
  ASSERT_TRUE(client_subscribe(observer, "#", 2));
  daemon_launch launch;
  launch.device = "Dev7";
  launch.cloud_host = registered_host("org7");
  launch.settings = "NIMBA_MODE=1\nNIMBA_ORGID=org7\nNIMBA_DTYPEID=typ\nNIMBA_AUTHTOKEN=" + c.token + "\n";
  ASSERT_TRUE(start_daemon(launch));
  if (!c.accepted) {
    ASSERT_TRUE(
        syslog_wait(&run.log, "Failed to connect to NIMBA in registered mode (RC=5).", 15000, 1, DAEMON_ERR));
    EXPECT_EQ(0u, count_occurrences(process_stderr(&gateway->process), "CID"));
    return;
  }
  ASSERT_TRUE(syslog_wait(&run.log, "Connected to NIMBA in registered mode.", 15000));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  EXPECT_NE(std::string::npos, process_stderr(&cloud->process).find("as d:org7:typ:dev7"));
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);
  ASSERT_EQ(0, client_publish(feeder, "QZ/a/b", "{\"v\":true}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  EXPECT_EQ("{\"d\":{\"a/b/v\":true}}", client_messages(observer)[0].payload);
}

INSTANTIATE_TEST_SUITE_P(Tokens, DaemonCredentials,
                         ::testing::Values(credentials_case{__LINE__, "RightToken", "tok-good", true},
                                           credentials_case{__LINE__, "WrongToken", "tok-bad", false}),
                         [](const ::testing::TestParamInfo<credentials_case> &info) {
                           return std::string(info.param.name);
                         });

struct tls_case {
  int line;
  const char *name;
  const char *certificate_name; /* the server certificate's DNS name; empty: the cloud host */
  bool trusted_ca;              /* the daemon trusts the CA that issued it */
  bool connects;
};
void PrintTo(const tls_case &c, std::ostream *os) { *os << c.name; }

class DaemonTls : public DaemonTest, public ::testing::WithParamInterface<tls_case> {};

TEST_P(DaemonTls, VerifiesTheBrokerCertificateAndHostName) {
  const tls_case &c = GetParam();
  SCOPED_TRACE(c.line);
  cas.resize(2);
  ASSERT_TRUE(ca_create(&cas[0], "Nimba Test CA"));
  ASSERT_TRUE(ca_create(&cas[1], "Other Test CA"));
  std::string dns = *c.certificate_name ? c.certificate_name : quickstart_host();
  ASSERT_TRUE(ca_issue_server(&cas[0], dns, cas[0].folder, "server"));
  cloud = start_broker(tls_broker_config(address(1), cas[0]));
  ASSERT_NE(nullptr, cloud);
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 2));

  daemon_launch launch;
  launch.settings = "NIMBA_SSL=1\n";
  launch.ca_path = c.trusted_ca ? cas[0].hashed_dir : cas[1].hashed_dir;
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(
      process_wait_stdout(&run.process, "NIMBA URL:    'ssl://" + quickstart_host() + ":8883'\n", 10000));
  if (!c.connects) {
    std::string failure;
    ASSERT_TRUE(syslog_wait_prefix(
        &run.log, "Failed to connect to NIMBA in quickstart mode over SSL (RC=", 20000, &failure));
    EXPECT_EQ(0u, syslog_count(&run.log, "Connected to NIMBA in quickstart mode over SSL."));
    EXPECT_EQ(0u, count_occurrences(process_stderr(&cloud->process), "as d:quickstart"));
    return;
  }
  ASSERT_TRUE(syslog_wait(&run.log, "Connected to NIMBA in quickstart mode over SSL.", 15000));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  /* The broker saw the daemon on its TLS listener only. */
  EXPECT_TRUE(process_wait_stderr(&cloud->process, "on port 8883.", 3000));
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);
  ASSERT_EQ(0, client_publish(feeder, "QZ/a/b", "{\"s\":\"tls\"}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  EXPECT_EQ("{\"d\":{\"a/b/s\":\"tls\"}}", client_messages(observer)[0].payload);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, DaemonTls,
    ::testing::Values(tls_case{__LINE__, "TrustedCaAndHostName", "", true, true},
                      tls_case{__LINE__, "UntrustedCa", "", false, false},
                      tls_case{__LINE__, "WrongHostName", "other.nimba.test", true, false}),
    [](const ::testing::TestParamInfo<tls_case> &info) { return std::string(info.param.name); });

TEST_F(DaemonTest, SigtermDuringThePauseStopsAtOnceGatewayFirst) {
  /* One broker serves both sides, so its log shows the order of the two disconnects. */
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  daemon_launch launch;
  launch.gateway = address(0);
  launch.cloud = address(0);
  launch.pause = 60;
  ASSERT_TRUE(daemon_start(&run, launch));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  /* Well within the 60 s pause: the pause ended on the signal. */
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 20000));
  std::string text = out();
  EXPECT_EQ("Stopped.", text.substr(text.size() - 8));
  /* The collector may still be taking in the last datagrams. */
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 5000, 1, DAEMON_NOTICE));
  std::vector<syslog_entry> entries = syslog_entries(&run.log);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ("Stopped.", entries.back().message);
  EXPECT_TRUE(process_wait_stderr(&gateway->process, "d:quickstart:zunquo:dev1 disconnected", 5000));
  const std::string broker_log = process_stderr(&gateway->process);
  size_t gateway_end = broker_log.find("Client CID disconnected");
  size_t cloud_end = broker_log.find("Client d:quickstart:zunquo:dev1 disconnected");
  ASSERT_NE(std::string::npos, gateway_end);
  ASSERT_NE(std::string::npos, cloud_end);
  EXPECT_LT(gateway_end, cloud_end);
}

/* The device's name servers are set up after the daemon started (DHCP later than the
 * module): the next pass reads them afresh and reaches the cloud without a restart. */
TEST_F(DaemonTest, NameServersSetUpAfterTheStartAreUsedAtTheNextPass) {
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  fake_dns dns;
  ASSERT_TRUE(fake_dns_start(&dns, address(2)));
  fake_dns_add(&dns, quickstart_host(), address(1));
  daemon_launch launch = timings(1);
  launch.cloud_host = "elsewhere.example"; /* the hosts file does not name the cloud */
  launch.resolv_conf = "nameserver " + address(3) + "\noptions timeout:1 attempts:1\n";
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(syslog_wait(&run.log, "Failed to connect to NIMBA in quickstart mode (RC=-1).", 15000));
  EXPECT_EQ(0u, fake_dns_queries(&dns));
  ASSERT_TRUE(write_file(run.resolv_path, "nameserver " + address(2) + "\noptions timeout:1 attempts:1\n"));
  ASSERT_TRUE(syslog_wait(&run.log, CLOUD_CONNECTED, 15000));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  EXPECT_GE(fake_dns_queries(&dns), 1u);
  fake_dns_stop(&dns);
}

struct signal_case {
  int line;
  const char *name;
  int signal_number;
  bool stops; /* else ignored: the daemon relays on */
};
void PrintTo(const signal_case &c, std::ostream *os) { *os << c.name; }

class DaemonSignal : public DaemonTest, public ::testing::WithParamInterface<signal_case> {};

/* SIGHUP stops the daemon cleanly like SIGTERM; SIGUSR1 and SIGUSR2 are ignored. None of
 * them may end it without its shutdown (no "Stopped.", the status file left behind). */
TEST_P(DaemonSignal, StopsCleanlyOrIsIgnored) {
  const signal_case &c = GetParam();
  SCOPED_TRACE(c.line);
  start_relay();
  ASSERT_TRUE(process_signal(&run.process, c.signal_number));
  if (c.stops) {
    ASSERT_TRUE(process_wait(&run.process, 20000));
    EXPECT_EQ(0, process_exit_code(&run.process));
  } else {
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"after\":1}"));
    ASSERT_TRUE(client_wait_count(observer, 1, 5000)) << "the daemon did not relay on";
    ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 20000));
  }
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 5000, 1, DAEMON_NOTICE));
  EXPECT_NE(0, access(run.status_path.c_str(), F_OK)) << "the status file outlived the daemon";
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonSignal,
                         ::testing::Values(signal_case{__LINE__, "Hangup", SIGHUP, true},
                                           signal_case{__LINE__, "User1", SIGUSR1, false},
                                           signal_case{__LINE__, "User2", SIGUSR2, false}),
                         [](const ::testing::TestParamInfo<signal_case> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
