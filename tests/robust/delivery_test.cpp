/* At-least-once delivery (NIMBA_QOS=1) under the faults of a field link: a numbered flow on
 * the gateway, the cloud broker (mosquitto, or aedes) behind a tap that records what the
 * daemon published and what the broker acknowledged, and plays clouds that misbehave.
 * Every number must be acknowledged by the cloud at least once, first sent in order
 * (resends apart), and the numbers missing must be exactly the drops the daemon counted,
 * in its log and in its status file alike. */
#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include <set>
#include <string>
#include <vector>

#include "aedes.h"
#include "cloud_tap.h"
#include "daemon_test_fixture.h"
#include "files.h"
#include "nimba_config.h"
#include "numbered_flow.h"
#include "relay_queue.h"
#include "settings/status_file.h"

namespace {

const std::string PREFIX = "node1/flow/";

/* How the cloud (or the spool) fails while the flow runs. */
enum cloud_fault {
  CLOUD_RESTARTED,      /* killed and started again every two seconds */
  CLOUD_FROZEN,         /* SIGSTOP past the stall limit, then SIGCONT */
  CLOUD_AWAY,           /* stopped for the outage, then started again */
  CLOUD_FLAPPING,       /* every link closed param ms after its CONNACK */
  CLOUD_FLAPPING_LATE,  /* the first FLAPPING_LINKS links closed param ms after their CONNACK,
                           each PUBACK LATE_ACK_MS late (after the close), then a steady cloud */
  CLOUD_CLOSES_ON,      /* every link closed on the document numbered param */
  CLOUD_SILENT,         /* acknowledges nothing for six stall limits, then everything */
  CLOUD_EVERY_OTHER,    /* on each link acknowledges every second document only */
  CLOUD_UNSENT_IDS,     /* acknowledges identifiers never sent besides */
  CLOUD_REVERSED,       /* acknowledges param documents at a time in reverse order */
  CLOUD_SLOW,           /* acknowledges each document param ms late */
  SPOOL_DISK_FULL,      /* away; the spool's disk full under the flow, then space freed */
  SPOOL_FOLDER_REMOVED, /* away; the spool's folder removed while documents wait in it, in
                           the way for a while, then free to be made again */
};

/* How the wall clock is set while documents wait for a cloud that is away. */
enum clock_move {
  CLOCK_STEADY,
  CLOCK_1970,  /* a device without a real-time clock: from 1970 to now */
  CLOCK_BACK,  /* back two hours */
  CLOCK_AHEAD, /* forward three years */
};

/* CLOUD_FLAPPING_LATE: documents are in flight at every close, on more links than a
 * document may be sent before it counts as refused. */
constexpr unsigned FLAPPING_LINKS = 8;
constexpr int LATE_ACK_MS = 100;

/* The spool's own disk for SPOOL_DISK_FULL, and what a filler leaves free of it. */
constexpr unsigned SPOOL_DISK_KB = 384, SPOOL_DISK_FREE_KB = 32;
/* SPOOL_FOLDER_REMOVED: documents in the spool when it goes, after it, and once it is back. */
constexpr long SPOOLED_FIRST = 1000, SPOOLED_LOST_AFTER = 50, SPOOLED_AGAIN = 100;

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
  int param;         /* of the fault */
  unsigned refused;  /* documents the cloud demonstrably refuses */
  clock_move clock = CLOCK_STEADY;
  bool lost_drops = false; /* documents are lost with the spool's folder */
};
void PrintTo(const delivery_case &c, std::ostream *os) { *os << c.name; }

class DeliveryBase : public DaemonTest {
protected:
  cloud_tap tap;
  aedes_broker aedes;
  bool use_aedes = false;

  static void SetUpTestSuite() { aedes_install(); }
  void TearDown() override {
    tap_stop(&tap);
    DaemonTest::TearDown();
    aedes_stop(&aedes);
    if (!clock_folder.empty()) remove_tree(clock_folder);
  }

