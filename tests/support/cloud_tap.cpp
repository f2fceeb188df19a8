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

#include "loopback.h"

namespace {

/* Cuts whole packets off the front of bytes: type byte and body each. */
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
    handle(static_cast<uint8_t>((*bytes)[0]), bytes->substr(at + 1, length));
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

/* Passes one client's bytes both ways until either side closes. */
void serve_client(cloud_tap *tap, int client) {
  const int upstream = connect_upstream(tap->upstream_address, tap->upstream_port);
  if (upstream < 0) {
    close(client);
    return;
  }
  std::string up, down;                 /* bytes not yet cut into packets */
  std::map<uint16_t, std::string> open; /* payloads of the PUBLISH packets awaiting a PUBACK */
  char buffer[65536];
  bool going = true;
  while (going && !tap->stop.load()) {
    pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (poll(fds, 2, 50) <= 0) continue;
    for (int side = 0; side < 2 && going; side++) {
      if (fds[side].revents == 0) continue;
      const int from = side == 0 ? client : upstream, to = side == 0 ? upstream : client;
      const ssize_t n = recv(from, buffer, sizeof buffer, 0);
      if (n <= 0) {
        going = false;
        break;
      }
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (w <= 0) {
          going = false;
          break;
        }
        done += w;
      }
      if (!going) break; /* not passed on: not recorded as passed */
      std::lock_guard<std::mutex> guard(tap->lock);
      if (side == 0) {
        up.append(buffer, static_cast<size_t>(n));
        take_packets(&up, [&](uint8_t type, const std::string &body) {
          if ((type >> 4) != 3 || body.size() < 2) return;
          const size_t topic = static_cast<uint8_t>(body[0]) << 8 | static_cast<uint8_t>(body[1]);
          const bool qos = (type & 0x06) != 0;
          const size_t start = 2 + topic + (qos ? 2 : 0);
          if (start > body.size()) return;
          const std::string payload = body.substr(start);
          tap->sent.push_back(tap_publish{payload, (type & 0x08) != 0});
          if (qos)
            open[static_cast<uint16_t>(static_cast<uint8_t>(body[2 + topic]) << 8 |
                                       static_cast<uint8_t>(body[3 + topic]))] = payload;
        });
      } else {
        down.append(buffer, static_cast<size_t>(n));
        take_packets(&down, [&](uint8_t type, const std::string &body) {
          if ((type >> 4) == 3 && body.size() >= 2) {
            const size_t topic = static_cast<uint8_t>(body[0]) << 8 | static_cast<uint8_t>(body[1]);
            const size_t start = 2 + topic + ((type & 0x06) != 0 ? 2 : 0);
            if (start <= body.size()) tap->delivered.push_back(body.substr(start));
            return;
          }
          if ((type >> 4) != 4 || body.size() != 2) return;
          const uint16_t id =
              static_cast<uint16_t>(static_cast<uint8_t>(body[0]) << 8 | static_cast<uint8_t>(body[1]));
          auto found = open.find(id);
          if (found == open.end()) return;
          tap->acked.push_back(found->second);
          open.erase(found);
        });
      }
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
    {
      std::lock_guard<std::mutex> guard(tap->lock);
      tap->connections++;
    }
    serve_client(tap, client);
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

/* A test that ends early (a failed assertion) still stops the tap's thread. */
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
