/* Reconnection, failure throttle, credentials, TLS and shutdown. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>

#include "daemon_test_fixture.h"

namespace {

const std::string CLOUD_FAILED = "Failed to connect to NIMBA in quickstart mode (RC=-1).";

TEST_F(DaemonTest, CloudDownThrottlesFailuresAndNeverTriesTheGateway) {
  gateway = start_broker("127.77.3.1");
  ASSERT_NE(nullptr, gateway);
  daemon_launch launch;
  launch.args = {"dev1", "127.77.3.1"};
  launch.hosts = {{"127.77.3.2", quickstart_host()}};
  launch.env = {"NIMBA_TEST_PAUSE=1"};
  ASSERT_TRUE(daemon_start(&run, launch));
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

TEST_F(DaemonTest, LostGatewayIsReconnectedAloneAndSubscribedAgain) {
  start_relay("127.77.4.1", "127.77.4.2");
  broker_stop(gateway);
  ASSERT_TRUE(syslog_wait(&run.log, "Connection to IoT Gateway lost.", 10000, 1, DAEMON_NOTICE));
  ASSERT_TRUE(broker_restart(gateway));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000, 2));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  EXPECT_EQ(1u, syslog_count(&run.log, CLOUD_CONNECTED));
  EXPECT_EQ(0u, syslog_count(&run.log, "Connection to NIMBA lost."));
  client_close(feeder);
  ASSERT_TRUE(client_connect(feeder, broker_uri(gateway), "feeder"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"after\":1}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  EXPECT_EQ("{\"d\":{\"node1/sensor/after\":1}}", client_messages(observer)[0].payload);
}

TEST_F(DaemonTest, LostCloudIsReconnectedAloneWhileTheGatewayStays) {
  start_relay("127.77.5.1", "127.77.5.2");
  broker_stop(cloud);
  ASSERT_TRUE(syslog_wait(&run.log, "Connection to NIMBA lost.", 10000, 1, DAEMON_NOTICE));
  ASSERT_TRUE(broker_restart(cloud));
  client_close(observer);
  ASSERT_TRUE(client_connect(observer, broker_uri(cloud), "observer"));
  ASSERT_TRUE(client_subscribe(observer, "#", 2));
  ASSERT_TRUE(syslog_wait(&run.log, CLOUD_CONNECTED, 15000, 2));
  EXPECT_EQ(1u, syslog_count(&run.log, GATEWAY_CONNECTED));
  EXPECT_EQ(0u, syslog_count(&run.log, "Connection to IoT Gateway lost."));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"after\":2}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  EXPECT_EQ("{\"d\":{\"node1/sensor/after\":2}}", client_messages(observer)[0].payload);
}

/* The cloud connection drops (another client takes over the daemon's identifier) while
 * the gateway keeps delivering: the documents wait and go out in order after the reconnect. */
