/* MQTT client session state machine. */
#include "session.h"

#include <cstring>

namespace {

bool add_control(mqtt_session *s, const uint8_t *packet, uint32_t length) {
  if (length == 0 || SESSION_CONTROL_CAPACITY - s->control_length < length) return false;
  std::memcpy(s->control + s->control_length, packet, length);
  s->control_length += length;
  return true;
}

void end_session(mqtt_session *s) {
  transport_close(&s->transport);
  s->state = SESSION_DOWN;
  s->control_length = s->control_sent = 0;
  s->subscribe_id = 0;
  s->ping_sent = 0;
  s->blocked_since = 0;
  s->readable = false;
  mqtt_reader_init(&s->reader, s->input, SESSION_INPUT_CAPACITY);
  std::memset(s->qos2_received, 0, sizeof s->qos2_received);
}

/* The connect attempt ended without a session. */
void connect_failed(mqtt_session *s, int rc) {
  end_session(s);
  if (s->events.connected != nullptr) s->events.connected(s->events.context, s, rc);
}

void lose(mqtt_session *s) {
  if (s->state != SESSION_UP) {
    connect_failed(s, -1);
    return;
  }
  end_session(s);
  if (s->events.lost != nullptr) s->events.lost(s->events.context, s);
}

bool qos2_seen(const mqtt_session *s, uint16_t id) {
  return (s->qos2_received[id >> 3] >> (id & 7) & 1) != 0;
}

void qos2_mark(mqtt_session *s, uint16_t id, bool seen) {
  if (seen) {
    s->qos2_received[id >> 3] |= static_cast<uint8_t>(1u << (id & 7));
  } else {
    s->qos2_received[id >> 3] &= static_cast<uint8_t>(~(1u << (id & 7)));
  }
}

/* Hands a PUBLISH to the owner and answers it by its QoS. 0 when the owner cannot take it
 * now (or the answer does not fit: both leave the packet to be offered again). */
bool take_publish(mqtt_session *s, const mqtt_publish *message) {
  uint8_t ack[4];
  if (message->qos == 0) {
    return s->events.message == nullptr || s->events.message(s->events.context, s, message) != 0;
  }
  if (SESSION_CONTROL_CAPACITY - s->control_length < sizeof ack) return false;
  if (message->qos == 1) {
    if (s->events.message != nullptr && s->events.message(s->events.context, s, message) == 0) return false;
    add_control(s, ack, mqtt_encode_ack(ack, MQTT_PUBACK, message->packet_id));
    return true;
  }
  /* QoS 2: delivered on the first PUBLISH, answered with PUBREC until PUBREL ends it. */
  if (!qos2_seen(s, message->packet_id)) {
    if (s->events.message != nullptr && s->events.message(s->events.context, s, message) == 0) return false;
    qos2_mark(s, message->packet_id, true);
  }
  add_control(s, ack, mqtt_encode_ack(ack, MQTT_PUBREC, message->packet_id));
  return true;
}

/* Handles one packet of an established session; 0 ends the reading for now (the packet
 * stays), -1 is a protocol violation. */
int handle_packet(mqtt_session *s, const mqtt_packet *packet) {
  if (!mqtt_flags_valid(packet->type, packet->flags)) return -1;
  uint16_t id = 0;
  uint8_t code = 0;
  switch (packet->type) {
    case MQTT_PUBLISH: {
      mqtt_publish message;
      if (!mqtt_decode_publish(packet, &message)) return -1;
      return take_publish(s, &message) ? 1 : 0;
    }
    case MQTT_PINGRESP:
      return packet->length == 0 ? 1 : -1;
    case MQTT_SUBACK:
      if (!mqtt_decode_suback(packet, &id, &code)) return -1;
      if (id == s->subscribe_id) {
        s->subscribe_id = 0;
        if (s->events.subscribed != nullptr) s->events.subscribed(s->events.context, s, code);
      }
      return 1;
    case MQTT_PUBREL: {
      uint8_t ack[4];
      if (!mqtt_decode_ack(packet, &id)) return -1;
      if (SESSION_CONTROL_CAPACITY - s->control_length < sizeof ack) return 0;
      qos2_mark(s, id, false);
      add_control(s, ack, mqtt_encode_ack(ack, MQTT_PUBCOMP, id));
      return 1;
    }
    case MQTT_PUBACK:
    case MQTT_PUBCOMP:
      if (!mqtt_decode_ack(packet, &id)) return -1;
      if (s->events.delivered != nullptr) s->events.delivered(s->events.context, s, id);
      return 1;
    case MQTT_PUBREC: {
      /* The session publishes at QoS 0 only; a PUBREC is answered so the broker can finish. */
      uint8_t ack[4];
      if (!mqtt_decode_ack(packet, &id)) return -1;
      if (!add_control(s, ack, mqtt_encode_ack(ack, MQTT_PUBREL, id))) return 0;
      return 1;
    }
    default:
      return -1; /* CONNACK twice, or a packet only a server may receive */
  }
}

/* The first packet of a session must be the CONNACK. */
void handle_connack(mqtt_session *s, const mqtt_packet *packet) {
  uint8_t code = 0;
  if (!mqtt_decode_connack(packet, &code)) {
    connect_failed(s, -1);
    return;
  }
  if (code != 0) {
    connect_failed(s, code);
    return;
  }
  s->state = SESSION_UP;
  if (s->events.connected != nullptr) s->events.connected(s->events.context, s, 0);
}

/* Hands over every complete packet read so far, unless paused. */
void dispatch(mqtt_session *s, long long now) {
  while ((s->state == SESSION_UP && !s->paused) || s->state == SESSION_CONNACK) {
    mqtt_packet packet;
    mqtt_read_result result = mqtt_reader_peek(&s->reader, &packet);
    if (result == MQTT_READ_MORE) return;
    if (result == MQTT_READ_MALFORMED) {
      lose(s);
      return;
    }
    s->last_received = now;
    s->ping_sent = 0;
    if (s->state == SESSION_CONNACK) {
      if (result != MQTT_READ_PACKET) {
        connect_failed(s, -1);
        return;
      }
      mqtt_reader_take(&s->reader, &packet);
      handle_connack(s, &packet);
      continue;
    }
    if (result == MQTT_READ_SKIPPED) {
      /* Too large to be used: only a PUBLISH may be that long. */
      if (packet.type != MQTT_PUBLISH) {
        lose(s);
        return;
      }
      mqtt_reader_take(&s->reader, &packet);
      if (s->events.message != nullptr) {
        mqtt_publish oversize{};
        oversize.payload_length = packet.length;
        s->events.message(s->events.context, s, &oversize);
      }
      continue; /* the loop's condition sees a session a callback ended */
    }
    int handled = handle_packet(s, &packet);
    if (s->state == SESSION_DOWN) return; /* a callback ended the session */
    if (handled < 0) {
      lose(s);
      return;
    }
    if (handled == 0) return;
    mqtt_reader_take(&s->reader, &packet);
  }
}

/* One read of up to a buffer's worth (TLS: until it wants more or the buffer is full). */
void read_input(mqtt_session *s, long long now) {
  do {
    uint32_t space = 0;
    uint8_t *into = mqtt_reader_space(&s->reader, &space);
    if (space == 0) return;
    long n = transport_read(&s->transport, into, space);
    if (n < 0) {
      lose(s);
      return;
    }
    if (n == 0) break;
    mqtt_reader_commit(&s->reader, static_cast<uint32_t>(n));
    s->last_received = now;
    if (s->transport.ssl == nullptr) break;
    dispatch(s, now);
  } while (s->state != SESSION_DOWN && !s->paused && transport_buffered(&s->transport));
  dispatch(s, now);
}

void transport_opened(mqtt_session *s) {
  uint8_t packet[SESSION_CONTROL_CAPACITY];
  uint32_t length = mqtt_encode_connect(packet, sizeof packet, &s->connect);
  if (length == 0 || !add_control(s, packet, length)) {
    connect_failed(s, -1);
    return;
  }
  s->state = SESSION_CONNACK;
}

void check_timers(mqtt_session *s, long long now) {
  if (s->state == SESSION_OPENING || s->state == SESSION_CONNACK) {
    if (now >= s->deadline) connect_failed(s, -1);
    return;
  }
  if (s->state != SESSION_UP) return;
  if (s->blocked_since != 0 && now - s->blocked_since >= s->timing.stall_timeout_ms) {
    lose(s);
    return;
  }
  if (s->ping_sent != 0) {
    if (!s->paused && now - s->ping_sent >= s->timing.keep_alive_ms) lose(s);
    return;
  }
  /* A ping when nothing went out for the interval keeps the broker from dropping the
   * session; one when nothing came in finds a broker that no longer answers. */
  const bool quiet =
      now - s->last_sent >= s->timing.keep_alive_ms || now - s->last_received >= s->timing.keep_alive_ms;
  if (quiet && !session_output_pending(s) &&
      add_control(s, MQTT_PINGREQ_PACKET, sizeof MQTT_PINGREQ_PACKET)) {
    s->ping_sent = now;
    session_flush(s, now);
  }
}

} // namespace

