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
#include <functional>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "fake_broker.h"
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
      const int n = ssl != nullptr
                        ? SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done))
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

/* A PUBLISH from the broker with the given QoS (1 and 2: packet id id). */
std::string publish_packet(const std::string &topic, const std::string &payload, int qos, uint16_t id) {
  return mqtt_publish_bytes(topic, payload, qos, id);
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

/* The session under test with its broker: listener, the accepted link, what the session
 * told its owner, and the loop turns that drive it as the daemon's event loop does, at the
 * real time or at chosen times. */
class SessionTest : public ::testing::Test {
protected:
  std::unique_ptr<mqtt_session> session{new mqtt_session()};
  test_output output;
  int listener = -1;
  peer_link peer;
  test_ca ca;
  bool tls = false;
  unsigned spins = 0; /* loop turns that did nothing and still asked to be run again at once */

  /* What the session told its owner. */
  std::vector<int> answers;                            /* connected */
  std::vector<std::string> losses;                     /* lost: the reason */
  std::vector<std::string> messages;                   /* message: the payload ("<oversize N>" without one) */
  std::vector<uint16_t> acknowledged;                  /* delivered */
  std::function<int(const mqtt_publish *)> on_message; /* the owner's answer; 1 when unset */

  static SessionTest *of(void *context) { return static_cast<SessionTest *>(context); }
  static void connected(void *context, mqtt_session *, int rc) { of(context)->answers.push_back(rc); }
  static void lost(void *context, mqtt_session *s, uint64_t) {
    of(context)->losses.push_back(session_reason(s));
  }
  static int message(void *context, mqtt_session *, const mqtt_publish *m) {
    SessionTest *t = of(context);
    t->messages.push_back(m->payload != nullptr
                              ? std::string(reinterpret_cast<const char *>(m->payload), m->payload_length)
                              : "<oversize " + std::to_string(m->payload_length) + ">");
    return t->on_message ? t->on_message(m) : 1;
  }
  static void delivered(void *context, mqtt_session *, uint16_t id) {
    of(context)->acknowledged.push_back(id);
  }

  void TearDown() override {
    EXPECT_EQ(0u, spins) << "a turn did nothing and the next due time was not in the future";
    session_release(session.get());
    peer.close_all();
    if (listener >= 0) close(listener);
    if (!ca.folder.empty()) ca_remove(&ca);
  }

  /* Listens, sets the session up for the endpoint (send buffer bounded to send_buffer, no
   * TCP user time-out) and starts its connect at `at`. */
  void begin(bool use_tls, unsigned send_buffer, session_timing timing = {10000, 60000, 60000},
             long long at = 0) {
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
                 session_events{this, connected, lost, message, delivered},
                 session_output{&output, test_output::gather, test_output::written});
    session_connect(session.get(), at != 0 ? at : monotonic_ms());
  }

  /* Accepts the session's connection as the broker (TLS handshake included), small
   * receive buffer. */
  bool accept_peer(long long at = 0) {
    const long long deadline = monotonic_ms() + 10000;
    while (peer.fd < 0 && monotonic_ms() < deadline) {
      if (at != 0) {
        step(at, 20);
      } else {
        turn(20);
      }
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 0) > 0) peer.fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (peer.fd < 0) return false;
    if (!tls) return true;
    peer.context = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_file(peer.context, (ca.folder + "/server.pem").c_str(), SSL_FILETYPE_PEM) !=
            1 ||
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

  /* Packets the broker read within timeout_ms (whole ones; the rest is kept). */
  std::string peer_input;
  std::vector<parsed_packet> peer_read(int timeout_ms) {
    char buffer[65536];
    const long n = peer.read_some(buffer, sizeof buffer, timeout_ms);
    if (n > 0) peer_input.append(buffer, static_cast<size_t>(n));
    std::vector<parsed_packet> packets;
    size_t whole = 0;
    for (size_t cut = peer_input.size(); cut > 0 && whole == 0; cut--) {
      std::vector<parsed_packet> candidate;
      if (parse_stream(peer_input.substr(0, cut), &candidate)) {
        packets = candidate;
        whole = cut;
      }
    }
    peer_input.erase(0, whole);
    return packets;
  }

  /* Reads the CONNECT and answers with the given bytes (CONNACK 0 by default); true once
   * the CONNECT came. */
  bool answer_connect(const std::string &answer = std::string("\x20\x02\x00\x00", 4), long long at = 0) {
    std::vector<parsed_packet> packets;
    const bool read = wait_until(
        [&] {
          if (at != 0) {
            step(at, 10);
          } else {
            turn(10);
          }
          packets = peer_read(0);
          return !packets.empty();
        },
        10000);
    return read && packets[0].type_byte == 0x10 && peer.write_all(answer);
  }

  /* Answers the CONNECT with CONNACK 0; true once the session is up. */
  bool connack(long long at = 0) {
    if (!answer_connect(std::string("\x20\x02\x00\x00", 4), at)) return false;
    return wait_until(
        [&] {
          if (at != 0) {
            step(at, 10);
          } else {
            turn(10);
          }
          return session->state == SESSION_UP;
        },
        10000);
  }

  /* What a turn that does anything changes. */
  struct progress {
    uint32_t read_start, read_end, control_length, control_sent;
    uint64_t written;
    session_phase state;
    bool operator==(const progress &o) const {
      return read_start == o.read_start && read_end == o.read_end && control_length == o.control_length &&
             control_sent == o.control_sent && written == o.written && state == o.state;
    }
  };
  progress snapshot() const {
    const mqtt_session *s = session.get();
    return progress{
        s->reader.start, s->reader.end, s->control_length, s->control_sent, s->transport.written, s->state};
  }

  /* One turn of the event loop at time `at` (0: the real time after the wait), after
   * waiting for the descriptors at most wait_ms of real time. A turn that changes nothing
   * must not ask to run again at once. */
  void step(long long at, int wait_ms) {
    pollfd fds[SESSION_POLL_MAX];
    const unsigned count = session_poll_fds(session.get(), fds);
    const int ready = poll(fds, count, wait_ms);
    const long long now = at != 0 ? at : monotonic_ms();
    const progress before = snapshot();
    session_handle(session.get(), fds, ready > 0 ? count : 0, now);
    session_flush(session.get(), now);
    const long long due = session_next_ms(session.get(), now);
    if (snapshot() == before && due != 0 && due <= now) spins++;
  }

  /* One turn at the real time, polling at most cap_ms or until the session's next due time. */
  void turn(int cap_ms) {
    const long long now = monotonic_ms();
    const long long next = session_next_ms(session.get(), now);
    int timeout = cap_ms;
    if (next != 0 && next - now < cap_ms) timeout = next <= now ? 0 : static_cast<int>(next - now);
    step(0, timeout);
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

constexpr long long T0 = 1000000; /* the chosen time of the connect */
constexpr unsigned KEEP_ALIVE = 10000, STALL = 30000;

/* What the broker does in a row of the keep-alive table. */
enum output_feed { FEED_NONE, FEED_TRICKLE, FEED_FLOOD };

struct keep_alive_case {
  int line;
  const char *name;
  output_feed feed;     /* the owner's output: none, a document every step, or 2 MB at once */
  bool peer_reads;      /* the broker takes what comes */
  bool answer_pings;    /* and answers each PINGREQ */
  long long pause_from; /* the owner takes no messages from .. until (offsets from T0) */
  long long pause_until;
  long long lost_from, lost_by; /* the session ends within [from, by]; 0: stays up. For a
                                   flood, counted from the output's last progress */
  const char *reason;
};
void PrintTo(const keep_alive_case &c, std::ostream *os) { *os << c.name; }

class SessionKeepAlive : public SessionTest, public ::testing::WithParamInterface<keep_alive_case> {};

/* Chosen times, 500 ms apart, over four keep-alive intervals: when pings go out, when a
 * silent broker or a stalled output ends the session, and that a paused owner does not. */
TEST_P(SessionKeepAlive, PingsAndLosesTheLinkOnTime) {
  const keep_alive_case &c = GetParam();
  SCOPED_TRACE(c.line);
  begin(false, 4096, session_timing{10000, KEEP_ALIVE, STALL}, T0);
  ASSERT_TRUE(accept_peer(T0));
  ASSERT_TRUE(connack(T0));
  if (c.feed == FEED_FLOOD)
    for (int i = 0; i < 700; i++) output.packets.push_back(publish_packet("t", std::string(3000, 'f'), 0, 0));
  long long lost_at = 0, progress_at = 0;
  for (long long offset = 0; offset <= 6 * KEEP_ALIVE && lost_at == 0; offset += 500) {
    if (c.pause_from != 0) session_pause(session.get(), offset >= c.pause_from && offset < c.pause_until);
    if (c.feed == FEED_TRICKLE) output.packets.push_back(publish_packet("t", "{}", 0, 0));
    const size_t head = output.head;
    const uint32_t sent = output.sent;
    step(T0 + offset, 5);
    if (output.head != head || output.sent != sent) progress_at = offset;
    if (session->state != SESSION_UP) {
      lost_at = offset;
      break;
    }
    if (!c.peer_reads) continue;
    for (const parsed_packet &p : peer_read(5)) {
      if (p.type_byte == 0xC0 && c.answer_pings) {
        ASSERT_TRUE(peer.write_all(std::string("\xD0\x00", 2)));
      }
    }
  }
  if (c.lost_from == 0) {
    EXPECT_EQ(0, lost_at) << "the session ended";
    EXPECT_TRUE(losses.empty());
    return;
  }
  const long long from = c.feed == FEED_FLOOD ? progress_at : 0;
  EXPECT_GE(lost_at, from + c.lost_from);
  EXPECT_LE(lost_at, from + c.lost_by);
  ASSERT_EQ(1u, losses.size());
  EXPECT_EQ(c.reason, losses[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SessionKeepAlive,
    ::testing::Values(
        keep_alive_case{__LINE__,
                        "IdleBothWays",
                        FEED_NONE,
                        true,
                        false,
                        0,
                        0,
                        20000,
                        20000,
                        "no answer to a ping within 10 s"},
        keep_alive_case{__LINE__, "IdleAnswered", FEED_NONE, true, true, 0, 0, 0, 0, ""},
        keep_alive_case{__LINE__,
                        "SendingWhileTheBrokerIsSilent",
                        FEED_TRICKLE,
                        true,
                        false,
                        0,
                        0,
                        20000,
                        20000,
                        "no answer to a ping within 10 s"},
        keep_alive_case{
            __LINE__, "PausedOneAndAHalfIntervalsThenResumed", FEED_NONE, true, true, 10500, 25500, 0, 0, ""},
        keep_alive_case{__LINE__,
                        "OutputBlockedPastTheStallLimit",
                        FEED_FLOOD,
                        false,
                        false,
                        0,
                        0,
                        STALL,
                        STALL + 500,
                        "output stalled for 30 s: the broker takes nothing"}),
    [](const ::testing::TestParamInfo<keep_alive_case> &info) { return std::string(info.param.name); });

/* The time the session asks to be woken is the time its timer acts: not a moment later
 * (the loop would sleep through it) nor earlier (it would spin). */
TEST_F(SessionTest, TheTimeToWakeIsTheTimeTheTimerActs) {
  begin(false, 0, session_timing{10000, KEEP_ALIVE, STALL}, T0);
  ASSERT_TRUE(accept_peer(T0));
  ASSERT_TRUE(connack(T0));
  const long long ping_at = session_next_ms(session.get(), T0);
  ASSERT_GT(ping_at, T0);
  step(ping_at - 1, 5);
  EXPECT_EQ(0, session->ping_sent) << "pinged before the time it gave";
  step(ping_at, 5);
  EXPECT_EQ(ping_at, session->ping_sent) << "did not ping at the time it gave";
  const long long lost_at = session_next_ms(session.get(), ping_at);
  ASSERT_GT(lost_at, ping_at);
  step(lost_at - 1, 5);
  EXPECT_EQ(SESSION_UP, session->state);
  step(lost_at, 5);
  EXPECT_EQ(SESSION_DOWN, session->state) << "the unanswered ping did not end it at the time it gave";
}

/* Input the owner lets wait is not polled for before its time and is read at that time
 * without poll reporting it; a later time does not extend the wait, and a ping's answer
 * never waits. */
TEST_F(SessionTest, InputLetWaitIsReadAtItsTimeAndAPingsAnswerNeverWaits) {
  begin(false, 0, session_timing{10000, KEEP_ALIVE, STALL}, T0);
  ASSERT_TRUE(accept_peer(T0));
  ASSERT_TRUE(connack(T0));
  const long long ping_at = session_next_ms(session.get(), T0);
  session_defer_reading(session.get(), T0 + 20);
  session_defer_reading(session.get(), T0 + 500);
  ASSERT_TRUE(peer.write_all(std::string("\x40\x02\x00\x05", 4)));
  pollfd fds[SESSION_POLL_MAX];
  EXPECT_EQ(0u, session_poll_fds(session.get(), fds)) << "polled for input let wait";
  EXPECT_EQ(T0 + 20, session_next_ms(session.get(), T0 + 1));
  step(T0 + 19, 0);
  EXPECT_TRUE(acknowledged.empty()) << "read before its time";
  step(T0 + 20, 0);
  EXPECT_EQ(std::vector<uint16_t>{5}, acknowledged) << "not read at its time";

  session_defer_reading(session.get(), ping_at + 3 * KEEP_ALIVE);
  step(ping_at, 0);
  ASSERT_EQ(ping_at, session->ping_sent);
  EXPECT_EQ(1u, session_poll_fds(session.get(), fds));
  EXPECT_NE(0, fds[0].events & POLLIN) << "the ping's answer waits";
  ASSERT_TRUE(peer.write_all(std::string("\xD0\x00", 2)));
  step(ping_at + 1, 1000);
  EXPECT_EQ(0, session->ping_sent);
}

struct connack_case {
  int line;
  const char *name;
  std::string answer; /* bytes the broker sends after the CONNECT; empty: none */
  int rc;
  const char *reason;
};
void PrintTo(const connack_case &c, std::ostream *os) { *os << c.name; }

class SessionConnack : public SessionTest, public ::testing::WithParamInterface<connack_case> {};

/* The connect's answer: accepted, each refusal with its code, a first packet that is not a
 * CONNACK or is a broken one, and none at all by the deadline (not a moment before). */
TEST_P(SessionConnack, AnswersTheConnectOnce) {
  const connack_case &c = GetParam();
  SCOPED_TRACE(c.line);
  begin(false, 0, session_timing{10000, KEEP_ALIVE, STALL}, T0);
  ASSERT_TRUE(accept_peer(T0));
  if (c.answer.empty()) {
    ASSERT_TRUE(wait_until(
        [&] {
          step(T0, 10);
          return !peer_read(0).empty();
        },
        10000));
    step(T0 + 9999, 5);
    EXPECT_TRUE(answers.empty()) << "failed before the deadline";
    step(T0 + 10000, 5);
  } else {
    ASSERT_TRUE(answer_connect(c.answer, T0));
    wait_until(
        [&] {
          step(T0, 10);
          return !answers.empty();
        },
        10000);
  }
  ASSERT_EQ(1u, answers.size());
  EXPECT_EQ(c.rc, answers[0]);
  EXPECT_EQ(c.reason, std::string(session_reason(session.get())));
  EXPECT_EQ(c.rc == 0 ? SESSION_UP : SESSION_DOWN, session_state(session.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SessionConnack,
    ::testing::Values(connack_case{__LINE__, "Accepted", std::string("\x20\x02\x00\x00", 4), 0, ""},
                      connack_case{__LINE__,
                                   "Protocol",
                                   std::string("\x20\x02\x00\x01", 4),
                                   1,
                                   "refused by the broker (return code 1)"},
                      connack_case{__LINE__,
                                   "Identifier",
                                   std::string("\x20\x02\x00\x02", 4),
                                   2,
                                   "refused by the broker (return code 2)"},
                      connack_case{__LINE__,
                                   "Unavailable",
                                   std::string("\x20\x02\x00\x03", 4),
                                   3,
                                   "refused by the broker (return code 3)"},
                      connack_case{__LINE__,
                                   "Credentials",
                                   std::string("\x20\x02\x00\x04", 4),
                                   4,
                                   "refused by the broker (return code 4)"},
                      connack_case{__LINE__,
                                   "NotAuthorised",
                                   std::string("\x20\x02\x00\x05", 4),
                                   5,
                                   "refused by the broker (return code 5)"},
                      connack_case{__LINE__,
                                   "AnotherPacketFirst",
                                   std::string("\xD0\x00", 2),
                                   -1,
                                   "the broker answered CONNECT with another packet (type 13)"},
                      connack_case{__LINE__,
                                   "BrokenConnack",
                                   std::string("\x20\x03\x00\x00\x00", 5),
                                   -1,
                                   "the broker's answer to CONNECT was not a valid CONNACK"},
                      connack_case{__LINE__, "NoAnswer", "", -1, "no answer within 10 s (CONNACK)"}),
    [](const ::testing::TestParamInfo<connack_case> &info) { return std::string(info.param.name); });

/* Turns until the condition holds (10 s at most). */
#define TURN_UNTIL(condition) \
  ASSERT_TRUE(wait_until(     \
      [&] {                   \
        turn(10);             \
        return (condition);   \
      },                      \
      10000))

/* Each acknowledgement carries the identifier of the packet it answers, and goes out only
 * once the owner took the message (one it cannot take now is offered again, unanswered);
 * QoS 2 is delivered once, answered with PUBREC until PUBREL ends it, and a later publish
 * with the same identifier is a new message. */
TEST_F(SessionTest, AnswersEachPublishWithItsOwnIdentifier) {
  begin(false, 0);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  on_message = [](const mqtt_publish *) { return 0; };
  ASSERT_TRUE(peer.write_all(publish_packet("QZ/a", "one", 1, 7) + publish_packet("QZ/a", "two", 1, 300) +
                             publish_packet("QZ/a", "three", 1, 65535)));
  TURN_UNTIL(!messages.empty());
  session_pause(session.get(), true); /* as the relay does while it cannot take any */
  for (int i = 0; i < 5; i++) turn(10);
  EXPECT_TRUE(peer_read(50).empty()) << "answered a message the owner did not take";
  on_message = nullptr;
  session_pause(session.get(), false);
  std::vector<parsed_packet> got;
  TURN_UNTIL((got = peer_read(0)).size() > 0 || !got.empty());
  while (got.size() < 3) {
    std::vector<parsed_packet> more;
    TURN_UNTIL(!(more = peer_read(0)).empty());
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ((std::vector<std::string>{"one", "one", "two", "three"}), messages);
  const char *ids[] = {"\x00\x07", "\x01\x2C", "\xFF\xFF"};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(0x40, got[static_cast<size_t>(i)].type_byte);
    EXPECT_EQ(std::string(ids[i], 2), got[static_cast<size_t>(i)].body) << i;
  }

  messages.clear();
  const std::string qos2 = publish_packet("QZ/a", "twice", 2, 9);
  ASSERT_TRUE(peer.write_all(qos2 + std::string(1, '\x3C') + qos2.substr(1)));
  std::vector<parsed_packet> recs;
  while (recs.size() < 2) {
    std::vector<parsed_packet> more;
    TURN_UNTIL(!(more = peer_read(0)).empty());
    recs.insert(recs.end(), more.begin(), more.end());
  }
  EXPECT_EQ(1u, messages.size()) << "a QoS 2 publish sent again was delivered again";
  for (const parsed_packet &p : recs) EXPECT_EQ(0x50, p.type_byte);
  ASSERT_TRUE(peer.write_all(std::string("\x62\x02\x00\x09", 4)));
  std::vector<parsed_packet> comp;
  TURN_UNTIL(!(comp = peer_read(0)).empty());
  EXPECT_EQ(0x70, comp[0].type_byte);
  EXPECT_EQ(std::string("\x00\x09", 2), comp[0].body);
  ASSERT_TRUE(peer.write_all(qos2));
  TURN_UNTIL(messages.size() == 2);

  /* Acknowledgements of the session's own packets reach the owner with their identifier. */
  ASSERT_TRUE(peer.write_all(std::string("\x40\x02\x12\x34", 4)));
  TURN_UNTIL(!acknowledged.empty());
  EXPECT_EQ(0x1234, acknowledged[0]);
}

/* A ping on request goes once however often it is asked for while it waits; only its answer
 * (not an acknowledgement) shows that the broker reads this connection. */
TEST_F(SessionTest, APingOnRequestIsAnsweredForThisConnectionOnly) {
  begin(false, 0);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  ASSERT_TRUE(peer.write_all(std::string("\x40\x02\x12\x34", 4)));
  TURN_UNTIL(!acknowledged.empty());
  EXPECT_EQ(0, session_ping_answered(session.get()));
  EXPECT_EQ(1, session_ping_now(session.get(), monotonic_ms()));
  EXPECT_EQ(1, session_ping_now(session.get(), monotonic_ms()));
  std::vector<parsed_packet> got;
  TURN_UNTIL(!(got = peer_read(0)).empty());
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(0xC0, got[0].type_byte);
  ASSERT_TRUE(peer.write_all(std::string("\xD0\x00", 2)));
  TURN_UNTIL(session_ping_answered(session.get()) == 1);
  session_disconnect(session.get());
  EXPECT_EQ(0, session_ping_answered(session.get()));
  EXPECT_EQ(0, session_ping_now(session.get(), monotonic_ms()));
}

/* A disconnect that reads on: DISCONNECT goes out after the answers owed, the QoS 0 messages
 * sent before the broker closes are handed over, QoS 1 ones left unanswered to the broker,
 * and the broker's close ends the session without a loss. */
TEST_F(SessionTest, ADisconnectReadsWhatTheBrokerSentUntilItCloses) {
  begin(false, 0);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  ASSERT_TRUE(peer.write_all(publish_packet("QZ/a", "before", 1, 3)));
  TURN_UNTIL(messages.size() == 1);
  ASSERT_EQ(1, session_disconnect_reading(session.get(), monotonic_ms()));
  EXPECT_EQ(SESSION_CLOSING, session->state);
  std::vector<parsed_packet> got;
  while (got.size() < 2) {
    std::vector<parsed_packet> more;
    TURN_UNTIL(!(more = peer_read(0)).empty());
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(0x40, got[0].type_byte) << "the answer owed goes first";
  EXPECT_EQ(0xE0, got[1].type_byte);
  ASSERT_TRUE(peer.write_all(publish_packet("QZ/a", "late", 0, 0) + publish_packet("QZ/a", "kept", 1, 4) +
                             publish_packet("QZ/a", "later", 0, 0)));
  TURN_UNTIL(messages.size() == 3);
  shutdown(peer.fd, SHUT_WR);
  TURN_UNTIL(session->state == SESSION_DOWN);
  EXPECT_EQ((std::vector<std::string>{"before", "late", "later"}), messages);
  EXPECT_TRUE(losses.empty());
  EXPECT_TRUE(peer_read(50).empty()) << "answered after the DISCONNECT";
}

/* A handler that ends the session gets no further event from it, though more packets were
 * read in the same turn. */
TEST_F(SessionTest, AHandlerThatEndsTheSessionStopsFurtherEvents) {
  begin(false, 0);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  on_message = [this](const mqtt_publish *) {
    session_disconnect(session.get());
    return 1;
  };
  ASSERT_TRUE(peer.write_all(publish_packet("QZ/a", "1", 0, 0) + publish_packet("QZ/a", "2", 0, 0) +
                             publish_packet("QZ/a", "3", 1, 5)));
  TURN_UNTIL(session->state == SESSION_DOWN);
  for (int i = 0; i < 5; i++) turn(10);
  EXPECT_EQ(1u, messages.size());
  EXPECT_TRUE(losses.empty());
}

/* A packet that fills the read buffer exactly is delivered whole; one byte more is read
 * past and reported as too large, and the packet after it is delivered. */
TEST_F(SessionTest, APacketFillingTheReadBufferExactlyIsDelivered) {
  begin(false, 0);
  ASSERT_TRUE(accept_peer());
  ASSERT_TRUE(connack());
  /* Fixed header of 4 bytes (remaining length over 16 383), topic "QZ/a" with its length. */
  const std::string exact_payload(SESSION_INPUT_CAPACITY - 4 - 6, 'e');
  const std::string exact = publish_packet("QZ/a", exact_payload, 0, 0);
  ASSERT_EQ(SESSION_INPUT_CAPACITY, exact.size());
  const std::string over = publish_packet("QZ/a", exact_payload + "o", 0, 0);
  ASSERT_TRUE(peer.write_all(exact + over + publish_packet("QZ/a", "after", 0, 0)));
  TURN_UNTIL(messages.size() == 3);
  EXPECT_EQ(exact_payload, messages[0]);
  EXPECT_EQ("<oversize " + std::to_string(over.size() - 4) + ">", messages[1]);
  EXPECT_EQ("after", messages[2]);
}

} // namespace
