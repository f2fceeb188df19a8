/* The daemon against brokers that misbehave: scripted fake brokers that never answer, refuse,
 * send garbage or a packet of 256 MiB, a real broker that stops reading, TLS peers with bad
 * certificates or no handshake, and stop signals in each state of a connection. */
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "daemon_test_fixture.h"
#include "fake_broker.h"

namespace {

const std::string CLOUD_FAILED_PREFIX = "Failed to connect to NIMBA in quickstart mode (RC=";
/* A lost connection's log line names its cause. */
const char *const CLOUD_LOST = "Connection to NIMBA lost (cause='";
const char *const GATEWAY_LOST = "Connection to IoT Gateway lost (cause='";
const char *const DID_NOT_FIT = "The message did not fit into the provided buffer.";

/* The daemon runs as itself, not inside an emulator: its /proc figures are its own. */
bool daemon_measurable() { return !kAddressSanitizer && std::string(NIMBA_DAEMON_TEST_EMULATOR).empty(); }

/* A field of /proc/<pid>/status in KiB, -1 when unreadable. */
long status_kb(pid_t pid, const std::string &field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

/* utime + stime of a process in clock ticks, -1 when unreadable. */
long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  if (paren == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = paren + 2; i <= text.size(); i++) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1;
}

using DaemonBrokerFault = DaemonTest;

struct refusal_case {
  int line;
  const char *name;
  int connack; /* -1: never answered */
  int rc;
};
void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

class DaemonCloudRefuses : public DaemonBrokerFault, public ::testing::WithParamInterface<refusal_case> {};

/* Each refusal is reported with the broker's code, an unanswered CONNECT with -1 after the
 * connect time-out; the gateway is never tried. */
TEST_P(DaemonCloudRefuses, ReportsTheCodeAndNeverTriesTheGateway) {
  const refusal_case &c = GetParam();
  SCOPED_TRACE(c.line);
  fake_script script;
  script.connack = c.connack;
  fake_broker *cloud_fake = start_fake(address(1), script);
  ASSERT_NE(nullptr, cloud_fake);
  fake_broker *gateway_fake = start_fake(address(0), fake_script());
  ASSERT_NE(nullptr, gateway_fake);
  ASSERT_TRUE(start_daemon(timings(60, 2)));
  const std::string expected = CLOUD_FAILED_PREFIX + std::to_string(c.rc) + ").";
  ASSERT_TRUE(syslog_wait(&run.log, expected, 15000, 1, DAEMON_ERR));
  EXPECT_EQ(0u, fake_broker_counts(gateway_fake).connections);
  EXPECT_EQ(1u, fake_broker_counts(cloud_fake).connects);
}

INSTANTIATE_TEST_SUITE_P(Codes, DaemonCloudRefuses,
                         ::testing::Values(refusal_case{__LINE__, "NeverAnswered", -1, -1},
                                           refusal_case{__LINE__, "Protocol", 1, 1},
                                           refusal_case{__LINE__, "Identifier", 2, 2},
                                           refusal_case{__LINE__, "Unavailable", 3, 3},
                                           refusal_case{__LINE__, "BadCredentials", 4, 4},
                                           refusal_case{__LINE__, "NotAuthorised", 5, 5}),
                         [](const ::testing::TestParamInfo<refusal_case> &info) {
                           return std::string(info.param.name);
                         });

struct broken_link_case {
  int line;
  const char *name;
  bool on_cloud; /* else on the gateway */
  fake_script script;
  const char *cause; /* in the lost connection's log line */
};
void PrintTo(const broken_link_case &c, std::ostream *os) { *os << c.name; }

fake_script silent_pings() {
  fake_script s;
  s.answer_pings = false;
  return s;
}
fake_script garbage_after_connack(const std::string &bytes) {
  fake_script s;
  s.after_connack = bytes;
  return s;
}
fake_script garbage_after_suback(const std::string &bytes) {
  fake_script s;
  s.after_suback = bytes;
  return s;
}

class DaemonLinkBroken : public DaemonBrokerFault, public ::testing::WithParamInterface<broken_link_case> {};

/* A broker that stops answering pings, or sends what no broker may send: the daemon drops
 * the link, logs it as lost and connects again in the next pass; the other side stays up. */
TEST_P(DaemonLinkBroken, IsDroppedAndConnectedAgainInTheNextPass) {
  const broken_link_case &c = GetParam();
  SCOPED_TRACE(c.line);
  fake_broker *faulty = start_fake(address(c.on_cloud ? 1 : 0), c.script);
  ASSERT_NE(nullptr, faulty);
  fake_broker *sound = start_fake(address(c.on_cloud ? 0 : 1), fake_script());
  ASSERT_NE(nullptr, sound);
  daemon_launch l = timings(1);
  l.keep_alive = 1;
  ASSERT_TRUE(start_daemon(l));
  const std::string lost = std::string(c.on_cloud ? CLOUD_LOST : GATEWAY_LOST) + c.cause + "').";
  ASSERT_TRUE(syslog_wait(&run.log, lost, 20000, 1, DAEMON_NOTICE));
  ASSERT_TRUE(fake_broker_wait(faulty, &fake_counts::connects, 2, 20000)) << "not connected again";
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, c.on_cloud ? GATEWAY_LOST : CLOUD_LOST));
  EXPECT_LE(fake_broker_counts(sound).connects, 1u) << "the sound side was dropped too";
  EXPECT_FALSE(process_wait(&run.process, 0)) << "the daemon ended";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DaemonLinkBroken,
    ::testing::Values(
        broken_link_case{
            __LINE__, "CloudNeverAnswersPings", true, silent_pings(), "no answer to a ping within 1 s"},
        broken_link_case{
            __LINE__, "GatewayNeverAnswersPings", false, silent_pings(), "no answer to a ping within 1 s"},
        broken_link_case{__LINE__,
                         "CloudSendsAFifthLengthByte",
                         true,
                         garbage_after_connack(std::string("\x30\xFF\xFF\xFF\xFF\x01", 6)),
                         "malformed packet from the broker"},
        broken_link_case{__LINE__,
                         "GatewaySendsASecondConnack",
                         false,
                         garbage_after_suback(std::string("\x20\x02\x00\x00", 4)),
                         "protocol violation by the broker (packet type 2)"},
        broken_link_case{__LINE__,
                         "GatewaySendsQos3",
                         false,
                         garbage_after_suback(std::string("\x36\x05\x00\x01x\x00\x01", 7)),
                         "protocol violation by the broker (packet type 3)"},
        broken_link_case{__LINE__,
                         "GatewaySendsAServerOnlyPacket",
                         false,
                         garbage_after_suback(std::string("\x82\x05\x00\x01\x00\x00\x00", 7)),
                         "protocol violation by the broker (packet type 8)"}),
    [](const ::testing::TestParamInfo<broken_link_case> &info) { return std::string(info.param.name); });

