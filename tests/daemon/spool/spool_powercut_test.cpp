/* Power cuts of the spool. A flow like the relay's (documents spooled while the cloud is
 * away, read back and acknowledged when it returns, segments deleted, clean closes and
 * starts again) runs once with the spool's file calls recorded. Replaying the recording on
 * a simulated flash gives, after every call, the states a power cut can leave: writes since
 * a file's last sync dropped, torn at any byte or zeroed; name changes since the last
 * folder sync undone, all or the newer ones. Each state is opened and read back, and must:
 * start; give only whole documents, in order; keep every document that a completed sync
 * covered (its data and its name) and that was not acknowledged; and bring back no
 * acknowledged document that a clean close, or a deletion that was synced or had a second
 * to be, put away. Rows whose flash leaves out a sync the spool called, or rewrites "acked"
 * in place, must make the checker report the fault: they test the checker's power.
 * The spool runs in this process, not in the daemon: a start and a full read-back cost about
 * a millisecond, so every state of every step is checked, and the acknowledgements are
 * recorded in order with the file calls they cause. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "daemon/spool/spool.h"
#include "file_calls.h"
#include "files.h"
#include "settings/log.h"
#include "wait.h"

namespace {

/* ---- numbered documents ---- */

constexpr uint32_t DOC_SIZE = 500; /* 127 records fill a 64 KiB segment */
constexpr int64_t T0 = 1767225600000;

std::string make_doc(long n) {
  std::string doc = "{\"n\":" + std::to_string(n) + ",\"p\":\"";
  doc.append(DOC_SIZE - doc.size() - 2, static_cast<char>('a' + n % 26));
  return doc + "\"}";
}

long doc_number(const std::string &doc) {
  if (doc.compare(0, 5, "{\"n\":") != 0) return -1;
  return std::strtol(doc.c_str() + 5, nullptr, 10);
}

bool is_segment(const std::string &name) { return name.size() == 20 && name.compare(16, 4, ".seg") == 0; }

std::string segment_file(uint64_t number) {
  char name[32];
  snprintf(name, sizeof name, "%016llx.seg", static_cast<unsigned long long>(number));
  return name;
}

/* The numbers of the whole records at the start of a segment's bytes. */
std::vector<long> record_numbers(const std::string &bytes) {
  std::vector<long> numbers;
  uint32_t length;
  int64_t time_ms;
  for (size_t at = 0; at < bytes.size(); at += SPOOL_RECORD_HEAD + length) {
    const uint8_t *record = reinterpret_cast<const uint8_t *>(bytes.data()) + at;
    if (spool_decode(record, static_cast<uint32_t>(bytes.size() - at), &length, &time_ms) !=
        SPOOL_RECORD_WHOLE)
      break;
    numbers.push_back(
        doc_number(std::string(reinterpret_cast<const char *>(record) + SPOOL_RECORD_HEAD, length)));
  }
  return numbers;
}

/* ---- the recording: the spool folder's file calls and the flow's marks, in order ---- */

enum event_kind { CREATE, WRITE, TRUNCATE, SYNC, FOLDER_SYNC, UNLINK, RENAME, ACKED, DUE, CLOSED };
const char *const event_names[] = {
    "create", "write", "truncate", "sync", "folder sync", "unlink", "rename", "acked", "due", "closed"};

struct event {
  event_kind kind;
  int file;          /* CREATE, WRITE, TRUNCATE, SYNC: files are numbered as created */
  std::string name;  /* CREATE, UNLINK, RENAME */
  std::string to;    /* RENAME */
  uint64_t offset;   /* WRITE; TRUNCATE: the new length */
  std::string bytes; /* WRITE */
  long number;       /* ACKED: every document up to it is acknowledged */
};

struct recorder {
  std::mutex lock;
  dev_t device;
  ino_t folder;
  std::vector<event> events;
  std::map<std::string, int> names; /* as they are now */
  std::map<ino_t, int> files;       /* by inode number, while in use */
  int next_file;
} rec;

bool is_folder(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_dev == rec.device && st.st_ino == rec.folder;
}

int file_of(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_dev != rec.device) return -1;
  auto found = rec.files.find(st.st_ino);
  return found == rec.files.end() ? -1 : found->second;
}

