/* Common fixture of the daemon integration tests: cleans up the daemon and brokers and
 * shows the daemon's output when a test failed. */
#pragma once
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include <memory>

#include "daemon_harness.h"
#include "fake_broker.h"
#include "loopback.h"
#include "wait.h"

/* AddressSanitizer's quarantine makes resident memory grow: memory checks skip it. */
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

class DaemonTest : public ::testing::Test {
protected:
  daemon_run run;
  std::vector<std::unique_ptr<test_broker>> brokers;
  std::vector<std::unique_ptr<test_client>> clients;
  std::vector<test_ca> cas;
  std::vector<std::unique_ptr<fake_broker>> fakes;

  test_broker *start_broker(const broker_config &setup) {
    brokers.emplace_back(new test_broker());
    if (!broker_start(brokers.back().get(), setup)) return nullptr;
    return brokers.back().get();
  }
  test_broker *start_broker(const std::string &address) {
    broker_config setup;
    setup.address = address;
    return start_broker(setup);
  }
  /* A scripted broker on address:port, stopped at the end of the test. */
  fake_broker *start_fake(const std::string &address, const fake_script &script, int port = 1883) {
    fakes.emplace_back(new fake_broker());
    if (!fake_broker_start(fakes.back().get(), address, port, script)) return nullptr;
    return fakes.back().get();
  }
  test_client *connect_client(const std::string &uri, const std::string &id) {
    clients.emplace_back(new test_client());
    if (!client_connect(clients.back().get(), uri, id)) return nullptr;
    return clients.back().get();
  }
  test_broker *gateway = nullptr;
  test_broker *cloud = nullptr;
  test_client *observer = nullptr; /* subscribed to everything on the cloud broker */
  test_client *feeder = nullptr;   /* publishes on the gateway broker */

  /* This test's loopback addresses: 0 the gateway, 1 the cloud, 2 and up for other peers. */
  static std::string address(unsigned index) { return test_address(index); }

  /* Starts the daemon with its gateway at address(0) and the cloud host at address(1),
   * unless the launch names others; 1 on success. */
  int start_daemon(daemon_launch launch = {}) {
    with_addresses(&launch);
    return daemon_start(&run, launch);
  }
  /* Starts it again in the same root (its spool, settings and log), killing it first if it
   * still runs. */
  int start_daemon_again(daemon_launch launch = {}) {
    with_addresses(&launch);
    return daemon_start_again(&run, launch);
  }
  static void with_addresses(daemon_launch *launch) {
    if (launch->gateway.empty() && launch->args.empty()) launch->gateway = address(0);
    if (launch->cloud.empty()) launch->cloud = address(1);
  }
  /* A launch with these timings (seconds; 0 keeps the test daemon's own). */
  static daemon_launch timings(unsigned pause, unsigned connect_timeout = 0) {
    daemon_launch launch;
    launch.pause = pause;
    launch.connect_timeout = connect_timeout;
    return launch;
  }

  /* Gateway and cloud brokers on this test's addresses 0 and 1, an observer on the cloud, a
   * feeder on the gateway, and the daemon (launch with those addresses filled in) connected
   * to both and subscribed. */
  void start_relay(daemon_launch launch = {}) {
    gateway = start_broker(address(0));
    ASSERT_NE(nullptr, gateway);
    cloud = start_broker(address(1));
    ASSERT_NE(nullptr, cloud);
    observer = connect_client(broker_uri(cloud), "observer");
    ASSERT_NE(nullptr, observer);
    ASSERT_TRUE(client_subscribe(observer, "#", 2));
    feeder = connect_client(broker_uri(gateway), "feeder");
    ASSERT_NE(nullptr, feeder);
    ASSERT_TRUE(start_daemon(launch));
    ASSERT_TRUE(syslog_wait_prefix(&run.log, GATEWAY_SUBSCRIBING, 15000));
    ASSERT_TRUE(wait_subscribed(gateway, 1, 5000));
  }

  /* Waits until the gateway broker logged the daemon's subscription (at either QoS) `count`
   * times. */
  static int wait_subscribed(test_broker *broker, unsigned count, int timeout_ms) {
    return wait_until([&] { return broker_gateway_subscriptions(broker) >= count; }, timeout_ms);
  }

  /* At most once; at least once the line ends in QoS1. */
  static constexpr const char *GATEWAY_CONNECTED =
      "Connected to IoT Gateway. Subscribing to topic 'QZ/#' on IoT Gateway using QoS0.";
  static constexpr const char *GATEWAY_SUBSCRIBING =
      "Connected to IoT Gateway. Subscribing to topic 'QZ/#' on IoT Gateway using QoS";
  static constexpr const char *CLOUD_CONNECTED = "Connected to NIMBA in quickstart mode.";
  static constexpr const char *CLOUD_TOPIC = "iot-2/evt/status/fmt/json";

  std::string out() { return process_stdout(&run.process); }
  std::string err() { return process_stderr(&run.process); }

  void TearDown() override {
    /* A daemon still running is stopped by signal rather than killed, so that a sanitized
     * build checks its exit (leaks included); its reports fail the test. */
    if (run.process.pid > 0 && !run.process.exited && daemon_stop(&run, SIGTERM, 15000) < 0)
      process_kill(&run.process);
    const std::string report = process_sanitizer_report(&run.process);
    EXPECT_EQ("", report) << "the daemon's sanitizer report";
    if (HasFailure()) {
      std::fprintf(stderr,
                   "--- daemon stdout (last 3000 bytes)\n%s\n--- daemon stderr\n%s\n--- syslog\n",
                   tail(out()).c_str(),
                   tail(err()).c_str());
      for (const syslog_entry &e : syslog_entries(&run.log))
        std::fprintf(stderr, "<%d> %s\n", e.priority, e.message.c_str());
      for (auto &b : brokers)
        std::fprintf(stderr,
                     "--- broker %s\n%s\n",
                     b->setup.address.c_str(),
                     tail(process_stderr(&b->process)).c_str());
    }
    for (auto &c : clients) client_close(c.get());
    daemon_cleanup(&run);
    for (auto &b : brokers) broker_remove(b.get());
    for (auto &f : fakes) fake_broker_stop(f.get());
    for (auto &ca : cas) ca_remove(&ca);
  }

  static std::string tail(const std::string &text) {
    return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
  }
};