void session_init(mqtt_session *s, const mqtt_endpoint &endpoint, const mqtt_connect_fields &connect,
                  const session_timing &timing, const session_events &events, const session_output &output) {
  s->endpoint = endpoint;
  s->connect = connect;
  s->timing = timing;
  s->events = events;
  s->output = output;
  transport_init(&s->transport, &s->endpoint);
  s->paused = false;
  s->next_packet_id = 0;
  s->deadline = s->last_sent = s->last_received = 0;
  end_session(s);
}

void session_connect(mqtt_session *s, long long now) {
  end_session(s);
  s->deadline = now + s->timing.connect_timeout_ms;
  s->last_sent = s->last_received = now;
  s->state = SESSION_OPENING;
  transport_state opened = transport_open(&s->transport);
  if (opened == TRANSPORT_FAILED) {
    connect_failed(s, -1);
  } else if (opened == TRANSPORT_OPEN) {
    transport_opened(s);
    session_flush(s, now);
  }
}

int session_subscribe(mqtt_session *s, const char *filter, uint8_t qos) {
  if (s->state != SESSION_UP) return 0;
  if (++s->next_packet_id == 0) s->next_packet_id = 1;
  uint8_t packet[SESSION_CONTROL_CAPACITY];
  uint32_t length = mqtt_encode_subscribe(packet, sizeof packet, s->next_packet_id, filter, qos);
  if (length == 0 || !add_control(s, packet, length)) return 0;
  s->subscribe_id = s->next_packet_id;
  return 1;
}