/* A gateway message announcing 256 MiB is read past without being stored: memory stays
 * small, it is reported as not fitting, and the message after it is relayed. */
TEST_F(DaemonBrokerFault, PacketOf256MiBIsReadPastAndTheNextOneRelayed) {
  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 0));
  fake_script script;
  script.huge_publish = 268435455; /* the largest length MQTT can announce */
  script.after_huge = mqtt_publish_bytes("QZ/node1/sensor", "{\"after\":1}");
  fake_broker *gateway_fake = start_fake(address(0), script);
  ASSERT_NE(nullptr, gateway_fake);
  ASSERT_TRUE(start_daemon(timings(1)));
  ASSERT_TRUE(client_wait_count(observer, 1, 60000));
  EXPECT_EQ("{\"d\":{\"node1/sensor/after\":1}}", client_messages(observer)[0].payload);
  ASSERT_TRUE(process_wait_stdout(&run.process, DID_NOT_FIT, 5000));
  if (daemon_measurable()) {
    const long peak = status_kb(run.process.pid, "VmHWM");
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 8 * 1024) << "the daemon stored the packet";
  }
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, GATEWAY_LOST));
}

/* The cloud broker stops reading (SIGSTOP) while messages flow: the daemon does not spin,
 * stops taking gateway messages once its queue and the socket are full, and after SIGCONT
 * every message arrives once and in order. */
