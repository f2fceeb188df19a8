/* Endpoint derivation, the publish queue and the interruptible pause. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon.h"
#include "relay.h"
#include "relay_queue.h"

namespace {

struct endpoint_case {
  int line;
  uint16_t mode;
  uint8_t ssl;
  std::string orgid, dtypeid, devid;
  std::string client_id, uri;
};
void PrintTo(const endpoint_case &c, std::ostream *os) { *os << "line " << c.line; }


module_settings make_settings(const endpoint_case &c) {
  module_settings s = {};
  s.mode = c.mode;
  s.ssl = c.ssl;
  std::strncpy(s.orgid, c.orgid.c_str(), sizeof s.orgid - 1);
  std::strncpy(s.dtypeid, c.dtypeid.c_str(), sizeof s.dtypeid - 1);
  std::strncpy(s.devid, c.devid.c_str(), sizeof s.devid - 1);
  return s;
}

const std::string L127a(127, 'a'), L127b(127, 'b'), L127c(127, 'c');

class CloudEndpoint : public ::testing::TestWithParam<endpoint_case> {};

TEST_P(CloudEndpoint, DerivesIdentifierAndUriWhole) {
  const endpoint_case &c = GetParam();
  SCOPED_TRACE(c.line);
  module_settings s = make_settings(c);
  char id[CLOUD_CLIENT_ID_CAPACITY];
  char uri[CLOUD_URI_CAPACITY];
  ASSERT_EQ(1, cloud_endpoint(&s, "qs.example", NIMBA_REGISTERED_DOMAIN, id, sizeof id, uri, sizeof uri));
  EXPECT_EQ(c.client_id, id);
  EXPECT_EQ(c.uri, uri);
}

const std::string D = NIMBA_REGISTERED_DOMAIN;

INSTANTIATE_TEST_SUITE_P(
    Modes, CloudEndpoint,
    ::testing::Values(
        endpoint_case{__LINE__, 0, 0, "org", "typ", "dev1", "d:quickstart:zunquo:dev1", "qs.example:1883"},
        endpoint_case{__LINE__, 0, 1, "org", "typ", "dev1", "d:quickstart:zunquo:dev1", "ssl://qs.example:8883"},
        endpoint_case{__LINE__, 2, 0, "org", "typ", "dev1", "d:quickstart:zunquo:dev1", "qs.example:1883"},
        endpoint_case{__LINE__, 1, 0, "org", "typ", "dev1", "d:org:typ:dev1", "org." + D + ":1883"},
        endpoint_case{__LINE__, 1, 1, "org", "typ", "dev1", "d:org:typ:dev1", "ssl://org." + D + ":8883"},
        endpoint_case{__LINE__, 1, 1, L127a, L127b, L127c, "d:" + L127a + ":" + L127b + ":" + L127c,
                      "ssl://" + L127a + "." + D + ":8883"},
        endpoint_case{__LINE__, 0, 1, L127a, L127b, L127c, "d:quickstart:zunquo:" + L127c,
                      "ssl://qs.example:8883"}));

TEST(CloudEndpointCapacity, LongestTextsFitTheShippedBuffers) {
  endpoint_case c{__LINE__, 1, 1, L127a, L127b, L127c, "", ""};
  module_settings s = make_settings(c);
  char id[CLOUD_CLIENT_ID_CAPACITY];
  char uri[CLOUD_URI_CAPACITY];
  ASSERT_EQ(1, cloud_endpoint(&s, NIMBA_QUICKSTART_HOST, NIMBA_REGISTERED_DOMAIN, id, sizeof id,
                              uri, sizeof uri));
  EXPECT_EQ(2u + 3 * 127 + 2, std::strlen(id));
  s.mode = 0;
  ASSERT_EQ(1, cloud_endpoint(&s, NIMBA_QUICKSTART_HOST, NIMBA_REGISTERED_DOMAIN, id, sizeof id,
                              uri, sizeof uri));
}

TEST(CloudEndpointCapacity, TooSmallBufferReportsAndStaysTerminated) {
  endpoint_case c{__LINE__, 1, 0, L127a, L127b, L127c, "", ""};
  module_settings s = make_settings(c);
  char id[16];
  char uri[16];
  std::memset(id, 'x', sizeof id);
  std::memset(uri, 'x', sizeof uri);
  EXPECT_EQ(0, cloud_endpoint(&s, "h", "d", id, sizeof id, uri, sizeof uri));
  EXPECT_EQ(15u, std::strlen(id));
  EXPECT_EQ(15u, std::strlen(uri));
}

TEST(GatewayEndpoint, LongestAddressFits) {
  module_settings s = {};
  std::memset(s.devip, '7', 127);
  char uri[GATEWAY_URI_CAPACITY];
  ASSERT_EQ(1, gateway_endpoint(&s, uri, sizeof uri));
  EXPECT_EQ(std::string(127, '7') + ":1883", uri);
  s.devip[0] = '\0';
  ASSERT_EQ(1, gateway_endpoint(&s, uri, sizeof uri));
  EXPECT_STREQ(":1883", uri);
}

/* The queue is large (fixed storage): one per test, on the heap. */
struct queue_holder {
  std::unique_ptr<relay_queue> q{new relay_queue()};
  queue_holder() { relay_queue_reset(q.get()); }
};

