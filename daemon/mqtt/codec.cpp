/* MQTT 3.1.1 packet encoding and decoding. */
#include "codec.h"

#include <cstring>

const uint8_t MQTT_PINGREQ_PACKET[2] = {MQTT_PINGREQ << 4, 0};
const uint8_t MQTT_DISCONNECT_PACKET[2] = {MQTT_DISCONNECT << 4, 0};

namespace {

constexpr uint32_t TEXT_MAX = 65535;

struct writer {
  uint8_t *out;
  uint32_t capacity, length;
  bool fits;
};

void put_bytes(writer *w, const void *data, uint32_t count) {
  if (!w->fits || w->capacity - w->length < count) {
    w->fits = false;
    return;
  }
  if (count > 0) std::memcpy(w->out + w->length, data, count);
  w->length += count;
}

void put_byte(writer *w, uint8_t value) { put_bytes(w, &value, 1); }

void put_u16(writer *w, uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  put_bytes(w, bytes, 2);
}

void put_text(writer *w, const char *text, uint32_t length) {
  if (length > TEXT_MAX) {
    w->fits = false;
    return;
  }
  put_u16(w, static_cast<uint16_t>(length));
  put_bytes(w, text, length);
}

void put_header(writer *w, uint8_t type_byte, uint32_t remaining) {
  uint8_t header[MQTT_FIXED_HEADER_MAX];
  header[0] = type_byte;
  unsigned n = mqtt_put_length(header + 1, sizeof header - 1, remaining);
  if (n == 0) {
    w->fits = false;
    return;
  }
  put_bytes(w, header, n + 1);
}

uint32_t text_size(const char *text) { return 2 + static_cast<uint32_t>(std::strlen(text)); }

uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

/* Fixed header at data: 1 with its size and remaining length, 0 when incomplete, -1 for a
 * fifth length byte. */
int get_header(const uint8_t *data, uint32_t available, uint32_t *header_size, uint32_t *remaining) {
  uint32_t value = 0;
  for (uint32_t i = 1; i < MQTT_FIXED_HEADER_MAX; i++) {
    if (i >= available) return 0;
    value |= static_cast<uint32_t>(data[i] & 0x7F) << (7 * (i - 1));
    if ((data[i] & 0x80) == 0) {
      *header_size = i + 1;
      *remaining = value;
      return 1;
    }
  }
  return -1;
}

} // namespace

unsigned mqtt_put_length(uint8_t *out, unsigned capacity, uint32_t value) {
  if (value > MQTT_REMAINING_MAX) return 0;
  unsigned n = 0;
  do {
    if (n >= capacity) return 0;
    uint8_t digit = value & 0x7F;
    value >>= 7;
    out[n++] = value > 0 ? digit | 0x80 : digit;
  } while (value > 0);
  return n;
}

unsigned mqtt_header_size(uint32_t remaining) {
  if (remaining > MQTT_REMAINING_MAX) return 0;
  if (remaining < 128) return 2;
  if (remaining < 16384) return 3;
  if (remaining < 2097152) return 4;
  return 5;
}

uint32_t mqtt_encode_connect(uint8_t *out, uint32_t capacity, const mqtt_connect_fields *fields) {
  const bool user = fields->user_name != nullptr;
  const bool password = user && fields->password != nullptr;
  uint32_t remaining = 10 + text_size(fields->client_id);
  if (user) remaining += text_size(fields->user_name);
  if (password) remaining += text_size(fields->password);
  uint8_t flags = fields->clean_session ? 0x02 : 0;
  if (user) flags |= 0x80;
  if (password) flags |= 0x40;

  writer w{out, capacity, 0, true};
  put_header(&w, MQTT_CONNECT << 4, remaining);
  put_text(&w, "MQTT", 4);
  put_byte(&w, 4);
  put_byte(&w, flags);
  put_u16(&w, fields->keep_alive_seconds);
  put_text(&w, fields->client_id, static_cast<uint32_t>(std::strlen(fields->client_id)));
  if (user) put_text(&w, fields->user_name, static_cast<uint32_t>(std::strlen(fields->user_name)));
  if (password) put_text(&w, fields->password, static_cast<uint32_t>(std::strlen(fields->password)));
  return w.fits ? w.length : 0;
}

