/* One client connection of the daemon: name lookup (c-ares), a non-blocking TCP connect and,
 * for TLS, an OpenSSL session that verifies the server's chain and host name. Every step
 * returns at once; the event loop polls the descriptors the transport names. A failure
 * keeps its reason (what failed, in which step, and the system's or the library's code) so
 * that the operator can be told in words. */
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
/* A failure's reason in words: the longest names the host (up to 255 bytes). */
constexpr unsigned TRANSPORT_REASON_CAPACITY = 384;

struct mqtt_endpoint {
  char host[MQTT_HOST_CAPACITY]; /* name or IP literal */
  uint16_t port;
  bool tls;
  const char *ca_path;      /* folder of hashed CA certificates, for TLS */
  unsigned user_timeout_ms; /* TCP_USER_TIMEOUT: unacknowledged data ends the connection */
  unsigned send_buffer;     /* SO_SNDBUF in bytes; 0 keeps the system's (growing) default */
};

enum transport_state {
  TRANSPORT_CLOSED,
  TRANSPORT_RESOLVING,
  TRANSPORT_CONNECTING,
  TRANSPORT_HANDSHAKE,
  TRANSPORT_OPEN,
  TRANSPORT_FAILED, /* an open that did not succeed; transport_close returns to CLOSED */
};

/* What a connection failed on; the code's meaning depends on the kind. */
enum transport_fault {
  FAULT_NONE,
  FAULT_LOOKUP,     /* code: the lookup's c-ares status */
  FAULT_SOCKET,     /* code: errno of socket, connect, read or write */
  FAULT_CLOSED,     /* the peer closed the connection */
  FAULT_TLS_VERIFY, /* code: the certificate check's X509_V_ERR_* result */
  FAULT_TLS,        /* code: 0; library: OpenSSL's first queued error */
};

struct transport_failure {
  transport_fault fault;
  transport_state step; /* where it happened: RESOLVING, CONNECTING, HANDSHAKE or OPEN */
  int code;
  unsigned long library; /* FAULT_TLS: ERR_get_error's code, 0 when none was queued */
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
  bool library_ready;    /* ares_library_init done */
  ares_channel resolver; /* made afresh for each lookup by name */
  bool resolver_ready;
  bool lookup_done;
  int lookup_status;
  sockaddr_storage address;
  socklen_t address_length;
  transport_failure failure; /* of the last open or of the open connection */
  uint64_t written;          /* bytes taken from the caller since the open */
  /* TLS: bytes taken from the caller that OpenSSL has not accepted yet. A write that must be
   * repeated is repeated with exactly these bytes; new ones are taken only once they went. */
  uint32_t out_length, out_sent;
  unsigned char out[TRANSPORT_TLS_GATHER];
};

/* Sets the transport up, closed, for the endpoint (which it keeps a pointer to). */
void transport_init(mqtt_transport *t, const mqtt_endpoint *endpoint);

/* Begins an open: a lookup (an IP literal needs none; the name-server and hosts
 * configuration are read afresh), the connect and, for TLS, the handshake, driven on by
 * transport_progress. Returns the new state; TRANSPORT_FAILED when it cannot even begin. */
transport_state transport_open(mqtt_transport *t);

/* The descriptors and events to poll for now: while opening, what the step waits for;
 * when open, POLLIN if want_read and POLLOUT if want_write or TLS output waits (TLS may
 * swap them). Returns how many were stored (at most TRANSPORT_POLL_MAX). */
unsigned transport_poll_fds(const mqtt_transport *t, bool want_read, bool want_write, pollfd *fds);

/* Milliseconds until the lookup wants to be called again (-1: no wish). */
int transport_timeout_ms(mqtt_transport *t);

/* After poll: carries an open on with what fds (as transport_poll_fds gave them, with
 * their revents) report, or with none when called for a timeout. Returns the state. */
transport_state transport_progress(mqtt_transport *t, const pollfd *fds, unsigned count);

/* Reads up to capacity bytes: the count, 0 when nothing is there now, -1 when the
 * connection is closed or failed (the reason in failure). */
long transport_read(mqtt_transport *t, uint8_t *buffer, uint32_t capacity);

/* 1 when TLS holds decrypted bytes that poll cannot see. */
int transport_buffered(const mqtt_transport *t);

/* Takes bytes of the pieces in order and writes them: the count taken, 0 when nothing can
 * be taken now, -1 when the connection failed (the reason in failure). Over TCP the count
 * taken is the count written. Over TLS taken bytes may wait in the transport (up to
 * TRANSPORT_TLS_GATHER) until the socket takes them: transport_pending says so, and a call
 * without pieces writes them on. */
long transport_write(mqtt_transport *t, const iovec *pieces, int count);

/* Bytes taken that wait in the transport for the socket (TLS only). */
uint32_t transport_pending(const mqtt_transport *t);

/* Bytes taken since the open that the peer's TCP has not acknowledged, read from the
 * kernel before the connection is closed: what a loss of the connection costs. Over TLS
 * the unacknowledged encrypted bytes count as taken ones (a little more than the truth). */
uint64_t transport_unacknowledged(const mqtt_transport *t);

/* The step of an open in words: "name lookup", "TCP connect", "TLS handshake"; "connection"
 * for an open one. */
const char *transport_step_name(transport_state step);

/* Writes the failure's reason in words into out ("name lookup of 'x' failed: ...",
 * "connection refused by h:p", "TLS certificate check failed: ...", ...). Returns its
 * length; the empty text for FAULT_NONE. */
unsigned transport_failure_text(const mqtt_transport *t, char *out, unsigned capacity);

/* Closes socket and TLS session; a lookup in progress is cancelled. Back to CLOSED. An
 * established connection is reset rather than closed when abort is set, so that data the
 * peer has not taken is not delivered later by the kernel (it was counted as lost). */
void transport_close(mqtt_transport *t, bool abort = false);

/* Closes and frees what the transport made (TLS context, resolver). */
void transport_release(mqtt_transport *t);
