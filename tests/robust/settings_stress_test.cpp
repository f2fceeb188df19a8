/* The settings file under stress: many set pages saving at once, saves killed at random
 * moments, and an install folder that is read-only or full. Every reader must always see
 * one whole file: the old one or exactly one save's. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace {

const std::string kRoot = "/opt/nimba_message_router";
const std::string kInitial =
    "# module settings\nNIMBA_MODE=0\nNIMBA_ORGID=old-org\nNIMBA_DTYPEID=old-type\n"
    "NIMBA_AUTHTOKEN=old-token\nNIMBA_SSL=1\nEXTRA=keep\n";

/* The three texts of save k, long enough that a cut file cannot pass for a whole one. */
struct tagged_values {
  std::string orgid, dtypeid, authtoken;
};
tagged_values values_for(unsigned long k) {
  char pad[101];
  std::snprintf(pad, sizeof pad, "%0100d", 0);
  return {"org-" + std::to_string(k), "type-" + std::to_string(k), "tok-" + std::to_string(k) + "-" + pad};
}

/* The whole settings file after save k over kInitial: the keys stay on their lines. */
std::string file_for(unsigned long k) {
  const tagged_values v = values_for(k);
  return "# module settings\nNIMBA_MODE=" + std::to_string(k % 2) + "\nNIMBA_ORGID=" + v.orgid +
         "\nNIMBA_DTYPEID=" + v.dtypeid + "\nNIMBA_AUTHTOKEN=" + v.authtoken + "\nNIMBA_SSL=1\nEXTRA=keep\n";
}

/* The tag of a file written by one save, -1 for the initial file, -2 for anything else
 * (a mix of saves, a cut or empty file). */
long file_tag(const std::string &content) {
  if (content == kInitial) return -1;
  const size_t start = content.find("NIMBA_ORGID=org-");
  if (start == std::string::npos) return -2;
  const unsigned long k = std::strtoul(content.c_str() + start + 16, nullptr, 10);
  return content == file_for(k) ? static_cast<long>(k) : -2;
}

std::vector<std::string> folder_entries(const std::string &path) {
  std::vector<std::string> names;
  if (DIR *folder = opendir(path.c_str())) {
    while (const dirent *entry = readdir(folder))
      if (entry->d_name[0] != '.' || (entry->d_name[1] != '\0' && entry->d_name[1] != '.'))
        names.push_back(entry->d_name);
    closedir(folder);
  }
  std::sort(names.begin(), names.end());
  return names;
}

/* An install root with etc/settings (kInitial), etc/init and www/set.cgi. */
class SettingsStress : public testing::Test {
protected:
  std::string root, out;

  void SetUp() override {
    root = make_temp_folder("nimba_robust_root_");
    out = make_temp_folder("nimba_robust_out_");
    ASSERT_FALSE(root.empty());
    ASSERT_FALSE(out.empty());
    for (const char *dir : {"/etc", "/www"}) ASSERT_EQ(0, mkdir((root + dir).c_str(), 0755));
    ASSERT_EQ(0, symlink(NIMBA_CGI_BINARY, (root + "/www/set.cgi").c_str()));
    ASSERT_TRUE(write_file(root + "/etc/settings", kInitial));
    /* The module restart leaves a mark outside the install root. */
    ASSERT_TRUE(write_file(root + "/etc/init", "#!/bin/sh\necho \"$1\" >> " + out + "/restarted\n"));
    ASSERT_EQ(0, chmod((root + "/etc/init").c_str(), 0755));
  }
  void TearDown() override {
    remove_tree(root);
    remove_tree(out);
  }

  static std::string post_body(unsigned long k) {
    const tagged_values v = values_for(k);
    return "NIMBA_MODE=" + std::to_string(k % 2) + "&NIMBA_ORGID=" + v.orgid + "&NIMBA_DTYPEID=" + v.dtypeid +
           "&NIMBA_AUTHTOKEN=" + v.authtoken;
  }

  /* set.cgi (or a shell around it) in the sandbox, posting the body of save k. */
  spawn_request set_page(unsigned long k, std::vector<std::string> argv = {}) const {
    spawn_request setup;
    setup.argv = argv.empty() ? std::vector<std::string>{kRoot + "/www/set.cgi"} : argv;
    const std::string body = post_body(k);
    setup.env = {"REQUEST_METHOD=POST",
                 "CONTENT_TYPE=application/x-www-form-urlencoded",
                 "CONTENT_LENGTH=" + std::to_string(body.size()),
                 "OUT=" + out};
    setup.feed_stdin = true;
    setup.stdin_data = body;
    setup.sandboxed = true;
    setup.sandbox.install_root = root;
    return setup;
  }
};

/* A save killed with SIGKILL at a random moment, 200 times: the file is always the one
 * before the save or the one it wrote, whole. The moment is taken after the loop's first
 * save, so that a slow start on a busy machine does not leave every kill before it. */
