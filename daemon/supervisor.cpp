/* Connection supervisor and event loop: passes that reconnect the cloud, then the gateway;
 * the relay between them; shutdown. Whether a connection is up is asked of its session. */
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "daemon.h"
#include "relay.h"
#include "settings/log.h"

namespace {

constexpr unsigned FAILURE_LOG_EVERY = 4;
/* The wake pipe, then each session's descriptors. */
constexpr unsigned LOOP_POLL_MAX = 1 + 2 * SESSION_POLL_MAX;

daemon_poll_fn poll_function = poll;

relay_daemon *owner(void *context) { return static_cast<relay_daemon *>(context); }

const char *mode_word(const relay_daemon *d) { return d->settings.mode == 1 ? "registered" : "quickstart"; }
const char *ssl_suffix(const relay_daemon *d) { return d->settings.ssl ? " over SSL" : ""; }

/* Every FAILURE_LOG_EVERY-th failure (the first included) goes to the system log. */
bool failure_goes_to_log(uint8_t failures) { return failures % FAILURE_LOG_EVERY == 0; }

/* What a failed connect means, in words: the session's reason when no connection was made,
 * the refusal's meaning otherwise. */
const char *failure_text(const mqtt_session *session, int rc, bool cloud) {
  const char *reason = session_reason(session);
  return rc == -1 && reason[0] != '\0' ? reason : status_connect_text(rc, cloud);
}

/* At least once the gateway's messages come at QoS 1 too: the relay acknowledges each once
 * it holds it (memory or a spool batch), and the gateway broker keeps what it did not. */
uint8_t gateway_qos(const relay_daemon *d) { return d->at_least_once ? 1 : 0; }

bool up(const mqtt_session *session) { return session_state(session) == SESSION_UP; }
bool answering(const mqtt_session *session) {
  const session_phase phase = session_state(session);
  return phase == SESSION_OPENING || phase == SESSION_CONNACK;
}

/* The subscription's answer (a SUBACK code, or -1 when none came in time). A refusal drops
 * the gateway, so the next pass connects and subscribes again instead of staying connected
 * and relaying nothing; repeated refusals are throttled like failed connects. The gateway
 * counts as up for the operator once it is subscribed. */
void subscription_answered(relay_daemon *d, int rc) {
  if (rc >= 0 && rc != MQTT_SUBACK_FAILURE) {
    d->subscribe_refusals = 0;
    status_side_set(&d->status, &d->status.gateway, STATUS_UP, daemon_clock_ms());
    return;
  }
  const char *failed = "Failed to subscribe to topic '%s' on IoT Gateway (RC=%i).";
  if (failure_goes_to_log(d->subscribe_refusals)) {
    log_msg(LOG_ERR, failed, GATEWAY_TOPIC_FILTER, rc);
  } else {
    std::printf(failed, GATEWAY_TOPIC_FILTER, rc);
  }
  d->subscribe_refusals++;
  session_disconnect(&d->gateway);
  status_side_failed(&d->status, &d->status.gateway, rc, status_subscribe_text(rc), daemon_clock_ms());
}

void report_dropped(relay_daemon *d) {
  unsigned dropped = relay_queue_take_dropped(&d->queue);
  if (dropped > 0) log_msg(LOG_WARNING, "Dropped %u messages for NIMBA: queue full.", dropped);
}

void begin_connect(relay_daemon *d, mqtt_session *session, status_side *side, long long now) {
  status_side_set(&d->status, side, STATUS_CONNECTING, now);
  session_connect(session, now);
}

/* Ends the pass; the next begins after the pause. */
int end_pass(relay_daemon *d, long long now) {
  report_dropped(d);
  relay_report_pass(d);
  std::fflush(stdout);
  d->step = PASS_PAUSE;
  d->next_pass_ms = now + d->options.pause_seconds * 1000LL;
  status_next_pass(&d->status, d->next_pass_ms);
  return 1;
}

/* A stop request ends the pass at once: an answer still awaited is abandoned (no failure
 * is reported for it) and no new connect or subscription begins. A subscription awaited
 * is left to the shutdown, which disconnects the gateway. */
void abandon_pass(relay_daemon *d) {
  if (answering(&d->cloud)) session_disconnect(&d->cloud);
  if (answering(&d->gateway)) session_disconnect(&d->gateway);
  d->step = PASS_PAUSE;
}

long long earliest(long long a, long long b) { return a == 0 || (b != 0 && b < a) ? b : a; }

/* Lets the cloud take what is queued for it, within DAEMON_DISCONNECT_TIMEOUT_MS: at least
 * once, until every document in memory is acknowledged. */
void drain_cloud(relay_daemon *d) {
  const long long deadline = daemon_clock_ms() + DAEMON_DISCONNECT_TIMEOUT_MS;
  session_defer_reading(&d->cloud, 0); /* this loop waits for acknowledgements alone */
  for (;;) {
    long long now = daemon_clock_ms();
    session_flush(&d->cloud, now);
    const bool waiting =
        d->at_least_once ? relay_queue_count(&d->queue) > 0 : session_output_pending(&d->cloud);
    if (!up(&d->cloud) || !waiting || now >= deadline) return;
    pollfd fds[SESSION_POLL_MAX];
    unsigned count = session_poll_fds(&d->cloud, fds);
    if (poll_function(fds, count, static_cast<int>(deadline - now)) < 0 && errno != EINTR) return;
    session_handle(&d->cloud, fds, count, daemon_clock_ms());
    relay_link_proof(d, daemon_clock_ms());
  }
}

/* A stop takes in what the gateway had already sent before it lets it go: what waits in the
 * socket, then, after the DISCONNECT, what the broker sent until it closed (QoS 0 messages
 * would otherwise be lost unread; QoS 1 ones left then, it sends again in the next session).
 * Every document is taken (relay: d->stopping); a busy spool writer is waited for. */
void drain_gateway(relay_daemon *d) {
  mqtt_session *gateway = &d->gateway;
  if (!up(gateway)) {
    session_disconnect(gateway);
    return;
  }
  d->stopping = true;
  const long long deadline = daemon_clock_ms() + DAEMON_GATEWAY_STOP_MS;
  session_defer_reading(gateway, 0);
  for (unsigned reads = 0; reads < DAEMON_GATEWAY_STOP_READS;) {
    const long long now = daemon_clock_ms();
    if (now >= deadline) break;
    if (d->spool_refused_ms != 0) {
      const long long due = relay_next_ms(d);
      if (due > now) poll_function(nullptr, 0, static_cast<int>(due - now));
      relay_tick(d, daemon_clock_ms());
      continue;
    }
    session_pause(gateway, false);
    session_handle(gateway, nullptr, 0, now); /* what was read already */
    if (session_state(gateway) == SESSION_DOWN) break;
    if (d->spool_refused_ms != 0) continue;
    pollfd fds[SESSION_POLL_MAX];
    const unsigned count = session_poll_fds(gateway, fds);
    const bool closing = session_state(gateway) == SESSION_CLOSING;
    /* Half the reads at most before the DISCONNECT, so that a gateway sending on and on
     * still gets it and the reads after it. */
    const bool more = closing || reads < DAEMON_GATEWAY_STOP_READS / 2;
    const int ready =
        count > 0 && more ? poll_function(fds, count, closing ? static_cast<int>(deadline - now) : 0) : 0;
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      session_handle(gateway, fds, count, daemon_clock_ms());
      reads++;
    } else if (ready == 0 && (closing || !session_disconnect_reading(gateway, now))) {
      break;
    }
  }
  session_disconnect(gateway);
  report_dropped(d);
  if (d->stop_dropped > 0)
    log_msg(LOG_WARNING, "Dropped %u messages for NIMBA: queue full.", d->stop_dropped);
  d->stop_dropped = 0;
}

} // namespace

