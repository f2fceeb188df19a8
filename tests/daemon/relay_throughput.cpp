/* Relay throughput and memory of the daemon: feeds messages through gateway broker, daemon
 * and cloud broker on loopback and prints messages per second and the daemon's VmRSS.
 * Usage: nimba_relay_throughput [messages] (default 20000, at most 200000). */
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon_harness.h"
#include "wait.h"

static long vm_rss_kb(pid_t pid) {
  std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

int main(int argc, char **argv) {
  unsigned long total = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  if (total == 0 || total > 200000) total = 20000;
  test_broker gateway, cloud;
  broker_config setup;
  /* Outside the blocks tests take their addresses from, so it can run beside the suite. */
  setup.address = "127.2.0.1";
  if (!broker_start(&gateway, setup)) return 1;
  setup.address = "127.2.0.2";
  if (!broker_start(&cloud, setup)) return 1;
  test_client observer, feeder;
  if (!client_connect(&observer, broker_uri(&cloud), "observer") || !client_subscribe(&observer, "#", 0) ||
      !client_connect(&feeder, broker_uri(&gateway), "feeder"))
    return 1;
  daemon_run run;
  daemon_launch launch;
  launch.device = "bench";
  launch.gateway = "127.2.0.1";
  launch.cloud = "127.2.0.2";
  launch.pause = 60;
  if (!daemon_start(&run, launch) ||
      !wait_until([&] { return broker_gateway_subscriptions(&gateway) > 0; }, 15000))
    return 1;
  long rss_idle = vm_rss_kb(run.process.pid);

  long long start = monotonic_ms();
  for (unsigned long i = 0; i < total; i++) {
    client_publish(&feeder,
                   "QZ/node" + std::to_string(i % 8) + "/sensor",
                   "{\"t\":" + std::to_string(i) + ",\"h\":41.5,\"ok\":true}");
    /* Keep the feeder within reach of the relay so the figure measures the relay, not drops. */
    while (i >= client_message_count(&observer) + 200 && monotonic_ms() - start < 120000)
      usleep(200); /* pace */
  }
  client_wait_count(&observer, total, 30000);
  long long elapsed = monotonic_ms() - start;
  size_t relayed = client_message_count(&observer);
  long rss_busy = vm_rss_kb(run.process.pid);
  std::printf("messages fed: %lu, relayed: %zu, elapsed: %lld ms, relayed per second: %.0f\n",
              total,
              relayed,
              elapsed,
              elapsed > 0 ? relayed * 1000.0 / static_cast<double>(elapsed) : 0.0);
  std::printf("daemon VmRSS: %ld kB idle after connect, %ld kB after the run\n", rss_idle, rss_busy);

  daemon_stop(&run, SIGTERM, 20000);
  client_close(&observer);
  client_close(&feeder);
  daemon_cleanup(&run);
  broker_remove(&gateway);
  broker_remove(&cloud);
  return relayed == total ? 0 : 2;
}
