/* The daemon with aedes, a broker written independently of mosquitto, on either side or
 * both: connect, subscription, relay, keep-alive and the token check of registered mode. */
#include <signal.h>
#include <unistd.h>

#include <string>

#include "daemon_test_fixture.h"

namespace {

/* An aedes broker process on address:1883 (with a user and password when given). */
struct aedes_broker {
  child_process process;
};

int aedes_start(aedes_broker *broker, const std::string &address, const std::string &user = std::string(),
                const std::string &password = std::string()) {
  spawn_request spawn;
  spawn.argv = {"node", std::string(NIMBA_INTEROP_NODE_DIR) + "/aedes_broker.mjs", address, "1883"};
  if (!user.empty()) {
    spawn.argv.push_back(user);
    spawn.argv.push_back(password);
  }
  return process_spawn(spawn, &broker->process) &&
         process_wait_stdout(&broker->process, "listening\n", 20000);
}

void aedes_stop(aedes_broker *broker) {
  if (broker->process.pid > 0 && !broker->process.exited) {
    process_signal(&broker->process, SIGTERM);
    if (!process_wait(&broker->process, 5000)) process_kill(&broker->process);
  }
  process_cleanup(&broker->process);
}

class AedesTest : public DaemonTest {
protected:
  aedes_broker aedes[2];

  static void SetUpTestSuite() {
    /* aedes comes from the committed lock file, installed once into the build tree. */
    const std::string dir = NIMBA_INTEROP_NODE_DIR;
    if (access((dir + "/node_modules/aedes/package.json").c_str(), F_OK) == 0) return;
    std::string output;
    int installed =
        process_run({"/bin/sh", "-c", "cd '" + dir + "' && npm ci --prefer-offline --no-audit --no-fund"},
                    300000,
                    &output);
    if (installed != 0) std::fprintf(stderr, "npm ci of aedes failed:\n%s\n", output.c_str());
  }
  void TearDown() override {
    DaemonTest::TearDown();
    for (aedes_broker &b : aedes) aedes_stop(&b);
  }
  std::string aedes_log(int i) { return process_stdout(&aedes[i].process); }
};

struct side_case {
  int line;
  const char *name;
  bool aedes_gateway, aedes_cloud;
};
void PrintTo(const side_case &c, std::ostream *os) { *os << c.name; }

class AedesSides : public AedesTest, public ::testing::WithParamInterface<side_case> {};

/* Connects, subscribes, relays, and keeps both connections alive across several keep-alive
 * intervals with aedes on the given sides (mosquitto on the other). */
TEST_P(AedesSides, ConnectsSubscribesRelaysAndKeepsAlive) {
  const side_case &c = GetParam();
  SCOPED_TRACE(c.line);
  const std::string gateway_address = address(0);
  const std::string cloud_address = address(1);
  if (c.aedes_gateway) {
    ASSERT_TRUE(aedes_start(&aedes[0], gateway_address));
  } else {
    ASSERT_NE(nullptr, gateway = start_broker(gateway_address));
  }
  if (c.aedes_cloud) {
    ASSERT_TRUE(aedes_start(&aedes[1], cloud_address));
  } else {
    ASSERT_NE(nullptr, cloud = start_broker(cloud_address));
  }
  observer = connect_client("tcp://" + cloud_address + ":1883", "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 0));
  daemon_launch launch;
  launch.pause = 1;
  launch.keep_alive = 1;
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 20000));
  if (c.aedes_gateway) {
    ASSERT_TRUE(process_wait_stdout(&aedes[0].process, "subscribed CID QZ/# 0\n", 10000));
  } else {
    ASSERT_TRUE(wait_subscribed(gateway, 1, 10000));
  }

  feeder = connect_client("tcp://" + gateway_address + ":1883", "feeder");
  ASSERT_NE(nullptr, feeder);
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"t\":21}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 10000));
  EXPECT_EQ("{\"d\":{\"node1/sensor/t\":21}}", client_messages(observer)[0].payload);
  EXPECT_EQ("iot-2/evt/status/fmt/json", client_messages(observer)[0].topic);

  /* Keep-alive of 1 s: pings go out and are answered; nothing is lost over several. */
  for (int i = 0; i < 2; i++) {
    if (!(i == 0 ? c.aedes_gateway : c.aedes_cloud)) continue;
    const std::string id = i == 0 ? "CID" : "d:quickstart:zunquo:dev1";
    EXPECT_TRUE(wait_until([&] { return count_occurrences(aedes_log(i), "ping " + id + "\n") >= 4; }, 20000))
        << id;
  }
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, "Connection to NIMBA lost"));
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, "Connection to IoT Gateway lost"));
  EXPECT_EQ(1u, syslog_count(&run.log, GATEWAY_CONNECTED));
}

INSTANTIATE_TEST_SUITE_P(Brokers, AedesSides,
                         ::testing::Values(side_case{__LINE__, "AedesGateway", true, false},
                                           side_case{__LINE__, "AedesCloud", false, true},
                                           side_case{__LINE__, "AedesBoth", true, true}),
                         [](const ::testing::TestParamInfo<side_case> &info) {
                           return std::string(info.param.name);
                         });

struct token_case {
  int line;
  const char *name;
  const char *token;
  bool accepted;
};
void PrintTo(const token_case &c, std::ostream *os) { *os << c.name; }

class AedesToken : public AedesTest, public ::testing::WithParamInterface<token_case> {};

/* Registered mode: aedes checks user "use-token-auth" and the token; a wrong token is
 * refused with CONNACK 5 and reported as such. */
TEST_P(AedesToken, RegisteredModeIsCheckedByTheBroker) {
  const token_case &c = GetParam();
  SCOPED_TRACE(c.line);
  ASSERT_TRUE(aedes_start(&aedes[1], address(1), "use-token-auth", "tok-good"));
  ASSERT_NE(nullptr, gateway = start_broker(address(0)));
  daemon_launch launch;
  launch.device = "Dev7";
  launch.cloud_host = registered_host("org7");
  launch.settings =
      std::string("NIMBA_MODE=1\nNIMBA_ORGID=org7\nNIMBA_DTYPEID=typ\nNIMBA_AUTHTOKEN=") + c.token + "\n";
  launch.pause = 60;
  ASSERT_TRUE(start_daemon(launch));
  if (c.accepted) {
    ASSERT_TRUE(syslog_wait(&run.log, "Connected to NIMBA in registered mode.", 15000));
    EXPECT_TRUE(process_wait_stdout(&aedes[1].process, "connected d:org7:typ:dev7\n", 5000));
  } else {
    ASSERT_TRUE(
        syslog_wait(&run.log, "Failed to connect to NIMBA in registered mode (RC=5).", 15000, 1, DAEMON_ERR));
    EXPECT_EQ(0u, count_occurrences(aedes_log(1), "connected d:org7"));
  }
}

INSTANTIATE_TEST_SUITE_P(Tokens, AedesToken,
                         ::testing::Values(token_case{__LINE__, "RightToken", "tok-good", true},
                                           token_case{__LINE__, "WrongToken", "tok-bad", false}),
                         [](const ::testing::TestParamInfo<token_case> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
