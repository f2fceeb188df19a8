/* Test support: bounded waits on a condition, never a fixed sleep. */
#pragma once
#include <functional>

/* Milliseconds on the monotonic clock. */
long long monotonic_ms();

/* Checks the predicate until it holds or timeout_ms has passed, polling every millisecond
 * at first and backing off to every 20 ms; it is checked once more at the deadline. 1 when
 * it held. */
int wait_until(const std::function<bool()> &predicate, int timeout_ms);
