/* At-least-once delivery (NIMBA_QOS=1) under the faults of a field link: a numbered flow on
 * the gateway, the cloud broker (mosquitto, or aedes) behind a tap that records what the
 * daemon published and what the broker acknowledged. Every number must be acknowledged by
 * the cloud at least once, first sent in order (resends apart), and the numbers missing
 * must be exactly the drops the daemon counted. */
#include <signal.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "aedes.h"
#include "cloud_tap.h"
#include "daemon_test_fixture.h"
#include "numbered_flow.h"

namespace {

const std::string PREFIX = "node1/flow/";

/* How the cloud fails while the flow runs. */
enum cloud_fault {
  CLOUD_RESTARTED, /* killed and started again every two seconds */
  CLOUD_FROZEN,    /* SIGSTOP past the stall limit, then SIGCONT */
  CLOUD_AWAY,      /* stopped for the outage, then started again */
};

struct delivery_case {
  int line;
  const char *name;
  bool aedes; /* aedes as the cloud broker, else mosquitto */
  cloud_fault fault;
  long messages;     /* numbered messages of the flow */
  unsigned interval; /* us between them: 2000 is 500 msg/s */
  size_t filler;     /* bytes of filler per message */
  unsigned spool_kb; /* the spool's limit; 0: the built-in one */
  bool spool_drops;  /* the outage is longer than the spool holds */
};
void PrintTo(const delivery_case &c, std::ostream *os) { *os << c.name; }

/* Sum of the numbers in the entries that match a format with one %u. */
unsigned logged_total(syslog_collector *log, const char *format) {
  unsigned total = 0;
  const std::string whole = std::string(format) + "%n";
  for (const syslog_entry &e : syslog_entries(log)) {
    unsigned n = 0;
    int used = -1;
    if (std::sscanf(e.message.c_str(), whole.c_str(), &n, &used) == 1 &&
        used == static_cast<int>(e.message.size()))
      total += n;
  }
  return total;
}

class Delivery : public DaemonTest, public ::testing::WithParamInterface<delivery_case> {
protected:
  cloud_tap tap;
  aedes_broker aedes;
  bool use_aedes = false;

  static void SetUpTestSuite() { aedes_install(); }
  void TearDown() override {
    tap_stop(&tap);
    DaemonTest::TearDown();
    aedes_stop(&aedes);
  }

  /* The cloud broker on address 2, behind the tap on address 1 (where the daemon's cloud
   * host name leads). */
  void start_cloud() {
    if (use_aedes) {
      ASSERT_TRUE(aedes_start(&aedes, address(2)));
    } else {
      cloud = start_broker(address(2));
      ASSERT_NE(nullptr, cloud);
    }
  }
  void stop_cloud(int signal_number) {
    if (use_aedes) {
      aedes_stop(&aedes, signal_number);
    } else if (signal_number == SIGKILL) {
      broker_kill(cloud);
    } else {
      broker_stop(cloud);
    }
  }
  void restart_cloud() {
    if (use_aedes) {
      ASSERT_TRUE(aedes_start(&aedes, address(2)));
    } else {
      ASSERT_TRUE(broker_restart(cloud));
    }
  }

