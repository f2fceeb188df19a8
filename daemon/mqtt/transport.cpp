/* Non-blocking TCP and TLS client connections with asynchronous name lookup. */
#include "transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool ip_literal(const char *host, sockaddr_storage *address, socklen_t *length, uint16_t port) {
  auto *v4 = reinterpret_cast<sockaddr_in *>(address);
  auto *v6 = reinterpret_cast<sockaddr_in6 *>(address);
  std::memset(address, 0, sizeof *address);
  if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof *v4;
    return true;
  }
  if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *length = sizeof *v6;
    return true;
  }
  return false;
}

void lookup_finished(void *arg, int status, int, ares_addrinfo *result) {
  auto *t = static_cast<mqtt_transport *>(arg);
  if (t->state == TRANSPORT_RESOLVING && !t->lookup_done) {
    t->lookup_done = true;
    t->lookup_status = status;
    if (status == ARES_SUCCESS && result != nullptr && result->nodes != nullptr &&
        result->nodes->ai_addrlen <= sizeof t->address) {
      std::memcpy(&t->address, result->nodes->ai_addr, result->nodes->ai_addrlen);
      t->address_length = result->nodes->ai_addrlen;
    } else if (status == ARES_SUCCESS) {
      t->lookup_status = ARES_ENOTFOUND;
    }
  }
  if (result != nullptr) ares_freeaddrinfo(result);
}

/* Frees the TLS session and closes the socket, if any; a reset instead of an orderly close
 * when abort is set. */
void drop_connection(mqtt_transport *t, bool abort) {
  if (t->ssl != nullptr) {
    SSL_free(t->ssl);
    t->ssl = nullptr;
  }
  if (t->fd >= 0) {
    if (abort) {
      const linger reset{1, 0};
      setsockopt(t->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(t->fd);
    t->fd = -1;
  }
  t->out_length = t->out_sent = 0;
}

void note_failure(mqtt_transport *t, transport_fault fault, int code, unsigned long library = 0) {
  t->failure = transport_failure{fault, t->state, code, library};
}

/* An open that did not succeed, with its reason. */
transport_state fail(mqtt_transport *t, transport_fault fault, int code, unsigned long library = 0) {
  note_failure(t, fault, code, library);
  drop_connection(t, true);
  t->state = TRANSPORT_FAILED;
  return t->state;
}

/* The reason of a failed TLS call: the certificate check's result when that failed,
 * otherwise OpenSSL's queued error (an errno when the socket failed under it). */
void note_tls_failure(mqtt_transport *t, int ssl_error) {
  const long verify = t->ssl != nullptr ? SSL_get_verify_result(t->ssl) : X509_V_OK;
  const unsigned long library = ERR_peek_error();
  if (verify != X509_V_OK && t->state == TRANSPORT_HANDSHAKE) {
    note_failure(t, FAULT_TLS_VERIFY, static_cast<int>(verify));
  } else if (ssl_error == SSL_ERROR_SYSCALL && library == 0) {
    if (errno != 0) {
      note_failure(t, FAULT_SOCKET, errno);
    } else {
      note_failure(t, FAULT_CLOSED, 0);
    }
  } else if (ssl_error == SSL_ERROR_ZERO_RETURN) {
    note_failure(t, FAULT_CLOSED, 0);
  } else {
    note_failure(t, FAULT_TLS, 0, library);
  }
  ERR_clear_error();
}

SSL_CTX *tls_context(mqtt_transport *t) {
  if (t->tls_context != nullptr) return t->tls_context;
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context, nullptr, t->endpoint->ca_path) != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  /* Partial writes report each record as it goes; idle record buffers are given back
   * (memory on the device). */
  SSL_CTX_set_mode(
      context,
      SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  t->tls_context = context;
  return context;
}

transport_state handshake(mqtt_transport *t) {
  ERR_clear_error();
  errno = 0;
  int rc = SSL_connect(t->ssl);
  if (rc == 1) {
    t->state = TRANSPORT_OPEN;
    return t->state;
  }
  int error = SSL_get_error(t->ssl, rc);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    t->handshake_wants_write = error == SSL_ERROR_WANT_WRITE;
    t->state = TRANSPORT_HANDSHAKE;
    return t->state;
  }
  t->state = TRANSPORT_HANDSHAKE;
  note_tls_failure(t, error);
  drop_connection(t, true);
  t->state = TRANSPORT_FAILED;
  return t->state;
}

transport_state start_tls(mqtt_transport *t) {
  t->state = TRANSPORT_HANDSHAKE;
  SSL_CTX *context = tls_context(t);
  if (context == nullptr) return fail(t, FAULT_TLS, 0, ERR_get_error());
  t->ssl = SSL_new(context);
  if (t->ssl == nullptr || SSL_set_fd(t->ssl, t->fd) != 1) return fail(t, FAULT_TLS, 0, ERR_get_error());
  sockaddr_storage literal;
  socklen_t literal_length;
  if (ip_literal(t->endpoint->host, &literal, &literal_length, t->endpoint->port)) {
    /* An address is checked against the certificate's IP entries; SNI carries names only. */
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t->ssl), t->endpoint->host) != 1)
      return fail(t, FAULT_TLS, 0, ERR_get_error());
  } else if (SSL_set_tlsext_host_name(t->ssl, t->endpoint->host) != 1 ||
             SSL_set1_host(t->ssl, t->endpoint->host) != 1) {
    return fail(t, FAULT_TLS, 0, ERR_get_error());
  }
  return handshake(t);
}

