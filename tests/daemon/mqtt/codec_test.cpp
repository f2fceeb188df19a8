/* MQTT packets byte for byte, and the reader over a stream cut at every place. */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "daemon/mqtt/codec.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes of(std::initializer_list<int> values) {
  bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

struct length_case {
  uint32_t value;
  bytes encoded;
};

TEST(MqttLength, EncodesEveryBoundaryAndTheReaderAgrees) {
  const length_case cases[] = {
      {0, of({0x00})},
      {127, of({0x7F})},
      {128, of({0x80, 0x01})},
      {16383, of({0xFF, 0x7F})},
      {16384, of({0x80, 0x80, 0x01})},
      {2097151, of({0xFF, 0xFF, 0x7F})},
      {2097152, of({0x80, 0x80, 0x80, 0x01})},
      {268435455, of({0xFF, 0xFF, 0xFF, 0x7F})},
  };
  for (const length_case &c : cases) {
    SCOPED_TRACE(c.value);
    uint8_t out[4];
    ASSERT_EQ(c.encoded.size(), mqtt_put_length(out, sizeof out, c.value));
    EXPECT_EQ(c.encoded, bytes(out, out + c.encoded.size()));
    EXPECT_EQ(c.encoded.size() + 1, mqtt_header_size(c.value));
    EXPECT_EQ(0u, mqtt_put_length(out, static_cast<unsigned>(c.encoded.size() - 1), c.value));

    /* A reader with little storage sees the header and reports the packet as too long
     * (except for the empty one, which it returns). */
    bytes stream = of({MQTT_PUBLISH << 4});
    stream.insert(stream.end(), c.encoded.begin(), c.encoded.end());
    uint8_t storage[16];
    mqtt_reader reader;
    mqtt_reader_init(&reader, storage, sizeof storage);
    uint32_t space = 0;
    std::memcpy(mqtt_reader_space(&reader, &space), stream.data(), stream.size());
    mqtt_reader_commit(&reader, static_cast<uint32_t>(stream.size()));
    mqtt_packet packet{};
    mqtt_read_result result = mqtt_reader_peek(&reader, &packet);
    EXPECT_EQ(c.value == 0 ? MQTT_READ_PACKET : c.value <= 11 ? MQTT_READ_MORE : MQTT_READ_SKIPPED, result);
    if (result != MQTT_READ_MORE) {
      EXPECT_EQ(c.value, packet.length);
      EXPECT_EQ(stream.size(), packet.header_size);
    }
  }
  uint8_t out[8];
  EXPECT_EQ(0u, mqtt_put_length(out, sizeof out, MQTT_REMAINING_MAX + 1));
  EXPECT_EQ(0u, mqtt_header_size(MQTT_REMAINING_MAX + 1));
}

