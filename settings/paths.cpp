#include "paths.h"

#include <array>
#include <cstdio>

#include "nimba_config.h"

namespace {

constexpr unsigned PATH_CAPACITY = 4096;

struct module_paths {
  std::array<char, PATH_CAPACITY> settings, defaults, init_script;
};

module_paths paths;
bool paths_ready = false;

void format_path(std::array<char, PATH_CAPACITY> &dest, const char *root, const char *tail) {
  const int n = std::snprintf(dest.data(), dest.size(), "%s/%s", root, tail);
  /* A root too long for a path leaves an empty path, which no open accepts. */
  if (n < 0 || static_cast<unsigned>(n) >= dest.size()) dest[0] = '\0';
}

const module_paths &current() {
  if (!paths_ready) paths_set_root(nullptr);
  return paths;
}

} // namespace

void paths_set_root(const char *root) {
  if (!root) root = NIMBA_INSTALL_ROOT;
  format_path(paths.settings, root, "etc/settings");
  format_path(paths.defaults, root, "etc/defaults");
  format_path(paths.init_script, root, "etc/init");
  paths_ready = true;
}

const char *path_settings() { return current().settings.data(); }
const char *path_defaults() { return current().defaults.data(); }
const char *path_init_script() { return current().init_script.data(); }
