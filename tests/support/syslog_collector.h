/* Test support: a private system log. A unix datagram socket that a sandboxed child sees
 * as /dev/log, with a reader thread that keeps every entry for assertions. */
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct syslog_entry {
  int priority;        /* whole "<PRI>" value: facility * 8 + severity */
  std::string ident;   /* program name before "[pid]: " */
  int pid;             /* 0 when the entry carries none */
  std::string message; /* text after the prefix */
};

struct syslog_collector {
  std::string folder;
  std::string socket_path;
  int fd = -1;
  std::thread reader;
  std::atomic<bool> running{false};
  std::mutex lock;
  std::vector<syslog_entry> entries;
};

/* Creates the socket in a new temporary folder and starts reading; 1 on success. */
int syslog_start(syslog_collector *collector);

/* Stops the reader, closes and removes the socket and its folder. */
void syslog_stop(syslog_collector *collector);

/* Copy of the entries so far. */
std::vector<syslog_entry> syslog_entries(syslog_collector *collector);

/* Entries whose message equals the text (priority < 0: any priority). */
unsigned syslog_count(syslog_collector *collector, const std::string &message, int priority = -1);

/* The sum of the numbers in the entries that match a format with one %u (wholly: "Dropped
 * %u messages for NIMBA: queue full." does not count a spool's drops). */
unsigned syslog_total(syslog_collector *collector, const char *format);

/* Entries whose message starts with the prefix. */
unsigned syslog_count_prefix(syslog_collector *collector, const std::string &prefix);

/* Waits until at least `count` entries equal the message; 1 when they arrived in time. */
int syslog_wait(syslog_collector *collector, const std::string &message, int timeout_ms, unsigned count = 1,
                int priority = -1);

/* Waits for an entry that starts with the prefix; its message in *found. */
int syslog_wait_prefix(syslog_collector *collector, const std::string &prefix, int timeout_ms,
                       std::string *found = nullptr);

/* Parses one datagram in the form "<PRI>Mmm dd hh:mm:ss ident[pid]: message"; 0 when it
 * has no "<PRI>". */
int syslog_parse(const std::string &datagram, syslog_entry *entry);