TEST(MqttLength, AFifthLengthByteIsMalformed) {
  const bytes stream = of({MQTT_PUBLISH << 4, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
  uint8_t storage[64];
  mqtt_reader reader;
  mqtt_reader_init(&reader, storage, sizeof storage);
  uint32_t space = 0;
  std::memcpy(mqtt_reader_space(&reader, &space), stream.data(), stream.size());
  mqtt_reader_commit(&reader, static_cast<uint32_t>(stream.size()));
  mqtt_packet packet{};
  EXPECT_EQ(MQTT_READ_MALFORMED, mqtt_reader_peek(&reader, &packet));
}

struct encode_case {
  const char *name;
  bytes expected;
  uint32_t (*encode)(uint8_t *out, uint32_t capacity);
};

uint32_t connect_plain(uint8_t *out, uint32_t capacity) {
  mqtt_connect_fields f{"CID", nullptr, nullptr, 20, true};
  return mqtt_encode_connect(out, capacity, &f);
}
uint32_t connect_credentials(uint8_t *out, uint32_t capacity) {
  mqtt_connect_fields f{"d:o:t:x", "use-token-auth", "tok", 20, true};
  return mqtt_encode_connect(out, capacity, &f);
}
uint32_t connect_password_only(uint8_t *out, uint32_t capacity) {
  mqtt_connect_fields f{"c", nullptr, "secret", 60, false};
  return mqtt_encode_connect(out, capacity, &f);
}
uint32_t subscribe_gateway(uint8_t *out, uint32_t capacity) {
  return mqtt_encode_subscribe(out, capacity, 1, "QZ/#", 0);
}
uint32_t publish_head_short(uint8_t *out, uint32_t capacity) {
  return mqtt_encode_publish_head(out, capacity, "a/b", 3, 2);
}
uint32_t publish_head_two_length_bytes(uint8_t *out, uint32_t capacity) {
  /* 2 + 25 + 101 = 128: the first length that needs two bytes. */
  return mqtt_encode_publish_head(out, capacity, "iot-2/evt/status/fmt/json", 25, 101);
}
uint32_t pubrel(uint8_t *out, uint32_t capacity) {
  return capacity < 4 ? 0 : mqtt_encode_ack(out, MQTT_PUBREL, 0x1234);
}

bytes with_text(bytes head, const std::string &text) {
  head.push_back(0);
  head.push_back(static_cast<uint8_t>(text.size()));
  head.insert(head.end(), text.begin(), text.end());
  return head;
}

std::vector<encode_case> encode_cases() {
  const bytes protocol = with_text({}, "MQTT");
  bytes plain = of({0x10, 15});
  plain.insert(plain.end(), protocol.begin(), protocol.end());
  plain.insert(plain.end(), {4, 0x02, 0, 20});
  plain = with_text(plain, "CID");

  bytes credentials = of({0x10, 10 + 9 + 16 + 5});
  credentials.insert(credentials.end(), protocol.begin(), protocol.end());
  credentials.insert(credentials.end(), {4, 0xC2, 0, 20});
  credentials = with_text(with_text(with_text(credentials, "d:o:t:x"), "use-token-auth"), "tok");

  bytes password_only = of({0x10, 13});
  password_only.insert(password_only.end(), protocol.begin(), protocol.end());
  password_only.insert(password_only.end(), {4, 0x00, 0, 60});
  password_only = with_text(password_only, "c");

  bytes subscribe = with_text(of({0x82, 9, 0, 1}), "QZ/#");
  subscribe.push_back(0);

  bytes head_two = with_text(of({0x30, 0x80, 0x01}), "iot-2/evt/status/fmt/json");
  return {
      {"ConnectWithClientIdOnly", plain, connect_plain},
      {"ConnectWithUserAndPassword", credentials, connect_credentials},
      {"PasswordWithoutUserIsNotSent", password_only, connect_password_only},
      {"Subscribe", subscribe, subscribe_gateway},
      {"PublishHead", with_text(of({0x30, 7}), "a/b"), publish_head_short},
      {"PublishHeadTwoLengthBytes", head_two, publish_head_two_length_bytes},
      {"PubrelHasFlags0010", of({0x62, 2, 0x12, 0x34}), pubrel},
  };
}

void PrintTo(const encode_case &c, std::ostream *os) { *os << c.name; }

class MqttEncode : public ::testing::TestWithParam<encode_case> {};

TEST_P(MqttEncode, WritesTheBytesAndRefusesAByteLess) {
  const encode_case &c = GetParam();
  uint8_t out[256];
  ASSERT_EQ(c.expected.size(), c.encode(out, sizeof out));
  EXPECT_EQ(c.expected, bytes(out, out + c.expected.size()));
  EXPECT_EQ(0u, c.encode(out, static_cast<uint32_t>(c.expected.size() - 1)));
}

INSTANTIATE_TEST_SUITE_P(Packets, MqttEncode, ::testing::ValuesIn(encode_cases()),
                         [](const ::testing::TestParamInfo<encode_case> &info) {
                           return std::string(info.param.name);
                         });

TEST(MqttEncode, RefusesWhatTheProtocolCannotCarry) {
  uint8_t out[64];
  EXPECT_EQ(0u, mqtt_encode_subscribe(out, sizeof out, 0, "QZ/#", 0)) << "packet id 0";
  EXPECT_EQ(0u, mqtt_encode_subscribe(out, sizeof out, 1, "QZ/#", 3)) << "QoS 3";
  EXPECT_EQ(0u, mqtt_encode_publish_head(out, sizeof out, "t", 1, MQTT_REMAINING_MAX - 2));
  EXPECT_EQ(0u, mqtt_encode_ack(out, MQTT_CONNACK, 1));
}

/* The packet parts as a decoder sees them. */
mqtt_packet packet_of(uint8_t type_byte, const bytes &body) {
  return mqtt_packet{static_cast<uint8_t>(type_byte >> 4),
                     static_cast<uint8_t>(type_byte & 0x0F),
                     2,
                     static_cast<uint32_t>(body.size()),
                     body.data()};
}

bytes cat(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct publish_case {
  const char *name;
  uint8_t type_byte;
  bytes body;
  int valid;
  uint8_t qos;
  uint16_t packet_id;
  bool retain, dup;
  std::string topic, payload;
};

TEST(MqttDecode, PublishByQosAndItsMalformedShapes) {
  const bytes topic = with_text({}, "QZ/a");
  const publish_case cases[] = {
      {"qos0", 0x30, cat(topic, of({'{', '}'})), 1, 0, 0, false, false, "QZ/a", "{}"},
      {"empty payload", 0x30, topic, 1, 0, 0, false, false, "QZ/a", ""},
      {"retain", 0x31, cat(topic, of({'x'})), 1, 0, 0, true, false, "QZ/a", "x"},
      {"qos1 with id", 0x32, cat(topic, of({0x01, 0x02, 'p'})), 1, 1, 0x0102, false, false, "QZ/a", "p"},
      {"qos2 dup", 0x3C, cat(topic, of({0x00, 0x07})), 1, 2, 7, false, true, "QZ/a", ""},
      {"qos3", 0x36, cat(topic, of({0x00, 0x07})), 0, 0, 0, false, false, "", ""},
      {"qos1 id 0", 0x32, cat(topic, of({0x00, 0x00})), 0, 0, 0, false, false, "", ""},
      {"qos1 without id", 0x32, topic, 0, 0, 0, false, false, "", ""},
      {"topic past the body", 0x30, of({0x00, 0x09, 'Q', 'Z'}), 0, 0, 0, false, false, "", ""},
      {"empty topic", 0x30, of({0x00, 0x00, 'x'}), 0, 0, 0, false, false, "", ""},
      {"no topic length", 0x30, of({0x00}), 0, 0, 0, false, false, "", ""},
  };
  for (const publish_case &c : cases) {
    SCOPED_TRACE(c.name);
    mqtt_packet packet = packet_of(c.type_byte, c.body);
    mqtt_publish m{};
    ASSERT_EQ(c.valid, mqtt_decode_publish(&packet, &m));
    if (!c.valid) continue;
    EXPECT_EQ(c.topic, std::string(m.topic, m.topic_length));
    EXPECT_EQ(c.payload, std::string(reinterpret_cast<const char *>(m.payload), m.payload_length));
    EXPECT_EQ(c.qos, m.qos);
    EXPECT_EQ(c.packet_id, m.packet_id);
    EXPECT_EQ(c.retain, m.retain);
    EXPECT_EQ(c.dup, m.dup);
  }
}

TEST(MqttDecode, ConnackSubackAndAcks) {
  uint8_t code = 0xFF;
  for (int rc = 0; rc <= 5; rc++) {
    const bytes body = of({0, rc});
    mqtt_packet connack = packet_of(0x20, body);
    ASSERT_EQ(1, mqtt_decode_connack(&connack, &code));
    EXPECT_EQ(rc, code);
  }
  const bytes session_present = of({1, 0}), reserved_bits = of({2, 0}), long_body = of({0, 0, 0});
  mqtt_packet present = packet_of(0x20, session_present);
  EXPECT_EQ(1, mqtt_decode_connack(&present, &code));
  mqtt_packet reserved = packet_of(0x20, reserved_bits);
  EXPECT_EQ(0, mqtt_decode_connack(&reserved, &code));
  mqtt_packet too_long = packet_of(0x20, long_body);
  EXPECT_EQ(0, mqtt_decode_connack(&too_long, &code));

  uint16_t id = 0;
  for (int granted : {0, 1, 2, 0x80}) {
    const bytes body = of({0, 9, granted});
    mqtt_packet suback = packet_of(0x90, body);
    ASSERT_EQ(1, mqtt_decode_suback(&suback, &id, &code)) << granted;
    EXPECT_EQ(9, id);
    EXPECT_EQ(granted, code);
  }
  const bytes invalid_code = of({0, 9, 3});
  mqtt_packet bad_suback = packet_of(0x90, invalid_code);
  EXPECT_EQ(0, mqtt_decode_suback(&bad_suback, &id, &code));

  const bytes ack_body = of({0xAB, 0xCD});
  mqtt_packet pubrel = packet_of(0x62, ack_body);
  ASSERT_EQ(1, mqtt_decode_ack(&pubrel, &id));
  EXPECT_EQ(0xABCD, id);
  mqtt_packet pubrel_flags = packet_of(0x60, ack_body);
  EXPECT_EQ(0, mqtt_decode_ack(&pubrel_flags, &id));
}

TEST(MqttDecode, FlagsEachTypeMustCarry) {
  struct flags_case {
    uint8_t type, flags;
    int valid;
  };
  const flags_case cases[] = {
      {MQTT_CONNACK, 0, 1},
      {MQTT_CONNACK, 1, 0},
      {MQTT_PUBLISH, 0x0D, 1},
      {MQTT_PUBLISH, 0x06, 0},
      {MQTT_PUBREL, 0x02, 1},
      {MQTT_PUBREL, 0, 0},
      {MQTT_SUBSCRIBE, 0x02, 1},
      {MQTT_SUBACK, 0x02, 0},
      {MQTT_PINGRESP, 0, 1},
      {MQTT_PINGRESP, 8, 0},
      {MQTT_PUBACK, 0, 1},
      {MQTT_PUBCOMP, 2, 0},
  };
  for (const flags_case &c : cases)
    EXPECT_EQ(c.valid, mqtt_flags_valid(c.type, c.flags)) << int(c.type) << "/" << int(c.flags);
}

/* A recorded stream: packets of every kind the relay meets, one with an empty body and one
 * long PUBLISH with a three-byte length. */
bytes recorded_stream(std::vector<bytes> *packets) {
  packets->clear();
  packets->push_back(of({0x20, 2, 0, 0}));
  packets->push_back(of({0x90, 3, 0, 1, 0}));
  packets->push_back(cat(of({0x30, 13}), cat(with_text({}, "QZ/a/b"), of({'{', '}', ' ', ' ', ' '}))));
  packets->push_back(of({0xD0, 0}));
  bytes big = with_text({}, "QZ/node1/sensor");
  big.resize(20000, 'x');
  packets->push_back(cat(of({0x30, 0xA0, 0x9C, 0x01}), big));
  packets->push_back(cat(of({0x32, 10}), cat(with_text({}, "QZ/q"), of({0, 5, '[', ']'}))));
  packets->push_back(of({0x62, 2, 0, 5}));
  bytes stream;
  for (const bytes &p : *packets) stream = cat(stream, p);
  return stream;
}

/* Feeds the stream in the given chunk sizes (cycled) and collects whole packets. */
std::vector<bytes> read_in_chunks(const bytes &stream, const std::vector<uint32_t> &chunks, uint32_t capacity,
                                  int *skipped) {
  std::vector<uint8_t> storage(capacity);
  mqtt_reader reader;
  mqtt_reader_init(&reader, storage.data(), capacity);
  std::vector<bytes> found;
  size_t at = 0, turn = 0;
  *skipped = 0;
  for (;;) {
    mqtt_packet packet{};
    mqtt_read_result result;
    while ((result = mqtt_reader_peek(&reader, &packet)) != MQTT_READ_MORE) {
      if (result == MQTT_READ_MALFORMED) return found;
      if (result == MQTT_READ_SKIPPED) {
        ++*skipped;
      } else {
        bytes whole = of({packet.type << 4 | packet.flags});
        uint8_t length[4];
        unsigned n = mqtt_put_length(length, sizeof length, packet.length);
        whole.insert(whole.end(), length, length + n);
        whole.insert(whole.end(), packet.body, packet.body + packet.length);
        found.push_back(whole);
      }
      mqtt_reader_take(&reader, &packet);
    }
    if (at == stream.size()) return found;
    uint32_t space = 0;
    uint8_t *into = mqtt_reader_space(&reader, &space);
    EXPECT_GT(space, 0u);
    if (space == 0) return found;
    uint32_t n = chunks[turn++ % chunks.size()];
    if (n > space) n = space;
    if (n > stream.size() - at) n = static_cast<uint32_t>(stream.size() - at);
    std::memcpy(into, stream.data() + at, n);
    mqtt_reader_commit(&reader, n);
    at += n;
  }
}

TEST(MqttReader, SameStreamSplitAtEveryByte) {
  std::vector<bytes> packets;
  const bytes stream = recorded_stream(&packets);
  int skipped = 0;
  for (uint32_t cut = 1; cut < stream.size(); cut++) {
    const std::vector<uint32_t> chunks = {cut, static_cast<uint32_t>(stream.size())};
    ASSERT_EQ(packets, read_in_chunks(stream, chunks, 32768, &skipped)) << "cut at " << cut;
    ASSERT_EQ(0, skipped);
  }
}

TEST(MqttReader, SameStreamInRandomChunks) {
  std::vector<bytes> packets;
  const bytes stream = recorded_stream(&packets);
  for (unsigned seed : {1u, 7u, 42u, 2026u}) {
    std::mt19937 random(seed);
    std::vector<uint32_t> chunks;
    for (int i = 0; i < 200; i++) chunks.push_back(1 + random() % 3000);
    int skipped = 0;
    EXPECT_EQ(packets, read_in_chunks(stream, chunks, 32768, &skipped)) << "seed " << seed;
  }
}

/* A packet announcing 256 MiB is reported once and read past as it comes, the storage
 * never growing; the packets around it come through. */
TEST(MqttReader, ReadsPastAPacketLargerThanItsStorage) {
  constexpr uint32_t capacity = 4096;
  bytes stream = of({0xD0, 0});
  const bytes huge_head = of({0x30, 0xFF, 0xFF, 0xFF, 0x7F});
  stream = cat(stream, huge_head);
  std::vector<uint8_t> storage(capacity);
  mqtt_reader reader;
  mqtt_reader_init(&reader, storage.data(), capacity);
  uint32_t space = 0;
  std::memcpy(mqtt_reader_space(&reader, &space), stream.data(), stream.size());
  mqtt_reader_commit(&reader, static_cast<uint32_t>(stream.size()));
  mqtt_packet packet{};
  ASSERT_EQ(MQTT_READ_PACKET, mqtt_reader_peek(&reader, &packet));
  EXPECT_EQ(MQTT_PINGRESP, packet.type);
  mqtt_reader_take(&reader, &packet);
  ASSERT_EQ(MQTT_READ_SKIPPED, mqtt_reader_peek(&reader, &packet));
  EXPECT_EQ(MQTT_REMAINING_MAX, packet.length);
  EXPECT_EQ(nullptr, packet.body);
  mqtt_reader_take(&reader, &packet);

  /* 8 MiB of it in storage-sized reads: nothing comes out, the space never shrinks. */
  for (int i = 0; i < 2048; i++) {
    uint8_t *into = mqtt_reader_space(&reader, &space);
    ASSERT_EQ(capacity, space);
    std::memset(into, 'z', space);
    mqtt_reader_commit(&reader, space);
    ASSERT_EQ(MQTT_READ_MORE, mqtt_reader_peek(&reader, &packet));
  }
  EXPECT_EQ(1, mqtt_reader_pending(&reader));
}

TEST(MqttReader, PacketAfterASkippedOneIsReadWhole) {
  std::vector<bytes> packets;
  bytes long_one = with_text({}, "QZ/long");
  long_one.resize(3 * 1024, 'l');
  uint8_t length[4];
  unsigned n = mqtt_put_length(length, sizeof length, static_cast<uint32_t>(long_one.size()));
  bytes stream = cat(cat(of({0x30}), bytes(length, length + n)), long_one);
  const bytes after = of({0xD0, 0});
  stream = cat(stream, after);
  for (uint32_t chunk : {1u, 7u, 100u, 1024u}) {
    int skipped = 0;
    std::vector<bytes> found = read_in_chunks(stream, {chunk}, 1024, &skipped);
    EXPECT_EQ(1, skipped) << chunk;
    ASSERT_EQ(1u, found.size()) << chunk;
    EXPECT_EQ(after, found[0]);
  }
}

TEST(MqttReader, PeekWithoutTakeReturnsTheSamePacket) {
  const bytes stream = of({0xD0, 0, 0x20, 2, 0, 5});
  uint8_t storage[64];
  mqtt_reader reader;
  mqtt_reader_init(&reader, storage, sizeof storage);
  uint32_t space = 0;
  std::memcpy(mqtt_reader_space(&reader, &space), stream.data(), stream.size());
  mqtt_reader_commit(&reader, static_cast<uint32_t>(stream.size()));
  mqtt_packet first{}, again{};
  ASSERT_EQ(MQTT_READ_PACKET, mqtt_reader_peek(&reader, &first));
  ASSERT_EQ(MQTT_READ_PACKET, mqtt_reader_peek(&reader, &again));
  EXPECT_EQ(first.type, again.type);
  EXPECT_EQ(first.body, again.body);
  mqtt_reader_take(&reader, &first);
  ASSERT_EQ(MQTT_READ_PACKET, mqtt_reader_peek(&reader, &again));
  EXPECT_EQ(MQTT_CONNACK, again.type);
  mqtt_reader_take(&reader, &again);
  EXPECT_EQ(0, mqtt_reader_pending(&reader));
}

} // namespace
