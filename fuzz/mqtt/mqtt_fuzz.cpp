/* libFuzzer target for the MQTT packet reader and decoders. The input is a byte stream from
 * a broker; its first bytes choose the sizes of the reads that deliver it to a reader with
 * small storage, so packets arrive split anywhere and some are too large to be stored.
 * Every packet found is decoded as its type says; the invariants below must hold. */
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "daemon/mqtt/codec.h"

namespace {

constexpr uint32_t STORAGE = 1024;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void decode(const mqtt_packet &packet, const uint8_t *storage) {
  check(packet.body >= storage && packet.body + packet.length <= storage + STORAGE);
  mqtt_publish message;
  uint8_t code = 0;
  uint16_t id = 0;
  switch (packet.type) {
    case MQTT_PUBLISH:
      if (mqtt_decode_publish(&packet, &message)) {
        check(message.topic_length > 0);
        check(reinterpret_cast<const uint8_t *>(message.topic) >= packet.body);
        check(message.payload + message.payload_length == packet.body + packet.length);
        check(message.qos <= 2 && (message.qos == 0 || message.packet_id != 0));
      }
      break;
    case MQTT_CONNACK:
      if (mqtt_decode_connack(&packet, &code)) check(packet.length == 2);
      break;
    case MQTT_SUBACK:
      if (mqtt_decode_suback(&packet, &id, &code)) check(code <= 2 || code == MQTT_SUBACK_FAILURE);
      break;
    default:
      mqtt_decode_ack(&packet, &id);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  /* Four read sizes, used in turn. */
  uint32_t reads[4];
  for (int i = 0; i < 4; i++) reads[i] = 1 + data[i] % 200;
  data += 4;
  size -= 4;

  static uint8_t storage[STORAGE];
  mqtt_reader reader;
  mqtt_reader_init(&reader, storage, STORAGE);
  size_t at = 0;
  for (unsigned turn = 0;; turn++) {
    mqtt_packet packet;
    mqtt_read_result result;
    while ((result = mqtt_reader_peek(&reader, &packet)) == MQTT_READ_PACKET || result == MQTT_READ_SKIPPED) {
      if (result == MQTT_READ_PACKET) {
        decode(packet, storage);
      } else {
        check(packet.body == nullptr && packet.header_size + packet.length > STORAGE);
      }
      mqtt_reader_take(&reader, &packet);
    }
    if (result == MQTT_READ_MALFORMED || at == size) return 0;
    uint32_t space = 0;
    uint8_t *into = mqtt_reader_space(&reader, &space);
    check(space > 0 && into >= storage && into + space <= storage + STORAGE);
    uint32_t n = reads[turn % 4];
    if (n > space) n = space;
    if (n > size - at) n = static_cast<uint32_t>(size - at);
    std::memcpy(into, data + at, n);
    mqtt_reader_commit(&reader, n);
    at += n;
  }
}
