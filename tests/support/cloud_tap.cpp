/* TCP proxy that reads the MQTT packets passing between the daemon and the cloud. */
#include "cloud_tap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <set>

#include "loopback.h"
#include "wait.h"

namespace {

/* Cuts whole packets off the front of bytes: type byte, the whole packet and its body each. */
template <typename Handle>
void take_packets(std::string *bytes, Handle handle) {
  for (;;) {
    if (bytes->size() < 2) return;
    uint32_t length = 0;
    size_t at = 1;
    for (int shift = 0;; shift += 7, at++) {
      if (at >= bytes->size() || shift > 21) return;
      length |= static_cast<uint32_t>(static_cast<uint8_t>((*bytes)[at]) & 0x7F) << shift;
      if ((static_cast<uint8_t>((*bytes)[at]) & 0x80) == 0) break;
    }
    if (bytes->size() < at + 1 + length) return;
    handle(
        static_cast<uint8_t>((*bytes)[0]), bytes->substr(0, at + 1 + length), bytes->substr(at + 1, length));
    bytes->erase(0, at + 1 + length);
  }
}

int connect_upstream(const std::string &address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool send_all(int fd, const std::string &bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t w = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

uint16_t id_at(const std::string &bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]));
}

std::string puback(uint16_t id) {
  const char packet[4] = {0x40, 0x02, static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)};
  return std::string(packet, 4);
}

/* One client's link: whole packets passed both ways, as the misbehaviour says, until either
 * side closes or the misbehaviour closes it. */
struct tap_link {
  cloud_tap *tap = nullptr;
  int client = -1, upstream = -1;
  std::string up, down;                 /* bytes not yet cut into packets */
  std::map<uint16_t, std::string> open; /* payloads of the PUBLISH packets awaiting a PUBACK */
  std::set<uint16_t> withheld;          /* of those, the ones whose PUBACK never goes on */
  struct held_ack {
    long long due;
    uint16_t id;
  };
  std::vector<held_ack> held; /* PUBACKs not yet passed on, in arrival order */
  unsigned publishes = 0;
  long long close_at = 0; /* 0: no close due */
  bool steady = false;    /* past the flapping links: neither closed nor acknowledged late */
  bool closing = false;   /* the document closed on came: nothing more goes up */

  /* Passes a PUBACK on to the daemon, records what it acknowledged. */
  bool acknowledge(uint16_t id) {
    if (!send_all(client, puback(id))) return false;
    std::lock_guard<std::mutex> guard(tap->lock);
    auto found = open.find(id);
    if (found != open.end()) {
      tap->acked.push_back(found->second);
      open.erase(found);
    }
    if (!tap->misbehave.unsent_ids) return true;
    uint16_t unsent = 65535;
    while (tap->used_ids.count(unsent) > 0) unsent--;
    return send_all(client, puback(unsent));
  }

  bool release_held(long long now) {
    const unsigned reversed = tap->misbehave.reversed_acks;
    size_t n = 0;
    if (reversed > 0) {
      if (held.empty() || (held.size() < reversed && now < held.front().due)) return true;
      for (size_t i = held.size(); i-- > 0;)
        if (!acknowledge(held[i].id)) return false;
      n = held.size();
    }
    for (; reversed == 0 && n < held.size() && held[n].due <= now; n++)
      if (!acknowledge(held[n].id)) return false;
    held.erase(held.begin(), held.begin() + static_cast<long>(n));
    return true;
  }

  /* From the daemon; false ends the link. */
  bool from_client(uint8_t type, const std::string &packet, const std::string &body) {
    if (closing) return true;
    if ((type >> 4) == 3 && body.size() >= 2) {
      const size_t topic = id_at(body, 0);
      const bool qos = (type & 0x06) != 0;
      const size_t start = 2 + topic + (qos ? 2 : 0);
      if (start > body.size()) return send_all(upstream, packet);
      const std::string payload = body.substr(start);
      const tap_misbehaviour &m = tap->misbehave;
      std::lock_guard<std::mutex> guard(tap->lock);
      tap->sent.push_back(tap_publish{payload, (type & 0x08) != 0});
      if (!m.close_on.empty() && payload.find(m.close_on) != std::string::npos) {
        closing = true;
        close_at = monotonic_ms() + 500; /* at the latest */
        return !open.empty();
      }
      if (qos) {
        const uint16_t id = id_at(body, 2 + topic);
        tap->used_ids.insert(id);
        open[id] = payload;
        if (m.every_other_ack && publishes++ % 2 == 1) withheld.insert(id);
        if (open.size() > tap->most_unacknowledged)
          tap->most_unacknowledged = static_cast<unsigned>(open.size());
      }
    }
    return send_all(upstream, packet);
  }

