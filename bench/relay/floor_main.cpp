/* The least CPU any relay spends per message on this machine: one thread that waits in
 * poll for a message on one loopback TCP connection, reads it and writes it to another,
 * nothing else (no MQTT, no transformation, no trace). A generator thread writes a
 * message every 1/rate seconds, a sink thread reads them. Prints the relaying thread's CPU
 * time per message (CLOCK_THREAD_CPUTIME_ID); at a fixed rate each message costs one
 * wake-up, which no design avoids, so the daemon's CPU per message is to be read against
 * this figure.
 *   nimba_relay_floor [count (default 10000, at most 1000000)] [rate msg/s (default 1000)] */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <thread>

namespace {

constexpr unsigned MESSAGE_SIZE = 100; /* about a 40-byte payload as an MQTT publish */
constexpr int POLL_TIMEOUT_MS = 2000;  /* a stalled peer ends the run */

int64_t clock_ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* A connected loopback TCP pair with Nagle's algorithm off; 0 on failure. */
int tcp_pair(int *a, int *b) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int ok = listener >= 0 && bind(listener, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
           listen(listener, 1) == 0 &&
           getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0;
  *a = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  ok = ok && *a >= 0 && connect(*a, reinterpret_cast<sockaddr *>(&address), size) == 0;
  *b = ok ? accept(listener, nullptr, nullptr) : -1;
  if (listener >= 0) close(listener);
  int on = 1;
  for (int fd : {*a, *b})
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return ok && *b >= 0;
}

/* Reads until count messages' worth of bytes arrived or the peer is silent too long. */
uint64_t drain(int fd, uint64_t count) {
  char buffer[65536];
  uint64_t total = 0;
  pollfd p{fd, POLLIN, 0};
  while (total < count * MESSAGE_SIZE && poll(&p, 1, POLL_TIMEOUT_MS) == 1) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    total += static_cast<uint64_t>(n);
  }
  return total / MESSAGE_SIZE;
}

} // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
  double rate = argc > 2 ? std::strtod(argv[2], nullptr) : 1000;
  if (count < 1 || count > 1000000 || !(rate >= 1 && rate <= 1000000)) {
    std::fprintf(stderr, "usage: nimba_relay_floor [count 1..1000000] [rate 1..1000000]\n");
    return 2;
  }
  int gen_end, relay_in, relay_out, sink_end;
  if (!tcp_pair(&gen_end, &relay_in) || !tcp_pair(&relay_out, &sink_end)) {
    std::perror("loopback connection");
    return 1;
  }
  const uint64_t n = static_cast<uint64_t>(count);
  std::atomic<uint64_t> relay_cpu_ns{0}, relayed{0}, received{0};

  std::thread relay([&] {
    char message[MESSAGE_SIZE * 16];
    uint64_t bytes = 0;
    pollfd p{relay_in, POLLIN, 0};
    int64_t start = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    while (bytes < n * MESSAGE_SIZE && poll(&p, 1, POLL_TIMEOUT_MS) == 1) {
      ssize_t got = read(relay_in, message, sizeof message);
      if (got <= 0 || write(relay_out, message, static_cast<size_t>(got)) != got) break;
      bytes += static_cast<uint64_t>(got);
    }
    relay_cpu_ns = static_cast<uint64_t>(clock_ns(CLOCK_THREAD_CPUTIME_ID) - start);
    relayed = bytes / MESSAGE_SIZE;
  });
  std::thread sink([&] { received = drain(sink_end, n); });

  char message[MESSAGE_SIZE] = {};
  const int64_t interval = static_cast<int64_t>(1e9 / rate);
  const int64_t begin = clock_ns(CLOCK_MONOTONIC);
  for (uint64_t i = 0; i < n; i++) {
    int64_t due = begin + static_cast<int64_t>(i) * interval;
    timespec until{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    if (write(gen_end, message, sizeof message) != static_cast<ssize_t>(sizeof message)) break;
  }
  relay.join();
  sink.join();
  for (int fd : {gen_end, relay_in, relay_out, sink_end}) close(fd);

  const double per_message_us =
      relayed > 0 ? static_cast<double>(relay_cpu_ns) / 1000.0 / static_cast<double>(relayed) : 0;
  std::printf(
      "floor: %llu of %ld messages of %u bytes relayed at %.0f msg/s (%llu received); "
      "relaying thread CPU %.1f us per message\n",
      static_cast<unsigned long long>(relayed.load()),
      count,
      MESSAGE_SIZE,
      rate,
      static_cast<unsigned long long>(received.load()),
      per_message_us);
  return relayed == n && received == n ? 0 : 1;
}