void session_pause(mqtt_session *s, bool paused) {
  if (s->paused && !paused && s->ping_sent != 0) s->ping_sent = 0;
  s->paused = paused;
}

unsigned session_poll_fds(mqtt_session *s, pollfd *fds) {
  if (s->state == SESSION_DOWN) return 0;
  const bool open = s->transport.state == TRANSPORT_OPEN;
  const bool want_read = open && !(s->paused && s->state == SESSION_UP);
  const bool want_write = open && session_output_pending(s);
  /* A paused session with nothing to write is not polled at all: poll would report a
   * hang-up on it again and again without anything to do about it. */
  if (open && !want_read && !want_write) return 0;
  return transport_poll_fds(&s->transport, want_read, want_write, fds);
}

long long session_next_ms(mqtt_session *s, long long now) {
  switch (s->state) {
    case SESSION_OPENING: {
      long long next = s->deadline;
      int lookup = transport_timeout_ms(&s->transport);
      if (lookup >= 0 && now + lookup < next) next = now + lookup;
      return next;
    }
    case SESSION_CONNACK:
      return s->deadline;
    case SESSION_UP: {
      if (!s->paused && (transport_buffered(&s->transport) || s->reader.end > s->reader.start)) {
        mqtt_packet packet;
        if (transport_buffered(&s->transport) || mqtt_reader_peek(&s->reader, &packet) != MQTT_READ_MORE)
          return now;
      }
      long long next = 0;
      auto earliest = [&next](long long at) {
        if (next == 0 || at < next) next = at;
      };
      if (s->blocked_since != 0) earliest(s->blocked_since + s->timing.stall_timeout_ms);
      if (s->ping_sent != 0) {
        if (!s->paused) earliest(s->ping_sent + s->timing.keep_alive_ms);
      } else if (!session_output_pending(s)) {
        /* A ping waits for the output before it; until then the socket's room or the stall
         * limit wakes the loop (an overdue ping time here would make it spin). */
        long long quiet = s->last_sent < s->last_received ? s->last_sent : s->last_received;
        earliest(quiet + s->timing.keep_alive_ms);
      }
      return next;
    }
    default:
      return 0;
  }
}

