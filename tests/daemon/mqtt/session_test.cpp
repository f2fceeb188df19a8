/* The MQTT session against a broker played by the test over a loopback socket (plain TCP or
 * TLS): what it writes when the broker stops reading, and that its loop never spins. */
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "daemon/mqtt/session.h"
#include "loopback.h"
#include "wait.h"

namespace {

/* The broker's end of the connection: plain or TLS, blocking, with a small receive buffer
 * so that the session's output backs up quickly once it stops reading. */
struct peer_link {
  int fd = -1;
  SSL_CTX *context = nullptr;
  SSL *ssl = nullptr;

  bool write_all(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const int n = ssl != nullptr ? SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done))
                                   : static_cast<int>(send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  /* Up to capacity bytes, waiting at most timeout_ms; 0 on time-out, -1 at the end. */
  long read_some(char *buffer, size_t capacity, int timeout_ms) {
    if (ssl == nullptr || SSL_pending(ssl) == 0) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return 0;
    }
    const int n = ssl != nullptr ? SSL_read(ssl, buffer, static_cast<int>(capacity))
                                 : static_cast<int>(recv(fd, buffer, capacity, 0));
    return n > 0 ? n : -1;
  }
  void close_all() {
    if (ssl != nullptr) SSL_free(ssl);
    if (context != nullptr) SSL_CTX_free(context);
    if (fd >= 0) close(fd);
    ssl = nullptr;
    context = nullptr;
    fd = -1;
  }
};

/* A stream of MQTT packets cut at their boundaries: type byte and body each. */
struct parsed_packet {
  uint8_t type_byte;
  std::string body;
};

/* Cuts bytes into packets; false when they do not form a sequence of whole packets. */
bool parse_stream(const std::string &bytes, std::vector<parsed_packet> *packets) {
  size_t at = 0;
  while (at < bytes.size()) {
    uint32_t length = 0;
    size_t i = at + 1;
    for (int shift = 0;; shift += 7, i++) {
      if (i >= bytes.size() || shift > 21) return false;
      length |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]) & 0x7F) << shift;
      if ((static_cast<uint8_t>(bytes[i]) & 0x80) == 0) break;
    }
    if (i + 1 + length > bytes.size()) return false;
    packets->push_back(parsed_packet{static_cast<uint8_t>(bytes[at]), bytes.substr(i + 1, length)});
    at = i + 1 + length;
  }
  return true;
}

std::string remaining_length(uint32_t value) {
  std::string out;
  do {
    uint8_t digit = value & 0x7F;
    value >>= 7;
    out.push_back(static_cast<char>(value > 0 ? digit | 0x80 : digit));
  } while (value > 0);
  return out;
}

/* A PUBLISH from the broker with the given QoS (1: packet id id). */
std::string publish_packet(const std::string &topic, const std::string &payload, int qos, uint16_t id) {
  std::string body = std::string(1, static_cast<char>(topic.size() >> 8)) + static_cast<char>(topic.size()) + topic;
  if (qos > 0) body += std::string(1, static_cast<char>(id >> 8)) + static_cast<char>(id & 0xFF);
  body += payload;
  return std::string(1, static_cast<char>(0x30 | qos << 1)) + remaining_length(static_cast<uint32_t>(body.size())) +
         body;
}

/* The owner's output: whole packets, the first possibly partly written. */
struct test_output {
  std::vector<std::string> packets;
  size_t head = 0;
  uint32_t sent = 0;
  static unsigned gather(void *context, iovec *pieces, unsigned max) {
    auto *o = static_cast<test_output *>(context);
    unsigned n = 0;
    for (size_t i = o->head; i < o->packets.size() && n < max; i++) {
      const uint32_t skip = i == o->head ? o->sent : 0;
      pieces[n++] = iovec{const_cast<char *>(o->packets[i].data()) + skip, o->packets[i].size() - skip};
    }
    return n;
  }
  static void written(void *context, uint32_t bytes) {
    auto *o = static_cast<test_output *>(context);
    while (bytes > 0 && o->head < o->packets.size()) {
      const uint32_t left = static_cast<uint32_t>(o->packets[o->head].size()) - o->sent;
      if (bytes < left) {
        o->sent += bytes;
        return;
      }
      bytes -= left;
      o->head++;
      o->sent = 0;
    }
  }
};

/* The session under test with its broker: listener, the accepted link, and the loop turns
 * that drive the session as the daemon's event loop does. */