TEST_F(DaemonTest, MessagesDuringABriefCloudOutageArriveInOrderAfterTheReconnect) {
  start_relay("127.77.11.1", "127.77.11.2", {"NIMBA_TEST_PAUSE=3"});
  test_client *impostor = connect_client(broker_uri(cloud), "d:quickstart:zunquo:dev1");
  ASSERT_NE(nullptr, impostor);
  ASSERT_TRUE(syslog_wait(&run.log, "Connection to NIMBA lost.", 10000, 1, DAEMON_NOTICE));
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
  std::string base = "127.77.6." + std::to_string(c.line % 100 * 2 + 10);
  std::string gateway_address = "127.77.6." + std::to_string(c.line % 100 * 2 + 11);
  broker_config setup;
  setup.address = base;
  setup.users = {{"use-token-auth", "tok-good"}, {"observer", "pw"}};
  cloud = start_broker(setup);
  ASSERT_NE(nullptr, cloud);
  gateway = start_broker(gateway_address);
  ASSERT_NE(nullptr, gateway);
  clients.emplace_back(new test_client());
  observer = clients.back().get();
  ASSERT_TRUE(client_connect(observer, broker_uri(cloud), "observer", "observer", "pw"));
  ASSERT_TRUE(client_subscribe(observer, "#", 2));
  daemon_launch launch;
  launch.args = {"Dev7", gateway_address};
  launch.settings = "NIMBA_MODE=1\nNIMBA_ORGID=org7\nNIMBA_DTYPEID=typ\nNIMBA_AUTHTOKEN=" + c.token + "\n";
  launch.hosts = {{base, registered_host("org7")}};
  ASSERT_TRUE(daemon_start(&run, launch));
  if (!c.accepted) {
    ASSERT_TRUE(syslog_wait(&run.log, "Failed to connect to NIMBA in registered mode (RC=5).", 15000, 1, DAEMON_ERR));
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
  std::string cloud_address = "127.77.7." + std::to_string(c.line % 100 * 2 + 10);
  std::string gateway_address = "127.77.7." + std::to_string(c.line % 100 * 2 + 11);
  cas.resize(2);
  ASSERT_TRUE(ca_create(&cas[0], "Nimba Test CA"));
  ASSERT_TRUE(ca_create(&cas[1], "Other Test CA"));
  std::string dns = *c.certificate_name ? c.certificate_name : quickstart_host();
  ASSERT_TRUE(ca_issue_server(&cas[0], dns, cas[0].folder, "server"));
  broker_config setup;
  setup.address = cloud_address;
  setup.tls = true;
  setup.tls_cert = cas[0].folder + "/server.pem";
  setup.tls_key = cas[0].folder + "/server.key";
  cloud = start_broker(setup);
  ASSERT_NE(nullptr, cloud);
  gateway = start_broker(gateway_address);
  ASSERT_NE(nullptr, gateway);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 2));

  daemon_launch launch;
  launch.args = {"dev1", gateway_address};
  launch.settings = "NIMBA_SSL=1\n";
  launch.hosts = {{cloud_address, quickstart_host()}};
  launch.env = {"NIMBA_TEST_CA_PATH=" + (c.trusted_ca ? cas[0].hashed_dir : cas[1].hashed_dir)};
  ASSERT_TRUE(daemon_start(&run, launch));
  ASSERT_TRUE(process_wait_stdout(&run.process, "NIMBA URL:    'ssl://" + quickstart_host() + ":8883'\n", 10000));
  if (!c.connects) {
    std::string failure;
    ASSERT_TRUE(syslog_wait_prefix(&run.log, "Failed to connect to NIMBA in quickstart mode over SSL (RC=", 20000, &failure));
    EXPECT_EQ(0u, syslog_count(&run.log, "Connected to NIMBA in quickstart mode over SSL."));
    EXPECT_EQ(0u, count_occurrences(process_stderr(&cloud->process), "as d:quickstart"));
    return;
  }
  ASSERT_TRUE(syslog_wait(&run.log, "Connected to NIMBA in quickstart mode over SSL.", 15000));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  /* The broker saw the daemon on its TLS listener only. */
  long long deadline = monotonic_ms() + 3000;
  while (process_stderr(&cloud->process).find("on port 8883.") == std::string::npos &&
         monotonic_ms() < deadline)
    usleep(20000);
  EXPECT_NE(std::string::npos, process_stderr(&cloud->process).find("on port 8883."));
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
  gateway = start_broker("127.77.8.1");
  ASSERT_NE(nullptr, gateway);
  daemon_launch launch;
  launch.args = {"dev1", "127.77.8.1"};
  launch.hosts = {{"127.77.8.1", quickstart_host()}};
  launch.env = {"NIMBA_TEST_PAUSE=60"};
  ASSERT_TRUE(daemon_start(&run, launch));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  usleep(200000);
  long long sent = monotonic_ms();
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 20000));
  EXPECT_LT(monotonic_ms() - sent, 5000) << "the pause did not end on the signal";
  std::string text = out();
  EXPECT_EQ("Stopped.", text.substr(text.size() - 8));
  /* The collector may still be taking in the last datagrams. */
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 5000, 1, DAEMON_NOTICE));
  std::vector<syslog_entry> entries = syslog_entries(&run.log);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ("Stopped.", entries.back().message);
  std::string broker_log;
  long long deadline = monotonic_ms() + 5000;
  do {
    broker_log = process_stderr(&gateway->process);
  } while (broker_log.find("d:quickstart:zunquo:dev1 disconnected") == std::string::npos &&
           monotonic_ms() < deadline && usleep(20000) == 0);
  size_t gateway_end = broker_log.find("Client CID disconnected");
  size_t cloud_end = broker_log.find("Client d:quickstart:zunquo:dev1 disconnected");
  ASSERT_NE(std::string::npos, gateway_end);
  ASSERT_NE(std::string::npos, cloud_end);
  EXPECT_LT(gateway_end, cloud_end);
}

TEST_F(DaemonTest, SigintDuringAConnectEndsThePassThenStops) {
  silent_listener silent;
  ASSERT_TRUE(silent_listener_open(&silent, "127.77.9.2", 1883));
  gateway = start_broker("127.77.9.1");
  ASSERT_NE(nullptr, gateway);
  daemon_launch launch;
  launch.args = {"dev1", "127.77.9.1"};
  launch.hosts = {{"127.77.9.2", quickstart_host()}};
  launch.env = {"NIMBA_TEST_PAUSE=60"};
  ASSERT_TRUE(daemon_start(&run, launch));
  ASSERT_TRUE(process_wait_stdout(&run.process, "IoT Gateway Client: 'CID'\n", 10000));
  usleep(500000);
  ASSERT_TRUE(process_signal(&run.process, SIGINT));
  /* The connect runs to its timeout; the pass ends, the pause is skipped. */
  EXPECT_FALSE(process_wait(&run.process, 2000));
  ASSERT_TRUE(process_wait(&run.process, 45000));
  EXPECT_EQ(0, process_exit_code(&run.process));
  std::string failure;
  EXPECT_TRUE(syslog_wait_prefix(&run.log, "Failed to connect to NIMBA in quickstart mode (RC=", 1000, &failure));
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 1000, 1, DAEMON_NOTICE));
  EXPECT_EQ(0u, count_occurrences(process_stderr(&gateway->process), "CID"));
}

} // namespace
