/* Scripted MQTT broker for fault tests. */
#include "fake_broker.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "loopback.h"
#include "process.h"

namespace {

/* Writes all of data, waiting for room up to a few seconds; false when the peer is gone. */
bool send_all(int fd, const char *data, size_t length) {
  long long deadline = monotonic_ms() + 10000;
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (monotonic_ms() >= deadline) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 100);
  }
  return true;
}

bool send_text(int fd, const std::string &text) { return send_all(fd, text.data(), text.size()); }

std::string remaining_length(uint32_t value) {
  std::string out;
  do {
    uint8_t digit = value & 0x7F;
    value >>= 7;
    out.push_back(static_cast<char>(value > 0 ? digit | 0x80 : digit));
  } while (value > 0);
  return out;
}

bool send_huge(int fd, uint32_t length) {
  const std::string topic = "QZ/big/x";
  std::string head = std::string(1, '\x30') + remaining_length(length);
  head += std::string(1, '\0') + static_cast<char>(topic.size()) + topic;
  if (!send_text(fd, head)) return false;
  uint64_t left = length - (2 + topic.size());
  std::vector<char> block(1 << 20, ' ');
  while (left > 0) {
    size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
    if (!send_all(fd, block.data(), n)) return false;
    left -= n;
  }
  return true;
}

void count(fake_broker *broker, unsigned fake_counts::*field) {
  std::lock_guard<std::mutex> guard(broker->lock);
  broker->counts.*field += 1;
}

/* Answers the complete packets at the front of input; false when the client is to be
 * dropped. */
bool answer(fake_broker *broker, int fd, std::string *input) {
  const fake_script &script = broker->script;
  for (;;) {
    if (input->size() < 2) return true;
    uint32_t length = 0;
    size_t at = 1;
    for (int shift = 0;; shift += 7, at++) {
      if (at >= input->size()) return true;
      if (at > 4) return false;
      length |= static_cast<uint32_t>(static_cast<uint8_t>((*input)[at]) & 0x7F) << shift;
      if ((static_cast<uint8_t>((*input)[at]) & 0x80) == 0) break;
    }
    const size_t total = at + 1 + length;
    if (input->size() < total) return true;
    const char type_byte = (*input)[0];
    const uint8_t type = static_cast<uint8_t>(type_byte) >> 4;
    const std::string body = input->substr(at + 1, length);
    input->erase(0, total);
    bool ok = true;
    switch (type) {
      case 1:
        count(broker, &fake_counts::connects);
        if (body.size() >= 12) {
          std::lock_guard<std::mutex> guard(broker->lock);
          broker->requests.connect_flags = static_cast<uint8_t>(body[7]);
          const size_t id = static_cast<uint8_t>(body[10]) << 8 | static_cast<uint8_t>(body[11]);
          broker->requests.client_id = body.substr(12, id);
        }
        if (script.connack >= 0) {
          ok = send_text(fd, std::string("\x20\x02\x00", 3) + static_cast<char>(script.connack)) &&
               send_text(fd, script.after_connack);
        }
        break;
      case 8:
        count(broker, &fake_counts::subscribes);
        if (body.size() >= 4) {
          const size_t filter = static_cast<uint8_t>(body[2]) << 8 | static_cast<uint8_t>(body[3]);
          std::lock_guard<std::mutex> guard(broker->lock);
          if (4 + filter < body.size())
            broker->requests.subscribe_qos = static_cast<uint8_t>(body[4 + filter]);
        }
        if (script.suback >= 0 && body.size() >= 2) {
          ok = send_text(fd,
                         std::string("\x90\x03", 2) + body.substr(0, 2) + static_cast<char>(script.suback)) &&
               send_text(fd, script.after_suback);
          if (ok && script.huge_publish > 0)
            ok = send_huge(fd, script.huge_publish) && send_text(fd, script.after_huge);
        }
        break;
      case 12:
        count(broker, &fake_counts::pings);
        if (script.answer_pings) ok = send_text(fd, std::string("\xD0\x00", 2));
        break;
      case 3: {
        std::lock_guard<std::mutex> guard(broker->lock);
        broker->counts.publishes++;
        const uint8_t qos = (static_cast<uint8_t>(type_byte) >> 1) & 3;
        const size_t topic =
            body.size() >= 2 ? (static_cast<uint8_t>(body[0]) << 8 | static_cast<uint8_t>(body[1])) : 0;
        const size_t start = 2 + topic + (qos > 0 ? 2 : 0);
        broker->payloads.push_back(start <= body.size() ? body.substr(start) : std::string());
        if (qos == 1 && script.acknowledge && start <= body.size())
          ok = send_text(fd, std::string("\x40\x02", 2) + body.substr(2 + topic, 2));
        break;
      }
      case 14:
        count(broker, &fake_counts::disconnects);
        return false;
      default:
        break;
    }
    if (!ok) return false;
  }
}

