/* The spool on flash: order across segments, deletion once acknowledged, the limit, damaged
 * tails, clean and unclean ends, batching, a blocked sync and unusable folders. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "daemon/spool/spool.h"
#include "files.h"
#include "settings/log.h"
#include "wait.h"

namespace {

/* ---- what the spool logs, and its file calls counted (and held or failed on demand) ---- */

struct log_entry {
  int priority;
  std::string text;
};
std::mutex log_lock;
std::vector<log_entry> logged;

void collect(int priority, const char *format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> hold(log_lock);
  logged.push_back({priority, text});
}

std::vector<std::string> logged_at(int priority) {
  std::lock_guard<std::mutex> hold(log_lock);
  std::vector<std::string> texts;
  for (const log_entry &e : logged)
    if (e.priority == priority) texts.push_back(e.text);
  return texts;
}

std::atomic<int> write_calls, sync_calls, folder_calls;
std::atomic<int> failing_errno; /* writes fail with it when set */

/* The segment files of a folder summed after every write, while a test watches it. */
std::string watched_folder;
std::atomic<bool> watching;
std::atomic<uint64_t> watched_peak;

uint64_t segment_bytes(const std::string &folder) {
  uint64_t total = 0;
  if (DIR *dir = opendir(folder.c_str())) {
    while (dirent *e = readdir(dir)) {
      struct stat st;
      const std::string name = e->d_name;
      if (name.size() == 20 && name.compare(16, 4, ".seg") == 0 &&
          stat((folder + "/" + name).c_str(), &st) == 0)
        total += static_cast<uint64_t>(st.st_size);
    }
    closedir(dir);
  }
  return total;
}

/* A sync held until the test opens the gate (bounded, so that a fault fails, not hangs). */
struct sync_gate {
  std::mutex lock;
  std::condition_variable changed;
  bool closed = false, waiting = false, timed_out = false;
} gate;

ssize_t counted_write_at(int fd, const void *data, size_t length, off_t offset) {
  write_calls++;
  if (int error = failing_errno.load()) {
    errno = error;
    return -1;
  }
  const ssize_t written = pwrite(fd, data, length, offset);
  if (watching) {
    const uint64_t now = segment_bytes(watched_folder);
    if (now > watched_peak) watched_peak = now;
  }
  return written;
}

int counted_sync_data(int fd) {
  sync_calls++;
  std::unique_lock<std::mutex> hold(gate.lock);
  if (gate.closed) {
    gate.waiting = true;
    gate.changed.notify_all();
    if (!gate.changed.wait_for(hold, std::chrono::seconds(20), [] { return !gate.closed; }))
      gate.timed_out = true;
    gate.waiting = false;
  }
  return fdatasync(fd);
}

int counted_sync_folder(int fd) {
  folder_calls++;
  return fsync(fd);
}

const spool_io counted_io = {counted_write_at, counted_sync_data, counted_sync_folder};

void set_gate(bool closed) {
  std::lock_guard<std::mutex> hold(gate.lock);
  gate.closed = closed;
  gate.changed.notify_all();
}

/* ---- numbered documents ---- */

/* {"n":N,"p":"xxx..."} of exactly size bytes (at least 16). */
std::string make_doc(uint32_t n, uint32_t size) {
  std::string doc = "{\"n\":" + std::to_string(n) + ",\"p\":\"";
  doc.append(size - doc.size() - 2, static_cast<char>('a' + n % 26));
  return doc + "\"}";
}

long doc_number(const std::string &doc) {
  if (doc.compare(0, 5, "{\"n\":") != 0) return -1;
  return std::strtol(doc.c_str() + 5, nullptr, 10);
}

struct taken_doc {
  std::string doc;
  int64_t time_ms;
  spool_position end;
};

struct free_deleter {
  void operator()(spool *s) const { std::free(s); }
};
using spool_ptr = std::unique_ptr<spool, free_deleter>;

spool_ptr new_spool() { return spool_ptr(static_cast<spool *>(std::calloc(1, sizeof(spool)))); }

std::vector<taken_doc> drain(spool *s, size_t max = SIZE_MAX) {
  std::vector<taken_doc> out;
  char buffer[SPOOL_DOCUMENT_MAX];
  uint32_t length;
  taken_doc t;
  while (out.size() < max && spool_next(s, buffer, sizeof buffer, &length, &t.time_ms, &t.end)) {
    t.doc.assign(buffer, length);
    out.push_back(t);
  }
  return out;
}

/* The numbers of the documents, checking each is whole. */
std::vector<long> numbers_of(const std::vector<taken_doc> &docs, uint32_t size) {
  std::vector<long> numbers;
  for (const taken_doc &t : docs) {
    long n = doc_number(t.doc);
    EXPECT_EQ(make_doc(static_cast<uint32_t>(n), size ? size : static_cast<uint32_t>(t.doc.size())), t.doc);
    numbers.push_back(n);
  }
  return numbers;
}

std::vector<long> range(long from, long to) {
  std::vector<long> r;
  for (long i = from; i < to; i++) r.push_back(i);
  return r;
}

std::vector<std::string> folder_names(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (dirent *e = readdir(dir))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string segment_file(uint64_t number) {
  char name[32];
  snprintf(name, sizeof name, "%016llx.seg", static_cast<unsigned long long>(number));
  return name;
}

constexpr uint64_t FIRST = 1ull << 32;
constexpr int64_t T0 = 1767225600000; /* arrival time of document 0 */

class Spool : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> hold(log_lock);
      logged.clear();
    }
    log_set_sink(collect);
    log_set_echo(LOG_ECHO_NONE);
    write_calls = sync_calls = folder_calls = 0;
    failing_errno = 0;
    watching = false;
    gate.timed_out = false;
    spool_set_io(&counted_io);
    root = make_temp_folder("nimba_spool_");
    ASSERT_FALSE(root.empty());
    folder = root + "/spool";
  }
  void TearDown() override {
    set_gate(false);
    if (s && s->open) spool_close(s.get(), nullptr, 0);
    s.reset();
    spool_set_io(nullptr);
    log_set_sink(nullptr);
    log_set_echo(LOG_ECHO_BY_PRIORITY);
    remove_tree(root);
    EXPECT_FALSE(gate.timed_out);
  }

  int open(uint64_t limit = 8 << 20) {
    if (s && s->open) spool_close(s.get(), nullptr, 0);
    s = new_spool();
    int usable = spool_open(s.get(), folder.c_str(), limit);
    spool_tick(s.get(), now);
    return usable;
  }
  void reopen(uint64_t limit = 8 << 20, const std::vector<spool_document> &held = {}) {
    EXPECT_EQ(0u, spool_close(s.get(), held.data(), static_cast<uint32_t>(held.size())));
    open(limit);
  }
  int append(uint32_t n, uint32_t size) {
    std::string doc = make_doc(n, size);
    return spool_append(s.get(), doc.data(), static_cast<uint32_t>(doc.size()), T0 + n);
  }
  /* Appends, waiting for the writer when it pushes back. */
  void append_all(uint32_t from, uint32_t to, uint32_t size) {
    for (uint32_t n = from; n < to; n++) {
      if (append(n, size)) continue;
      ASSERT_TRUE(wait_until(
          [&] {
            tick(0);
            return append(n, size) == 1;
          },
          10000))
          << n;
    }
  }
  void tick(long long ms) { spool_tick(s.get(), now += ms); }
  /* Until every batch is written (the clock moves a second per look). */
  void settle() {
    ASSERT_TRUE(wait_until(
        [&] {
          tick(SPOOL_BATCH_MS);
          return spool_next_ms(s.get()) == 0;
        },
        10000));
  }
  std::vector<std::string> segments() {
    std::vector<std::string> names;
    for (const std::string &n : folder_names(folder))
      if (n.size() == 20 && n.compare(16, 4, ".seg") == 0) names.push_back(n);
    return names;
  }
  void ack(const taken_doc &t) { spool_acknowledged(s.get(), t.end); }
  spool_figures figures() { return spool_stats(s.get()); }

  std::string root, folder;
  spool_ptr s;
  long long now = 5000000;
};

