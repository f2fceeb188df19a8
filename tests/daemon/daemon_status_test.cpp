/* The daemon's status file as the operator's page reads it: states, failures with their
 * meaning, counters, and how often it is written. */
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "daemon_test_fixture.h"
#include "fake_dns.h"
#include "kv_store.h"

namespace {

using status_map = std::map<std::string, std::string>;

const char *const STATUS_KEYS[] = {"PID",
                                   "STARTED",
                                   "CLOUD_STATE",
                                   "CLOUD_SINCE",
                                   "CLOUD_URI",
                                   "CLOUD_FAILED_AT",
                                   "CLOUD_FAILED_RC",
                                   "CLOUD_FAILED_TEXT",
                                   "CLOUD_NEXT_ATTEMPT",
                                   "CLOUD_MODE",
                                   "CLOUD_TLS",
                                   "GATEWAY_STATE",
                                   "GATEWAY_SINCE",
                                   "GATEWAY_URI",
                                   "GATEWAY_FAILED_AT",
                                   "GATEWAY_FAILED_RC",
                                   "GATEWAY_FAILED_TEXT",
                                   "GATEWAY_NEXT_ATTEMPT",
                                   "RECEIVED",
                                   "PUBLISHED",
                                   "NOT_JSON",
                                   "TOO_LARGE",
                                   "DROPPED",
                                   "WAITING",
                                   "LAST_RELAYED"};

const std::string CLOUD_REFUSED = "connection refused by " + quickstart_host() + ":1883";

/* The file as status.cgi reads it (the settings' reader); empty when there is none. */
status_map read_status(const std::string &path) {
  status_map values;
  kv_table *table = kv_parse_file(path.c_str());
  if (table == nullptr) return values;
  for (const char *key : STATUS_KEYS) {
    const char *value = kv_get_str(table, key);
    if (value != nullptr) values[key] = value;
  }
  kv_free(table);
  return values;
}

long long number(const status_map &values, const char *key) {
  auto found = values.find(key);
  return found == values.end() ? -1 : std::stoll(found->second);
}

std::string text(const status_map &values, const char *key) {
  auto found = values.find(key);
  return found == values.end() ? "<missing>" : found->second;
}

std::string describe(const status_map &values) {
  std::string all;
  for (const auto &entry : values) all += entry.first + "=" + entry.second + "\n";
  return all;
}

class DaemonStatus : public DaemonTest {
protected:
  /* Waits until the file satisfies the condition; the last reading in *values. */
  bool status_shows(const std::function<bool(const status_map &)> &condition, int timeout_ms,
                    status_map *values) {
    return wait_until(
        [&] {
          *values = read_status(run.status_path);
          return !values->empty() && condition(*values);
        },
        timeout_ms);
  }
  bool status_shows(const char *key, const std::string &value, int timeout_ms, status_map *values) {
    return status_shows([&](const status_map &v) { return text(v, key) == value; }, timeout_ms, values);
  }
};

TEST_F(DaemonStatus, ShowsBothSidesUpAfterStartAndIsRemovedAtACleanStop) {
  const long long before = std::time(nullptr);
  start_relay();
  status_map v;
  ASSERT_TRUE(status_shows("GATEWAY_STATE", "up", 5000, &v)) << describe(v);
  const long long after = std::time(nullptr);
  EXPECT_EQ(run.process.pid, number(v, "PID"));
  EXPECT_GE(number(v, "STARTED"), before);
  EXPECT_LE(number(v, "STARTED"), after);
  EXPECT_EQ("up", text(v, "CLOUD_STATE"));
  EXPECT_GE(number(v, "CLOUD_SINCE"), number(v, "STARTED"));
  EXPECT_LE(number(v, "CLOUD_SINCE"), number(v, "GATEWAY_SINCE"));
  EXPECT_EQ(quickstart_host() + ":1883", text(v, "CLOUD_URI"));
  EXPECT_EQ(address(0) + ":1883", text(v, "GATEWAY_URI"));
  for (const char *side : {"CLOUD", "GATEWAY"}) {
    EXPECT_EQ(0, number(v, (std::string(side) + "_FAILED_AT").c_str())) << side;
    EXPECT_EQ("", text(v, (std::string(side) + "_FAILED_TEXT").c_str())) << side;
    EXPECT_EQ(0, number(v, (std::string(side) + "_NEXT_ATTEMPT").c_str())) << side;
  }
  EXPECT_EQ(0, number(v, "CLOUD_MODE"));
  EXPECT_EQ(0, number(v, "CLOUD_TLS"));
  for (const char *counter :
       {"RECEIVED", "PUBLISHED", "NOT_JSON", "TOO_LARGE", "DROPPED", "WAITING", "LAST_RELAYED"})
    EXPECT_EQ(0, number(v, counter)) << counter;
  EXPECT_EQ(sizeof STATUS_KEYS / sizeof *STATUS_KEYS, v.size()) << describe(v);

  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 15000));
  EXPECT_NE(0, access(run.status_path.c_str(), F_OK)) << "the status file outlived the daemon";
  EXPECT_NE(0, access((run.status_path + ".tmp." + std::to_string(run.process.pid)).c_str(), F_OK));
}