  /* From the broker; false ends the link. */
  bool from_upstream(uint8_t type, const std::string &packet, const std::string &body) {
    const tap_misbehaviour &m = tap->misbehave;
    if ((type >> 4) == 2 && m.close_after_connack_ms >= 0 && !steady)
      close_at = monotonic_ms() + m.close_after_connack_ms;
    if ((type >> 4) == 3 && body.size() >= 2) {
      if (!send_all(client, packet)) return false; /* not passed on: not recorded as passed */
      const size_t start = 2 + id_at(body, 0) + ((type & 0x06) != 0 ? 2 : 0);
      std::lock_guard<std::mutex> guard(tap->lock);
      if (start <= body.size()) tap->delivered.push_back(body.substr(start));
      return true;
    }
    if ((type >> 4) != 4 || body.size() != 2) return send_all(client, packet);
    const uint16_t id = id_at(body, 0);
    if (m.withhold_acks.load() || withheld.count(id) > 0) return true;
    const int delay_ms = steady ? 0 : m.ack_delay_ms;
    if (delay_ms == 0 && m.reversed_acks == 0) {
      if (!acknowledge(id)) return false;
    } else {
      held.push_back(held_ack{monotonic_ms() + (delay_ms > 0 ? delay_ms : 50), id});
    }
    /* The document closed on ends the link once the broker answered those before it. */
    return !(closing && open.empty());
  }
};

/* Passes one client's packets both ways until either side closes. */
void serve_client(cloud_tap *tap, int client, unsigned link_number) {
  const int upstream = connect_upstream(tap->upstream_address, tap->upstream_port);
  if (upstream < 0) {
    close(client);
    return;
  }
  tap_link link;
  link.tap = tap;
  link.client = client;
  link.upstream = upstream;
  link.steady = tap->misbehave.flapping_links > 0 && link_number > tap->misbehave.flapping_links;
  char buffer[65536];
  bool going = true;
  while (going && !tap->stop.load()) {
    const long long now = monotonic_ms();
    if (link.close_at != 0 && now >= link.close_at) break;
    if (!link.release_held(now)) break;
    long long wake = now + 50;
    if (link.close_at != 0 && link.close_at < wake) wake = link.close_at;
    if (!link.held.empty() && link.held.front().due < wake) wake = link.held.front().due;
    pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(wake > now ? wake - now : 0)) <= 0) continue;
    for (int side = 0; side < 2 && going; side++) {
      if (fds[side].revents == 0) continue;
      const ssize_t n = recv(side == 0 ? client : upstream, buffer, sizeof buffer, 0);
      if (n <= 0) {
        going = false;
        break;
      }
      std::string &bytes = side == 0 ? link.up : link.down;
      bytes.append(buffer, static_cast<size_t>(n));
      take_packets(&bytes, [&](uint8_t type, const std::string &packet, const std::string &body) {
        if (going)
          going = side == 0 ? link.from_client(type, packet, body) : link.from_upstream(type, packet, body);
      });
    }
  }
  close(upstream);
  close(client);
}

void serve(cloud_tap *tap) {
  while (!tap->stop.load()) {
    pollfd p{tap->listener, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int client = accept4(tap->listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    unsigned link_number = 0;
    {
      std::lock_guard<std::mutex> guard(tap->lock);
      link_number = ++tap->connections;
    }
    serve_client(tap, client, link_number);
  }
}

} // namespace

int tap_start(cloud_tap *tap, const std::string &address, int port, const std::string &upstream_address,
              int upstream_port) {
  tap->upstream_address = upstream_address;
  tap->upstream_port = upstream_port;
  tap->listener = loopback_listen(address, port);
  if (tap->listener < 0) return 0;
  tap->stop = false;
  tap->worker = std::thread(serve, tap);
  return 1;
}

cloud_tap::~cloud_tap() { tap_stop(this); }

void tap_stop(cloud_tap *tap) {
  tap->stop = true;
  if (tap->worker.joinable()) tap->worker.join();
  if (tap->listener >= 0) close(tap->listener);
  tap->listener = -1;
}

std::vector<tap_publish> tap_sent(cloud_tap *tap) {
  std::lock_guard<std::mutex> guard(tap->lock);
  return tap->sent;
}

std::vector<std::string> tap_delivered(cloud_tap *tap) {
  std::lock_guard<std::mutex> guard(tap->lock);
  return tap->delivered;
}

std::vector<std::string> tap_acked(cloud_tap *tap) {
  std::lock_guard<std::mutex> guard(tap->lock);
  return tap->acked;
}
