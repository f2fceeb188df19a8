/* Loopback addresses keyed by the test's full name. */
#include "loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {
/* 127.64.0.0/10 holds 2^22 addresses: 2^19 blocks of eight. */
constexpr uint32_t BLOCK_COUNT = 1u << 19;
constexpr uint32_t FIRST_ADDRESS = (127u << 24) | (64u << 16);
} // namespace

unsigned loopback_block(const std::string &full_name) {
  /* FNV-1a: stable across runs, builds and machines. */
  uint32_t hash = 2166136261u;
  for (unsigned char c : full_name) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash % BLOCK_COUNT;
}

std::string loopback_address(unsigned block, unsigned index) {
  if (index >= LOOPBACK_BLOCK_SIZE) std::abort();
  const uint32_t a = FIRST_ADDRESS + block * LOOPBACK_BLOCK_SIZE + index;
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

std::string test_address(unsigned index) {
  const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) std::abort();
  return loopback_address(loopback_block(std::string(test->test_suite_name()) + "." + test->name()), index);
}

namespace {
/* The IPv4 socket address of dotted text and a port; 0 when the text is no address. */
int socket_address(const std::string &address, int port, sockaddr_in *where) {
  *where = {};
  where->sin_family = AF_INET;
  where->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, address.c_str(), &where->sin_addr) == 1;
}
} // namespace

int loopback_listen(const std::string &address, int port) {
  sockaddr_in where;
  if (!socket_address(address, port, &where)) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int loopback_accepts(const std::string &address, int port) {
  sockaddr_in where;
  if (!socket_address(address, port, &where)) return 0;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const int accepted = connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0;
  close(fd);
  return accepted;
}