class SessionTest : public ::testing::Test {
protected:
  std::unique_ptr<mqtt_session> session{new mqtt_session()};
  test_output output;
  int listener = -1;
  peer_link peer;
  test_ca ca;
  bool tls = false;
  unsigned spins = 0; /* loop turns that did nothing and still asked to be run again at once */

  void TearDown() override {
    session_release(session.get());
    peer.close_all();
    if (listener >= 0) close(listener);
    if (!ca.folder.empty()) ca_remove(&ca);
  }

  /* Listens, sets the session up for the endpoint (send buffer bounded to send_buffer) and
   * starts its connect. */
  void begin(bool use_tls, unsigned send_buffer, session_timing timing = {10000, 60000, 60000}) {
    tls = use_tls;
    const std::string address = test_address(0);
    listener = loopback_listen(address, 1883);
    ASSERT_GE(listener, 0);
    /* Inherited by the accepted socket, so the window it offers is small from the start. */
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    mqtt_endpoint endpoint{};
    std::snprintf(endpoint.host, sizeof endpoint.host, "%s", address.c_str());
    endpoint.port = 1883;
    endpoint.tls = use_tls;
    endpoint.send_buffer = send_buffer;
    if (use_tls) {
      ASSERT_TRUE(ca_create(&ca, "Session Test CA"));
      ASSERT_TRUE(ca_issue_certificate(&ca, "IP:" + address, 2, ca.folder, "server"));
      endpoint.ca_path = ca.hashed_dir.c_str();
    }
    const mqtt_connect_fields connect{"session-test", nullptr, nullptr, 60, true};
    session_init(session.get(),
                 endpoint,
                 connect,
                 timing,
                 session_events{},
                 session_output{&output, test_output::gather, test_output::written});
    session_connect(session.get(), monotonic_ms());
  }