/* Nothing listens where the cloud should be: the failure and its meaning, the outage dated
 * from the first attempt however many follow, the next attempt, the gateway waiting for the
 * cloud; once the cloud broker runs, both sides come up and the last failure stays shown. */
TEST_F(DaemonStatus, ShowsACloudFailureThenBothSidesUpOnceTheBrokerRuns) {
  gateway = start_broker(address(0));
  ASSERT_NE(nullptr, gateway);
  daemon_launch launch;
  launch.pause = 1;
  ASSERT_TRUE(start_daemon(launch));
  status_map v;
  ASSERT_TRUE(status_shows("CLOUD_FAILED_RC", "-1", 15000, &v)) << describe(v);
  EXPECT_EQ(CLOUD_REFUSED, text(v, "CLOUD_FAILED_TEXT"));
  const long long since = number(v, "CLOUD_SINCE");
  EXPECT_GE(since, number(v, "STARTED"));
  /* Attempts a second apart: a later one moves the last failure, not the outage's start. */
  ASSERT_TRUE(status_shows(
      [&](const status_map &s) {
        return text(s, "CLOUD_STATE") == "down" && number(s, "CLOUD_FAILED_AT") >= since + 2;
      },
      15000,
      &v))
      << describe(v);
  EXPECT_EQ(since, number(v, "CLOUD_SINCE"));
  EXPECT_GE(number(v, "CLOUD_NEXT_ATTEMPT"), number(v, "CLOUD_FAILED_AT"));
  EXPECT_LE(number(v, "CLOUD_NEXT_ATTEMPT"), number(v, "CLOUD_FAILED_AT") + 2) << "the pause is a second";
  EXPECT_EQ("waiting for the cloud", text(v, "GATEWAY_STATE"));
  EXPECT_EQ(0, number(v, "GATEWAY_FAILED_AT"));
  EXPECT_EQ(0, number(v, "GATEWAY_NEXT_ATTEMPT"));
  EXPECT_EQ(number(v, "STARTED"), number(v, "GATEWAY_SINCE"));

  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  ASSERT_TRUE(status_shows("GATEWAY_STATE", "up", 15000, &v)) << describe(v);
  EXPECT_EQ("up", text(v, "CLOUD_STATE"));
  EXPECT_EQ(0, number(v, "CLOUD_NEXT_ATTEMPT"));
  EXPECT_GE(number(v, "CLOUD_SINCE"), number(v, "CLOUD_FAILED_AT"));
  EXPECT_EQ(-1, number(v, "CLOUD_FAILED_RC"));
  EXPECT_EQ(CLOUD_REFUSED, text(v, "CLOUD_FAILED_TEXT"));
}

/* The cloud refuses the token (a broker with a password file answers CONNACK 5). */
TEST_F(DaemonStatus, ShowsARefusedTokenAsNotAuthorised) {
  broker_config setup;
  setup.address = address(1);
  setup.users = {{"use-token-auth", "tok-good"}};
  cloud = start_broker(setup);
  ASSERT_NE(nullptr, cloud);
  daemon_launch launch;
  launch.cloud_host = registered_host("org9");
  launch.settings = "NIMBA_MODE=1\nNIMBA_ORGID=org9\nNIMBA_DTYPEID=typ\nNIMBA_AUTHTOKEN=tok-bad\n";
  ASSERT_TRUE(start_daemon(launch));
  status_map v;
  ASSERT_TRUE(status_shows("CLOUD_FAILED_RC", "5", 15000, &v)) << describe(v);
  EXPECT_EQ("not authorised: check the organisation and the token", text(v, "CLOUD_FAILED_TEXT"));
  EXPECT_EQ("down", text(v, "CLOUD_STATE"));
  EXPECT_EQ(registered_host("org9") + ":1883", text(v, "CLOUD_URI"));
  EXPECT_EQ(1, number(v, "CLOUD_MODE"));
  EXPECT_EQ(0, number(v, "CLOUD_TLS"));
}