void observe(const file_call *c) {
  std::lock_guard<std::mutex> hold(rec.lock);
  event e{};
  switch (c->kind) {
    case FILE_CALL_OPEN: {
      struct stat st;
      if (!is_folder(c->dir) || fstat(c->fd, &st) != 0) return;
      auto named = rec.names.find(c->name);
      if (named != rec.names.end() && file_of(c->fd) == named->second) {
        if (!(c->flags & O_TRUNC)) return;
        e = {TRUNCATE, named->second, "", "", 0, "", 0};
      } else {
        e = {CREATE, rec.next_file++, c->name, "", 0, "", 0};
        rec.files[st.st_ino] = rec.names[c->name] = e.file;
      }
      break;
    }
    case FILE_CALL_WRITE:
      if ((e.file = file_of(c->fd)) < 0) return;
      e.kind = WRITE;
      e.offset = static_cast<uint64_t>(c->offset >= 0 ? c->offset : lseek(c->fd, 0, SEEK_CUR) - c->length);
      e.bytes.assign(static_cast<const char *>(c->data), static_cast<size_t>(c->length));
      break;
    case FILE_CALL_TRUNCATE:
      if ((e.file = file_of(c->fd)) < 0) return;
      e.kind = TRUNCATE;
      e.offset = static_cast<uint64_t>(c->length);
      break;
    case FILE_CALL_SYNC:
      e.kind = is_folder(c->fd) ? FOLDER_SYNC : SYNC;
      if (e.kind == SYNC && (e.file = file_of(c->fd)) < 0) return;
      break;
    case FILE_CALL_UNLINK:
      if (!is_folder(c->dir) || !rec.names.count(c->name)) return;
      e = {UNLINK, 0, c->name, "", 0, "", 0};
      rec.names.erase(c->name);
      break;
    case FILE_CALL_RENAME:
      if (!is_folder(c->dir) || !is_folder(c->to_dir) || !rec.names.count(c->name)) return;
      e = {RENAME, 0, c->name, c->to, 0, "", 0};
      rec.names[c->to] = rec.names[c->name];
      rec.names.erase(c->name);
      break;
  }
  rec.events.push_back(std::move(e));
}

void mark(event_kind kind, long number = 0) {
  std::lock_guard<std::mutex> hold(rec.lock);
  rec.events.push_back({kind, 0, "", "", 0, "", number});
}

/* ---- the simulated flash: what it holds for sure, and what a power cut may undo ---- */

enum flash_mode {
  FAITHFUL,
  SKIPS_SEGMENT_SYNC,     /* a segment's fdatasync keeps nothing */
  FORGETS_NEW_SEGMENTS,   /* a folder sync keeps no new segment name */
  FORGETS_DELETIONS,      /* a folder sync keeps no removal of a segment */
  REWRITES_ACKED_IN_PLACE /* acked.tmp's writes and sync go to "acked" itself; no rename */
};

struct change {
  bool truncate;
  uint64_t offset; /* of a write; a truncation's new length */
  std::string bytes;
};

struct file_state {
  bool segment;
  std::string now, claimed, kept; /* bytes now, at the spool's last sync of it, on flash for sure */
  std::vector<change> pending;    /* since kept */
};

struct name_change {
  std::string name, from; /* from: removed in the same step (a rename) */
  int file;               /* -1: name removed */
};

void put_name(std::map<std::string, int> &names, const name_change &c) {
  if (c.file < 0)
    names.erase(c.name);
  else
    names[c.name] = c.file;
  if (!c.from.empty()) names.erase(c.from);
}

void put_bytes(std::string &content, const change &c, size_t length, bool zeroed) {
  if (c.truncate) {
    content.resize(c.offset);
    return;
  }
  if (content.size() < c.offset + length) content.resize(c.offset + length);
  if (zeroed)
    content.replace(c.offset, length, length, '\0');
  else
    content.replace(c.offset, length, c.bytes, 0, length);
}