void cloud_connect_answered(void *context, mqtt_session *session, int rc) {
  relay_daemon *d = owner(context);
  if (rc == 0) {
    d->cloud_failures = 0;
    status_side_set(&d->status, &d->status.cloud, STATUS_UP, daemon_clock_ms());
    log_msg(LOG_INFO, "Connected to NIMBA in %s mode%s.", mode_word(d), ssl_suffix(d));
    return;
  }
  if (failure_goes_to_log(d->cloud_failures)) {
    log_msg(LOG_ERR, "Failed to connect to NIMBA in %s mode%s (RC=%i).", mode_word(d), ssl_suffix(d), rc);
  } else {
    std::printf("Failed to connect to NIMBA in %s mode%s (RC=%i).", mode_word(d), ssl_suffix(d), rc);
  }
  d->cloud_failures++;
  status_side_failed(&d->status, &d->status.cloud, rc, failure_text(session, rc, true), daemon_clock_ms());
}

void gateway_connect_answered(void *context, mqtt_session *session, int rc) {
  relay_daemon *d = owner(context);
  if (rc == 0) {
    d->gateway_failures = 0;
    /* A gateway that takes the connect but refuses the subscription every pass is throttled
     * like one that refuses the connect: its refusals count until one is granted. */
    const char *connected = "Connected to IoT Gateway. Subscribing to topic '%s' on IoT Gateway using QoS%d.";
    if (failure_goes_to_log(d->subscribe_refusals)) {
      log_msg(LOG_INFO, connected, GATEWAY_TOPIC_FILTER, gateway_qos(d));
    } else {
      std::printf(connected, GATEWAY_TOPIC_FILTER, gateway_qos(d));
    }
    return;
  }
  if (failure_goes_to_log(d->gateway_failures)) {
    log_msg(LOG_ERR, "Failed to connect to IoT Gateway (RC=%i).", rc);
  } else {
    std::printf("Failed to connect to IoT Gateway (RC=%i).", rc);
  }
  d->gateway_failures++;
  status_side_failed(&d->status, &d->status.gateway, rc, failure_text(session, rc, false), daemon_clock_ms());
}