uint32_t mqtt_encode_subscribe(uint8_t *out, uint32_t capacity, uint16_t packet_id, const char *filter,
                               uint8_t qos) {
  if (packet_id == 0 || qos > 2) return 0;
  writer w{out, capacity, 0, true};
  put_header(&w, MQTT_SUBSCRIBE << 4 | 0x02, 2 + text_size(filter) + 1);
  put_u16(&w, packet_id);
  put_text(&w, filter, static_cast<uint32_t>(std::strlen(filter)));
  put_byte(&w, qos);
  return w.fits ? w.length : 0;
}

uint32_t mqtt_encode_publish_head(uint8_t *out, uint32_t capacity, const char *topic, uint32_t topic_length,
                                  uint32_t payload_length, uint8_t qos, uint16_t packet_id, bool dup) {
  const uint32_t id_size = qos > 0 ? 2 : 0;
  if (qos > 2 || (qos > 0 && packet_id == 0) || topic_length > TEXT_MAX ||
      payload_length > MQTT_REMAINING_MAX - 2 - id_size - topic_length)
    return 0;
  writer w{out, capacity, 0, true};
  const uint8_t flags = static_cast<uint8_t>((dup ? 0x08 : 0) | qos << 1);
  put_header(
      &w, static_cast<uint8_t>(MQTT_PUBLISH << 4 | flags), 2 + topic_length + id_size + payload_length);
  put_text(&w, topic, topic_length);
  if (qos > 0) put_u16(&w, packet_id);
  return w.fits ? w.length : 0;
}

uint32_t mqtt_encode_ack(uint8_t *out, mqtt_packet_type type, uint16_t packet_id) {
  if (type < MQTT_PUBACK || type > MQTT_PUBCOMP) return 0;
  out[0] = static_cast<uint8_t>(type << 4 | (type == MQTT_PUBREL ? 0x02 : 0));
  out[1] = 2;
  out[2] = static_cast<uint8_t>(packet_id >> 8);
  out[3] = static_cast<uint8_t>(packet_id);
  return 4;
}

void mqtt_reader_init(mqtt_reader *reader, uint8_t *storage, uint32_t capacity) {
  reader->storage = storage;
  reader->capacity = capacity;
  reader->start = reader->end = 0;
  reader->skip = 0;
}

uint8_t *mqtt_reader_space(mqtt_reader *reader, uint32_t *space) {
  if (reader->start > 0) {
    const uint32_t kept = reader->end - reader->start;
    if (kept > 0) std::memmove(reader->storage, reader->storage + reader->start, kept);
    reader->start = 0;
    reader->end = kept;
  }
  *space = reader->capacity - reader->end;
  return reader->storage + reader->end;
}

void mqtt_reader_commit(mqtt_reader *reader, uint32_t count) {
  if (count > reader->capacity - reader->end) count = reader->capacity - reader->end;
  reader->end += count;
}

mqtt_read_result mqtt_reader_peek(mqtt_reader *reader, mqtt_packet *packet) {
  if (reader->skip > 0) {
    uint32_t available = reader->end - reader->start;
    uint32_t dropped = available < reader->skip ? available : reader->skip;
    reader->start += dropped;
    reader->skip -= dropped;
    if (reader->skip > 0) return MQTT_READ_MORE;
  }
  const uint8_t *data = reader->storage + reader->start;
  const uint32_t available = reader->end - reader->start;
  if (available == 0) return MQTT_READ_MORE;
  uint32_t header_size = 0, remaining = 0;
  int header = get_header(data, available, &header_size, &remaining);
  if (header < 0) return MQTT_READ_MALFORMED;
  if (header == 0) return MQTT_READ_MORE;
  packet->type = data[0] >> 4;
  packet->flags = data[0] & 0x0F;
  packet->header_size = static_cast<uint8_t>(header_size);
  packet->length = remaining;
  if (remaining > reader->capacity - header_size) {
    packet->body = nullptr;
    return MQTT_READ_SKIPPED;
  }
  if (remaining > available - header_size) return MQTT_READ_MORE;
  packet->body = data + header_size;
  return MQTT_READ_PACKET;
}