/* ---- order, figures, deletion ---- */

struct round_trip_case {
  const char *name;
  uint32_t size, count;
  int written;  /* read after every batch is in its file (else from the batches in memory) */
  int reopened; /* read by a new spool over the same folder */
};
void PrintTo(const round_trip_case &c, std::ostream *os) { *os << c.name; }

class SpoolRoundTrip : public Spool, public ::testing::WithParamInterface<round_trip_case> {};

TEST_P(SpoolRoundTrip, ReturnsEveryDocumentInOrderAndLeavesNothingOnceAcknowledged) {
  const round_trip_case &c = GetParam();
  ASSERT_EQ(1, open());
  append_all(0, c.count, c.size);
  const uint64_t record_bytes = uint64_t(SPOOL_RECORD_HEAD + c.size) * c.count;
  if (c.written) settle();
  if (c.reopened) {
    reopen();
    ASSERT_TRUE(wait_until([&] { return !figures().counting; }, 10000));
  }
  spool_figures f = figures();
  EXPECT_EQ(c.count, f.documents);
  EXPECT_EQ(record_bytes, f.bytes);
  EXPECT_EQ(T0, f.oldest_ms);
  EXPECT_EQ(1, f.usable);

  std::vector<taken_doc> first = drain(s.get(), c.count / 2);
  EXPECT_EQ(c.count - first.size(), figures().documents);
  EXPECT_EQ(T0 + static_cast<int64_t>(first.size()), figures().oldest_ms);
  std::vector<taken_doc> all = first, rest = drain(s.get());
  all.insert(all.end(), rest.begin(), rest.end());
  EXPECT_EQ(range(0, c.count), numbers_of(all, c.size));
  for (size_t i = 0; i < all.size(); i++) EXPECT_EQ(T0 + static_cast<int64_t>(i), all[i].time_ms);
  EXPECT_EQ(0u, figures().documents);
  EXPECT_EQ(0, figures().oldest_ms);

  /* Acknowledged in order: each segment goes once its last document is acknowledged. */
  for (size_t i = 0; i + 1 < all.size(); i++) {
    ack(all[i]);
    if (all[i].end.segment == all[i + 1].end.segment) continue;
    EXPECT_TRUE(wait_until(
        [&] { return segments().empty() || segments()[0] != segment_file(all[i].end.segment); }, 5000));
  }
  ack(all.back());
  settle();
  EXPECT_TRUE(wait_until([&] { return folder_names(folder).empty(); }, 5000)) << folder_names(folder).size();
  EXPECT_EQ(0u, figures().bytes);
  EXPECT_TRUE(logged_at(LOG_WARNING).empty());
  EXPECT_TRUE(logged_at(LOG_ERR).empty());
}

