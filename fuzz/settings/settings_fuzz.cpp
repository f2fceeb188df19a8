// Fuzzes the settings file store: whatever file is loaded, saving the record and loading it
// again gives the same values, and a save never loses the file's other lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kv_store.h"
#include "paths.h"
#include "settings.h"

namespace {

std::string root;

void write_settings(const uint8_t *data, size_t size) {
  const std::string path = root + "/etc/settings";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
}

bool same(const module_settings &a, const module_settings &b) {
  return a.mode == b.mode && a.ssl == b.ssl && std::strcmp(a.orgid, b.orgid) == 0 &&
         std::strcmp(a.dtypeid, b.dtypeid) == 0 && std::strcmp(a.authtoken, b.authtoken) == 0;
}

/* Lines that are not entries of the four saved keys, in order. */
std::string other_lines(const std::string &path) {
  std::string kept;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return kept;
  char line[1 << 16];
  while (std::fgets(line, sizeof line, f)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    size_t start = text.find_first_not_of(" \t");
    bool saved_key = false;
    for (const char *key : {"NIMBA_MODE", "NIMBA_ORGID", "NIMBA_DTYPEID", "NIMBA_AUTHTOKEN"}) {
      const size_t eq = text.find('=');
      if (start == std::string::npos || eq == std::string::npos || text[start] == '#') break;
      std::string k = text.substr(start, eq - start);
      k.erase(k.find_last_not_of(" \t") + 1);
      if (k == key) saved_key = true;
    }
    if (!saved_key) kept += text + "\n";
  }
  std::fclose(f);
  return kept;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char pattern[] = "/tmp/nimba_settings_fuzz_XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  root = pattern;
  if (mkdir((root + "/etc").c_str(), 0700) != 0) std::abort();
  paths_set_root(root.c_str());
  /* A run that ends normally leaves no folder behind (a crash keeps it for a look). */
  atexit([] {
    unlink((root + "/etc/settings").c_str());
    rmdir((root + "/etc").c_str());
    rmdir(root.c_str());
  });
  /* The getters' messages echo on standard output; keep the fuzzer's own output readable. */
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 8192) return 0;
  write_settings(data, size);
  const std::string path = root + "/etc/settings";
  const std::string others_before = other_lines(path);

  module_settings first{};
  settings_load(&first);
  if (settings_save(&first) != 1) {
    /* Only a text with a control byte may be refused; the file stays as it was. */
    bool control = false;
    for (const char *t : {first.orgid, first.dtypeid, first.authtoken})
      for (const char *p = t; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) control = true;
    if (!control) std::abort();
    return 0;
  }
  module_settings second{};
  settings_load(&second);
  if (!same(first, second)) std::abort();
  if (other_lines(path) != others_before) std::abort();
  return 0;
}