TEST_F(DaemonBrokerFault, FrozenCloudPausesTheGatewaySideAndLosesNothing) {
  broker_config gateway_setup;
  gateway_setup.address = address(0);
  gateway_setup.extra_config = "max_queued_messages 0\nmax_queued_bytes 0\n";
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 0));
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);
  /* A short keep-alive: the freeze outlasts it while output waits, which must not make the
   * loop spin on the overdue ping. */
  daemon_launch l = timings(1);
  l.keep_alive = 2;
  ASSERT_TRUE(start_daemon(l));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));

  broker_pause(cloud);
  constexpr int kMessages = 8000;
  const std::string filler(2000, 'f');
  for (int i = 0; i < kMessages; i++)
    ASSERT_EQ(0,
              client_publish(
                  feeder, "QZ/node1/sensor", "{\"n\":" + std::to_string(i) + ",\"f\":\"" + filler + "\"}"));

  /* The daemon stops taking messages: the count of arrivals stays put for two passes. */
  const pid_t pid = run.process.pid;
  const long ticks_before = cpu_ticks(pid);
  const long long stalled_from = monotonic_ms();
  unsigned arrived = 0, steady_since = 0;
  long long steady_at = monotonic_ms();
  wait_until(
      [&] {
        const unsigned now_arrived = count_occurrences(out(), "Message arrived from IoT Gateway.");
        if (now_arrived != arrived) {
          arrived = now_arrived;
          steady_at = monotonic_ms();
        } else if (arrived > 0 && monotonic_ms() - steady_at >= 2500) {
          steady_since = arrived;
        }
        return steady_since > 0;
      },
      20000);
  const long long stalled_ms = monotonic_ms() - stalled_from;
  const long ticks_after = cpu_ticks(pid);
  ASSERT_GT(steady_since, 0u) << "the daemon kept taking gateway messages";
  EXPECT_LT(steady_since, static_cast<unsigned>(kMessages)) << "never paused: the socket took everything";
  if (daemon_measurable()) {
    const double cpu_ms = static_cast<double>(ticks_after - ticks_before) * 1000.0 / sysconf(_SC_CLK_TCK);
    EXPECT_LT(cpu_ms, 0.3 * static_cast<double>(stalled_ms)) << "busy while the cloud was frozen";
    EXPECT_LT(status_kb(pid, "VmHWM"), 8 * 1024);
  }

  broker_resume(cloud);
  ASSERT_TRUE(client_wait_count(observer, kMessages, 60000))
      << "arrived " << client_message_count(observer) << " of " << kMessages;
  std::vector<received_message> got = client_messages(observer);
  ASSERT_EQ(static_cast<size_t>(kMessages), got.size()) << "duplicates";
  for (int i = 0; i < kMessages; i++) {
    const std::string head = "{\"d\":{\"node1/sensor/n\":" + std::to_string(i) + ",";
    ASSERT_EQ(head, got[i].payload.substr(0, head.size())) << "at " << i;
  }
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, CLOUD_LOST));
}

/* Frozen longer than the stall limit: the cloud link is dropped, documents wait (the oldest
 * dropped beyond 256, reported per pass), and after the thaw the relay goes on without
 * duplicates. */
TEST_F(DaemonBrokerFault, CloudStalledPastTheLimitIsDroppedAndReconnected) {
  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);
  daemon_launch l = timings(1, 3);
  l.stall = 2;
  ASSERT_TRUE(start_daemon(l));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));

  broker_pause(cloud);
  const std::string filler(2000, 'f');
  int sent = 0;
  std::string dropped;
  for (long long until = monotonic_ms() + 40000; monotonic_ms() < until && sent < 40000;) {
    for (int i = 0; i < 200; i++, sent++)
      ASSERT_EQ(
          0,
          client_publish(
              feeder, "QZ/node1/sensor", "{\"n\":" + std::to_string(sent) + ",\"f\":\"" + filler + "\"}"));
    if (syslog_wait_prefix(&run.log, "Dropped ", 200, &dropped)) break;
  }
  /* The session's stall limit or the kernel's time-out for unacknowledged data, whichever
   * comes first (both are the stall limit). */
  std::string lost;
  ASSERT_TRUE(syslog_wait_prefix(&run.log, CLOUD_LOST, 1000, &lost));
  EXPECT_TRUE(lost ==
                  "Connection to NIMBA lost (cause='output stalled for 2 s: the broker takes nothing')." ||
              lost == "Connection to NIMBA lost (cause='connection timed out: data not acknowledged').")
      << lost;
  ASSERT_FALSE(dropped.empty()) << "no drop reported after " << sent;
  unsigned count = 0;
  ASSERT_EQ(1, std::sscanf(dropped.c_str(), "Dropped %u messages for NIMBA: queue full.", &count));
  EXPECT_EQ("Dropped " + std::to_string(count) + " messages for NIMBA: queue full.", dropped);
  for (const syslog_entry &e : syslog_entries(&run.log)) {
    if (e.message == dropped) {
      EXPECT_EQ(DAEMON_WARNING, e.priority);
    }
  }

  broker_resume(cloud);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 0));
  ASSERT_TRUE(syslog_wait(&run.log, CLOUD_CONNECTED, 20000, 2));
  /* The relay goes on: a marker sent now arrives, and nothing arrives twice. */
  const std::string marker_document = "{\"d\":{\"node1/sensor/marker\":1}}";
  auto marker_arrived = [&] {
    for (const received_message &m : client_messages(observer))
      if (m.payload == marker_document) return true;
    return false;
  };
  /* A marker published before the gateway side takes messages again is lost: send more. */
  for (long long until = monotonic_ms() + 30000; monotonic_ms() < until && !marker_arrived();) {
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"marker\":1}"));
    wait_until(marker_arrived, 500);
  }
  bool marker = false;
  std::vector<int> seen(static_cast<size_t>(sent), 0);
  for (const received_message &m : client_messages(observer)) {
    if (m.payload == marker_document) {
      marker = true;
      continue;
    }
    int n = -1;
    if (std::sscanf(m.payload.c_str(), "{\"d\":{\"node1/sensor/n\":%d,", &n) == 1 && n >= 0 && n < sent) {
      EXPECT_EQ(1, ++seen[static_cast<size_t>(n)]) << "duplicate " << n;
    }
  }
  EXPECT_TRUE(marker);
}