  /* Numbers the broker acknowledged; checks the order of first sends on the way. */
  std::set<long> acknowledged(bool check_order) {
    std::set<long> numbers;
    for (const std::string &payload : tap_acked(&tap)) {
      const long n = flow_number(payload, PREFIX);
      EXPECT_GE(n, 0) << "not a whole flow document: " << payload.substr(0, 80);
      numbers.insert(n);
    }
    if (check_order) {
      /* First sends in the flow's order; a number sent again carries DUP. */
      long highest = -1;
      for (const tap_publish &p : tap_sent(&tap)) {
        const long n = flow_number(p.payload, PREFIX);
        EXPECT_GE(n, 0) << "corrupt document sent: " << p.payload.substr(0, 80);
        if (p.dup) continue;
        EXPECT_GT(n, highest) << "sent out of order, or again without DUP";
        highest = n > highest ? n : highest;
      }
    }
    return numbers;
  }
};

TEST_P(Delivery, EveryNumberReachesTheCloudOrIsCountedAsDropped) {
  const delivery_case &c = GetParam();
  SCOPED_TRACE(c.line);
  use_aedes = c.aedes;
  broker_config gateway_setup;
  gateway_setup.address = address(0);
  gateway_setup.extra_config = "max_queued_messages 0\nmax_queued_bytes 0\n";
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  start_cloud();
  ASSERT_TRUE(tap_start(&tap, address(1), 1883, address(2), 1883));
  daemon_launch launch = timings(1, 3);
  launch.stall = 2;
  launch.settings = "NIMBA_QOS=1\n";
  if (c.spool_kb > 0) launch.env.push_back("NIMBA_TEST_SPOOL_LIMIT_KB=" + std::to_string(c.spool_kb));
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));

  message_flow flow;
  const std::string filler(c.filler, 'f');
  switch (c.fault) {
    case CLOUD_RESTARTED: {
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, filler);
      /* A kill after every 600 numbers (about every 1.5 s at 500 msg/s), restarted at once. */
      for (long mark = 600; mark < c.messages; mark += 600) {
        ASSERT_TRUE(wait_until([&] { return flow.published >= mark; }, 30000));
        stop_cloud(SIGKILL);
        restart_cloud();
      }
      break;
    }
    case CLOUD_FROZEN: {
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, filler);
      ASSERT_TRUE(wait_until([&] { return flow.published > 500; }, 20000));
      broker_pause(cloud);
      ASSERT_TRUE(syslog_wait_prefix(&run.log, "Connection to NIMBA lost (cause=", 20000));
      broker_resume(cloud);
      break;
    }
    case CLOUD_AWAY: {
      stop_cloud(SIGTERM);
      ASSERT_TRUE(syslog_wait_prefix(&run.log, "Connection to NIMBA lost (cause=", 10000));
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, filler);
      ASSERT_TRUE(wait_until([&] { return flow.published == c.messages; }, 60000));
      /* Everything has reached the daemon: in memory and the spool. */
      ASSERT_TRUE(
          process_wait_stdout(&run.process, PREFIX + "n\":" + std::to_string(c.messages - 1) + ",", 30000));
      restart_cloud();
      break;
    }
  }
  ASSERT_TRUE(wait_until([&] { return flow.published == c.messages; }, 60000)) << "the flow did not finish";
  flow.stop();
  /* Wait until the last number is acknowledged and nothing is left waiting. */
  const unsigned dropped_bound = static_cast<unsigned>(c.messages);
  ASSERT_TRUE(wait_until(
      [&] {
        const std::set<long> got = acknowledged(false);
        const unsigned dropped = logged_total(&run.log, "Dropped %u messages for NIMBA: spool full.") +
                                 logged_total(&run.log, "Dropped %u messages for NIMBA: queue full.");
        return got.size() + dropped >= static_cast<size_t>(c.messages) && dropped <= dropped_bound;
      },
      90000))
      << "acknowledged " << acknowledged(false).size() << " of " << c.messages;
  const std::set<long> got = acknowledged(true);
  unsigned missing = 0;
  for (long n = 0; n < c.messages; n++) missing += got.count(n) == 0 ? 1 : 0;
  const unsigned spool_full = logged_total(&run.log, "Dropped %u messages for NIMBA: spool full.");
  const unsigned queue_full = logged_total(&run.log, "Dropped %u messages for NIMBA: queue full.");
  const unsigned refused = syslog_count_prefix(&run.log, "Dropped a message for NIMBA: not acknowledged");
  std::fprintf(stderr,
               "%s: %ld numbers, %zu acknowledged, missing %u: spool full %u, queue full %u, refused %u; "
               "%zu publishes sent\n",
               c.name,
               c.messages,
               got.size(),
               missing,
               spool_full,
               queue_full,
               refused,
               tap_sent(&tap).size());
  EXPECT_EQ(missing, spool_full + queue_full + refused);
  EXPECT_EQ(c.spool_drops, spool_full > 0);
  EXPECT_EQ(0u, queue_full);
  EXPECT_EQ(0u, refused);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Delivery,
    ::testing::Values(
        delivery_case{__LINE__, "CloudRestartedUnderFlow", false, CLOUD_RESTARTED, 4000, 2000, 0, 0, false},
        delivery_case{__LINE__, "AedesRestartedUnderFlow", true, CLOUD_RESTARTED, 4000, 2000, 0, 0, false},
        delivery_case{__LINE__, "CloudFrozenPastTheStallLimit", false, CLOUD_FROZEN, 4000, 2000, 0, 0, false},
        delivery_case{
            __LINE__, "OutageLongerThanTheMemoryQueue", false, CLOUD_AWAY, 3000, 500, 200, 0, false},
        delivery_case{
            __LINE__, "OutageLongerThanTheSpoolHolds", false, CLOUD_AWAY, 3000, 500, 1000, 256, true}),
    [](const ::testing::TestParamInfo<delivery_case> &info) { return std::string(info.param.name); });

} // namespace