  /* The daemon's wall clock (ms added to the real one) and its loop's wake-ups, in files
   * read through the test daemon's seams. */
  std::string clock_folder;
  int64_t clock_offset_ms = 0;
  void set_clock(int64_t offset_ms) {
    clock_offset_ms = offset_ms;
    ASSERT_TRUE(write_file(clock_folder + "/clock.new", std::to_string(offset_ms)));
    ASSERT_EQ(0, rename((clock_folder + "/clock.new").c_str(), (clock_folder + "/clock").c_str()));
  }
  uint32_t loop_wakeups() {
    const std::string bytes = read_file(clock_folder + "/polls");
    uint32_t count = 0;
    if (bytes.size() >= sizeof count) std::memcpy(&count, bytes.data(), sizeof count);
    return count;
  }
  static long long status_number(const std::string &file, const std::string &key) {
    const size_t at = file.find("\n" + key + "=");
    return at == std::string::npos ? -1 : std::atoll(file.c_str() + at + key.size() + 2);
  }

  /* Sets the clock while documents wait: the loop does not spin over it, and once the
   * status file shows the new time, the oldest document waiting arrived within the run's
   * span by that time, never in the future. */
  void move_clock(clock_move move) {
    std::string file;
    ASSERT_TRUE(wait_until(
        [&] { return status_number(file = read_file(run.status_path), "OLDEST_WAITING") > 0; }, 10000));
    const long long started = status_number(file, "STARTED");
    const int64_t jump_ms = move == CLOCK_1970   ? -clock_offset_ms
                            : move == CLOCK_BACK ? -2 * 3600 * 1000LL
                                                 : 3 * 365 * 86400 * 1000LL;
    const uint32_t wakeups_before = loop_wakeups();
    set_clock(clock_offset_ms + jump_ms);
    ASSERT_TRUE(wait_until(
        [&] {
          file = read_file(run.status_path);
          return std::llabs(status_number(file, "STARTED") - (started + jump_ms / 1000)) <= 2;
        },
        20000))
        << file;
    const uint32_t wakeups = loop_wakeups() - wakeups_before;
    std::fprintf(stderr, "clock set: %u loop wake-ups until the status showed it\n", wakeups);
    EXPECT_LT(wakeups, 200u) << "the loop spun";
    EXPECT_GE(status_number(file, "OLDEST_WAITING"), status_number(file, "STARTED")) << file;
    EXPECT_LE(status_number(file, "OLDEST_WAITING"), std::time(nullptr) + clock_offset_ms / 1000 + 1) << file;
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

  /* A number of the daemon's status file, -1 when it is not there. */
  long long status_number(const std::string &key) {
    const std::string text = "\n" + read_file(run.status_path);
    const size_t at = text.find("\n" + key + "=");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + key.size() + 2);
  }
  /* Flow documents from to to - 1 through the feeder, as the flow sends them. */
  void publish_numbers(long from, long to, const std::string &filler) {
    for (long n = from; n < to; n++)
      ASSERT_EQ(0,
                client_publish(
                    feeder, "QZ/node1/flow", "{\"n\":" + std::to_string(n) + ",\"f\":\"" + filler + "\"}"));
  }
  void wait_relayed(long last) {
    ASSERT_TRUE(process_wait_stdout(&run.process, PREFIX + "n\":" + std::to_string(last) + ",", 30000))
        << "number " << last << " did not reach the daemon";
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

class Delivery : public DeliveryBase, public ::testing::WithParamInterface<delivery_case> {};

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
  const std::string closed_on = PREFIX + "n\":" + std::to_string(c.param) + (c.filler > 0 ? "," : "}");
  tap_misbehaviour &m = tap.misbehave;
  const bool flapping = c.fault == CLOUD_FLAPPING || c.fault == CLOUD_FLAPPING_LATE;
  m.close_after_connack_ms = flapping ? c.param : -1;
  m.flapping_links = c.fault == CLOUD_FLAPPING_LATE ? FLAPPING_LINKS : 0;
  m.close_on = c.fault == CLOUD_CLOSES_ON ? closed_on : "";
  m.withhold_acks = c.fault == CLOUD_SILENT;
  m.every_other_ack = c.fault == CLOUD_EVERY_OTHER;
  m.unsent_ids = c.fault == CLOUD_UNSENT_IDS;
  m.reversed_acks = c.fault == CLOUD_REVERSED ? c.param : 0;
  m.ack_delay_ms = c.fault == CLOUD_SLOW ? c.param : c.fault == CLOUD_FLAPPING_LATE ? LATE_ACK_MS : 0;
  ASSERT_TRUE(tap_start(&tap, address(1), 1883, address(2), 1883));
  daemon_launch launch = timings(1, 3);
  /* Clouds whose links end only by the stall limit get a short one. */
  launch.stall = c.fault == CLOUD_SILENT || c.fault == CLOUD_EVERY_OTHER ? 1 : 2;
  launch.settings = "NIMBA_QOS=1\n";
  if (c.spool_kb > 0) launch.env.push_back("NIMBA_TEST_SPOOL_LIMIT_KB=" + std::to_string(c.spool_kb));
  if (c.clock != CLOCK_STEADY) {
    clock_folder = make_temp_folder("nimba_clock_");
    set_clock(c.clock == CLOCK_1970 ? 10000 - std::time(nullptr) * 1000LL : 0);
    launch.env.push_back("NIMBA_TEST_WALL_CLOCK=" + clock_folder + "/clock");
    launch.env.push_back("NIMBA_TEST_POLL_COUNT=" + clock_folder + "/polls");
  }
  if (c.fault == SPOOL_DISK_FULL) launch.spool_tmpfs_kb = SPOOL_DISK_KB;
  ASSERT_TRUE(start_daemon(launch));
  /* Waited for at either QoS, so that the table also runs against an older daemon. */
  ASSERT_TRUE(syslog_wait_prefix(&run.log, GATEWAY_SUBSCRIBING, 15000));
  EXPECT_LT(0u, syslog_count_prefix(&run.log, std::string(GATEWAY_SUBSCRIBING) + "1."));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  feeder = connect_client(broker_uri(gateway), "feeder");
  ASSERT_NE(nullptr, feeder);

  message_flow flow;
  long flowed = c.messages; /* numbers the flow sends; the feeder sends the rest */
  const std::string filler(c.filler, 'f');
  const std::string unusable = "The spool folder '" NIMBA_SPOOL_PATH "' cannot be used (errno=";
  const std::string usable_again = "The spool folder '" NIMBA_SPOOL_PATH "' can be used again.";
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
      if (c.clock != CLOCK_STEADY) move_clock(c.clock);
      restart_cloud();
      break;
    }
    case SPOOL_DISK_FULL: {
      /* Its first batch does not fit; the gateway waits until the space is free again. */
      stop_cloud(SIGTERM);
      ASSERT_TRUE(syslog_wait_prefix(&run.log, "Connection to NIMBA lost (cause=", 10000));
      const std::string filler_file =
          "/proc/" + std::to_string(run.process.pid) + "/root" NIMBA_SPOOL_PATH "/filler";
      ASSERT_TRUE(write_file(filler_file, std::string((SPOOL_DISK_KB - SPOOL_DISK_FREE_KB) * 1024, 'x')));
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, filler);
      ASSERT_TRUE(syslog_wait(&run.log, unusable + std::to_string(ENOSPC) + ").", 30000));
      ASSERT_TRUE(wait_until([&] { return status_number("SPOOL_ERRNO") == ENOSPC; }, 10000));
      ASSERT_EQ(0, unlink(filler_file.c_str()));
      ASSERT_TRUE(syslog_wait(&run.log, usable_again, 30000));
      ASSERT_TRUE(wait_until([&] { return status_number("SPOOL_ERRNO") == 0; }, 10000));
      ASSERT_TRUE(wait_until([&] { return flow.published == c.messages; }, 60000));
      wait_relayed(c.messages - 1);
      restart_cloud();
      break;
    }
    case SPOOL_FOLDER_REMOVED: {
      const std::string spool = run.root + "/spool";
      stop_cloud(SIGTERM);
      ASSERT_TRUE(syslog_wait_prefix(&run.log, "Connection to NIMBA lost (cause=", 10000));
      flowed = SPOOLED_FIRST;
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, flowed, filler);
      ASSERT_TRUE(wait_until([&] { return flow.published == flowed; }, 60000));
      wait_relayed(flowed - 1);
      const long memory = RELAY_QUEUE_SLOTS, spooled = flowed - memory;
      /* Every batch written (the files hold what the spool counts), then the folder gone and
       * something else in its place: noticed at the next batch, which the next documents
       * make. */
      ASSERT_TRUE(wait_until(
          [&] {
            long long on_disk = 0;
            if (DIR *dir = opendir(spool.c_str())) {
              while (dirent *e = readdir(dir))
                on_disk += static_cast<long long>(read_file(spool + "/" + e->d_name).size());
              closedir(dir);
            }
            return status_number("SPOOL_DOCUMENTS") == spooled && status_number("SPOOL_BYTES") == on_disk;
          },
          10000));
      remove_tree(spool);
      ASSERT_TRUE(write_file(spool, "in the way"));
      publish_numbers(flowed, flowed + SPOOLED_LOST_AFTER, filler);
      const long lost = spooled + SPOOLED_LOST_AFTER;
      ASSERT_TRUE(syslog_wait_prefix(&run.log, unusable, 30000));
      /* What the folder held is lost with it; of the documents after it, those that came once
       * the loss was noticed find memory full with the cloud away and push its oldest out
       * (queue full): how many depends on when the writer's next batch noticed it. */
      ASSERT_TRUE(wait_until(
          [&] {
            const long long with_folder = status_number("DROPPED_SPOOL_LOST");
            return with_folder >= spooled && with_folder + status_number("DROPPED_QUEUE_FULL") == lost &&
                   status_number("WAITING") == memory && status_number("SPOOL_DOCUMENTS") == 0 &&
                   status_number("SPOOL_ERRNO") > 0;
          },
          10000))
          << "DROPPED_SPOOL_LOST " << status_number("DROPPED_SPOOL_LOST") << " DROPPED_QUEUE_FULL "
          << status_number("DROPPED_QUEUE_FULL") << " WAITING " << status_number("WAITING");
      ASSERT_EQ(0, unlink(spool.c_str()));
      ASSERT_TRUE(syslog_wait(&run.log, usable_again, 30000));
      const long again = flowed + SPOOLED_LOST_AFTER;
      publish_numbers(again, again + SPOOLED_AGAIN, filler);
      wait_relayed(again + SPOOLED_AGAIN - 1);
      ASSERT_TRUE(wait_until(
          [&] {
            return status_number("SPOOL_DOCUMENTS") == SPOOLED_AGAIN && status_number("SPOOL_ERRNO") == 0;
          },
          10000));
      EXPECT_EQ(c.messages, again + SPOOLED_AGAIN);
      restart_cloud();
      break;
    }
    case CLOUD_SILENT: {
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, filler);
      ASSERT_TRUE(wait_until(
          [&] {
            return syslog_count_prefix(&run.log, "Connection to NIMBA lost (cause='no acknowledgement for") >=
                   6;
          },
          60000));
      m.withhold_acks = false;
      break;
    }
    default:
      flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, filler);
      break;
  }
  ASSERT_TRUE(wait_until([&] { return flow.published == flowed; }, 60000)) << "the flow did not finish";
  flow.stop();
  const auto refused_count = [&] {
    return syslog_count_prefix(&run.log, "Dropped a message for NIMBA: not acknowledged");
  };
  /* Wait until the last number is acknowledged and nothing is left waiting. */
  const unsigned dropped_bound = static_cast<unsigned>(c.messages);
  ASSERT_TRUE(wait_until(
      [&] {
        const std::set<long> got = acknowledged(false);
        const unsigned dropped = syslog_total(&run.log, "Dropped %u messages for NIMBA: spool full.") +
                                 syslog_total(&run.log, "Dropped %u messages for NIMBA: queue full.") +
                                 refused_count() +
                                 syslog_total(&run.log, "Dropped %u messages for NIMBA: spool folder lost.");
        return got.size() + dropped >= static_cast<size_t>(c.messages) && dropped <= dropped_bound;
      },
      90000))
      << "acknowledged " << acknowledged(false).size() << " of " << c.messages;
  const std::set<long> got = acknowledged(true);
  unsigned missing = 0;
  for (long n = 0; n < c.messages; n++) missing += got.count(n) == 0 ? 1 : 0;
  const unsigned spool_full = syslog_total(&run.log, "Dropped %u messages for NIMBA: spool full.");
  const unsigned queue_full = syslog_total(&run.log, "Dropped %u messages for NIMBA: queue full.");
  const unsigned refused = refused_count();
  const unsigned lost = syslog_total(&run.log, "Dropped %u messages for NIMBA: spool folder lost.");
  std::fprintf(stderr,
               "%s: %ld numbers, %zu acknowledged, missing %u: spool full %u, queue full %u, refused %u, "
               "spool folder lost %u; %zu publishes sent, at most %u unacknowledged\n",
               c.name,
               c.messages,
               got.size(),
               missing,
               spool_full,
               queue_full,
               refused,
               lost,
               tap_sent(&tap).size(),
               tap.most_unacknowledged);
  EXPECT_EQ(missing, spool_full + queue_full + refused + lost);
  EXPECT_EQ(c.spool_drops, spool_full > 0);
  EXPECT_EQ(c.lost_drops, lost > 0);
  if (c.fault != SPOOL_FOLDER_REMOVED) {
    EXPECT_EQ(0u, queue_full);
  }
  EXPECT_EQ(c.refused, refused);
  EXPECT_TRUE(c.refused == 0 || got.count(c.param) == 0) << "the document the cloud closes on arrived";
  for (const syslog_entry &e : syslog_entries(&run.log))
    EXPECT_TRUE(e.message.rfind("Dropped a message", 0) != 0 || e.priority == DAEMON_WARNING) << e.message;
  /* Documents were in flight when the links closed: sent again. */
  EXPECT_TRUE(c.fault != CLOUD_FLAPPING_LATE || tap_sent(&tap).size() > static_cast<size_t>(c.messages));
  /* Acknowledged slowly, the window is full: exactly its maximum awaits a PUBACK. */
  EXPECT_TRUE(c.fault != CLOUD_SLOW || tap.most_unacknowledged == RELAY_IN_FLIGHT_MAX)
      << tap.most_unacknowledged << " unacknowledged at most";
  EXPECT_TRUE(
      c.fault != CLOUD_UNSENT_IDS ||
      process_wait_stdout(&run.process,
                          "Ignored an acknowledgement from NIMBA for no message in flight (token=65535).",
                          5000));
  /* The status file's counters: each drop under its reason, every document acknowledged as
   * published (also those that left behind a dropped one). */
  const std::string keys[] = {STATUS_DROP_KEYS[DROP_SPOOL_FULL],
                              STATUS_DROP_KEYS[DROP_QUEUE_FULL],
                              STATUS_DROP_KEYS[DROP_REFUSED],
                              STATUS_DROP_KEYS[DROP_SPOOL_LOST],
                              STATUS_COUNTER_KEYS[STATUS_PUBLISHED]};
  const long long expected[] = {spool_full, queue_full, refused, lost, static_cast<long long>(got.size())};
  wait_until(
      [&] {
        for (unsigned i = 0; i < 5; i++)
          if (status_number(keys[i]) != expected[i]) return false;
        return true;
      },
      5000);
  for (unsigned i = 0; i < 5; i++) EXPECT_EQ(expected[i], status_number(keys[i])) << keys[i];
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Delivery,
    ::testing::Values(
        delivery_case{
            __LINE__, "CloudRestartedUnderFlow", false, CLOUD_RESTARTED, 4000, 2000, 0, 0, false, 0, 0},
        delivery_case{
            __LINE__, "AedesRestartedUnderFlow", true, CLOUD_RESTARTED, 4000, 2000, 0, 0, false, 0, 0},
        delivery_case{
            __LINE__, "CloudFrozenPastTheStallLimit", false, CLOUD_FROZEN, 4000, 2000, 0, 0, false, 0, 0},
        delivery_case{
            __LINE__, "OutageLongerThanTheMemoryQueue", false, CLOUD_AWAY, 3000, 500, 200, 0, false, 0, 0},
        delivery_case{
            __LINE__, "OutageLongerThanTheSpoolHolds", false, CLOUD_AWAY, 3000, 500, 1000, 256, true, 0, 0},
        delivery_case{__LINE__, "Flapping50ms", false, CLOUD_FLAPPING, 2000, 2000, 0, 0, false, 50, 0},
        delivery_case{__LINE__,
                      "Flapping50msAcknowledgedLate",
                      false,
                      CLOUD_FLAPPING_LATE,
                      600,
                      2000,
                      0,
                      0,
                      false,
                      50,
                      0},
        delivery_case{__LINE__, "Flapping1s", false, CLOUD_FLAPPING, 2000, 2000, 0, 0, false, 1000, 0},
        delivery_case{__LINE__, "Flapping10s", false, CLOUD_FLAPPING, 1200, 10000, 0, 0, false, 10000, 0},
        delivery_case{
            __LINE__, "ClosesOnOneDocument", false, CLOUD_CLOSES_ON, 1500, 5000, 0, 0, false, 300, 1},
        delivery_case{__LINE__, "NeverAcknowledges", false, CLOUD_SILENT, 600, 2000, 0, 0, false, 0, 0},
        delivery_case{
            __LINE__, "AcknowledgesEveryOther", false, CLOUD_EVERY_OTHER, 64, 2000, 0, 0, false, 0, 0},
        delivery_case{__LINE__,
                      "AcknowledgesUnsentIdentifiers",
                      false,
                      CLOUD_UNSENT_IDS,
                      1000,
                      2000,
                      0,
                      0,
                      false,
                      0,
                      0},
        delivery_case{
            __LINE__, "AcknowledgesOutOfOrder", false, CLOUD_REVERSED, 1000, 2000, 0, 0, false, 8, 0},
        delivery_case{__LINE__, "AcknowledgesSlowly", false, CLOUD_SLOW, 600, 2000, 0, 0, false, 500, 0},
        delivery_case{
            __LINE__, "ClockFrom1970", false, CLOUD_AWAY, 1500, 500, 200, 0, false, 0, 0, CLOCK_1970},
        delivery_case{
            __LINE__, "ClockBack2Hours", false, CLOUD_AWAY, 1500, 500, 200, 0, false, 0, 0, CLOCK_BACK},
        delivery_case{
            __LINE__, "ClockAhead3Years", false, CLOUD_AWAY, 1500, 500, 200, 0, false, 0, 0, CLOCK_AHEAD},
        delivery_case{
            __LINE__, "SpoolDiskFullThenFreed", false, SPOOL_DISK_FULL, 1000, 500, 200, 0, false, 0, 0},
        delivery_case{__LINE__,
                      "SpoolFolderRemovedWhileDocumentsWait",
                      false,
                      SPOOL_FOLDER_REMOVED,
                      SPOOLED_FIRST + SPOOLED_LOST_AFTER + SPOOLED_AGAIN,
                      500,
                      200,
                      0,
                      false,
                      0,
                      0,
                      CLOCK_STEADY,
                      true}),
    [](const ::testing::TestParamInfo<delivery_case> &info) { return std::string(info.param.name); });

