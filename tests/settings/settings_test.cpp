#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "log.h"
#include "paths.h"
#include "settings.h"

namespace {

struct entry {
  int priority;
  std::string text;
  bool operator==(const entry &o) const { return priority == o.priority && text == o.text; }
};
std::ostream &operator<<(std::ostream &os, const entry &e) {
  return os << "{" << e.priority << ", \"" << e.text << "\"}";
}
std::vector<entry> logged;

void collect(int priority, const char *format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  logged.push_back({priority, text});
}

class Settings : public testing::Test {
protected:
  void SetUp() override {
    root = make_temp_folder("nimba_settings_");
    mkdir((root + "/etc").c_str(), 0755);
    paths_set_root(root.c_str());
    logged.clear();
    log_set_sink(collect);
    /* The echo is not under test here; keep the test output readable. */
    capture_begin(&out, 1);
  }
  void TearDown() override {
    capture_end(&out);
    log_set_sink(nullptr);
    paths_set_root(nullptr);
    remove_tree(root);
  }
  std::string settings_path() const { return root + "/etc/settings"; }
  /* Where a save of process pid writes its temporary. */
  std::string temp_path(pid_t pid) const { return root + "/etc/.settings.tmp." + std::to_string(pid); }
  void files(const char *settings, const char *defaults) {
    if (settings) {
      write_file(settings_path(), settings);
      chmod(settings_path().c_str(), 0600);
    }
    if (defaults) write_file(root + "/etc/defaults", defaults);
  }
  module_settings load() {
    module_settings s;
    std::memset(&s, 0x5A, sizeof s);
    s.devid[0] = 'x';
    s.devip[0] = 'y';
    settings_load(&s);
    return s;
  }
  std::string root;
  fd_capture out;
};

const std::string kText127(127, 'o');
const std::string kText128(128, 'o');

struct fallback_case {
  int line;
  const char *settings; // nullptr: no file
  const char *defaults;
  uint16_t mode;
  uint8_t ssl;
  std::string orgid;
  std::vector<entry> messages;
  int32_t qos = 0;
};
void PrintTo(const fallback_case &c, std::ostream *os) { *os << "line " << c.line; }

class SettingsFallback : public Settings, public testing::WithParamInterface<fallback_case> {};

#define FULL_KEYS "NIMBA_MODE=1\nNIMBA_ORGID=org\nNIMBA_DTYPEID=t\nNIMBA_AUTHTOKEN=k\nNIMBA_SSL=0\n"
const char kFull[] = FULL_KEYS;

TEST_P(SettingsFallback, TakesEachKeyFromTheFirstValidSource) {
  const fallback_case &c = GetParam();
  files(c.settings, c.defaults);
  const module_settings s = load();
  EXPECT_EQ(s.mode, c.mode);
  EXPECT_EQ(s.ssl, c.ssl);
  EXPECT_EQ(s.orgid, c.orgid);
  EXPECT_EQ(s.qos, c.qos);
  EXPECT_EQ(s.devid[0], '\0');
  EXPECT_EQ(s.devip[0], '\0');
  EXPECT_EQ(logged, c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Chain, SettingsFallback,
    testing::Values(
        fallback_case{__LINE__, nullptr, nullptr, 0, 0, "", {}},
        fallback_case{__LINE__, kFull, nullptr, 1, 0, "org", {}},
        fallback_case{__LINE__,
                      "NIMBA_MODE=1\nNIMBA_ORGID=a\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\n",
                      "NIMBA_MODE=0\nNIMBA_SSL=1\n",
                      1,
                      1,
                      "a",
                      {{LOG_DEBUG, "NIMBA_SSL is not found in settings."}}},
        fallback_case{__LINE__,
                      "NIMBA_MODE=2\nNIMBA_ORGID=a\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=0\n",
                      "NIMBA_MODE=0\n",
                      0,
                      0,
                      "a",
                      {{LOG_WARNING, "NIMBA_MODE is invalid in settings."}}},
        fallback_case{__LINE__,
                      "NIMBA_MODE=2\nNIMBA_ORGID=a\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=-1\n",
                      "NIMBA_MODE=2\nNIMBA_SSL=1\n",
                      0,
                      1,
                      "a",
                      {{LOG_WARNING, "NIMBA_MODE is invalid in settings."},
                       {LOG_WARNING, "NIMBA_MODE is invalid in defaults."},
                       {LOG_WARNING, "NIMBA_SSL is invalid in settings."}}},
        fallback_case{__LINE__,
                      "NIMBA_MODE=1x\nNIMBA_ORGID=a\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=\n",
                      nullptr,
                      0,
                      0,
                      "a",
                      {{LOG_WARNING, "NIMBA_MODE is invalid in settings."},
                       {LOG_WARNING, "NIMBA_SSL is invalid in settings."}}},
        fallback_case{__LINE__,
                      nullptr,
                      "NIMBA_MODE=1\nNIMBA_ORGID=d\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=1\n",
                      1,
                      1,
                      "d",
                      {}},
        fallback_case{__LINE__,
                      "NIMBA_MODE=0\nNIMBA_ORGID=\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=0\n",
                      "NIMBA_ORGID=from-defaults\n",
                      0,
                      0,
                      "",
                      {}},
        fallback_case{__LINE__,
                      "NIMBA_MODE=0\nNIMBA_ORGID=a\nNIMBA_ORGID=b\nNIMBA_DTYPEID=\nNIMBA_AUTHTOKEN=\n"
                      "NIMBA_SSL=1\nNIMBA_SSL=0\n",
                      nullptr,
                      0,
                      0,
                      "b",
                      {}},
        fallback_case{__LINE__,
                      "",
                      "",
                      0,
                      0,
                      "",
                      {{LOG_DEBUG, "NIMBA_MODE is not found in settings."},
                       {LOG_DEBUG, "NIMBA_MODE is not found in defaults."},
                       {LOG_DEBUG, "NIMBA_ORGID is not found in settings."},
                       {LOG_DEBUG, "NIMBA_ORGID is not found in defaults."},
                       {LOG_DEBUG, "NIMBA_DTYPEID is not found in settings."},
                       {LOG_DEBUG, "NIMBA_DTYPEID is not found in defaults."},
                       {LOG_DEBUG, "NIMBA_AUTHTOKEN is not found in settings."},
                       {LOG_DEBUG, "NIMBA_AUTHTOKEN is not found in defaults."},
                       {LOG_DEBUG, "NIMBA_SSL is not found in settings."},
                       {LOG_DEBUG, "NIMBA_SSL is not found in defaults."}}},
        /* The delivery key came later: its absence is normal and says nothing. */
        fallback_case{__LINE__, FULL_KEYS "NIMBA_QOS=1\n", nullptr, 1, 0, "org", {}, 1},
        fallback_case{__LINE__, kFull, "NIMBA_QOS=1\n", 1, 0, "org", {}, 1},
        fallback_case{__LINE__,
                      FULL_KEYS "NIMBA_QOS=2\n",
                      "NIMBA_QOS=1\n",
                      1,
                      0,
                      "org",
                      {{LOG_WARNING, "NIMBA_QOS is invalid in settings."}},
                      1},
        fallback_case{__LINE__,
                      FULL_KEYS "NIMBA_QOS=-1\n",
                      "NIMBA_QOS=yes\n",
                      1,
                      0,
                      "org",
                      {{LOG_WARNING, "NIMBA_QOS is invalid in settings."},
                       {LOG_WARNING, "NIMBA_QOS is invalid in defaults."}},
                      0}),
    [](const testing::TestParamInfo<fallback_case> &info) {
      return "line" + std::to_string(info.param.line);
    });

TEST_F(Settings, TextsOf127CharactersAreTakenAnd128FallBack) {
  files(("NIMBA_MODE=0\nNIMBA_ORGID=" + kText127 + "\nNIMBA_DTYPEID=" + kText128 +
         "\nNIMBA_AUTHTOKEN=\nNIMBA_SSL=0\n")
            .c_str(),
        ("NIMBA_DTYPEID=" + kText128 + "\n").c_str());
  const module_settings s = load();
  EXPECT_EQ(s.orgid, kText127);
  EXPECT_STREQ(s.dtypeid, "");
  const std::vector<entry> expected = {{LOG_WARNING, "NIMBA_DTYPEID is invalid in settings."},
                                       {LOG_WARNING, "NIMBA_DTYPEID is invalid in defaults."}};
  EXPECT_EQ(logged, expected);
}

TEST_F(Settings, GettersHandleMissingArguments) {
  int64_t value = 5;
  cfg_get_int(nullptr, &value, 3, nullptr, nullptr, 0, 1);
  EXPECT_EQ(value, 3); // the default, unchecked against the bounds
  cfg_get_int("K", nullptr, 3, nullptr, nullptr, 0, 1);
  char text[4] = "old";
  cfg_get_str(nullptr, text, sizeof text, "defaulted", nullptr, nullptr);
  EXPECT_STREQ(text, "def");
  cfg_get_str("K", nullptr, 4, "x", nullptr, nullptr);
  settings_load(nullptr);
  EXPECT_TRUE(logged.empty());
}

module_settings record(uint16_t mode, const char *orgid, const char *dtypeid, const char *token) {
  module_settings s{};
  s.mode = mode;
  std::strcpy(s.orgid, orgid);
  std::strcpy(s.dtypeid, dtypeid);
  std::strcpy(s.authtoken, token);
  s.ssl = 1; // never saved
  return s;
}

TEST_F(Settings, SaveKeepsEveryOtherLineAndLoadsBack) {
  files(
      "# cloud settings\nNIMBA_MODE=0\nNIMBA_SSL=1\nNIMBA_ORGID=old\nCUSTOM_KEY = kept\n"
      "NIMBA_ORGID=older\n",
      nullptr);
  const module_settings saved = record(1, "org-7", "gw type", "t0k=n");
  ASSERT_EQ(settings_save(&saved), 1);
  EXPECT_EQ(read_file(settings_path()),
            "# cloud settings\nNIMBA_MODE=1\nNIMBA_SSL=1\nNIMBA_ORGID=org-7\nCUSTOM_KEY = kept\n"
            "NIMBA_DTYPEID=gw type\nNIMBA_AUTHTOKEN=t0k=n\n");
  const module_settings s = load();
  EXPECT_EQ(s.mode, 1);
  EXPECT_STREQ(s.orgid, "org-7");
  EXPECT_STREQ(s.dtypeid, "gw type");
  EXPECT_STREQ(s.authtoken, "t0k=n");
  EXPECT_EQ(s.ssl, 1);
}

TEST_F(Settings, SaveKeepsThePermissionBitsAndLeavesNoTemporary) {
  for (mode_t mode : {0600, 0640, 0604}) {
    files("NIMBA_MODE=0\n", nullptr);
    chmod(settings_path().c_str(), mode);
    const module_settings saved = record(0, "", "", "secret");
    ASSERT_EQ(settings_save(&saved), 1);
    struct stat st {};
    ASSERT_EQ(stat(settings_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(access(temp_path(getpid()).c_str(), F_OK), -1);
  }
}

TEST_F(Settings, FailedSavesLeaveTheFileByteForByte) {
  const std::string before = "# keep\nNIMBA_MODE=0\nNIMBA_ORGID=old\n";
  const std::string temp = temp_path(getpid());
  struct {
    const char *what;
    module_settings record;
    bool temp_is_folder;
  } const cases[] = {
      {"line feed in a text", record(1, "org\nNIMBA_SSL=0", "t", "k"), false},
      {"carriage return", record(1, "org", "t", "k\r"), false},
      {"escape byte", record(1, "org", "\x1b", "k"), false},
      {"temporary cannot be created", record(1, "org", "t", "k"), true},
  };
  for (const auto &c : cases) {
    files(before.c_str(), nullptr);
    if (c.temp_is_folder) mkdir(temp.c_str(), 0700);
    EXPECT_EQ(settings_save(&c.record), 0) << c.what;
    EXPECT_EQ(read_file(settings_path()), before) << c.what;
    if (c.temp_is_folder) rmdir(temp.c_str());
    EXPECT_EQ(access(temp.c_str(), F_OK), -1) << c.what;
  }
}

/* Only a save's own temporaries are swept, and only once their process is gone: an
 * operator's backups beside the file, whatever their names, stay. */
TEST_F(Settings, SaveRemovesTemporariesOfSavesThatDiedAndNothingElse) {
  files("NIMBA_MODE=0\n", nullptr);
  /* vfork: user-mode qemu, which runs these tests for the device, cannot run a fork. */
  const pid_t dead = vfork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const std::string etc = root + "/etc/";
  const std::string stale = temp_path(dead);
  const std::vector<std::string> kept = {
      temp_path(getppid()),                     /* a save still running */
      etc + "settings." + std::to_string(dead), /* a backup named like a number */
      etc + "settings.20240101",
      etc + "settings.bak",
      etc + "settings.12x",
      etc + "defaults.1",
      etc + ".settings.tmp.",
      etc + ".settings.tmp.12x",
      etc + ".defaults.tmp." + std::to_string(dead)};
  write_file(stale, "x\n");
  for (const std::string &name : kept) write_file(name, "x\n");
  const module_settings saved = record(1, "o", "t", "k");
  ASSERT_EQ(settings_save(&saved), 1);
  EXPECT_EQ(access(stale.c_str(), F_OK), -1) << "a dead save's temporary is garbage";
  for (const std::string &name : kept)
    EXPECT_EQ(access(name.c_str(), F_OK), 0) << name << " is not a dead save's temporary";
}

TEST_F(Settings, SaveWithoutASettingsFileWritesNothing) {
  const module_settings saved = record(1, "o", "t", "k");
  EXPECT_EQ(settings_save(&saved), 0);
  EXPECT_EQ(access(settings_path().c_str(), F_OK), -1);
  EXPECT_EQ(settings_save(nullptr), 0);
}

TEST_F(Settings, SaveNeverWritesThroughAStaleTemporaryOrLink) {
  files("NIMBA_MODE=0\n", nullptr);
  const std::string temp = temp_path(getpid());
  const std::string victim = root + "/victim";
  write_file(victim, "untouched\n");
  ASSERT_EQ(symlink(victim.c_str(), temp.c_str()), 0);
  const module_settings saved = record(1, "o", "t", "k");
  ASSERT_EQ(settings_save(&saved), 1);
  EXPECT_EQ(read_file(victim), "untouched\n");
  struct stat st {};
  ASSERT_EQ(lstat(settings_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(load().mode, 1);
}

TEST_F(Settings, PrintListsSixLinesWithTheModeWord) {
  module_settings s = record(1, "o", "t", "tok");
  std::strcpy(s.devid, "dev");
  std::strcpy(s.devip, "10.0.0.1");
  capture_end(&out);
  capture_begin(&out, 1);
  settings_print(&s);
  s.mode = 0;
  settings_print(&s);
  settings_print(nullptr);
  const std::string text = capture_end(&out);
  capture_begin(&out, 1);
  const std::string one =
      "DEVID = 'dev'\nDEVIP = '10.0.0.1'\nNIMBA_MODE = '%s'\n"
      "NIMBA_ORGID = 'o'\nNIMBA_DTYPEID = 't'\nNIMBA_AUTHTOKEN = 'tok'\n";
  auto with = [&](const char *word) {
    std::string s2 = one;
    s2.replace(s2.find("%s"), 2, word);
    return s2;
  };
  EXPECT_EQ(text, with("registered") + with("quickstart"));
}

} // namespace
