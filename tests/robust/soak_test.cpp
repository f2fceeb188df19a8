/* Long runs of the daemon (label soak, built with -DNIMBA_SOAK_TESTS=ON, run by
 * scripts/soak): a steady load with nothing lost and flat memory, and many broker
 * restarts without leaking descriptors. Sizes come from the environment:
 * NIMBA_SOAK_SECONDS (300), NIMBA_SOAK_RATE (2000 messages per second),
 * NIMBA_SOAK_RESTARTS (100). */
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "daemon_test_fixture.h"

namespace {

long env_number(const char *name, long fallback, long low, long high) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return (*end == '\0' && value >= low && value <= high) ? value : fallback;
}

/* The key=value figures of the load generator's last line. */
std::map<std::string, std::string> last_line_figures(const std::string &output) {
  std::map<std::string, std::string> figures;
  std::string text = output;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::istringstream words(text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1));
  std::string word;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) figures[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return figures;
}

/* Samples the resident memory of a process once a second. */
struct rss_sampler {
  std::atomic<bool> running{true};
  std::atomic<long> peak{0};
  std::atomic<long> latest{0};
  std::thread worker;
  void start(pid_t pid) {
    worker = std::thread([this, pid] {
      while (running) {
        const long rss = process_rss_kb(pid);
        if (rss > 0) {
          latest = rss;
          if (rss > peak) peak = rss;
        }
        wait_until([this] { return !running; }, 1000);
      }
    });
  }
  void stop() {
    running = false;
    if (worker.joinable()) worker.join();
  }
  ~rss_sampler() { stop(); }
};

/* The descriptors of a process once the count holds still between two readings. */
int steady_fd_count(pid_t pid) {
  int last = -1, now = -1;
  wait_until(
      [&] {
        now = process_fd_count(pid);
        const bool steady = now == last && now > 0;
        last = now;
        return steady;
      },
      3000);
  return now;
}

/* Brokers that keep whatever a slow subscriber has not taken yet, so a loss is the relay's. */
broker_config load_broker(const std::string &address) {
  broker_config setup;
  setup.address = address;
  setup.extra_config = "persistence false\nmax_queued_messages 1000000\nset_tcp_nodelay true\n";
  return setup;
}

/* The generator publishes numbered messages at a fixed rate on the gateway and checks the
 * relayed documents on the cloud: every sequence number must arrive once. */
TEST_F(DaemonTest, SteadyLoadLosesNothingAndMemoryStaysFlat) {
  const long seconds = env_number("NIMBA_SOAK_SECONDS", 300, 1, 3600);
  const long rate = env_number("NIMBA_SOAK_RATE", 2000, 1, 20000);
  const long count = seconds * rate;
  gateway = start_broker(load_broker(address(0)));
  ASSERT_NE(nullptr, gateway);
  cloud = start_broker(load_broker(address(1)));
  ASSERT_NE(nullptr, cloud);
  daemon_launch launch;
  launch.device = "soak";
  launch.pause = 5;
  ASSERT_TRUE(start_daemon(launch));
  ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 15000));
  ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  const pid_t pid = run.process.pid;
  const long rss_idle = process_rss_kb(pid);

  spawn_request load;
  load.argv = {NIMBA_RELAY_LOAD_BINARY,
               "--publish-host",
               address(0),
               "--subscribe-host",
               address(1),
               "--count",
               std::to_string(count),
               "--rate",
               std::to_string(rate),
               "--size",
               "60",
               "--topics",
               "10",
               "--time-limit",
               std::to_string(seconds + 60),
               "--drain",
               "30",
               "--warmup",
               "15"};
  child_process generator;
  ASSERT_TRUE(process_spawn(load, &generator));
  rss_sampler sampler;
  sampler.start(pid);
  /* Memory "at the start" is taken once the load has run for a tenth of the time, when the
   * client library's buffers and the allocator's arenas have settled. */
  long rss_start = -1;
  const long long settle_at = monotonic_ms() + 2000 + seconds * 100;
  while (!process_wait(&generator, 200)) {
    if (rss_start < 0 && monotonic_ms() >= settle_at) rss_start = process_rss_kb(pid);
    ASSERT_LT(monotonic_ms(), settle_at + seconds * 1000 + 150000) << "the generator hangs";
  }
  sampler.stop();
  const long rss_end = process_rss_kb(pid);
  const std::string report = process_stdout(&generator);
  EXPECT_EQ(0, process_exit_code(&generator)) << process_stderr(&generator);
  process_cleanup(&generator);

  std::map<std::string, std::string> figures = last_line_figures(report);
  std::printf("%s", report.c_str());
  std::printf(
      "soak figures: load %ld msg/s for %ld s: sent %s received %s lost %s duplicated %s "
      "malformed %s; daemon RSS KiB idle %ld start %ld peak %ld end %ld\n",
      rate,
      seconds,
      figures["sent"].c_str(),
      figures["received"].c_str(),
      figures["lost"].c_str(),
      figures["duplicated"].c_str(),
      figures["malformed"].c_str(),
      rss_idle,
      rss_start,
      sampler.peak.load(),
      rss_end);
  RecordProperty("sent", figures["sent"]);
  RecordProperty("received", figures["received"]);
  RecordProperty("rss_start_kb", static_cast<int>(rss_start));
  RecordProperty("rss_peak_kb", static_cast<int>(sampler.peak.load()));
  RecordProperty("rss_end_kb", static_cast<int>(rss_end));
  EXPECT_EQ(std::to_string(count), figures["sent"]);
  EXPECT_EQ(std::to_string(count), figures["received"]);
  EXPECT_EQ("0", figures["lost"]);
  EXPECT_EQ("0", figures["duplicated"]);
  EXPECT_EQ("0", figures["malformed"]);
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, "Connection to NIMBA lost"));
  EXPECT_EQ(0u, syslog_count_prefix(&run.log, "Connection to IoT Gateway lost"));
  std::string drops;
  EXPECT_FALSE(syslog_wait_prefix(&run.log, "Dropped ", 0, &drops)) << drops;
  if (!kAddressSanitizer && rss_start > 0) {
    EXPECT_LT(rss_end - rss_start, 2048) << "resident memory grew";
  }
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 20000));
}

