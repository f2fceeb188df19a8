/* MQTT 3.1.1 packets as the relay needs them: encoders for what it sends, a reader that
 * cuts a byte stream into packets over caller-owned storage, decoders for what it receives.
 * Nothing here allocates. */
#pragma once
#include <cstddef>
#include <cstdint>

enum mqtt_packet_type : uint8_t {
  MQTT_CONNECT = 1,
  MQTT_CONNACK = 2,
  MQTT_PUBLISH = 3,
  MQTT_PUBACK = 4,
  MQTT_PUBREC = 5,
  MQTT_PUBREL = 6,
  MQTT_PUBCOMP = 7,
  MQTT_SUBSCRIBE = 8,
  MQTT_SUBACK = 9,
  MQTT_PINGREQ = 12,
  MQTT_PINGRESP = 13,
  MQTT_DISCONNECT = 14,
};

/* Largest remaining length the protocol can express (four length bytes). */
constexpr uint32_t MQTT_REMAINING_MAX = 268435455;
/* Fixed header: type byte and up to four length bytes. */
constexpr uint32_t MQTT_FIXED_HEADER_MAX = 5;
/* SUBACK code of a refused subscription. */
constexpr uint8_t MQTT_SUBACK_FAILURE = 0x80;

/* Writes value as a remaining length into out; the number of bytes (1 to 4), 0 when the
 * value is over MQTT_REMAINING_MAX or capacity is too small. */
unsigned mqtt_put_length(uint8_t *out, unsigned capacity, uint32_t value);

/* Bytes the fixed header takes for a remaining length (2 to 5); 0 over the maximum. */
unsigned mqtt_header_size(uint32_t remaining);

struct mqtt_connect_fields {
  const char *client_id;
  const char *user_name; /* nullptr: none */
  const char *password;  /* nullptr: none; sent only with a user name */
  uint16_t keep_alive_seconds;
  bool clean_session;
};

/* CONNECT for protocol level 4. Returns its length, 0 when it does not fit capacity or a
 * text is longer than 65 535 bytes. */
uint32_t mqtt_encode_connect(uint8_t *out, uint32_t capacity, const mqtt_connect_fields *fields);

/* SUBSCRIBE with one filter; packet_id must not be 0. Length, or 0 when it does not fit. */
uint32_t mqtt_encode_subscribe(uint8_t *out, uint32_t capacity, uint16_t packet_id, const char *filter,
                               uint8_t qos);

/* Fixed header, topic and (QoS 1 and 2) packet identifier of a PUBLISH whose payload of
 * payload_length bytes follows them; dup sets the DUP flag of a packet sent again. Length
 * of what was written, 0 when it does not fit or the packet would be over the maximum. */
uint32_t mqtt_encode_publish_head(uint8_t *out, uint32_t capacity, const char *topic, uint32_t topic_length,
                                  uint32_t payload_length, uint8_t qos = 0, uint16_t packet_id = 0,
                                  bool dup = false);

/* PUBACK, PUBREC, PUBREL or PUBCOMP for packet_id into out[4]; always 4 bytes (0 for
 * another type). */
uint32_t mqtt_encode_ack(uint8_t *out, mqtt_packet_type type, uint16_t packet_id);

/* The two-byte packets without a body. */
extern const uint8_t MQTT_PINGREQ_PACKET[2];
extern const uint8_t MQTT_DISCONNECT_PACKET[2];

/* One packet as the reader found it; body points into the reader's storage and stays
 * valid until the next mqtt_reader_space. */
struct mqtt_packet {
  uint8_t type;
  uint8_t flags;
  uint8_t header_size; /* bytes of the fixed header */
  uint32_t length;     /* remaining length: bytes of body */
  const uint8_t *body;
};

/* Splits a byte stream into packets. Packets over the storage are read past: their bytes
 * are discarded as they come and never stored, whatever length they announce. */
struct mqtt_reader {
  uint8_t *storage;
  uint32_t capacity;
  uint32_t start, end; /* bytes not yet taken: storage[start, end) */
  uint32_t skip;       /* bytes of an over-long packet still to be discarded */
};

enum mqtt_read_result {
  MQTT_READ_MORE,      /* no complete packet yet */
  MQTT_READ_PACKET,    /* *packet holds the next packet */
  MQTT_READ_SKIPPED,   /* the next packet is over the storage: *packet has its type, flags
                          and length (body nullptr); its bytes are being discarded */
  MQTT_READ_MALFORMED, /* a fifth length byte: the stream cannot be followed any further */
};

void mqtt_reader_init(mqtt_reader *reader, uint8_t *storage, uint32_t capacity);

/* Where the next read may put its bytes, and how many (*space, never 0 after the packets
 * found so far were taken). Moves the bytes not yet taken to the front. */
uint8_t *mqtt_reader_space(mqtt_reader *reader, uint32_t *space);

/* Takes count bytes that a read put at mqtt_reader_space. */
void mqtt_reader_commit(mqtt_reader *reader, uint32_t count);

/* The next packet, if complete. A packet returned stays unread until mqtt_reader_take, so
 * a caller that cannot handle it now finds it again. */
mqtt_read_result mqtt_reader_peek(mqtt_reader *reader, mqtt_packet *packet);

/* Consumes the packet mqtt_reader_peek returned (MQTT_READ_PACKET or MQTT_READ_SKIPPED). */
void mqtt_reader_take(mqtt_reader *reader, const mqtt_packet *packet);

/* 1 when bytes of a packet are waiting (an incomplete one included). */
int mqtt_reader_pending(const mqtt_reader *reader);

/* 1 when the low nibble of the type byte is the one the protocol requires for the type. */
int mqtt_flags_valid(uint8_t type, uint8_t flags);

struct mqtt_publish {
  const char *topic;
  uint16_t topic_length;
  uint8_t qos;
  bool retain;
  bool dup;
  uint16_t packet_id; /* 0 for QoS 0 */
  const uint8_t *payload;
  uint32_t payload_length;
};

/* Decodes a PUBLISH; 0 when malformed (topic past the body, QoS 3, no packet id for
 * QoS > 0, an empty topic). */
int mqtt_decode_publish(const mqtt_packet *packet, mqtt_publish *out);

/* CONNACK: 1 with its return code; 0 when malformed. */
int mqtt_decode_connack(const mqtt_packet *packet, uint8_t *return_code);

/* SUBACK with one return code: 1 with packet id and code; 0 when malformed. */
int mqtt_decode_suback(const mqtt_packet *packet, uint16_t *packet_id, uint8_t *code);

/* PUBACK, PUBREC, PUBREL, PUBCOMP: 1 with the packet id; 0 when malformed. */
int mqtt_decode_ack(const mqtt_packet *packet, uint16_t *packet_id);