/* The cloud stops reading while a numbered flow pours in, past the stall limit: the link is
 * reset, and the documents the cloud's TCP had not acknowledged are counted as lost and
 * logged once. With those the queue dropped while the cloud was away, they are exactly the
 * numbers that never arrived; nothing arrives twice or out of order. */
TEST_F(DaemonBrokerFault, DocumentsLostWithTheConnectionAreCountedExactly) {
  fake_broker *cloud_fake = start_fake(address(1), fake_script());
  ASSERT_NE(nullptr, cloud_fake);
  broker_config gateway_setup;
  gateway_setup.address = address(0);
  gateway_setup.extra_config = "max_queued_messages 0\nmax_queued_bytes 0\n";
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);
  daemon_launch l = timings(1, 3);
  l.stall = 2;
  ASSERT_TRUE(start_daemon(l));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));

  fake_broker_reading(cloud_fake, false);
  constexpr int kMessages = 3000;
  const std::string filler(1000, 'f');
  for (int i = 0; i < kMessages; i++)
    ASSERT_EQ(0,
              client_publish(
                  feeder, "QZ/node1/sensor", "{\"n\":" + std::to_string(i) + ",\"f\":\"" + filler + "\"}"));
  std::string lost_line;
  ASSERT_TRUE(syslog_wait_prefix(&run.log, "Lost ", 30000, &lost_line)) << "no loss counted";
  fake_broker_reading(cloud_fake, true);

  /* Everything still queued or held by the gateway broker arrives after the reconnect. */
  const std::string last = "{\"d\":{\"node1/sensor/n\":" + std::to_string(kMessages - 1) + ",";
  ASSERT_TRUE(wait_until(
      [&] {
        std::vector<std::string> got = fake_broker_payloads(cloud_fake);
        return !got.empty() && got.back().compare(0, last.size(), last) == 0;
      },
      60000))
      << "the flow did not resume";
  std::vector<int> numbers;
  for (const std::string &payload : fake_broker_payloads(cloud_fake)) {
    int n = -1;
    ASSERT_EQ(1, std::sscanf(payload.c_str(), "{\"d\":{\"node1/sensor/n\":%d,", &n)) << payload.substr(0, 60);
    if (!numbers.empty()) {
      ASSERT_LT(numbers.back(), n) << "duplicate or out of order";
    }
    numbers.push_back(n);
  }
  const unsigned missing = static_cast<unsigned>(kMessages) - static_cast<unsigned>(numbers.size());
  const unsigned lost = syslog_total(&run.log, "Lost %u messages for NIMBA with the connection.");
  const unsigned dropped = syslog_total(&run.log, "Dropped %u messages for NIMBA: queue full.");
  std::fprintf(
      stderr, "missing %u: lost with the connection %u, dropped from the queue %u\n", missing, lost, dropped);
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(missing, lost + dropped);
  EXPECT_EQ(1u, syslog_count_prefix(&run.log, "Lost "));
  for (const syslog_entry &e : syslog_entries(&run.log))
    if (e.message == lost_line) {
      EXPECT_EQ(DAEMON_WARNING, e.priority);
    }
}

/* Where the daemon waits for an answer that never comes when the stop signal arrives. */
enum stop_point { AT_CLOUD_CONNACK, IN_CLOUD_TLS_HANDSHAKE, AT_GATEWAY_CONNACK, AT_GATEWAY_SUBACK };

