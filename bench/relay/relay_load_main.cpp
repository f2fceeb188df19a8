/* Load generator and sink for the relay: publishes numbered JSON messages on QZ/<a>/<b> at
 * the gateway broker, receives the relayed documents at the cloud broker, checks each one
 * and reports losses, duplicates, documents out of order, malformed documents, throughput
 * and latency.
 * In direct mode it publishes and subscribes on one broker without a relay; in forward mode
 * it expects the messages unchanged on QZ/# at the cloud broker (a bare forwarder).
 * The two halves can run apart, for a cloud that is away while the messages are sent:
 * --publish-only sends and receives nothing, --receive-only sends nothing and receives the
 * numbers 0 to count - 1 that another run sent (no latency then: the send times are another
 * process's clock).
 * SIGUSR1 marks a moment (the end of an outage, say): the report then says how long after it
 * the flow had caught up, that is when the first document sent after it arrived less than a
 * second after it was sent (in order, everything older has then arrived, and what still
 * waits is less than a second's worth); --after-mark S stops the sending S seconds after
 * that. */
#include "relay_bench.h"

#include <mosquitto.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char CLOUD_TOPIC[] = "iot-2/evt/status/fmt/json";
constexpr char WARMUP_TOPIC[] = "QZ/warm/up";
constexpr char WARMUP_PAYLOAD[] = "{\"warm\":1}";
constexpr uint64_t MAX_COUNT = 10000000;
constexpr int64_t IDLE_STOP_US = 3000000; // drain ends early after this long with nothing new
constexpr int64_t CAUGHT_UP_US = 1000000; // the latency of a flow that has caught up after a mark

struct options {
  bench_shape shape = BENCH_RELAYED;
  const char *mode = "relay";
  const char *publish_host = "127.0.88.1";
  const char *subscribe_host = "127.0.88.2";
  uint64_t count = 10000;
  double rate = 0; // messages per second; 0 flat out
  uint32_t size = 40;
  uint32_t topics = 10;
  double time_limit_s = 30;
  double drain_s = 10;
  double warmup_s = 15;
  int quiet = 0;
  int publish_only = 0;
  int receive_only = 0;
  double after_mark_s = 0; // 0: the mark does not end the sending
};

int64_t epoch_ns;

volatile sig_atomic_t mark_requested = 0;
void request_mark(int) { mark_requested = 1; }

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec - epoch_ns;
}
int64_t now_us() { return now_ns() / 1000; }

