/* One client connection of the daemon: name lookup (c-ares), a non-blocking TCP connect and,
 * for TLS, an OpenSSL session that verifies the server's chain and host name. Every step
 * returns at once; the event loop polls the descriptors the transport names. */
#pragma once
#include <ares.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

constexpr unsigned MQTT_HOST_CAPACITY = 256;
/* Descriptors one transport may ask to be polled: its socket, or the lookup's sockets. */
constexpr unsigned TRANSPORT_POLL_MAX = 4;
/* Bytes gathered into one TLS write: one full record. */
constexpr unsigned TRANSPORT_TLS_GATHER = 16384;

struct mqtt_endpoint {
  char host[MQTT_HOST_CAPACITY]; /* name or IP literal */
  uint16_t port;
  bool tls;
  const char *ca_path;      /* folder of hashed CA certificates, for TLS */
  unsigned user_timeout_ms; /* TCP_USER_TIMEOUT: unacknowledged data ends the connection */
};

enum transport_state {
  TRANSPORT_CLOSED,
  TRANSPORT_RESOLVING,
  TRANSPORT_CONNECTING,
  TRANSPORT_HANDSHAKE,
  TRANSPORT_OPEN,
  TRANSPORT_FAILED, /* an open that did not succeed; transport_close returns to CLOSED */
};

struct mqtt_transport {
  const mqtt_endpoint *endpoint;
  transport_state state;
  int fd;
  SSL_CTX *tls_context; /* made on the first TLS open, kept until transport_release */
  SSL *ssl;
  bool handshake_wants_write;
  bool read_wants_write; /* SSL_read needs the socket writable (renegotiation) */
  bool write_wants_read; /* SSL_write needs the socket readable */
  ares_channel resolver; /* made on the first lookup by name */
  bool resolver_ready;
  bool lookup_done;
  int lookup_status;
  sockaddr_storage address;
  socklen_t address_length;
  unsigned char gather[TRANSPORT_TLS_GATHER];
};

/* Sets the transport up, closed, for the endpoint (which it keeps a pointer to). */
void transport_init(mqtt_transport *t, const mqtt_endpoint *endpoint);

/* Begins an open: a lookup (an IP literal needs none), the connect and, for TLS, the
 * handshake, driven on by transport_progress. Returns the new state; TRANSPORT_FAILED
 * when it cannot even begin. */
transport_state transport_open(mqtt_transport *t);

/* The descriptors and events to poll for now: while opening, what the step waits for;
 * when open, POLLIN if want_read and POLLOUT if want_write (TLS may swap them). Returns
 * how many were stored (at most TRANSPORT_POLL_MAX). */
unsigned transport_poll_fds(const mqtt_transport *t, bool want_read, bool want_write, pollfd *fds);

/* Milliseconds until the lookup wants to be called again (-1: no wish). */
int transport_timeout_ms(mqtt_transport *t);

/* After poll: carries an open on with what fds (as transport_poll_fds gave them, with
 * their revents) report, or with none when called for a timeout. Returns the state. */
transport_state transport_progress(mqtt_transport *t, const pollfd *fds, unsigned count);

/* Reads up to capacity bytes: the count, 0 when nothing is there now, -1 when the
 * connection is closed or failed. */
long transport_read(mqtt_transport *t, uint8_t *buffer, uint32_t capacity);

/* 1 when TLS holds decrypted bytes that poll cannot see. */
int transport_buffered(const mqtt_transport *t);

/* Writes the gathered pieces (in one writev, or one SSL_write of up to
 * TRANSPORT_TLS_GATHER bytes): the count written, 0 when the socket takes nothing now, -1
 * when the connection failed. A TLS write that must be repeated is repeated with the same
 * bytes first, so the pieces may only grow at their end between calls. */
long transport_write(mqtt_transport *t, const iovec *pieces, int count);

/* Closes socket and TLS session; a lookup in progress is cancelled. Back to CLOSED. */
void transport_close(mqtt_transport *t);

/* Closes and frees what the transport made (TLS context, resolver). */
void transport_release(mqtt_transport *t);
