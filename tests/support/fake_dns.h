/* A name server for tests: answers A queries for the names it was given with their
 * addresses, AAAA queries for them with no record, and every other name with NXDOMAIN. UDP
 * on a loopback address, on a thread of its own. */
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct fake_dns {
  int fd = -1;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::map<std::string, std::string> names; /* lower-case name -> dotted IPv4 address */
  unsigned queries = 0;
};

/* Serves on address:53; 1 on success. */
int fake_dns_start(fake_dns *dns, const std::string &address);
/* Answers name (case-insensitive) with the IPv4 address from now on. */
void fake_dns_add(fake_dns *dns, const std::string &name, const std::string &address);
/* Queries answered so far. */
unsigned fake_dns_queries(fake_dns *dns);
/* Stops serving; safe to call twice. */
void fake_dns_stop(fake_dns *dns);