/* How the cloud broker fails to answer. */
enum cloud_fault {
  NAME_UNKNOWN,      /* the name server knows no such host */
  PORT_REFUSED,      /* nothing listens */
  PORT_SILENT,       /* accepts, never answers the CONNECT */
  TLS_SILENT,        /* accepts, never answers the handshake */
  TLS_UNTRUSTED,     /* certificate from a CA the daemon does not trust */
  TLS_EXPIRED,       /* expired certificate */
  TLS_NOT_YET_VALID, /* certificate valid from tomorrow: the device's clock is behind */
  TLS_WRONG_NAME,    /* certificate for another host */
  CONNACK_REFUSAL,   /* answers CONNACK with a refusal code */
};

struct cause_case {
  int line;
  const char *name;
  cloud_fault fault;
  int rc;             /* CLOUD_FAILED_RC, and the refusal code for CONNACK_REFUSAL */
  std::string reason; /* CLOUD_FAILED_TEXT */
};
void PrintTo(const cause_case &c, std::ostream *os) { *os << c.name; }

class DaemonFailureCause : public DaemonStatus, public ::testing::WithParamInterface<cause_case> {};

/* Every way the cloud can fail reaches the operator in words: the status record's failure
 * text names what failed and in which step; the log keeps its return code. */
TEST_P(DaemonFailureCause, NamesWhatFailedInTheStatusRecord) {
  const cause_case &c = GetParam();
  SCOPED_TRACE(c.line);
  daemon_launch launch = timings(60, 2);
  const bool tls = c.fault >= TLS_SILENT && c.fault <= TLS_WRONG_NAME;
  if (tls) launch.settings = "NIMBA_SSL=1\n";
  silent_listener silent;
  fake_dns dns;
  switch (c.fault) {
    case NAME_UNKNOWN:
      ASSERT_TRUE(fake_dns_start(&dns, address(2)));
      launch.cloud_host = "elsewhere.example";
      launch.resolv_conf = "nameserver " + address(2) + "\noptions timeout:1 attempts:1\n";
      break;
    case PORT_REFUSED:
      break;
    case PORT_SILENT:
    case TLS_SILENT:
      ASSERT_TRUE(silent_listener_open(&silent, address(1), tls ? 8883 : 1883));
      break;
    case CONNACK_REFUSAL: {
      fake_script script;
      script.connack = c.rc;
      ASSERT_NE(nullptr, start_fake(address(1), script));
      break;
    }
    default: {
      cas.resize(2);
      ASSERT_TRUE(ca_create(&cas[0], "Nimba Test CA"));
      ASSERT_TRUE(ca_create(&cas[1], "Other Test CA"));
      const std::string name =
          "DNS:" + (c.fault == TLS_WRONG_NAME ? std::string("other.nimba.test") : quickstart_host());
      if (c.fault == TLS_NOT_YET_VALID) {
        ASSERT_TRUE(ca_issue_not_yet_valid(&cas[0], name, cas[0].folder, "server"));
      } else {
        ASSERT_TRUE(
            ca_issue_certificate(&cas[0], name, c.fault == TLS_EXPIRED ? -1 : 2, cas[0].folder, "server"));
      }
      cloud = start_broker(tls_broker_config(address(1), cas[0]));
      ASSERT_NE(nullptr, cloud);
      launch.ca_path = cas[c.fault == TLS_UNTRUSTED ? 1 : 0].hashed_dir;
    }
  }
  ASSERT_TRUE(start_daemon(launch));
  status_map v;
  ASSERT_TRUE(status_shows("CLOUD_FAILED_RC", std::to_string(c.rc), 20000, &v)) << describe(v);
  EXPECT_EQ(c.reason, text(v, "CLOUD_FAILED_TEXT"));
  EXPECT_EQ("down", text(v, "CLOUD_STATE"));
  const std::string logged = std::string("Failed to connect to NIMBA in quickstart mode") +
                             (tls ? " over SSL" : "") + " (RC=" + std::to_string(c.rc) + ").";
  EXPECT_TRUE(syslog_wait(&run.log, logged, 5000, 1, DAEMON_ERR));
  if (c.fault == NAME_UNKNOWN) fake_dns_stop(&dns);
}