struct flash {
  flash_mode mode = FAITHFUL;
  std::map<int, file_state> files;
  std::map<std::string, int> now, claimed, kept; /* names: now, at the last folder sync call, for sure */
  std::vector<name_change> pending;              /* since kept, in order */
  std::map<int, int> alias;                      /* acked.tmp's file written in place as acked's */
  std::set<int> removed, due;                    /* segment files unlinked; those that must stay away */
  long acked = -1, acked_at_close = -1;

  void rename(const name_change &c) {
    put_name(now, c);
    pending.push_back(c);
  }
  void modify(int file, const change &c) {
    file_state &f = files[file];
    put_bytes(f.now, c, c.bytes.size(), false);
    f.pending.push_back(c);
  }
  bool forgets(const name_change &c) const {
    if (mode == FORGETS_NEW_SEGMENTS) return c.file >= 0 && files.at(c.file).segment;
    return mode == FORGETS_DELETIONS && c.file < 0 && is_segment(c.name);
  }

  void apply(const event &e) {
    int file = alias.count(e.file) ? alias[e.file] : e.file;
    switch (e.kind) {
      case CREATE:
        if (mode == REWRITES_ACKED_IN_PLACE && e.name == "acked.tmp" && now.count("acked")) {
          alias[e.file] = now["acked"];
          modify(now["acked"], {true, 0, ""});
        } else {
          files[e.file] = {is_segment(e.name), "", "", "", {}};
          rename({e.name, "", e.file});
        }
        break;
      case WRITE:
        modify(file, {false, e.offset, e.bytes});
        break;
      case TRUNCATE:
        modify(file, {true, e.offset, ""});
        break;
      case SYNC: {
        file_state &f = files[file];
        f.claimed = f.now;
        if (mode == SKIPS_SEGMENT_SYNC && f.segment) break;
        f.kept = f.now;
        f.pending.clear();
        break;
      }
      case FOLDER_SYNC:
        claimed = now;
        for (const name_change &c : pending)
          if (!forgets(c)) put_name(kept, c);
        pending.clear();
        due.insert(removed.begin(), removed.end());
        break;
      case UNLINK:
        if (!now.count(e.name)) break;
        if (files[now[e.name]].segment) removed.insert(now[e.name]);
        rename({e.name, "", -1});
        break;
      case RENAME:
        if (now.count(e.name)) rename({e.to, e.name, now[e.name]});
        break;
      case ACKED:
        acked = e.number;
        break;
      case CLOSED: /* a clean close puts deletions away too */
        acked_at_close = acked;
        [[fallthrough]];
      case DUE:
        due.insert(removed.begin(), removed.end());
        break;
    }
  }
};

/* ---- the states a power cut can leave ---- */

enum names_undone { NONE_UNDONE, ALL_UNDONE, NEWER_UNDONE };
enum data_loss { DROPPED, TORN, ZEROED };
const char *const undone_names[] = {
    "no name change undone", "name changes undone", "newer name changes undone"};
const char *const loss_names[] = {"unsynced writes dropped", "torn", "zeroed"};
struct crash_kind {
  names_undone names;
  data_loss data;
};

struct crash_file {
  int file;
  std::string bytes;
};

/* The files a power cut at this step may leave, by name; random picks the cuts. */
std::map<std::string, crash_file> crash_state(const flash &f, crash_kind kind, std::mt19937 &random) {
  std::map<std::string, int> names = f.kept;
  size_t redone = kind.names == NONE_UNDONE  ? f.pending.size()
                  : kind.names == ALL_UNDONE ? 0
                                             : random() % (f.pending.size() + 1);
  for (size_t i = 0; i < redone; i++) put_name(names, f.pending[i]);
  std::map<std::string, crash_file> state;
  for (const auto &[name, file] : names) {
    const file_state &fs = f.files.at(file);
    std::string bytes = fs.kept;
    size_t total = 0;
    for (const change &c : fs.pending) total += c.truncate ? 1 : c.bytes.size();
    size_t left = kind.data == DROPPED ? 0 : kind.data == TORN ? random() % (total + 1) : total;
    for (const change &c : fs.pending) {
      size_t length = std::min(left, c.truncate ? size_t{1} : c.bytes.size());
      if (length == 0) break;
      put_bytes(bytes, c, length, kind.data == ZEROED);
      left -= length;
    }
    state[name] = {file, bytes};
  }
  return state;
}