  /* Accepts the session's connection as the broker (TLS handshake included), small
   * receive buffer. */
  bool accept_peer() {
    const long long deadline = monotonic_ms() + 10000;
    while (peer.fd < 0 && monotonic_ms() < deadline) {
      turn(20);
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 0) > 0) peer.fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (peer.fd < 0) return false;
    if (!tls) return true;
    peer.context = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_file(peer.context, (ca.folder + "/server.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(peer.context, (ca.folder + "/server.key").c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    peer.ssl = SSL_new(peer.context);
    SSL_set_fd(peer.ssl, peer.fd);
    /* The handshake needs both ends going: the broker's on a thread, the session's here. */
    std::atomic<int> accepted{0};
    std::thread handshake([&] { accepted = SSL_accept(peer.ssl) == 1 ? 1 : -1; });
    wait_until(
        [&] {
          turn(20);
          return accepted != 0;
        },
        10000);
    handshake.join();
    return accepted == 1;
  }

  /* Reads the CONNECT and answers CONNACK 0; true once the session is up. */
  bool connack() {
    char buffer[1024];
    std::string got;
    std::vector<parsed_packet> packets;
    const bool read = wait_until(
        [&] {
          turn(10);
          const long n = peer.read_some(buffer, sizeof buffer, 0);
          if (n > 0) got.append(buffer, static_cast<size_t>(n));
          packets.clear();
          return !got.empty() && parse_stream(got, &packets) && !packets.empty();
        },
        10000);
    if (!read || packets[0].type_byte != 0x10 || !peer.write_all(std::string("\x20\x02\x00\x00", 4))) return false;
    return wait_until(
        [&] {
          turn(10);
          return session->state == SESSION_UP;
        },
        10000);
  }

  /* What a turn that does anything changes. */
  struct progress {
    uint32_t read_start, read_end, control_length, control_sent;
    uint64_t written;
    session_state state;
    bool operator==(const progress &o) const {
      return read_start == o.read_start && read_end == o.read_end && control_length == o.control_length &&
             control_sent == o.control_sent && written == o.written && state == o.state;
    }
  };
  progress snapshot() const {
    const mqtt_session *s = session.get();
    return progress{s->reader.start, s->reader.end, s->control_length, s->control_sent, s->transport.written, s->state};
  }

  /* One turn of the event loop, polling at most cap_ms. */
  void turn(int cap_ms) {
    pollfd fds[SESSION_POLL_MAX];
    const unsigned count = session_poll_fds(session.get(), fds);
    const long long now = monotonic_ms();
    const long long next = session_next_ms(session.get(), now);
    int timeout = cap_ms;
    if (next != 0 && next - now < cap_ms) timeout = next <= now ? 0 : static_cast<int>(next - now);
    const int ready = poll(fds, count, timeout);
    const progress before = snapshot();
    const long long after = monotonic_ms();
    session_handle(session.get(), fds, ready > 0 ? count : 0, after);
    session_flush(session.get(), after);
    const long long due = session_next_ms(session.get(), after);
    if (snapshot() == before && due != 0 && due <= after) spins++;
  }
};

/* A broker that sends QoS 1 publishes and never reads: the acknowledgements the session owes
 * fill its output; it then stops reading and waits for the socket to take them, instead of
 * polling without a time-out while the unread packet looks ready. */
TEST_F(SessionTest, OwedAcknowledgementsThatCannotBeWrittenStopTheReadingWithoutSpinning) {
  begin(false, 4096);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  std::string flood;
  for (uint16_t id = 1; id <= 60000; id++) flood += publish_packet("QZ/a/b", "{}", 1, id);
  std::thread sender([&] { peer.write_all(flood); });
  ASSERT_TRUE(wait_until(
      [&] {
        turn(20);
        return session->answers_owed;
      },
      10000))
      << "the session's output never filled";
  spins = 0;
  for (int i = 0; i < 20; i++) turn(50);
  EXPECT_EQ(0u, spins) << "the loop spun while the session owed answers";
  pollfd fds[SESSION_POLL_MAX];
  ASSERT_EQ(1u, session_poll_fds(session.get(), fds));
  EXPECT_EQ(POLLOUT, fds[0].events) << "reads on while it cannot answer";
  EXPECT_EQ(SESSION_UP, session->state);
  shutdown(peer.fd, SHUT_RDWR);
  sender.join();
}

class SessionOutputOrder : public SessionTest, public ::testing::WithParamInterface<bool> {};

/* With a document half written into a full socket, a QoS 1 publish from the broker makes the
 * session owe a PUBACK: it goes out after that document, never inside it, over TCP and
 * TLS (where a repeated write must also start with the same bytes). */
TEST_P(SessionOutputOrder, OwnPacketsGoBetweenTheOwnersPacketsNeverInside) {
  begin(GetParam(), 4096);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  constexpr int kDocuments = 400;
  for (int i = 0; i < kDocuments; i++) {
    std::string payload = "{\"n\":" + std::to_string(i) + ",\"f\":\"" + std::string(2990, 'f') + "\"}";
    output.packets.push_back(publish_packet("iot-2/evt/status/fmt/json", payload, 0, 0));
  }
  /* The socket is full when the output stops moving with a document half written. */
  size_t head = 0;
  uint32_t sent = 0;
  int still = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        turn(20);
        still = output.head == head && output.sent == sent ? still + 1 : 0;
        head = output.head;
        sent = output.sent;
        return still >= 5 && session->owner_partial;
      },
      10000))
      << "no document was left half written";
  ASSERT_TRUE(peer.write_all(publish_packet("QZ/a/b", "{}", 1, 7)));
  ASSERT_TRUE(wait_until(
      [&] {
        turn(20);
        return session->control_length > session->control_sent;
      },
      10000))
      << "the PUBACK was never owed";

  /* The broker reads again: everything, while the session writes the rest. */
  std::string received;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buffer[65536];
    const long long deadline = monotonic_ms() + 30000;
    while (!done && monotonic_ms() < deadline) {
      const long n = peer.read_some(buffer, sizeof buffer, 20);
      if (n < 0) break;
      if (n > 0) received.append(buffer, static_cast<size_t>(n));
    }
  });
  wait_until(
      [&] {
        turn(20);
        return output.head == output.packets.size() && !session_output_pending(session.get());
      },
      30000);
  /* What the socket holds reaches the reader; then it stops. */
  wait_until(
      [&] {
        turn(20);
        return false;
      },
      300);
  done = true;
  reader.join();

  std::vector<parsed_packet> packets;
  ASSERT_TRUE(parse_stream(received, &packets)) << "the stream is not whole packets";
  int next = 0, pubacks = 0;
  for (const parsed_packet &p : packets) {
    if (p.type_byte == 0x40) {
      EXPECT_EQ(std::string("\x00\x07", 2), p.body);
      pubacks++;
      continue;
    }
    ASSERT_EQ(0x30, p.type_byte);
    const std::string head = "{\"n\":" + std::to_string(next) + ",";
    ASSERT_NE(std::string::npos, p.body.find(head)) << "document " << next << " corrupted or missing";
    next++;
  }
  EXPECT_EQ(kDocuments, next);
  EXPECT_EQ(1, pubacks);
}

INSTANTIATE_TEST_SUITE_P(Links, SessionOutputOrder, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "Tls" : "Tcp");
                         });

} // namespace