void sleep_until_ns(int64_t due) {
  int64_t abs_ns = due + epoch_ns;
  timespec ts{static_cast<time_t>(abs_ns / 1000000000), static_cast<long>(abs_ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

void sleep_ms(int ms) { sleep_until_ns(now_ns() + static_cast<int64_t>(ms) * 1000000); }

// What the sink has seen; written by the MQTT library's receive thread only, read by the
// main thread through the atomics while running and in full after the client is gone.
struct sink_state {
  bench_shape shape;
  uint32_t size;
  uint32_t topics;
  uint64_t count;
  std::vector<uint8_t> seen;
  std::vector<int64_t> latency_us;
  std::atomic<uint64_t> unique{0};
  std::atomic<uint64_t> duplicated{0};
  std::atomic<uint64_t> malformed{0};
  std::atomic<uint64_t> reordered{0}; // arrived after a message sent later
  uint64_t next_seq = 0;              // one past the highest sequence number seen
  std::atomic<uint64_t> warmup{0};
  std::atomic<int64_t> first_us{-1};
  std::atomic<int64_t> last_us{-1};
  std::atomic<int> lost_connection{0};
  std::atomic<uint64_t> mark_seq{UINT64_MAX}; // the first sequence number sent after the mark
  std::atomic<int64_t> mark_arrived_us{-1};   // when the flow had caught up after it
};

// Connect and subscribe answers, for the waits below.
struct answers {
  std::atomic<int> connack{-1};
  std::atomic<int> subscribed{0};
};

// One client of the generator.
struct client_context {
  struct mosquitto *handle = nullptr;
  sink_state *sink = nullptr;
  bool threaded = false;
  answers answer;
};

void sink_message_arrived(struct mosquitto *, void *context, const struct mosquitto_message *message) {
  int64_t at = now_us();
  sink_state *s = static_cast<client_context *>(context)->sink;
  const char *topic = message->topic;
  const char *doc = static_cast<const char *>(message->payload);
  size_t length = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
  if (doc == nullptr) doc = "";
  bench_check r = bench_document_check(doc, length, topic, s->shape, s->size, s->topics, s->count);
  if (r.ok) {
    if (s->seen[r.seq]) {
      s->duplicated.fetch_add(1, std::memory_order_relaxed);
    } else {
      s->seen[r.seq] = 1;
      if (r.seq < s->next_seq)
        s->reordered.fetch_add(1, std::memory_order_relaxed);
      else
        s->next_seq = r.seq + 1;
      s->latency_us.push_back(at - r.sent_us);
      if (r.seq >= s->mark_seq.load() && at - r.sent_us < CAUGHT_UP_US && s->mark_arrived_us.load() < 0)
        s->mark_arrived_us.store(at);
      if (s->first_us.load(std::memory_order_relaxed) < 0) s->first_us.store(at);
      s->last_us.store(at, std::memory_order_relaxed);
      s->unique.fetch_add(1, std::memory_order_release);
    }
  } else if (std::string_view(doc, length).find("\"warm") != std::string_view::npos) {
    s->warmup.fetch_add(1, std::memory_order_release);
  } else {
    s->malformed.fetch_add(1, std::memory_order_relaxed);
    if (s->malformed.load() <= 3)
      std::fprintf(
          stderr, "malformed on %s: '%.*s'\n", topic, static_cast<int>(length > 200 ? 200 : length), doc);
  }
}

void client_connected(struct mosquitto *, void *context, int rc) {
  static_cast<client_context *>(context)->answer.connack.store(rc);
}

void client_subscribed(struct mosquitto *, void *context, int, int, const int *) {
  static_cast<client_context *>(context)->answer.subscribed.store(1);
}

void client_disconnected(struct mosquitto *, void *context, int) {
  sink_state *sink = static_cast<client_context *>(context)->sink;
  if (sink != nullptr) sink->lost_connection.store(1);
}

struct client_deleter {
  void operator()(client_context *c) const {
    if (c->handle != nullptr) {
      if (c->threaded) {
        mosquitto_disconnect(c->handle);
        mosquitto_loop_stop(c->handle, false);
      } else {
        mosquitto_disconnect(c->handle);
      }
      mosquitto_destroy(c->handle);
    }
    delete c;
  }
};
using client_ptr = std::unique_ptr<client_context, client_deleter>;

// Creates and connects a client to host:1883. A sink client gets the receive callbacks and
// a network thread of libmosquitto's; the publisher writes from the calling thread.
client_ptr connect_client(const char *host, const char *id, sink_state *sink) {
  client_ptr c(new client_context());
  c->sink = sink;
  c->handle = mosquitto_new(id, true, c.get());
  if (c->handle == nullptr) return nullptr;
  mosquitto_connect_callback_set(c->handle, client_connected);
  mosquitto_subscribe_callback_set(c->handle, client_subscribed);
  mosquitto_disconnect_callback_set(c->handle, client_disconnected);
  if (sink != nullptr) mosquitto_message_callback_set(c->handle, sink_message_arrived);
  // The publisher answers no pings while it sends; a run is shorter than this.
  if (mosquitto_connect(c->handle, host, 1883, sink ? 20 : 600) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "cannot connect to %s:1883\n", host);
    return nullptr;
  }
  if (sink != nullptr) {
    if (mosquitto_loop_start(c->handle) != MOSQ_ERR_SUCCESS) return nullptr;
    c->threaded = true;
  }
  int64_t until = now_ns() + 5000000000LL;
  while (c->answer.connack.load() < 0 && now_ns() < until) {
    if (sink != nullptr)
      sleep_ms(5);
    else
      mosquitto_loop(c->handle, 10, 1);
  }
  if (c->answer.connack.load() != 0) {
    std::fprintf(stderr, "cannot connect to %s:1883 (%d)\n", host, c->answer.connack.load());
    return nullptr;
  }
  return c;
}

// libmosquitto leaves Nagle's algorithm on; with it, a message of a few hundred bytes waits
// for the peer's delayed acknowledgement (up to 40 ms). The generator turns it off on its
// own sockets so that the latency figures show the relay, not the generator.
void set_nodelay(client_context *c) {
  int one = 1;
  setsockopt(mosquitto_socket(c->handle), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Publishes at QoS 0; when the socket is full, waits (up to a second) until it takes the
// queued packets, so that a slow broker slows the generator instead of its queue growing.
int publish(client_context *c, const char *topic, const void *payload, uint32_t length) {
  if (mosquitto_publish(c->handle, nullptr, topic, static_cast<int>(length), payload, 0, false) !=
      MOSQ_ERR_SUCCESS)
    return 0;
  for (int i = 0; i < 100 && mosquitto_want_write(c->handle); i++) {
    pollfd p{mosquitto_socket(c->handle), POLLOUT, 0};
    if (poll(&p, 1, 10) > 0 && mosquitto_loop_write(c->handle, 1) != MOSQ_ERR_SUCCESS) return 0;
  }
  return 1;
}

int parse_number(const char *text, double *out) {
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return 0;
  *out = v;
  return 1;
}

void usage() {
  std::fprintf(
      stderr,
      "usage: nimba_relay_load [--mode relay|direct|forward] [--publish-host ADDR] [--subscribe-host ADDR]\n"
      "  [--count N] [--rate MSG_PER_S (0: flat out)] [--size BYTES] [--topics K]\n"
      "  [--time-limit S] [--drain S] [--warmup S] [--after-mark S] [--quiet]\n"
      "  [--publish-only | --receive-only]\n"
      "Publishes N messages on QZ/node<k>/load at the publish host, receives them on the\n"
      "subscribe host (relay: iot-2/evt/status/fmt/json; direct: QZ/# on the publish host;\n"
      "forward: QZ/# unchanged on the subscribe host).\n"
      "--publish-only: no receiving, no warm-up. --receive-only: no sending, no warm-up; prints\n"
      "\"subscribed\" once it is, then waits up to the time limit for the first document and\n"
      "stops when all came or nothing new came for the drain time.\n"
      "SIGUSR1 marks a moment; caught_up_s: from it until a document sent after it arrived\n"
      "within a second; --after-mark S: the sending ends S seconds after that.\n"
      "Last line of output: key=value figures.\n");
}

int parse_options(int argc, char **argv, options *o) {
  for (int i = 1; i < argc; i++) {
    std::string_view a(argv[i]);
    if (a == "--quiet") {
      o->quiet = 1;
      continue;
    }
    if (a == "--publish-only") {
      o->publish_only = 1;
      continue;
    }
    if (a == "--receive-only") {
      o->receive_only = 1;
      continue;
    }
    if (i + 1 >= argc) {
      usage();
      return 0;
    }
    const char *v = argv[++i];
    double d = 0;
    if (a == "--mode") {
      const std::string_view mode(v);
      if (mode != "relay" && mode != "direct" && mode != "forward") {
        usage();
        return 0;
      }
      o->mode = v;
      o->shape = mode == "relay" ? BENCH_RELAYED : BENCH_DIRECT;
    } else if (a == "--publish-host") {
      o->publish_host = v;
    } else if (a == "--subscribe-host") {
      o->subscribe_host = v;
    } else if (!parse_number(v, &d)) {
      usage();
      return 0;
    } else if (a == "--count" && d <= static_cast<double>(MAX_COUNT)) {
      o->count = static_cast<uint64_t>(d);
    } else if (a == "--rate") {
      o->rate = d;
    } else if (a == "--size" && d < BENCH_PAYLOAD_CAPACITY - 64) {
      o->size = static_cast<uint32_t>(d);
    } else if (a == "--topics" && d >= 1 && d <= BENCH_MAX_TOPICS) {
      o->topics = static_cast<uint32_t>(d);
    } else if (a == "--time-limit" && d > 0 && d <= 3600) {
      o->time_limit_s = d;
    } else if (a == "--drain" && d <= 600) {
      o->drain_s = d;
    } else if (a == "--warmup" && d <= 600) {
      o->warmup_s = d;
    } else if (a == "--after-mark" && d <= 3600) {
      o->after_mark_s = d;
    } else {
      usage();
      return 0;
    }
  }
  if (std::string_view(o->mode) == "direct") o->subscribe_host = o->publish_host;
  if (o->publish_only && o->receive_only) {
    usage();
    return 0;
  }
  return 1;
}

// Publishes a probe every 100 ms until one comes back or the time is up: the relay may
// still be connecting when the run starts. 1 when the path works.
int warm_up(client_context *pub, sink_state *sink, double seconds) {
  int64_t until = now_ns() + static_cast<int64_t>(seconds * 1e9);
  while (now_ns() < until) {
    publish(pub, WARMUP_TOPIC, WARMUP_PAYLOAD, sizeof WARMUP_PAYLOAD - 1);
    for (int i = 0; i < 10; i++) {
      if (sink->warmup.load(std::memory_order_acquire) > 0) return 1;
      sleep_ms(10);
    }
  }
  return 0;
}

double seconds_between(int64_t a_us, int64_t b_us) {
  return b_us > a_us ? static_cast<double>(b_us - a_us) / 1e6 : 0.0;
}

// The receiving half alone: after "subscribed", waits up to the time limit for the first
// document, then until all count numbers came or nothing new came for the drain time.
// Throughput counts from the first receipt to the last; first_s is the wait for the first.
int receive_only(const options &o, sink_state *sink, client_ptr &sub) {
  std::printf("subscribed\n");
  std::fflush(stdout);
  const int64_t start_us = now_us();
  const int64_t limit_us = start_us + static_cast<int64_t>(o.time_limit_s * 1e6);
  const int64_t idle_us = static_cast<int64_t>(o.drain_s * 1e6);
  uint64_t before = 0;
  int64_t changed = start_us;
  while (now_us() < limit_us && sink->unique.load(std::memory_order_acquire) < o.count &&
         !sink->lost_connection.load()) {
    sleep_ms(10);
    const uint64_t u = sink->unique.load(std::memory_order_acquire);
    if (u != before) {
      before = u;
      changed = now_us();
    } else if (u > 0 && now_us() - changed > idle_us) {
      break;
    }
  }
  sub.reset(); // the receive thread is gone after this: the sink state is ours alone
  mosquitto_lib_cleanup();
  const uint64_t received = sink->unique.load();
  const int64_t first = sink->first_us.load(), last = sink->last_us.load();
  const double first_s = first >= 0 ? seconds_between(start_us, first) : 0;
  const double elapsed_s = first >= 0 ? seconds_between(first, last) : 0;
  const double throughput = elapsed_s > 0 ? static_cast<double>(received) / elapsed_s : 0;
  if (!o.quiet)
    std::printf("  received %" PRIu64 " of %" PRIu64 ", duplicated %" PRIu64 ", malformed %" PRIu64
                ", out of order %" PRIu64 "; the first after %.3f s, then %.0f msg/s for %.3f s\n",
                received,
                o.count,
                sink->duplicated.load(),
                sink->malformed.load(),
                sink->reordered.load(),
                first_s,
                throughput,
                elapsed_s);
  std::printf("mode=%s size=%u count=%" PRIu64 " received=%" PRIu64 " lost=%" PRIu64 " duplicated=%" PRIu64
              " malformed=%" PRIu64 " reordered=%" PRIu64 " first_s=%.3f elapsed_s=%.3f throughput=%.0f\n",
              o.mode,
              o.size,
              o.count,
              received,
              o.count > received ? o.count - received : 0,
              sink->duplicated.load(),
              sink->malformed.load(),
              sink->reordered.load(),
              first_s,
              elapsed_s,
              throughput);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  epoch_ns = 0;
  epoch_ns = now_ns();
  struct sigaction mark_action {};
  mark_action.sa_handler = request_mark;
  sigaction(SIGUSR1, &mark_action, nullptr);
  options o;
  if (!parse_options(argc, argv, &o)) return 2;

  sink_state sink;
  sink.shape = o.shape;
  sink.size = o.size;
  sink.topics = o.topics;
  sink.count = o.count;
  sink.seen.assign(o.count, 0);
  sink.latency_us.reserve(o.count);

  mosquitto_lib_init();
  char id[64];
  int n = 0;
  client_ptr sub, pub;
  if (!o.publish_only) {
    n = std::snprintf(id, sizeof id, "bench-sink-%d", static_cast<int>(getpid()));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof id) return 1;
    sub = connect_client(o.subscribe_host, id, &sink);
    if (!sub) return 1;
    const char *sub_topic = o.shape == BENCH_RELAYED ? CLOUD_TOPIC : "QZ/#";
    int64_t subscribe_until = now_ns() + 5000000000LL;
    if (mosquitto_subscribe(sub->handle, nullptr, sub_topic, 0) == MOSQ_ERR_SUCCESS)
      while (sub->answer.subscribed.load() == 0 && now_ns() < subscribe_until) sleep_ms(5);
    if (sub->answer.subscribed.load() == 0) {
      std::fprintf(stderr, "cannot subscribe to %s\n", sub_topic);
      return 1;
    }
    set_nodelay(sub.get());
  }
  if (o.receive_only) return receive_only(o, &sink, sub);
  n = std::snprintf(id, sizeof id, "bench-load-%d", static_cast<int>(getpid()));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof id) return 1;
  pub = connect_client(o.publish_host, id, nullptr);
  if (!pub) return 1;
  set_nodelay(pub.get());

  if (!o.publish_only && o.warmup_s > 0 && !warm_up(pub.get(), &sink, o.warmup_s)) {
    std::fprintf(stderr, "nothing came back within %.0f s: is the path up?\n", o.warmup_s);
    return 1;
  }
  // Let late probes pass before counting starts.
  sleep_ms(200);

  auto message = std::make_unique<bench_message>();
  uint64_t sent = 0, failed = 0;
  int64_t start = now_ns();
  int64_t limit = start + static_cast<int64_t>(o.time_limit_s * 1e9);
  double interval_ns = o.rate > 0 ? 1e9 / o.rate : 0;
  int64_t first_send_us = now_us(), last_send_us = first_send_us;
  // Latency counts from the actual send, so a generator that falls behind its schedule (a
  // busy machine) hides that delay from the figures: how far behind it fell is reported.
  int64_t late_max_us = 0;
  int64_t mark_us = -1;
  for (uint64_t seq = 0; seq < o.count; seq++) {
    int64_t due = 0;
    if (interval_ns > 0) {
      due = start + static_cast<int64_t>(static_cast<double>(seq) * interval_ns);
      if (due > now_ns()) sleep_until_ns(due);
    }
    if (now_ns() >= limit || (!o.publish_only && sink.lost_connection.load())) break;
    int64_t t = now_us();
    if (mark_requested && mark_us < 0) {
      mark_us = t;
      sink.mark_seq.store(seq);
    }
    const int64_t caught_up_us = sink.mark_arrived_us.load();
    if (o.after_mark_s > 0 && caught_up_us >= 0 &&
        t - caught_up_us >= static_cast<int64_t>(o.after_mark_s * 1e6))
      break;
    if (interval_ns > 0 && t - due / 1000 > late_max_us) late_max_us = t - due / 1000;
    if (!bench_message_make(message.get(), seq, t, o.size, o.topics)) return 1;
    if (publish(pub.get(), message->topic, message->payload, message->payload_length))
      sent++;
    else
      failed++;
    last_send_us = now_us();
  }

  // Drain: until everything sent came back, nothing new for a while, or the drain time.
  int64_t drain_until = now_ns() + static_cast<int64_t>(o.drain_s * 1e9);
  uint64_t before = sink.unique.load(std::memory_order_acquire);
  int64_t changed = now_us();
  while (!o.publish_only && now_ns() < drain_until && sink.unique.load(std::memory_order_acquire) < sent) {
    sleep_ms(10);
    uint64_t u = sink.unique.load(std::memory_order_acquire);
    if (u != before) {
      before = u;
      changed = now_us();
    } else if (now_us() - changed > IDLE_STOP_US)
      break;
  }
  pub.reset();
  sub.reset(); // the receive thread is gone after this: the sink state is ours alone
  mosquitto_lib_cleanup();

  uint64_t received = sink.unique.load();
  uint64_t lost = sent > received ? sent - received : 0;
  double send_s = seconds_between(first_send_us, last_send_us);
  double elapsed_s = sink.last_us.load() >= 0 ? seconds_between(first_send_us, sink.last_us.load()) : 0;
  double send_rate = send_s > 0 ? static_cast<double>(sent) / send_s : 0;
  double throughput = elapsed_s > 0 ? static_cast<double>(received) / elapsed_s : 0;
  int64_t p50 = bench_percentile(sink.latency_us, 0.50);
  int64_t p90 = bench_percentile(sink.latency_us, 0.90);
  int64_t p99 = bench_percentile(sink.latency_us, 0.99);
  int64_t pmax = bench_percentile(sink.latency_us, 1.0);
  const char *mode = o.mode;
  const int64_t caught_up_us = sink.mark_arrived_us.load();
  const double caught_up_s = caught_up_us >= 0 ? static_cast<double>(caught_up_us - mark_us) / 1e6 : -1;

  if (!o.quiet) {
    std::printf("%s path, %" PRIu64 " messages of %u bytes at %s%.0f msg/s on %u topics\n",
                mode,
                o.count,
                o.size,
                o.rate > 0 ? "" : "flat out, ",
                o.rate,
                o.topics);
    std::printf("  sent %" PRIu64 " (%" PRIu64 " publish failures) in %.3f s: %.0f msg/s\n",
                sent,
                failed,
                send_s,
                send_rate);
    std::printf("  received %" PRIu64 ", lost %" PRIu64 ", duplicated %" PRIu64 ", malformed %" PRIu64
                ", out of order %" PRIu64 "\n",
                received,
                lost,
                sink.duplicated.load(),
                sink.malformed.load(),
                sink.reordered.load());
    std::printf("  throughput %.0f msg/s (first send to last receipt %.3f s)\n", throughput, elapsed_s);
    std::printf("  latency us: p50 %" PRId64 ", p90 %" PRId64 ", p99 %" PRId64 ", max %" PRId64
                "; sends at most %" PRId64 " us behind schedule\n",
                p50,
                p90,
                p99,
                pmax,
                late_max_us);
    if (mark_us >= 0)
      std::printf("  caught up %.3f s after the mark (-1: never; the first document sent after it: %" PRIu64
                  ")\n",
                  caught_up_s,
                  sink.mark_seq.load());
  }
  std::printf("mode=%s size=%u rate=%.0f count=%" PRIu64 " sent=%" PRIu64 " failed=%" PRIu64
              " received=%" PRIu64 " lost=%" PRIu64 " duplicated=%" PRIu64 " malformed=%" PRIu64
              " reordered=%" PRIu64
              " send_s=%.3f send_rate=%.0f elapsed_s=%.3f throughput=%.0f p50_us=%" PRId64 " p90_us=%" PRId64
              " p99_us=%" PRId64 " max_us=%" PRId64 " late_max_us=%" PRId64,
              mode,
              o.size,
              o.rate,
              o.count,
              sent,
              failed,
              received,
              lost,
              sink.duplicated.load(),
              sink.malformed.load(),
              sink.reordered.load(),
              send_s,
              send_rate,
              elapsed_s,
              throughput,
              p50,
              p90,
              p99,
              pmax,
              late_max_us);
  if (mark_us >= 0) std::printf(" mark_seq=%" PRIu64 " caught_up_s=%.3f", sink.mark_seq.load(), caught_up_s);
  std::printf("\n");
  return 0;
}