struct stop_case {
  int line;
  const char *name;
  stop_point at;
  int signal_number;
  const char *last; /* the last entry before "Stopped.": no failure is reported for the
                       abandoned answer */
};
void PrintTo(const stop_case &c, std::ostream *os) { *os << c.name; }

class DaemonStopDuring : public DaemonBrokerFault, public ::testing::WithParamInterface<stop_case> {};

/* SIGTERM, SIGINT or SIGHUP while a connect or the subscription waits for its answer (with
 * a connect time-out of 60 s): the answer is abandoned, the daemon stops at once, well
 * within the init script's 30 s, and a cloud connection that was up is closed properly. */
TEST_P(DaemonStopDuring, AbandonsTheAwaitedAnswerAndStopsAtOnce) {
  const stop_case &c = GetParam();
  SCOPED_TRACE(c.line);
  const bool on_gateway = c.at == AT_GATEWAY_CONNACK || c.at == AT_GATEWAY_SUBACK;
  fake_script cloud_script, gateway_script;
  if (c.at == AT_CLOUD_CONNACK) cloud_script.connack = -1;
  if (c.at == AT_GATEWAY_CONNACK) gateway_script.connack = -1;
  if (c.at == AT_GATEWAY_SUBACK) gateway_script.suback = -1;
  silent_listener silent;
  fake_broker *cloud_fake = nullptr;
  if (c.at == IN_CLOUD_TLS_HANDSHAKE) {
    ASSERT_TRUE(silent_listener_open(&silent, address(1), 8883));
  } else {
    cloud_fake = start_fake(address(1), cloud_script);
    ASSERT_NE(nullptr, cloud_fake);
  }
  fake_broker *gateway_fake = start_fake(address(0), gateway_script);
  ASSERT_NE(nullptr, gateway_fake);
  daemon_launch l = timings(60, 60);
  if (c.at == IN_CLOUD_TLS_HANDSHAKE) l.settings = "NIMBA_SSL=1\n";
  ASSERT_TRUE(start_daemon(l));
  switch (c.at) {
    case AT_CLOUD_CONNACK:
      ASSERT_TRUE(fake_broker_wait(cloud_fake, &fake_counts::connects, 1, 10000));
      break;
    case IN_CLOUD_TLS_HANDSHAKE:
      ASSERT_TRUE(process_wait_stdout(&run.process, "IoT Gateway Client: 'CID'\n", 10000));
      break;
    case AT_GATEWAY_CONNACK:
      ASSERT_TRUE(fake_broker_wait(gateway_fake, &fake_counts::connects, 1, 10000));
      break;
    case AT_GATEWAY_SUBACK:
      ASSERT_TRUE(fake_broker_wait(gateway_fake, &fake_counts::subscribes, 1, 10000));
      break;
  }
  ASSERT_TRUE(process_signal(&run.process, c.signal_number));
  /* Within the init script's bound, and far from the 60 s the answer could take. */
  ASSERT_TRUE(process_wait(&run.process, 30000));
  EXPECT_EQ(0, process_exit_code(&run.process));
  ASSERT_TRUE(syslog_wait(&run.log, "Stopped.", 5000, 1, DAEMON_NOTICE));
  std::vector<syslog_entry> entries = syslog_entries(&run.log);
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(c.last, entries[entries.size() - 2].message);
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, "Failed to"));
  EXPECT_EQ(on_gateway ? 1u : 0u, fake_broker_counts(gateway_fake).connects);
  if (on_gateway) {
    EXPECT_TRUE(fake_broker_wait(cloud_fake, &fake_counts::disconnects, 1, 5000))
        << "the cloud connection was not closed properly";
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, DaemonStopDuring,
    ::testing::Values(
        stop_case{__LINE__, "WaitingForTheCloudsConnack", AT_CLOUD_CONNACK, SIGTERM, "Started."},
        stop_case{__LINE__, "SigintWaitingForTheCloudsConnack", AT_CLOUD_CONNACK, SIGINT, "Started."},
        stop_case{__LINE__, "InTlsHandshake", IN_CLOUD_TLS_HANDSHAKE, SIGTERM, "Started."},
        stop_case{__LINE__,
                  "WaitingForTheGatewaysConnack",
                  AT_GATEWAY_CONNACK,
                  SIGTERM,
                  "Connected to NIMBA in quickstart mode."},
        stop_case{__LINE__,
                  "WaitingForSuback",
                  AT_GATEWAY_SUBACK,
                  SIGTERM,
                  "Connected to IoT Gateway. Subscribing to topic 'QZ/#' on IoT Gateway using QoS0."},
        stop_case{__LINE__,
                  "SighupWaitingForSuback",
                  AT_GATEWAY_SUBACK,
                  SIGHUP,
                  "Connected to IoT Gateway. Subscribing to topic 'QZ/#' on IoT Gateway using QoS0."}),
    [](const ::testing::TestParamInfo<stop_case> &info) { return std::string(info.param.name); });

