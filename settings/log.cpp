#include "log.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

log_echo_mode echo_mode = LOG_ECHO_BY_PRIORITY;
log_sink_fn sink = nullptr;

} // namespace

void log_set_echo(log_echo_mode mode) { echo_mode = mode; }

void log_set_sink(log_sink_fn new_sink) { sink = new_sink; }

const char *log_base_name(const char *path) {
  if (!path) return "";
  const char *slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void log_open(const char *program_path) {
  openlog(log_base_name(program_path), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  setlogmask(127);
}

void log_close() { closelog(); }

void log_msg(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list echo_args;
  va_copy(echo_args, args);
  if (sink)
    sink(priority, format, args);
  else
    vsyslog(priority, format, args);
  va_end(args);

  FILE *stream = stderr;
  if (echo_mode == LOG_ECHO_BY_PRIORITY && (priority & 7) >= 4) stream = stdout;
  if (echo_mode != LOG_ECHO_NONE) std::vfprintf(stream, format, echo_args);
  va_end(echo_args);
}