std::string pop_text(relay_queue *q) {
  relay_document doc;
  if (!relay_queue_pop(q, &doc)) return "<closed>";
  relay_queue_release(q); /* sent */
  return std::string(doc.data, doc.length);
}

TEST(RelayQueue, KeepsOrderAndDropsTheOldestWhenFull) {
  queue_holder h;
  relay_queue *q = h.q.get();
  for (unsigned i = 0; i < RELAY_QUEUE_SLOTS + 5; i++) {
    std::string text = "m" + std::to_string(i);
    ASSERT_EQ(1, relay_queue_push(q, text.data(), static_cast<uint32_t>(text.size())));
  }
  EXPECT_EQ(RELAY_QUEUE_SLOTS, relay_queue_count(q));
  EXPECT_EQ(5u, relay_queue_take_dropped(q));
  EXPECT_EQ(0u, relay_queue_take_dropped(q));
  relay_queue_set_ready(q, true);
  for (unsigned i = 5; i < RELAY_QUEUE_SLOTS + 5; i++) EXPECT_EQ("m" + std::to_string(i), pop_text(q));
  EXPECT_EQ(0u, relay_queue_count(q));
}

TEST(RelayQueue, HoldsFullSizeDocumentsAndRefusesLonger) {
  queue_holder h;
  relay_queue *q = h.q.get();
  std::string full(RELAY_DOCUMENT_CAPACITY, 'f');
  EXPECT_EQ(1, relay_queue_push(q, full.data(), RELAY_DOCUMENT_CAPACITY));
  EXPECT_EQ(0, relay_queue_push(q, full.data(), RELAY_DOCUMENT_CAPACITY + 1));
  relay_queue_set_ready(q, true);
  EXPECT_EQ(full, pop_text(q));
}

/* Short documents stay in their slot, longer ones go to the long store: lengths around the
 * limit, mixed, through a full queue that drops the oldest, come back whole and in order. */
TEST(RelayQueue, MixedLengthsComeBackWholeThroughAFullQueue) {
  queue_holder h;
  relay_queue *q = h.q.get();
  const uint32_t lengths[] = {0, 1, RELAY_SLOT_CAPACITY - 1, RELAY_SLOT_CAPACITY,
                              RELAY_SLOT_CAPACITY + 1, RELAY_DOCUMENT_CAPACITY};
  constexpr unsigned extra = 7;
  std::vector<std::string> pushed;
  for (unsigned i = 0; i < RELAY_QUEUE_SLOTS + extra; i++) {
    uint32_t length = lengths[i % (sizeof lengths / sizeof lengths[0])];
    std::string text(length, static_cast<char>('a' + i % 26));
    if (length > 0) text[0] = static_cast<char>('0' + i % 10);
    pushed.push_back(text);
    ASSERT_EQ(1, relay_queue_push(q, text.data(), length));
  }
  EXPECT_EQ(extra, relay_queue_take_dropped(q));
  relay_queue_set_ready(q, true);
  for (unsigned i = extra; i < pushed.size(); i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(pushed[i], pop_text(q));
  }
  /* Emptied, the queue starts again at its first slot; the long store still matches. */
  std::string longer(RELAY_SLOT_CAPACITY + 9, 'z');
  ASSERT_EQ(1, relay_queue_push(q, "short", 5));
  ASSERT_EQ(1, relay_queue_push(q, longer.data(), static_cast<uint32_t>(longer.size())));
  EXPECT_EQ("short", pop_text(q));
  EXPECT_EQ(longer, pop_text(q));
}