/* The numbers of the flow messages in payloads (as the gateway sent them, {"n":N,...}). */
std::set<long> message_numbers(const std::vector<std::string> &payloads) {
  std::set<long> numbers;
  for (const std::string &payload : payloads)
    if (payload.rfind("{\"n\":", 0) == 0) numbers.insert(std::strtol(payload.c_str() + 5, nullptr, 10));
  return numbers;
}

using DeliveryKill = Delivery;

/* The daemon killed (SIGKILL) ten times while the flow runs and started again on its spool.
 * Of what the gateway delivered to it (seen by a tap in front of the gateway), only
 * documents that were in memory, not yet acknowledged nor synced to the spool, can be
 * missing; nothing corrupt ever reaches the cloud. */
TEST_F(DeliveryKill, KilledTenTimesLosesAtMostWhatWasOnlyInMemory) {
  broker_config gateway_setup;
  gateway_setup.address = address(3);
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  cloud_tap gateway_tap;
  ASSERT_TRUE(tap_start(&gateway_tap, address(0), 1883, address(3), 1883));
  start_cloud();
  ASSERT_TRUE(tap_start(&tap, address(1), 1883, address(2), 1883));
  daemon_launch launch = timings(1, 3);
  launch.settings = "NIMBA_QOS=1\n";
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 15000));
  message_flow flow;
  constexpr long kMessages = 6000;
  flow.start(broker_uri(gateway), "QZ/node1/flow", 2000, kMessages, std::string(200, 'f'));
  constexpr int kKills = 10;
  for (int kill = 1; kill <= kKills; kill++) {
    ASSERT_TRUE(wait_until([&] { return flow.published >= kill * 500; }, 30000));
    process_kill(&run.process);
    ASSERT_TRUE(start_daemon_again(launch));
    ASSERT_TRUE(wait_subscribed(gateway, static_cast<unsigned>(kill + 1), 15000));
  }
  ASSERT_TRUE(wait_until([&] { return flow.published == kMessages; }, 60000));
  flow.stop();
  /* The last daemon delivers everything it holds: the acknowledgements stop growing. */
  size_t settled = 0;
  long long still_since = monotonic_ms();
  wait_until(
      [&] {
        const size_t now = tap_acked(&tap).size();
        if (now != settled) {
          settled = now;
          still_since = monotonic_ms();
        }
        return monotonic_ms() - still_since > 3000;
      },
      60000);
  tap_stop(&gateway_tap);
  const std::set<long> received = message_numbers(tap_delivered(&gateway_tap));
  const std::set<long> got = acknowledged(false);
  unsigned missing = 0;
  for (long n : received) missing += got.count(n) == 0 ? 1 : 0;
  /* In memory at a kill: the queue of 256, and the spool's batches not synced yet (at most
   * two of 64 KiB, about 280 of these documents each). */
  const unsigned bound = kKills * (RELAY_QUEUE_SLOTS + 2 * 280);
  std::fprintf(stderr,
               "killed %d times: delivered to the daemon %zu, acknowledged by the cloud %zu, missing %u "
               "(bound %u), %zu publishes sent\n",
               kKills,
               received.size(),
               got.size(),
               missing,
               bound,
               tap_sent(&tap).size());
  EXPECT_LE(missing, bound);
  EXPECT_GT(received.size(), static_cast<size_t>(kMessages / 2));
  for (long n : got) EXPECT_EQ(1u, received.count(n)) << "acknowledged, never delivered: " << n;
}

