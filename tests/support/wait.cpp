/* Bounded waits for the tests. */
#include "wait.h"

#include <time.h>

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int wait_until(const std::function<bool()> &predicate, int timeout_ms) {
  const long long deadline = monotonic_ms() + timeout_ms;
  long pause_us = 1000;
  for (;;) {
    if (predicate()) return 1;
    if (monotonic_ms() >= deadline) return predicate() ? 1 : 0;
    timespec pause{0, pause_us * 1000};
    nanosleep(&pause, nullptr);
    if (pause_us < 20000) pause_us *= 2;
  }
}
