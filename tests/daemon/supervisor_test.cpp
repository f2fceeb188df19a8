/* The supervisor's passes against scripted brokers on loopback, driven turn by turn: the
 * steps of a pass, and a stop request at each of them. */
#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "daemon.h"
#include "fake_broker.h"
#include "loopback.h"
#include "relay.h"
#include "settings/log.h"
#include "wait.h"

namespace {

std::vector<std::string> logged;
void collect(int, const char *format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  logged.push_back(text);
}

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};

/* A daemon's state with the gateway at address 0 and the cloud at address 1 of the test,
 * the relay's handlers registered, driven here instead of by supervisor_run. */
class Supervisor : public ::testing::Test {
protected:
  std::unique_ptr<relay_daemon, free_deleter> owned{
      static_cast<relay_daemon *>(std::calloc(1, sizeof(relay_daemon)))};
  relay_daemon *d = owned.get();
  fake_broker cloud, gateway;

  void SetUp() override {
    logged.clear();
    log_set_sink(collect);
    log_set_echo(LOG_ECHO_NONE);
    stop_signal = 0;
  }
  void TearDown() override {
    stop_signal = 0;
    session_release(&d->gateway);
    session_release(&d->cloud);
    fake_broker_stop(&gateway);
    fake_broker_stop(&cloud);
    log_set_sink(nullptr);
    log_set_echo(LOG_ECHO_BY_PRIORITY);
  }

  void start(const fake_script &cloud_script, const fake_script &gateway_script) {
    ASSERT_TRUE(fake_broker_start(&cloud, test_address(1), 1883, cloud_script));
    ASSERT_TRUE(fake_broker_start(&gateway, test_address(0), 1883, gateway_script));
    d->options = daemon_default_options();
    d->options.status_path = nullptr;
    d->options.spool_path = nullptr;
    std::snprintf(d->cloud_address.host, sizeof d->cloud_address.host, "%s", test_address(1).c_str());
    d->cloud_address.port = 1883;
    std::snprintf(d->gateway_address.host, sizeof d->gateway_address.host, "%s", test_address(0).c_str());
    d->gateway_address.port = 1883;
    std::snprintf(d->cloud_client_id, sizeof d->cloud_client_id, "d:quickstart:zunquo:unit");
    relay_sessions_init(d);
    status_init(&d->status, nullptr, 1, daemon_clock_ms(), d->cloud_uri, d->gateway_uri);
    d->step = PASS_PAUSE;
    d->next_pass_ms = daemon_clock_ms();
  }

  /* One turn: the supervisor's step, then both sessions. 0 once the supervisor stops. */
  int turn() {
    const long long now = daemon_clock_ms();
    if (!supervisor_advance(d, now)) return 0;
    pollfd fds[2 * SESSION_POLL_MAX];
    const unsigned cloud_count = session_poll_fds(&d->cloud, fds);
    const unsigned gateway_count = session_poll_fds(&d->gateway, fds + cloud_count);
    const int ready = poll(fds, cloud_count + gateway_count, 10);
    session_handle(&d->cloud, fds, ready > 0 ? cloud_count : 0, daemon_clock_ms());
    session_handle(&d->gateway, fds + cloud_count, ready > 0 ? gateway_count : 0, daemon_clock_ms());
    return 1;
  }

  bool turn_until(const std::function<bool()> &condition) {
    return wait_until([&] { return turn() && condition(); }, 10000);
  }
};

/* Where the pass waits for an answer that does not come. */
struct stop_case {
  int line;
  const char *name;
  pass_step at;
  fake_script cloud, gateway;
  session_phase cloud_after, gateway_after; /* the sessions once the stop was taken */
};
void PrintTo(const stop_case &c, std::ostream *os) { *os << c.name; }

fake_script silent_connack() {
  fake_script s;
  s.connack = -1;
  return s;
}
fake_script silent_suback() {
  fake_script s;
  s.suback = -1;
  return s;
}

class SupervisorStop : public Supervisor, public ::testing::WithParamInterface<stop_case> {};

/* A stop request at each step ends the pass at once: the answer awaited is abandoned (no
 * failure reported), nothing new begins, and what is up stays up for the shutdown. */