transport_state connected(mqtt_transport *t) {
  int on = 1;
  setsockopt(t->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  t->written = 0;
  if (t->endpoint->tls) return start_tls(t);
  t->state = TRANSPORT_OPEN;
  return t->state;
}

transport_state start_connect(mqtt_transport *t) {
  t->state = TRANSPORT_CONNECTING;
  t->fd = socket(t->address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (t->fd < 0) return fail(t, FAULT_SOCKET, errno);
  unsigned timeout = t->endpoint->user_timeout_ms;
  if (timeout > 0) setsockopt(t->fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
  /* Bounds what a lost connection can take with it: the kernel's default grows to megabytes. */
  int buffer = static_cast<int>(t->endpoint->send_buffer);
  if (buffer > 0) setsockopt(t->fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  if (connect(t->fd, reinterpret_cast<const sockaddr *>(&t->address), t->address_length) == 0)
    return connected(t);
  if (errno != EINPROGRESS) return fail(t, FAULT_SOCKET, errno);
  return t->state;
}

/* A channel made afresh for each lookup reads the name servers as they are now: a device
 * whose network is set up after the daemon started reaches the cloud at the next pass. */
transport_state start_lookup(mqtt_transport *t) {
  t->state = TRANSPORT_RESOLVING;
  if (!t->library_ready) {
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return fail(t, FAULT_LOOKUP, ARES_ENOMEM);
    t->library_ready = true;
  }
  if (t->resolver_ready) {
    ares_destroy(t->resolver);
    t->resolver_ready = false;
  }
  const int status = ares_init(&t->resolver);
  if (status != ARES_SUCCESS) return fail(t, FAULT_LOOKUP, status);
  t->resolver_ready = true;
  char port[8];
  std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(t->endpoint->port));
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ARES_AI_NUMERICSERV;
  t->lookup_done = false;
  /* A name from the hosts file is answered before this returns. */
  ares_getaddrinfo(t->resolver, t->endpoint->host, port, &hints, lookup_finished, t);
  if (!t->lookup_done) return t->state;
  if (t->lookup_status != ARES_SUCCESS) return fail(t, FAULT_LOOKUP, t->lookup_status);
  return start_connect(t);
}

/* Writes what OpenSSL has not accepted yet: 1 when all of it went, 0 when the socket
 * takes no more now, -1 on failure. */
int tls_flush(mqtt_transport *t) {
  while (t->out_sent < t->out_length) {
    t->write_wants_read = false;
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(t->ssl, t->out + t->out_sent, static_cast<int>(t->out_length - t->out_sent));
    if (n > 0) {
      t->out_sent += static_cast<uint32_t>(n);
      continue;
    }
    int error = SSL_get_error(t->ssl, n);
    if (error == SSL_ERROR_WANT_WRITE) return 0;
    if (error == SSL_ERROR_WANT_READ) {
      t->write_wants_read = true;
      return 0;
    }
    note_tls_failure(t, error);
    return -1;
  }
  t->out_length = t->out_sent = 0;
  return 1;
}

/* The bytes the peer's TCP has acknowledged on this connection: 1 with them, 0 when the
 * kernel does not tell (older kernels, emulators give a shorter TCP_INFO). */
int bytes_acknowledged(int fd, uint64_t *acknowledged) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
    return 0;
  *acknowledged = info.tcpi_bytes_acked;
  return 1;
}

/* Bytes in the socket's send queue, not yet acknowledged (0 when unknown; a reset empties
 * it, so this is the fallback only). */
uint64_t send_queue(int fd) {
  int queued = 0;
  return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<uint64_t>(queued) : 0;
}

/* Of the on_wire bytes written to the socket, those its peer has not acknowledged. */
uint64_t unacknowledged_of(int fd, uint64_t on_wire) {
  uint64_t acknowledged = 0;
  if (!bytes_acknowledged(fd, &acknowledged)) return send_queue(fd);
  return on_wire > acknowledged ? on_wire - acknowledged : 0;
}

} // namespace

const char *transport_step_name(transport_state step) {
  switch (step) {
    case TRANSPORT_RESOLVING:
      return "name lookup";
    case TRANSPORT_CONNECTING:
      return "TCP connect";
    case TRANSPORT_HANDSHAKE:
      return "TLS handshake";
    default:
      return "connection";
  }
}

void transport_init(mqtt_transport *t, const mqtt_endpoint *endpoint) {
  t->endpoint = endpoint;
  t->state = TRANSPORT_CLOSED;
  t->fd = -1;
  t->tls_context = nullptr;
  t->ssl = nullptr;
  t->handshake_wants_write = t->read_wants_write = t->write_wants_read = false;
  t->library_ready = false;
  t->resolver_ready = false;
  t->lookup_done = false;
  t->lookup_status = 0;
  t->address_length = 0;
  t->failure = transport_failure{FAULT_NONE, TRANSPORT_CLOSED, 0, 0};
  t->written = 0;
  t->out_length = t->out_sent = 0;
}

transport_state transport_open(mqtt_transport *t) {
  transport_close(t);
  t->handshake_wants_write = t->read_wants_write = t->write_wants_read = false;
  t->failure = transport_failure{FAULT_NONE, TRANSPORT_CLOSED, 0, 0};
  if (ip_literal(t->endpoint->host, &t->address, &t->address_length, t->endpoint->port))
    return start_connect(t);
  return start_lookup(t);
}

unsigned transport_poll_fds(const mqtt_transport *t, bool want_read, bool want_write, pollfd *fds) {
  switch (t->state) {
    case TRANSPORT_RESOLVING: {
      ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
      int mask = ares_getsock(t->resolver, sockets, ARES_GETSOCK_MAXNUM);
      unsigned count = 0;
      for (unsigned i = 0; i < ARES_GETSOCK_MAXNUM && count < TRANSPORT_POLL_MAX; i++) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
        if (events == 0) continue;
        fds[count++] = pollfd{sockets[i], events, 0};
      }
      return count;
    }
    case TRANSPORT_CONNECTING:
      fds[0] = pollfd{t->fd, POLLOUT, 0};
      return 1;
    case TRANSPORT_HANDSHAKE:
      fds[0] = pollfd{t->fd, static_cast<short>(t->handshake_wants_write ? POLLOUT : POLLIN), 0};
      return 1;
    case TRANSPORT_OPEN: {
      short events = 0;
      if (want_read) events |= t->read_wants_write ? POLLOUT : POLLIN;
      if (want_write || transport_pending(t) > 0) events |= t->write_wants_read ? POLLIN : POLLOUT;
      fds[0] = pollfd{t->fd, events, 0};
      return 1;
    }
    default:
      return 0;
  }
}