TEST_F(SettingsStress, SaveKilledAtRandomMomentsLeavesTheOldOrTheNewFile) {
  constexpr int kRounds = 200;
  const unsigned seed = static_cast<unsigned>(monotonic_ms());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_us(0, 30000);
  const std::string path = root + "/etc/settings";
  int later = 0, leftovers = 0;
  for (int round = 0; round < kRounds; round++) {
    const unsigned long first = static_cast<unsigned long>(round) * 100000;
    spawn_request setup;
    setup.argv = {NIMBA_SAVE_LOOP_BINARY, root, std::to_string(first)};
    child_process saver;
    ASSERT_TRUE(process_spawn(setup, &saver));
    ASSERT_TRUE(process_wait_stdout(&saver, "saved", 30000)) << process_stderr(&saver);
    usleep(static_cast<useconds_t>(delay_us(random))); /* a random moment into the saves */
    process_kill(&saver);
    ASSERT_TRUE(saver.exited);
    ASSERT_TRUE(WIFSIGNALED(saver.status)) << "the save loop ended early: " << process_stderr(&saver);
    process_cleanup(&saver);

    const std::string content = read_file(path);
    const long tag = file_tag(content);
    ASSERT_NE(-2, tag) << "round " << round << ": not one whole save:\n" << content;
    /* The round's first save, or a later one that completed. */
    ASSERT_TRUE(tag >= static_cast<long>(first) && tag < static_cast<long>(first + 100000))
        << "round " << round << " tag " << tag;
    if (tag > static_cast<long>(first)) later++;
    /* A temporary file of the killed save may stay (nothing runs after SIGKILL). */
    for (const std::string &name : folder_entries(root + "/etc")) {
      if (name == "settings" || name == "init") continue;
      EXPECT_EQ(0u, name.find(".settings.tmp.")) << name;
      leftovers++;
      unlink((root + "/etc/" + name).c_str());
    }
  }
  std::printf("killed saves: %d rounds, %d past the first save, %d temporary files left\n",
              kRounds,
              later,
              leftovers);
  RecordProperty("rounds_past_the_first_save", later);
  RecordProperty("temporary_files_left", leftovers);
}

struct full_folder_case {
  int line;
  const char *name;
  const char *setup; /* shell lines run in the sandbox before the page */
  bool saved;
  std::vector<std::string> listing;
};
void PrintTo(const full_folder_case &c, std::ostream *os) { *os << c.name; }

class SettingsFolder : public SettingsStress, public testing::WithParamInterface<full_folder_case> {};

/* A folder that refuses the save (read-only mount, no space left): the set page reports
 * the error, runs no restart, and the old file stays whole, with no temporary left. */
TEST_P(SettingsFolder, RefusedSaveReportsTheErrorAndKeepsTheOldFile) {
  const full_folder_case &c = GetParam();
  SCOPED_TRACE(c.line);
  /* The mounts happen inside the sandbox's own mount namespace and vanish with it. */
  const std::string script = std::string("set -e\netc=") + kRoot + "/etc\n" + c.setup + "\n" + kRoot +
                             "/www/set.cgi > \"$OUT/page\" 2> \"$OUT/log\"\n"
                             "cat \"$etc/settings\" > \"$OUT/after\"\n"
                             "ls -A \"$etc\" > \"$OUT/listing\"\n";
  child_process shell;
  ASSERT_TRUE(process_spawn(set_page(7, {"/bin/sh", "-c", script}), &shell));
  ASSERT_TRUE(process_wait(&shell, 30000));
  ASSERT_EQ(0, process_exit_code(&shell)) << process_stderr(&shell);
  process_cleanup(&shell);

  const std::string page = read_file(out + "/page");
  EXPECT_EQ(0u, page.find("Content-Type: text/html"));
  if (c.saved) {
    EXPECT_NE(std::string::npos, page.find("Configuration successfully updated."));
    EXPECT_EQ(file_for(7), read_file(out + "/after"));
    EXPECT_EQ("restart\n", read_file(out + "/restarted"));
  } else {
    EXPECT_NE(std::string::npos, page.find("Error during configuration update.")) << page;
    EXPECT_EQ(kInitial, read_file(out + "/after"));
    EXPECT_EQ("", read_file(out + "/restarted")) << "the module was restarted";
  }
  std::string listing;
  for (const std::string &name : c.listing) listing += name + "\n";
  EXPECT_EQ(listing, read_file(out + "/listing"));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, SettingsFolder,
    testing::Values(full_folder_case{__LINE__, "Writable", "", true, {"init", "settings"}},
                    full_folder_case{__LINE__,
                                     "ReadOnly",
                                     "mount --bind \"$etc\" \"$etc\"\nmount -o remount,bind,ro \"$etc\"",
                                     false,
                                     {"init", "settings"}},
                    full_folder_case{__LINE__,
                                     "Full",
                                     "cp \"$etc/settings\" \"$etc/init\" \"$OUT/\"\n"
                                     "mount -t tmpfs -o size=16k,mode=0755 tmpfs \"$etc\"\n"
                                     "cp \"$OUT/settings\" \"$OUT/init\" \"$etc/\"\n"
                                     "dd if=/dev/zero of=\"$etc/fill\" bs=1k 2>/dev/null || true",
                                     false,
                                     {"fill", "init", "settings"}}),
    [](const testing::TestParamInfo<full_folder_case> &info) { return std::string(info.param.name); });

} // namespace