const std::string VERIFY = "TLS certificate check failed: ";

INSTANTIATE_TEST_SUITE_P(
    Faults, DaemonFailureCause,
    ::testing::Values(
        cause_case{__LINE__,
                   "UnknownName",
                   NAME_UNKNOWN,
                   -1,
                   "name lookup of '" + quickstart_host() + "' failed: Domain name not found"},
        cause_case{__LINE__, "RefusedPort", PORT_REFUSED, -1, CLOUD_REFUSED},
        cause_case{__LINE__, "SilentPort", PORT_SILENT, -1, "no answer within 2 s (CONNACK)"},
        cause_case{__LINE__, "SilentTlsPort", TLS_SILENT, -1, "no answer within 2 s (TLS handshake)"},
        cause_case{
            __LINE__, "UntrustedCa", TLS_UNTRUSTED, -1, VERIFY + "unable to get local issuer certificate"},
        cause_case{__LINE__, "ExpiredCertificate", TLS_EXPIRED, -1, VERIFY + "certificate has expired"},
        cause_case{__LINE__,
                   "CertificateNotYetValid",
                   TLS_NOT_YET_VALID,
                   -1,
                   VERIFY + "certificate is not yet valid (is the device's clock set?)"},
        cause_case{__LINE__, "WrongHostName", TLS_WRONG_NAME, -1, VERIFY + "hostname mismatch"},
        cause_case{__LINE__, "RefusedProtocol", CONNACK_REFUSAL, 1, "refused: protocol version not accepted"},
        cause_case{__LINE__, "RefusedIdentifier", CONNACK_REFUSAL, 2, "refused: client identifier rejected"},
        cause_case{__LINE__, "Unavailable", CONNACK_REFUSAL, 3, "refused: server unavailable"},
        cause_case{__LINE__, "BadToken", CONNACK_REFUSAL, 4, "bad user name or password: check the token"},
        cause_case{__LINE__,
                   "NotAuthorised",
                   CONNACK_REFUSAL,
                   5,
                   "not authorised: check the organisation and the token"}),
    [](const ::testing::TestParamInfo<cause_case> &info) { return std::string(info.param.name); });

/* The gateway side's failures: nothing listening (-1), then a refused subscription (128);
 * between its attempts (a second apart) it is down, a fault of its own. */
TEST_F(DaemonStatus, ShowsGatewayFailuresWithTheirMeaning) {
  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  daemon_launch launch;
  launch.pause = 1;
  ASSERT_TRUE(start_daemon(launch));
  status_map v;
  const auto down_with = [](const char *rc) {
    return [rc](const status_map &s) {
      return text(s, "GATEWAY_FAILED_RC") == rc && text(s, "GATEWAY_STATE") == "down";
    };
  };
  ASSERT_TRUE(status_shows(down_with("-1"), 15000, &v)) << describe(v);
  EXPECT_EQ("connection refused by " + address(0) + ":1883", text(v, "GATEWAY_FAILED_TEXT"));
  EXPECT_EQ("up", text(v, "CLOUD_STATE"));
  EXPECT_GE(number(v, "GATEWAY_NEXT_ATTEMPT"), number(v, "GATEWAY_FAILED_AT"));

  /* A gateway that accepts the connection and refuses the subscription. */
  fake_script refusing;
  refusing.suback = 0x80;
  ASSERT_NE(nullptr, start_fake(address(0), refusing));
  ASSERT_TRUE(status_shows(down_with("128"), 15000, &v)) << describe(v);
  EXPECT_EQ("subscription to QZ/# refused", text(v, "GATEWAY_FAILED_TEXT"));
  EXPECT_TRUE(syslog_wait(&run.log, "Failed to subscribe to topic 'QZ/#' on IoT Gateway (RC=128).", 5000));
}

