/* The delaying TCP proxy: one poll loop over the listener and every connection's sockets. */
#include "delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

/* Longest wait in poll, so that a stop request is seen soon also without a signal. */
constexpr int64_t WAIT_MAX_NS = 100000000;

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int socket_address(const std::string &address, int port, sockaddr_in *where) {
  *where = {};
  where->sin_family = AF_INET;
  where->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, address.c_str(), &where->sin_addr) == 1;
}

/* Non-blocking, without Nagle's delay: the proxy adds its own delay and no other. */
void prepare_socket(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connect_upstream(const delay_proxy_options &o) {
  sockaddr_in to;
  if (!socket_address(o.upstream_address, o.upstream_port, &to)) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  prepare_socket(fd);
  return fd;
}

/* Closes both sockets; broken: with a reset, as the side that failed did. */
void close_link(delay_link *link, bool broken) {
  for (int fd : {link->client, link->upstream}) {
    if (broken) {
      linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(fd);
  }
  link->client = link->upstream = -1;
}

bool reading(const delay_proxy *proxy, const delay_direction &d) {
  return !d.ended && d.held_bytes < proxy->options.held_max;
}

/* Writes what is due, oldest first, until the destination would block. 0 when the
 * destination failed. */
int pass_due(delay_direction *d, int64_t now) {
  d->blocked = false;
  while (!d->held.empty() && d->held.front().due_ns <= now) {
    delay_chunk &head = d->held.front();
    if (head.bytes.empty()) {
      shutdown(d->to, SHUT_WR);
      d->held.pop_front();
      continue;
    }
    const ssize_t n = send(d->to,
                           head.bytes.data() + head.written,
                           head.bytes.size() - head.written,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      d->blocked = true;
      return 1;
    }
    if (n <= 0) return 0;
    head.written += static_cast<size_t>(n);
    if (head.written < head.bytes.size()) continue;
    d->held_bytes -= head.bytes.size();
    d->held.pop_front();
  }
  return 1;
}

/* Reads one chunk from the source and holds it until now + the delay. 0 when the source
 * failed. */
int take(delay_proxy *proxy, delay_direction *d, int64_t now) {
  char buffer[DELAY_PROXY_READ_SIZE];
  const ssize_t n = recv(d->from, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  const int64_t due = now + static_cast<int64_t>(proxy->options.delay_ms) * 1000000;
  if (n == 0) {
    d->ended = true;
    d->held.push_back(delay_chunk{due, std::string(), 0});
    return 1;
  }
  d->held.push_back(delay_chunk{due, std::string(buffer, static_cast<size_t>(n)), 0});
  d->held_bytes += static_cast<size_t>(n);
  if (d->held_bytes > proxy->held_peak.load(std::memory_order_relaxed)) proxy->held_peak = d->held_bytes;
  if (!reading(proxy, *d)) proxy->pauses++;
  return 1;
}

/* A connection is over once both ends were passed on and nothing is held. */
bool finished(const delay_link &link) {
  return link.up.ended && link.down.ended && link.up.held.empty() && link.down.held.empty();
}

void accept_links(delay_proxy *proxy) {
  for (;;) {
    const int client = accept4(proxy->listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    proxy->accepted++;
    const int upstream = connect_upstream(proxy->options);
    if (upstream < 0) {
      close(client);
      continue;
    }
    prepare_socket(client);
    delay_link link;
    link.client = client;
    link.upstream = upstream;
    link.up.from = link.down.to = client;
    link.up.to = link.down.from = upstream;
    proxy->links.push_back(std::move(link));
  }
}

/* The earliest due time of a head still waiting for its time, or limit. */
int64_t next_due(const delay_direction &d, int64_t now, int64_t limit) {
  if (d.held.empty() || d.blocked || d.held.front().due_ns <= now) return limit;
  return std::min(limit, d.held.front().due_ns);
}

short events_of(const delay_proxy *proxy, const delay_direction &read_side,
                const delay_direction &write_side) {
  short events = 0;
  if (reading(proxy, read_side)) events |= POLLIN;
  if (write_side.blocked) events |= POLLOUT;
  return events;
}

} // namespace

int delay_proxy_open(delay_proxy *proxy, const delay_proxy_options &options) {
  sockaddr_in where;
  if (!socket_address(options.listen_address, options.listen_port, &where)) return 0;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return 0;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return 0;
  }
  proxy->options = options;
  proxy->listener = fd;
  proxy->stop = 0;
  return 1;
}

void delay_proxy_run(delay_proxy *proxy) {
  std::vector<pollfd> fds;
  while (!proxy->stop.load()) {
    int64_t now = monotonic_ns();
    for (delay_link &link : proxy->links) {
      if (link.client < 0) continue;
      if (!pass_due(&link.up, now) || !pass_due(&link.down, now))
        close_link(&link, true);
      else if (finished(link))
        close_link(&link, false);
    }
    proxy->links.erase(
        std::remove_if(
            proxy->links.begin(), proxy->links.end(), [](const delay_link &link) { return link.client < 0; }),
        proxy->links.end());

    int64_t wake = now + WAIT_MAX_NS;
    fds.assign(1, pollfd{proxy->listener, POLLIN, 0});
    for (const delay_link &link : proxy->links) {
      const short client_events = events_of(proxy, link.up, link.down);
      const short upstream_events = events_of(proxy, link.down, link.up);
      /* A socket with nothing to wait for stays out, so that a hang-up does not spin. */
      fds.push_back(pollfd{client_events ? link.client : -1, client_events, 0});
      fds.push_back(pollfd{upstream_events ? link.upstream : -1, upstream_events, 0});
      wake = next_due(link.up, now, next_due(link.down, now, wake));
    }
    const int64_t wait_ns = std::max<int64_t>(0, wake - now);
    const timespec timeout{static_cast<time_t>(wait_ns / 1000000000),
                           static_cast<long>(wait_ns % 1000000000)};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0) continue;

    now = monotonic_ns();
    for (size_t i = 0; i < proxy->links.size(); i++) {
      delay_link &link = proxy->links[i];
      const short client = fds[1 + 2 * i].revents, upstream = fds[2 + 2 * i].revents;
      const short readable = POLLIN | POLLHUP | POLLERR;
      if ((client & readable) && reading(proxy, link.up) && !take(proxy, &link.up, now)) {
        close_link(&link, true);
        continue;
      }
      if ((upstream & readable) && reading(proxy, link.down) && !take(proxy, &link.down, now))
        close_link(&link, true);
    }
    if (fds[0].revents & POLLIN) accept_links(proxy);
  }
  for (delay_link &link : proxy->links)
    if (link.client >= 0) close_link(&link, true);
  proxy->links.clear();
}

int delay_proxy_start(delay_proxy *proxy, const delay_proxy_options &options) {
  if (!delay_proxy_open(proxy, options)) return 0;
  proxy->worker = std::thread(delay_proxy_run, proxy);
  return 1;
}

void delay_proxy_stop(delay_proxy *proxy) {
  proxy->stop = 1;
  if (proxy->worker.joinable()) proxy->worker.join();
  if (proxy->listener >= 0) close(proxy->listener);
  proxy->listener = -1;
}