/* One read from the client and the answers to it; false once the client is to be dropped
 * (gone, or by the script). */
bool take_input(fake_broker *broker, int client, std::string *input) {
  char buffer[65536];
  ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (n > 0) input->append(buffer, static_cast<size_t>(n));
  return answer(broker, client, input);
}

/* Reads what the client's connection still holds, up to its end or until nothing comes. */
void drain(fake_broker *broker, int client, std::string *input) {
  for (int i = 0; i < 4096; i++) {
    pollfd p{client, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !take_input(broker, client, input)) return;
  }
}

void serve(fake_broker *broker) {
  int client = -1;
  std::string input;
  while (!broker->stop.load()) {
    if (!broker->reading.load()) {
      pollfd none{-1, 0, 0};
      poll(&none, 0, 20);
      continue;
    }
    pollfd fds[2] = {{broker->listener, POLLIN, 0}, {client, POLLIN, 0}};
    if (poll(fds, client >= 0 ? 2 : 1, 50) <= 0) continue;
    if (client >= 0 && fds[1].revents != 0) {
      if (!take_input(broker, client, &input)) {
        drain(broker, client, &input);
        close(client);
        client = -1;
      }
      continue;
    }
    if (fds[0].revents & POLLIN) {
      int accepted = accept4(broker->listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted >= 0) {
        if (client >= 0) {
          drain(broker, client, &input);
          close(client);
        }
        client = accepted;
        input.clear();
        count(broker, &fake_counts::connections);
      }
    }
  }
  if (client >= 0) close(client);
}

} // namespace

int fake_broker_start(fake_broker *broker, const std::string &address, int port, const fake_script &script) {
  broker->script = script;
  broker->listener = loopback_listen(address, port);
  if (broker->listener < 0) return 0;
  broker->stop = false;
  broker->worker = std::thread(serve, broker);
  return 1;
}

void fake_broker_stop(fake_broker *broker) {
  broker->stop = true;
  if (broker->worker.joinable()) broker->worker.join();
  if (broker->listener >= 0) close(broker->listener);
  broker->listener = -1;
}

std::vector<std::string> fake_broker_payloads(fake_broker *broker) {
  std::lock_guard<std::mutex> guard(broker->lock);
  return broker->payloads;
}

void fake_broker_reading(fake_broker *broker, bool reading) { broker->reading = reading; }

fake_counts fake_broker_counts(fake_broker *broker) {
  std::lock_guard<std::mutex> guard(broker->lock);
  return broker->counts;
}

fake_requests fake_broker_requests(fake_broker *broker) {
  std::lock_guard<std::mutex> guard(broker->lock);
  return broker->requests;
}

int fake_broker_wait(fake_broker *broker, unsigned fake_counts::*field, unsigned value, int timeout_ms) {
  return wait_until([&] { return fake_broker_counts(broker).*field >= value; }, timeout_ms);
}

std::string mqtt_publish_bytes(const std::string &topic, const std::string &payload, int qos, uint16_t id) {
  std::string body =
      std::string(1, static_cast<char>(topic.size() >> 8)) + static_cast<char>(topic.size() & 0xFF) + topic;
  if (qos > 0) body += std::string(1, static_cast<char>(id >> 8)) + static_cast<char>(id & 0xFF);
  body += payload;
  return std::string(1, static_cast<char>(0x30 | qos << 1)) +
         remaining_length(static_cast<uint32_t>(body.size())) + body;
}
