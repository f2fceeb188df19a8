/* status.cgi: the relay daemon's status file (settings/status_file.h) as a page in the
 * module's look, or with format=json as one JSON object. The helpers below are its parts
 * that do not depend on the file. */
#pragma once
#include <cstdint>

/* Capacity of a time text: "YYYY-MM-DD hh:mm:ss (nnnnnnnnnn minutes ago)". */
constexpr unsigned STATUS_TIME_CAPACITY = 64;

/* The status page (status.cgi). */
void cgi_status();

/* "n seconds ago", "n minutes ago", "n hours ago" or "n days ago" (1 without the "s") for
 * then as seen at now; the empty text for a time after now. Returns the length; the text
 * is cut (and terminated) when the capacity is too small. */
unsigned status_age_text(char *out, unsigned capacity, int64_t then, int64_t now);

/* A duration of ms milliseconds: "n ms" below a second, else in its largest unit and the
 * next ("1 minute 23 seconds", "25 hours 1 minute"; seconds, minutes and hours whole).
 * Returns the length; the text is cut (and terminated) when the capacity is too small. */
unsigned status_duration_text(char *out, unsigned capacity, int64_t ms);

/* then as local date and time "YYYY-MM-DD hh:mm:ss", followed by " (<age>)" when then is not
 * after now. Returns the length, 0 (empty text) when the time cannot be shown. */
unsigned status_time_text(char *out, unsigned capacity, int64_t then, int64_t now);

/* 1 when the process pid runs the relay daemon: its /proc/<pid>/cmdline names a program
 * whose base name is nimba_vezidozu (as the init script checks it). */
int status_pid_is_daemon(long pid);

/* Writes the text as a JSON string (quotes included) to the page's output: quote,
 * backslash and control bytes (0x7F too) escaped, well-formed UTF-8 unchanged, and each
 * byte that is not part of well-formed UTF-8 as \uFFFD, so the result is always valid
 * JSON. nullptr is null. */
void status_json_text(const char *text);