/* A stop signal that arrives during start-up (here: while the daemon waits to read its
 * settings from a FIFO) ends it before the first pass: no connect is attempted. */
TEST_F(DaemonBrokerFault, StopDuringStartUpEndsBeforeTheFirstPass) {
  silent_listener silent;
  ASSERT_TRUE(silent_listener_open(&silent, address(1), 1883));
  fake_broker *gateway_fake = start_fake(address(0), fake_script());
  ASSERT_NE(nullptr, gateway_fake);
  daemon_launch l = timings(60, 20);
  l.settings_fifo = true;
  ASSERT_TRUE(start_daemon(l));
  /* Once the daemon has opened its settings, it waits for them: the signal comes now. */
  const int writer = daemon_settings_writer(&run, 10000);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(process_signal(&run.process, SIGTERM));
  close(writer);
  ASSERT_TRUE(process_wait(&run.process, 10000)) << "a full pass ran first";
  EXPECT_EQ(0, process_exit_code(&run.process));
  EXPECT_TRUE(syslog_wait(&run.log, "Stopped.", 5000, 1, DAEMON_NOTICE));
  EXPECT_EQ(0u, count_occurrences(out() + err(), "Failed to connect"));
  EXPECT_EQ(0u, fake_broker_counts(gateway_fake).connections);
}

/* A cloud broker whose certificate has expired is refused like an untrusted one. */
TEST_F(DaemonBrokerFault, ExpiredCloudCertificateFailsWithMinusOne) {
  cas.resize(1);
  ASSERT_TRUE(ca_create(&cas[0], "Nimba Test CA"));
  ASSERT_TRUE(ca_issue_certificate(&cas[0], "DNS:" + quickstart_host(), -1, cas[0].folder, "server"));
  cloud = start_broker(tls_broker_config(address(1), cas[0]));
  ASSERT_NE(nullptr, cloud);
  daemon_launch l = timings(60);
  l.ca_path = cas[0].hashed_dir;
  l.settings = "NIMBA_SSL=1\n";
  ASSERT_TRUE(start_daemon(l));
  ASSERT_TRUE(syslog_wait(
      &run.log, "Failed to connect to NIMBA in quickstart mode over SSL (RC=-1).", 15000, 1, DAEMON_ERR));
  EXPECT_EQ(0u, count_occurrences(process_stderr(&cloud->process), "as d:quickstart"));
}

/* A refused subscription (SUBACK 0x80) is reported and the gateway dropped, so that the next
 * pass connects and subscribes again instead of relaying nothing for good. Refused every
 * pass, it is throttled like a refused connect: the connect and the refusal reach the system
 * log the first time and every fourth after; the passes between print them only. */
TEST_F(DaemonBrokerFault, RefusedSubscriptionDropsTheGatewayAndTriesAgain) {
  ASSERT_NE(nullptr, start_fake(address(1), fake_script()));
  fake_script script;
  script.suback = 0x80;
  fake_broker *gateway_fake = start_fake(address(0), script);
  ASSERT_NE(nullptr, gateway_fake);
  ASSERT_TRUE(start_daemon(timings(1)));
  const char *refused = "Failed to subscribe to topic 'QZ/#' on IoT Gateway (RC=128).";
  ASSERT_TRUE(syslog_wait(&run.log, refused, 15000, 1, DAEMON_ERR));
  ASSERT_TRUE(fake_broker_wait(gateway_fake, &fake_counts::subscribes, 5, 30000));
  ASSERT_TRUE(syslog_wait(&run.log, refused, 15000, 2, DAEMON_ERR)) << "the fifth refusal was not logged";
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 5000, 2));
  EXPECT_EQ(2u, syslog_count(&run.log, refused)) << "more than the first and the fifth";
  EXPECT_EQ(2u, syslog_count(&run.log, GATEWAY_CONNECTED));
  EXPECT_GE(count_occurrences(out() + err(), refused), 5u) << "the others are printed";
}

} // namespace