/* ---- the checker ---- */

enum fault { NO_FAULT, NO_START, NOT_WHOLE, OUT_OF_ORDER, LOST, RESENT };
const char *const fault_names[] = {
    "none", "did not start", "not whole", "out of order", "synced and lost", "acknowledged and sent again"};

struct finding {
  fault kind;
  std::string text;
};

void discard_log(int, const char *, va_list) {}

/* Opens the state in the folder, reads everything back and holds it to the flash's claims. */
std::vector<finding> check_state(const flash &f, const std::map<std::string, crash_file> &state,
                                 const std::string &folder) {
  std::vector<finding> found;
  remove_tree(folder);
  mkdir(folder.c_str(), 0700);
  for (const auto &[name, file] : state) write_file(folder + "/" + name, file.bytes);
  std::unique_ptr<spool, decltype(&std::free)> s(static_cast<spool *>(std::calloc(1, sizeof(spool))),
                                                 &std::free);
  if (!spool_open(s.get(), folder.c_str(), 1 << 20)) found.push_back({NO_START, "spool_open failed"});
  std::set<long> seen;
  long highest = -1;
  char buffer[SPOOL_DOCUMENT_MAX];
  uint32_t length;
  int64_t time_ms;
  spool_position end;
  while (spool_next(s.get(), buffer, sizeof buffer, &length, &time_ms, &end)) {
    std::string doc(buffer, length), from = segment_file(end.segment);
    long n = doc_number(doc);
    if (n < 0 || doc != make_doc(n) || time_ms != T0 + n) {
      found.push_back({NOT_WHOLE, "a document of " + std::to_string(length) + " bytes from " + from});
      continue;
    }
    if (!seen.count(n) && n < highest)
      found.push_back({OUT_OF_ORDER, std::to_string(n) + " after " + std::to_string(highest)});
    if (n <= f.acked_at_close)
      found.push_back({RESENT, std::to_string(n) + " from " + from + ", acknowledged before a clean close"});
    auto bound = state.find(from);
    if (bound != state.end() && f.due.count(bound->second.file))
      found.push_back({RESENT, std::to_string(n) + " from " + from + ", a segment whose deletion was due"});
    seen.insert(n);
    highest = std::max(highest, n);
  }
  spool_close(s.get(), nullptr, 0);
  for (const auto &[name, file] : f.claimed) {
    if (!is_segment(name)) continue;
    for (long n : record_numbers(f.files.at(file).claimed))
      if (n > f.acked && !seen.count(n)) found.push_back({LOST, std::to_string(n) + " of " + name});
  }
  return found;
}

/* ---- the flow: the relay's use of the spool, the cloud away and back ---- */

