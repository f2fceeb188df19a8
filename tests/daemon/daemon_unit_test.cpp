/* Endpoint derivation, the publish queue and the interruptible pause. */
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon.h"
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

/* Both ends of a loopback TCP connection get TCP_NODELAY; a local socket pair is no TCP
 * socket and is left alone. */
TEST(SocketsNoDelay, SetsEveryTcpSocketOnly) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&address), size));
  ASSERT_EQ(0, listen(listener, 1));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size));
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr *>(&address), size));
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  EXPECT_EQ(0, no_delay(client));

  EXPECT_GE(sockets_no_delay(), 3u);
  EXPECT_NE(0, no_delay(client));
  EXPECT_NE(0, no_delay(server));
  EXPECT_EQ(-1, no_delay(pair[0]));
  for (int fd : {listener, client, server, pair[0], pair[1]}) close(fd);
}

} // namespace
