/* Saves the settings again and again until it is killed (or a bound is reached), for the
 * test that kills a save at random moments.
 *   nimba_settings_save_loop ROOT FIRST_TAG [SAVES]
 * Save k writes mode k % 2 and the texts org-<k>, type-<k> and tok-<k>-<padding>, so a
 * reader can tell whether the three belong to one save. "saved" on standard output tells
 * that the first save is done (however long the start took on a busy machine). */
#include <cstdio>
#include <cstdlib>

#include "paths.h"
#include "settings.h"
#include "text.h"

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s ROOT FIRST_TAG [SAVES]\n", argv[0]);
    return 2;
  }
  paths_set_root(argv[1]);
  unsigned long tag = std::strtoul(argv[2], nullptr, 10);
  const unsigned long saves = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 20000;
  for (unsigned long round = 0; round < saves; round++, tag++) {
    module_settings s = {};
    char text[SETTINGS_TEXT_CAPACITY];
    s.mode = static_cast<uint16_t>(tag % 2);
    int n = std::snprintf(text, sizeof text, "org-%lu", tag);
    if (n < 0 || static_cast<unsigned>(n) >= sizeof text) return 1;
    copy_fold(s.orgid, sizeof s.orgid, text, 0);
    n = std::snprintf(text, sizeof text, "type-%lu", tag);
    if (n < 0 || static_cast<unsigned>(n) >= sizeof text) return 1;
    copy_fold(s.dtypeid, sizeof s.dtypeid, text, 0);
    n = std::snprintf(text, sizeof text, "tok-%lu-%0100d", tag, 0);
    if (n < 0 || static_cast<unsigned>(n) >= sizeof text) return 1;
    copy_fold(s.authtoken, sizeof s.authtoken, text, 0);
    if (!settings_save(&s)) {
      std::fprintf(stderr, "save %lu failed\n", tag);
      return 1;
    }
    if (round == 0) {
      std::puts("saved");
      std::fflush(stdout);
    }
  }
  return 0;
}