/* Good, unusable and oversize messages, then a cloud outage long enough to fill the queue:
 * every counter, the queue's length while the cloud is away, and after it is back. */
TEST_F(DaemonStatus, CountsEveryKindOfMessageAndTheDropsOfAnOutage) {
  daemon_launch launch;
  launch.pause = 1;
  start_relay(launch);
  for (int i = 0; i < 5; i++)
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"n\":" + std::to_string(i) + "}"));
  for (const char *unusable : {"{\"t\":", "not json", "[1,2"})
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", unusable));
  /* A document over 3072 bytes, and a payload too large for the daemon to read at all. */
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"k\":\"" + std::string(3100, 'x') + "\"}"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"k\":\"" + std::string(40000, 'y') + "\"}"));
  ASSERT_TRUE(client_wait_count(observer, 5, 5000));
  status_map v;
  ASSERT_TRUE(status_shows(
      [](const status_map &s) { return number(s, "RECEIVED") == 10 && number(s, "PUBLISHED") == 5; },
      5000,
      &v))
      << describe(v);
  EXPECT_EQ(3, number(v, "NOT_JSON"));
  EXPECT_EQ(2, number(v, "TOO_LARGE"));
  EXPECT_EQ(0, number(v, "DROPPED"));
  EXPECT_EQ(0, number(v, "WAITING"));
  const long long first_relayed = number(v, "LAST_RELAYED");
  EXPECT_GE(first_relayed, number(v, "STARTED"));
  EXPECT_LE(first_relayed, static_cast<long long>(std::time(nullptr)));

  broker_stop(cloud);
  ASSERT_TRUE(status_shows("CLOUD_STATE", "down", 10000, &v)) << describe(v);
  const int outage = 300; /* 44 more than the queue holds */
  for (int i = 0; i < outage; i++)
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"o\":" + std::to_string(i) + "}"));
  ASSERT_TRUE(
      status_shows([&](const status_map &s) { return number(s, "RECEIVED") == 10 + outage; }, 10000, &v))
      << describe(v);
  EXPECT_EQ(outage - 256, number(v, "DROPPED"));
  EXPECT_EQ(256, number(v, "WAITING"));
  EXPECT_EQ(5, number(v, "PUBLISHED"));
  EXPECT_EQ(first_relayed, number(v, "LAST_RELAYED"));

  ASSERT_TRUE(broker_restart(cloud));
  ASSERT_TRUE(status_shows([](const status_map &s) { return number(s, "WAITING") == 0; }, 15000, &v))
      << describe(v);
  EXPECT_EQ("up", text(v, "CLOUD_STATE"));
  EXPECT_EQ(5 + 256, number(v, "PUBLISHED"));
  EXPECT_EQ(outage - 256, number(v, "DROPPED"));
  EXPECT_EQ(3, number(v, "NOT_JSON"));
  EXPECT_EQ(2, number(v, "TOO_LARGE"));
  EXPECT_GE(number(v, "LAST_RELAYED"), first_relayed);
  /* Drops are reported per pass: one line, or a line a pass when the outage spans passes. */
  unsigned reported = 0;
  EXPECT_TRUE(wait_until(
      [&] {
        reported = syslog_total(&run.log, "Dropped %u messages for NIMBA: queue full.");
        return reported == outage - 256;
      },
      5000))
      << reported;
}

/* Documents still queued when the daemon stops (the cloud is away) are reported: one debug
 * line each, and their number in the system log. The lost link shows its cause at once,
 * long before the next attempt. */