void mqtt_reader_take(mqtt_reader *reader, const mqtt_packet *packet) {
  const uint32_t total = packet->header_size + packet->length;
  if (packet->body != nullptr) {
    reader->start += total;
    return;
  }
  reader->skip = total;
  uint32_t available = reader->end - reader->start;
  uint32_t dropped = available < reader->skip ? available : reader->skip;
  reader->start += dropped;
  reader->skip -= dropped;
}

int mqtt_reader_pending(const mqtt_reader *reader) {
  return reader->end > reader->start || reader->skip > 0 ? 1 : 0;
}

int mqtt_flags_valid(uint8_t type, uint8_t flags) {
  switch (type) {
    case MQTT_PUBLISH:
      return (flags & 0x06) != 0x06 ? 1 : 0; /* QoS 3 is malformed */
    case MQTT_PUBREL:
    case MQTT_SUBSCRIBE:
      return flags == 0x02 ? 1 : 0;
    default:
      return flags == 0 ? 1 : 0;
  }
}

int mqtt_decode_publish(const mqtt_packet *packet, mqtt_publish *out) {
  if (packet->type != MQTT_PUBLISH || !mqtt_flags_valid(packet->type, packet->flags) ||
      packet->body == nullptr || packet->length < 2)
    return 0;
  const uint8_t qos = (packet->flags >> 1) & 0x03;
  const uint32_t topic_length = get_u16(packet->body);
  const uint32_t id_size = qos > 0 ? 2 : 0;
  if (topic_length == 0 || packet->length - 2 < topic_length + id_size) return 0;
  out->topic = reinterpret_cast<const char *>(packet->body + 2);
  out->topic_length = static_cast<uint16_t>(topic_length);
  out->qos = qos;
  out->retain = (packet->flags & 0x01) != 0;
  out->dup = (packet->flags & 0x08) != 0;
  out->packet_id = qos > 0 ? get_u16(packet->body + 2 + topic_length) : 0;
  if (qos > 0 && out->packet_id == 0) return 0;
  out->payload = packet->body + 2 + topic_length + id_size;
  out->payload_length = packet->length - 2 - topic_length - id_size;
  return 1;
}

int mqtt_decode_connack(const mqtt_packet *packet, uint8_t *return_code) {
  if (packet->type != MQTT_CONNACK || packet->flags != 0 || packet->length != 2 || packet->body == nullptr ||
      (packet->body[0] & 0xFE) != 0)
    return 0;
  *return_code = packet->body[1];
  return 1;
}

int mqtt_decode_suback(const mqtt_packet *packet, uint16_t *packet_id, uint8_t *code) {
  if (packet->type != MQTT_SUBACK || packet->flags != 0 || packet->length != 3 || packet->body == nullptr)
    return 0;
  const uint8_t granted = packet->body[2];
  if (granted > 2 && granted != MQTT_SUBACK_FAILURE) return 0;
  *packet_id = get_u16(packet->body);
  *code = granted;
  return 1;
}

int mqtt_decode_ack(const mqtt_packet *packet, uint16_t *packet_id) {
  if (packet->type < MQTT_PUBACK || packet->type > MQTT_PUBCOMP ||
      !mqtt_flags_valid(packet->type, packet->flags) || packet->length != 2 || packet->body == nullptr)
    return 0;
  *packet_id = get_u16(packet->body);
  return 1;
}
