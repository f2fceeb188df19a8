/* Non-blocking TCP and TLS client connections with asynchronous name lookup. */
#include "transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

/* Frees the TLS session and closes the socket, if any. */
void drop_connection(mqtt_transport *t) {
  if (t->ssl != nullptr) {
    SSL_free(t->ssl);
    t->ssl = nullptr;
  }
  if (t->fd >= 0) {
    close(t->fd);
    t->fd = -1;
  }
}

transport_state fail(mqtt_transport *t) {
  drop_connection(t);
  t->state = TRANSPORT_FAILED;
  return t->state;
}

SSL_CTX *tls_context(mqtt_transport *t) {
  if (t->tls_context != nullptr) return t->tls_context;
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context, nullptr, t->endpoint->ca_path) != 1) {
    SSL_CTX_free(context);
    ERR_clear_error();
    return nullptr;
  }
  /* Partial writes let a full socket take part of a gathered buffer; the buffer is
   * gathered anew for a retry; idle record buffers are given back (memory on the device). */
  SSL_CTX_set_mode(
      context,
      SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  t->tls_context = context;
  return context;
}

transport_state handshake(mqtt_transport *t) {
  ERR_clear_error();
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
  ERR_clear_error();
  return fail(t);
}

transport_state start_tls(mqtt_transport *t) {
  SSL_CTX *context = tls_context(t);
  if (context == nullptr) return fail(t);
  t->ssl = SSL_new(context);
  if (t->ssl == nullptr || SSL_set_fd(t->ssl, t->fd) != 1) return fail(t);
  sockaddr_storage literal;
  socklen_t literal_length;
  if (ip_literal(t->endpoint->host, &literal, &literal_length, t->endpoint->port)) {
    /* An address is checked against the certificate's IP entries; SNI carries names only. */
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t->ssl), t->endpoint->host) != 1) return fail(t);
  } else if (SSL_set_tlsext_host_name(t->ssl, t->endpoint->host) != 1 ||
             SSL_set1_host(t->ssl, t->endpoint->host) != 1) {
    return fail(t);
  }
  return handshake(t);
}

transport_state connected(mqtt_transport *t) {
  int on = 1;
  setsockopt(t->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (t->endpoint->tls) return start_tls(t);
  t->state = TRANSPORT_OPEN;
  return t->state;
}

transport_state start_connect(mqtt_transport *t) {
  t->fd = socket(t->address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (t->fd < 0) return fail(t);
  unsigned timeout = t->endpoint->user_timeout_ms;
  if (timeout > 0) setsockopt(t->fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
  if (connect(t->fd, reinterpret_cast<const sockaddr *>(&t->address), t->address_length) == 0)
    return connected(t);
  if (errno != EINPROGRESS) return fail(t);
  t->state = TRANSPORT_CONNECTING;
  return t->state;
}

transport_state start_lookup(mqtt_transport *t) {
  if (!t->resolver_ready) {
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return fail(t);
    if (ares_init(&t->resolver) != ARES_SUCCESS) {
      ares_library_cleanup();
      return fail(t);
    }
    t->resolver_ready = true;
  }
  char port[8];
  std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(t->endpoint->port));
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ARES_AI_NUMERICSERV;
  t->lookup_done = false;
  t->state = TRANSPORT_RESOLVING;
  /* A name from the hosts file is answered before this returns. */
  ares_getaddrinfo(t->resolver, t->endpoint->host, port, &hints, lookup_finished, t);
  if (!t->lookup_done) return t->state;
  if (t->lookup_status != ARES_SUCCESS) return fail(t);
  return start_connect(t);
}

} // namespace

void transport_init(mqtt_transport *t, const mqtt_endpoint *endpoint) {
  t->endpoint = endpoint;
  t->state = TRANSPORT_CLOSED;
  t->fd = -1;
  t->tls_context = nullptr;
  t->ssl = nullptr;
  t->handshake_wants_write = t->read_wants_write = t->write_wants_read = false;
  t->resolver_ready = false;
  t->lookup_done = false;
  t->lookup_status = 0;
  t->address_length = 0;
}

transport_state transport_open(mqtt_transport *t) {
  transport_close(t);
  t->handshake_wants_write = t->read_wants_write = t->write_wants_read = false;
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
      if (want_write) events |= t->write_wants_read ? POLLIN : POLLOUT;
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
      if (t->lookup_status != ARES_SUCCESS) return fail(t);
      return start_connect(t);
    }
    case TRANSPORT_CONNECTING: {
      if (count == 0 || fds[0].revents == 0) return t->state;
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(t->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return fail(t);
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
    return -1;
  }
  t->read_wants_write = false;
  ERR_clear_error();
  int n = SSL_read(t->ssl, buffer, static_cast<int>(capacity));
  if (n > 0) return n;
  int error = SSL_get_error(t->ssl, n);
  if (error == SSL_ERROR_WANT_READ) return 0;
  if (error == SSL_ERROR_WANT_WRITE) {
    t->read_wants_write = true;
    return 0;
  }
  ERR_clear_error();
  return -1;
}

int transport_buffered(const mqtt_transport *t) {
  return t->state == TRANSPORT_OPEN && t->ssl != nullptr && SSL_pending(t->ssl) > 0 ? 1 : 0;
}

long transport_write(mqtt_transport *t, const iovec *pieces, int count) {
  if (t->state != TRANSPORT_OPEN) return -1;
  if (t->ssl == nullptr) {
    ssize_t n = writev(t->fd, pieces, count);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
  }
  uint32_t length = 0;
  for (int i = 0; i < count && length < sizeof t->gather; i++) {
    uint32_t take = static_cast<uint32_t>(pieces[i].iov_len);
    if (take > sizeof t->gather - length) take = sizeof t->gather - length;
    std::memcpy(t->gather + length, pieces[i].iov_base, take);
    length += take;
  }
  if (length == 0) return 0;
  t->write_wants_read = false;
  ERR_clear_error();
  int n = SSL_write(t->ssl, t->gather, static_cast<int>(length));
  if (n > 0) return n;
  int error = SSL_get_error(t->ssl, n);
  if (error == SSL_ERROR_WANT_WRITE) return 0;
  if (error == SSL_ERROR_WANT_READ) {
    t->write_wants_read = true;
    return 0;
  }
  ERR_clear_error();
  return -1;
}

void transport_close(mqtt_transport *t) {
  if (t->state == TRANSPORT_RESOLVING) {
    t->state = TRANSPORT_CLOSED; /* the cancelled lookup's answer is then ignored */
    ares_cancel(t->resolver);
  }
  drop_connection(t);
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
    ares_library_cleanup();
    t->resolver_ready = false;
  }
}
