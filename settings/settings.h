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
  uint8_t ssl; /* 0 plain, 1 TLS */
  int32_t qos; /* publish QoS, 0 or 1 */
};

/* One field of the record: a text, or an integer of its own width. Made implicitly from a
 * pointer to the field, so that a table row names the field itself. */
struct setting_field {
  char (module_settings::*text)[SETTINGS_TEXT_CAPACITY] = nullptr;
  uint16_t module_settings::*u16 = nullptr;
  uint8_t module_settings::*u8 = nullptr;
  int32_t module_settings::*i32 = nullptr;
  constexpr setting_field(char (module_settings::*field)[SETTINGS_TEXT_CAPACITY]) : text(field) {}
  constexpr setting_field(uint16_t module_settings::*field) : u16(field) {}
  constexpr setting_field(uint8_t module_settings::*field) : u8(field) {}
  constexpr setting_field(int32_t module_settings::*field) : i32(field) {}
};

/* How a key is used besides loading (flags). */
enum setting_use : unsigned {
  KEY_LOADED = 0,
  KEY_SAVED = 1,    /* written back by a save (of a FORM_OPTIONAL key by settings_save_keeping only) */
  KEY_PRINTED = 2,  /* listed by settings_print */
  KEY_OPTIONAL = 4, /* absent from a file is normal: loaded without "not found" messages */
};

/* The set page's form field of a key, and what a post without it means. */
enum setting_form {
  FORM_NONE,       /* not on the form */
  FORM_REQUIRED,   /* "%s was not received." */
  FORM_REGISTERED, /* required in registered mode (mode 1), else saved empty */
  FORM_OPTIONAL,   /* the stored line stays (a page opened before the key existed) */
};

/* A key of the settings files. A text holds at most SETTINGS_TEXT_CAPACITY - 1 bytes, its
 * built-in default is the empty text; an integer is valid from low to high, its built-in
 * default is 0, and print_words (when printed) name the value 0 and any other value. */
struct setting_key {
  const char *key;
  setting_field field;
  unsigned use;
  setting_form form;
  int64_t low = 0, high = 0;
  const char *const *print_words = nullptr;
};

inline constexpr const char *MODE_WORDS[] = {"quickstart", "registered"};

/* Every key, in the order load, save, print and the set page take them. */
inline constexpr setting_key SETTINGS_KEYS[] = {
    {"NIMBA_MODE", &module_settings::mode, KEY_SAVED | KEY_PRINTED, FORM_REQUIRED, 0, 1, MODE_WORDS},
    {"NIMBA_ORGID", &module_settings::orgid, KEY_SAVED | KEY_PRINTED, FORM_REGISTERED},
    {"NIMBA_DTYPEID", &module_settings::dtypeid, KEY_SAVED | KEY_PRINTED, FORM_REGISTERED},
    {"NIMBA_AUTHTOKEN", &module_settings::authtoken, KEY_SAVED | KEY_PRINTED, FORM_REGISTERED},
    {"NIMBA_SSL", &module_settings::ssl, KEY_SAVED, FORM_OPTIONAL, 0, 1},
    {"NIMBA_QOS", &module_settings::qos, KEY_SAVED | KEY_OPTIONAL, FORM_OPTIONAL, 0, 1},
};

/* The key's bit in a set of keys. */
constexpr uint32_t setting_bit(const setting_key &key) { return 1u << (&key - SETTINGS_KEYS); }
static_assert(sizeof SETTINGS_KEYS / sizeof SETTINGS_KEYS[0] <= 32, "a set of keys is 32 bits");

/* The key's text in the record; nullptr for an integer key. */
char *setting_text(module_settings *settings, const setting_key &key);
const char *setting_text(const module_settings *settings, const setting_key &key);
/* The key's integer in the record, and storing one (narrowed to the field's width). */
int64_t setting_int(const module_settings *settings, const setting_key &key);
void setting_set_int(module_settings *settings, const setting_key &key, int64_t value);

/* Fills every field: each key from the settings file, else the defaults file, else its
 * built-in default; devid and devip are emptied. NULL does nothing. */
void settings_load(module_settings *settings);

/* Writes the saved keys of fields that are not optional (mode, orgid, dtypeid, authtoken)
 * into the settings file, keeping its other lines, through an exclusive temporary file that is
 * fsync'ed and renamed over it. Returns 1 when the file was replaced; 0 (file untouched,
 * no temporary left) when there is no readable settings file, a text holds a control byte,
 * or any write, sync or rename fails. */
int settings_save(const module_settings *settings);
/* The same for every saved key (ssl and qos too) but those in kept (setting_bit), whose lines stay
 * as the file has them: for a caller that knows which keys it has values for. */
int settings_save_keeping(const module_settings *settings, uint32_t kept);

/* The lines DEVID, DEVIP and those of the printed keys (NIMBA_MODE .. NIMBA_AUTHTOKEN) on
 * standard output; NULL prints nothing. */
void settings_print(const module_settings *settings);

/* Typed getters with the settings -> defaults -> default fall-back; either table may be
 * nullptr. Messages: "%s is not found in settings." (LOG_DEBUG), "%s is invalid in
 * settings." (LOG_WARNING), and the same for defaults. */
void cfg_get_int(const char *key, int64_t *result, int64_t fallback, const kv_table *settings,
                 const kv_table *defaults, int64_t low, int64_t high);
void cfg_get_str(const char *key, char *dest, unsigned capacity, const char *fallback,
                 const kv_table *settings, const kv_table *defaults);
