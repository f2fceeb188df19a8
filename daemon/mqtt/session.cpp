/* MQTT client session state machine. */
#include "session.h"

#include <cstdio>
#include <cstring>

namespace {

/* Appends one of the session's own packets; the bytes already written make room first. */
bool add_control(mqtt_session *s, const uint8_t *packet, uint32_t length) {
  if (length == 0) return false;
  if (SESSION_CONTROL_CAPACITY - s->control_length < length && s->control_sent > 0) {
    std::memmove(s->control, s->control + s->control_sent, s->control_length - s->control_sent);
    s->control_length -= s->control_sent;
    s->control_sent = 0;
  }
  if (SESSION_CONTROL_CAPACITY - s->control_length < length) return false;
  std::memcpy(s->control + s->control_length, packet, length);
  s->control_length += length;
  return true;
}

bool control_room(const mqtt_session *s, uint32_t length) {
  return SESSION_CONTROL_CAPACITY - (s->control_length - s->control_sent) >= length;
}

void set_reason(mqtt_session *s, const char *format, unsigned value = 0, const char *text = "") {
  std::snprintf(s->reason, sizeof s->reason, format, value, text);
}

void end_session(mqtt_session *s, bool abort) {
  transport_close(&s->transport, abort);
  s->state = SESSION_DOWN;
  s->control_length = s->control_sent = 0;
  s->subscribe_id = 0;
  s->subscription = SESSION_SUBSCRIPTION_NONE;
  s->ping_sent = 0;
  s->ping_answered = false;
  s->blocked_since = 0;
  s->answers_owed = false;
  s->owner_partial = false;
  s->read_after = 0;
  s->stream_taken = s->owner_taken = 0;
  s->mark_next = 0;
  std::memset(s->marks, 0, sizeof s->marks);
  mqtt_reader_init(&s->reader, s->input, SESSION_INPUT_CAPACITY);
  std::memset(s->qos2_received, 0, sizeof s->qos2_received);
}

/* The connect attempt ended without a session; the reason is set. */
void connect_failed(mqtt_session *s, int rc) {
  end_session(s, true);
  if (s->events.connected != nullptr) s->events.connected(s->events.context, s, rc);
}

/* A failure of the transport: its reason in words. */
void take_transport_reason(mqtt_session *s) {
  transport_failure_text(&s->transport, s->reason, sizeof s->reason);
}

/* Of the bytes the broker's TCP has not acknowledged, those of the owner: the stream's tail
 * less the session's own packets in it. */
uint64_t owner_unacknowledged(const mqtt_session *s) {
  uint64_t tail = transport_unacknowledged(&s->transport);
  if (tail > s->stream_taken) tail = s->stream_taken;
  const uint64_t acknowledged = s->stream_taken - tail;
  uint64_t own = 0;
  for (const session_control_mark &m : s->marks) {
    if (m.length == 0 || m.end <= acknowledged) continue;
    const uint64_t start = m.end - m.length;
    own += m.end - (start > acknowledged ? start : acknowledged);
  }
  const uint64_t owner = tail > own ? tail - own : 0;
  return owner < s->owner_taken ? owner : s->owner_taken;
}

/* Ends the session for the reason set; what the broker had not taken is reset, not
 * delivered later. */
void lose(mqtt_session *s) {
  if (s->state == SESSION_CLOSING) {
    end_session(s, false); /* the broker closed after the DISCONNECT, as it should */
    return;
  }
  if (s->state != SESSION_UP) {
    connect_failed(s, -1);
    return;
  }
  const uint64_t unacknowledged = owner_unacknowledged(s);
  end_session(s, true);
  if (s->events.lost != nullptr) s->events.lost(s->events.context, s, unacknowledged);
}

void lose_transport(mqtt_session *s) {
  take_transport_reason(s);
  lose(s);
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

constexpr uint32_t ACK_SIZE = 4;

/* Hands a PUBLISH to the owner and answers it by its QoS. 0 when the owner cannot take it
 * now, or its answer cannot be stored until output went: both leave the packet unread. */
bool take_publish(mqtt_session *s, const mqtt_publish *message) {
  uint8_t ack[ACK_SIZE];
  if (message->qos == 0) {
    return s->events.message == nullptr || s->events.message(s->events.context, s, message) != 0;
  }
  if (!control_room(s, ACK_SIZE)) {
    s->answers_owed = true;
    return false;
  }
  if (message->qos == 1) {
    if (s->events.message != nullptr && s->events.message(s->events.context, s, message) == 0) return false;
    if (s->state != SESSION_UP) return true; /* the owner ended the session */
    add_control(s, ack, mqtt_encode_ack(ack, MQTT_PUBACK, message->packet_id));
    return true;
  }
  /* QoS 2: delivered on the first PUBLISH, answered with PUBREC until PUBREL ends it. */
  if (!qos2_seen(s, message->packet_id)) {
    if (s->events.message != nullptr && s->events.message(s->events.context, s, message) == 0) return false;
    if (s->state != SESSION_UP) return true;
    qos2_mark(s, message->packet_id, true);
  }
  add_control(s, ack, mqtt_encode_ack(ack, MQTT_PUBREC, message->packet_id));
  return true;
}

/* An answer of type to the packet id, or 0 (packet stays unread) while it does not fit. */
int answer(mqtt_session *s, mqtt_packet_type type, uint16_t id) {
  uint8_t ack[ACK_SIZE];
  if (!control_room(s, ACK_SIZE)) {
    s->answers_owed = true;
    return 0;
  }
  add_control(s, ack, mqtt_encode_ack(ack, type, id));
  return 1;
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
      if (packet->length != 0) return -1;
      s->ping_answered = true;
      return 1;
    case MQTT_SUBACK:
      if (!mqtt_decode_suback(packet, &id, &code)) return -1;
      if (id == s->subscribe_id) {
        s->subscribe_id = 0;
        s->subscription = code;
      }
      return 1;
    case MQTT_PUBREL: {
      if (!mqtt_decode_ack(packet, &id)) return -1;
      if (!answer(s, MQTT_PUBCOMP, id)) return 0;
      qos2_mark(s, id, false);
      return 1;
    }
    case MQTT_PUBACK:
    case MQTT_PUBCOMP:
      if (!mqtt_decode_ack(packet, &id)) return -1;
      if (s->events.delivered != nullptr) s->events.delivered(s->events.context, s, id);
      return 1;
    case MQTT_PUBREC:
      /* The session publishes at QoS 0 only; a PUBREC is answered so the broker can finish. */
      if (!mqtt_decode_ack(packet, &id)) return -1;
      return answer(s, MQTT_PUBREL, id);
    default:
      return -1; /* CONNACK twice, or a packet only a server may receive */
  }
}

/* The first packet of a session must be the CONNACK. */
void handle_connack(mqtt_session *s, const mqtt_packet *packet) {
  uint8_t code = 0;
  if (!mqtt_decode_connack(packet, &code)) {
    set_reason(s, "the broker's answer to CONNECT was not a valid CONNACK");
    connect_failed(s, -1);
    return;
  }
  if (code != 0) {
    set_reason(s, "refused by the broker (return code %u)", code);
    connect_failed(s, code);
    return;
  }
  s->state = SESSION_UP;
  if (s->events.connected != nullptr) s->events.connected(s->events.context, s, 0);
}

/* Input may be read and handed over: never while an answer owed to the broker has no room;
 * else the CONNACK and what the broker sends after the DISCONNECT always, and the packets of
 * an established session while the owner takes messages. */
bool takes_input(const mqtt_session *s) {
  if (s->answers_owed) return false;
  if (s->state == SESSION_CONNACK || s->state == SESSION_CLOSING) return true;
  return s->state == SESSION_UP && !s->paused;
}

/* Packets read and complete that the session could hand over now. */
bool packet_ready(mqtt_session *s) {
  if (!takes_input(s)) return false;
  if (transport_buffered(&s->transport)) return true;
  if (s->reader.end == s->reader.start) return false;
  mqtt_packet packet;
  return mqtt_reader_peek(&s->reader, &packet) != MQTT_READ_MORE;
}

/* After the DISCONNECT: a QoS 0 message goes to the owner, everything else is left
 * unanswered. 0 when the owner cannot take the message now, -1 for a broken packet. */
int take_closing(mqtt_session *s, const mqtt_packet *packet) {
  if (packet->type != MQTT_PUBLISH) return 1;
  mqtt_publish message;
  if (!mqtt_decode_publish(packet, &message)) return -1;
  if (message.qos != 0 || s->events.message == nullptr) return 1;
  return s->events.message(s->events.context, s, &message) != 0 ? 1 : 0;
}

/* Hands over every complete packet read so far while the session takes input. */
void dispatch(mqtt_session *s, long long now) {
  while (takes_input(s)) {
    mqtt_packet packet;
    mqtt_read_result result = mqtt_reader_peek(&s->reader, &packet);
    if (result == MQTT_READ_MORE) return;
    if (result == MQTT_READ_MALFORMED) {
      set_reason(s, "malformed packet from the broker");
      lose(s);
      return;
    }
    s->last_received = now;
    s->ping_sent = 0;
    if (s->state == SESSION_CONNACK) {
      if (result != MQTT_READ_PACKET || packet.type != MQTT_CONNACK) {
        set_reason(s, "the broker answered CONNECT with another packet (type %u)", packet.type);
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
        set_reason(s, "protocol violation by the broker (packet type %u too long)", packet.type);
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
    int handled = s->state == SESSION_CLOSING ? take_closing(s, &packet) : handle_packet(s, &packet);
    if (s->state == SESSION_DOWN) return; /* a callback ended the session */
    if (handled < 0) {
      set_reason(s, "protocol violation by the broker (packet type %u)", packet.type);
      lose(s);
      return;
    }
    if (handled == 0) return;
    mqtt_reader_take(&s->reader, &packet);
  }
}

/* One read of up to a buffer's worth (TLS: until it wants more or the buffer is full; one
 * read only while paused, also before the CONNACK or while closing). */
void read_input(mqtt_session *s, long long now) {
  do {
    uint32_t space = 0;
    uint8_t *into = mqtt_reader_space(&s->reader, &space);
    if (space == 0) return;
    long n = transport_read(&s->transport, into, space);
    if (n < 0) {
      lose_transport(s);
      return;
    }
    if (n == 0) break;
    mqtt_reader_commit(&s->reader, static_cast<uint32_t>(n));
    s->last_received = now;
    if (s->transport.ssl == nullptr) break;
    dispatch(s, now);
  } while (takes_input(s) && !s->paused && transport_buffered(&s->transport));
  dispatch(s, now);
}

void transport_opened(mqtt_session *s) {
  uint8_t packet[SESSION_CONTROL_CAPACITY];
  uint32_t length = mqtt_encode_connect(packet, sizeof packet, &s->connect);
  if (length == 0 || !add_control(s, packet, length)) {
    set_reason(s, "the CONNECT packet does not fit");
    connect_failed(s, -1);
    return;
  }
  s->state = SESSION_CONNACK;
}

/* Input is left unpolled for now: the owner asked so, and no ping's answer is awaited. */
bool reading_deferred(const mqtt_session *s) {
  return s->read_after != 0 && s->state == SESSION_UP && s->ping_sent == 0;
}

/* What a session timer does when it is due. */
enum timer_action {
  TIMER_NONE,
  TIMER_CONNECT_TIMEOUT, /* no CONNACK within the connect time-out */
  TIMER_STALL,           /* output made no progress within the stall limit */
  TIMER_PING_LOST,       /* no answer to the ping within the keep-alive */
  TIMER_PING,            /* nothing went out or came in for the keep-alive: ping */
  TIMER_READ,            /* input the owner let wait: read it now */
};

struct session_timer {
  long long due; /* 0 with TIMER_NONE */
  timer_action action;
};

/* The one definition of every timer: when the next is due and what it does. Both waking
 * the loop (session_next_ms) and acting (check_timers) read it, so they cannot disagree. */
session_timer next_timer(mqtt_session *s) {
  if (s->state == SESSION_OPENING || s->state == SESSION_CONNACK)
    return session_timer{s->deadline, TIMER_CONNECT_TIMEOUT};
  if (s->state != SESSION_UP) return session_timer{0, TIMER_NONE};
  session_timer next{0, TIMER_NONE};
  auto consider = [&next](long long due, timer_action action) {
    if (next.action == TIMER_NONE || due < next.due) next = session_timer{due, action};
  };
  if (s->blocked_since != 0) consider(s->blocked_since + s->timing.stall_timeout_ms, TIMER_STALL);
  if (s->ping_sent != 0) {
    /* While paused nothing is read, so the answer cannot be seen: the ping waits. */
    if (!s->paused) consider(s->ping_sent + s->timing.keep_alive_ms, TIMER_PING_LOST);
  } else if (!session_output_pending(s)) {
    /* A ping when nothing went out for the interval keeps the broker from dropping the
     * session; one when nothing came in finds a broker that no longer answers. A ping waits
     * for the output before it: until then the socket's room or the stall limit wakes the
     * loop. */
    const long long quiet = s->last_sent < s->last_received ? s->last_sent : s->last_received;
    consider(quiet + s->timing.keep_alive_ms, TIMER_PING);
  }
  if (reading_deferred(s)) consider(s->read_after, TIMER_READ);
  return next;
}

/* The step an attempt is waiting in: the transport's, or the CONNACK once it is open. */
const char *opening_step(const mqtt_session *s) {
  return s->transport.state == TRANSPORT_OPEN ? "CONNACK" : transport_step_name(s->transport.state);
}

/* Acts on the due timers in turn. The ping and the read act at most once each and the others
 * end the session or the attempt, so four rounds are a bound, not a limit. */
void check_timers(mqtt_session *s, long long now) {
  for (int round = 0; round < 4 && s->state != SESSION_DOWN; round++) {
    const session_timer timer = next_timer(s);
    if (timer.action == TIMER_NONE || now < timer.due) return;
    switch (timer.action) {
      case TIMER_CONNECT_TIMEOUT:
        set_reason(s, "no answer within %u s (%s)", s->timing.connect_timeout_ms / 1000, opening_step(s));
        connect_failed(s, -1);
        return;
      case TIMER_STALL:
        set_reason(s, "output stalled for %u s: the broker takes nothing", s->timing.stall_timeout_ms / 1000);
        lose(s);
        return;
      case TIMER_PING_LOST:
        set_reason(s, "no answer to a ping within %u s", s->timing.keep_alive_ms / 1000);
        lose(s);
        return;
      case TIMER_PING:
        if (!add_control(s, MQTT_PINGREQ_PACKET, sizeof MQTT_PINGREQ_PACKET)) return;
        s->ping_sent = now;
        session_flush(s, now);
        break;
      case TIMER_READ:
        s->read_after = 0;
        if (takes_input(s)) read_input(s, now);
        break;
      case TIMER_NONE:
        return;
    }
  }
}

/* Notes where own bytes ended in the stream. */
void mark_control(mqtt_session *s, uint32_t length) {
  if (length == 0) return;
  s->marks[s->mark_next] = session_control_mark{s->stream_taken, length};
  s->mark_next = (s->mark_next + 1) % SESSION_CONTROL_MARKS;
}

/* Gathers one write: own packets go between the owner's packets, never inside one, so after
 * the rest of a partly written owner packet (*before_control: its bytes), before the next.
 * Returns the number of pieces. */
unsigned gather_pieces(mqtt_session *s, iovec *pieces, uint32_t *before_control) {
  iovec owner[SESSION_PIECES_MAX];
  unsigned owner_count = 0;
  if (s->state == SESSION_UP && s->output.gather != nullptr)
    owner_count = s->output.gather(s->output.context, owner, SESSION_PIECES_MAX - 1);
  unsigned count = 0, next_owner = 0;
  if (s->owner_partial && owner_count > 0) {
    pieces[count++] = owner[next_owner++];
    *before_control = static_cast<uint32_t>(pieces[0].iov_len);
  }
  const uint32_t control = s->control_length - s->control_sent;
  if (control > 0) pieces[count++] = iovec{s->control + s->control_sent, control};
  while (next_owner < owner_count) pieces[count++] = owner[next_owner++];
  return count;
}

/* Accounts for written bytes of a write gathered as above: owner rest, own packets, owner
 * packets, in the stream's order. Returns the owner's bytes. */
uint32_t take_written(mqtt_session *s, uint32_t written, uint32_t before_control, uint32_t control) {
  const uint32_t owner_first = written < before_control ? written : before_control;
  uint32_t rest = written - owner_first;
  const uint32_t own = rest < control ? rest : control;
  rest -= own;
  s->stream_taken += owner_first;
  s->stream_taken += own;
  mark_control(s, own);
  s->stream_taken += rest;
  s->control_sent += own;
  if (s->control_sent == s->control_length) s->control_length = s->control_sent = 0;
  return owner_first + rest;
}

/* A write of written bytes ended inside an owner packet: inside a piece other than the own
 * packets' one. */
bool ends_inside_owner_packet(const iovec *pieces, unsigned count, unsigned own_piece, uint32_t written) {
  uint32_t left = written;
  for (unsigned i = 0; i < count; i++) {
    const uint32_t length = static_cast<uint32_t>(pieces[i].iov_len);
    if (left < length) return left > 0 && i != own_piece;
    left -= length;
  }
  return false;
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
  s->reason[0] = '\0';
  end_session(s, false);
}

void session_connect(mqtt_session *s, long long now) {
  end_session(s, true);
  s->reason[0] = '\0';
  s->deadline = now + s->timing.connect_timeout_ms;
  s->last_sent = s->last_received = now;
  s->state = SESSION_OPENING;
  transport_state opened = transport_open(&s->transport);
  if (opened == TRANSPORT_FAILED) {
    take_transport_reason(s);
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
  s->subscription = SESSION_SUBSCRIPTION_PENDING;
  return 1;
}

session_phase session_state(const mqtt_session *s) { return s->state; }

void session_defer_reading(mqtt_session *s, long long until) {
  if (until == 0 || s->read_after == 0) s->read_after = until;
}

int session_subscription(const mqtt_session *s) { return s->subscription; }

void session_pause(mqtt_session *s, bool paused) {
  if (s->paused && !paused && s->ping_sent != 0) s->ping_sent = 0;
  s->paused = paused;
}

int session_ping_now(mqtt_session *s, long long now) {
  if (s->state != SESSION_UP) return 0;
  if (s->ping_sent != 0) return 1;
  if (!add_control(s, MQTT_PINGREQ_PACKET, sizeof MQTT_PINGREQ_PACKET)) return 0;
  s->ping_sent = now;
  return 1;
}

int session_ping_answered(const mqtt_session *s) { return s->ping_answered ? 1 : 0; }

unsigned session_poll_fds(mqtt_session *s, pollfd *fds) {
  if (s->state == SESSION_DOWN) return 0;
  const bool open = s->transport.state == TRANSPORT_OPEN;
  const bool want_read = open && takes_input(s) && !reading_deferred(s);
  const bool want_write = open && session_output_pending(s);
  /* A session that takes nothing in and has nothing to write is not polled at all: poll
   * would report a hang-up on it again and again without anything to do about it. */
  if (open && !want_read && !want_write) return 0;
  return transport_poll_fds(&s->transport, want_read, want_write, fds);
}

long long session_next_ms(mqtt_session *s, long long now) {
  if (packet_ready(s)) return now;
  long long next = next_timer(s).due;
  if (s->state == SESSION_OPENING) {
    const int lookup = transport_timeout_ms(&s->transport);
    if (lookup >= 0 && (next == 0 || now + lookup < next)) next = now + lookup;
  }
  return next;
}

void session_handle(mqtt_session *s, const pollfd *fds, unsigned count, long long now) {
  if (s->state == SESSION_OPENING) {
    transport_state state = transport_progress(&s->transport, fds, count);
    if (state == TRANSPORT_FAILED) {
      take_transport_reason(s);
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
  dispatch(s, now);
  if (input && takes_input(s)) read_input(s, now);
  /* Also on an error or hang-up: the write then fails and ends the session. */
  if (s->state != SESSION_DOWN && revents != 0 && session_output_pending(s)) session_flush(s, now);
  if (s->state != SESSION_DOWN) check_timers(s, now);
}

int session_output_pending(mqtt_session *s) {
  if (s->control_sent < s->control_length) return 1;
  if (transport_pending(&s->transport) > 0) return 1;
  if (s->state != SESSION_UP || s->output.gather == nullptr) return 0;
  iovec piece;
  return s->output.gather(s->output.context, &piece, 1) > 0 ? 1 : 0;
}

void session_flush(mqtt_session *s, long long now) {
  if (s->state != SESSION_CONNACK && s->state != SESSION_UP) return;
  iovec pieces[SESSION_PIECES_MAX];
  uint32_t before_control = 0;
  const uint32_t control = s->control_length - s->control_sent;
  const unsigned count = gather_pieces(s, pieces, &before_control);
  if (count == 0 && transport_pending(&s->transport) == 0) {
    s->blocked_since = 0;
    return;
  }
  long n = transport_write(&s->transport, pieces, static_cast<int>(count));
  if (n < 0) {
    lose_transport(s);
    return;
  }
  const uint32_t written = static_cast<uint32_t>(n);
  if (written > 0) {
    s->last_sent = now;
    const uint32_t owner_bytes = take_written(s, written, before_control, control);
    if (owner_bytes > 0) {
      /* The own packets' piece comes after the rest of an owner packet, else first. */
      const unsigned own_piece = control == 0 ? count : before_control > 0 ? 1 : 0;
      s->owner_partial = ends_inside_owner_packet(pieces, count, own_piece, written);
      s->owner_taken += owner_bytes;
      if (s->output.written != nullptr) s->output.written(s->output.context, owner_bytes);
    }
  }
  /* Room for an answer again: the packets waiting for it are handed over next. */
  if (s->answers_owed && control_room(s, ACK_SIZE)) s->answers_owed = false;

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
    transport_write(&s->transport, nullptr, 0); /* TLS: push it out if the socket takes it */
  }
  end_session(s, false);
}

int session_disconnect_reading(mqtt_session *s, long long now) {
  if (s->state == SESSION_UP) session_flush(s, now);
  if (s->state != SESSION_UP || session_output_pending(s)) {
    session_disconnect(s);
    return 0;
  }
  iovec piece{const_cast<uint8_t *>(MQTT_DISCONNECT_PACKET), sizeof MQTT_DISCONNECT_PACKET};
  if (transport_write(&s->transport, &piece, 1) != static_cast<long>(sizeof MQTT_DISCONNECT_PACKET)) {
    end_session(s, false);
    return 0;
  }
  transport_write(&s->transport, nullptr, 0); /* TLS: push it out if the socket takes it */
  s->state = SESSION_CLOSING;
  s->answers_owed = false; /* nothing is answered any more */
  s->read_after = 0;
  return 1;
}

void session_abort(mqtt_session *s, const char *reason) {
  if (s->state != SESSION_UP) return;
  std::snprintf(s->reason, sizeof s->reason, "%s", reason);
  lose(s);
}

const char *session_reason(const mqtt_session *s) { return s->reason; }

void session_release(mqtt_session *s) {
  end_session(s, false);
  transport_release(&s->transport);
}