INSTANTIATE_TEST_SUITE_P(Spool, SpoolRoundTrip,
                         ::testing::Values(round_trip_case{"from_memory", 200, 100, 0, 0},
                                           round_trip_case{"from_files_across_segments", 3000, 300, 1, 0},
                                           round_trip_case{"after_reopen_across_segments", 3000, 300, 1, 1},
                                           round_trip_case{"largest_documents", SPOOL_DOCUMENT_MAX, 90, 1, 1},
                                           round_trip_case{"small_documents", 24, 5000, 1, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

/* Reading keeps up with appending: documents come from the file, the batch with the writer
 * and the one filling, in order; acknowledging as they come leaves the folder empty. */
TEST_F(Spool, InterleavedAppendsAndReadsKeepOrder) {
  ASSERT_EQ(1, open());
  std::vector<taken_doc> taken;
  for (uint32_t n = 0; n < 2000; n += 50) {
    append_all(n, n + 50, 1000);
    tick(n % 200 == 0 ? SPOOL_BATCH_MS : 10);
    std::vector<taken_doc> some = drain(s.get(), 30);
    taken.insert(taken.end(), some.begin(), some.end());
    if (!taken.empty()) ack(taken[taken.size() / 2]);
  }
  std::vector<taken_doc> rest = drain(s.get());
  taken.insert(taken.end(), rest.begin(), rest.end());
  EXPECT_EQ(range(0, 2000), numbers_of(taken, 1000));
  ack(taken.back());
  settle();
  EXPECT_TRUE(wait_until([&] { return folder_names(folder).empty(); }, 5000));
}

/* ---- the caller's use, end to end ---- */

/* A numbered flow through a caller like the relay: a memory queue of 20 that the cloud
 * acknowledges from its front (or not, during outages), the spool behind it, clean restarts
 * that hand over what memory holds. Every number must arrive once and in order, or be
 * counted as dropped. */
struct flow_case {
  const char *name;
  uint64_t limit;
  uint32_t restart_every; /* steps between restarts, 0 none */
  uint32_t seed;
};
void PrintTo(const flow_case &c, std::ostream *os) { *os << c.name; }

class SpoolFlow : public Spool, public ::testing::WithParamInterface<flow_case> {};

uint32_t flow_size(uint32_t n) { return 30 + (n * 7919u) % 3000u; }

TEST_P(SpoolFlow, EveryNumberArrivesOnceInOrderOrIsCountedDropped) {
  const flow_case &c = GetParam();
  constexpr uint32_t COUNT = 6000;
  constexpr size_t MEMORY = 20;
  struct held {
    uint32_t n;
    spool_position from;
  };
  std::deque<held> memory;
  std::vector<uint32_t> delivered;
  std::mt19937 random(c.seed);
  uint32_t next = 0, dropped = 0, outage = 0, from_spool = 0;
  ASSERT_EQ(1, open(c.limit));
  auto restart = [&] {
    std::vector<std::string> store;
    std::vector<spool_document> docs;
    store.reserve(memory.size());
    for (const held &h : memory) {
      store.push_back(make_doc(h.n, flow_size(h.n)));
      docs.push_back({store.back().data(), flow_size(h.n), T0 + h.n, h.from});
    }
    EXPECT_EQ(0u, spool_close(s.get(), docs.data(), static_cast<uint32_t>(docs.size())));
    dropped += spool_take_dropped(s.get());
    memory.clear();
    ASSERT_EQ(1, open(c.limit));
  };
  for (uint32_t step = 0; step < 400000 && (next < COUNT || !memory.empty() || spool_waiting(s.get()));
       step++) {
    if (c.restart_every && step % c.restart_every == c.restart_every - 1) restart();
    if (outage) {
      outage--;
    } else if (random() % 1000 == 0) {
      outage = random() % 3000;
    }
    uint32_t action = random() % 8;
    if (action < 4 && next < COUNT) {
      std::string doc = make_doc(next, flow_size(next));
      if (memory.size() < MEMORY && !spool_waiting(s.get())) {
        memory.push_back({next++, {0, 0}});
        continue;
      }
      /* Documents held behind ones from the spool go in first, counted as taken. */
      size_t last_from_spool = memory.size();
      for (size_t i = 0; i < memory.size(); i++)
        if (memory[i].from.segment) last_from_spool = i;
      int pushed_back = 0;
      for (size_t i = last_from_spool + 1; i < memory.size() && last_from_spool < memory.size(); i++) {
        if (memory[i].from.segment) continue;
        std::string d = make_doc(memory[i].n, flow_size(memory[i].n));
        if (!spool_append_taken(
                s.get(), d.data(), flow_size(memory[i].n), T0 + memory[i].n, &memory[i].from)) {
          pushed_back = 1;
          break;
        }
      }
      /* A writer behind (every batch with it) makes the caller wait, as the relay does. */
      if (!pushed_back && wait_until(
                              [&] {
                                tick(0);
                                return spool_append(s.get(), doc.data(), flow_size(next), T0 + next) == 1;
                              },
                              10000))
        next++;
    } else if (action < 6) {
      char buffer[SPOOL_DOCUMENT_MAX];
      uint32_t length;
      int64_t time_ms;
      spool_position end;
      while (memory.size() < MEMORY && spool_next(s.get(), buffer, sizeof buffer, &length, &time_ms, &end)) {
        std::string doc(buffer, length);
        long n = doc_number(doc);
        ASSERT_EQ(make_doc(static_cast<uint32_t>(n), flow_size(static_cast<uint32_t>(n))), doc);
        ASSERT_EQ(T0 + n, time_ms);
        memory.push_back({static_cast<uint32_t>(n), end});
        from_spool++;
      }
    } else if (action == 6 && !outage) {
      for (uint32_t k = random() % 6; k > 0 && !memory.empty(); k--) {
        delivered.push_back(memory.front().n);
        if (memory.front().from.segment) spool_acknowledged(s.get(), memory.front().from);
        memory.pop_front();
      }
    } else {
      tick(random() % 600);
    }
  }
  EXPECT_EQ(COUNT, next);
  EXPECT_TRUE(memory.empty());
  restart();
  EXPECT_FALSE(spool_waiting(s.get()));
  /* In order, none twice; the missing ones are exactly those counted as dropped. */
  for (size_t i = 1; i < delivered.size(); i++) ASSERT_LT(delivered[i - 1], delivered[i]) << i;
  EXPECT_EQ(COUNT - delivered.size(), dropped);
  if (c.limit > (4u << 20)) {
    EXPECT_EQ(0u, dropped);
  }
  EXPECT_GT(from_spool + dropped, COUNT / 4); /* the flow went through the spool (or its drops) */
  settle();
  EXPECT_TRUE(wait_until([&] { return segments().empty(); }, 5000));
  EXPECT_TRUE(logged_at(LOG_WARNING).empty());
  EXPECT_TRUE(logged_at(LOG_ERR).empty());
}

INSTANTIATE_TEST_SUITE_P(Spool, SpoolFlow,
                         ::testing::Values(flow_case{"outages", 8 << 20, 0, 1},
                                           flow_case{"outages_and_restarts", 8 << 20, 997, 2},
                                           flow_case{"full_spool_and_restarts", 0, 1499, 3},
                                           flow_case{"full_spool_frequent_restarts", 0, 211, 4}),
                         [](const auto &info) { return std::string(info.param.name); });

/* ---- the limit ---- */

struct limit_case {
  const char *name;
  uint32_t taken_before; /* documents taken (and held unacknowledged) before the spool fills */
  int reopened;          /* the full segments are an earlier run's, counted by the writer */
};
void PrintTo(const limit_case &c, std::ostream *os) { *os << c.name; }

class SpoolLimit : public Spool, public ::testing::WithParamInterface<limit_case> {};

TEST_P(SpoolLimit, DropsTheOldestSegmentAndCountsExactlyItsDocumentsNotTaken) {
  const limit_case &c = GetParam();
  const uint32_t size = 984; /* 1000-byte records */
  ASSERT_EQ(1, open(0));     /* the smallest limit: four segments of 64 KiB */
  watched_folder = folder;
  watched_peak = 0;
  watching = true;
  uint32_t n = 0;
  for (; figures().bytes + 1000 <= SPOOL_LIMIT_MIN; n++) append_all(n, n + 1, size);
  settle();
  if (c.reopened) reopen(0);
  std::vector<taken_doc> held = drain(s.get(), c.taken_before);
  EXPECT_EQ(0u, spool_take_dropped(s.get()));

  const uint32_t total = n + 300;
  for (; n < total; n++) {
    append_all(n, n + 1, size);
    if (n % 50 == 0) settle();
  }
  settle();
  EXPECT_LE(figures().bytes, SPOOL_LIMIT_MIN);
  uint32_t dropped = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        dropped += spool_take_dropped(s.get());
        return !figures().counting && dropped == figures().dropped;
      },
      10000));
  std::vector<taken_doc> rest = drain(s.get());
  ASSERT_FALSE(rest.empty());
  /* Numbered flow: the held ones, then a gap of exactly the dropped count, then the rest. */
  long first_after = doc_number(rest[0].doc);
  EXPECT_EQ(static_cast<long>(held.size() + dropped), first_after);
  EXPECT_EQ(range(first_after, total), numbers_of(rest, size));
  EXPECT_EQ(range(0, held.size()), numbers_of(held, size));
  EXPECT_EQ(0u, spool_take_dropped(s.get()));
  EXPECT_GT(dropped, 0u);
  /* Never past the limit, at no write (the close below may pass it by what is held). */
  watching = false;
  EXPECT_LE(watched_peak.load(), SPOOL_LIMIT_MIN);
  EXPECT_GT(watched_peak.load(), SPOOL_LIMIT_MIN - 4 * 1000);
  /* The held ones' segment is gone: at close they are put in front again. */
  std::vector<spool_document> memory;
  for (const taken_doc &t : held)
    memory.push_back({t.doc.data(), static_cast<uint32_t>(t.doc.size()), t.time_ms, t.end});
  reopen(0, memory);
  std::vector<taken_doc> again = drain(s.get());
  ASSERT_GE(again.size(), held.size());
  again.resize(held.size());
  EXPECT_EQ(range(0, held.size()), numbers_of(again, size));
}

