/* A tap between the daemon and a broker, for delivery tests: a TCP proxy on a loopback
 * address that passes every byte both ways and reads the MQTT packets as they pass. It
 * records each PUBLISH the daemon sends (payload, DUP flag), each one the broker
 * acknowledged, and each one the broker sent the daemon, so a test can tell what reached
 * the cloud (or left the gateway) whatever the broker is and whatever happens to its
 * subscribers. It passes whole packets, and can play a cloud that misbehaves toward the
 * daemon on the broker's side of the stream. One client at a time; a thread of its own. */
#pragma once
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct tap_publish {
  std::string payload;
  bool dup;
};

/* How the cloud misbehaves (set before tap_start; withhold_acks also while it runs). */
struct tap_misbehaviour {
  int close_after_connack_ms = -1;        /* each link closed this long after its CONNACK; -1: never */
  std::string close_on;                   /* a link closed on a PUBLISH whose payload holds this, once the
                                             broker answered the ones before it (it never gets it) */
  std::atomic<bool> withhold_acks{false}; /* no PUBACK passed on */
  bool every_other_ack = false;           /* on each link, every second PUBLISH's PUBACK withheld */
  bool unsent_ids = false;                /* after each PUBACK, one for an identifier the daemon never used */
  unsigned reversed_acks = 0;             /* PUBACKs passed on this many at a time in reverse order (after
                                             50 ms also fewer) */
  int ack_delay_ms = 0;                   /* each PUBACK held this long */
  unsigned flapping_links = 0;            /* only the first this many links are closed after their CONNACK
                                             and have their PUBACKs held; 0: every link */
};

struct cloud_tap {
  std::string upstream_address;
  int upstream_port = 1883;
  int listener = -1;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::vector<tap_publish> sent;      /* PUBLISH packets from the daemon, in order */
  std::vector<std::string> acked;     /* payloads of those the broker acknowledged, in order */
  std::vector<std::string> delivered; /* payloads of the PUBLISH packets the broker sent the client */
  unsigned connections = 0;
  tap_misbehaviour misbehave;
  std::set<uint16_t> used_ids;      /* packet identifiers of the daemon's PUBLISH packets */
  unsigned most_unacknowledged = 0; /* most PUBLISH packets of one link awaiting their PUBACK */
  ~cloud_tap();
};

/* Listens on address:port and passes each connection to upstream_address:upstream_port;
 * 1 on success. A client whose upstream cannot be reached is closed at once. */
int tap_start(cloud_tap *tap, const std::string &address, int port, const std::string &upstream_address,
              int upstream_port);
void tap_stop(cloud_tap *tap);
std::vector<tap_publish> tap_sent(cloud_tap *tap);
std::vector<std::string> tap_acked(cloud_tap *tap);
std::vector<std::string> tap_delivered(cloud_tap *tap);