TEST_F(DaemonStatus, DocumentsQueuedAtShutdownAreReportedInTheSystemLog) {
  daemon_launch launch;
  launch.pause = 60;
  start_relay(launch);
  const long long before_loss = std::time(nullptr);
  broker_stop(cloud);
  status_map v;
  ASSERT_TRUE(status_shows("CLOUD_STATE", "down", 10000, &v)) << describe(v);
  EXPECT_EQ(0, number(v, "CLOUD_FAILED_RC"));
  EXPECT_EQ("connection closed by the broker", text(v, "CLOUD_FAILED_TEXT"));
  EXPECT_GE(number(v, "CLOUD_SINCE"), before_loss);
  EXPECT_EQ(number(v, "CLOUD_SINCE"), number(v, "CLOUD_FAILED_AT"));
  EXPECT_GT(number(v, "CLOUD_NEXT_ATTEMPT"), number(v, "CLOUD_FAILED_AT") + 30);
  EXPECT_EQ("up", text(v, "GATEWAY_STATE"));
  for (int i = 0; i < 7; i++)
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"q\":" + std::to_string(i) + "}"));
  ASSERT_TRUE(status_shows("WAITING", "7", 10000, &v)) << describe(v);
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 20000));
  EXPECT_TRUE(
      syslog_wait(&run.log, "Failed to send 7 messages to NIMBA at shutdown.", 5000, 1, DAEMON_WARNING));
  EXPECT_EQ(7u, count_occurrences(out(), "Failed to send message to NIMBA (RC=-3)."));
}

/* At least once: while the cloud is away documents fill memory and then the spool; the
 * record shows them waiting, their age, and the spool, and after the reconnect every one is
 * published in order and nothing waits. */
TEST_F(DaemonStatus, AtLeastOnceShowsTheSpoolWhileTheCloudIsAway) {
  daemon_launch launch;
  launch.pause = 1;
  launch.settings = "NIMBA_QOS=1\n";
  start_relay(launch);
  broker_stop(cloud);
  status_map v;
  ASSERT_TRUE(status_shows("CLOUD_STATE", "down", 10000, &v)) << describe(v);
  const long long before = std::time(nullptr);
  for (int i = 0; i < 400; i++)
    ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"q\":" + std::to_string(i) + "}"));
  ASSERT_TRUE(status_shows("WAITING", "400", 10000, &v)) << describe(v);
  /* The delivery's figures follow within a second. */
  ASSERT_TRUE(wait_until(
      [&] { return read_file(run.status_path).find("\nSPOOL_DOCUMENTS=144\n") != std::string::npos; }, 5000))
      << read_file(run.status_path);
  const std::string file = read_file(run.status_path);
  EXPECT_NE(std::string::npos, file.find("\nQOS=1\n")) << file;
  EXPECT_NE(std::string::npos, file.find("\nSPOOL_DOCUMENTS=144\n")) << file;
  EXPECT_NE(std::string::npos, file.find("\nSPOOL_ERRNO=0\n")) << file;
  EXPECT_EQ(std::string::npos, file.find("\nSPOOL_BYTES=0\n")) << file;
  const size_t oldest = file.find("\nOLDEST_WAITING=");
  ASSERT_NE(std::string::npos, oldest);
  EXPECT_GE(std::atoll(file.c_str() + oldest + 16), before - 1);

  ASSERT_TRUE(broker_restart(cloud));
  client_close(observer);
  ASSERT_TRUE(client_connect(observer, broker_uri(cloud), "observer"));
  ASSERT_TRUE(client_subscribe(observer, "#", 1));
  ASSERT_TRUE(status_shows([](const status_map &s) { return number(s, "WAITING") == 0; }, 20000, &v))
      << describe(v);
  EXPECT_EQ(400, number(v, "PUBLISHED"));
  EXPECT_EQ(0, number(v, "DROPPED"));
  EXPECT_TRUE(wait_until(
      [&] { return read_file(run.status_path).find("\nSPOOL_DOCUMENTS=0\n") != std::string::npos; }, 5000));
}

/* Documents the full spool drops are in the record as they go, not only when the pass that
 * logs them ends (a minute later in the field): RECEIVED = WAITING + DROPPED all along. */
TEST_F(DaemonStatus, AtLeastOnceCountsSpoolDropsAsTheyHappen) {
  daemon_launch launch;
  launch.pause = 60;
  launch.settings = "NIMBA_QOS=1\n";
  launch.env = {"NIMBA_TEST_SPOOL_LIMIT_KB=256"};
  start_relay(launch);
  broker_stop(cloud);
  status_map v;
  ASSERT_TRUE(status_shows("CLOUD_STATE", "down", 10000, &v)) << describe(v);
  const std::string filler(1000, 'f');
  constexpr int kMessages = 1200; /* memory and a 256 KiB spool hold about 480 of them */
  for (int i = 0; i < kMessages; i++)
    ASSERT_EQ(0,
              client_publish(
                  feeder, "QZ/node1/sensor", "{\"q\":" + std::to_string(i) + ",\"f\":\"" + filler + "\"}"));
  ASSERT_TRUE(status_shows(
      [&](const status_map &s) {
        return number(s, "RECEIVED") == kMessages && number(s, "DROPPED") > 0 &&
               number(s, "WAITING") + number(s, "DROPPED") == kMessages;
      },
      15000,
      &v))
      << describe(v);
  const std::string file = read_file(run.status_path);
  EXPECT_NE(std::string::npos, file.find("\nDROPPED_SPOOL_FULL=" + text(v, "DROPPED") + "\n")) << file;
}

