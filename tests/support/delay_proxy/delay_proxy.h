/* A slow link on loopback: a TCP proxy that passes every connection it accepts to an
 * upstream address and holds each chunk it reads for a one-way delay before writing it on,
 * in each direction, in order (this kernel has no netem). While a direction holds
 * held_max bytes or more, the side it reads from is not read, so each connection's memory
 * is bounded and a slow reader slows its writer as a real link would. One thread serves
 * every connection: the benchmarks run it as a program (nimba_delay_proxy), tests as a
 * thread of their own. The upstream connect blocks, which is instant on loopback only. */
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

/* Most bytes one read takes from a side. */
constexpr size_t DELAY_PROXY_READ_SIZE = 65536;
/* Default bytes held per direction of a connection before its side is no longer read. */
constexpr size_t DELAY_PROXY_HELD_MAX = 1u << 20;

struct delay_proxy_options {
  std::string listen_address;
  int listen_port = 0;
  std::string upstream_address;
  int upstream_port = 0;
  unsigned delay_ms = 0;                  /* one way, each direction: the round trip is twice it */
  size_t held_max = DELAY_PROXY_HELD_MAX; /* per direction of a connection */
};

/* Bytes read from one side, due on the other at due_ns (monotonic clock). An empty chunk is
 * the side's end, passed on as a half close at its time. */
struct delay_chunk {
  int64_t due_ns;
  std::string bytes;
  size_t written;
};

/* One direction of a connection: what was read from one socket and not yet written to the
 * other, oldest first. */
struct delay_direction {
  int from = -1;
  int to = -1;
  std::deque<delay_chunk> held;
  size_t held_bytes = 0;
  bool ended = false;   /* the source's end was read */
  bool blocked = false; /* the due head met a full socket: wait until it takes more */
};

struct delay_link {
  int client = -1;
  int upstream = -1;
  delay_direction up;   /* client to upstream */
  delay_direction down; /* upstream to client */
};

struct delay_proxy {
  delay_proxy_options options;
  int listener = -1;
  std::vector<delay_link> links; /* the serving thread's alone */
  std::atomic<int> stop{0};      /* set (also from a signal handler): serving ends */
  std::atomic<unsigned> accepted{0};
  std::atomic<unsigned> pauses{0};  /* times a side stopped being read at held_max */
  std::atomic<size_t> held_peak{0}; /* most bytes one direction held at once */
  std::thread worker;
};

/* Listens on the options' address and port; 1 on success, 0 when it cannot (nothing open
 * then). */
int delay_proxy_open(delay_proxy *proxy, const delay_proxy_options &options);
/* Serves on the calling thread until proxy->stop is set, then closes every connection
 * (what is still held is dropped, as a link that goes away drops it). A connection whose
 * upstream cannot be reached is closed at once; one whose side fails is closed both ways. */
void delay_proxy_run(delay_proxy *proxy);
/* delay_proxy_open, then delay_proxy_run on a thread of the proxy's own; 1 on success. */
int delay_proxy_start(delay_proxy *proxy, const delay_proxy_options &options);
/* Ends serving, joins the thread and closes the listener; safe to call twice. */
void delay_proxy_stop(delay_proxy *proxy);