void session_handle(mqtt_session *s, const pollfd *fds, unsigned count, long long now) {
  if (s->state == SESSION_OPENING) {
    transport_state state = transport_progress(&s->transport, fds, count);
    if (state == TRANSPORT_FAILED) {
      connect_failed(s, -1);
      return;
    }
    if (state == TRANSPORT_OPEN) {
      transport_opened(s);
      session_flush(s, now);
    }
    check_timers(s, now);
    return;
  }
  if (s->state == SESSION_DOWN) return;
  short revents = count > 0 ? fds[0].revents : 0;
  bool input = (revents & (POLLIN | POLLHUP | POLLERR)) != 0 || transport_buffered(&s->transport);
  if (s->transport.read_wants_write && (revents & POLLOUT)) input = true;
  if (s->state == SESSION_UP && s->paused) input = false;
  dispatch(s, now);
  if (input && s->state != SESSION_DOWN && !(s->state == SESSION_UP && s->paused)) read_input(s, now);
  /* Also on an error or hang-up: the write then fails and ends the session. */
  if (s->state != SESSION_DOWN && revents != 0 && session_output_pending(s)) session_flush(s, now);
  if (s->state != SESSION_DOWN) check_timers(s, now);
}

int session_output_pending(mqtt_session *s) {
  if (s->control_sent < s->control_length) return 1;
  if (s->state != SESSION_UP || s->output.gather == nullptr) return 0;
  iovec piece;
  return s->output.gather(s->output.context, &piece, 1) > 0 ? 1 : 0;
}

void session_flush(mqtt_session *s, long long now) {
  if (s->state != SESSION_CONNACK && s->state != SESSION_UP) return;
  iovec pieces[SESSION_PIECES_MAX];
  unsigned count = 0;
  const uint32_t control = s->control_length - s->control_sent;
  if (control > 0) pieces[count++] = iovec{s->control + s->control_sent, control};
  if (s->state == SESSION_UP && s->output.gather != nullptr)
    count += s->output.gather(s->output.context, pieces + count, SESSION_PIECES_MAX - count);
  if (count == 0) {
    s->blocked_since = 0;
    return;
  }
  long n = transport_write(&s->transport, pieces, static_cast<int>(count));
  if (n < 0) {
    lose(s);
    return;
  }
  uint32_t written = static_cast<uint32_t>(n);
  if (written > 0) {
    s->last_sent = now;
    uint32_t own = written < control ? written : control;
    s->control_sent += own;
    if (s->control_sent == s->control_length) s->control_length = s->control_sent = 0;
    if (written > own && s->output.written != nullptr) s->output.written(s->output.context, written - own);
  }

  if (!session_output_pending(s)) {
    s->blocked_since = 0;
  } else if (s->blocked_since == 0 || written > 0) {
    s->blocked_since = now;
  }
}

void session_disconnect(mqtt_session *s) {
  if (s->state == SESSION_UP && !session_output_pending(s)) {
    iovec piece{const_cast<uint8_t *>(MQTT_DISCONNECT_PACKET), sizeof MQTT_DISCONNECT_PACKET};
    transport_write(&s->transport, &piece, 1);
  }
  end_session(s);
}

void session_release(mqtt_session *s) {
  end_session(s);
  transport_release(&s->transport);
}
