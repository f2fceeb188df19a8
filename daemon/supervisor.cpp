/* Connection supervisor and event loop: passes that reconnect the cloud, then the gateway;
 * the relay between them; shutdown. */
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

constexpr uint8_t GATEWAY_SUBSCRIBE_QOS = 0;
daemon_poll_fn poll_function = poll;
constexpr unsigned FAILURE_LOG_EVERY = 4;
/* The wake pipe, then each session's descriptors. */
constexpr unsigned LOOP_POLL_MAX = 1 + 2 * SESSION_POLL_MAX;

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

} // namespace

void supervisor_cloud_answered(relay_daemon *d, int rc) {
  d->connect_rc = rc;
  if (rc == 0) {
    d->cloud_connected = true;
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
  status_side_failed(&d->status, &d->status.cloud, rc, failure_text(&d->cloud, rc, true), daemon_clock_ms());
}

void supervisor_gateway_answered(relay_daemon *d, int rc) {
  d->connect_rc = rc;
  if (rc == 0) {
    const long long now = daemon_clock_ms();
    d->gateway_connected = true;
    d->gateway_failures = 0;
    /* A gateway that takes the connect but refuses the subscription every pass is throttled
     * like one that refuses the connect: its refusals count until one is granted. */
    const char *connected = "Connected to IoT Gateway. Subscribing to topic '%s' on IoT Gateway using QoS%d.";
    if (failure_goes_to_log(d->subscribe_refusals)) {
      log_msg(LOG_INFO, connected, GATEWAY_TOPIC_FILTER, GATEWAY_SUBSCRIBE_QOS);
    } else {
      std::printf(connected, GATEWAY_TOPIC_FILTER, GATEWAY_SUBSCRIBE_QOS);
    }
    d->subscribe_rc =
        session_subscribe(&d->gateway, GATEWAY_TOPIC_FILTER, GATEWAY_SUBSCRIBE_QOS) ? DAEMON_PENDING : -1;
    d->step_deadline = now + d->options.connect_timeout_seconds * 1000LL;
    session_flush(&d->gateway, now);
    return;
  }
  if (failure_goes_to_log(d->gateway_failures)) {
    log_msg(LOG_ERR, "Failed to connect to IoT Gateway (RC=%i).", rc);
  } else {
    std::printf("Failed to connect to IoT Gateway (RC=%i).", rc);
  }
  d->gateway_failures++;
  status_side_failed(
      &d->status, &d->status.gateway, rc, failure_text(&d->gateway, rc, false), daemon_clock_ms());
}

namespace {

/* A refused or unanswered subscription: the gateway is dropped, so the next pass connects
 * and subscribes again instead of staying connected and relaying nothing. The gateway
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
  d->gateway_connected = false;
  status_side_failed(&d->status, &d->status.gateway, rc, status_subscribe_text(rc), daemon_clock_ms());
}

void report_dropped(relay_daemon *d) {
  unsigned dropped = relay_queue_take_dropped(&d->queue);
  if (dropped > 0) log_msg(LOG_WARNING, "Dropped %u messages for NIMBA: queue full.", dropped);
}

void begin_connect(relay_daemon *d, mqtt_session *session, long long now) {
  d->connect_rc = DAEMON_PENDING;
  status_side *side = session == &d->cloud ? &d->status.cloud : &d->status.gateway;
  status_side_set(&d->status, side, STATUS_CONNECTING, now);
  session_connect(session, now);
}

/* Ends the pass; false when a stop request skips the pause. */
bool end_pass(relay_daemon *d, long long now) {
  report_dropped(d);
  std::fflush(stdout);
  d->step = PASS_PAUSE;
  d->next_pass_ms = now + d->options.pause_seconds * 1000LL;
  return true;
}

/* A stop request ends the pass at once: an answer still awaited is abandoned (no failure
 * is reported for it) and no new connect or subscription begins. */
void abandon_pass(relay_daemon *d) {
  switch (d->step) {
    case PASS_CLOUD:
      if (!d->cloud_connected) session_disconnect(&d->cloud);
      break;
    case PASS_GATEWAY:
      if (!d->gateway_connected) session_disconnect(&d->gateway);
      break;
    default:
      break; /* a subscription awaited: the shutdown disconnects the gateway */
  }
  d->step = PASS_PAUSE;
}

/* Carries the pass on as far as the answers received allow. False once the daemon is to
 * stop: a stop request is honoured at once, in the pause and in every step of a pass. */
bool advance_pass(relay_daemon *d, long long now) {
  if (stop_signal != 0) {
    abandon_pass(d);
    return false;
  }
  for (;;) {
    switch (d->step) {
      case PASS_PAUSE:
        if (stop_signal != 0) return false;
        if (now < d->next_pass_ms) return true;
        d->step = PASS_CLOUD;
        if (d->cloud_connected) continue;
        begin_connect(d, &d->cloud, now);
        continue;
      case PASS_CLOUD:
        if (!d->cloud_connected && d->connect_rc == DAEMON_PENDING) return true;
        if (!d->cloud_connected || d->gateway_connected) return end_pass(d, now);
        d->step = PASS_GATEWAY;
        begin_connect(d, &d->gateway, now);
        continue;
      case PASS_GATEWAY:
        if (d->connect_rc == DAEMON_PENDING) return true;
        if (d->connect_rc != 0) return end_pass(d, now);
        d->step = PASS_SUBSCRIBE;
        continue;
      case PASS_SUBSCRIBE:
        if (d->gateway_connected && d->subscribe_rc == DAEMON_PENDING && now < d->step_deadline) return true;
        if (d->gateway_connected)
          subscription_answered(d, d->subscribe_rc == DAEMON_PENDING ? -1 : d->subscribe_rc);
        return end_pass(d, now);
    }
  }
}

long long earliest(long long a, long long b) { return a == 0 || (b != 0 && b < a) ? b : a; }

/* Lets the cloud take what is queued for it, within DAEMON_DISCONNECT_TIMEOUT_MS. */
void drain_cloud(relay_daemon *d) {
  const long long deadline = daemon_clock_ms() + DAEMON_DISCONNECT_TIMEOUT_MS;
  for (;;) {
    long long now = daemon_clock_ms();
    session_flush(&d->cloud, now);
    if (d->cloud.state != SESSION_UP || !session_output_pending(&d->cloud) || now >= deadline) return;
    pollfd fds[SESSION_POLL_MAX];
    unsigned count = session_poll_fds(&d->cloud, fds);
    if (poll_function(fds, count, static_cast<int>(deadline - now)) < 0 && errno != EINTR) return;
    session_handle(&d->cloud, fds, count, daemon_clock_ms());
  }
}

} // namespace

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
  for (;;) {
    long long now = daemon_clock_ms();
    if (!advance_pass(d, now)) break;
    relay_gateway_flow(d);

    pollfd fds[LOOP_POLL_MAX];
    fds[0] = pollfd{wake_fd, POLLIN, 0};
    const unsigned cloud_count = session_poll_fds(&d->cloud, fds + 1);
    const unsigned gateway_count = session_poll_fds(&d->gateway, fds + 1 + cloud_count);
    long long next = d->step == PASS_PAUSE ? d->next_pass_ms : 0;
    if (d->step == PASS_SUBSCRIBE) next = earliest(next, d->step_deadline);
    next = earliest(next, session_next_ms(&d->cloud, now));
    next = earliest(next, session_next_ms(&d->gateway, now));
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
    /* What the gateway brought in this turn goes out in one write, unless the socket is
     * still full from before (then the cloud session waits for room itself). */
    if (d->cloud.blocked_since == 0) session_flush(&d->cloud, now);
    status_write_due(&d->status, relay_queue_count(&d->queue), now);
  }
  supervisor_shutdown(d);
  status_remove(&d->status);
  return ok;
}

void supervisor_shutdown(relay_daemon *d) {
  session_disconnect(&d->gateway);
  drain_cloud(d);
  relay_report_unsent(d);
  session_disconnect(&d->cloud);
  session_release(&d->gateway);
  session_release(&d->cloud);
}
