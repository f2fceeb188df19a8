/* Endpoint derivation and the cloud queue. */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

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
        endpoint_case{
            __LINE__, 0, 1, "org", "typ", "dev1", "d:quickstart:zunquo:dev1", "ssl://qs.example:8883"},
        endpoint_case{__LINE__, 2, 0, "org", "typ", "dev1", "d:quickstart:zunquo:dev1", "qs.example:1883"},
        endpoint_case{__LINE__, 1, 0, "org", "typ", "dev1", "d:org:typ:dev1", "org." + D + ":1883"},
        endpoint_case{__LINE__, 1, 1, "org", "typ", "dev1", "d:org:typ:dev1", "ssl://org." + D + ":8883"},
        endpoint_case{__LINE__,
                      1,
                      1,
                      L127a,
                      L127b,
                      L127c,
                      "d:" + L127a + ":" + L127b + ":" + L127c,
                      "ssl://" + L127a + "." + D + ":8883"},
        endpoint_case{
            __LINE__, 0, 1, L127a, L127b, L127c, "d:quickstart:zunquo:" + L127c, "ssl://qs.example:8883"}),
    [](const ::testing::TestParamInfo<endpoint_case> &info) {
      return "line" + std::to_string(info.param.line);
    });

TEST(CloudEndpointCapacity, LongestTextsFitTheShippedBuffers) {
  endpoint_case c{__LINE__, 1, 1, L127a, L127b, L127c, "", ""};
  module_settings s = make_settings(c);
  char id[CLOUD_CLIENT_ID_CAPACITY];
  char uri[CLOUD_URI_CAPACITY];
  ASSERT_EQ(
      1, cloud_endpoint(&s, NIMBA_QUICKSTART_HOST, NIMBA_REGISTERED_DOMAIN, id, sizeof id, uri, sizeof uri));
  EXPECT_EQ(2u + 3 * 127 + 2, std::strlen(id));
  s.mode = 0;
  ASSERT_EQ(
      1, cloud_endpoint(&s, NIMBA_QUICKSTART_HOST, NIMBA_REGISTERED_DOMAIN, id, sizeof id, uri, sizeof uri));
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
  explicit queue_holder(bool at_least_once = false) { relay_queue_reset(q.get(), at_least_once); }
};

/* Pushes text as a packet with the head "H" and returns what push said. */
int push_text(relay_queue *q, const std::string &text) {
  const uint8_t head[1] = {'H'};
  return relay_queue_push(q, head, 1, text.data(), static_cast<uint32_t>(text.size()));
}

/* Everything gathered, as the socket would receive it. */
std::string gathered(const relay_queue *q) {
  iovec pieces[RELAY_QUEUE_SLOTS];
  unsigned n = relay_queue_gather(q, pieces, RELAY_QUEUE_SLOTS);
  std::string out;
  for (unsigned i = 0; i < n; i++)
    out.append(static_cast<const char *>(pieces[i].iov_base), pieces[i].iov_len);
  return out;
}

TEST(RelayQueue, KeepsOrderAndDropsTheOldestWhenFull) {
  queue_holder h;
  relay_queue *q = h.q.get();
  std::string expected;
  for (unsigned i = 0; i < RELAY_QUEUE_SLOTS + 5; i++) {
    std::string text = "m" + std::to_string(i);
    ASSERT_EQ(1, push_text(q, text));
    if (i >= 5) expected += "H" + text;
  }
  EXPECT_EQ(RELAY_QUEUE_SLOTS, relay_queue_count(q));
  EXPECT_EQ(1, relay_queue_full(q));
  EXPECT_EQ(5u, relay_queue_take_dropped(q));
  EXPECT_EQ(0u, relay_queue_take_dropped(q));
  EXPECT_EQ(expected, gathered(q));
  EXPECT_EQ(RELAY_QUEUE_SLOTS, relay_queue_written(q, static_cast<uint32_t>(expected.size())));
  EXPECT_EQ(0u, relay_queue_count(q));
}

TEST(RelayQueue, HoldsFullSizePacketsAndRefusesLonger) {
  queue_holder h;
  relay_queue *q = h.q.get();
  std::string full(RELAY_PACKET_CAPACITY - 1, 'f');
  EXPECT_EQ(1, push_text(q, full));
  EXPECT_EQ(0, push_text(q, full + "x"));
  EXPECT_EQ(0u, relay_queue_take_dropped(q));
  EXPECT_EQ("H" + full, gathered(q));
}

/* Short packets stay in their slot, longer ones go to the long store: lengths around the
 * limit, mixed, through a full queue that drops the oldest, come back whole and in order,
 * also when written a few bytes at a time. */
TEST(RelayQueue, MixedLengthsComeBackWholeThroughAFullQueue) {
  queue_holder h;
  relay_queue *q = h.q.get();
  const uint32_t lengths[] = {
      0, 1, RELAY_SLOT_CAPACITY - 2, RELAY_SLOT_CAPACITY - 1, RELAY_SLOT_CAPACITY, RELAY_PACKET_CAPACITY - 1};
  constexpr unsigned extra = 7;
  std::string expected;
  for (unsigned i = 0; i < RELAY_QUEUE_SLOTS + extra; i++) {
    uint32_t length = lengths[i % (sizeof lengths / sizeof lengths[0])];
    std::string text(length, static_cast<char>('a' + i % 26));
    if (length > 0) text[0] = static_cast<char>('0' + i % 10);
    if (i >= extra) expected += "H" + text;
    ASSERT_EQ(1, push_text(q, text));
  }
  EXPECT_EQ(extra, relay_queue_take_dropped(q));
  std::string written;
  unsigned completed = 0;
  while (relay_queue_count(q) > 0) {
    iovec piece[1];
    ASSERT_EQ(1u, relay_queue_gather(q, piece, 1));
    uint32_t take = piece[0].iov_len < 1000 ? static_cast<uint32_t>(piece[0].iov_len) : 1000;
    written.append(static_cast<const char *>(piece[0].iov_base), take);
    completed += relay_queue_written(q, take);
  }
  EXPECT_EQ(RELAY_QUEUE_SLOTS, completed);
  EXPECT_EQ(expected, written);
}