int transport_timeout_ms(mqtt_transport *t) {
  if (t->state != TRANSPORT_RESOLVING) return -1;
  timeval wait{}, *next = ares_timeout(t->resolver, nullptr, &wait);
  if (next == nullptr) return -1;
  return static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000);
}

transport_state transport_progress(mqtt_transport *t, const pollfd *fds, unsigned count) {
  switch (t->state) {
    case TRANSPORT_RESOLVING: {
      bool any = false;
      for (unsigned i = 0; i < count; i++) {
        if (fds[i].revents == 0) continue;
        any = true;
        ares_socket_t readable = fds[i].revents & (POLLIN | POLLERR | POLLHUP) ? fds[i].fd : ARES_SOCKET_BAD;
        ares_socket_t writable = fds[i].revents & POLLOUT ? fds[i].fd : ARES_SOCKET_BAD;
        ares_process_fd(t->resolver, readable, writable);
      }
      if (!any) ares_process_fd(t->resolver, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
      if (!t->lookup_done) return t->state;
      if (t->lookup_status != ARES_SUCCESS) return fail(t, FAULT_LOOKUP, t->lookup_status);
      return start_connect(t);
    }
    case TRANSPORT_CONNECTING: {
      if (count == 0 || fds[0].revents == 0) return t->state;
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(t->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return fail(t, FAULT_SOCKET, errno);
      if (error != 0) return fail(t, FAULT_SOCKET, error);
      return connected(t);
    }
    case TRANSPORT_HANDSHAKE:
      if (count == 0 || fds[0].revents == 0) return t->state;
      return handshake(t);
    default:
      return t->state;
  }
}

long transport_read(mqtt_transport *t, uint8_t *buffer, uint32_t capacity) {
  if (t->state != TRANSPORT_OPEN) return -1;
  if (t->ssl == nullptr) {
    ssize_t n = read(t->fd, buffer, capacity);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (n == 0) {
      note_failure(t, FAULT_CLOSED, 0);
    } else {
      note_failure(t, FAULT_SOCKET, errno);
    }
    return -1;
  }
  t->read_wants_write = false;
  ERR_clear_error();
  errno = 0;
  int n = SSL_read(t->ssl, buffer, static_cast<int>(capacity));
  if (n > 0) return n;
  int error = SSL_get_error(t->ssl, n);
  if (error == SSL_ERROR_WANT_READ) return 0;
  if (error == SSL_ERROR_WANT_WRITE) {
    t->read_wants_write = true;
    return 0;
  }
  note_tls_failure(t, error);
  return -1;
}

int transport_buffered(const mqtt_transport *t) {
  return t->state == TRANSPORT_OPEN && t->ssl != nullptr && SSL_pending(t->ssl) > 0 ? 1 : 0;
}

long transport_write(mqtt_transport *t, const iovec *pieces, int count) {
  if (t->state != TRANSPORT_OPEN) return -1;
  if (t->ssl == nullptr) {
    if (count == 0) return 0;
    ssize_t n = writev(t->fd, pieces, count);
    if (n >= 0) {
      t->written += static_cast<uint64_t>(n);
      return n;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    note_failure(t, FAULT_SOCKET, errno);
    return -1;
  }
  const int flushed = tls_flush(t);
  if (flushed <= 0) return flushed;
  uint32_t length = 0;
  for (int i = 0; i < count && length < sizeof t->out; i++) {
    uint32_t take = static_cast<uint32_t>(pieces[i].iov_len);
    if (take > sizeof t->out - length) take = sizeof t->out - length;
    std::memcpy(t->out + length, pieces[i].iov_base, take);
    length += take;
  }
  if (length == 0) return 0;
  t->out_length = length;
  t->out_sent = 0;
  t->written += length;
  if (tls_flush(t) < 0) return -1;
  return length;
}

uint32_t transport_pending(const mqtt_transport *t) {
  return t->state == TRANSPORT_OPEN ? t->out_length - t->out_sent : 0;
}

uint64_t transport_unacknowledged(const mqtt_transport *t) {
  if (t->fd < 0 || t->written == 0) return 0;
  if (t->ssl != nullptr) {
    /* Encrypted bytes in the socket, plus those still waiting here. */
    BIO *bio = SSL_get_wbio(t->ssl);
    const uint64_t encrypted = unacknowledged_of(t->fd, bio != nullptr ? BIO_number_written(bio) : 0);
    const uint64_t unacknowledged = encrypted + (t->out_length - t->out_sent);
    return unacknowledged < t->written ? unacknowledged : t->written;
  }
  return unacknowledged_of(t->fd, t->written);
}

unsigned transport_failure_text(const mqtt_transport *t, char *out, unsigned capacity) {
  if (out == nullptr || capacity == 0) return 0;
  const transport_failure &f = t->failure;
  const char *host = t->endpoint->host;
  const unsigned port = t->endpoint->port;
  int n = 0;
  switch (f.fault) {
    case FAULT_NONE:
      n = std::snprintf(out, capacity, "%s", "");
      break;
    case FAULT_LOOKUP:
      n = std::snprintf(out, capacity, "name lookup of '%s' failed: %s", host, ares_strerror(f.code));
      break;
    case FAULT_SOCKET:
      if (f.code == ECONNREFUSED) {
        n = std::snprintf(out, capacity, "connection refused by %s:%u", host, port);
      } else if (f.code == EHOSTUNREACH) {
        n = std::snprintf(out, capacity, "host %s unreachable", host);
      } else if (f.code == ENETUNREACH) {
        n = std::snprintf(out, capacity, "network unreachable for %s", host);
      } else if (f.code == ECONNRESET) {
        n = std::snprintf(out, capacity, "connection reset by the broker");
      } else if (f.code == EPIPE) {
        n = std::snprintf(out, capacity, "connection closed by the broker");
      } else if (f.code == ETIMEDOUT) {
        n = std::snprintf(out,
                          capacity,
                          f.step == TRANSPORT_OPEN ? "%s timed out: data not acknowledged"
                                                   : "no answer from the broker (%s)",
                          transport_step_name(f.step));
      } else {
        n = std::snprintf(out, capacity, "%s failed: %s", transport_step_name(f.step), std::strerror(f.code));
      }
      break;
    case FAULT_CLOSED:
      n = std::snprintf(out, capacity, "connection closed by the broker");
      break;
    case FAULT_TLS_VERIFY:
      n = std::snprintf(out,
                        capacity,
                        "TLS certificate check failed: %s%s",
                        X509_verify_cert_error_string(f.code),
                        f.code == X509_V_ERR_CERT_NOT_YET_VALID ? " (is the device's clock set?)" : "");
      break;
    case FAULT_TLS: {
      const char *reason = f.library != 0 ? ERR_reason_error_string(f.library) : nullptr;
      n = std::snprintf(out,
                        capacity,
                        "%s failed: TLS error%s%s",
                        transport_step_name(f.step),
                        reason != nullptr ? ": " : "",
                        reason != nullptr ? reason : "");
      break;
    }
  }
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<unsigned>(n) < capacity ? static_cast<unsigned>(n) : capacity - 1;
}

void transport_close(mqtt_transport *t, bool abort) {
  if (t->state == TRANSPORT_RESOLVING) {
    t->state = TRANSPORT_CLOSED; /* the cancelled lookup's answer is then ignored */
    ares_cancel(t->resolver);
  }
  drop_connection(t, abort);
  t->state = TRANSPORT_CLOSED;
}

void transport_release(mqtt_transport *t) {
  transport_close(t);
  if (t->tls_context != nullptr) {
    SSL_CTX_free(t->tls_context);
    t->tls_context = nullptr;
  }
  if (t->resolver_ready) {
    ares_destroy(t->resolver);
    t->resolver_ready = false;
  }
  if (t->library_ready) {
    ares_library_cleanup();
    t->library_ready = false;
  }
}
