/* Minimal name server for tests. */
#include "fake_dns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <vector>

namespace {

/* The question's name as dotted lower-case text, and the offset after its type and class;
 * 0 when the query is malformed. */
size_t read_question(const std::vector<uint8_t> &q, std::string *name, uint16_t *type) {
  size_t at = 12;
  while (at < q.size() && q[at] != 0) {
    const size_t length = q[at++];
    if (length > 63 || at + length > q.size()) return 0;
    if (!name->empty()) name->push_back('.');
    for (size_t i = 0; i < length; i++) name->push_back(static_cast<char>(std::tolower(q[at + i])));
    at += length;
  }
  if (at + 5 > q.size()) return 0;
  *type = static_cast<uint16_t>(q[at + 1] << 8 | q[at + 2]);
  return at + 5;
}

void serve(fake_dns *dns) {
  while (!dns->stop.load()) {
    pollfd p{dns->fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    std::vector<uint8_t> query(1500);
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t n =
        recvfrom(dns->fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr *>(&from), &from_length);
    if (n < 12) continue;
    query.resize(static_cast<size_t>(n));
    std::string name;
    uint16_t type = 0;
    const size_t end = read_question(query, &name, &type);
    if (end == 0) continue;
    std::string address;
    bool known = false;
    {
      std::lock_guard<std::mutex> guard(dns->lock);
      dns->queries++;
      auto found = dns->names.find(name);
      known = found != dns->names.end();
      if (known) address = found->second;
    }
    /* Header: the query's id, a response with recursion available, one question. */
    std::vector<uint8_t> answer(query.begin(), query.begin() + static_cast<long>(end));
    const bool with_record = known && type == 1;
    answer[2] = 0x81;
    answer[3] = known ? 0x80 : 0x83; /* NOERROR or NXDOMAIN */
    answer[4] = 0, answer[5] = 1;
    answer[6] = 0, answer[7] = with_record ? 1 : 0;
    for (int i = 8; i < 12; i++) answer[i] = 0;
    if (with_record) {
      in_addr ip{};
      inet_pton(AF_INET, address.c_str(), &ip);
      const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&ip.s_addr);
      const uint8_t record[] = {
          0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 5, 0, 4, bytes[0], bytes[1], bytes[2], bytes[3]};
      answer.insert(answer.end(), record, record + sizeof record);
    }
    sendto(dns->fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&from), from_length);
  }
}

} // namespace

int fake_dns_start(fake_dns *dns, const std::string &address) {
  dns->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (dns->fd < 0) return 0;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(53);
  if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1 ||
      bind(dns->fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
    close(dns->fd);
    dns->fd = -1;
    return 0;
  }
  dns->stop = false;
  dns->worker = std::thread(serve, dns);
  return 1;
}

void fake_dns_add(fake_dns *dns, const std::string &name, const std::string &address) {
  std::string lower;
  for (char c : name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  std::lock_guard<std::mutex> guard(dns->lock);
  dns->names[lower] = address;
}

unsigned fake_dns_queries(fake_dns *dns) {
  std::lock_guard<std::mutex> guard(dns->lock);
  return dns->queries;
}

void fake_dns_stop(fake_dns *dns) {
  dns->stop = true;
  if (dns->worker.joinable()) dns->worker.join();
  if (dns->fd >= 0) close(dns->fd);
  dns->fd = -1;
}