int supervisor_advance(relay_daemon *d, long long now) {
  if (stop_signal != 0) {
    abandon_pass(d);
    return 0;
  }
  for (;;) {
    switch (d->step) {
      case PASS_PAUSE:
        if (now < d->next_pass_ms) return 1;
        d->step = PASS_CLOUD;
        if (!up(&d->cloud)) begin_connect(d, &d->cloud, &d->status.cloud, now);
        continue;
      case PASS_CLOUD:
        if (answering(&d->cloud)) return 1;
        if (!up(&d->cloud) || session_state(&d->gateway) != SESSION_DOWN) return end_pass(d, now);
        d->step = PASS_GATEWAY;
        begin_connect(d, &d->gateway, &d->status.gateway, now);
        continue;
      case PASS_GATEWAY:
        if (answering(&d->gateway)) return 1;
        if (!up(&d->gateway)) return end_pass(d, now);
        /* The answer to the connect came inside the gateway's session; the subscription that
         * follows it is made here, after that session's turn. */
        d->step = PASS_SUBSCRIBE;
        d->step_deadline = now + d->options.connect_timeout_seconds * 1000LL;
        if (!session_subscribe(&d->gateway, GATEWAY_TOPIC_FILTER, gateway_qos(d))) {
          subscription_answered(d, -1);
          return end_pass(d, now);
        }
        session_flush(&d->gateway, now);
        continue;
      case PASS_SUBSCRIBE: {
        if (!up(&d->gateway)) return end_pass(d, now); /* lost meanwhile: already reported */
        const int answer = session_subscription(&d->gateway);
        if (answer == SESSION_SUBSCRIPTION_PENDING && now < d->step_deadline) return 1;
        subscription_answered(d, answer == SESSION_SUBSCRIPTION_PENDING ? -1 : answer);
        return end_pass(d, now);
      }
    }
  }
}