/* A packet cut off by a lost connection is written whole on the next one, and a full queue
 * never drops the packet being written (that would corrupt the stream): the newcomer is
 * dropped instead. */
TEST(RelayQueue, PartlyWrittenPacketIsRewoundAndNeverDropped) {
  queue_holder h;
  relay_queue *q = h.q.get();
  ASSERT_EQ(1, push_text(q, "first"));
  ASSERT_EQ(1, push_text(q, "second"));
  EXPECT_EQ(0u, relay_queue_written(q, 3));
  EXPECT_EQ("rstHsecond", gathered(q));
  relay_queue_rewind(q);
  EXPECT_EQ("HfirstHsecond", gathered(q));

  EXPECT_EQ(0u, relay_queue_written(q, 2));
  for (unsigned i = 2; i < RELAY_QUEUE_SLOTS; i++) ASSERT_EQ(1, push_text(q, "x"));
  EXPECT_EQ(0, push_text(q, "late"));
  EXPECT_EQ(1u, relay_queue_take_dropped(q));
  std::string all = gathered(q);
  EXPECT_EQ("irst", all.substr(0, 4));
  EXPECT_EQ(std::string::npos, all.find("late"));
  EXPECT_EQ(RELAY_QUEUE_SLOTS, relay_queue_clear(q));
  EXPECT_EQ("", gathered(q));
}

/* At least once, packet identifiers through the wrap at 65 535 while the oldest document is
 * never acknowledged (the others are, so memory goes on taking documents behind it): each
 * identifier on the wire is neither 0 nor one still in flight. */
TEST(RelayQueue, PacketIdentifiersWrapPastTheOnesInFlight) {
  if (RELAY_IN_FLIGHT_MAX < 2) GTEST_SKIP() << "a window of one holds only the oldest";
  queue_holder h(true);
  relay_queue *q = h.q.get();
  std::set<uint16_t> in_flight;
  uint16_t oldest = 0;
  unsigned sent = 0;
  while (sent < 70000) {
    while (!relay_queue_full(q)) ASSERT_EQ(1, relay_queue_add(q, "d", 1, 0, spool_position{0, 0}, false));
    relay_queue_offer(q, "t", 1);
    iovec pieces[RELAY_QUEUE_SLOTS];
    const unsigned n = relay_queue_gather(q, pieces, RELAY_QUEUE_SLOTS);
    ASSERT_GT(n, 0u) << "nothing more goes out after " << sent;
    uint32_t bytes = 0;
    for (unsigned i = 0; i < n; i++) {
      /* Fixed header, one byte of length, topic "t", then the identifier. */
      const auto *packet = static_cast<const uint8_t *>(pieces[i].iov_base);
      const uint16_t id = static_cast<uint16_t>(packet[5] << 8 | packet[6]);
      ASSERT_NE(0, id);
      ASSERT_TRUE(in_flight.insert(id).second) << "identifier " << id << " is in flight already";
      if (oldest == 0) oldest = id;
      bytes += static_cast<uint32_t>(pieces[i].iov_len);
    }
    ASSERT_EQ(n, relay_queue_written(q, bytes));
    sent += n;
    for (uint16_t id : in_flight) EXPECT_TRUE(id == oldest || relay_queue_acknowledge(q, id).found);
    in_flight = {oldest};
  }
  EXPECT_EQ(1u, relay_queue_in_flight(q));
}

/* Acknowledgements are urgent only while documents wait for room in the window: a window with
 * room reads them in slow batches, a full one with more behind it quickly. */
TEST(RelayQueue, DocumentsHeldBackOnlyBehindAFullWindow) {
  queue_holder h(true);
  relay_queue *q = h.q.get();
  const auto add = [&](unsigned n) {
    for (unsigned i = 0; i < n; i++) ASSERT_EQ(1, relay_queue_add(q, "d", 1, 0, spool_position{0, 0}, false));
    relay_queue_offer(q, "t", 1);
    const std::string bytes = gathered(q);
    relay_queue_written(q, static_cast<uint32_t>(bytes.size()));
  };
  const unsigned window = RELAY_IN_FLIGHT_MAX < RELAY_QUEUE_SLOTS ? RELAY_IN_FLIGHT_MAX : RELAY_QUEUE_SLOTS;
  add(window - 1);
  EXPECT_EQ(0, relay_queue_held_back(q)) << "room for one more";
  add(1);
  EXPECT_EQ(0, relay_queue_held_back(q)) << "full, nothing behind";
  if (window == RELAY_QUEUE_SLOTS) return;
  add(1);
  EXPECT_EQ(1, relay_queue_held_back(q)) << "one waits for room";
}

} // namespace
