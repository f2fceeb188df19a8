/* Fixed paths of the module, all derived from the build-time install root. */
#pragma once

/* <root>/etc/settings, <root>/etc/defaults and <root>/etc/init. */
const char *path_settings();
const char *path_defaults();
const char *path_init_script();

/* Points every path at another install root (tests); nullptr restores the built-in one.
 * The text is copied. */
void paths_set_root(const char *root);