std::vector<std::string> listing(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (dirent *entry = readdir(dir))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

constexpr size_t MEMORY = 16; /* documents the relay holds in memory */
constexpr int ALL = INT_MAX;

struct relay_flow {
  std::string folder, fault;
  std::unique_ptr<spool, decltype(&std::free)> s{nullptr, &std::free};
  std::deque<std::pair<long, spool_position>> memory; /* number, and where it ends in the spool */
  long next = 0, acked = -1;
  long long now = 5000000;

  void fail(const std::string &text) {
    if (fault.empty()) fault = text;
  }
  void tick(long long ms) { spool_tick(s.get(), now += ms); }

  void open() {
    s.reset(static_cast<spool *>(std::calloc(1, sizeof(spool))));
    if (!spool_open(s.get(), folder.c_str(), 1 << 20)) fail("spool_open failed");
    tick(0);
  }
  /* The cloud is away: documents go to memory while the spool holds none, else to it. */
  void arrive(int count) {
    for (int i = 0; i < count; i++, next++) {
      if (memory.size() < MEMORY && !spool_waiting(s.get())) {
        memory.push_back({next, {0, 0}});
      } else {
        std::string doc = make_doc(next);
        if (!wait_until(
                [&] {
                  if (spool_append(s.get(), doc.data(), DOC_SIZE, T0 + next)) return true;
                  tick(10);
                  return false;
                },
                10000))
          fail("append of " + std::to_string(next) + " refused");
      }
      tick(10);
    }
  }
  /* The cloud takes count documents, oldest first, acknowledging what memory holds at a time. */
  void deliver(int count) {
    char buffer[SPOOL_DOCUMENT_MAX];
    uint32_t length;
    int64_t time_ms;
    spool_position end;
    while (count > 0) {
      while (memory.size() < MEMORY && spool_next(s.get(), buffer, sizeof buffer, &length, &time_ms, &end))
        memory.push_back({doc_number(std::string(buffer, length)), end});
      if (memory.empty()) break;
      spool_position last = {0, 0};
      for (size_t i = std::min(memory.size(), static_cast<size_t>(count)); i > 0; i--, count--) {
        if (memory.front().first != acked + 1)
          fail(std::to_string(memory.front().first) + " delivered after " + std::to_string(acked));
        acked = memory.front().first;
        if (memory.front().second.segment) last = memory.front().second;
        memory.pop_front();
      }
      mark(ACKED, acked);
      if (last.segment) spool_acknowledged(s.get(), last);
      tick(5);
    }
  }
  /* Gives the spool a second and more to put deletions away: every segment left holds a
   * document not acknowledged, and a folder sync followed every removal. The wait may run
   * out; the states after the mark judge. */
  void due() {
    wait_until(
        [&] {
          tick(100);
          for (const std::string &name : listing(folder)) {
            std::vector<long> numbers = record_numbers(read_file(folder + "/" + name));
            if (is_segment(name) && !numbers.empty() && numbers.back() <= acked) return false;
          }
          std::lock_guard<std::mutex> hold(rec.lock);
          for (auto e = rec.events.rbegin(); e != rec.events.rend() && e->kind != FOLDER_SYNC; ++e)
            if (e->kind == UNLINK && is_segment(e->name)) return false;
          return true;
        },
        5000);
    mark(DUE);
  }
  void close() {
    std::vector<std::string> store;
    std::vector<spool_document> held;
    for (const auto &[n, from] : memory) store.push_back(make_doc(n));
    for (size_t i = 0; i < store.size(); i++)
      held.push_back({store[i].data(), DOC_SIZE, T0 + memory[i].first, memory[i].second});
    if (uint32_t lost = spool_close(s.get(), held.data(), static_cast<uint32_t>(held.size())))
      fail(std::to_string(lost) + " held documents not kept at close");
    mark(CLOSED);
    memory.clear();
  }
};

/* The recording, made once for every row: segments of 127 documents, the first 16 of an
 * outage in memory. Run 1 deletes a segment and closes with the oldest one partly
 * acknowledged; run 2 acknowledges more of it ("acked" rewritten); run 3 acknowledges
 * everything, then holds documents in memory at its close; run 4 empties the spool. */
struct recording {
  std::string root, error;
  std::vector<event> events;
  ~recording() { remove_tree(root); }
};

void record(recording &out) {
  const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/nimba_powercut_XXXXXX";
  if (!mkdtemp(pattern.data())) {
    out.error = "no temporary folder";
    return;
  }
  out.root = pattern;
  relay_flow flow;
  flow.folder = out.root + "/spool";
  struct stat st;
  if (mkdir(flow.folder.c_str(), 0700) != 0 || stat(flow.folder.c_str(), &st) != 0) {
    out.error = "no spool folder";
    return;
  }
  rec.device = st.st_dev;
  rec.folder = st.st_ino;
  file_calls_observe(observe);
  flow.open();
  flow.arrive(420);
  flow.deliver(250);
  flow.due();
  flow.arrive(200);
  flow.deliver(10);
  flow.close();
  flow.open();
  flow.deliver(8);
  flow.close();
  flow.open();
  flow.deliver(ALL);
  flow.due();
  flow.arrive(150);
  flow.close();
  flow.open();
  flow.deliver(ALL);
  flow.due();
  flow.close();
  file_calls_observe(nullptr);
  out.events = rec.events;
  out.error = flow.fault;
  if (out.error.empty() && flow.acked != flow.next - 1)
    out.error = "delivered up to " + std::to_string(flow.acked) + " of " + std::to_string(flow.next);
  /* The recorder saw every change: replayed, it gives the folder as it is. */
  flash f;
  for (const event &e : out.events) f.apply(e);
  std::vector<std::string> real = listing(flow.folder);
  std::set<std::string> names(real.begin(), real.end());
  for (const auto &[name, file] : f.now)
    if (!names.erase(name) || read_file(flow.folder + "/" + name) != f.files[file].now)
      out.error += " recorded " + name + " differs from the folder;";
  for (const std::string &name : names) out.error += " unrecorded " + name + ";";
}

const recording &recorded() {
  static recording r;
  static bool made = false;
  if (!made) record(r);
  made = true;
  return r;
}

/* ---- the rows ---- */

const std::vector<crash_kind> TAILS = {{NONE_UNDONE, DROPPED}, {NONE_UNDONE, TORN}, {NONE_UNDONE, ZEROED}};
const std::vector<crash_kind> NAMES = {
    {ALL_UNDONE, DROPPED}, {ALL_UNDONE, TORN}, {NEWER_UNDONE, TORN}, {NEWER_UNDONE, ZEROED}};
const std::vector<crash_kind> EVERY = {
    {NONE_UNDONE, TORN}, {NONE_UNDONE, ZEROED}, {ALL_UNDONE, DROPPED}, {NEWER_UNDONE, TORN}};

struct powercut_case {
  const char *name;
  flash_mode mode;
  const std::vector<crash_kind> *kinds;
  fault expected; /* the fault the checker must find; NO_FAULT: none in any state */
};
void PrintTo(const powercut_case &c, std::ostream *os) { *os << c.name; }

class SpoolPowerCut : public ::testing::TestWithParam<powercut_case> {
protected:
  void SetUp() override {
    log_set_sink(discard_log);
    log_set_echo(LOG_ECHO_NONE);
  }
  void TearDown() override {
    log_set_sink(nullptr);
    log_set_echo(LOG_ECHO_BY_PRIORITY);
  }
};

TEST_P(SpoolPowerCut, EveryStateStartsWholeInOrderAndKeepsWhatWasSynced) {
  const powercut_case &c = GetParam();
  const recording &r = recorded();
  ASSERT_EQ("", r.error);
  flash f;
  f.mode = c.mode;
  size_t states = 0;
  std::map<fault, size_t> counts;
  std::string report;
  for (size_t i = 0; i < r.events.size(); i++) {
    f.apply(r.events[i]);
    for (size_t k = 0; k < c.kinds->size(); k++) {
      std::mt19937 random(static_cast<unsigned>(i * 8 + k));
      std::vector<finding> found = check_state(f, crash_state(f, (*c.kinds)[k], random), r.root + "/state");
      states++;
      for (const finding &x : found) {
        if (counts[x.kind]++ < 3)
          report += "\n  after step " + std::to_string(i) + " (" + event_names[r.events[i].kind] +
                    (r.events[i].name.empty() ? "" : " " + r.events[i].name) + "), " +
                    undone_names[(*c.kinds)[k].names] + ", " + loss_names[(*c.kinds)[k].data] + ": " +
                    fault_names[x.kind] + ": " + x.text;
      }
      if (c.expected != NO_FAULT && counts[c.expected]) return;
    }
  }
  if (c.expected == NO_FAULT)
    EXPECT_TRUE(counts.empty()) << states << " states after " << r.events.size() << " steps:" << report;
  else
    ADD_FAILURE() << "no state " << fault_names[c.expected] << " in " << states << " states:" << report;
}

INSTANTIATE_TEST_SUITE_P(
    Spool, SpoolPowerCut,
    ::testing::Values(powercut_case{"file_tails", FAITHFUL, &TAILS, NO_FAULT},
                      powercut_case{"names_undone", FAITHFUL, &NAMES, NO_FAULT},
                      powercut_case{"caught_segment_sync_skipped", SKIPS_SEGMENT_SYNC, &EVERY, LOST},
                      powercut_case{"caught_new_segment_not_in_folder", FORGETS_NEW_SEGMENTS, &EVERY, LOST},
                      powercut_case{"caught_deletion_not_synced", FORGETS_DELETIONS, &EVERY, RESENT},
                      powercut_case{
                          "caught_acked_rewritten_in_place", REWRITES_ACKED_IN_PLACE, &EVERY, RESENT}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
