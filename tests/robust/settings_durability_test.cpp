/* A save survives a power cut: its temporary file reaches the disk before the rename
 * publishes it, and the rename itself is made durable by syncing the folder. Seen from the
 * outside, in the system calls of one real save. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include <regex>
#include <sstream>
#include <string>

#include "process.h"

namespace {

TEST(SettingsDurability, TemporarySyncedBeforeTheRenameAndTheFolderAfterIt) {
  if (process_run({"strace", "-V"}, 10000) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string root = make_temp_folder("nimba_durable_");
  ASSERT_FALSE(root.empty());
  ASSERT_EQ(0, mkdir((root + "/etc").c_str(), 0755));
  ASSERT_TRUE(write_file(root + "/etc/settings", "NIMBA_MODE=0\nNIMBA_SSL=0\n"));
  const std::string trace = root + "/trace";
  std::string output;
  /* The leak checker cannot run under ptrace; the save itself is what is watched here. */
  const char *asan = getenv("ASAN_OPTIONS");
  const std::string asan_options = std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0";
  ASSERT_EQ(0,
            process_run({"strace",
                         "-f",
                         "-qq",
                         "-E",
                         asan_options,
                         "-o",
                         trace,
                         "-e",
                         "trace=openat,open,fsync,fdatasync,rename,renameat,renameat2,close",
                         NIMBA_SAVE_LOOP_BINARY,
                         root,
                         "1",
                         "1"},
                        30000,
                        &output))
      << output;

  /* Walk the calls in order: the temporary's descriptor synced, closed and renamed over the
   * settings, then a descriptor of the folder synced. */
  const std::regex open_temp(R"(open(at)?\(.*"[^"]*/etc/\.settings\.tmp\.[0-9]+", .*O_CREAT.*\) = ([0-9]+))");
  const std::regex open_folder(R"(open(at)?\(.*"[^"]*/etc", .*O_DIRECTORY.*\) = ([0-9]+))");
  const std::regex sync(R"((fsync|fdatasync)\(([0-9]+)\) += 0)");
  const std::regex rename(R"(rename(at2?)?\(.*\.settings\.tmp\.[0-9]+".*"[^"]*/etc/settings".*\) = 0)");
  std::string temp_fd, folder_fd;
  bool temp_synced = false, renamed = false, folder_synced = false;
  std::istringstream lines(read_file(trace));
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, open_temp)) {
      temp_fd = m[2];
    } else if (std::regex_search(line, m, open_folder)) {
      folder_fd = m[2];
    } else if (std::regex_search(line, m, sync)) {
      if (!renamed && m[2] == temp_fd) temp_synced = true;
      if (renamed && m[2] == folder_fd) folder_synced = true;
    } else if (std::regex_search(line, rename)) {
      EXPECT_TRUE(temp_synced) << "renamed before the temporary reached the disk";
      renamed = true;
    }
  }
  EXPECT_FALSE(temp_fd.empty()) << read_file(trace);
  EXPECT_TRUE(temp_synced) << read_file(trace);
  EXPECT_TRUE(renamed) << read_file(trace);
  EXPECT_TRUE(folder_synced) << "the folder was not synced after the rename\n" << read_file(trace);
  remove_tree(root);
}

} // namespace