/* A spool folder that cannot be used (here a file stands where it should be) is reported
 * once at LOG_ERR and in the record; the relay goes on with its memory queue. */
TEST_F(DaemonStatus, AnUnusableSpoolIsReportedAndMemoryCarriesOn) {
  daemon_launch launch;
  launch.settings = "NIMBA_QOS=1\n";
  launch.env = {"NIMBA_TEST_SPOOL_PATH=/opt/nimba_message_router/etc/settings"};
  start_relay(launch);
  EXPECT_TRUE(
      syslog_wait(&run.log,
                  "The spool folder '/opt/nimba_message_router/etc/settings' cannot be used (errno=20).",
                  5000,
                  1,
                  DAEMON_ERR));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"m\":1}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  status_map v;
  ASSERT_TRUE(status_shows("PUBLISHED", "1", 5000, &v)) << describe(v);
  EXPECT_TRUE(wait_until(
      [&] { return read_file(run.status_path).find("\nSPOOL_ERRNO=20\n") != std::string::npos; }, 5000));
}

/* Under a flood every message changes the record, yet the file is replaced at most once a
 * second: the renames into the folder are counted as they happen. */
TEST_F(DaemonStatus, IsWrittenAtMostOnceASecondUnderAFlood) {
  /* The brokers keep every message queued for a slow client, so the daemon gets them all. */
  broker_config gateway_setup, cloud_setup;
  gateway_setup.address = address(0);
  cloud_setup.address = address(1);
  gateway_setup.extra_config = cloud_setup.extra_config = "max_queued_messages 0\n";
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  cloud = start_broker(cloud_setup);
  ASSERT_NE(nullptr, cloud);
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 0));
  daemon_launch launch;
  ASSERT_TRUE(start_daemon(launch));
  status_map v;
  ASSERT_TRUE(status_shows("GATEWAY_STATE", "up", 5000, &v)) << describe(v);
  const std::string folder = run.root + "/run";
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO), 0);

  std::atomic<bool> flooding{true};
  std::vector<long long> renames; /* ms, as seen */
  std::thread counter([&] {
    alignas(inotify_event) char events[4096];
    while (flooding) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      const ssize_t n = read(watch, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const inotify_event *e = reinterpret_cast<const inotify_event *>(events + at);
        if (e->len > 0 && std::string(e->name) == "nimba_vezidozu.status") renames.push_back(monotonic_ms());
        at += static_cast<ssize_t>(sizeof *e + e->len);
      }
    }
  });
  /* Three seconds of messages in bursts, each as fast as the client sends it, the next one
   * once the previous has arrived at the cloud; bounded in count. */
  const long long start = monotonic_ms();
  int sent = 0;
  while (monotonic_ms() - start < 3000 && sent < 300000) {
    for (int i = 0; i < 200; i++, sent++)
      ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"f\":" + std::to_string(sent) + "}"));
    ASSERT_TRUE(client_wait_count(observer, static_cast<size_t>(sent), 10000)) << sent;
  }
  ASSERT_TRUE(status_shows([&](const status_map &s) { return number(s, "PUBLISHED") == sent; }, 20000, &v))
      << describe(v) << "sent " << sent;
  const long long end = monotonic_ms();
  flooding = false;
  counter.join();
  close(watch);
  /* One write when the flood begins, then one per second at most. */
  const long long allowed = (end - start) / 1000 + 2;
  EXPECT_LE(static_cast<long long>(renames.size()), allowed) << "in " << end - start << " ms";
  EXPECT_GE(renames.size(), 2u) << "the file was not kept up to date";
  EXPECT_EQ(sent, number(v, "RECEIVED"));
}

} // namespace
