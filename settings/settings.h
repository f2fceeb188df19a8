/* The settings record of both programs, loaded from the settings file with fall-back to
 * the defaults file and built-in defaults, and saved back atomically. */
#pragma once
#include <cstdint>

struct kv_table;

constexpr unsigned SETTINGS_TEXT_CAPACITY = 128;

struct module_settings {
  uint16_t mode; /* 0 quickstart, 1 registered */
  char orgid[SETTINGS_TEXT_CAPACITY];
  char dtypeid[SETTINGS_TEXT_CAPACITY];
  char devid[SETTINGS_TEXT_CAPACITY]; /* from the daemon's command line, never saved */
  char devip[SETTINGS_TEXT_CAPACITY]; /* from the daemon's command line, never saved */
  char authtoken[SETTINGS_TEXT_CAPACITY];
  uint8_t ssl; /* 0 or 1, never saved */
  int32_t qos; /* publish QoS; loading sets 0 */
};

/* Fills every field: each key from the settings file, else the defaults file, else its
 * built-in default; devid and devip are emptied. NULL does nothing. */
void settings_load(module_settings *settings);

/* Writes mode, orgid, dtypeid and authtoken into the settings file, keeping its other lines,
 * through an exclusive temporary file that is fsync'ed and renamed over it. Returns 1 when
 * the file was replaced; 0 (file untouched, no temporary left) when there is no readable
 * settings file, a text holds a control byte, or any write, sync or rename fails. */
int settings_save(const module_settings *settings);

/* The six DEVID .. NIMBA_AUTHTOKEN lines on standard output; NULL prints nothing. */
void settings_print(const module_settings *settings);

/* Typed getters with the settings -> defaults -> default fall-back; either table may be
 * nullptr. Messages: "%s is not found in settings." (LOG_DEBUG), "%s is invalid in
 * settings." (LOG_WARNING), and the same for defaults. */
void cfg_get_int(const char *key, int64_t *result, int64_t fallback, const kv_table *settings,
                 const kv_table *defaults, int64_t low, int64_t high);
void cfg_get_str(const char *key, char *dest, unsigned capacity, const char *fallback,
                 const kv_table *settings, const kv_table *defaults);
