/* Load messages for the relay benchmark: making them, checking what comes back, summing up. */
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t BENCH_TOPIC_CAPACITY = 64;
constexpr uint32_t BENCH_PAYLOAD_CAPACITY = 65536;
constexpr uint32_t BENCH_MAX_TOPICS = 1000;

/* How a received document is expected to look: re-shaped by the relay under "d" with the
 * topic path in each member name, or unchanged as published (direct path, no relay). */
enum bench_shape { BENCH_RELAYED = 0, BENCH_DIRECT = 1 };

/* One load message. Its content is fixed by the sequence number and the send time, so a
 * received copy can be checked without keeping the sent ones. */
struct bench_message {
  uint32_t topic_length;
  uint32_t payload_length;
  char topic[BENCH_TOPIC_CAPACITY];
  char payload[BENCH_PAYLOAD_CAPACITY];
};

/* What a check found in one received document. */
struct bench_check {
  int ok;          // 1: shape, prefix and padding as sent
  uint64_t seq;    // sequence number read from the document (valid when ok)
  int64_t sent_us; // send time read from the document (valid when ok)
};

/* Topic of message seq: QZ/node<seq % topics>/load. Result: its length, 0 if it does not fit. */
uint32_t bench_topic(uint64_t seq, uint32_t topics, char *out, uint32_t capacity);

/* Fills m with message seq sent at sent_us: {"seq":N,"t":T,"pad":"x..."} padded to size
 * bytes; a size below the unpadded length gives the unpadded message. 1, or 0 when the
 * size exceeds the payload capacity or the topic does not fit. */
int bench_message_make(bench_message *m, uint64_t seq, int64_t sent_us, uint32_t size, uint32_t topics);

/* Checks one received document (not terminated, length bytes) that arrived on topic:
 * shape, member names with the prefix of the topic that seq was sent on, the padding for
 * size, and seq below count. In the relayed shape the topic must be the cloud topic. */
bench_check bench_document_check(const char *doc, size_t length, const char *topic, bench_shape shape,
                                 uint32_t size, uint32_t topics, uint64_t count);

/* Value at fraction q (0..1) of the sorted values (nearest rank); 0 for none. Sorts v. */
int64_t bench_percentile(std::vector<int64_t> &v, double q);
