/* The least a relay between the two brokers costs: a bare forwarder that meets the same
 * brokers as the daemon. Plain sockets, no MQTT library: it connects to the cloud broker
 * and the gateway broker (port 1883), sends CONNECT to both, SUBSCRIBE QZ/# at QoS 0 to
 * the gateway, then writes every PUBLISH packet it reads from the gateway unchanged to the
 * cloud broker and drops the other packets. Like the daemon it reads once per wake-up and
 * writes what that read brought in one write; a packet of any length streams through a
 * fixed buffer. Runs until SIGTERM or SIGINT (exit 0), a lost or broken connection (exit
 * 1) or the time limit (exit 0).
 *   nimba_relay_forward GATEWAY_ADDRESS CLOUD_ADDRESS [time limit s, 1..3600, default 600] */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr uint16_t BROKER_PORT = 1883;
constexpr uint32_t INPUT_CAPACITY = 32768;
/* A read's bytes plus the fixed header of a packet that began in the read before. */
constexpr uint32_t OUTPUT_CAPACITY = INPUT_CAPACITY + 8;
constexpr int ANSWER_TIMEOUT_MS = 5000;
constexpr uint8_t MQTT_PUBLISH = 3;

volatile sig_atomic_t stop_signal = 0;
void handle_stop_signal(int signal_number) { stop_signal = signal_number; }

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int write_all(int fd, const uint8_t *data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return 1;
}

/* Reads exactly length bytes within the answer time-out; 0 on failure. */
int read_answer(int fd, uint8_t *into, size_t length) {
  const long long until = monotonic_ms() + ANSWER_TIMEOUT_MS;
  while (length > 0) {
    pollfd p{fd, POLLIN, 0};
    const long long left = until - monotonic_ms();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return 0;
    ssize_t n = read(fd, into, length);
    if (n <= 0) return 0;
    into += n;
    length -= static_cast<size_t>(n);
  }
  return 1;
}

/* Connects to address:1883 (Nagle's algorithm off, as the daemon), sends CONNECT with a
 * clean session and no keep-alive, and waits for an accepting CONNACK. The socket, or -1. */
int broker_connect(const char *address, const char *client_id) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(BROKER_PORT);
  if (inet_pton(AF_INET, address, &to.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  uint8_t packet[64] = {0x10, 0, 0, 4, 'M', 'Q', 'T', 'T', 4, 0x02, 0, 0};
  const size_t id_length = std::strlen(client_id);
  const size_t length = 12 + 2 + id_length;
  uint8_t connack[4];
  if (length > sizeof packet || connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  packet[1] = static_cast<uint8_t>(length - 2);
  packet[12] = 0;
  packet[13] = static_cast<uint8_t>(id_length);
  std::memcpy(packet + 14, client_id, id_length);
  if (!write_all(fd, packet, length) || !read_answer(fd, connack, sizeof connack) || connack[0] != 0x20 ||
      connack[3] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/* Where the gateway's byte stream stands between reads. */
struct packet_stream {
  uint8_t header[5]; /* type byte and remaining length, until complete */
  uint32_t header_length;
  uint32_t multiplier;
  uint32_t length;    /* remaining length read so far */
  uint32_t remaining; /* bytes of the current packet's body still to come */
  bool publish;       /* the current packet is forwarded */
};

/* Appends to out what of in[0..length) is forwarded (PUBLISH packets, header and body),
 * returns its length; 0 with *broken set on a remaining length over four bytes. */
size_t stream_take(packet_stream *s, const uint8_t *in, size_t length, uint8_t *out, bool *broken) {
  size_t used = 0, i = 0;
  while (i < length) {
    if (s->remaining > 0) {
      size_t take = length - i < s->remaining ? length - i : s->remaining;
      if (s->publish) {
        std::memcpy(out + used, in + i, take);
        used += take;
      }
      i += take;
      s->remaining -= static_cast<uint32_t>(take);
      continue;
    }
    const uint8_t byte = in[i++];
    s->header[s->header_length++] = byte;
    if (s->header_length == 1) {
      s->multiplier = 1;
      s->length = 0;
      continue;
    }
    s->length += (byte & 0x7Fu) * s->multiplier;
    s->multiplier *= 128;
    if (byte & 0x80) {
      if (s->header_length == sizeof s->header) {
        *broken = true;
        return 0;
      }
      continue;
    }
    s->remaining = s->length;
    s->publish = (s->header[0] >> 4) == MQTT_PUBLISH;
    if (s->publish) {
      std::memcpy(out + used, s->header, s->header_length);
      used += s->header_length;
    }
    s->header_length = 0;
  }
  return used;
}

} // namespace

int main(int argc, char **argv) {
  const long limit_s = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 600;
  if (argc < 3 || argc > 4 || limit_s < 1 || limit_s > 3600) {
    std::fprintf(stderr, "usage: nimba_relay_forward GATEWAY_ADDRESS CLOUD_ADDRESS [time limit s]\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = handle_stop_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char id[32];
  std::snprintf(id, sizeof id, "bench-forward-%d", static_cast<int>(getpid()));
  const int cloud = broker_connect(argv[2], id);
  const int gateway = cloud >= 0 ? broker_connect(argv[1], id) : -1;
  static const uint8_t subscribe[] = {0x82, 9, 0, 1, 0, 4, 'Q', 'Z', '/', '#', 0};
  if (gateway < 0 || !write_all(gateway, subscribe, sizeof subscribe)) {
    std::fprintf(stderr, "nimba_relay_forward: cannot connect and subscribe\n");
    return 1;
  }

  static uint8_t in[INPUT_CAPACITY], out[OUTPUT_CAPACITY];
  packet_stream stream{};
  const long long until = monotonic_ms() + limit_s * 1000LL;
  int status = 0;
  while (stop_signal == 0 && monotonic_ms() < until) {
    /* The cloud broker sends nothing after CONNACK; input there is its close. */
    pollfd fds[2] = {{gateway, POLLIN, 0}, {cloud, POLLIN, 0}};
    int ready = poll(fds, 2, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) {
      status = 1;
      break;
    }
    if (fds[0].revents == 0) continue;
    ssize_t n = read(gateway, in, sizeof in);
    if (n < 0 && errno == EINTR) continue;
    bool broken = false;
    const size_t length = n > 0 ? stream_take(&stream, in, static_cast<size_t>(n), out, &broken) : 0;
    if (n <= 0 || broken || (length > 0 && !write_all(cloud, out, length))) {
      status = 1;
      break;
    }
  }
  close(gateway);
  close(cloud);
  if (status != 0) std::fprintf(stderr, "nimba_relay_forward: connection lost\n");
  return status;
}