long long daemon_clock_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + 1;
}

void daemon_set_poll(daemon_poll_fn function) { poll_function = function != nullptr ? function : poll; }

int supervisor_run(relay_daemon *d, int wake_fd) {
  int ok = 1;
  d->cloud_failures = 0;
  d->gateway_failures = 0;
  d->subscribe_refusals = 0;
  d->step = PASS_PAUSE;
  d->next_pass_ms = daemon_clock_ms();
  status_init(&d->status,
              d->options.status_path,
              static_cast<long>(getpid()),
              daemon_clock_ms(),
              d->cloud_uri,
              d->gateway_uri);
  d->status.cloud_mode = d->settings.mode;
  d->status.cloud_tls = d->settings.ssl != 0;
  status_next_pass(&d->status, d->next_pass_ms);
  for (;;) {
    long long now = daemon_clock_ms();
    if (!supervisor_advance(d, now)) break;
    /* Written after the pass's step, so that a failure reported in the last turn goes out
     * with the time of the next pass that its end has set. */
    const long long write_due = status_due_ms(&d->status);
    if (write_due != 0 && now >= write_due) {
      status_write_due(&d->status, relay_waiting(d), now);
      relay_clock_moved(d);
    }
    relay_gateway_flow(d);
    relay_acknowledgement_reading(d, now);

    pollfd fds[LOOP_POLL_MAX];
    fds[0] = pollfd{wake_fd, POLLIN, 0};
    const unsigned cloud_count = session_poll_fds(&d->cloud, fds + 1);
    const unsigned gateway_count = session_poll_fds(&d->gateway, fds + 1 + cloud_count);
    long long next = d->step == PASS_PAUSE ? d->next_pass_ms : 0;
    if (d->step == PASS_SUBSCRIBE) next = earliest(next, d->step_deadline);
    next = earliest(next, session_next_ms(&d->cloud, now));
    next = earliest(next, session_next_ms(&d->gateway, now));
    next = earliest(next, relay_next_ms(d));
    next = earliest(next, status_due_ms(&d->status));
    int timeout = -1;
    if (next != 0) timeout = next <= now ? 0 : static_cast<int>(next - now < INT_MAX ? next - now : INT_MAX);

    int ready = poll_function(fds, 1 + cloud_count + gateway_count, timeout);
    if (ready < 0 && errno != EINTR) {
      log_msg(LOG_ERR, "The event loop failed (errno=%i).", errno);
      ok = 0;
      break;
    }
    now = daemon_clock_ms();
    if (ready > 0 && fds[0].revents != 0) {
      char drained[64];
      while (read(wake_fd, drained, sizeof drained) > 0) {}
    }
    session_handle(&d->cloud, fds + 1, ready > 0 ? cloud_count : 0, now);
    session_handle(&d->gateway, fds + 1 + cloud_count, ready > 0 ? gateway_count : 0, now);
    relay_tick(d, now);
    relay_link_proof(d, now);
    /* What the gateway brought in this turn goes out in one write, unless the socket is
     * still full from before (then the cloud session waits for room itself). */
    if (d->cloud.blocked_since == 0) session_flush(&d->cloud, now);
    /* Once a second: whether the wall clock was set (documents' arrival times move with
     * it), and the delivery's figures; the waiting documents are counted only when the file
     * is written, which takes a clock set meanwhile too. */
    if (now >= d->delivery_checked_ms + STATUS_WRITE_INTERVAL_MS) {
      status_clock_moved(&d->status, now, status_wall_ms());
      relay_clock_moved(d);
      if (d->at_least_once) relay_status_update(d);
      d->delivery_checked_ms = now;
    }
  }
  supervisor_shutdown(d);
  status_remove(&d->status);
  return ok;
}

void supervisor_shutdown(relay_daemon *d) {
  drain_gateway(d);
  drain_cloud(d);
  relay_report_unsent(d);
  session_disconnect(&d->cloud);
  session_release(&d->gateway);
  session_release(&d->cloud);
}
