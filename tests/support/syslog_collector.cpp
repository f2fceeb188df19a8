/* Private system log for integration tests. */
#include "syslog_collector.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "process.h"

int syslog_parse(const std::string &datagram, syslog_entry *entry) {
  if (datagram.size() < 3 || datagram[0] != '<') return 0;
  size_t close = datagram.find('>');
  if (close == std::string::npos || close < 2) return 0;
  entry->priority = std::atoi(datagram.substr(1, close - 1).c_str());
  std::string rest = datagram.substr(close + 1);
  /* "Mmm dd hh:mm:ss " time stamp of 16 characters. */
  if (rest.size() >= 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':') rest = rest.substr(16);
  entry->pid = 0;
  size_t colon = rest.find(": ");
  if (colon == std::string::npos) {
    entry->ident.clear();
    entry->message = rest;
    return 1;
  }
  std::string head = rest.substr(0, colon);
  size_t bracket = head.find('[');
  if (bracket != std::string::npos && head.back() == ']') {
    entry->ident = head.substr(0, bracket);
    entry->pid = std::atoi(head.substr(bracket + 1).c_str());
  } else {
    entry->ident = head;
  }
  entry->message = rest.substr(colon + 2);
  while (!entry->message.empty() && entry->message.back() == '\n') entry->message.pop_back();
  return 1;
}

static void read_entries(syslog_collector *collector) {
  char buffer[8192];
  while (collector->running) {
    pollfd ready = {collector->fd, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    ssize_t size = recv(collector->fd, buffer, sizeof buffer, 0);
    if (size <= 0) continue;
    syslog_entry entry;
    if (!syslog_parse(std::string(buffer, static_cast<size_t>(size)), &entry)) continue;
    std::lock_guard<std::mutex> guard(collector->lock);
    collector->entries.push_back(entry);
  }
}

int syslog_start(syslog_collector *collector) {
  collector->folder = make_temp_folder("nimba_syslog_");
  if (collector->folder.empty()) return 0;
  chmod(collector->folder.c_str(), 0755);
  collector->socket_path = collector->folder + "/log";
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (collector->socket_path.size() >= sizeof address.sun_path) return 0;
  std::memcpy(address.sun_path, collector->socket_path.c_str(), collector->socket_path.size() + 1);
  collector->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (collector->fd < 0) return 0;
  if (bind(collector->fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return 0;
  chmod(collector->socket_path.c_str(), 0666);
  int size = 1 << 20;
  setsockopt(collector->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  collector->running = true;
  collector->reader = std::thread(read_entries, collector);
  return 1;
}

void syslog_stop(syslog_collector *collector) {
  collector->running = false;
  if (collector->reader.joinable()) collector->reader.join();
  if (collector->fd >= 0) close(collector->fd);
  collector->fd = -1;
  if (!collector->folder.empty()) remove_tree(collector->folder);
  collector->folder.clear();
}

std::vector<syslog_entry> syslog_entries(syslog_collector *collector) {
  std::lock_guard<std::mutex> guard(collector->lock);
  return collector->entries;
}

unsigned syslog_count(syslog_collector *collector, const std::string &message, int priority) {
  std::lock_guard<std::mutex> guard(collector->lock);
  unsigned count = 0;
  for (const syslog_entry &entry : collector->entries)
    if (entry.message == message && (priority < 0 || entry.priority == priority)) count++;
  return count;
}

unsigned syslog_total(syslog_collector *collector, const char *format) {
  const std::string whole = std::string(format) + "%n";
  std::lock_guard<std::mutex> guard(collector->lock);
  unsigned total = 0;
  for (const syslog_entry &entry : collector->entries) {
    unsigned n = 0;
    int used = -1;
    if (std::sscanf(entry.message.c_str(), whole.c_str(), &n, &used) == 1 &&
        used == static_cast<int>(entry.message.size()))
      total += n;
  }
  return total;
}

unsigned syslog_count_prefix(syslog_collector *collector, const std::string &prefix) {
  std::lock_guard<std::mutex> guard(collector->lock);
  unsigned count = 0;
  for (const syslog_entry &entry : collector->entries)
    if (entry.message.compare(0, prefix.size(), prefix) == 0) count++;
  return count;
}

int syslog_wait(syslog_collector *collector, const std::string &message, int timeout_ms, unsigned count,
                int priority) {
  return wait_until([&] { return syslog_count(collector, message, priority) >= count; }, timeout_ms);
}

int syslog_wait_prefix(syslog_collector *collector, const std::string &prefix, int timeout_ms,
                       std::string *found) {
  return wait_until(
      [&] {
        std::lock_guard<std::mutex> guard(collector->lock);
        for (const syslog_entry &entry : collector->entries) {
          if (entry.message.compare(0, prefix.size(), prefix) == 0) {
            if (found != nullptr) *found = entry.message;
            return true;
          }
        }
        return false;
      },
      timeout_ms);
}