TEST_P(SupervisorStop, EndsThePassAtOnceAtEveryStep) {
  const stop_case &c = GetParam();
  SCOPED_TRACE(c.line);
  start(c.cloud, c.gateway);
  if (c.at == PASS_PAUSE) {
    ASSERT_TRUE(
        turn_until([&] { return d->step == PASS_PAUSE && session_state(&d->gateway) == SESSION_UP; }));
    d->next_pass_ms = daemon_clock_ms() + 60000;
  } else {
    ASSERT_TRUE(turn_until([&] {
      const mqtt_session &waiting = c.at == PASS_CLOUD ? d->cloud : d->gateway;
      return d->step == c.at &&
             (c.at == PASS_SUBSCRIBE ? waiting.subscribe_id != 0 : waiting.state == SESSION_CONNACK);
    }));
    /* The broker reads the request on its own thread: wait until it has counted it. */
    fake_broker &broker = c.at == PASS_CLOUD ? cloud : gateway;
    ASSERT_TRUE(wait_until(
        [&] {
          const fake_counts n = fake_broker_counts(&broker);
          return c.at == PASS_SUBSCRIBE ? n.subscribes >= 1 : n.connects >= 1;
        },
        10000));
  }
  const fake_counts cloud_before = fake_broker_counts(&cloud), gateway_before = fake_broker_counts(&gateway);
  stop_signal = SIGTERM;
  EXPECT_EQ(0, supervisor_advance(d, daemon_clock_ms()));
  EXPECT_EQ(0, supervisor_advance(d, daemon_clock_ms() + 120000)) << "a pass began after the stop";
  EXPECT_EQ(PASS_PAUSE, d->step);
  EXPECT_EQ(c.cloud_after, session_state(&d->cloud));
  EXPECT_EQ(c.gateway_after, session_state(&d->gateway));
  for (const std::string &line : logged) EXPECT_EQ(std::string::npos, line.find("Failed")) << line;
  EXPECT_EQ(cloud_before.connects, fake_broker_counts(&cloud).connects);
  EXPECT_EQ(gateway_before.connects, fake_broker_counts(&gateway).connects);
  EXPECT_EQ(gateway_before.subscribes, fake_broker_counts(&gateway).subscribes);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SupervisorStop,
    ::testing::Values(
        stop_case{__LINE__, "InThePause", PASS_PAUSE, fake_script(), fake_script(), SESSION_UP, SESSION_UP},
        stop_case{__LINE__,
                  "AtTheCloudsConnack",
                  PASS_CLOUD,
                  silent_connack(),
                  fake_script(),
                  SESSION_DOWN,
                  SESSION_DOWN},
        stop_case{__LINE__,
                  "AtTheGatewaysConnack",
                  PASS_GATEWAY,
                  fake_script(),
                  silent_connack(),
                  SESSION_UP,
                  SESSION_DOWN},
        stop_case{
            __LINE__, "AtTheSuback", PASS_SUBSCRIBE, fake_script(), silent_suback(), SESSION_UP, SESSION_UP}),
    [](const ::testing::TestParamInfo<stop_case> &info) { return std::string(info.param.name); });

/* The steps of a pass: the cloud, the gateway only once the cloud is up, the subscription
 * after the gateway's connect, made by the supervisor after the gateway's turn; a refused
 * subscription drops the gateway and is reported. The gateway session is clean and at QoS 0
 * at most once; at least once it persists (the broker keeps what comes while the relay is
 * away) and is at QoS 1. */
struct pass_case {
  int line;
  const char *name;
  int qos; /* the settings' delivery */
  bool clean_session;
  const char *subscribing; /* the log line of the gateway's connect */
};
void PrintTo(const pass_case &c, std::ostream *os) { *os << c.name; }

class SupervisorPass : public Supervisor, public ::testing::WithParamInterface<pass_case> {};

TEST_P(SupervisorPass, ConnectsTheCloudThenTheGatewayThenSubscribes) {
  const pass_case &c = GetParam();
  SCOPED_TRACE(c.line);
  fake_script refusing;
  refusing.suback = 0x80;
  d->settings.qos = c.qos;
  start(fake_script(), refusing);
  ASSERT_TRUE(turn_until([&] { return d->step == PASS_SUBSCRIBE; }));
  EXPECT_EQ(SESSION_UP, session_state(&d->cloud));
  EXPECT_EQ(1u, fake_broker_counts(&cloud).connects);
  ASSERT_TRUE(turn_until([&] { return d->step == PASS_PAUSE; }));
  EXPECT_EQ(SESSION_DOWN, session_state(&d->gateway)) << "a refused subscription left the gateway up";
  ASSERT_GE(logged.size(), 3u);
  EXPECT_EQ("Connected to NIMBA in quickstart mode.", logged[0]);
  EXPECT_EQ(c.subscribing, logged[1]);
  EXPECT_EQ("Failed to subscribe to topic 'QZ/#' on IoT Gateway (RC=128).", logged[2]);
  EXPECT_STREQ("subscription to QZ/# refused", d->status.gateway.failed_text);
  const fake_requests asked = fake_broker_requests(&gateway);
  EXPECT_EQ("CID", asked.client_id);
  EXPECT_EQ(c.clean_session, (asked.connect_flags & 0x02) != 0);
  EXPECT_EQ(c.qos, asked.subscribe_qos);
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, SupervisorPass,
    ::testing::Values(
        pass_case{__LINE__,
                  "AtMostOnce",
                  0,
                  true,
                  "Connected to IoT Gateway. Subscribing to topic 'QZ/#' on IoT Gateway using QoS0."},
        pass_case{__LINE__,
                  "AtLeastOnce",
                  1,
                  false,
                  "Connected to IoT Gateway. Subscribing to topic 'QZ/#' on IoT Gateway using QoS1."}),
    [](const ::testing::TestParamInfo<pass_case> &info) { return std::string(info.param.name); });

} // namespace
