/* The module's one logging call: every message to the system log and, in the same words,
 * to an echo stream. */
#pragma once
#include <cstdarg>

/* Where log_msg echoes: the daemon splits by priority, the CGI keeps standard output for
 * the response and echoes everything to standard error; a page may log to the system log
 * alone. */
enum log_echo_mode { LOG_ECHO_BY_PRIORITY, LOG_ECHO_STDERR, LOG_ECHO_NONE };

/* Receives every message instead of vsyslog (tests collect entries with it);
 * nullptr restores vsyslog. */
using log_sink_fn = void (*)(int priority, const char *format, va_list args);

void log_set_echo(log_echo_mode mode);
void log_set_sink(log_sink_fn sink);

/* Opens the system log with the base name of the program path as identity, LOG_PID |
 * LOG_NDELAY, facility LOG_DAEMON, and the mask 127 (LOG_DEBUG stays out of the log). */
void log_open(const char *program_path);
void log_close();

/* Base name of a path: the text after its last '/' (the path itself when it has none). */
const char *log_base_name(const char *path);

/* Formats the message to the sink and, unchanged and without a line end, to the echo
 * stream: by priority, standard output for (priority & 7) >= 4, standard error below. */
void log_msg(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