INSTANTIATE_TEST_SUITE_P(Spool, SpoolLimit,
                         ::testing::Values(limit_case{"nothing_taken", 0, 0}, limit_case{"some_taken", 20, 0},
                                           limit_case{"earlier_run_nothing_taken", 0, 1},
                                           limit_case{"earlier_run_some_taken", 7, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

/* An earlier run left more segments than the spool keeps track of: the oldest go as when
 * the spool is full, counted by the writer. */
TEST_F(Spool, MoreSegmentsThanItTracksDropsTheOldest) {
  const uint32_t files = SPOOL_SEGMENTS_MAX + 6;
  mkdir(folder.c_str(), 0700);
  uint8_t record[SPOOL_RECORD_MAX];
  for (uint32_t n = files; n-- > 0;) { /* newest first: the folder lists them out of order */
    std::string doc = make_doc(n, 40);
    uint32_t size = spool_encode(record, doc.data(), 40, T0 + n);
    write_file(folder + "/" + segment_file(FIRST + 2 * n),
               std::string(reinterpret_cast<char *>(record), size));
  }
  ASSERT_EQ(1, open());
  uint32_t dropped = 0;
  EXPECT_TRUE(wait_until(
      [&] {
        dropped += spool_take_dropped(s.get());
        return dropped >= 6;
      },
      10000));
  EXPECT_EQ(6u, dropped);
  EXPECT_EQ(range(6, files), numbers_of(drain(s.get()), 40));
  EXPECT_EQ(SPOOL_SEGMENTS_MAX, segments().size());
}

/* ---- damaged segments ---- */

/* Two segments of an earlier run, written by hand: documents 0-4 and 5-9 of mixed sizes. */
const uint32_t DAMAGE_SIZES[10] = {50, 3072, 16, 700, 80, 90, 1200, 16, 333, 64};

struct damage_setup {
  std::vector<std::string> files;        /* contents of segment FIRST + i */
  std::vector<std::vector<uint32_t>> at; /* record starts per segment */
};

damage_setup build_segments() {
  damage_setup d;
  d.files.resize(2);
  d.at.resize(2);
  uint8_t record[SPOOL_RECORD_MAX];
  for (uint32_t n = 0; n < 10; n++) {
    std::string doc = make_doc(n, DAMAGE_SIZES[n]);
    uint32_t size = spool_encode(record, doc.data(), static_cast<uint32_t>(doc.size()), T0 + n);
    d.at[n / 5].push_back(static_cast<uint32_t>(d.files[n / 5].size()));
    d.files[n / 5].append(reinterpret_cast<char *>(record), size);
  }
  return d;
}

struct damage_case {
  const char *name;
  /* Changes the files; returns the documents expected back and the bytes skipped. */
  std::function<std::vector<long>(damage_setup &, uint32_t *skipped)> damage;
  uint32_t segment; /* the one named in the warning */
};
void PrintTo(const damage_case &c, std::ostream *os) { *os << c.name; }

std::vector<long> without(std::vector<long> all, long from, long to) {
  all.erase(std::remove_if(all.begin(), all.end(), [&](long n) { return n >= from && n < to; }), all.end());
  return all;
}

class SpoolDamage : public Spool, public ::testing::WithParamInterface<damage_case> {
protected:
  /* Opens the files as a spool; returns the documents read. Counts first (the writer
   * finds the damage) or reads first (the reader finds it). */
  std::vector<long> read_back(const damage_setup &d, int count_first) {
    remove_tree(folder);
    mkdir(folder.c_str(), 0700);
    for (size_t i = 0; i < d.files.size(); i++)
      write_file(folder + "/" + segment_file(FIRST + i), d.files[i]);
    {
      std::lock_guard<std::mutex> hold(log_lock);
      logged.clear();
    }
    EXPECT_EQ(1, open());
    if (count_first) {
      EXPECT_TRUE(wait_until([&] { return !figures().counting; }, 10000));
    }
    uint32_t counted = figures().documents;
    std::vector<taken_doc> docs = drain(s.get());
    if (count_first) {
      EXPECT_EQ(docs.size(), counted);
    }
    EXPECT_TRUE(wait_until([&] { return !figures().counting; }, 10000));
    tick(1);
    std::vector<long> numbers;
    for (const taken_doc &t : docs) {
      long n = doc_number(t.doc);
      EXPECT_TRUE(n >= 0 && n < 10 && t.doc == make_doc(n, DAMAGE_SIZES[n])) << t.doc;
      numbers.push_back(n);
    }
    spool_close(s.get(), nullptr, 0);
    return numbers;
  }
};

TEST_P(SpoolDamage, KeepsEveryWholeRecordAndWarnsOnceAboutTheTail) {
  const damage_case &c = GetParam();
  damage_setup d = build_segments();
  uint32_t skipped = 0;
  std::vector<long> expected = c.damage(d, &skipped);
  for (int count_first = 0; count_first < 2; count_first++) {
    SCOPED_TRACE(count_first ? "counted first" : "read first");
    EXPECT_EQ(expected, read_back(d, count_first));
    std::vector<std::string> warnings = logged_at(LOG_WARNING);
    std::string want = "Skipped a damaged tail of " + std::to_string(skipped) + " bytes in spool segment '" +
                       segment_file(FIRST + c.segment) + "'.";
    EXPECT_EQ(std::vector<std::string>{want}, warnings);
  }
}

std::vector<long> flip(damage_setup &d, uint32_t segment, uint32_t record, uint32_t at, uint32_t *skipped) {
  uint32_t start = d.at[segment][record];
  d.files[segment][start + at] ^= 0x40;
  *skipped = static_cast<uint32_t>(d.files[segment].size()) - start;
  return without(range(0, 10), segment * 5 + record, segment * 5 + 5);
}

std::vector<long> put_length(damage_setup &d, uint32_t value, uint32_t *skipped) {
  uint32_t start = d.at[1][4];
  for (int i = 0; i < 4; i++) d.files[1][start + i] = static_cast<char>(value >> (8 * i));
  *skipped = static_cast<uint32_t>(d.files[1].size()) - start;
  return range(0, 9);
}

INSTANTIATE_TEST_SUITE_P(
    Spool, SpoolDamage,
    ::testing::Values(
        damage_case{"tail_of_zeros",
                    [](damage_setup &d, uint32_t *skipped) {
                      d.files[0].append(4096, '\0');
                      *skipped = 4096;
                      return range(0, 10);
                    },
                    0},
        damage_case{"flipped_crc_of_last_record",
                    [](damage_setup &d, uint32_t *skipped) { return flip(d, 1, 4, 5, skipped); },
                    1},
        damage_case{"flipped_byte_in_a_middle_document",
                    [](damage_setup &d, uint32_t *skipped) { return flip(d, 0, 1, 2000, skipped); },
                    0},
        damage_case{
            "flipped_time", [](damage_setup &d, uint32_t *skipped) { return flip(d, 1, 2, 9, skipped); }, 1},
        damage_case{
            "length_over_the_maximum",
            [](damage_setup &d, uint32_t *skipped) { return put_length(d, SPOOL_DOCUMENT_MAX + 1, skipped); },
            1},
        damage_case{
            "length_zero", [](damage_setup &d, uint32_t *skipped) { return put_length(d, 0, skipped); }, 1},
        damage_case{"length_past_the_end",
                    [](damage_setup &d, uint32_t *skipped) { return put_length(d, 3000, skipped); },
                    1}),
    [](const auto &info) { return std::string(info.param.name); });

/* A file cut at every byte of its last record (as a crash mid-write leaves it): every
 * earlier record comes back, one warning with the bytes left of the cut record. */
TEST_F(Spool, SegmentCutAtEveryByteOfItsLastRecordKeepsEveryEarlierRecord) {
  const damage_setup whole = build_segments();
  for (uint32_t segment = 0; segment < 2; segment++) {
    uint32_t start = whole.at[segment][4], end = static_cast<uint32_t>(whole.files[segment].size());
    for (uint32_t cut = start; cut <= end; cut++) {
      SCOPED_TRACE("segment " + std::to_string(segment) + " cut at " + std::to_string(cut));
      damage_setup d = whole;
      d.files[segment].resize(cut);
      remove_tree(folder);
      mkdir(folder.c_str(), 0700);
      for (size_t i = 0; i < d.files.size(); i++)
        write_file(folder + "/" + segment_file(FIRST + i), d.files[i]);
      {
        std::lock_guard<std::mutex> hold(log_lock);
        logged.clear();
      }
      ASSERT_EQ(1, open());
      std::vector<taken_doc> docs = drain(s.get());
      ASSERT_TRUE(wait_until([&] { return !figures().counting; }, 10000));
      tick(1);
      long lost = cut == end ? -1 : static_cast<long>(segment * 5 + 4);
      std::vector<long> expected = without(range(0, 10), lost, lost + 1);
      std::vector<long> numbers;
      for (const taken_doc &t : docs) numbers.push_back(doc_number(t.doc));
      ASSERT_EQ(expected, numbers);
      for (const taken_doc &t : docs)
        ASSERT_EQ(make_doc(doc_number(t.doc), DAMAGE_SIZES[doc_number(t.doc)]), t.doc);
      std::vector<std::string> want;
      if (cut != start && cut != end)
        want.push_back("Skipped a damaged tail of " + std::to_string(cut - start) +
                       " bytes in spool segment '" + segment_file(FIRST + segment) + "'.");
      ASSERT_EQ(want, logged_at(LOG_WARNING));
      spool_close(s.get(), nullptr, 0);
    }
  }
}

/* ---- ends: clean and unclean ---- */

/* A clean close and a new start: what was acknowledged is not sent again; documents held in
 * memory come back in their place in the order. */
struct restart_case {
  const char *name;
  std::function<std::vector<spool_document>(Spool &, std::vector<std::string> &store)> run;
  std::vector<long> expected; /* after the restart, in order */
};
void PrintTo(const restart_case &c, std::ostream *os) { *os << c.name; }

class SpoolRestart : public Spool, public ::testing::WithParamInterface<restart_case> {
public:
  using Spool::ack;
  using Spool::append_all;
  using Spool::settle;
  spool *get() { return s.get(); }
};

/* A document held in memory (from: where it is in the spool, or nowhere). */
spool_document held_doc(std::vector<std::string> &store, long n, spool_position from = {0, 0}) {
  store.push_back(make_doc(static_cast<uint32_t>(n), 100));
  const std::string &d = store.back();
  return spool_document{d.data(), static_cast<uint32_t>(d.size()), T0 + n, from};
}

std::vector<spool_document> held_from(std::vector<std::string> &store, const std::vector<taken_doc> &taken) {
  std::vector<spool_document> held;
  for (const taken_doc &t : taken) held.push_back(held_doc(store, doc_number(t.doc), t.end));
  return held;
}

TEST_P(SpoolRestart, ResendsNothingAcknowledgedAndKeepsTheOrder) {
  const restart_case &c = GetParam();
  ASSERT_EQ(1, open());
  std::vector<std::string> store;
  store.reserve(1000); /* held documents point into it */
  std::vector<spool_document> held = c.run(*this, store);
  reopen(8 << 20, held);
  std::vector<taken_doc> docs = drain(get());
  EXPECT_EQ(c.expected, numbers_of(docs, 100));
  for (const taken_doc &t : docs) EXPECT_EQ(T0 + doc_number(t.doc), t.time_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Spool, SpoolRestart,
    ::testing::Values(restart_case{"partly_acknowledged",
                                   [](Spool &f, std::vector<std::string> &store) {
                                     auto &t = static_cast<SpoolRestart &>(f);
                                     t.append_all(0, 30, 100);
                                     std::vector<taken_doc> taken = drain(t.get(), 20);
                                     t.ack(taken[11]);
                                     return held_from(
                                         store, std::vector<taken_doc>(taken.begin() + 12, taken.end()));
                                   },
                                   range(12, 30)},
                      restart_case{"acknowledged_across_segments_after_a_restart",
                                   [](Spool &f, std::vector<std::string> &store) {
                                     auto &t = static_cast<SpoolRestart &>(f);
                                     t.append_all(0, 3000, 100);
                                     t.settle();
                                     std::vector<taken_doc> taken = drain(t.get(), 2500);
                                     t.ack(taken[2399]);
                                     return held_from(
                                         store, std::vector<taken_doc>(taken.begin() + 2400, taken.end()));
                                   },
                                   range(2400, 3000)},
                      restart_case{"held_older_documents_go_in_front",
                                   [](Spool &f, std::vector<std::string> &store) {
                                     auto &t = static_cast<SpoolRestart &>(f);
                                     t.append_all(10, 40, 100);
                                     std::vector<spool_document> held;
                                     for (long n = 0; n < 10; n++) held.push_back(held_doc(store, n));
                                     return held;
                                   },
                                   range(0, 40)},
                      restart_case{"held_older_and_from_the_spool",
                                   [](Spool &f, std::vector<std::string> &store) {
                                     auto &t = static_cast<SpoolRestart &>(f);
                                     t.append_all(5, 40, 100);
                                     std::vector<spool_document> held;
                                     for (long n = 0; n < 5; n++) held.push_back(held_doc(store, n));
                                     std::vector<taken_doc> taken = drain(t.get(), 10);
                                     t.ack(taken[2]);
                                     std::vector<spool_document> rest = held_from(
                                         store, std::vector<taken_doc>(taken.begin() + 3, taken.end()));
                                     held.insert(held.end(), rest.begin(), rest.end());
                                     return held;
                                   },
                                   [] {
                                     std::vector<long> r = range(0, 5);
                                     for (long n = 8; n < 40; n++) r.push_back(n);
                                     return r;
                                   }()},
                      restart_case{"held_newer_documents_go_behind",
                                   [](Spool &f, std::vector<std::string> &store) {
                                     auto &t = static_cast<SpoolRestart &>(f);
                                     t.append_all(0, 10, 100);
                                     std::vector<taken_doc> taken = drain(t.get());
                                     t.ack(taken[4]);
                                     std::vector<spool_document> held = held_from(
                                         store, std::vector<taken_doc>(taken.begin() + 5, taken.end()));
                                     for (long n = 10; n < 13; n++) held.push_back(held_doc(store, n));
                                     return held;
                                   },
                                   range(5, 13)},
                      restart_case{
                          "newer_documents_appended_as_taken_before_more",
                          [](Spool &f, std::vector<std::string> &store) {
                            auto &t = static_cast<SpoolRestart &>(f);
                            t.append_all(0, 10, 100);
                            std::vector<taken_doc> taken = drain(t.get());
                            t.ack(taken[4]);
                            std::vector<spool_document> held =
                                held_from(store, std::vector<taken_doc>(taken.begin() + 5, taken.end()));
                            /* 10-12 went to memory directly; memory fills: they go in first. */
                            for (long n = 10; n < 13; n++) {
                              spool_document d = held_doc(store, n);
                              EXPECT_EQ(1, spool_append_taken(t.get(), d.data, d.length, d.time_ms, &d.from));
                              held.push_back(d);
                            }
                            t.append_all(13, 20, 100);
                            std::string extra = make_doc(99, 100);
                            EXPECT_EQ(0, spool_append_taken(t.get(), extra.data(), 100, T0, &held[0].from));
                            return held;
                          },
                          range(5, 20)},
                      restart_case{"nothing_held_everything_acknowledged",
                                   [](Spool &f, std::vector<std::string> &) {
                                     auto &t = static_cast<SpoolRestart &>(f);
                                     t.append_all(0, 10, 100);
                                     t.settle();
                                     t.ack(drain(t.get()).back());
                                     return std::vector<spool_document>{};
                                   },
                                   std::vector<long>{}}),
    [](const auto &info) { return std::string(info.param.name); });

/* A child appending as fast as it can is killed; every record synced before is read back
 * whole and in order. */
TEST_F(Spool, KilledWhileAppendingKeepsEverySyncedRecord) {
  constexpr uint32_t SIZE = 100, RECORD = SIZE + SPOOL_RECORD_HEAD;
  int report[2];
  ASSERT_EQ(0, pipe(report));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    static int report_fd = report[1];
    static const spool_io reporting = {
        pwrite,
        [](int fd) {
          int r = fdatasync(fd);
          char path[64], target[512], line[600];
          snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
          ssize_t n = readlink(path, target, sizeof target - 1);
          struct stat st;
          if (r == 0 && n > 0 && fstat(fd, &st) == 0) {
            target[n] = '\0';
            const char *base = std::strrchr(target, '/');
            int len = snprintf(
                line, sizeof line, "%s %lld\n", base ? base + 1 : target, static_cast<long long>(st.st_size));
            if (write(report_fd, line, len) != len) _exit(3);
          }
          return r;
        },
        fsync};
    spool_set_io(&reporting);
    spool_ptr c = new_spool();
    if (!spool_open(c.get(), folder.c_str(), 256 << 20)) _exit(2);
    for (uint32_t n = 0; n < 400000; n++) {
      std::string doc = make_doc(n, SIZE);
      while (!spool_append(c.get(), doc.data(), SIZE, T0 + n)) {
        usleep(1000);
        spool_tick(c.get(), monotonic_ms());
      }
      if (n % 100 == 0) spool_tick(c.get(), monotonic_ms());
    }
    pause();
    _exit(0);
  }
  close(report[1]);
  std::map<std::string, long long> synced;
  std::string lines;
  long long deadline = monotonic_ms() + 20000;
  int reports = 0;
  while (reports < 5 && monotonic_ms() < deadline) {
    char buffer[512];
    ssize_t n = read(report[0], buffer, sizeof buffer);
    if (n <= 0) break;
    lines.append(buffer, n);
    size_t nl;
    while ((nl = lines.find('\n')) != std::string::npos) {
      std::string line = lines.substr(0, nl);
      lines.erase(0, nl + 1);
      size_t space = line.find(' ');
      long long size = std::atoll(line.c_str() + space + 1);
      synced[line.substr(0, space)] = std::max(synced[line.substr(0, space)], size);
      reports++;
    }
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(report[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  ASSERT_GE(reports, 5);

  long long synced_records = 0;
  for (const auto &entry : synced) synced_records += entry.second / RECORD;
  ASSERT_EQ(1, open(256 << 20));
  std::vector<taken_doc> docs = drain(s.get());
  EXPECT_GE(static_cast<long long>(docs.size()), synced_records);
  EXPECT_EQ(range(0, docs.size()), numbers_of(docs, SIZE));
  EXPECT_LE(logged_at(LOG_WARNING).size(), 1u);
}

/* ---- batching ---- */

struct batching_case {
  const char *name;
  std::function<void(Spool &)> run;
  int writes, syncs, folder_syncs; /* file calls the run makes */
  size_t files;                    /* segment files after it */
};
void PrintTo(const batching_case &c, std::ostream *os) { *os << c.name; }

class SpoolBatching : public Spool, public ::testing::WithParamInterface<batching_case> {
public:
  using Spool::append_all;
  using Spool::segments;
  using Spool::settle;
  using Spool::tick;
  spool *get() { return s.get(); }
  /* Until the writer has handled what it was handed (without handing it more). */
  void written() {
    ASSERT_TRUE(wait_until(
        [&] {
          spool_tick(s.get(), now);
          return !spool_writer_busy(s.get());
        },
        10000));
  }
};

TEST_P(SpoolBatching, WritesAndSyncsOncePerSecondOrPerBatch) {
  const batching_case &c = GetParam();
  ASSERT_EQ(1, open());
  c.run(*this);
  written();
  EXPECT_EQ(c.writes, write_calls.load());
  EXPECT_EQ(c.syncs, sync_calls.load());
  EXPECT_EQ(c.folder_syncs, folder_calls.load());
  EXPECT_EQ(c.files, segments().size());
}

INSTANTIATE_TEST_SUITE_P(Spool, SpoolBatching,
                         ::testing::Values(batching_case{"a_thousand_within_a_second",
                                                         [](Spool &f) {
                                                           auto &t = static_cast<SpoolBatching &>(f);
                                                           t.append_all(0, 1000, 40);
                                                           t.tick(SPOOL_BATCH_MS - 1);
                                                           t.written();
                                                           EXPECT_EQ(0, write_calls.load());
                                                           t.tick(1);
                                                         },
                                                         1,
                                                         1,
                                                         1,
                                                         1},
                                           batching_case{"a_full_batch_goes_at_once",
                                                         [](Spool &f) {
                                                           auto &t = static_cast<SpoolBatching &>(f);
                                                           /* 21 records of 3016 bytes fill 64 KiB */
                                                           t.append_all(0, 22, 3000);
                                                         },
                                                         1,
                                                         1,
                                                         1,
                                                         1},
                                           batching_case{"steady_flow_over_three_seconds",
                                                         [](Spool &f) {
                                                           auto &t = static_cast<SpoolBatching &>(f);
                                                           for (uint32_t n = 0; n < 300; n += 10) {
                                                             t.append_all(n, n + 10, 200);
                                                             t.written();
                                                             t.tick(100);
                                                           }
                                                           t.written();
                                                         },
                                                         3,
                                                         3,
                                                         1,
                                                         1},
                                           batching_case{"cloud_keeping_up_writes_nothing",
                                                         [](Spool &f) {
                                                           auto &t = static_cast<SpoolBatching &>(f);
                                                           for (uint32_t n = 0; n < 500; n++) {
                                                             t.append_all(n, n + 1, 300);
                                                             std::vector<taken_doc> d = drain(t.get());
                                                             spool_acknowledged(t.get(), d.back().end);
                                                             t.tick(50);
                                                           }
                                                         },
                                                         0,
                                                         0,
                                                         0,
                                                         0},
                                           batching_case{"new_segment_syncs_the_folder",
                                                         [](Spool &f) {
                                                           auto &t = static_cast<SpoolBatching &>(f);
                                                           /* 86 records of 3016 bytes fill the first
                                                              256 KiB segment: four full batches and one
                                                              of 2, then 82 in the second: 21, 21, 21, 19;
                                                              each batch written before the next comes */
                                                           for (uint32_t n = 0; n < 168; n++) {
                                                             t.append_all(n, n + 1, 3000);
                                                             t.written();
                                                           }
                                                           t.settle();
                                                         },
                                                         9,
                                                         9,
                                                         2,
                                                         2},
                                           batching_case{"deletions_sync_the_folder_once",
                                                         [](Spool &f) {
                                                           auto &t = static_cast<SpoolBatching &>(f);
                                                           /* two segments written, then every document
                                                              acknowledged at once: both go, and the
                                                              folder is synced after them */
                                                           t.append_all(0, 168, 3000);
                                                           t.settle();
                                                           write_calls = sync_calls = folder_calls = 0;
                                                           std::vector<taken_doc> d = drain(t.get());
                                                           spool_acknowledged(t.get(), d.back().end);
                                                           EXPECT_TRUE(wait_until(
                                                               [&] {
                                                                 return t.segments().empty() &&
                                                                        folder_calls.load() > 0;
                                                               },
                                                               10000));
                                                         },
                                                         0,
                                                         0,
                                                         1,
                                                         0}),
                         [](const auto &info) { return std::string(info.param.name); });

/* While the writer's sync hangs, appending, reading and ticking go on; once every batch is
 * full, appending refuses (back-pressure), and takes again after the sync. The writer then
 * writes the three batches handed meanwhile with one sync. */
TEST_F(Spool, BlockedSyncNeverBlocksTheCaller) {
  ASSERT_EQ(1, open());
  set_gate(true);
  append_all(0, 22, 3000); /* the 22nd hands the first 21 to the writer */
  ASSERT_TRUE(wait_until(
      [] {
        std::lock_guard<std::mutex> hold(gate.lock);
        return gate.waiting;
      },
      10000));
  uint32_t n = 22;
  while (append(n, 3000)) n++;
  EXPECT_EQ(SPOOL_BATCHES * 21, n); /* every batch holds 21 */
  tick(SPOOL_BATCH_MS);
  tick(SPOOL_BATCH_MS);
  EXPECT_GT(spool_next_ms(s.get()), 0);
  std::vector<taken_doc> docs = drain(s.get());
  EXPECT_EQ(range(0, SPOOL_BATCHES * 21), numbers_of(docs, 3000));
  EXPECT_EQ(0, append(n, 3000));
  EXPECT_EQ(1, sync_calls.load());
  {
    std::lock_guard<std::mutex> hold(gate.lock);
    EXPECT_TRUE(gate.waiting);
  }
  set_gate(false);
  ASSERT_TRUE(wait_until(
      [&] {
        tick(1);
        return append(n, 3000) == 1;
      },
      10000));
  settle();
  EXPECT_EQ(range(SPOOL_BATCHES * 21, SPOOL_BATCHES * 21 + 1), numbers_of(drain(s.get()), 3000));
  EXPECT_EQ(SPOOL_BATCHES + 1, static_cast<uint32_t>(write_calls.load()));
  EXPECT_EQ(3, sync_calls.load());
}

/* ---- unusable folders ---- */

/* Opens a spool in the folder, appends 30 documents, lets the writer try, then appends once
 * more and reads everything back. The summary names what happened. */
std::string unusable_run(const std::string &folder) {
  {
    std::lock_guard<std::mutex> hold(log_lock);
    logged.clear();
  }
  spool_ptr s = new_spool();
  long long now = 1000;
  int opened = spool_open(s.get(), folder.c_str(), 8 << 20);
  int appended = 0;
  for (uint32_t n = 0; n < 30; n++) {
    std::string doc = make_doc(n, 2000);
    appended += spool_append(s.get(), doc.data(), 2000, T0 + n);
  }
  wait_until(
      [&] {
        spool_tick(s.get(), now += SPOOL_BATCH_MS);
        return spool_next_ms(s.get()) == 0;
      },
      10000);
  std::string doc = make_doc(30, 2000);
  int later = spool_append(s.get(), doc.data(), 2000, T0 + 30);
  spool_figures f = spool_stats(s.get());
  std::vector<taken_doc> docs = drain(s.get());
  std::vector<long> numbers = numbers_of(docs, 2000);
  int in_order = numbers == range(0, numbers.size());
  spool_close(s.get(), nullptr, 0);
  std::vector<std::string> errors = logged_at(LOG_ERR);
  char summary[256];
  snprintf(summary,
           sizeof summary,
           "open=%d appended=%d usable=%d errno=%d later=%d returned=%zu%s errors=%zu",
           opened,
           appended,
           f.usable,
           f.error,
           later,
           docs.size(),
           in_order ? "" : " out-of-order",
           errors.size());
  std::string text = summary;
  for (const std::string &e : errors) text += "\n" + e;
  return text;
}

struct unusable_case {
  const char *name;
  const char *mount; /* inside a private mount namespace: "ro" bind, "tiny" tmpfs, or none */
  std::function<void(const std::string &folder)> prepare;
  std::string summary;
};
void PrintTo(const unusable_case &c, std::ostream *os) { *os << c.name; }

/* Runs the check in a child in a mount namespace of its own; "skip" when it cannot have one. */
std::string in_private_mounts(const std::string &folder, const char *kind) {
  int out[2];
  if (pipe(out) != 0) return "pipe";
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    std::string text;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      text = "skip";
    } else if (std::strcmp(kind, "ro") == 0) {
      if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
          mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        text = "skip";
    } else if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k,mode=0700") != 0) {
      text = "skip";
    }
    if (text.empty()) text = unusable_run(folder);
    ssize_t ignored = write(out[1], text.data(), text.size());
    (void)ignored;
    _exit(0);
  }
  close(out[1]);
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(out[0]);
  waitpid(child, nullptr, 0);
  return text;
}

class SpoolUnusable : public Spool, public ::testing::WithParamInterface<unusable_case> {};

TEST_P(SpoolUnusable, IsReportedOnceAndRefusesAppends) {
  const unusable_case &c = GetParam();
  if (c.prepare) c.prepare(folder);
  std::string text = c.mount ? in_private_mounts(folder, c.mount) : unusable_run(folder);
  if (text == "skip") GTEST_SKIP() << "no private mount namespace here";
  std::string summary = text.substr(0, text.find('\n'));
  EXPECT_EQ(c.summary, summary);
  int error = std::atoi(c.summary.c_str() + c.summary.find("errno=") + 6);
  EXPECT_EQ("The spool folder '" + folder + "' cannot be used (errno=" + std::to_string(error) + ").",
            text.substr(text.find('\n') + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Spool, SpoolUnusable,
    ::testing::Values(unusable_case{"a_file_in_its_place",
                                    nullptr,
                                    [](const std::string &folder) { write_file(folder, "not a folder"); },
                                    "open=0 appended=0 usable=0 errno=20 later=0 returned=0 errors=1"},
                      unusable_case{
                          "no_parent_folder",
                          nullptr,
                          [](const std::string &folder) { remove_tree(folder.substr(0, folder.rfind('/'))); },
                          "open=0 appended=0 usable=0 errno=2 later=0 returned=0 errors=1"},
                      unusable_case{"write_error_later",
                                    nullptr,
                                    [](const std::string &) { failing_errno = EIO; },
                                    "open=1 appended=30 usable=0 errno=5 later=0 returned=30 errors=1"},
                      unusable_case{"read_only_mount",
                                    "ro",
                                    [](const std::string &folder) { mkdir(folder.c_str(), 0700); },
                                    "open=0 appended=0 usable=0 errno=30 later=0 returned=0 errors=1"},
                      unusable_case{"disk_full",
                                    "tiny",
                                    [](const std::string &folder) { mkdir(folder.c_str(), 0700); },
                                    "open=1 appended=30 usable=0 errno=28 later=0 returned=30 errors=1"}),
    [](const auto &info) { return std::string(info.param.name); });

/* ---- planted entries, and folders the spool does not trust ---- */

/* A segment file of documents from to to - 1, 100 bytes each. */
std::string segment_of(uint32_t from, uint32_t to) {
  std::string file;
  uint8_t record[SPOOL_RECORD_MAX];
  for (uint32_t n = from; n < to; n++) {
    std::string doc = make_doc(n, 100);
    uint32_t size = spool_encode(record, doc.data(), 100, T0 + n);
    file.append(reinterpret_cast<char *>(record), size);
  }
  return file;
}

/* An "acked" file for segment FIRST holding documents from 0 on: acknowledged to offset. */
std::string acked_for_first(uint32_t offset) {
  uint8_t record[SPOOL_RECORD_MAX], acked[28];
  std::string doc = make_doc(0, 100);
  spool_encode(record, doc.data(), 100, T0);
  for (int i = 0; i < 8; i++) acked[i] = static_cast<uint8_t>(FIRST >> (8 * i));
  for (int i = 0; i < 4; i++) acked[8 + i] = static_cast<uint8_t>(offset >> (8 * i));
  std::memcpy(acked + 12, record + 4, 4);
  std::memcpy(acked + 16, record + 8, 8);
  const uint32_t crc = static_cast<uint32_t>(crc32(0L, acked, 24));
  for (int i = 0; i < 4; i++) acked[24 + i] = static_cast<uint8_t>(crc >> (8 * i));
  return std::string(reinterpret_cast<char *>(acked), sizeof acked);
}

/* Each entry of a folder: its kind, owner, mode, time of change and content (or target). */
std::map<std::string, std::string> snapshot_of(const std::string &folder) {
  std::map<std::string, std::string> entries;
  struct stat st;
  if (lstat(folder.c_str(), &st) == 0)
    entries["."] = std::to_string(st.st_uid) + " " + std::to_string(st.st_mode) + " " +
                   std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  for (const std::string &name : folder_names(folder)) {
    const std::string path = folder + "/" + name;
    if (lstat(path.c_str(), &st) != 0) continue;
    std::string &e = entries[name];
    e = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
        std::to_string(st.st_mtim.tv_nsec) + " ";
    char target[512];
    ssize_t n = S_ISLNK(st.st_mode) ? readlink(path.c_str(), target, sizeof target) : -1;
    e += n > 0 ? std::string(target, n) : S_ISREG(st.st_mode) ? read_file(path) : "";
  }
  return entries;
}

/* The spool's folder holds segment FIRST with documents 0-4; outside it lies a segment of
 * document 999 and an "acked" that would skip documents 0-2 if it were read. Something is
 * planted before the open (and after it, for what a close writes); the run reads, appends
 * 5-9, acknowledges 0-2 and closes (which writes "acked"). */
struct planted_case {
  const char *name;
  std::function<void(const std::string &folder, const std::string &outside)> before, during;
  int usable;                 /* spool_open's result */
  int error;                  /* the spool's errno after it */
  std::vector<long> returned; /* what spool_next gives */
  size_t warnings;
};
void PrintTo(const planted_case &c, std::ostream *os) { *os << c.name; }

class SpoolPlanted : public Spool, public ::testing::WithParamInterface<planted_case> {};

TEST_P(SpoolPlanted, NothingOutsideTheFolderIsReadOrWritten) {
  const planted_case &c = GetParam();
  const std::string outside = root + "/outside";
  ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
  ASSERT_TRUE(write_file(outside + "/" + segment_file(FIRST), segment_of(999, 1000)));
  ASSERT_TRUE(write_file(outside + "/acked", acked_for_first(3 * (SPOOL_RECORD_HEAD + 100))));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  ASSERT_TRUE(write_file(folder + "/" + segment_file(FIRST), segment_of(0, 5)));
  if (c.before) c.before(folder, outside);
  const auto outside_before = snapshot_of(outside), folder_before = snapshot_of(folder);

  const int usable = open();
  const int error = figures().error;
  if (c.during) c.during(folder, outside);
  std::vector<taken_doc> docs = drain(s.get());
  if (usable) {
    append_all(5, 10, 100);
    settle();
    std::vector<taken_doc> rest = drain(s.get());
    docs.insert(docs.end(), rest.begin(), rest.end());
  }
  std::vector<long> numbers;
  for (const taken_doc &t : docs) numbers.push_back(doc_number(t.doc));
  if (docs.size() > 2) ack(docs[2]);
  spool_close(s.get(), nullptr, 0);

  EXPECT_EQ(c.usable, usable);
  EXPECT_EQ(c.error, error);
  EXPECT_EQ(c.returned, numbers);
  EXPECT_EQ(outside_before, snapshot_of(outside));
  if (!c.usable) {
    EXPECT_EQ(folder_before, snapshot_of(folder));
  }
  EXPECT_EQ(c.warnings, logged_at(LOG_WARNING).size());
}

INSTANTIATE_TEST_SUITE_P(
    Spool, SpoolPlanted,
    ::testing::Values(planted_case{"segment_name_a_link",
                                   [](const std::string &folder, const std::string &outside) {
                                     symlink((outside + "/" + segment_file(FIRST)).c_str(),
                                             (folder + "/" + segment_file(FIRST + 1)).c_str());
                                   },
                                   nullptr,
                                   1,
                                   0,
                                   range(0, 10),
                                   1},
                      planted_case{"segment_names_a_fifo_and_a_folder",
                                   [](const std::string &folder, const std::string &) {
                                     mkfifo((folder + "/" + segment_file(FIRST + 1)).c_str(), 0600);
                                     mkdir((folder + "/" + segment_file(FIRST + 2)).c_str(), 0700);
                                   },
                                   nullptr,
                                   1,
                                   0,
                                   range(0, 10),
                                   2},
                      planted_case{"acked_a_link",
                                   [](const std::string &folder, const std::string &outside) {
                                     symlink((outside + "/acked").c_str(), (folder + "/acked").c_str());
                                   },
                                   nullptr,
                                   1,
                                   0,
                                   range(0, 10),
                                   1},
                      planted_case{"acked_tmp_a_link_planted_while_running",
                                   nullptr,
                                   [](const std::string &folder, const std::string &outside) {
                                     symlink((outside + "/acked").c_str(), (folder + "/acked.tmp").c_str());
                                   },
                                   1,
                                   0,
                                   range(0, 10),
                                   1},
                      planted_case{"folder_a_link",
                                   [](const std::string &folder, const std::string &outside) {
                                     remove_tree(folder);
                                     symlink(outside.c_str(), folder.c_str());
                                   },
                                   nullptr,
                                   0,
                                   ELOOP,
                                   {},
                                   0},
                      planted_case{"folder_of_another_user",
                                   [](const std::string &folder, const std::string &) {
                                     ASSERT_EQ(0, chown(folder.c_str(), 4242, 4242));
                                   },
                                   nullptr,
                                   0,
                                   EPERM,
                                   {},
                                   0},
                      planted_case{
                          "folder_writable_by_others",
                          [](const std::string &folder, const std::string &) { chmod(folder.c_str(), 0777); },
                          nullptr,
                          0,
                          EACCES,
                          {},
                          0}),
    [](const auto &info) { return std::string(info.param.name); });

/* The folder is made private; segment files are private too. */
TEST_F(Spool, FolderAndSegmentsArePrivate) {
  ASSERT_EQ(1, open());
  append_all(0, 3, 100);
  settle();
  struct stat st;
  ASSERT_EQ(0, stat(folder.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(1u, segments().size());
  ASSERT_EQ(0, stat((folder + "/" + segments()[0]).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

} // namespace