TEST(RelayQueue, ConsumerWaitsUntilReadyThenTakesInOrder) {
  queue_holder h;
  relay_queue *q = h.q.get();
  relay_queue_push(q, "a", 1);
  relay_queue_push(q, "b", 1);
  std::string taken;
  std::thread consumer([&] {
    std::string first = pop_text(q);
    taken = first + pop_text(q);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ("", taken);
  EXPECT_EQ(2u, relay_queue_count(q));
  relay_queue_set_ready(q, true);
  consumer.join();
  EXPECT_EQ("ab", taken);
}

TEST(RelayQueue, CloseWakesAWaitingConsumer) {
  queue_holder h;
  relay_queue *q = h.q.get();
  relay_queue_set_ready(q, true);
  std::string taken;
  std::thread consumer([&] { taken = pop_text(q); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  relay_queue_close(q);
  consumer.join();
  EXPECT_EQ("<closed>", taken);
  EXPECT_EQ(0, relay_queue_push(q, "x", 1));
}

/* The producer may send a document itself only when that keeps the order: the queue open,
 * ready and empty, and no other document being sent. */
TEST(RelayQueue, ClaimOnlyWhenNothingIsQueuedOrBeingSent) {
  queue_holder h;
  relay_queue *q = h.q.get();
  relay_document doc;
  EXPECT_EQ(0, relay_queue_claim(q)) << "not ready";
  relay_queue_set_ready(q, true);
  ASSERT_EQ(1, relay_queue_claim(q)) << "ready and idle";
  EXPECT_EQ(0, relay_queue_claim(q)) << "claimed";
  relay_queue_release(q);
  relay_queue_push(q, "a", 1);
  EXPECT_EQ(0, relay_queue_claim(q)) << "a document waits";
  ASSERT_EQ(1, relay_queue_pop(q, &doc));
  EXPECT_EQ(0, relay_queue_claim(q)) << "the consumer sends";
  relay_queue_release(q);
  EXPECT_EQ(1, relay_queue_claim(q)) << "sent";
  relay_queue_release(q);
  relay_queue_set_ready(q, false);
  EXPECT_EQ(0, relay_queue_claim(q)) << "not ready again";
  relay_queue_set_ready(q, true);
  relay_queue_close(q);
  EXPECT_EQ(0, relay_queue_claim(q)) << "closed";
}

/* A document queued while the producer sends one itself waits for that send to end. */
TEST(RelayQueue, ConsumerWaitsForTheProducersSend) {
  queue_holder h;
  relay_queue *q = h.q.get();
  relay_queue_set_ready(q, true);
  ASSERT_EQ(1, relay_queue_claim(q));
  relay_queue_push(q, "b", 1);
  std::string taken;
  std::thread consumer([&] { taken = pop_text(q); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ("", taken);
  relay_queue_release(q);
  consumer.join();
  EXPECT_EQ("b", taken);
}

TEST(SleepUnlessStopped, ReturnsAtOnceWhenStopIsSet) {
  stop_signal = SIGTERM;
  EXPECT_EQ(5u, sleep_unless_stopped(5));
  stop_signal = 0;
  EXPECT_EQ(0u, sleep_unless_stopped(1));
}

int no_delay(int fd) {
  int value = -1;
  socklen_t size = sizeof value;
  return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &size) == 0 ? value : -1;
}

/* A connected loopback TCP pair and its listener, closed at the end of the test. */
struct tcp_pair {
  int listener = -1, client = -1, server = -1;
  tcp_pair() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
      return;
    client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr *>(&address), size) == 0)
      server = accept(listener, nullptr, nullptr);
  }
  ~tcp_pair() {
    for (int fd : {listener, client, server})
      if (fd >= 0) close(fd);
  }
};

/* Both ends of a loopback TCP connection get TCP_NODELAY; a local socket pair is no TCP
 * socket and is left alone. */
TEST(SocketsNoDelay, SetsEveryTcpSocketOnly) {
  tcp_pair tcp;
  ASSERT_GE(tcp.server, 0);
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  EXPECT_EQ(0, no_delay(tcp.client));

  int listed[DAEMON_SOCKETS_CAPACITY];
  unsigned count = tcp_sockets(listed, DAEMON_SOCKETS_CAPACITY);
  ASSERT_GE(count, 3u);
  ASSERT_LE(count, DAEMON_SOCKETS_CAPACITY);
  std::vector<int> fds(listed, listed + count);
  for (int fd : {tcp.listener, tcp.client, tcp.server})
    EXPECT_NE(fds.end(), std::find(fds.begin(), fds.end(), fd)) << fd;
  EXPECT_EQ(fds.end(), std::find(fds.begin(), fds.end(), pair[0]));

  EXPECT_GE(sockets_no_delay(), 3u);
  EXPECT_NE(0, no_delay(tcp.client));
  EXPECT_NE(0, no_delay(tcp.server));
  EXPECT_EQ(-1, no_delay(pair[0]));
  for (int fd : {pair[0], pair[1]}) close(fd);
}

/* The gateway callback publishes itself only while the cloud socket takes a whole document
 * at once: a peer that stops reading fills the send buffer, and from then on the answer is
 * no until the peer has read again. Descriptors that are no socket never take anything. */
TEST(SocketTakes, FollowsTheRoomInTheSendBuffer) {
  int pipe_ends[2];
  ASSERT_EQ(0, pipe(pipe_ends));
  for (int fd : {-1, pipe_ends[1], 1 << 20}) EXPECT_EQ(0, socket_takes(fd, 1)) << fd;
  for (int fd : pipe_ends) close(fd);

  tcp_pair tcp;
  ASSERT_GE(tcp.server, 0);
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof info;
  if (getsockopt(tcp.client, SOL_SOCKET, SO_MEMINFO, info, &size) != 0 ||
      size < (SK_MEMINFO_WMEM_QUEUED + 1) * sizeof info[0] || info[SK_MEMINFO_SNDBUF] == 0)
    GTEST_SKIP() << "no socket memory figures here (user-mode emulator or old kernel): "
                 << "every document goes through the queue";
  EXPECT_EQ(1, socket_takes(tcp.client, RELAY_DOCUMENT_CAPACITY + CLOUD_PACKET_OVERHEAD));

  ASSERT_EQ(0, fcntl(tcp.client, F_SETFL, fcntl(tcp.client, F_GETFL) | O_NONBLOCK));
  const std::string block(4096, 'b');
  bool full = false;
  for (int i = 0; i < 100000 && !full; i++)
    full = write(tcp.client, block.data(), block.size()) < 0 && errno == EAGAIN;
  ASSERT_TRUE(full);
  EXPECT_EQ(0, socket_takes(tcp.client, 1));

  ASSERT_EQ(0, fcntl(tcp.server, F_SETFL, fcntl(tcp.server, F_GETFL) | O_NONBLOCK));
  char sink[65536];
  int takes = 0;
  for (int i = 0; i < 2000 && takes == 0; i++) {
    while (read(tcp.server, sink, sizeof sink) > 0) {
    }
    takes = socket_takes(tcp.client, RELAY_DOCUMENT_CAPACITY + CLOUD_PACKET_OVERHEAD);
    if (takes == 0) usleep(1000);
  }
  EXPECT_EQ(1, takes);
}

} // namespace