/* The daemon stopped (SIGTERM) twenty times while QoS 0 publishers flow: every document the
 * gateway delivered to a daemon (seen by the tap in front of the gateway) reaches the cloud,
 * those a stop found already sent included. */
TEST_F(DeliveryKill, StoppedTwentyTimesLosesNothingTheGatewayDelivered) {
  broker_config gateway_setup;
  gateway_setup.address = address(3);
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  cloud_tap gateway_tap;
  ASSERT_TRUE(tap_start(&gateway_tap, address(0), 1883, address(3), 1883));
  start_cloud();
  ASSERT_TRUE(tap_start(&tap, address(1), 1883, address(2), 1883));
  daemon_launch launch = timings(1, 3);
  launch.settings = "NIMBA_QOS=1\n";
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 15000));
  message_flow flow;
  constexpr int kStops = 20;
  constexpr long kMessages = kStops * 200 + 400;
  flow.start(broker_uri(gateway), "QZ/node1/flow", 2000, kMessages);
  for (int stop = 1; stop <= kStops; stop++) {
    ASSERT_TRUE(wait_until([&] { return flow.published >= stop * 200; }, 30000));
    ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 30000)) << "stop " << stop;
    ASSERT_TRUE(start_daemon_again(launch));
    ASSERT_TRUE(wait_subscribed(gateway, static_cast<unsigned>(stop + 1), 15000));
  }
  ASSERT_TRUE(wait_until([&] { return flow.published == kMessages; }, 60000));
  flow.stop();
  std::set<long> received, got;
  std::vector<long> missing;
  wait_until(
      [&] {
        received = message_numbers(tap_delivered(&gateway_tap));
        got = acknowledged(false);
        missing.clear();
        for (long n : received)
          if (got.count(n) == 0) missing.push_back(n);
        return missing.empty();
      },
      30000);
  std::fprintf(stderr,
               "stopped %d times: delivered to the daemons %zu, acknowledged by the cloud %zu, missing %zu\n",
               kStops,
               received.size(),
               got.size(),
               missing.size());
  EXPECT_TRUE(missing.empty()) << "the first missing: " << missing.front();
  EXPECT_GT(received.size(), static_cast<size_t>(kMessages / 2));
}

