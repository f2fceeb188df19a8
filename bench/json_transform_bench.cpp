/* Micro-benchmark of json_transform on gateway-sized payloads, with the number of heap
 * allocations per message as a counter (allocs_per_msg). */
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_transform.h"

namespace {
std::atomic<uint64_t> allocation_count{0};
}

#ifndef NIMBA_NO_MALLOC_COUNT
/* glibc's own entry points; operator new ends in malloc too. */
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);

extern "C" void *malloc(size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

extern "C" void *realloc(void *block, size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
#endif

namespace {

const char topic[] = "QZ/node1/sensor";

/* 40 bytes: one sensor reading. */
std::string sensor_payload() { return R"({"temperature":21.5,"humidity":40,"n":7})"; }

/* 128 bytes: the most the relay passes on. */
std::string relay_payload() {
  std::string p = R"({"id":"n1-\u00e9","ts":1733680000123,"temp":-3.25,"rh":55.1,"ok":true,)"
                  R"("v":[1,2,3,4],"loc":{"lat":48.2082,"lon":16.3738},"s":"x")";
  p.append(127 - p.size(), ' ');
  return p + "}";
}

/* About 2.5 KB: nested objects and arrays with strings, escapes and numbers. */
std::string nested_payload() {
  std::string p = "{";
  for (int i = 0; p.size() < 2450; ++i) {
    char member[256];
    int n = snprintf(member,
                     sizeof member,
                     R"(%s"ch%d":{"name":"channel \"%d\"\n","values":[%d.5,-0.%d,1e-%d,%d],)"
                     R"("meta":{"unit":"\u00b0C","ok":%s,"tags":["a","b\t"]}})",
                     i ? "," : "",
                     i,
                     i,
                     i,
                     i,
                     i + 1,
                     i * 1000,
                     i % 2 ? "true" : "false");
    if (n < 0 || static_cast<size_t>(n) >= sizeof member) abort();
    p += member;
  }
  return p + "}";
}

void transform_bench(benchmark::State &state, const std::string &payload) {
  std::vector<char> out(8192);
  auto run = [&] {
    return json_transform(payload.data(),
                          static_cast<uint32_t>(payload.size()),
                          sizeof topic - 1,
                          topic,
                          static_cast<uint32_t>(out.size()),
                          out.data());
  };
  uint32_t length = run();
  if (length == 0 || length > out.size()) {
    state.SkipWithError("payload not transformed");
    return;
  }
#ifndef NIMBA_NO_MALLOC_COUNT
  uint64_t probe = allocation_count.load(std::memory_order_relaxed);
  void *volatile block = malloc(16);
  free(block);
  if (allocation_count.load(std::memory_order_relaxed) == probe) {
    state.SkipWithError("the allocation counter does not see malloc");
    return;
  }
#endif
  uint64_t before = allocation_count.load(std::memory_order_relaxed);
  for (auto _ : state) {
    uint32_t n = run();
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  uint64_t allocations = allocation_count.load(std::memory_order_relaxed) - before;
#ifndef NIMBA_NO_MALLOC_COUNT
  state.counters["allocs_per_msg"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
#else
  (void)allocations;
#endif
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
  state.counters["document_bytes"] = length;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(payload.size()));
}

const std::string sensor = sensor_payload();
const std::string relay = relay_payload();
const std::string nested = nested_payload();

BENCHMARK_CAPTURE(transform_bench, sensor_40B, sensor);
BENCHMARK_CAPTURE(transform_bench, relay_128B, relay);
BENCHMARK_CAPTURE(transform_bench, nested_2500B, nested);

} // namespace

BENCHMARK_MAIN();
