#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kv_store.h"
#include "log.h"
#include "paths.h"
#include "text.h"

namespace {

struct kv_deleter {
  void operator()(kv_table *table) const { kv_free(table); }
};
using kv_ptr = std::unique_ptr<kv_table, kv_deleter>;

constexpr unsigned TEMP_NAME_CAPACITY = 4096;

/* The source names of the two tables, in the order they are consulted. */
struct table_source {
  const kv_table *table;
  const char *name;
};

/* Makes sure what was written reaches the disk before the rename publishes it. */
bool write_temp_file(const char *temp_path, const kv_table *table, const struct stat &target) {
  unlink(temp_path); /* a stale temporary of a crashed save with the same pid */
  const int fd = open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = fchmod(fd, target.st_mode & 07777) == 0;
  if (ok) {
    /* Keeps the file's owner where the saver may; without that privilege the file becomes
     * the saver's and the save goes on. */
    const int owner_kept = fchown(fd, target.st_uid, target.st_gid);
    (void)owner_kept;
  }
  ok = ok && kv_write_fd(table, fd) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(temp_path);
  return ok;
}

/* The folder of path ("." for a bare name) into folder, which holds TEMP_NAME_CAPACITY. */
void parent_folder(const char *path, char *folder) {
  copy_fold(folder, TEMP_NAME_CAPACITY, path, 0);
  char *slash = std::strrchr(folder, '/');
  if (!slash) {
    copy_fold(folder, TEMP_NAME_CAPACITY, ".", 0);
  } else if (slash == folder) {
    folder[1] = '\0';
  } else {
    *slash = '\0';
  }
}

/* Makes the rename itself durable; a folder that cannot be synced does not undo the save. */
void sync_parent_folder(const char *path) {
  char folder[TEMP_NAME_CAPACITY];
  parent_folder(path, folder);
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

/* A save's temporary is ".<settings name>.tmp.<pid>" beside the file: hidden, and marked so
 * that no name an operator would give a backup (such as "settings.20240101") is taken for
 * one. The process id in such a name, or 0 when name is not one. */
pid_t temp_owner(const char *name, const char *settings_name) {
  const size_t prefix = std::strlen(settings_name);
  if (name[0] != '.' || std::strncmp(name + 1, settings_name, prefix) != 0 ||
      std::strncmp(name + 1 + prefix, ".tmp.", 5) != 0)
    return 0;
  const char *digits = name + 1 + prefix + 5;
  if (*digits == '\0' || std::strlen(digits) > 9) return 0;
  pid_t pid = 0;
  for (const char *p = digits; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    pid = pid * 10 + (*p - '0');
  }
  return pid;
}

/* Removes the temporaries of saves that were killed or cut by a power loss: only their own
 * process writes them, so one whose process is gone is garbage that would pile up. */
void remove_stale_temporaries(const char *path) {
  char folder[TEMP_NAME_CAPACITY];
  parent_folder(path, folder);
  const char *slash = std::strrchr(path, '/');
  const char *settings_name = slash ? slash + 1 : path;
  DIR *dir = opendir(folder);
  if (!dir) return;
  const int dir_fd = dirfd(dir);
  while (const dirent *entry = readdir(dir)) {
    const pid_t owner = temp_owner(entry->d_name, settings_name);
    if (owner > 0 && owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH)
      unlinkat(dir_fd, entry->d_name, 0);
  }
  closedir(dir);
}

/* Looks for the key in the settings table, then in the defaults table (either may be
 * nullptr); read takes a table's value when it is acceptable and says whether it was absent,
 * invalid or taken. What is passed over is logged: an invalid value always, an absent key
 * unless the key is optional (absent is then the normal case). 1 when a value was taken. */
template <typename Read>
bool take_first(const char *key, const kv_table *settings, const kv_table *defaults, bool optional,
                Read read) {
  const table_source sources[] = {{settings, "settings"}, {defaults, "defaults"}};
  for (const table_source &source : sources) {
    if (!source.table) continue;
    const kv_int_result found = read(source.table);
    if (found == KV_OK) return true;
    if (found == KV_INVALID) {
      log_msg(LOG_WARNING, "%s is invalid in %s.", key, source.name);
    } else if (!optional) {
      log_msg(LOG_DEBUG, "%s is not found in %s.", key, source.name);
    }
  }
  return false;
}

void get_int(const char *key, int64_t *result, int64_t fallback, const kv_table *settings,
             const kv_table *defaults, int64_t low, int64_t high, bool optional) {
  if (!result) return;
  int64_t value = fallback;
  if (key) {
    take_first(key, settings, defaults, optional, [&](const kv_table *table) {
      int64_t read = 0;
      const kv_int_result found = kv_get_int(table, key, &read);
      if (found != KV_OK) return found;
      if (read < low || read > high) return KV_INVALID;
      value = read;
      return KV_OK;
    });
  }
  *result = value;
}

void get_str(const char *key, char *dest, unsigned capacity, const char *fallback, const kv_table *settings,
             const kv_table *defaults, bool optional) {
  if (!dest) return;
  const char *value = fallback;
  if (key) {
    take_first(key, settings, defaults, optional, [&](const kv_table *table) {
      const char *read = kv_get_str(table, key);
      if (!read) return KV_ABSENT;
      if (strnlen(read, capacity) >= capacity) return KV_INVALID;
      value = read;
      return KV_OK;
    });
  }
  copy_fold(dest, capacity, value, 0);
}

} // namespace

void cfg_get_int(const char *key, int64_t *result, int64_t fallback, const kv_table *settings,
                 const kv_table *defaults, int64_t low, int64_t high) {
  get_int(key, result, fallback, settings, defaults, low, high, false);
}

void cfg_get_str(const char *key, char *dest, unsigned capacity, const char *fallback,
                 const kv_table *settings, const kv_table *defaults) {
  get_str(key, dest, capacity, fallback, settings, defaults, false);
}

char *setting_text(module_settings *s, const setting_key &key) {
  return key.field.text ? s->*key.field.text : nullptr;
}

const char *setting_text(const module_settings *s, const setting_key &key) {
  return key.field.text ? s->*key.field.text : nullptr;
}

int64_t setting_int(const module_settings *s, const setting_key &key) {
  if (key.field.u16) return s->*key.field.u16;
  if (key.field.u8) return s->*key.field.u8;
  if (key.field.i32) return s->*key.field.i32;
  return 0;
}

void setting_set_int(module_settings *s, const setting_key &key, int64_t value) {
  if (key.field.u16) s->*key.field.u16 = static_cast<uint16_t>(value);
  if (key.field.u8) s->*key.field.u8 = static_cast<uint8_t>(value);
  if (key.field.i32) s->*key.field.i32 = static_cast<int32_t>(value);
}

void settings_load(module_settings *s) {
  if (!s) return;
  const kv_ptr settings(kv_parse_file(path_settings()));
  const kv_ptr defaults(kv_parse_file(path_defaults()));
  s->devid[0] = '\0';
  s->devip[0] = '\0';
  for (const setting_key &key : SETTINGS_KEYS) {
    const bool optional = (key.use & KEY_OPTIONAL) != 0;
    if (char *text = setting_text(s, key)) {
      get_str(key.key, text, SETTINGS_TEXT_CAPACITY, "", settings.get(), defaults.get(), optional);
    } else {
      int64_t value = 0;
      get_int(key.key, &value, 0, settings.get(), defaults.get(), key.low, key.high, optional);
      setting_set_int(s, key, value);
    }
  }
}

int settings_save(const module_settings *s) {
  uint32_t optional = 0;
  for (const setting_key &key : SETTINGS_KEYS)
    if (key.form == FORM_OPTIONAL) optional |= setting_bit(key);
  return settings_save_keeping(s, optional);
}

int settings_save_keeping(const module_settings *s, uint32_t kept) {
  if (!s) return 0;
  const char *path = path_settings();
  char folder[TEMP_NAME_CAPACITY];
  parent_folder(path, folder);
  const char *slash = std::strrchr(path, '/');
  char temp_path[TEMP_NAME_CAPACITY];
  const int n = std::snprintf(temp_path,
                              sizeof temp_path,
                              "%s/.%s.tmp.%u",
                              folder,
                              slash ? slash + 1 : path,
                              static_cast<unsigned>(getpid()));
  if (n < 0 || static_cast<unsigned>(n) >= sizeof temp_path) return 0;

  const kv_ptr table(kv_parse_file(path));
  if (!table) return 0;
  struct stat target {};
  if (stat(path, &target) != 0) return 0;

  for (const setting_key &key : SETTINGS_KEYS) {
    if (!(key.use & KEY_SAVED) || (kept & setting_bit(key))) continue;
    /* Texts are bounded by their buffers; a missing terminator must not run past them. */
    char text[SETTINGS_TEXT_CAPACITY];
    const char *field = setting_text(s, key);
    if (field) copy_fold(text, sizeof text, field, 0);
    if (!(field ? kv_put_str(table.get(), key.key, text)
                : kv_put_int(table.get(), key.key, setting_int(s, key))))
      return 0;
  }

  if (!write_temp_file(temp_path, table.get(), target)) return 0;
  if (rename(temp_path, path) != 0) {
    unlink(temp_path);
    return 0;
  }
  sync_parent_folder(path);
  remove_stale_temporaries(path);
  return 1;
}

void settings_print(const module_settings *s) {
  if (!s) return;
  std::printf("DEVID = '%s'\n", s->devid);
  std::printf("DEVIP = '%s'\n", s->devip);
  for (const setting_key &key : SETTINGS_KEYS) {
    if (!(key.use & KEY_PRINTED)) continue;
    const char *text = setting_text(s, key);
    if (!text) text = key.print_words[setting_int(s, key) != 0 ? 1 : 0];
    std::printf("%s = '%s'\n", key.key, text);
  }
}
