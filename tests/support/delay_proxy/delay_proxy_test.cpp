/* The delaying proxy: bytes pass whole and in order both ways, none before its delay, ends
 * pass on as half closes, and a side that is not read holds its writer at the bound. */
#include "delay_proxy.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "loopback.h"
#include "wait.h"

namespace {

constexpr int PORT = 1883;
constexpr int WAIT_MS = 10000;

/* A numbered stream: a lost, doubled or moved byte changes what follows. */
std::string stream_bytes(size_t length, unsigned salt) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; i++) bytes[i] = static_cast<char>((i * 131 + i / 251 + salt) & 0xFF);
  return bytes;
}

int connect_to(const std::string &address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(PORT);
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

int accept_within(int listener) {
  pollfd p{listener, POLLIN, 0};
  return poll(&p, 1, WAIT_MS) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

/* Reads until length bytes or the end came, for at most WAIT_MS; *first_ms: when the first
 * byte came, *ended: whether the end came. */
std::string read_bytes(int fd, size_t length, long long *first_ms, bool *ended) {
  std::string got;
  char buffer[65536];
  *ended = false;
  const long long deadline = monotonic_ms() + WAIT_MS;
  while (got.size() < length && monotonic_ms() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, length - got.size()), 0);
    if (n <= 0) {
      *ended = n == 0;
      break;
    }
    if (got.empty()) *first_ms = monotonic_ms();
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

struct proxied : ::testing::Test {
  delay_proxy proxy;
  int listener = -1, client = -1, server = -1;

  void open_link(unsigned delay_ms, size_t held_max) {
    listener = loopback_listen(test_address(1), PORT);
    ASSERT_GE(listener, 0);
    delay_proxy_options o{test_address(0), PORT, test_address(1), PORT, delay_ms, held_max};
    ASSERT_TRUE(delay_proxy_start(&proxy, o));
    client = connect_to(test_address(0));
    ASSERT_GE(client, 0);
    server = accept_within(listener);
    ASSERT_GE(server, 0);
  }
  void TearDown() override {
    delay_proxy_stop(&proxy);
    for (int fd : {listener, client, server})
      if (fd >= 0) close(fd);
  }
};

TEST_F(proxied, PassesBothWaysWholeInOrderAndNotBeforeTheDelay) {
  constexpr unsigned DELAY_MS = 100;
  ASSERT_NO_FATAL_FAILURE(open_link(DELAY_MS, DELAY_PROXY_HELD_MAX));
  /* Writes of many sizes, so that the proxy's reads cut the stream anywhere. */
  const std::string up = stream_bytes(300000, 1);
  const long long up_sent_ms = monotonic_ms();
  for (size_t at = 0, i = 0; at < up.size(); i++) {
    const size_t piece = std::min(up.size() - at, size_t{1} << (i % 17));
    ASSERT_EQ(send(client, up.data() + at, piece, MSG_NOSIGNAL), static_cast<ssize_t>(piece));
    at += piece;
  }
  long long first_ms = 0;
  bool ended = false;
  const std::string got_up = read_bytes(server, up.size(), &first_ms, &ended);
  EXPECT_TRUE(got_up == up) << got_up.size() << " of " << up.size() << " bytes, or others";
  EXPECT_GE(first_ms - up_sent_ms, DELAY_MS);

  const std::string down = stream_bytes(100000, 2);
  const long long down_sent_ms = monotonic_ms();
  ASSERT_EQ(send(server, down.data(), down.size(), MSG_NOSIGNAL), static_cast<ssize_t>(down.size()));
  shutdown(server, SHUT_WR);
  const std::string got_down = read_bytes(client, down.size() + 1, &first_ms, &ended);
  EXPECT_TRUE(got_down == down) << got_down.size() << " of " << down.size() << " bytes, or others";
  EXPECT_GE(first_ms - down_sent_ms, DELAY_MS);
  EXPECT_TRUE(ended) << "the server's end did not reach the client";

  shutdown(client, SHUT_WR);
  read_bytes(server, 1, &first_ms, &ended);
  EXPECT_TRUE(ended) << "the client's end did not reach the server";
  EXPECT_EQ(proxy.accepted.load(), 1u);
}

TEST_F(proxied, HoldsAtMostTheBoundWhileTheReaderWaitsAndLosesNothing) {
  constexpr size_t HELD_MAX = 256 * 1024, WRITE_MAX = 32u << 20;
  ASSERT_NO_FATAL_FAILURE(open_link(20, HELD_MAX));
  fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
  /* The server reads nothing: its buffers fill, then the proxy's bound, then the client's. */
  const std::string bytes = stream_bytes(WRITE_MAX, 3);
  size_t written = 0;
  const auto pump = [&] {
    size_t now = 0;
    for (ssize_t n; written < bytes.size() && (n = send(client,
                                                        bytes.data() + written,
                                                        std::min<size_t>(65536, bytes.size() - written),
                                                        MSG_NOSIGNAL)) > 0;)
      written += static_cast<size_t>(n), now += static_cast<size_t>(n);
    return now;
  };
  EXPECT_TRUE(wait_until([&] { return (pump() == 0 && proxy.pauses.load() > 0) || written == bytes.size(); },
                         WAIT_MS));
  EXPECT_LT(written, bytes.size()) << "the client's writes never stopped";
  EXPECT_LE(proxy.held_peak.load(), HELD_MAX + DELAY_PROXY_READ_SIZE);

  shutdown(client, SHUT_WR);
  long long first_ms = 0;
  bool ended = false;
  const std::string got = read_bytes(server, written + 1, &first_ms, &ended);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(got == bytes.substr(0, written)) << got.size() << " of " << written << " bytes, or others";
}

} // namespace