/* Brokers killed or stopped and started again, alternately the cloud and the gateway: the
 * daemon reconnects each time and holds as many descriptors at the end as at the start. */
TEST_F(DaemonTest, BrokerRestartsLeakNoDescriptors) {
  const long restarts = env_number("NIMBA_SOAK_RESTARTS", 100, 2, 10000);
  daemon_launch launch;
  launch.pause = 1;
  start_relay(launch);
  client_close(feeder);
  client_close(observer);
  const pid_t pid = run.process.pid;
  const int fds_before = steady_fd_count(pid);
  ASSERT_GT(fds_before, 0);
  unsigned cloud_ups = 1, gateway_ups = 1;
  for (long r = 0; r < restarts; r++) {
    const bool cloud_side = r % 2 == 0;
    test_broker *victim = cloud_side ? cloud : gateway;
    if (r % 4 < 2) {
      broker_kill(victim);
    } else {
      broker_stop(victim);
    }
    ASSERT_TRUE(broker_restart(victim)) << "restart " << r;
    if (cloud_side) {
      ASSERT_TRUE(syslog_wait(&run.log, CLOUD_CONNECTED, 20000, ++cloud_ups)) << "restart " << r;
    } else {
      ASSERT_TRUE(syslog_wait(&run.log, GATEWAY_CONNECTED, 20000, ++gateway_ups)) << "restart " << r;
      ASSERT_TRUE(wait_subscribed(gateway, 1, 5000)) << "restart " << r;
    }
  }
  const int fds_after = steady_fd_count(pid);
  std::printf("soak figures: %ld broker restarts; daemon descriptors before %d after %d\n",
              restarts,
              fds_before,
              fds_after);
  RecordProperty("fds_before", fds_before);
  RecordProperty("fds_after", fds_after);
  EXPECT_EQ(fds_before, fds_after);

  /* And it still relays. */
  ASSERT_TRUE(client_connect(observer, broker_uri(cloud), "observer"));
  ASSERT_TRUE(client_subscribe(observer, "#", 2));
  ASSERT_TRUE(client_connect(feeder, broker_uri(gateway), "feeder"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"end\":1}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  EXPECT_EQ("{\"d\":{\"node1/sensor/end\":1}}", client_messages(observer)[0].payload);
  ASSERT_EQ(0, daemon_stop(&run, SIGTERM, 20000));
}

} // namespace