/* A slow flash: each sync of the spool takes sync_ms. The loop goes on reading the gateway
 * and answering its pings (keep-alive 1 s: a stall of 1.5 s would lose it) while documents
 * go to the spool, and everything arrives once the cloud is back. When the gateway sends
 * faster than the flash takes it, the relay holds the gateway back and says so. */
struct slow_flash_case {
  int line;
  const char *name;
  unsigned sync_ms;
  unsigned interval; /* us between documents */
  size_t filler;
  long messages;
  bool holds; /* slower than the gateway: the hold is logged and counted (GATEWAY_HELD_MS) */
};
void PrintTo(const slow_flash_case &c, std::ostream *os) { *os << c.name; }

class SlowFlash : public DeliveryBase, public ::testing::WithParamInterface<slow_flash_case> {};

TEST_P(SlowFlash, NeverStallsTheRelayAndLosesNothing) {
  const slow_flash_case &c = GetParam();
  SCOPED_TRACE(c.line);
  if (!std::string(NIMBA_DAEMON_TEST_EMULATOR).empty())
    GTEST_SKIP() << "the preload is not for the emulated daemon";
  broker_config gateway_setup;
  gateway_setup.address = address(0);
  gateway_setup.extra_config = "max_queued_messages 0\nmax_queued_bytes 0\n";
  gateway = start_broker(gateway_setup);
  ASSERT_NE(nullptr, gateway);
  start_cloud();
  ASSERT_TRUE(tap_start(&tap, address(1), 1883, address(2), 1883));
  daemon_launch launch = timings(1, 3);
  launch.keep_alive = 1;
  launch.settings = "NIMBA_QOS=1\n";
  launch.env = {"LD_PRELOAD=" NIMBA_SLOW_SYNC_LIBRARY, "NIMBA_SLOW_SYNC_MS=" + std::to_string(c.sync_ms)};
  const char *asan = std::getenv("ASAN_OPTIONS");
  launch.env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                       ":verify_asan_link_order=0");
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 15000));
  stop_cloud(SIGTERM);
  ASSERT_TRUE(syslog_wait_prefix(&run.log, "Connection to NIMBA lost (cause=", 10000));
  message_flow flow;
  flow.start(broker_uri(gateway), "QZ/node1/flow", c.interval, c.messages, std::string(c.filler, 'f'));
  ASSERT_TRUE(wait_until([&] { return flow.published == c.messages; }, 60000));
  ASSERT_TRUE(
      process_wait_stdout(&run.process, PREFIX + "n\":" + std::to_string(c.messages - 1) + ",", 30000))
      << "the gateway was not read on";
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, "Connection to IoT Gateway lost"));
  restart_cloud();
  ASSERT_TRUE(
      wait_until([&] { return acknowledged(false).size() == static_cast<size_t>(c.messages); }, 60000))
      << "acknowledged " << acknowledged(false).size();
  if (!c.holds) return;
  /* Each pass that held the gateway said for how long; the status file has the sum. */
  const char *held_line = "Held back the IoT Gateway for %u ms: the spool could not keep up.";
  EXPECT_TRUE(wait_until(
      [&] {
        const unsigned logged = syslog_total(&run.log, held_line);
        return logged > 0 && static_cast<long long>(logged) <= status_number("GATEWAY_HELD_MS");
      },
      10000))
      << syslog_total(&run.log, held_line) << " ms logged, GATEWAY_HELD_MS "
      << status_number("GATEWAY_HELD_MS");
  for (const syslog_entry &e : syslog_entries(&run.log)) {
    if (e.message.rfind("Held back", 0) == 0) {
      EXPECT_EQ(DAEMON_WARNING, e.priority);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, SlowFlash,
    ::testing::Values(slow_flash_case{__LINE__, "TwoSecondSyncs", 2000, 10000, 200, 1500, false},
                      slow_flash_case{__LINE__, "SyncsSlowerThanTheGateway", 300, 500, 2000, 2000, true}),
    [](const ::testing::TestParamInfo<slow_flash_case> &info) { return std::string(info.param.name); });

} // namespace
